#include "messaging/mavlink/MavlinkSerializer.h"

#include <cstring>

#include "messaging/mavlink/MavlinkCrc.h"
#include "messaging/mavlink/MavlinkMessageTable.h"

namespace {

uint8_t trimmedLength(const uint8_t *payload, uint8_t len)
{
    while (len > 1 && payload[len - 1] == 0)
        --len;
    return len;
}

}  // namespace

uint16_t mavlink_msg_to_send_buffer(uint8_t *buf, const mavlink_message_t *msg)
{
    const uint8_t *payload = mavlink_payload(msg);
    uint8_t length = msg->len;
    uint16_t checksum = msg->checksum;
    size_t headerLen;
    size_t signatureLen = 0;

    if (msg->magic == MAVLINK_STX_MAVLINK1) {
        headerLen = MAVLINK_CORE_HEADER_MAVLINK1_LEN;
        buf[0] = msg->magic;
        buf[1] = length;
        buf[2] = msg->seq;
        buf[3] = msg->sysid;
        buf[4] = msg->compid;
        buf[5] = static_cast<uint8_t>(msg->msgid & 0xFF);
    } else {
        headerLen = MAVLINK_CORE_HEADER_LEN;
        length = trimmedLength(payload, length);
        if (msg->incompat_flags & MAVLINK_IFLAG_SIGNED)
            signatureLen = MAVLINK_SIGNATURE_BLOCK_LEN;
        buf[0] = msg->magic;
        buf[1] = length;
        buf[2] = msg->incompat_flags;
        buf[3] = msg->compat_flags;
        buf[4] = msg->seq;
        buf[5] = msg->sysid;
        buf[6] = msg->compid;
        buf[7] = static_cast<uint8_t>(msg->msgid & 0xFF);
        buf[8] = static_cast<uint8_t>((msg->msgid >> 8) & 0xFF);
        buf[9] = static_cast<uint8_t>((msg->msgid >> 16) & 0xFF);
    }
    std::memcpy(buf + headerLen + 1, payload, length);

    if (length != msg->len) {
        // The received checksum covered the untrimmed length and payload.
        const mavlink_msg_entry_t *entry = mavlink_get_msg_entry(msg->msgid);
        checksum = crc_calculate(buf + 1, headerLen + length);
        crc_accumulate(entry ? entry->crc_extra : 0, &checksum);
    }

    uint8_t *ck = buf + headerLen + 1 + length;
    ck[0] = static_cast<uint8_t>(checksum & 0xFF);
    ck[1] = static_cast<uint8_t>(checksum >> 8);
    if (signatureLen)
        std::memcpy(ck + 2, msg->signature, signatureLen);
    return static_cast<uint16_t>(headerLen + 1 + length + MAVLINK_NUM_CHECKSUM_BYTES + signatureLen);
}
