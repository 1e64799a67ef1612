// The MAVLink frame parser: the fixtures, failures and how the stream recovers from them.
#include <gtest/gtest.h>

#include "tests/messaging/FramingTestUtil.h"

using namespace fixtures;

namespace {

std::string header(const mavlink_message_t &m)  // "magic len seq sysid compid msgid"
{
    std::string s;
    for (unsigned v : {unsigned(m.magic), unsigned(m.len), unsigned(m.seq), unsigned(m.sysid), unsigned(m.compid)})
        s += std::to_string(v) + " ";
    return s + std::to_string(m.msgid);
}

// The fixture with byte `at` (negative: from the end) set to value, or flipped in bit 0.
Bytes patched(Bytes b, int at, int value = -1)
{
    uint8_t &x = b[at < 0 ? b.size() + at : size_t(at)];
    x = value < 0 ? x ^ 1 : uint8_t(value);
    return b;
}

Bytes tail(const char *hex)  // without the start byte
{
    const Bytes b = fromHex(hex);
    return Bytes(b.begin() + 1, b.end());
}

struct Fixture {
    const char *name, *hex, *header;
};

class MavlinkFixtures : public ::testing::TestWithParam<Fixture> {};

// Comes out once, on its last byte, with its header and payload, reading zeros up to the row's
// msg_len although the channel buffer was dirty; written back it is the same bytes, as its
// sender already trimmed it.
TEST_P(MavlinkFixtures, DeliveredOnceOnLastByteAndWrittenBackUnchanged)
{
    const Bytes bytes = fromHex(GetParam().hex);
    resetChannel(0);
    const ParseRun run = parseAll(0, bytes);
    ASSERT_EQ(run.messages.size(), 1u);
    EXPECT_EQ(run.okAt[0], bytes.size() - 1);
    const mavlink_message_t &m = run.messages[0];
    EXPECT_EQ(header(m), GetParam().header);
    EXPECT_EQ(m.checksum, bytes[bytes.size() - 2] | bytes.back() << 8);
    const mavlink_msg_entry_t *e = mavlink_get_msg_entry(m.msgid);
    ASSERT_NE(e, nullptr);
    const size_t start = m.magic == MAVLINK_STX ? 10 : 6;
    Bytes payload(bytes.begin() + start, bytes.begin() + start + m.len);
    payload.resize(std::max<size_t>(m.len, e->msg_len), 0);
    EXPECT_EQ(toHex(mavlink_payload(&m), payload.size()), toHex(payload));
    EXPECT_EQ(serialize(m), bytes);
}

INSTANTIATE_TEST_SUITE_P(
    Frames, MavlinkFixtures,
    ::testing::Values(Fixture{"F1_heartbeat_v2", F1, "253 9 0 1 1 0"}, Fixture{"F2_heartbeat_v1", F2, "254 9 0 1 1 0"},
                      Fixture{"F4_trimmed_to_1", F4, "253 1 0 255 190 21"},
                      Fixture{"F6_trimmed_command_long", F6, "253 32 4 255 190 76"},
                      Fixture{"F6b_command_long_v1", F6b, "254 33 4 255 190 76"},
                      Fixture{"F7_len0", F7, "253 0 0 255 190 21"},
                      Fixture{"F7c_len1_all_zero", F7c, "253 1 0 255 190 21"},
                      Fixture{"F8_sys_status", F8, "253 31 9 1 1 1"},
                      Fixture{"F9_longer_than_2018", F9, "253 40 10 1 1 1"}),
    [](const ::testing::TestParamInfo<Fixture> &info) { return std::string(info.param.name); });

// Channels past the last one have no state to hand out and parse nothing. That the channels
// share nothing is the handler tests' (each direction has its own).
TEST(MavlinkParser, ChannelsPastTheLastOneAreRefused)
{
    mavlink_message_t msg;
    EXPECT_EQ(mavlink_parse_char(2, MAVLINK_STX, &msg), MAVLINK_FRAMING_INCOMPLETE);
    EXPECT_EQ(mavlink_get_channel_status(2), nullptr);
    EXPECT_EQ(mavlink_get_channel_buffer(MAVLINK_COMM_NUM_BUFFERS), nullptr);
}

// How the stream recovers after a frame fails: which later frames still come out.
TEST(MavlinkParser, RecoveryAfterFailedFrames)
{
    const Bytes f1 = fromHex(F1), f3 = fromHex(F3), badCk0 = patched(f1, -2);
    // A signed frame whose 13 signature bytes are themselves a whole frame (F4 is 13 bytes).
    const Bytes f10 = fromHex(F10);
    const Bytes signedGoodCrc = concat({Bytes(f10.begin(), f10.end() - 13), fromHex(F4)});
    struct Case {
        const char *name;
        Bytes stream;
        std::vector<std::string> out;  // "sysid/msgid" of the frames that come out
    };
    const Case cases[] = {
        {"bad second checksum byte, then a good frame", concat({patched(f1, -1), f3}), {"255/0"}},
        {"bad first checksum byte, then a good frame", concat({badCk0, f3}), {"255/0"}},
        {"0xFD ending a bad frame starts the next", concat({patched(f1, -1, 0xFD), tail(F3)}), {"255/0"}},
        {"also when the first checksum byte was already bad", concat({patched(badCk0, -1, 0xFD), tail(F3)}),
         {"255/0"}},
        {"0xFE ending a bad frame does not", concat({patched(fromHex(F2), -1, 0xFE), tail(F2), f3}), {"255/0"}},
        {"bytes outside frames are skipped", concat({fromHex("00ff1234ed"), f1, fromHex("fc00")}), {"1/0"}},
        {"unknown incompat flag abandons the frame, next frame parses", concat({patched(f1, 2, 0x02), f3}),
         {"255/0"}},
        {"the rejected flag byte is consumed even when it is 0xFD", concat({{0xFD, 9, 0xFD}, tail(F3), f1}), {"1/0"}},
        {"signed with good checksum: signature bytes are swallowed", concat({signedGoodCrc, f3}), {"255/0"}},
        {"signed with bad checksum: signature bytes are scanned", concat({patched(signedGoodCrc, -14), f3}),
         {"255/21", "255/0"}},
        // LEN 0 goes straight from the id to the checksum, in either version.
        {"empty payloads", concat({buildV1(21, {}, 159, 3), fromHex(F7), f3}), {"1/21", "255/21", "255/0"}},
    };
    for (const Case &c : cases) {
        resetChannel(0);
        std::vector<std::string> got;
        for (const auto &m : parseAll(0, c.stream).messages)
            got.push_back(std::to_string(m.sysid) + "/" + std::to_string(m.msgid));
        EXPECT_EQ(got, c.out) << c.name;
    }
}

// The longest frame there is, a 255-byte payload signed, is never delivered, and the channel is
// ready for the next frame after it. Unsigned 255-byte frames run in the interop test.
TEST(MavlinkParser, LongestSignedFrame)
{
    Bytes signedFrame = buildV2(269, patternBytes(255, 1), 58, MAVLINK_IFLAG_SIGNED);
    signedFrame.insert(signedFrame.end(), 13, 0x5A);
    ASSERT_EQ(signedFrame.size(), MAVLINK_MAX_PACKET_LEN);
    resetChannel(0);
    const ParseRun after = parseAll(0, concat({signedFrame, fromHex(F1)}));
    ASSERT_EQ(after.messages.size(), 1u);
    EXPECT_EQ(after.messages[0].msgid, 0u);
}

}  // namespace
