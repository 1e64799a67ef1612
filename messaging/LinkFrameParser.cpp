#include "messaging/LinkFrameParser.h"

#include <cstring>

namespace {

constexpr uint8_t kTypeCount = 3;  // Data, Hello, Finished

// Copies what a completed frame defines; the payload tail beyond length belongs to older
// frames and is left out so a short frame costs a short copy.
void copyFrame(const LinkFrame &from, LinkFrame &to)
{
    to.startMarker = from.startMarker;
    to.type = from.type;
    to.length = from.length;
    std::memcpy(to.sequence, from.sequence, sizeof(to.sequence));
    std::memcpy(to.epoch, from.epoch, sizeof(to.epoch));
    std::memcpy(to.payload, from.payload, from.length);
    std::memcpy(to.mac, from.mac, sizeof(to.mac));
    to.endMarker = from.endMarker;
}

}  // namespace

LinkFrameParser &LinkFrameParser::instance()
{
    static LinkFrameParser parser;
    return parser;
}

// Inlined into both callers: a call per byte costs a third of the parser's speed.
[[gnu::always_inline]] inline bool LinkFrameParser::step(uint8_t byte, LinkFrame &frame)
{
    switch (m_state) {
    case WaitStart:
        if (byte == kLinkFrameStartMarker) {
            m_work.startMarker = byte;
            m_state = WaitType;
        }
        return false;

    case WaitType:
        if (byte < kTypeCount) {
            m_work.type = byte;
            m_remaining = 2;
            m_state = WaitLength;
        } else {
            rescan(&byte, 1);
        }
        return false;

    case WaitLength:
        if (m_remaining == 2) {
            m_work.length = byte;
            m_remaining = 1;
            return false;
        }
        m_work.length = static_cast<uint16_t>(m_work.length | byte << 8);
        if (m_work.length == 0 || m_work.length > kLinkFrameMaxPayload) {
            const uint8_t taken[] = {m_work.type, static_cast<uint8_t>(m_work.length), byte};
            rescan(taken, sizeof(taken));
        } else {
            m_remaining = sizeof(m_work.sequence);
            m_state = WaitSequence;
        }
        return false;

    case WaitSequence:
        m_work.sequence[sizeof(m_work.sequence) - m_remaining] = byte;
        if (--m_remaining == 0) {
            m_remaining = sizeof(m_work.epoch);
            m_state = WaitEpoch;
        }
        return false;

    case WaitEpoch:
        m_work.epoch[sizeof(m_work.epoch) - m_remaining] = byte;
        if (--m_remaining == 0) {
            m_remaining = m_work.length;
            m_state = WaitPayload;
        }
        return false;

    case WaitPayload:
        m_work.payload[m_work.length - m_remaining] = byte;
        if (--m_remaining == 0) {
            m_remaining = sizeof(m_work.mac);
            m_state = WaitMac;
        }
        return false;

    case WaitMac:
        m_work.mac[sizeof(m_work.mac) - m_remaining] = byte;
        if (--m_remaining == 0)
            m_state = WaitEndMarker;
        return false;

    case WaitEndMarker:
        m_state = WaitStart;
        if (byte != kLinkFrameEndMarker) {
            uint8_t taken[kLinkFrameMaxSize];
            m_work.endMarker = byte;
            const uint16_t size = writeLinkFrame(m_work, taken);
            rescan(taken + 1, static_cast<uint16_t>(size - 1));
            return false;
        }
        m_work.endMarker = byte;
        copyFrame(m_work, frame);
        return true;
    }

    m_remaining = 0;
    m_state = WaitStart;
    return false;
}

bool LinkFrameParser::parseByte(uint8_t byte, LinkFrame &frame)
{
    if (m_heldAt == m_heldEnd) {
        if (step(byte, frame))
            return true;
        if (m_heldAt == m_heldEnd)
            return false;
    } else if (m_heldEnd < sizeof(m_held)) {
        m_held[m_heldEnd++] = byte;
    }
    return nextHeldFrame(frame);
}

bool LinkFrameParser::nextHeldFrame(LinkFrame &frame)
{
    // step() may refill the held bytes when it drops a frame.
    while (m_heldAt < m_heldEnd) {
        if (step(m_held[m_heldAt++], frame))
            return true;
    }
    m_heldAt = m_heldEnd = 0;
    return false;
}

// Puts the bytes of a dropped frame after its start marker in front of what is still held.
void LinkFrameParser::rescan(const uint8_t *bytes, uint16_t count)
{
    const uint16_t rest = static_cast<uint16_t>(m_heldEnd - m_heldAt);
    if (count + rest > sizeof(m_held))
        count = static_cast<uint16_t>(sizeof(m_held) - rest);
    std::memmove(m_held + count, m_held + m_heldAt, rest);
    std::memcpy(m_held, bytes, count);
    m_heldAt = 0;
    m_heldEnd = static_cast<uint16_t>(count + rest);
    m_state = WaitStart;
}
