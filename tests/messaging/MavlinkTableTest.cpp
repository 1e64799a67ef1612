// Checksum and CRC_EXTRA table.
#include <gtest/gtest.h>

#include <array>
#include <fstream>
#include <sstream>

#include "tests/messaging/FramingTestUtil.h"

namespace {

std::vector<std::vector<std::string>> readCsv(const std::string &name)
{
    std::ifstream in(std::string(UAV_TEST_DATA_DIR) + "/" + name);
    std::vector<std::vector<std::string>> rows;
    std::string line, field;
    std::getline(in, line);  // header
    while (std::getline(in, line)) {
        std::stringstream ss(line);
        rows.emplace_back();
        while (std::getline(ss, field, ','))
            rows.back().push_back(field);
        if (rows.back().empty())
            rows.pop_back();
    }
    return rows;
}

// msgid, crc_extra, msg_len, flags, target_system_ofs, target_component_ofs
using Row = std::array<unsigned long, 6>;

Row rowOf(const mavlink_msg_entry_t &e)
{
    return {e.msgid, e.crc_extra, e.msg_len, e.flags, e.target_system_ofs, e.target_component_ofs};
}

// The CRC_EXTRA table of c_library_v2 925ab39c44 (2018-03-21), common.h MAVLINK_MESSAGE_CRCS,
// copied row for row into message-table.csv; crc_extra and MIN_LEN agree with the per-message
// headers of the same commit (message-table-names.csv: id,name,max_len,min_len,crc_extra).
TEST(MavlinkTable, MatchesThePublishedTableAndHeaders)
{
    const auto rows = readCsv("message-table.csv"), headers = readCsv("message-table-names.csv");
    size_t count = 0;
    const mavlink_msg_entry_t *table = mavlink_get_msg_table(&count);
    ASSERT_EQ(rows.size(), 162u);
    ASSERT_EQ(headers.size(), 162u);
    ASSERT_EQ(count, 162u);
    for (size_t i = 0; i < count; ++i) {
        Row want;
        for (size_t k = 0; k < want.size(); ++k)
            want[k] = std::stoul(rows[i].at(k));
        EXPECT_EQ(rowOf(table[i]), want) << "row " << i;
        const mavlink_msg_entry_t *e = mavlink_get_msg_entry(std::stoul(headers[i][0]));
        ASSERT_NE(e, nullptr) << headers[i][1];
        EXPECT_EQ(e->msg_len, std::stoul(headers[i].at(3))) << headers[i][1];
        EXPECT_EQ(e->crc_extra, std::stoul(headers[i].at(4))) << headers[i][1];
    }
}

}  // namespace
