// Writing parsed messages back out: version 1 as received, version 2 trimmed with a valid checksum.
#include <gtest/gtest.h>

#include <random>

#include "tests/messaging/FramingTestUtil.h"

namespace {

mavlink_message_t parseOne(const Bytes &frame)
{
    resetChannel(0);
    const ParseRun run = parseAll(0, frame);
    EXPECT_EQ(run.messages.size(), 1u);
    return run.messages.empty() ? mavlink_message_t{} : run.messages[0];
}

// Untrimmed frames from a sender that does not trim must come out exactly as a trimming sender
// writes them. Expected frames: node-mavlink 2.3.0, byte-identical from c_library_v2 925ab39c44
// (the all-zero case is the C library's form, which keeps one payload byte).
TEST(MavlinkSerializer, TrimsAndRecomputesChecksumLikeTrimmingSenders)
{
    struct Case {
        const char *name;
        uint32_t msgid;
        uint8_t crcExtra, seq;
        const char *untrimmedPayload;
        const char *expected;
    };
    const Case cases[] = {
        {"PARAM_REQUEST_LIST 1/0", 21, 159, 0, "0100", "fd01000000ffbe150000017d37"},
        {"MISSION_ACK 1/1 type 0", 47, 153, 3, "010100", "fd02000003ffbe2f00000101679d"},
        {"COMMAND_LONG ARM", 76, 152, 4,
         "0000803f00000000000000000000000000000000000000000000000090010101" "00",
         "fd20000004ffbe4c00000000803f0000000000000000000000000000000000000000000000009001"
         "0101376d"},
        {"all-zero payload keeps one byte", 21, 159, 0, "0000", "fd01000000ffbe15000000a52e"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const Bytes untrimmed = buildV2(c.msgid, fromHex(c.untrimmedPayload), c.crcExtra, 0, c.seq, 255, 190);
        EXPECT_EQ(serialize(parseOne(untrimmed)), fromHex(c.expected));
    }
}

// Every message of the table, both versions: what is written parses again to the same message.
// Version 1 keeps its length; version 2 loses exactly its trailing zeros.
TEST(MavlinkSerializer, EveryTableMessageRoundTrips)
{
    std::mt19937 rng(20180321);
    size_t count = 0;
    const mavlink_msg_entry_t *table = mavlink_get_msg_table(&count);
    for (size_t i = 0; i < count; ++i) {
        const mavlink_msg_entry_t &e = table[i];
        for (bool v1 : {false, true}) {
            if (v1 && e.msgid > 255)
                continue;
            SCOPED_TRACE(std::to_string(e.msgid) + (v1 ? " v1" : " v2"));
            Bytes payload(e.msg_len);
            const size_t nonZero = 1 + rng() % payload.size();  // a zero tail of random length
            for (size_t k = 0; k < nonZero; ++k)
                payload[k] = static_cast<uint8_t>(1 + rng() % 255);
            Bytes frame;
            if (v1) {
                frame = {MAVLINK_STX_MAVLINK1, e.msg_len, 9, 2, 3, static_cast<uint8_t>(e.msgid)};
                frame.insert(frame.end(), payload.begin(), payload.end());
                uint16_t crc = crc_calculate(frame.data() + 1, frame.size() - 1);
                crc_accumulate(e.crc_extra, &crc);
                frame.push_back(static_cast<uint8_t>(crc));
                frame.push_back(static_cast<uint8_t>(crc >> 8));
            } else {
                frame = buildV2(e.msgid, payload, e.crc_extra, 0, 9, 2, 3);
            }
            const mavlink_message_t first = parseOne(frame);
            const Bytes out = serialize(first);
            EXPECT_EQ(out.size(), (v1 ? 8 : 12) + (v1 ? e.msg_len : nonZero));
            const mavlink_message_t again = parseOne(out);
            EXPECT_EQ(again.magic, first.magic);
            EXPECT_EQ(again.msgid, e.msgid);
            EXPECT_EQ(again.seq, 9);
            EXPECT_EQ(again.sysid, 2);
            EXPECT_EQ(again.compid, 3);
            EXPECT_EQ(0, std::memcmp(mavlink_payload(&again), payload.data(), payload.size()));
            EXPECT_EQ(serialize(again), out) << "writing is idempotent";
        }
    }
}

// Ids without a row travel with CRC_EXTRA 0 on both ends, so a trimmed one still parses.
TEST(MavlinkSerializer, UnknownIdTrimmedWithCrcExtraZero)
{
    const Bytes frame = buildV2(0x123456, fromHex("0102030000"), 0);
    const Bytes out = serialize(parseOne(frame));
    EXPECT_EQ(out, buildV2(0x123456, fromHex("010203"), 0));
}

// A signed record (never delivered by the parser, but kept by mavlink_frame_char) is written
// with its signature and its checksum untouched: F10 from node-mavlink 2.3.0 comes back as is.
TEST(MavlinkSerializer, SignedRecordWrittenAsReceived)
{
    const Bytes f10 = fromHex("fd09010005ffbe000000000000000608c00403712d0100e06f9e75193b6935aed27e");
    resetChannel(0);
    mavlink_message_t msg;
    uint8_t result = 0;
    for (uint8_t b : f10)
        result = mavlink_frame_char(0, b, &msg);
    ASSERT_EQ(result, MAVLINK_FRAMING_BAD_SIGNATURE);
    EXPECT_EQ(serialize(msg), f10);
}

}  // namespace
