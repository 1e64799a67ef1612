#include "messaging/mavlink/MavlinkMessageTable.h"

namespace {

constexpr mavlink_msg_entry_t kTable[] = {
#include "messaging/mavlink/MavlinkMessageTable.inc"
};
constexpr size_t kRows = sizeof(kTable) / sizeof(kTable[0]);

constexpr bool strictlyIncreasing()
{
    for (size_t i = 1; i < kRows; ++i)
        if (kTable[i].msgid <= kTable[i - 1].msgid)
            return false;
    return true;
}
static_assert(strictlyIncreasing(), "binary search needs the table sorted by id");

}  // namespace

const mavlink_msg_entry_t *mavlink_get_msg_entry(uint32_t msgid)
{
    size_t low = 0;
    size_t high = kRows;
    while (low < high) {
        const size_t mid = low + (high - low) / 2;
        if (kTable[mid].msgid < msgid)
            low = mid + 1;
        else
            high = mid;
    }
    return (low < kRows && kTable[low].msgid == msgid) ? &kTable[low] : nullptr;
}

const mavlink_msg_entry_t *mavlink_get_msg_table(size_t *count)
{
    if (count)
        *count = kRows;
    return kTable;
}
