#include "manager/EncryptorManager.h"

#include "transport/OrvSerialPort.h"

#include <QCoreApplication>
#include <QDebug>

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
}

void EncryptorManager::setTestMode(bool testMode)
{
    m_testMode = testMode;
}

void EncryptorManager::onAuthSucceeded(int netId)
{
    // Nothing starts authentication yet, so no success can arrive; the relay hand-over
    // (modem id, encryptor thread) lands here together with the authentication manager.
    Q_UNUSED(netId)
}

void EncryptorManager::initialize(QString internalPort, QString externalPort, QString outputPort)
{
    // The ground-control side is the internal port the user picked; nothing is offered
    // under externalPort.
    Q_UNUSED(externalPort)
    if (!openPorts(internalPort, outputPort))
        return;
    // Authentication over the output port follows here once it exists.
}

void EncryptorManager::deinitialize()
{
    stopThread(encryptorThread);
    stopPortThreads();
    stopThread(authenticationThread);
    if (encryptionEnabled) {
        encryptionEnabled = false;
        emit encryptionEnabledChanged();
    }
    emit notification(QString());
}

bool EncryptorManager::openPorts(const QString &internalPort, const QString &outputPort)
{
    stopPortThreads();
    QCoreApplication::processEvents();

    if (internalPort.isEmpty()) {
        qDebug() << "Virtual serial port not found. Does the driver loaded?";
        emit error(QStringLiteral("Virtual serial port not found. Does the driver loaded?"));
        return false;
    }

    try {
        internalPortWorker = new OrvSerialPort(
            internalPort, m_testMode ? testInternalBaudRate : normalBaudRate, nullptr);
        connect(&internalPortThread, &QThread::finished, internalPortWorker, &QObject::deleteLater,
                Qt::AutoConnection);
        internalPortWorker->moveToThread(&internalPortThread);
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
    outputPortWorker = nullptr;
}

void EncryptorManager::stopThread(QThread &thread)
{
    thread.quit();
    thread.wait();
}
