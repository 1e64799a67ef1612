// Helpers shared by the framing tests, and the MAVLink fixtures the handler and simulator
// tests use too: channel reset, parsing a stream, hand-built frames.
#pragma once

#include <cstring>

#include "messaging/mavlink/Mavlink.h"
#include "tests/messaging/TestBytes.h"

// Frames written by npm node-mavlink 2.3.0 (mavlink-mappings 1.0.22-20260311); each one is
// byte-identical to what the MAVLink C library (c_library_v2 925ab39c44, 2018-03-21) writes.
namespace fixtures {
constexpr char F1[] = "fd090000000101000000000000000203510403e71e";  // HEARTBEAT v2
constexpr char F2[] = "fe09000101000000000002035104037ddd";          // the same as v1
constexpr char F3[] = "fd09000007ffbe000000000000000608c00403a7c1";  // GCS HEARTBEAT v2
constexpr char F4[] = "fd01000000ffbe150000017d37";                  // PARAM_REQUEST_LIST, trimmed to 1
constexpr char F5[] = "fd02000003ffbe2f00000101679d";                // MISSION_ACK, trimmed to 2
constexpr char F6[] = "fd20000004ffbe4c00000000803f0000000000000000000000000000000000000000000000009001"
                      "0101376d";  // COMMAND_LONG, trimmed to 32
constexpr char F6b[] = "fe2104ffbe4c0000803f00000000000000000000000000000000000000000000000090010101003b"
                       "b1";  // the same as v1, full 33 bytes
constexpr char F7[] = "fd00000000ffbe150000199f";    // PARAM_REQUEST_LIST all zero, LEN 0
constexpr char F7c[] = "fd01000000ffbe15000000a52e"; // the same from the C library, LEN 1
constexpr char F8[] = "fd1f0000090101010000010000000000000000000000f4013831ffff00000000000000000000000050aa93";
constexpr char F9[] = "fd2800000a0101010000010000000000000000000000f4013831ffff0000000000000000000000005000"
                      "00000000000000018c73";  // SYS_STATUS with an extension: LEN 40 > msg_len 31
constexpr char F10[] = "fd09010005ffbe000000000000000608c00403712d0100e06f9e75193b6935aed27e";  // signed
constexpr char F11[] = "fd0400000b010198000000000010d578";  // MEMINFO (152), not in the table
} // namespace fixtures

// Puts a channel back to its process-start state; the stale buffer holds `fill` so that
// zero-filling is observable.
inline void resetChannel(uint8_t chan, uint8_t fill = 0xA5)
{
    std::memset(mavlink_get_channel_status(chan), 0, sizeof(mavlink_status_t));
    std::memset(mavlink_get_channel_buffer(chan), fill, sizeof(mavlink_message_t));
}

struct ParseRun {
    std::vector<mavlink_message_t> messages;  // every FRAMING_OK, in order
    std::vector<size_t> okAt;                 // index of the byte that completed each
};

inline ParseRun parseAll(uint8_t chan, const Bytes &bytes)
{
    ParseRun run;
    mavlink_message_t msg{};
    for (size_t i = 0; i < bytes.size(); ++i)
        if (mavlink_parse_char(chan, bytes[i], &msg) == MAVLINK_FRAMING_OK)
            run.messages.push_back(msg), run.okAt.push_back(i);
    return run;
}

inline Bytes serialize(const mavlink_message_t &msg)
{
    Bytes out(MAVLINK_MAX_PACKET_LEN);
    out.resize(mavlink_msg_to_send_buffer(out.data(), &msg));
    return out;
}

// Header and payload exactly as given (no trimming), then the checksum seeded with crcExtra.
inline Bytes withChecksum(Bytes frame, const Bytes &payload, uint8_t crcExtra)
{
    frame.insert(frame.end(), payload.begin(), payload.end());
    uint16_t crc = crc_calculate(frame.data() + 1, frame.size() - 1);
    crc_accumulate(crcExtra, &crc);
    frame.push_back(uint8_t(crc));
    frame.push_back(uint8_t(crc >> 8));
    return frame;
}

inline Bytes buildV2(uint32_t msgid, const Bytes &payload, uint8_t crcExtra, uint8_t incompat = 0,
                     uint8_t seq = 1, uint8_t sysid = 1, uint8_t compid = 1)
{
    return withChecksum({MAVLINK_STX, uint8_t(payload.size()), incompat, 0, seq, sysid, compid, uint8_t(msgid),
                         uint8_t(msgid >> 8), uint8_t(msgid >> 16)},
                        payload, crcExtra);
}

inline Bytes buildV1(uint8_t msgid, const Bytes &payload, uint8_t crcExtra, uint8_t seq = 1, uint8_t sysid = 1,
                     uint8_t compid = 1)
{
    return withChecksum({MAVLINK_STX_MAVLINK1, uint8_t(payload.size()), seq, sysid, compid, msgid}, payload,
                        crcExtra);
}
