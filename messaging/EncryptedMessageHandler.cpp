#include "messaging/EncryptedMessageHandler.h"

#include <cstring>

#include "auth/LinkSecurityState.h"
#include "crypto/RecordLayer.h"
#include "messaging/LinkFrame.h"
#include "messaging/LinkCounters.h"
#include "messaging/LinkFrameParser.h"

namespace {

// Channel 1 carries the decrypted records; channel 0 belongs to the other direction.
constexpr uint8_t kAircraftChannel = 1;

} // namespace

EncryptedMessageHandler::EncryptedMessageHandler(QObject *parent)
    : MessageHandler(parent)
{
}

bool EncryptedMessageHandler::isEncrypted() const
{
    return true;
}

void EncryptedMessageHandler::handleData()
{
    const QByteArray input = takePendingData();
    const auto *bytes = reinterpret_cast<const uint8_t *>(input.constData());
    const int count = input.size();
    LinkCounters::live().bytesFromAircraft += uint64_t(count);

    LinkFrameParser &parser = LinkFrameParser::instance();
    LinkFrame frame;
    std::memset(&frame, 0, sizeof frame);
    for (int i = 0; i < count; ++i) {
        if (parser.parseByte(bytes[i], frame))
            handleFrame(frame);
    }
    // Frames found again in the bytes of a dropped one go out now, not with the next chunk.
    while (parser.nextHeldFrame(frame))
        handleFrame(frame);
    publishLinkCounters();
}

// Any complete frame is tried, whatever its type: only a record that verifies and carries a
// MAVLink frame gets through.
void EncryptedMessageHandler::handleFrame(const LinkFrame &frame)
{
    // A record may fill a whole LinkFrame payload, so the buffer takes all 512 bytes
    // rather than the 280 of the largest MAVLink frame.
    uint8_t plaintext[kLinkFrameMaxPayload];
    uint16_t plaintextLength = 0;
    int result = 0;
    const bool accepted =
        unprotectFrame(LinkSecurityState::instance(), frame, plaintext, &plaintextLength, &result);
    countRecordResult(LinkCounters::live(), result);
    if (!accepted || plaintextLength == 0)
        return;

    mavlink_message_t message;
    std::memset(&message, 0, sizeof message);
    bool complete = false;
    // Bytes after the first complete message are not parsed: a peer sends one message
    // per record. A message that is still incomplete stays in the channel and is
    // finished by the plaintext of a later record.
    for (uint16_t k = 0; k < plaintextLength && !complete; ++k)
        complete = mavlink_parse_char(kAircraftChannel, plaintext[k], &message)
                   == MAVLINK_FRAMING_OK;
    if (!complete)
        return;

    uint8_t serialised[MAVLINK_MAX_PACKET_LEN];
    std::memset(serialised, 0, sizeof serialised);
    const uint16_t written = mavlink_msg_to_send_buffer(serialised, &message);
    emit dataProcessed(QByteArray(reinterpret_cast<const char *>(serialised), written));
}
