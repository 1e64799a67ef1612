#include "manager/EncryptorManager.h"

#include "auth/LinkSecurityState.h"
#include "transport/OrvSerialPort.h"
#ifdef Q_OS_LINUX
#include "transport/VirtualSerialPort.h"
#endif

#include <QCoreApplication>
#include <QDebug>
#include <QScopedValueRollback>

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
{
}

EncryptorManager::~EncryptorManager()
{
    // A QThread destroyed while running aborts the process; stop them all, quietly.
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
    if (deferIfBusy([=] { initialize(internalPort, externalPort, outputPort); }))
        return;
    const QScopedValueRollback<bool> operation(busy, true);
    if (!openPorts(internalPort, externalPort, outputPort)) {
        // A start that replaced a running one must not leave the old authentication (or relay)
        // going on without ports; the stop also clears its status text.
        if (authenticationThread.isRunning() || encryptorThread.isRunning())
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
    if (deferIfBusy([this] { deinitialize(); }))
        return;
    const QScopedValueRollback<bool> operation(busy, true);
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
    if (encryptionEnabled) {
        encryptionEnabled = false;
        emit encryptionEnabledChanged();
    }
    emit notification(QString());
}

bool EncryptorManager::openPorts(const QString &internalPort, const QString &externalPort,
                                 const QString &outputPort)
{
    stopPortThreads();
    QCoreApplication::processEvents();

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
            groundWorker = internalPortWorker;
        }
        connect(&internalPortThread, &QThread::finished, groundWorker, &QObject::deleteLater,
                Qt::AutoConnection);
        groundWorker->moveToThread(&internalPortThread);
        internalPortThread.start(QThread::InheritPriority);

        outputPortWorker = new OrvSerialPort(
            outputPort, m_testMode ? testOutputBaudRate : normalBaudRate, nullptr);
        connect(&outputPortThread, &QThread::finished, outputPortWorker, &QObject::deleteLater,
                Qt::AutoConnection);
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
