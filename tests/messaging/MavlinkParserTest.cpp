// The MAVLink frame parser: real frames, failures and how the stream recovers from them.
#include <gtest/gtest.h>

#include "tests/messaging/FramingTestUtil.h"

namespace {

// Frames produced by npm node-mavlink 2.3.0 (mavlink-mappings 1.0.22-20260311); each one is
// byte-identical to what the MAVLink C library (c_library_v2 925ab39c44, 2018-03-21) produces.
const char *const F1 = "fd090000000101000000000000000203510403e71e";  // HEARTBEAT v2
const char *const F2 = "fe09000101000000000002035104037ddd";          // the same as v1
const char *const F3 = "fd09000007ffbe000000000000000608c00403a7c1";  // GCS HEARTBEAT v2
const char *const F4 = "fd01000000ffbe150000017d37";                  // PARAM_REQUEST_LIST, trimmed to 1
const char *const F5 = "fd02000003ffbe2f00000101679d";                // MISSION_ACK, trimmed to 2
const char *const F6 = "fd20000004ffbe4c00000000803f0000000000000000000000000000000000000000000000009001"
                       "0101376d";  // COMMAND_LONG, trimmed to 32
const char *const F6b = "fe2104ffbe4c0000803f00000000000000000000000000000000000000000000000090010101003b"
                        "b1";  // the same as v1, full 33 bytes
const char *const F7 = "fd00000000ffbe150000199f";    // PARAM_REQUEST_LIST all zero, LEN 0
const char *const F7c = "fd01000000ffbe15000000a52e"; // the same from the C library, LEN 1
const char *const F8 = "fd1f0000090101010000010000000000000000000000f4013831ffff00000000000000000000000050aa93";
const char *const F9 = "fd2800000a0101010000010000000000000000000000f4013831ffff0000000000000000000000005000"
                       "00000000000000018c73";  // SYS_STATUS with an extension: LEN 40 > msg_len 31
const char *const F10 = "fd09010005ffbe000000000000000608c00403712d0100e06f9e75193b6935aed27e";  // signed
const char *const F11 = "fd0400000b010198000000000010d578";  // MEMINFO (152), not in the table

struct Fixture {
    const char *name;
    const char *hex;
    uint8_t magic, len, seq, sysid, compid;
    uint32_t msgid;
};

void PrintTo(const Fixture &f, std::ostream *os)
{
    *os << f.name;
}

class MavlinkFixtures : public ::testing::TestWithParam<Fixture> {};

// A delivered frame comes out once, on its last byte, with its header fields; the others never.
TEST_P(MavlinkFixtures, DeliveredExactlyOnceOnLastByte)
{
    const Fixture &f = GetParam();
    resetChannel(0);
    const Bytes bytes = fromHex(f.hex);
    const ParseRun run = parseAll(0, bytes);
    ASSERT_EQ(run.messages.size(), 1u);
    EXPECT_EQ(run.okAt[0], bytes.size() - 1);
    const mavlink_message_t &m = run.messages[0];
    EXPECT_EQ(m.magic, f.magic);
    EXPECT_EQ(m.len, f.len);
    EXPECT_EQ(m.seq, f.seq);
    EXPECT_EQ(m.sysid, f.sysid);
    EXPECT_EQ(m.compid, f.compid);
    EXPECT_EQ(m.msgid, f.msgid);
    EXPECT_EQ(m.checksum, bytes[bytes.size() - 2] | bytes[bytes.size() - 1] << 8);
    const size_t headerLen = f.magic == MAVLINK_STX ? 10 : 6;
    EXPECT_EQ(0, std::memcmp(mavlink_payload(&m), bytes.data() + headerLen, f.len));
    // Payloads shorter than the row's msg_len read as zeros beyond what was received.
    const mavlink_msg_entry_t *e = mavlink_get_msg_entry(f.msgid);
    ASSERT_NE(e, nullptr);
    for (size_t i = f.len; i < e->msg_len; ++i)
        EXPECT_EQ(mavlink_payload(&m)[i], 0) << "byte " << i;
}

// A relayed frame that the sender already trimmed goes out byte for byte as it came in.
TEST_P(MavlinkFixtures, ReserializedUnchanged)
{
    const Fixture &f = GetParam();
    resetChannel(0);
    const ParseRun run = parseAll(0, fromHex(f.hex));
    ASSERT_EQ(run.messages.size(), 1u);
    EXPECT_EQ(serialize(run.messages[0]), fromHex(f.hex));
}

INSTANTIATE_TEST_SUITE_P(
    Frames, MavlinkFixtures,
    ::testing::Values(Fixture{"F1_heartbeat_v2", F1, 0xFD, 9, 0, 1, 1, 0},
                      Fixture{"F2_heartbeat_v1", F2, 0xFE, 9, 0, 1, 1, 0},
                      Fixture{"F3_gcs_heartbeat", F3, 0xFD, 9, 7, 255, 190, 0},
                      Fixture{"F4_trimmed_to_1", F4, 0xFD, 1, 0, 255, 190, 21},
                      Fixture{"F5_trimmed_mission_ack", F5, 0xFD, 2, 3, 255, 190, 47},
                      Fixture{"F6_trimmed_command_long", F6, 0xFD, 32, 4, 255, 190, 76},
                      Fixture{"F6b_command_long_v1", F6b, 0xFE, 33, 4, 255, 190, 76},
                      Fixture{"F7_len0", F7, 0xFD, 0, 0, 255, 190, 21},
                      Fixture{"F7c_len1_all_zero", F7c, 0xFD, 1, 0, 255, 190, 21},
                      Fixture{"F8_sys_status", F8, 0xFD, 31, 9, 1, 1, 1},
                      Fixture{"F9_longer_than_2018", F9, 0xFD, 40, 10, 1, 1, 1}),
    [](const ::testing::TestParamInfo<Fixture> &info) { return std::string(info.param.name); });

// What mavlink_frame_char reports for the failing fixtures, and on which byte; mavlink_parse_char
// never delivers them.
TEST(MavlinkFrameChar, FailuresAreReportedOnTheirByte)
{
    struct Case {
        const char *name;
        const char *hex;
        uint8_t result;
        size_t atFromEnd;  // 1 = last byte
    };
    const Case cases[] = {
        {"signed, good checksum: rejected after the signature", F10, MAVLINK_FRAMING_BAD_SIGNATURE, 1},
        {"unknown id: checked with CRC_EXTRA 0", F11, MAVLINK_FRAMING_BAD_CRC, 1},
        {"good frame", F1, MAVLINK_FRAMING_OK, 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        resetChannel(0);
        const Bytes bytes = fromHex(c.hex);
        mavlink_message_t msg;
        for (size_t i = 0; i < bytes.size(); ++i) {
            const uint8_t r = mavlink_frame_char(0, bytes[i], &msg);
            EXPECT_EQ(r, i == bytes.size() - c.atFromEnd ? c.result : uint8_t{MAVLINK_FRAMING_INCOMPLETE}) << "byte " << i;
        }
        resetChannel(0);
        EXPECT_EQ(parseAll(0, bytes).messages.size(), c.result == MAVLINK_FRAMING_OK ? 1u : 0u);
    }
}

// Channels share nothing: a frame split over two calls on channel 0 survives a whole frame on 1.
TEST(MavlinkParser, ChannelsAreIndependent)
{
    resetChannel(0);
    resetChannel(1);
    const Bytes f1 = fromHex(F1);
    const Bytes f3 = fromHex(F3);
    for (size_t split = 1; split < f1.size(); ++split) {
        const ParseRun first = parseAll(0, Bytes(f1.begin(), f1.begin() + split));
        const ParseRun other = parseAll(1, f3);
        const ParseRun rest = parseAll(0, Bytes(f1.begin() + split, f1.end()));
        EXPECT_TRUE(first.messages.empty());
        ASSERT_EQ(other.messages.size(), 1u);
        EXPECT_EQ(other.messages[0].sysid, 255);
        ASSERT_EQ(rest.messages.size(), 1u) << "split " << split;
        EXPECT_EQ(rest.messages[0].sysid, 1);
    }
    mavlink_message_t msg;
    EXPECT_EQ(mavlink_parse_char(2, MAVLINK_STX, &msg), MAVLINK_FRAMING_INCOMPLETE);
    EXPECT_EQ(mavlink_get_channel_status(2), nullptr);
    EXPECT_EQ(mavlink_get_channel_buffer(MAVLINK_COMM_NUM_BUFFERS), nullptr);
}

// How the stream recovers after a frame fails: which later frames still come out.
TEST(MavlinkParser, RecoveryAfterFailedFrames)
{
    Bytes badCk1 = fromHex(F1);
    badCk1.back() ^= 0x01;
    Bytes badCk0 = fromHex(F1);
    badCk0[badCk0.size() - 2] ^= 0x01;
    const Bytes f3 = fromHex(F3);
    const Bytes f3Tail(f3.begin() + 1, f3.end());
    Bytes endsInFd = fromHex(F1);
    endsInFd.back() = 0xFD;  // a wrong second checksum byte that is also a start byte
    Bytes badCk0EndsInFd = badCk0;
    badCk0EndsInFd.back() = 0xFD;
    Bytes v1EndsInFe = fromHex(F2);
    v1EndsInFe.back() = 0xFE;
    const Bytes f2 = fromHex(F2);
    const Bytes f2Tail(f2.begin() + 1, f2.end());
    Bytes unknownFlag = fromHex(F1);
    unknownFlag[2] = 0x02;
    const Bytes flagIsStx = {MAVLINK_STX, 9, MAVLINK_STX};  // F3 without its start byte follows

    // Signed frame whose 13 signature bytes are themselves a whole frame (F4 is 13 bytes).
    const Bytes f10 = fromHex(F10);
    Bytes signedGoodCrc(f10.begin(), f10.end() - 13);
    const Bytes f4 = fromHex(F4);
    signedGoodCrc.insert(signedGoodCrc.end(), f4.begin(), f4.end());
    Bytes signedBadCrc = signedGoodCrc;
    signedBadCrc[signedBadCrc.size() - 14] ^= 0x01;

    struct Case {
        const char *name;
        Bytes stream;
        std::vector<std::string> out;  // "sysid/msgid" of the frames that come out
    };
    const Case cases[] = {
        {"bad second checksum byte, then a good frame", concat({badCk1, f3}), {"255/0"}},
        {"bad first checksum byte, then a good frame", concat({badCk0, f3}), {"255/0"}},
        {"0xFD ending a bad frame starts the next", concat({endsInFd, f3Tail}), {"255/0"}},
        {"also when the first checksum byte was already bad", concat({badCk0EndsInFd, f3Tail}), {"255/0"}},
        {"0xFE ending a bad frame does not", concat({v1EndsInFe, f2Tail, f3}), {"255/0"}},
        {"bytes outside frames are skipped", concat({fromHex("00ff1234ed"), fromHex(F1), fromHex("fc00")}), {"1/0"}},
        {"unknown incompat flag abandons the frame, next frame parses", concat({unknownFlag, f3}), {"255/0"}},
        {"the rejected flag byte is consumed even when it is 0xFD", concat({flagIsStx, f3Tail, fromHex(F1)}), {"1/0"}},
        {"signed with good checksum: signature bytes are swallowed", concat({signedGoodCrc, f3}), {"255/0"}},
        {"signed with bad checksum: signature bytes are scanned", concat({signedBadCrc, f3}), {"255/21", "255/0"}},
        {"three good frames back to back", concat({fromHex(F1), fromHex(F2), f3}), {"1/0", "1/0", "255/0"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        resetChannel(0);
        const ParseRun run = parseAll(0, c.stream);
        std::vector<std::string> got;
        for (const auto &m : run.messages)
            got.push_back(std::to_string(m.sysid) + "/" + std::to_string(m.msgid));
        EXPECT_EQ(got, c.out);
    }
}

// The parser's states on the way through a frame, including the shortcuts for LEN 0 and v1.
TEST(MavlinkParser, StateSequence)
{
    using S = mavlink_parse_state_t;
    struct Case {
        const char *name;
        Bytes frame;
        std::vector<S> states;  // after each byte
    };
    const std::vector<S> v2Len0 = {MAVLINK_PARSE_STATE_GOT_STX,          MAVLINK_PARSE_STATE_GOT_LENGTH,
                                   MAVLINK_PARSE_STATE_GOT_INCOMPAT_FLAGS, MAVLINK_PARSE_STATE_GOT_COMPAT_FLAGS,
                                   MAVLINK_PARSE_STATE_GOT_SEQ,          MAVLINK_PARSE_STATE_GOT_SYSID,
                                   MAVLINK_PARSE_STATE_GOT_COMPID,       MAVLINK_PARSE_STATE_GOT_MSGID1,
                                   MAVLINK_PARSE_STATE_GOT_MSGID2,       MAVLINK_PARSE_STATE_GOT_PAYLOAD,
                                   MAVLINK_PARSE_STATE_GOT_CRC1,         MAVLINK_PARSE_STATE_IDLE};
    const std::vector<S> v1Len1 = {MAVLINK_PARSE_STATE_GOT_STX,    MAVLINK_PARSE_STATE_GOT_COMPAT_FLAGS,
                                   MAVLINK_PARSE_STATE_GOT_SEQ,    MAVLINK_PARSE_STATE_GOT_SYSID,
                                   MAVLINK_PARSE_STATE_GOT_COMPID, MAVLINK_PARSE_STATE_GOT_MSGID3,
                                   MAVLINK_PARSE_STATE_GOT_PAYLOAD, MAVLINK_PARSE_STATE_GOT_CRC1,
                                   MAVLINK_PARSE_STATE_IDLE};
    std::vector<S> v1Len0 = v1Len1;
    v1Len0.erase(v1Len0.begin() + 5);  // no payload byte: straight to the checksum
    Bytes v1Zero = {MAVLINK_STX_MAVLINK1, 0, 3, 1, 1, 21};
    {
        uint16_t crc = crc_calculate(v1Zero.data() + 1, 5);
        crc_accumulate(159, &crc);
        v1Zero.push_back(static_cast<uint8_t>(crc));
        v1Zero.push_back(static_cast<uint8_t>(crc >> 8));
    }
    Bytes v1One = {MAVLINK_STX_MAVLINK1, 1, 3, 1, 1, 21, 7};
    {
        uint16_t crc = crc_calculate(v1One.data() + 1, 6);
        crc_accumulate(159, &crc);
        v1One.push_back(static_cast<uint8_t>(crc));
        v1One.push_back(static_cast<uint8_t>(crc >> 8));
    }
    const Case cases[] = {
        {"v2 LEN 0", fromHex(F7), v2Len0},
        {"v1 LEN 1", v1One, v1Len1},
        {"v1 LEN 0", v1Zero, v1Len0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        resetChannel(0);
        ASSERT_EQ(c.frame.size(), c.states.size());
        mavlink_message_t msg;
        uint8_t last = 0;
        for (size_t i = 0; i < c.frame.size(); ++i) {
            last = mavlink_parse_char(0, c.frame[i], &msg);
            EXPECT_EQ(mavlink_get_channel_status(0)->parse_state, c.states[i]) << "byte " << i;
        }
        EXPECT_EQ(last, MAVLINK_FRAMING_OK);
        EXPECT_EQ(msg.len, c.frame[1]);
    }
}

// A v2 heartbeat truncated to its first byte is accepted and reads as zeros beyond it, even
// when the channel buffer held other bytes; a longer frame after it leaves no trace.
TEST(MavlinkParser, TruncatedPayloadIsZeroFilled)
{
    resetChannel(0, 0xEE);
    const Bytes oneByte = buildV2(0, {0x2A}, 50);
    ParseRun run = parseAll(0, oneByte);
    ASSERT_EQ(run.messages.size(), 1u);
    const uint8_t *p = mavlink_payload(&run.messages[0]);
    EXPECT_EQ(p[0], 0x2A);
    for (int i = 1; i < 9; ++i)
        EXPECT_EQ(p[i], 0) << i;

    // Same id after a full frame with non-zero tail: the tail must not leak into the short one.
    run = parseAll(0, concat({fromHex(F3), buildV2(0, {0x2B}, 50)}));
    ASSERT_EQ(run.messages.size(), 2u);
    EXPECT_EQ(run.messages[1].len, 1);
    for (int i = 1; i < 9; ++i)
        EXPECT_EQ(mavlink_payload(&run.messages[1])[i], 0) << i;
}

// The longest frames: a 255-byte payload, and the same signed (never delivered).
TEST(MavlinkParser, LongestFrames)
{
    Bytes payload(255);
    for (size_t i = 0; i < payload.size(); ++i)
        payload[i] = static_cast<uint8_t>(i * 7 + 1);
    const Bytes frame = buildV2(269, payload, 58);
    resetChannel(0);
    const ParseRun run = parseAll(0, frame);
    ASSERT_EQ(run.messages.size(), 1u);
    EXPECT_EQ(run.messages[0].len, 255);
    EXPECT_EQ(serialize(run.messages[0]), frame);

    Bytes signedFrame = buildV2(269, payload, 58, MAVLINK_IFLAG_SIGNED);
    signedFrame.insert(signedFrame.end(), 13, 0x5A);
    ASSERT_EQ(signedFrame.size(), MAVLINK_MAX_PACKET_LEN);
    resetChannel(0);
    EXPECT_TRUE(parseAll(0, signedFrame).messages.empty());
    // After the dropped signed frame the channel is ready for the next one.
    EXPECT_EQ(parseAll(0, fromHex(F1)).messages.size(), 1u);
}

}  // namespace
