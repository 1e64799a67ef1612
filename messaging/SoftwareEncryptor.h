// Worker of the encryptor thread: owns both message handlers and runs a pass over them when
// bytes arrive, the ground-control direction first in every pass. Nothing runs while the
// link is idle.
#pragma once

#include "messaging/EncryptedMessageHandler.h"
#include "messaging/Encryptor.h"
#include "messaging/PlainMessageHandler.h"

class SoftwareEncryptor : public Encryptor
{
    Q_OBJECT

public:
    explicit SoftwareEncryptor(QObject *parent = nullptr);

    PlainMessageHandler *plainMessageHandler();
    EncryptedMessageHandler *encryptedMessageHandler();

private slots:
    // One pass: the ground-control bytes, then the modem bytes.
    void transportLoop();
    void schedulePass();

private:
    // Children of the encryptor, so that they move with it into its thread; as members
    // they are destroyed before the base, each leaving its parent's list of children.
    PlainMessageHandler plainHandler;
    EncryptedMessageHandler encryptedHandler;
    bool passScheduled = false;
};
