// The signals every encryptor offers, whatever does the protecting.
#pragma once

#include <QObject>
#include <QString>

#include "messaging/MavlinkMetaType.h"

class Encryptor : public QObject
{
    Q_OBJECT

public:
    explicit Encryptor(QObject *parent = nullptr);

signals:
    void messageArrived(mavlink_message_t message);
    void error(QString err);
};
