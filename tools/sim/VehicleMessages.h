// MAVLink frames the simulated vehicle originates.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

constexpr size_t kHeartbeatFrameLength = 21;  // v2: 10 header, 9 payload, 2 checksum

// A version 2 HEARTBEAT of a quadrotor flying ArduPilot (type 2, autopilot 3, base_mode 0x51,
// system_status 4, custom_mode 0, mavlink_version 3). Writes kHeartbeatFrameLength bytes.
void buildHeartbeat(uint8_t sequence, uint8_t systemId, uint8_t componentId,
                    uint8_t out[kHeartbeatFrameLength]);

// Lower-case hex, no separators.
std::string toHex(const uint8_t *data, size_t length);
