// Recognises LinkFrames in the modem byte stream, one byte at a time.
// There is one parser for the process (instance()); the authentication thread and then the
// encryptor thread use it, never both at once, so it has no lock. A frame half received when
// one stops is completed by the other.
#pragma once

#include <cstdint>

#include "messaging/LinkFrame.h"

class LinkFrameParser {
public:
    enum State : uint8_t {
        WaitStart,
        WaitType,
        WaitLength,
        WaitSequence,
        WaitEpoch,
        WaitPayload,
        WaitMac,
        WaitEndMarker,
    };

    static LinkFrameParser &instance();

    LinkFrameParser() = default;

    // Feeds one byte. Returns true when it completed a frame; frame then holds it (markers,
    // type, length, sequence, epoch, the first length payload bytes, mac). The record is written
    // only then: after false its contents are unspecified and callers do not read it.
    // A dropped frame is not rescanned: the search for the next 0xFC starts after the byte that
    // dropped it, and that byte is never a start marker itself.
    bool parseByte(uint8_t byte, LinkFrame &frame);

    State state() const { return m_state; }

private:
    LinkFrame m_work{};
    State m_state = WaitStart;
    uint16_t m_remaining = 0;  // bytes still expected in the current field
};
