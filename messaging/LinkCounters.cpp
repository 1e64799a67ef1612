#include "messaging/LinkCounters.h"

#include <atomic>
#include <chrono>
#include <cstring>
#include <type_traits>

#include "auth/LinkSecurityState.h"
#include "crypto/RecordLayer.h"
#include "messaging/mavlink/MavlinkParser.h"

namespace {

static_assert(std::is_trivially_copyable<LinkCounters>::value, "published word by word");
constexpr int kWords = sizeof(LinkCounters) / sizeof(uint64_t);
static_assert(sizeof(LinkCounters) == kWords * sizeof(uint64_t), "only 64-bit fields");

// A sequence lock: odd while a publication is under way. The words are atomics so that a
// reader overlapping a publication reads torn values (and retries) rather than racing.
struct Board {
    std::atomic<uint64_t> sequence{0};
    std::atomic<uint64_t> words[kWords] = {};
};

Board board;
// What the writer published last, to skip passes that changed nothing. Writer thread only.
LinkCounters lastPublished;

} // namespace

LinkCounters &LinkCounters::live()
{
    static LinkCounters counters;
    return counters;
}

void countRecordResult(LinkCounters &counters, int result)
{
    switch (result) {
    case 0:
        ++counters.recordsAccepted;
        break;
    case -2:
        ++counters.refusedReplay;
        break;
    case -4:
        ++counters.refusedLimit;
        break;
    case -5:
        ++counters.refusedReflected;
        break;
    default:
        // -3 and anything else: the record could not be verified.
        ++counters.refusedMac;
        break;
    }
}

void publishLinkCounters()
{
    LinkCounters next = LinkCounters::live();
    const LinkSecurityState &state = LinkSecurityState::instance();
    next.sendEpoch = state.sendEpoch;
    next.receiveEpoch = state.receiveEpoch;
    next.bytesBeforeRekey =
        state.sendEpochBytes < kEpochByteLimit ? kEpochByteLimit - state.sendEpochBytes : 0;
    next.droppedBadChecksum = next.droppedUnknownId = next.droppedSigned = next.droppedNotFrame = 0;
    for (uint8_t chan = 0; chan < MAVLINK_COMM_NUM_BUFFERS; ++chan) {
        const mavlink_status_t *status = mavlink_get_channel_status(chan);
        next.droppedBadChecksum += status->drop_bad_crc;
        next.droppedUnknownId += status->drop_unknown_id;
        next.droppedSigned += status->drop_signed;
        next.droppedNotFrame += status->skipped_bytes;
    }
    // Stamped per pass rather than per record: a pass lasts well under a millisecond.
    next.lastAircraftRecordMs = next.recordsAccepted != lastPublished.recordsAccepted
                                    ? steadyClockMs()
                                    : lastPublished.lastAircraftRecordMs;
    if (std::memcmp(&next, &lastPublished, sizeof next) == 0)
        return;
    lastPublished = next;

    uint64_t words[kWords];
    std::memcpy(words, &next, sizeof words);
    const uint64_t sequence = board.sequence.load(std::memory_order_relaxed);
    board.sequence.store(sequence + 1, std::memory_order_relaxed);
    // Release on every word rather than a fence: a reader that sees any new word also sees
    // the odd sequence and reads again. ThreadSanitizer does not model fences.
    for (int i = 0; i < kWords; ++i)
        board.words[i].store(words[i], std::memory_order_release);
    board.sequence.store(sequence + 2, std::memory_order_release);
}

LinkCounters linkCountersSnapshot()
{
    uint64_t words[kWords];
    for (;;) {
        const uint64_t before = board.sequence.load(std::memory_order_acquire);
        if (before & 1)
            continue;
        for (int i = 0; i < kWords; ++i)
            words[i] = board.words[i].load(std::memory_order_acquire);
        if (board.sequence.load(std::memory_order_relaxed) == before)
            break;
    }
    LinkCounters counters;
    std::memcpy(&counters, words, sizeof counters);
    return counters;
}

uint64_t steadyClockMs()
{
    using namespace std::chrono;
    return uint64_t(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}
