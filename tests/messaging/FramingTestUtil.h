// Helpers shared by the framing tests: hex fixtures, channel reset, hand-built MAVLink frames.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "messaging/mavlink/Mavlink.h"

using Bytes = std::vector<uint8_t>;

inline Bytes fromHex(const std::string &hex)
{
    Bytes out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    return out;
}

inline Bytes concat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes &p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

// Puts a channel back to its process-start state; stale buffer bytes are set to `fill`
// so that zero-filling is observable.
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
    mavlink_message_t msg;
    std::memset(&msg, 0, sizeof(msg));
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (mavlink_parse_char(chan, bytes[i], &msg) == MAVLINK_FRAMING_OK) {
            run.messages.push_back(msg);
            run.okAt.push_back(i);
        }
    }
    return run;
}

inline Bytes serialize(const mavlink_message_t &msg)
{
    Bytes out(MAVLINK_MAX_PACKET_LEN);
    out.resize(mavlink_msg_to_send_buffer(out.data(), &msg));
    return out;
}

// A version 2 frame exactly as given (no trimming), checksummed with crcExtra.
inline Bytes buildV2(uint32_t msgid, const Bytes &payload, uint8_t crcExtra, uint8_t incompat = 0,
                     uint8_t seq = 1, uint8_t sysid = 1, uint8_t compid = 1)
{
    const uint8_t header[] = {MAVLINK_STX, static_cast<uint8_t>(payload.size()), incompat, 0, seq, sysid, compid,
                              static_cast<uint8_t>(msgid), static_cast<uint8_t>(msgid >> 8),
                              static_cast<uint8_t>(msgid >> 16)};
    Bytes f(sizeof(header) + payload.size());
    std::memcpy(f.data(), header, sizeof(header));
    if (!payload.empty())
        std::memcpy(f.data() + sizeof(header), payload.data(), payload.size());
    uint16_t crc = crc_calculate(f.data() + 1, f.size() - 1);
    crc_accumulate(crcExtra, &crc);
    f.push_back(static_cast<uint8_t>(crc));
    f.push_back(static_cast<uint8_t>(crc >> 8));
    return f;
}
