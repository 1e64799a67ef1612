#include "messaging/PlainMessageHandler.h"

#include <cstring>

#include "auth/LinkSecurityState.h"
#include "crypto/RecordLayer.h"
#include "messaging/LinkCounters.h"
#include "messaging/LinkFrame.h"

namespace {

// Channel 0 carries the ground-control stream; channel 1 belongs to the other direction.
constexpr uint8_t kGroundControlChannel = 0;

} // namespace

PlainMessageHandler::PlainMessageHandler(QObject *parent)
    : MessageHandler(parent)
{
}

bool PlainMessageHandler::isEncrypted() const
{
    return false;
}

void PlainMessageHandler::handleData()
{
    const QByteArray input = takePendingData();
    const auto *bytes = reinterpret_cast<const uint8_t *>(input.constData());
    const int count = input.size();

    mavlink_message_t message;
    std::memset(&message, 0, sizeof message);
    uint8_t serialised[MAVLINK_MAX_PACKET_LEN];
    LinkFrame frame;
    uint8_t wire[kLinkFrameMaxSize];

    for (int i = 0; i < count; ++i) {
        if (mavlink_parse_char(kGroundControlChannel, bytes[i], &message) != MAVLINK_FRAMING_OK)
            continue;

        std::memset(&frame, 0, sizeof frame);
        frame.startMarker = kLinkFrameStartMarker;
        frame.type = static_cast<uint8_t>(LinkFrameType::Data);
        frame.endMarker = kLinkFrameEndMarker;

        // The record carries the message as written out again, so a version 2 payload
        // travels without its trailing zero bytes.
        const uint16_t length = mavlink_msg_to_send_buffer(serialised, &message);
        if (!protectFrame(LinkSecurityState::instance(), serialised, length, frame))
            continue;

        std::memset(wire, 0, sizeof wire);
        const uint16_t written = writeLinkFrame(frame, wire);
        ++LinkCounters::live().recordsSent;
        LinkCounters::live().bytesToAircraft += written;
        emit dataProcessed(QByteArray(reinterpret_cast<const char *>(wire), written));
    }
    publishLinkCounters();
}
