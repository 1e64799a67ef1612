// Worker of the encryptor thread: owns both message handlers and runs them from a 1 ms
// single-shot loop, the ground-control direction first in every pass.
#pragma once

#include <QTimer>

#include "messaging/EncryptedMessageHandler.h"
#include "messaging/Encryptor.h"
#include "messaging/PlainMessageHandler.h"

class SoftwareEncryptor : public Encryptor
{
    Q_OBJECT

public:
    explicit SoftwareEncryptor(QObject *parent = nullptr);
    ~SoftwareEncryptor() override;

    PlainMessageHandler *plainMessageHandler();
    EncryptedMessageHandler *encryptedMessageHandler();

private slots:
    void transportLoop();

private:
    // Children of the encryptor, so that they move with it into its thread; as members
    // they are destroyed before the base, each leaving its parent's list of children.
    PlainMessageHandler plainHandler;
    EncryptedMessageHandler encryptedHandler;
    QTimer loopTimer;
};
