#include "messaging/SoftwareEncryptor.h"

SoftwareEncryptor::SoftwareEncryptor(QObject *parent)
    : Encryptor(parent)
    , plainHandler(this)
    , encryptedHandler(this)
{
    connect(&plainHandler, &MessageHandler::messageArrived, this, &Encryptor::messageArrived,
            Qt::QueuedConnection);
    connect(&encryptedHandler, &MessageHandler::messageArrived, this,
            &Encryptor::messageArrived, Qt::QueuedConnection);

    // Direct: the handlers live in this thread, and the pass itself is queued below.
    connect(&plainHandler, &MessageHandler::dataPending, this, &SoftwareEncryptor::schedulePass,
            Qt::DirectConnection);
    connect(&encryptedHandler, &MessageHandler::dataPending, this,
            &SoftwareEncryptor::schedulePass, Qt::DirectConnection);
}

PlainMessageHandler *SoftwareEncryptor::plainMessageHandler()
{
    return &plainHandler;
}

EncryptedMessageHandler *SoftwareEncryptor::encryptedMessageHandler()
{
    return &encryptedHandler;
}

void SoftwareEncryptor::schedulePass()
{
    if (passScheduled)
        return;
    passScheduled = true;
    // Queued behind the chunks already waiting in this thread's queue: when both ports have
    // delivered, the pass sees both and the ground-control bytes go first.
    QMetaObject::invokeMethod(this, &SoftwareEncryptor::transportLoop, Qt::QueuedConnection);
}

void SoftwareEncryptor::transportLoop()
{
    passScheduled = false;
    plainHandler.handleData();
    encryptedHandler.handleData();
}
