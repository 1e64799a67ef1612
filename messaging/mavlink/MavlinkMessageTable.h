// The CRC_EXTRA table of the MAVLink common dialect the link was built for (2018, 162 rows).
#pragma once

#include "messaging/mavlink/MavlinkTypes.h"

// Row of msgid, or nullptr when the table has none (such frames are checked with CRC_EXTRA 0).
const mavlink_msg_entry_t *mavlink_get_msg_entry(uint32_t msgid);

// The whole table, sorted by id; *count receives the number of rows.
const mavlink_msg_entry_t *mavlink_get_msg_table(size_t *count);
