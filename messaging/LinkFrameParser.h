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

    // Feeds one byte. Returns true when a frame is complete; frame then holds it (markers,
    // type, length, sequence, epoch, the first length payload bytes, mac). The record is written
    // only then: after false its contents are unspecified and callers do not read it.
    // A dropped frame is scanned again from the byte after its start marker: a damaged length
    // must not swallow the intact frame behind it. Those bytes are held and go through the
    // parser before the byte given, so one call may leave further frames held.
    bool parseByte(uint8_t byte, LinkFrame &frame);
    // Goes on through the held bytes; true for each further frame they complete. Callers
    // drain it after a chunk so that a frame found again does not wait for the next byte.
    bool nextHeldFrame(LinkFrame &frame);

    State state() const { return m_state; }

private:
    bool step(uint8_t byte, LinkFrame &frame);
    void rescan(const uint8_t *bytes, uint16_t count);

    LinkFrame m_work{};
    State m_state = WaitStart;
    uint16_t m_remaining = 0;  // bytes still expected in the current field
    // Bytes still to parse, taken back from a dropped frame. A frame dropped while bytes of an
    // earlier one are still held puts up to a longest frame back in front of them, so the room
    // is two longest frames; the fuzz target checks that every frame found was in the stream.
    uint8_t m_held[2 * kLinkFrameMaxSize]{};
    uint16_t m_heldAt = 0;
    uint16_t m_heldEnd = 0;
};
