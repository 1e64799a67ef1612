// LinkFrame writer and byte-at-a-time parser. Frames are built by hand from the wire layout:
// FC, type, length (LE), sequence (8, BE), epoch (4, BE), payload, MAC (8), ED.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "messaging/LinkFrame.h"
#include "messaging/LinkFrameParser.h"
#include "tests/messaging/FramingTestUtil.h"

namespace {

Bytes wire(uint8_t type, const Bytes &payload, uint8_t endMarker = 0xED)
{
    Bytes f = {0xFC, type, static_cast<uint8_t>(payload.size()), static_cast<uint8_t>(payload.size() >> 8)};
    for (int i = 0; i < 12; ++i)  // sequence 0x1011..18, epoch 0x2021..24
        f.push_back(static_cast<uint8_t>(i < 8 ? 0x11 + i : 0x21 + i - 8));
    f.insert(f.end(), payload.begin(), payload.end());
    for (int i = 0; i < 8; ++i)
        f.push_back(static_cast<uint8_t>(0x31 + i));
    f.push_back(endMarker);
    return f;
}

Bytes patterned(size_t n, uint8_t seed)
{
    Bytes p(n);
    for (size_t i = 0; i < n; ++i)
        p[i] = static_cast<uint8_t>(seed + i * 13);
    return p;
}

struct FrameRun {
    std::vector<LinkFrame> frames;
    std::vector<size_t> at;  // index of the completing byte
};

// Each byte goes in with a record of its own filled with junk: the result must not depend on
// what the caller's record held between calls.
FrameRun feed(LinkFrameParser &parser, const Bytes &bytes)
{
    FrameRun run;
    for (size_t i = 0; i < bytes.size(); ++i) {
        LinkFrame frame;
        std::memset(&frame, 0x5C, sizeof(frame));
        if (parser.parseByte(bytes[i], frame)) {
            run.frames.push_back(frame);
            run.at.push_back(i);
        }
    }
    return run;
}

void expectFrame(const LinkFrame &f, const Bytes &w)
{
    EXPECT_EQ(f.startMarker, 0xFC);
    EXPECT_EQ(f.type, w[1]);
    const uint16_t len = static_cast<uint16_t>(w[2] | w[3] << 8);
    ASSERT_EQ(f.length, len);
    EXPECT_EQ(0, std::memcmp(f.sequence, &w[4], 8));
    EXPECT_EQ(0, std::memcmp(f.epoch, &w[12], 4));
    EXPECT_EQ(0, std::memcmp(f.payload, &w[16], len));
    EXPECT_EQ(0, std::memcmp(f.mac, &w[16 + len], 8));
    EXPECT_EQ(f.endMarker, 0xED);
}

TEST(LinkFrameWriter, WireLayout)
{
    LinkFrame f{};
    f.startMarker = kLinkFrameStartMarker;
    f.type = static_cast<uint8_t>(LinkFrameType::Finished);
    f.length = 24;
    f.sequence[7] = 1;  // sequence number 1, big-endian
    const uint8_t epoch[4] = {0x01, 0x02, 0x03, 0x04};
    std::memcpy(f.epoch, epoch, 4);
    for (int i = 0; i < 24; ++i)
        f.payload[i] = static_cast<uint8_t>(0xA0 + i);
    for (int i = 0; i < 8; ++i)
        f.mac[i] = static_cast<uint8_t>(0xF0 + i);
    f.endMarker = kLinkFrameEndMarker;

    uint8_t out[kLinkFrameMaxSize + 8];
    std::memset(out, 0xEE, sizeof(out));
    ASSERT_EQ(writeLinkFrame(f, out), 49);
    const Bytes expected = fromHex("fc021800" "0000000000000001" "01020304"
                                   "a0a1a2a3a4a5a6a7a8a9aaabacadaeafb0b1b2b3b4b5b6b7"
                                   "f0f1f2f3f4f5f6f7" "ed");
    EXPECT_EQ(Bytes(out, out + 49), expected);
    EXPECT_EQ(out[49], 0xEE) << "wrote past the frame";

    // A length the record cannot hold is cut to the largest frame, never past either buffer.
    f.length = 600;
    std::memset(out, 0xEE, sizeof(out));
    ASSERT_EQ(writeLinkFrame(f, out), kLinkFrameMaxSize);
    EXPECT_EQ(out[2], 0x00);
    EXPECT_EQ(out[3], 0x02);
    EXPECT_EQ(out[kLinkFrameMaxSize], 0xEE);
}

// Every length the format allows at its edges, every type: what is written parses back whole.
TEST(LinkFrameWriter, ParsesBackToTheSameRecord)
{
    LinkFrameParser parser;
    for (uint16_t len : {1, 2, 255, 256, 511, 512}) {
        for (uint8_t type = 0; type < 3; ++type) {
            SCOPED_TRACE(std::to_string(len) + " type " + std::to_string(type));
            LinkFrame f{};
            f.startMarker = kLinkFrameStartMarker;
            f.type = type;
            f.length = len;
            const Bytes p = patterned(len, static_cast<uint8_t>(len + type));
            std::memcpy(f.payload, p.data(), len);
            std::memset(f.sequence, 0xFC, 8);  // markers inside fields need no escaping
            std::memset(f.epoch, 0xED, 4);
            std::memset(f.mac, 0xFC, 8);
            f.endMarker = kLinkFrameEndMarker;
            uint8_t out[kLinkFrameMaxSize];
            const uint16_t n = writeLinkFrame(f, out);
            ASSERT_EQ(n, len + 25);
            const FrameRun run = feed(parser, Bytes(out, out + n));
            ASSERT_EQ(run.frames.size(), 1u);
            EXPECT_EQ(run.at[0], n - 1u);
            expectFrame(run.frames[0], Bytes(out, out + n));
        }
    }
}

// Frame boundaries and resynchronisation after a dropped frame.
TEST(LinkFrameParser, StreamsAndResynchronisation)
{
    const Bytes one = wire(0, {0x42});
    const Bytes longest = wire(2, patterned(512, 7));
    const Bytes hello = wire(1, patterned(96, 1));
    Bytes noEnd = wire(0, {0x42});
    noEnd.back() = 0x00;
    Bytes endIsStart = wire(0, {0x42});
    endIsStart.back() = 0xFC;
    const Bytes oneTail(one.begin() + 1, one.end());
    Bytes len513 = wire(0, patterned(513, 3));
    Bytes len0 = wire(0, {});
    // A whole frame inside the payload of a frame that then fails its end marker.
    Bytes nested = wire(0, concat({wire(1, {0x01}), Bytes{0x00}}), 0x00);

    struct Case {
        const char *name;
        Bytes stream;
        std::vector<Bytes> frames;
    };
    const Case cases[] = {
        {"shortest frame, 26 bytes", one, {one}},
        {"longest frame, 537 bytes", longest, {longest}},
        {"two frames in one chunk", concat({hello, one}), {hello, one}},
        {"junk before and between frames", concat({fromHex("00ed01"), one, fromHex("edfd"), hello}), {one, hello}},
        {"FC 03 drops at the type byte", concat({fromHex("fc03"), oneTail, one}), {one}},
        {"FC FC 00: the second FC was the rejected type", concat({fromHex("fcfc"), oneTail, one}), {one}},
        {"length 513 is dropped", concat({len513, one}), {one}},
        {"length 0 is dropped", concat({len0, one}), {one}},
        {"missing end byte drops the frame, next one parses", concat({noEnd, one}), {one}},
        {"the byte that dropped a frame is no start marker", concat({endIsStart, oneTail, one}), {one}},
        {"a dropped frame is not rescanned", concat({nested, one}), {one}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        LinkFrameParser parser;
        const FrameRun run = feed(parser, c.stream);
        ASSERT_EQ(run.frames.size(), c.frames.size());
        size_t end = 0;
        for (size_t i = 0; i < c.frames.size(); ++i) {
            expectFrame(run.frames[i], c.frames[i]);
            EXPECT_GT(run.at[i] + 1, end);
            end = run.at[i] + 1;
        }
    }
}

// The length is checked as soon as its second byte is in, so a bad length costs no more bytes.
TEST(LinkFrameParser, BadLengthDroppedAtSecondLengthByte)
{
    struct Case {
        const char *lengthBytes;
        bool accepted;
    };
    const Case cases[] = {{"0000", false}, {"0100", true}, {"0002", true}, {"0102", false}, {"ffff", false}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.lengthBytes);
        LinkFrameParser parser;
        LinkFrame f;
        const Bytes head = concat({fromHex("fc00"), fromHex(c.lengthBytes)});
        for (size_t i = 0; i < head.size(); ++i) {
            EXPECT_FALSE(parser.parseByte(head[i], f));
            EXPECT_EQ(parser.state(), i == 0   ? LinkFrameParser::WaitType
                                      : i < 3  ? LinkFrameParser::WaitLength
                                      : c.accepted ? LinkFrameParser::WaitSequence
                                                   : LinkFrameParser::WaitStart);
        }
    }
}

// A short frame after a long one: the record carries the short frame's bytes only, and the
// parser's left-over payload does not leak into what callers read.
TEST(LinkFrameParser, ShortFrameAfterLongFrame)
{
    LinkFrameParser parser;
    const Bytes longFrame = wire(0, patterned(300, 9));
    const Bytes shortFrame = wire(0, {0x77, 0x00});
    const FrameRun run = feed(parser, concat({longFrame, shortFrame}));
    ASSERT_EQ(run.frames.size(), 2u);
    expectFrame(run.frames[1], shortFrame);
}

TEST(LinkFrameParser, OneProcessWideInstance)
{
    EXPECT_EQ(&LinkFrameParser::instance(), &LinkFrameParser::instance());
    // A frame split between two users of the shared parser is completed by the second.
    const Bytes f = wire(2, patterned(40, 2));
    LinkFrame first, second;
    for (size_t i = 0; i < 20; ++i)
        EXPECT_FALSE(LinkFrameParser::instance().parseByte(f[i], first));
    bool done = false;
    for (size_t i = 20; i < f.size(); ++i)
        done = LinkFrameParser::instance().parseByte(f[i], second);
    EXPECT_TRUE(done);
    expectFrame(second, f);
}

}  // namespace
