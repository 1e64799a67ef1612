// View-model behind each tab of the window: lists the machine's serial ports and holds the
// port names the user picked. Nothing is saved; every instance starts empty.
#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

class EncryptorSettings : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QStringList outputPortList READ outputPortList NOTIFY outputPortListChanged)
    Q_PROPERTY(QString outputPort READ outputPort WRITE setOutputPort NOTIFY outputPortChanged)
    Q_PROPERTY(QString internalPort READ internalPort WRITE setInternalPort NOTIFY internalPortChanged)
    Q_PROPERTY(QString externalPort READ externalPort WRITE setExternalPort NOTIFY externalPortChanged)
    Q_PROPERTY(QString keyFilename READ keyFilename WRITE setKeyFilename NOTIFY keyFilenameChanged)
    Q_PROPERTY(QString uavKeyFilename READ uavKeyFilename WRITE setUavKeyFilename NOTIFY uavKeyFilenameChanged)

public:
    explicit EncryptorSettings(QObject *parent = nullptr);

signals:
    void keyFilenameChanged();
    void outputPortChanged();
    void internalPortChanged();
    void externalPortChanged();
    void uavKeyFilenameChanged();
    void outputPortListChanged();

public:
    // Enumerated again on every read: a modem plugged in after start shows up on the next refresh.
    Q_INVOKABLE QStringList outputPortList() const;
    Q_INVOKABLE QString outputPort() const;
    Q_INVOKABLE void setOutputPort(QString outputPort);
    Q_INVOKABLE QString internalPort() const;
    Q_INVOKABLE void setInternalPort(QString internalPort);
    Q_INVOKABLE QString keyFilename() const;
    // Accepts a file URL as a file dialog hands it over and stores the decoded local path.
    Q_INVOKABLE void setKeyFilename(QString keyFilename);
    Q_INVOKABLE QString externalPort() const;
    Q_INVOKABLE void setExternalPort(QString externalPort);
    Q_INVOKABLE QString uavKeyFilename() const;
    Q_INVOKABLE void setUavKeyFilename(QString uavKeyFilename);
    // Makes every binding on the port list and on the two ground-control ports re-read them.
    Q_INVOKABLE void update();

private:
    QString m_outputPort;
    QString m_internalPort;
    QString m_externalPort;
    QString m_keyFilename;
    QString m_uavKeyFilename;
};
