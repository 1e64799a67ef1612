// From two open ports to the encrypted relay: authentication over the modem link, the agreed
// network id into the modem, then the software encryptor between the two ports.
#include "manager/EncryptorManager.h"

#include <QCoreApplication>
#include <QEvent>
#include <QScopedValueRollback>

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
    stopThread(authenticationThread);
    authenticationManager = nullptr;
    dropStaleAuthenticationEvents();
    LinkSecurityState::instance().wipeKeys();
    QCoreApplication::processEvents();

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
}

void EncryptorManager::onAuthSucceeded(int netId)
{
    // Every operation that lets events through replaces or stops the authentication run, so
    // a success delivered inside one belongs to a run that is gone.
    if (busy)
        return;
    const QScopedValueRollback<bool> operation(busy, true);
    // Only the current run may continue, and only onto workers that are still running.
    if (!authenticationManager || !authenticationThread.isRunning() || !outputPortWorker
        || !outputPortThread.isRunning() || !groundPortWorker() || !internalPortThread.isRunning())
        return;

    stopThread(authenticationThread);
    authenticationManager = nullptr;

    writeNetworkIdToModem(outputPortWorker, static_cast<uint8_t>(netId & 0xFF));
    emit netIdChanged(netId);

    startEncryptor();
    if (!encryptionEnabled) {
        encryptionEnabled = true;
        emit encryptionEnabledChanged();
    }
    emit authSucceeded();
}

void EncryptorManager::onStartRefused(QString message)
{
    if (busy || !authenticationManager || !authenticationThread.isRunning())
        return;
    const QScopedValueRollback<bool> operation(busy, true);
    stopAll();
    // After the stop's empty text, so that the reason stays on the status line.
    emit notification(message);
    emit error(message);
}

bool EncryptorManager::startEncryptor()
{
    stopThread(encryptorThread);
    QCoreApplication::processEvents();

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
