// The one orchestrating object: owns the four worker threads, opens and closes the ports,
// runs authentication and then the encrypted relay, and writes network ids into modems.
#pragma once

#include <QMetaObject>
#include <QObject>
#include <QString>
#include <QThread>

#include <utility>

#include <cstdint>

class AuthenticationManager;
class OrvSerialPort;
class SoftwareEncryptor;
class VirtualSerialPort;

class EncryptorManager : public QObject
{
    Q_OBJECT
    Q_PROPERTY(bool encryptionEnabled READ isEncryptionEnabled NOTIFY encryptionEnabledChanged)
    // Where the ground-control program finds the port this utility offers (Linux); empty elsewhere.
    Q_PROPERTY(QString virtualPortPath READ virtualPortPath CONSTANT)

public:
    explicit EncryptorManager(QObject *parent);
    ~EncryptorManager() override;

    void setTestMode(bool testMode);
    bool testMode() const { return m_testMode; }
    bool isEncryptionEnabled() const { return encryptionEnabled; }
    QString virtualPortPath() const;

signals:
    void error(QString err);
    void notification(QString message);
    void netIdChanged(int netId);
    void encryptionEnabledChanged();
    void authSucceeded();

public slots:
    void onAuthSucceeded(int netId);
    // The authentication worker would not start (self-test, random generator): everything
    // stops, the window shows message and error carries it to the relay.
    void onStartRefused(QString message);

public:
    Q_INVOKABLE void initialize(QString internalPort, QString externalPort, QString outputPort);
    Q_INVOKABLE void deinitialize();
    Q_INVOKABLE void setNetworkId(QString modemPort, int netId);

    // Writes "+++", ATS3, AT&W and ATZ with their pauses through a running worker.
    void writeNetworkIdToModem(OrvSerialPort *worker, uint8_t netId);

private:
    bool openPorts(const QString &internalPort, const QString &externalPort,
                   const QString &outputPort);
    void stopPortThreads();
    // Stops the encryptor, both ports and authentication; the state is idle afterwards.
    void stopAll();
    // The operations pump the event loop while they wait (processEvents, thread stops), which
    // can deliver another call to the manager: a click, a signal from a terminal. Such a call
    // runs after the current operation instead of inside it.
    template<typename Call>
    bool deferIfBusy(Call &&call)
    {
        if (!busy)
            return false;
        QMetaObject::invokeMethod(&deferredCalls, std::forward<Call>(call), Qt::QueuedConnection);
        return true;
    }
    void startAuthentication();
    bool startEncryptor();
    // The worker on the ground-control side: the serial port, or the offered virtual port.
    QObject *groundPortWorker() const;
    // Success and status texts still queued from an authentication run that was stopped.
    void dropStaleAuthenticationEvents();
    static void stopThread(QThread &thread);

    SoftwareEncryptor *encryptor = nullptr;
    QThread encryptorThread;
    OrvSerialPort *internalPortWorker = nullptr;
    QThread internalPortThread;
    OrvSerialPort *outputPortWorker = nullptr;
    QThread outputPortThread;
    AuthenticationManager *authenticationManager = nullptr;
    QThread authenticationThread;
    bool encryptionEnabled = false;
    bool m_testMode = false;
    // Runs in internalPortThread in place of internalPortWorker when no serial port is named.
    VirtualSerialPort *virtualPortWorker = nullptr;
    bool busy = false;
    QObject deferredCalls;
};
