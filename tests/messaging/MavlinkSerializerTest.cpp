// Writing parsed messages back out: version 1 as received, version 2 trimmed with a valid checksum.
#include <gtest/gtest.h>

#include <random>

#include "tests/messaging/FramingTestUtil.h"

using namespace fixtures;

namespace {

mavlink_message_t parseOne(const Bytes &frame)
{
    resetChannel(0);
    const ParseRun run = parseAll(0, frame);
    EXPECT_EQ(run.messages.size(), 1u) << toHex(frame);
    return run.messages.empty() ? mavlink_message_t{} : run.messages[0];
}

// A sender that does not trim writes the fixture's payload zero-padded to the row's msg_len:
// it must come out exactly as the trimming sender wrote it (F7c: the C library keeps one byte
// of an all-zero payload).
TEST(MavlinkSerializer, TrimsAndRecomputesChecksumLikeTrimmingSenders)
{
    for (const char *hex : {F4, F5, F6, F7c}) {
        const Bytes trimmed = fromHex(hex);
        const uint32_t msgid = trimmed[7];
        const mavlink_msg_entry_t *e = mavlink_get_msg_entry(msgid);
        ASSERT_NE(e, nullptr);
        Bytes payload(trimmed.begin() + 10, trimmed.end() - 2);
        payload.resize(e->msg_len, 0);
        const Bytes untrimmed = buildV2(msgid, payload, e->crc_extra, 0, trimmed[4], trimmed[5], trimmed[6]);
        EXPECT_EQ(serialize(parseOne(untrimmed)), trimmed) << hex;
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
                payload[k] = uint8_t(1 + rng() % 255);
            const Bytes frame = v1 ? buildV1(uint8_t(e.msgid), payload, e.crc_extra, 9, 2, 3)
                                   : buildV2(e.msgid, payload, e.crc_extra, 0, 9, 2, 3);
            const mavlink_message_t first = parseOne(frame);
            const Bytes out = serialize(first);
            EXPECT_EQ(out.size(), v1 ? 8 + e.msg_len : 12 + nonZero);
            const mavlink_message_t again = parseOne(out);
            EXPECT_EQ(again.magic, first.magic);
            EXPECT_EQ(std::to_string(again.msgid) + " " + std::to_string(again.seq) + " " + std::to_string(again.sysid)
                          + " " + std::to_string(again.compid),
                      std::to_string(e.msgid) + " 9 2 3");
            EXPECT_EQ(toHex(mavlink_payload(&again), payload.size()), toHex(payload));
            EXPECT_EQ(serialize(again), out) << "writing is idempotent";
        }
    }
}

// Ids without a row travel with CRC_EXTRA 0 on both ends, so a trimmed one still parses.
TEST(MavlinkSerializer, UnknownIdTrimmedWithCrcExtraZero)
{
    EXPECT_EQ(serialize(parseOne(buildV2(0x123456, fromHex("0102030000"), 0))), buildV2(0x123456, fromHex("010203"), 0));
}

// A signed frame (never delivered by the parser, but kept by mavlink_frame_char) is written
// with its signature and its checksum untouched.
TEST(MavlinkSerializer, SignedRecordWrittenAsReceived)
{
    const Bytes f10 = fromHex(F10);
    resetChannel(0);
    mavlink_message_t msg;
    uint8_t result = 0;
    for (uint8_t b : f10)
        result = mavlink_frame_char(0, b, &msg);
    ASSERT_EQ(result, MAVLINK_FRAMING_BAD_SIGNATURE);
    EXPECT_EQ(serialize(msg), f10);
}

}  // namespace
