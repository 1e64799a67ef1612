// Aircraft to ground control: LinkFrames from the modem in, one MAVLink frame per accepted
// record out.
#pragma once

#include "messaging/LinkFrame.h"
#include "messaging/MessageHandler.h"

class EncryptedMessageHandler : public MessageHandler
{
    Q_OBJECT

public:
    explicit EncryptedMessageHandler(QObject *parent = nullptr);

    bool isEncrypted() const override;

public slots:
    void handleData() override;

private:
    void handleFrame(const LinkFrame &frame);
};
