// Lets mavlink_message_t travel through queued signals. The entry function registers it
// by name with qRegisterMetaType<mavlink_message_t>("mavlink_message_t").
#pragma once

#include <QMetaType>

#include "messaging/mavlink/Mavlink.h"

Q_DECLARE_METATYPE(mavlink_message_t)
