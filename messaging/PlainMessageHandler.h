// Ground control to aircraft: MAVLink frames in clear in, one protected Data LinkFrame per
// MAVLink message out.
#pragma once

#include "messaging/MessageHandler.h"

class PlainMessageHandler : public MessageHandler
{
    Q_OBJECT

public:
    explicit PlainMessageHandler(QObject *parent = nullptr);

    bool isEncrypted() const override;

public slots:
    void handleData() override;
};
