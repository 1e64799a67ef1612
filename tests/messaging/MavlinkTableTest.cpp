// Checksum and CRC_EXTRA table.
#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tests/messaging/FramingTestUtil.h"

namespace {

std::vector<std::vector<std::string>> readCsv(const std::string &name)
{
    std::ifstream in(std::string(UAV_TEST_DATA_DIR) + "/" + name);
    std::vector<std::vector<std::string>> rows;
    std::string line;
    std::getline(in, line);  // header
    while (std::getline(in, line)) {
        if (line.empty())
            continue;
        std::vector<std::string> fields;
        std::stringstream ss(line);
        std::string field;
        while (std::getline(ss, field, ','))
            fields.push_back(field);
        rows.push_back(fields);
    }
    return rows;
}

// CRC-16/MCRF4XX check value from the CRC RevEng catalogue ("123456789" -> 0x6F91), and the
// partial sums of the HEARTBEAT frame below as the MAVLink C library's crc_calculate() gives them.
TEST(MavlinkCrc, KnownValues)
{
    const std::string check = "123456789";
    EXPECT_EQ(crc_calculate(reinterpret_cast<const uint8_t *>(check.data()), check.size()), 0x6F91);
    EXPECT_EQ(crc_calculate(nullptr, 0), 0xFFFF);

    // HEARTBEAT v2 from node-mavlink 2.3.0, byte-identical from c_library_v2 925ab39c44.
    const Bytes f1 = fromHex("fd090000000101000000000000000203510403e71e");
    uint16_t crc = crc_calculate(f1.data() + 1, 18);
    EXPECT_EQ(crc, 0x16CC);
    crc_accumulate(50, &crc);
    EXPECT_EQ(crc, 0x1EE7);
}

// The table must be the CRC_EXTRA table of c_library_v2 925ab39c44 (2018-03-21), common.h
// MAVLINK_MESSAGE_CRCS, copied row for row into message-table.csv.
TEST(MavlinkTable, MatchesPublishedCsvRowForRow)
{
    const auto rows = readCsv("message-table.csv");
    size_t count = 0;
    const mavlink_msg_entry_t *table = mavlink_get_msg_table(&count);
    ASSERT_EQ(rows.size(), 162u);
    ASSERT_EQ(count, rows.size());
    for (size_t i = 0; i < count; ++i) {
        SCOPED_TRACE("row " + std::to_string(i));
        ASSERT_EQ(rows[i].size(), 6u);
        EXPECT_EQ(table[i].msgid, std::stoul(rows[i][0]));
        EXPECT_EQ(table[i].crc_extra, std::stoul(rows[i][1]));
        EXPECT_EQ(table[i].msg_len, std::stoul(rows[i][2]));
        EXPECT_EQ(table[i].flags, std::stoul(rows[i][3]));
        EXPECT_EQ(table[i].target_system_ofs, std::stoul(rows[i][4]));
        EXPECT_EQ(table[i].target_component_ofs, std::stoul(rows[i][5]));
    }
}

// Second source from the same commit: per-message headers (crc_extra, MIN_LEN).
TEST(MavlinkTable, AgreesWithPerMessageHeaders)
{
    const auto rows = readCsv("message-table-names.csv");  // id,name,max_len,min_len,crc_extra
    ASSERT_EQ(rows.size(), 162u);
    for (const auto &r : rows) {
        SCOPED_TRACE(r[1]);
        const mavlink_msg_entry_t *e = mavlink_get_msg_entry(std::stoul(r[0]));
        ASSERT_NE(e, nullptr);
        EXPECT_EQ(e->msg_len, std::stoul(r[3]));
        EXPECT_EQ(e->crc_extra, std::stoul(r[4]));
    }
}

// Rows that tell this table apart from other versions of the common dialect.
TEST(MavlinkTable, TellingRows)
{
    struct Row {
        uint32_t id;
        uint8_t crcExtra, msgLen, flags, tsOfs, tcOfs;
    };
    const Row rows[] = {
        {0, 50, 9, 0, 0, 0},     {1, 124, 31, 0, 0, 0},   {4, 237, 14, 3, 12, 13}, {11, 89, 6, 1, 4, 0},
        {21, 159, 2, 3, 0, 1},   {39, 254, 37, 3, 32, 33}, {47, 153, 3, 3, 0, 1},  {76, 152, 33, 3, 30, 31},
        {242, 104, 52, 0, 0, 0}, {253, 83, 51, 0, 0, 0},  {330, 23, 158, 0, 0, 0},
        // Changed later in the dialect (VIDEO_STREAM_*): these are the 2018 values.
        {269, 58, 246, 0, 0, 0}, {270, 232, 247, 3, 14, 15},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.id);
        const mavlink_msg_entry_t *e = mavlink_get_msg_entry(r.id);
        ASSERT_NE(e, nullptr);
        EXPECT_EQ(e->msgid, r.id);
        EXPECT_EQ(e->crc_extra, r.crcExtra);
        EXPECT_EQ(e->msg_len, r.msgLen);
        EXPECT_EQ(e->flags, r.flags);
        EXPECT_EQ(e->target_system_ofs, r.tsOfs);
        EXPECT_EQ(e->target_component_ofs, r.tcOfs);
    }
}

// Binary search must find every row and nothing else, including at both ends and far beyond.
TEST(MavlinkTable, LookupFindsExactlyTheRows)
{
    std::set<uint32_t> ids;
    for (const auto &r : readCsv("message-table.csv"))
        ids.insert(std::stoul(r[0]));
    for (uint32_t id = 0; id < 1024; ++id) {
        const mavlink_msg_entry_t *e = mavlink_get_msg_entry(id);
        if (ids.count(id)) {
            ASSERT_NE(e, nullptr) << id;
            EXPECT_EQ(e->msgid, id);
        } else {
            EXPECT_EQ(e, nullptr) << id;
        }
    }
    for (uint32_t id : {9000u, 12900u, 0xFFFFFFu, 0xFFFFFFFFu})
        EXPECT_EQ(mavlink_get_msg_entry(id), nullptr) << id;
}

}  // namespace
