// Frames on the modem link: the in-memory record, the writer and the byte-at-a-time parser.
// Plain data and functions: no Qt, no allocation, no exceptions.
#pragma once

#include <cstddef>
#include <cstdint>

enum class LinkFrameType : uint8_t {
    Data = 0,
    Hello = 1,
    Finished = 2,
};

constexpr uint8_t kLinkFrameStartMarker = 0xFC;
constexpr uint8_t kLinkFrameEndMarker = 0xED;
constexpr uint16_t kLinkFrameMaxPayload = 512;
// Header (marker, type, length, sequence, epoch) + MAC + end marker.
constexpr uint16_t kLinkFrameOverhead = 25;
constexpr uint16_t kLinkFrameMaxSize = kLinkFrameMaxPayload + kLinkFrameOverhead;

// sequence, epoch and mac hold the bytes exactly as they travel on the wire;
// the record layer reads and writes them big-endian.
struct LinkFrame {
    uint8_t startMarker;
    uint8_t type;
    uint16_t length;
    uint8_t sequence[8];
    uint8_t epoch[4];
    uint8_t payload[kLinkFrameMaxPayload];
    uint8_t mac[8];
    uint8_t endMarker;
};

// Writes the frame in wire order into out (room for kLinkFrameMaxSize bytes) and returns
// length + 25. Checks nothing: markers, type and length are the caller's.
// The one exception: a length above kLinkFrameMaxPayload is written as kLinkFrameMaxPayload,
// so that neither the record nor out is overrun.
uint16_t writeLinkFrame(const LinkFrame &frame, uint8_t *out);
