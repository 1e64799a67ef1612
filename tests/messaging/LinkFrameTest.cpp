// LinkFrame writer and byte-at-a-time parser. Frames are built by hand from the wire layout:
// FC, type, length (LE), sequence (8, BE), epoch (4, BE), payload, MAC (8), ED.
#include <gtest/gtest.h>

#include <cstring>

#include "messaging/LinkFrame.h"
#include "messaging/LinkFrameParser.h"
#include "tests/messaging/TestBytes.h"

namespace {

// Sequence 0x11..18, epoch 0x21..24, MAC 0x31..38.
Bytes wire(uint8_t type, const Bytes &payload, uint8_t endMarker = 0xED)
{
    return concat({{0xFC, type, uint8_t(payload.size()), uint8_t(payload.size() >> 8)},
                   fromHex("1112131415161718" "21222324"), payload, fromHex("3132333435363738"), {endMarker}});
}

Bytes written(const LinkFrame &f)
{
    uint8_t out[kLinkFrameMaxSize];
    return Bytes(out, out + writeLinkFrame(f, out));
}

// Each byte goes in with a record of its own filled with junk: the result must not depend on
// what the caller's record held between calls. The writer's exact layout is checked on its
// own below, so frames are compared in written form.
std::vector<Bytes> feed(LinkFrameParser &parser, const Bytes &bytes)
{
    std::vector<Bytes> frames;
    LinkFrame frame;
    for (uint8_t byte : bytes) {
        std::memset(&frame, 0x5C, sizeof(frame));
        if (parser.parseByte(byte, frame))
            frames.push_back(written(frame));
    }
    while (parser.nextHeldFrame(frame))
        frames.push_back(written(frame));
    return frames;
}

TEST(LinkFrameWriter, WireLayout)
{
    LinkFrame f{};
    f.startMarker = kLinkFrameStartMarker;
    f.type = uint8_t(LinkFrameType::Finished);
    f.length = 24;
    f.sequence[7] = 1;
    for (int i = 0; i < 24; ++i)
        f.payload[i] = uint8_t(0xA0 + i);
    for (int i = 0; i < 8; ++i)
        f.mac[i] = uint8_t(0xF0 + i);
    std::memcpy(f.epoch, "\x01\x02\x03\x04", 4);
    f.endMarker = kLinkFrameEndMarker;
    uint8_t out[kLinkFrameMaxSize + 8];
    std::memset(out, 0xEE, sizeof(out));
    ASSERT_EQ(writeLinkFrame(f, out), 49);
    EXPECT_EQ(toHex(out, 50), "fc021800" "0000000000000001" "01020304" "a0a1a2a3a4a5a6a7a8a9aaabacadaeafb0b1b2b3b4b5b6b7"
                              "f0f1f2f3f4f5f6f7" "ed" "ee");

    // A length the record cannot hold is cut to the largest frame, never past either buffer.
    f.length = 600;
    std::memset(out, 0xEE, sizeof(out));
    ASSERT_EQ(writeLinkFrame(f, out), kLinkFrameMaxSize);
    EXPECT_EQ(toHex(out + 2, 2), "0002");
    EXPECT_EQ(out[kLinkFrameMaxSize], 0xEE);
}

// Frame boundaries and resynchronisation after a dropped frame.
TEST(LinkFrameParser, StreamsAndResynchronisation)
{
    const Bytes one = wire(0, {0x42}), longest = wire(2, patternBytes(512, 7)), hello = wire(1, patternBytes(96, 1));
    const Bytes longer = wire(0, patternBytes(300, 9));
    const Bytes oneTail(one.begin() + 1, one.end());
    // A whole frame inside the payload of a frame that then fails its end marker.
    const Bytes inner = wire(1, {0x01}), nested = wire(0, concat({inner, {0x00}}), 0x00);
    // A length damaged from 96 to 257 reaches over the next frame into the one after it.
    Bytes longHello = hello;
    longHello[2] = 0x01, longHello[3] = 0x01;
    Bytes shortHello = hello;
    shortHello.erase(shortHello.begin() + 40);
    // Marker bytes inside the fields need no escaping; 256 sets only the high length byte.
    const Bytes markers =
        concat({{0xFC, 2, 0x00, 0x01}, Bytes(8, 0xFC), Bytes(4, 0xED), Bytes(256, 0xFC), Bytes(8, 0xED), {0xED}});
    struct Case {
        const char *name;
        Bytes stream;
        std::vector<Bytes> frames;
    };
    const Case cases[] = {
        {"shortest frame, 26 bytes", one, {one}},
        {"longest frame, 537 bytes", longest, {longest}},
        {"marker bytes in every field", markers, {markers}},
        {"two frames in one chunk", concat({hello, one}), {hello, one}},
        {"junk before and between frames", concat({fromHex("00ed01"), one, fromHex("edfd"), hello}), {one, hello}},
        {"FC 03 drops at the type byte", concat({fromHex("fc03"), oneTail, one}), {one}},
        {"FC FC 00: the rejected type starts the next frame", concat({fromHex("fcfc"), oneTail, one}), {one, one}},
        {"length 513 is dropped", concat({wire(0, patternBytes(513, 3)), one}), {one}},
        {"length 0 is dropped", concat({wire(0, {}), one}), {one}},
        {"missing end byte drops the frame, next one parses", concat({wire(0, {0x42}, 0x00), one}), {one}},
        {"the byte that dropped a frame starts the next", concat({wire(0, {0x42}, 0xFC), oneTail, one}), {one, one}},
        {"a frame inside a dropped one is found", concat({nested, one}), {inner, one}},
        {"a lost byte: the frame behind is kept", concat({shortHello, one, hello}), {one, hello}},
        {"a damaged length swallows the next start", concat({longHello, one, longer}), {one, longer}},
    };
    for (const Case &c : cases) {
        LinkFrameParser parser;
        EXPECT_EQ(feed(parser, c.stream), c.frames) << c.name;
    }
}

}  // namespace
