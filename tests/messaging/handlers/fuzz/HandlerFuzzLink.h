// What the two handler fuzz targets share: a link up under a fixed secret on the ground's
// state and on an aircraft-side state, MAVLink channels idle, and a handler driven the way the
// encryptor drives it, its emissions collected.
#pragma once

#include <QByteArray>
#include <QList>
#include <QMetaObject>
#include <QObject>

#include <cstdlib>
#include <cstring>

#include "auth/LinkSecurityState.h"
#include "messaging/MessageHandler.h"
#include "messaging/mavlink/Mavlink.h"
#include "tests/messaging/fuzz/FuzzInput.h"

namespace fuzzlink {

inline LinkSecurityState &aircraft()
{
    static LinkSecurityState state;
    return state;
}

inline void establish()
{
    static const uint8_t kSecret[32] = {0x1f, 0x8a, 0x33, 0xc6, 0x70, 0x0d, 0xe9, 0x54, 0xb1, 0x2e, 0x97,
                                        0x48, 0xfa, 0x65, 0x0c, 0xd3, 0x29, 0x86, 0x5b, 0xe0, 0x17, 0xac,
                                        0x42, 0x9f, 0x3e, 0xd5, 0x68, 0x01, 0xbb, 0x74, 0xc2, 0x5d};
    LinkSecurityState::instance().installMasterSecret(kSecret);
    aircraft().installMasterSecret(kSecret);
    for (uint8_t channel = 0; channel < MAVLINK_COMM_NUM_BUFFERS; ++channel)
        std::memset(mavlink_get_channel_status(channel), 0, sizeof(mavlink_status_t));
}

// Exactly one whole MAVLink frame, parsed on a channel the handler under test does not use.
inline bool oneMavlinkFrame(const uint8_t *bytes, size_t size, uint8_t channel)
{
    std::memset(mavlink_get_channel_status(channel), 0, sizeof(mavlink_status_t));
    mavlink_message_t message;
    for (size_t i = 0; i < size; ++i)
        if (mavlink_parse_char(channel, bytes[i], &message) == MAVLINK_FRAMING_OK)
            return i + 1 == size;
    return false;
}

struct Driven {
    MessageHandler &handler;
    QList<QByteArray> emitted;
    explicit Driven(MessageHandler &h)
        : handler(h)
    {
        QObject::connect(&handler, &MessageHandler::dataProcessed,
                         [this](const QByteArray &data) { emitted << data; });
    }
    void pass(const QByteArray &chunk)
    {
        check(QMetaObject::invokeMethod(&handler, "dataArrived", Qt::DirectConnection, Q_ARG(QByteArray, chunk)));
        handler.handleData();
    }
};

} // namespace fuzzlink
