#include "messaging/mavlink/MavlinkParser.h"

#include <cstring>

#include "messaging/mavlink/MavlinkCrc.h"
#include "messaging/mavlink/MavlinkMessageTable.h"

namespace {

// Zero-initialised at start, so every channel begins in MAVLINK_PARSE_STATE_UNINIT.
mavlink_status_t g_status[MAVLINK_COMM_NUM_BUFFERS];
mavlink_message_t g_buffer[MAVLINK_COMM_NUM_BUFFERS];

void startFrame(mavlink_status_t *status, mavlink_message_t *rx, uint8_t magic)
{
    status->parse_state = MAVLINK_PARSE_STATE_GOT_STX;
    rx->magic = magic;
    rx->len = 0;
    if (magic == MAVLINK_STX_MAVLINK1)
        status->flags |= MAVLINK_STATUS_FLAG_IN_MAVLINK1;
    else
        status->flags &= static_cast<uint8_t>(~MAVLINK_STATUS_FLAG_IN_MAVLINK1);
    crc_init(&rx->checksum);
}

bool inVersion1(const mavlink_status_t *status)
{
    return (status->flags & MAVLINK_STATUS_FLAG_IN_MAVLINK1) != 0;
}

// The state machine of one channel; inlined into both entry points so that the per-byte path
// of mavlink_parse_char is a single call.
inline uint8_t frameChar(mavlink_status_t *status, mavlink_message_t *rx, uint8_t c, mavlink_message_t *msg)
{
    uint8_t *payload = mavlink_payload(rx);

    status->msg_received = MAVLINK_FRAMING_INCOMPLETE;

    switch (status->parse_state) {
    case MAVLINK_PARSE_STATE_UNINIT:
    case MAVLINK_PARSE_STATE_IDLE:
        if (c == MAVLINK_STX || c == MAVLINK_STX_MAVLINK1)
            startFrame(status, rx, c);
        else
            ++status->skipped_bytes;
        break;

    case MAVLINK_PARSE_STATE_GOT_STX:
        rx->len = c;
        status->packet_idx = 0;
        crc_accumulate(c, &rx->checksum);
        if (inVersion1(status)) {
            rx->incompat_flags = 0;
            rx->compat_flags = 0;
            status->parse_state = MAVLINK_PARSE_STATE_GOT_COMPAT_FLAGS;
        } else {
            status->parse_state = MAVLINK_PARSE_STATE_GOT_LENGTH;
        }
        break;

    case MAVLINK_PARSE_STATE_GOT_LENGTH:
        rx->incompat_flags = c;
        if (c & ~MAVLINK_IFLAG_MASK) {
            // A flag we do not know may change the layout; the byte is consumed with the frame.
            status->parse_state = MAVLINK_PARSE_STATE_IDLE;
        } else {
            crc_accumulate(c, &rx->checksum);
            status->parse_state = MAVLINK_PARSE_STATE_GOT_INCOMPAT_FLAGS;
        }
        break;

    case MAVLINK_PARSE_STATE_GOT_INCOMPAT_FLAGS:
        rx->compat_flags = c;
        crc_accumulate(c, &rx->checksum);
        status->parse_state = MAVLINK_PARSE_STATE_GOT_COMPAT_FLAGS;
        break;

    case MAVLINK_PARSE_STATE_GOT_COMPAT_FLAGS:
        rx->seq = c;
        crc_accumulate(c, &rx->checksum);
        status->parse_state = MAVLINK_PARSE_STATE_GOT_SEQ;
        break;

    case MAVLINK_PARSE_STATE_GOT_SEQ:
        rx->sysid = c;
        crc_accumulate(c, &rx->checksum);
        status->parse_state = MAVLINK_PARSE_STATE_GOT_SYSID;
        break;

    case MAVLINK_PARSE_STATE_GOT_SYSID:
        rx->compid = c;
        crc_accumulate(c, &rx->checksum);
        status->parse_state = MAVLINK_PARSE_STATE_GOT_COMPID;
        break;

    case MAVLINK_PARSE_STATE_GOT_COMPID:
        rx->msgid = c;
        crc_accumulate(c, &rx->checksum);
        if (!inVersion1(status))
            status->parse_state = MAVLINK_PARSE_STATE_GOT_MSGID1;
        else
            status->parse_state = rx->len > 0 ? MAVLINK_PARSE_STATE_GOT_MSGID3 : MAVLINK_PARSE_STATE_GOT_PAYLOAD;
        break;

    case MAVLINK_PARSE_STATE_GOT_MSGID1:
        rx->msgid = rx->msgid | static_cast<uint32_t>(c) << 8;
        crc_accumulate(c, &rx->checksum);
        status->parse_state = MAVLINK_PARSE_STATE_GOT_MSGID2;
        break;

    case MAVLINK_PARSE_STATE_GOT_MSGID2:
        rx->msgid = rx->msgid | static_cast<uint32_t>(c) << 16;
        crc_accumulate(c, &rx->checksum);
        status->parse_state = rx->len > 0 ? MAVLINK_PARSE_STATE_GOT_MSGID3 : MAVLINK_PARSE_STATE_GOT_PAYLOAD;
        break;

    case MAVLINK_PARSE_STATE_GOT_MSGID3:
        // packet_idx < len <= 255 here, inside the 264-byte payload area.
        payload[status->packet_idx++] = c;
        crc_accumulate(c, &rx->checksum);
        if (status->packet_idx == rx->len)
            status->parse_state = MAVLINK_PARSE_STATE_GOT_PAYLOAD;
        break;

    case MAVLINK_PARSE_STATE_GOT_PAYLOAD: {
        const mavlink_msg_entry_t *entry = mavlink_get_msg_entry(rx->msgid);
        crc_accumulate(entry ? entry->crc_extra : 0, &rx->checksum);
        status->parse_state = c == (rx->checksum & 0xFF) ? MAVLINK_PARSE_STATE_GOT_CRC1
                                                         : MAVLINK_PARSE_STATE_GOT_BAD_CRC1;
        rx->ck[0] = c;
        // A version 2 sender drops trailing zeros; readers of the fields expect them back.
        if (entry && status->packet_idx < entry->msg_len)
            std::memset(payload + status->packet_idx, 0, entry->msg_len - status->packet_idx);
        break;
    }

    case MAVLINK_PARSE_STATE_GOT_CRC1:
    case MAVLINK_PARSE_STATE_GOT_BAD_CRC1:
        if (status->parse_state == MAVLINK_PARSE_STATE_GOT_BAD_CRC1 || c != (rx->checksum >> 8))
            status->msg_received = MAVLINK_FRAMING_BAD_CRC;
        else
            status->msg_received = MAVLINK_FRAMING_OK;
        rx->ck[1] = c;
        if (rx->incompat_flags & MAVLINK_IFLAG_SIGNED) {
            status->parse_state = MAVLINK_PARSE_STATE_SIGNATURE_WAIT;
            status->signature_wait = MAVLINK_SIGNATURE_BLOCK_LEN;
            // A bad checksum is reported at once; a good one waits for the signature.
            if (status->msg_received != MAVLINK_FRAMING_BAD_CRC)
                status->msg_received = MAVLINK_FRAMING_INCOMPLETE;
        } else {
            status->parse_state = MAVLINK_PARSE_STATE_IDLE;
            if (msg)
                std::memcpy(msg, rx, sizeof(*msg));
        }
        break;

    case MAVLINK_PARSE_STATE_SIGNATURE_WAIT:
        // signature_wait is 1..13 in this state; a status patched from outside may say otherwise.
        if (status->signature_wait == 0 || status->signature_wait > MAVLINK_SIGNATURE_BLOCK_LEN) {
            status->parse_state = MAVLINK_PARSE_STATE_IDLE;
            break;
        }
        rx->signature[MAVLINK_SIGNATURE_BLOCK_LEN - status->signature_wait] = c;
        if (--status->signature_wait == 0) {
            // No channel carries signing keys, and an unverifiable signature is not a valid one.
            status->msg_received = MAVLINK_FRAMING_BAD_SIGNATURE;
            status->parse_state = MAVLINK_PARSE_STATE_IDLE;
            if (msg)
                std::memcpy(msg, rx, sizeof(*msg));
        }
        break;

    default:
        status->parse_state = MAVLINK_PARSE_STATE_IDLE;
        break;
    }

    if (msg) {
        msg->len = rx->len;
        // Keep what was on the wire, so a caller that forwards the message anyway does not
        // send a checksum it did not receive.
        if (status->msg_received == MAVLINK_FRAMING_BAD_CRC)
            msg->checksum = static_cast<uint16_t>(rx->ck[0] | rx->ck[1] << 8);
    }
    return status->msg_received;
}

}  // namespace

mavlink_status_t *mavlink_get_channel_status(uint8_t chan)
{
    return chan < MAVLINK_COMM_NUM_BUFFERS ? &g_status[chan] : nullptr;
}

mavlink_message_t *mavlink_get_channel_buffer(uint8_t chan)
{
    return chan < MAVLINK_COMM_NUM_BUFFERS ? &g_buffer[chan] : nullptr;
}

uint8_t mavlink_frame_char(uint8_t chan, uint8_t c, mavlink_message_t *msg)
{
    if (chan >= MAVLINK_COMM_NUM_BUFFERS)
        return MAVLINK_FRAMING_INCOMPLETE;
    return frameChar(&g_status[chan], &g_buffer[chan], c, msg);
}

uint8_t mavlink_parse_char(uint8_t chan, uint8_t c, mavlink_message_t *msg)
{
    if (chan >= MAVLINK_COMM_NUM_BUFFERS)
        return MAVLINK_FRAMING_INCOMPLETE;
    mavlink_status_t *status = &g_status[chan];
    mavlink_message_t *rx = &g_buffer[chan];
    const uint8_t result = frameChar(status, rx, c, msg);
    if (result != MAVLINK_FRAMING_BAD_CRC && result != MAVLINK_FRAMING_BAD_SIGNATURE)
        return result;

    if (result == MAVLINK_FRAMING_BAD_SIGNATURE)
        ++status->drop_signed;
    else if (mavlink_get_msg_entry(rx->msgid) == nullptr)
        ++status->drop_unknown_id;
    else
        ++status->drop_bad_crc;
    status->msg_received = MAVLINK_FRAMING_INCOMPLETE;
    status->parse_state = MAVLINK_PARSE_STATE_IDLE;
    // A checksum mismatch often means the frame was cut short and this byte begins the next one.
    if (c == MAVLINK_STX)
        startFrame(status, rx, MAVLINK_STX);
    return MAVLINK_FRAMING_INCOMPLETE;
}
