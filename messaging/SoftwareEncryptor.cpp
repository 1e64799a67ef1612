#include "messaging/SoftwareEncryptor.h"

namespace {

constexpr int kLoopIntervalMs = 1;

} // namespace

SoftwareEncryptor::SoftwareEncryptor(QObject *parent)
    : Encryptor(parent)
    , plainHandler(this)
    , encryptedHandler(this)
    , loopTimer(this)
{
    connect(&plainHandler, &MessageHandler::messageArrived, this, &Encryptor::messageArrived,
            Qt::QueuedConnection);
    connect(&encryptedHandler, &MessageHandler::messageArrived, this,
            &Encryptor::messageArrived, Qt::QueuedConnection);

    // Single-shot and restarted at the end of every pass: passes never overlap or queue
    // up, and a pass entered from elsewhere restarts the one chain instead of adding one.
    loopTimer.setSingleShot(true);
    connect(&loopTimer, &QTimer::timeout, this, &SoftwareEncryptor::transportLoop);
    // Started in the thread the encryptor then lives in: a timer running when it moves makes
    // Qt post the timer's re-registration with a list that leaks when the thread ends first.
    QMetaObject::invokeMethod(&loopTimer, "start", Qt::QueuedConnection, Q_ARG(int, 0));
}

SoftwareEncryptor::~SoftwareEncryptor()
{
    loopTimer.stop();
}

PlainMessageHandler *SoftwareEncryptor::plainMessageHandler()
{
    return &plainHandler;
}

EncryptedMessageHandler *SoftwareEncryptor::encryptedMessageHandler()
{
    return &encryptedHandler;
}

void SoftwareEncryptor::transportLoop()
{
    plainHandler.handleData();
    encryptedHandler.handleData();
    loopTimer.start(kLoopIntervalMs);
}
