#include "tools/sim/VehicleMessages.h"

#include "messaging/mavlink/Mavlink.h"

namespace {

constexpr uint8_t kHeartbeatPayload[9] = {
    0x00, 0x00, 0x00, 0x00,  // custom_mode
    0x02,                    // type: quadrotor
    0x03,                    // autopilot: ArduPilot
    0x51,                    // base_mode
    0x04,                    // system_status: active
    0x03,                    // mavlink_version
};

} // namespace

void buildHeartbeat(uint8_t sequence, uint8_t systemId, uint8_t componentId,
                    uint8_t out[kHeartbeatFrameLength])
{
    out[0] = MAVLINK_STX;
    out[1] = sizeof kHeartbeatPayload;
    out[2] = 0;  // incompat_flags
    out[3] = 0;  // compat_flags
    out[4] = sequence;
    out[5] = systemId;
    out[6] = componentId;
    out[7] = out[8] = out[9] = 0;  // msgid 0
    for (size_t i = 0; i < sizeof kHeartbeatPayload; ++i)
        out[10 + i] = kHeartbeatPayload[i];
    uint16_t crc = crc_calculate(out + 1, 9 + sizeof kHeartbeatPayload);
    const mavlink_msg_entry_t *entry = mavlink_get_msg_entry(0);
    crc_accumulate(entry ? entry->crc_extra : 50, &crc);
    out[19] = static_cast<uint8_t>(crc & 0xFF);
    out[20] = static_cast<uint8_t>(crc >> 8);
}

std::string toHex(const uint8_t *data, size_t length)
{
    static const char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(2 * length);
    for (size_t i = 0; i < length; ++i) {
        text += kDigits[data[i] >> 4];
        text += kDigits[data[i] & 0x0F];
    }
    return text;
}
