#include "manager/EncryptorManager.h"

#include "auth/LinkSecurityState.h"
#include "transport/OrvSerialPort.h"
#ifdef Q_OS_LINUX
#include "transport/VirtualSerialPort.h"
#endif

#include <QCoreApplication>
#include <QDebug>
#include <QSignalBlocker>

#include <stdexcept>

namespace {

constexpr int normalBaudRate = 57600;
constexpr int testInternalBaudRate = 230400;
constexpr int testOutputBaudRate = 460800;

} // namespace

EncryptorManager::EncryptorManager(QObject *parent)
    : QObject(parent)
    , encryptorThread(this)
    , internalPortThread(this)
    , outputPortThread(this)
    , authenticationThread(this)
    , health(this)
{
}

EncryptorManager::~EncryptorManager()
{
    // A QThread destroyed while running aborts the process; stop them all, quietly.
    {
        const QSignalBlocker quiet(this);
        waitForModemRoutine();
    }
    stopThread(encryptorThread);
    stopPortThreads();
    stopThread(authenticationThread);
    LinkSecurityState::instance().wipeKeys();
}

void EncryptorManager::setTestMode(bool testMode)
{
    m_testMode = testMode;
}

void EncryptorManager::initialize(QString internalPort, QString externalPort, QString outputPort)
{
    const bool replacesRun =
        modemRoutine || authenticationThread.isRunning() || encryptorThread.isRunning();
    // The routine writes through the output port that is about to be replaced.
    waitForModemRoutine();
    if (!openPorts(internalPort, externalPort, outputPort)) {
        // A start that replaced a running one must not leave the old authentication (or relay)
        // going on without ports; the stop also clears its status text.
        if (replacesRun)
            stopAll();
        return;
    }
    startAuthentication();
}

QObject *EncryptorManager::groundPortWorker() const
{
#ifdef Q_OS_LINUX
    if (virtualPortWorker)
        return virtualPortWorker;
#endif
    return internalPortWorker;
}

QString EncryptorManager::virtualPortPath() const
{
#ifdef Q_OS_LINUX
    return VirtualSerialPort::defaultLinkPath();
#else
    return QString();
#endif
}

void EncryptorManager::deinitialize()
{
    waitForModemRoutine();
    stopAll();
}

void EncryptorManager::stopAll()
{
    stopThread(encryptorThread);
    stopPortThreads();
    stopThread(authenticationThread);
    authenticationManager = nullptr;
    encryptor = nullptr;
    dropStaleAuthenticationEvents();
    // No thread uses the state any more; a later start loads the card and shakes hands again.
    LinkSecurityState::instance().wipeKeys();
    setEncryptionEnabled(false);
    health.setPhase(LinkHealth::Idle);
    emit notification(QString());
}

void EncryptorManager::setEncryptionEnabled(bool enabled)
{
    if (encryptionEnabled == enabled)
        return;
    encryptionEnabled = enabled;
    emit encryptionEnabledChanged();
}

bool EncryptorManager::openPorts(const QString &internalPort, const QString &externalPort,
                                 const QString &outputPort)
{
    stopPortThreads();

#ifdef Q_OS_LINUX
    // Without a serial port toward the ground-control program, Linux offers it a
    // pseudo-terminal under the stable name shown in the window.
    const bool offerVirtualPort = internalPort.isEmpty() && !externalPort.isEmpty();
#else
    Q_UNUSED(externalPort)
    const bool offerVirtualPort = false;
#endif
    if (internalPort.isEmpty() && !offerVirtualPort) {
        qDebug() << "Virtual serial port not found. Does the driver loaded?";
        emit error(QStringLiteral("Virtual serial port not found. Does the driver loaded?"));
        return false;
    }

    try {
        QObject *groundWorker = nullptr;
#ifdef Q_OS_LINUX
        if (offerVirtualPort) {
            virtualPortWorker = new VirtualSerialPort(externalPort, nullptr);
            groundWorker = virtualPortWorker;
        }
#endif
        if (!groundWorker) {
            internalPortWorker = new OrvSerialPort(
                internalPort, m_testMode ? testInternalBaudRate : normalBaudRate, nullptr);
            watchPort(internalPortWorker, internalPort);
            connect(internalPortWorker, &OrvSerialPort::portLost, this,
                    [this] { health.setGroundPortLost(true); }, Qt::QueuedConnection);
            connect(internalPortWorker, &OrvSerialPort::portRestored, this,
                    [this] { health.setGroundPortLost(false); }, Qt::QueuedConnection);
            groundWorker = internalPortWorker;
        }
        connect(&internalPortThread, &QThread::finished, groundWorker, &QObject::deleteLater,
                Qt::AutoConnection);
        groundWorker->moveToThread(&internalPortThread);
        internalPortThread.start(QThread::InheritPriority);

        outputPortWorker = new OrvSerialPort(
            outputPort, m_testMode ? testOutputBaudRate : normalBaudRate, nullptr);
        watchPort(outputPortWorker, outputPort);
        connect(&outputPortThread, &QThread::finished, outputPortWorker, &QObject::deleteLater,
                Qt::AutoConnection);
        // To the manager, so that a stop drops what a replaced worker still had queued.
        connect(outputPortWorker, &OrvSerialPort::portLost, this,
                [this] { health.setModemPortLost(true); }, Qt::QueuedConnection);
        connect(outputPortWorker, &OrvSerialPort::portRestored, this,
                [this] { health.setModemPortLost(false); }, Qt::QueuedConnection);
        outputPortWorker->moveToThread(&outputPortThread);
        outputPortThread.start(QThread::InheritPriority);
    } catch (const std::runtime_error &e) {
        qDebug() << "Error opening serial ports";
        emit error(QString::fromUtf8(e.what()));
        // An internal-port worker already running goes with its thread.
        stopPortThreads();
        return false;
    }
    return true;
}

void EncryptorManager::watchPort(OrvSerialPort *worker, const QString &port)
{
    // The relay and the keys carry on while the device is away; only the user is told.
    // Events still queued from a stopped worker go with the others in stopAll().
    connect(worker, &OrvSerialPort::portLost, this, [this, port] {
        emit notification(QStringLiteral("Порт %1 недоступен, ожидание подключения...").arg(port));
        emit portLost(port);
    }, Qt::QueuedConnection);
    connect(worker, &OrvSerialPort::portRestored, this, [this, port] {
        emit notification(QStringLiteral("Порт %1 снова доступен").arg(port));
        emit portRestored(port);
    }, Qt::QueuedConnection);
}

void EncryptorManager::stopPortThreads()
{
    internalPortThread.quit();
    outputPortThread.quit();
    internalPortThread.wait();
    outputPortThread.wait();
    // The workers were deleted as their threads finished.
    internalPortWorker = nullptr;
    virtualPortWorker = nullptr;
    outputPortWorker = nullptr;
}

void EncryptorManager::stopThread(QThread &thread)
{
    thread.quit();
    thread.wait();
}
