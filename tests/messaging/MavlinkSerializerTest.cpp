// Writing parsed messages back out: version 1 as received, version 2 trimmed with a valid checksum.
// Every message of the table, both versions, is written and read against node-mavlink in
// tests/node/mavlink-interop.js.
#include <gtest/gtest.h>

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
