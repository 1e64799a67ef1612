// Any byte stream through the MAVLink parser: nothing may crash, and every message that comes
// out must be written as a frame that parses again, on its own, to the same message.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "messaging/mavlink/Mavlink.h"
#include "tests/messaging/fuzz/FuzzInput.h"

namespace {

uint8_t payloadByte(const mavlink_message_t &m, size_t i)
{
    return i < m.len ? mavlink_payload(&m)[i] : 0;
}

void checkRoundTrip(const mavlink_message_t &msg)
{
    // The parser never delivers signed frames or unknown incompatibility flags.
    check(msg.incompat_flags == 0);
    check(msg.magic == MAVLINK_STX || msg.magic == MAVLINK_STX_MAVLINK1);

    uint8_t wire[MAVLINK_MAX_PACKET_LEN];
    const uint16_t n = mavlink_msg_to_send_buffer(wire, &msg);
    check(n <= MAVLINK_MAX_PACKET_LEN);

    std::memset(mavlink_get_channel_status(1), 0, sizeof(mavlink_status_t));
    mavlink_message_t again;
    for (uint16_t i = 0; i < n; ++i) {
        const uint8_t r = mavlink_parse_char(1, wire[i], &again);
        check(r == (i + 1 == n ? MAVLINK_FRAMING_OK : MAVLINK_FRAMING_INCOMPLETE));
    }
    check(again.magic == msg.magic && again.seq == msg.seq && again.sysid == msg.sysid &&
          again.compid == msg.compid && again.msgid == msg.msgid && again.compat_flags == msg.compat_flags);
    if (msg.magic == MAVLINK_STX_MAVLINK1)
        check(again.len == msg.len);
    else
        check(again.len <= msg.len);
    // Trimming drops zeros only: both payloads read the same with missing bytes as zeros.
    for (size_t i = 0; i < MAVLINK_MAX_PAYLOAD_LEN; ++i)
        check(payloadByte(again, i) == payloadByte(msg, i));

    uint8_t rewritten[MAVLINK_MAX_PACKET_LEN];
    check(mavlink_msg_to_send_buffer(rewritten, &again) == n);
    check(std::memcmp(rewritten, wire, n) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::memset(mavlink_get_channel_status(0), 0, sizeof(mavlink_status_t));
    mavlink_message_t msg;
    std::memset(&msg, 0, sizeof(msg));
    for (size_t i = 0; i < size; ++i) {
        const uint8_t r = mavlink_parse_char(0, data[i], &msg);
        check(r == MAVLINK_FRAMING_INCOMPLETE || r == MAVLINK_FRAMING_OK);
        check(mavlink_get_channel_status(0)->parse_state <= MAVLINK_PARSE_STATE_SIGNATURE_WAIT);
        if (r == MAVLINK_FRAMING_OK)
            checkRoundTrip(msg);
    }

    // The state machine underneath, with its failure results, on the same bytes.
    std::memset(mavlink_get_channel_status(1), 0, sizeof(mavlink_status_t));
    for (size_t i = 0; i < size; ++i)
        check(mavlink_frame_char(1, data[i], &msg) <= MAVLINK_FRAMING_BAD_SIGNATURE);
    return 0;
}
