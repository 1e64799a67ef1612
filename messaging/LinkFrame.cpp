#include "messaging/LinkFrame.h"

#include <cstring>

uint16_t writeLinkFrame(const LinkFrame &frame, uint8_t *out)
{
    // A length beyond the payload array would overrun both buffers; write what the record holds.
    const uint16_t length = frame.length <= kLinkFrameMaxPayload ? frame.length : kLinkFrameMaxPayload;
    uint8_t *p = out;
    *p++ = frame.startMarker;
    *p++ = frame.type;
    *p++ = static_cast<uint8_t>(length & 0xFF);
    *p++ = static_cast<uint8_t>(length >> 8);
    std::memcpy(p, frame.sequence, sizeof(frame.sequence));
    p += sizeof(frame.sequence);
    std::memcpy(p, frame.epoch, sizeof(frame.epoch));
    p += sizeof(frame.epoch);
    std::memcpy(p, frame.payload, length);
    p += length;
    std::memcpy(p, frame.mac, sizeof(frame.mac));
    p += sizeof(frame.mac);
    *p++ = frame.endMarker;
    return static_cast<uint16_t>(p - out);
}
