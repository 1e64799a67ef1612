// Stands in for EncryptorManager behind the context property "encryptorManager": the same
// signals, property and invokables, but it only records what the window asks of it.
#pragma once

#include <QObject>
#include <QString>
#include <QVariantList>
#include <QVector>

#include <functional>

class RecordingManager : public QObject
{
    Q_OBJECT
    Q_PROPERTY(bool encryptionEnabled READ isEncryptionEnabled NOTIFY encryptionEnabledChanged)
    Q_PROPERTY(QString virtualPortPath READ virtualPortPath CONSTANT)

public:
    struct Call
    {
        QString method;
        QVariantList arguments;
    };

    using QObject::QObject;

    bool isEncryptionEnabled() const { return m_encryptionEnabled; }
    static QString offeredPort() { return QStringLiteral("/run/user/0/uav-link-gcs"); }
    QString virtualPortPath() const { return offeredPort(); }
    void setEncryptionEnabled(bool enabled)
    {
        if (m_encryptionEnabled == enabled)
            return;
        m_encryptionEnabled = enabled;
        emit encryptionEnabledChanged();
    }

    QVector<Call> calls;
    // Runs inside every recorded call, while the window is still blocked in it.
    std::function<void(const Call &)> duringCall;

signals:
    void error(QString err);
    void notification(QString message);
    void netIdChanged(int netId);
    void encryptionEnabledChanged();
    void authSucceeded();

public slots:
    void onAuthSucceeded(int netId) { record(QStringLiteral("onAuthSucceeded"), {netId}); }

public:
    Q_INVOKABLE void initialize(QString internalPort, QString externalPort, QString outputPort)
    {
        record(QStringLiteral("initialize"), {internalPort, externalPort, outputPort});
    }
    Q_INVOKABLE void deinitialize() { record(QStringLiteral("deinitialize"), {}); }
    Q_INVOKABLE void setNetworkId(QString modemPort, int netId)
    {
        record(QStringLiteral("setNetworkId"), {modemPort, netId});
    }

private:
    void record(const QString &method, const QVariantList &arguments)
    {
        calls.append({method, arguments});
        if (duringCall)
            duringCall(calls.last());
    }

    bool m_encryptionEnabled = false;
};
