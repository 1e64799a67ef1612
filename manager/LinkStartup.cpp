// From two open ports to the encrypted relay: authentication over the modem link, the agreed
// network id into the modem, then the software encryptor between the two ports.
#include "manager/EncryptorManager.h"

#include <QCoreApplication>
#include <QEvent>

#include "auth/AuthenticationManager.h"
#include "auth/LinkSecurityState.h"
#include "messaging/SoftwareEncryptor.h"
#include "transport/OrvSerialPort.h"

void EncryptorManager::dropStaleAuthenticationEvents()
{
    // The authentication thread has finished, so nothing more can be posted from it; what it
    // posted before (a success, a status text) belongs to a run that no longer exists and
    // must not reach stopped or replaced workers, nor the window.
    QCoreApplication::removePostedEvents(this, QEvent::MetaCall);
}

void EncryptorManager::startAuthentication()
{
    // The relay and the handshake share the security state without a lock, so a relay left
    // from an earlier start must not run beside the new authentication.
    stopThread(encryptorThread);
    encryptor = nullptr;
    setEncryptionEnabled(false);
    stopThread(authenticationThread);
    authenticationManager = nullptr;
    dropStaleAuthenticationEvents();
    LinkSecurityState::instance().wipeKeys();

    authenticationManager = new AuthenticationManager(nullptr);
    authenticationManager->moveToThread(&authenticationThread);

    connect(&authenticationThread, SIGNAL(started()), authenticationManager,
            SLOT(startKeyLoading()), Qt::QueuedConnection);
    connect(&authenticationThread, SIGNAL(finished()), authenticationManager,
            SLOT(deleteLater()), Qt::AutoConnection);
    if (auto *app = qobject_cast<QCoreApplication *>(parent()))
        connect(app, SIGNAL(aboutToQuit()), authenticationManager, SLOT(deleteLater()),
                Qt::AutoConnection);
    connect(outputPortWorker, SIGNAL(dataArrived(QByteArray)), authenticationManager,
            SLOT(dataArrived(QByteArray)), Qt::QueuedConnection);
    connect(authenticationManager, SIGNAL(dataProcessed(QByteArray)), outputPortWorker,
            SLOT(writeData(QByteArray)), Qt::QueuedConnection);
    connect(authenticationManager, SIGNAL(authenticationSucceeded(int)), this,
            SLOT(onAuthSucceeded(int)), Qt::QueuedConnection);
    connect(authenticationManager, SIGNAL(notification(QString)), this,
            SIGNAL(notification(QString)), Qt::QueuedConnection);
    connect(authenticationManager, SIGNAL(startRefused(QString)), this,
            SLOT(onStartRefused(QString)), Qt::QueuedConnection);

    authenticationThread.start(QThread::InheritPriority);
    health.setModemPortLost(false);
    health.setGroundPortLost(false);
    health.setPhase(LinkHealth::Authentication);
}

void EncryptorManager::onAuthSucceeded(int netId)
{
    // Only the current run may continue, and only onto workers that are still running. A
    // success still queued from a run that was stopped or replaced finds none of that.
    if (!authenticationManager || !authenticationThread.isRunning() || !outputPortWorker
        || !outputPortThread.isRunning() || !groundPortWorker() || !internalPortThread.isRunning())
        return;

    stopThread(authenticationThread);
    authenticationManager = nullptr;
    health.countHandshake();
    health.setPhase(LinkHealth::ModemRoutine);

    // Every stop and start waits for the routine and ends it with false, so a true here means
    // the ports it wrote to are still the current ones.
    const auto relay = [this, netId](bool completed) {
        if (!completed)
            return;
        emit netIdChanged(netId);
        startEncryptor();
        setEncryptionEnabled(true);
        health.setPhase(LinkHealth::Relay);
        emit authSucceeded();
    };
    startModemRoutine(outputPortWorker, static_cast<uint8_t>(netId & 0xFF), relay);
}

void EncryptorManager::onStartRefused(QString message)
{
    if (!authenticationManager || !authenticationThread.isRunning())
        return;
    stopAll();
    // After the stop's empty text, so that the reason stays on the status line.
    emit notification(message);
    emit error(message);
}

bool EncryptorManager::startEncryptor()
{
    stopThread(encryptorThread);

    encryptor = new SoftwareEncryptor(nullptr);
    encryptor->moveToThread(&encryptorThread);

    QObject *ground = groundPortWorker();
    connect(&encryptorThread, SIGNAL(started()), encryptor, SLOT(transportLoop()),
            Qt::QueuedConnection);
    connect(&encryptorThread, SIGNAL(finished()), encryptor, SLOT(deleteLater()),
            Qt::AutoConnection);
    if (auto *app = qobject_cast<QCoreApplication *>(parent()))
        connect(app, SIGNAL(aboutToQuit()), encryptor, SLOT(deleteLater()), Qt::AutoConnection);
    connect(ground, SIGNAL(dataArrived(QByteArray)), encryptor->plainMessageHandler(),
            SLOT(dataArrived(QByteArray)), Qt::QueuedConnection);
    connect(encryptor->plainMessageHandler(), SIGNAL(dataProcessed(QByteArray)),
            outputPortWorker, SLOT(writeData(QByteArray)), Qt::QueuedConnection);
    connect(outputPortWorker, SIGNAL(dataArrived(QByteArray)),
            encryptor->encryptedMessageHandler(), SLOT(dataArrived(QByteArray)),
            Qt::QueuedConnection);
    connect(encryptor->encryptedMessageHandler(), SIGNAL(dataProcessed(QByteArray)), ground,
            SLOT(writeData(QByteArray)), Qt::QueuedConnection);

    encryptorThread.start(QThread::InheritPriority);
    return true;
}
