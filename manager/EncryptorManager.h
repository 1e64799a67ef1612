// The one orchestrating object: owns the four worker threads, opens and closes the ports,
// runs authentication and then the encrypted relay, and writes network ids into modems.
#pragma once

#include <QObject>
#include <QString>
#include <QThread>

#include <functional>

#include <cstdint>

#include "manager/LinkHealth.h"

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
    // True while AT commands go to a modem; starting, stopping and applying wait for it.
    Q_PROPERTY(bool modemRoutineRunning READ isModemRoutineRunning NOTIFY modemRoutineRunningChanged)
    Q_PROPERTY(LinkHealth *linkHealth READ linkHealth CONSTANT)

public:
    explicit EncryptorManager(QObject *parent);
    ~EncryptorManager() override;

    void setTestMode(bool testMode);
    bool testMode() const { return m_testMode; }
    bool isEncryptionEnabled() const { return encryptionEnabled; }
    bool isModemRoutineRunning() const { return modemRoutine != nullptr; }
    LinkHealth *linkHealth() { return &health; }
    QString virtualPortPath() const;

signals:
    void error(QString err);
    void notification(QString message);
    void netIdChanged(int netId);
    void encryptionEnabledChanged();
    void modemRoutineRunningChanged();
    void authSucceeded();
    // A port's device went away (the worker retries once a second), and came back.
    void portLost(QString port);
    void portRestored(QString port);

public slots:
    void onAuthSucceeded(int netId);
    // The authentication worker would not start (self-test, random generator): everything
    // stops, the window shows message and error carries it to the relay.
    void onStartRefused(QString message);

public:
    Q_INVOKABLE void initialize(QString internalPort, QString externalPort, QString outputPort);
    Q_INVOKABLE void deinitialize();
    Q_INVOKABLE void setNetworkId(QString modemPort, int netId);

    // Writes "+++", ATS3, AT&W and ATZ with their pauses through a running worker. Blocks the
    // calling thread for the pauses; the manager runs it in a thread of its own.
    static void writeNetworkIdToModem(OrvSerialPort *worker, uint8_t netId);

private:
    bool openPorts(const QString &internalPort, const QString &externalPort,
                   const QString &outputPort);
    void stopPortThreads();
    // Tells the user when the worker's device goes away and when it is back.
    void watchPort(OrvSerialPort *worker, const QString &port);
    // Stops the encryptor, both ports and authentication; the state is idle afterwards.
    void stopAll();
    // Runs the modem routine off the GUI thread; then after(true) once it has ended on its own.
    void startModemRoutine(OrvSerialPort *worker, uint8_t netId, std::function<void(bool)> after);
    // Waits for a running routine and lets it end with after(false): a stop or a new start
    // takes over, and the ports it writes to must outlive it.
    void waitForModemRoutine();
    void endModemRoutine(bool completed);
    void setEncryptionEnabled(bool enabled);
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
    // Not a child: the threads the manager owns as children are the four workers' threads.
    QThread *modemRoutine = nullptr;
    std::function<void(bool)> afterModemRoutine;
    LinkHealth health;
};
