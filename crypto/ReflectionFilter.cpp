#include "crypto/ReflectionFilter.h"

#include <cstring>

#include "auth/LinkSecurityState.h"
#include "crypto/ByteOrder.h"

namespace {

struct SentRecord {
    uint64_t sequence;
    uint32_t epoch;
    uint32_t tag;  // state and secret; never 0, so an unused slot matches nothing
    uint8_t mac[8];
};
static_assert(sizeof(SentRecord) == 24, "a slot is 24 bytes");

SentRecord sentRecords[kReflectionMemoryRecords];

inline uint64_t mix(uint64_t x)
{
    x ^= x >> 33;
    x *= 0xff51afd7ed558ccdull;
    x ^= x >> 33;
    return x;
}

inline uint64_t mixOwner(const LinkSecurityState &state)
{
    return mix(mix(reinterpret_cast<uintptr_t>(&state)) ^ state.secretSerial);
}

inline uint32_t tagOf(uint64_t mixedOwner)
{
    return uint32_t(mixedOwner >> 32) | 1u;
}

// Two senders in one process start their runs of slots at unrelated places.
inline SentRecord &slotOf(uint64_t mixedOwner, uint64_t sequence)
{
    return sentRecords[(sequence + mixedOwner) & (kReflectionMemoryRecords - 1)];
}

} // namespace

void rememberSentRecord(const LinkSecurityState &state, const uint8_t sequence[8], const uint8_t epoch[4],
                        const uint8_t mac[8])
{
    const uint64_t mixed = mixOwner(state);
    const uint64_t s = loadBig64(sequence);
    SentRecord &slot = slotOf(mixed, s);
    slot.sequence = s;
    slot.epoch = loadBig32(epoch);
    slot.tag = tagOf(mixed);
    std::memcpy(slot.mac, mac, 8);
}

bool wasSentHere(const LinkSecurityState &state, const uint8_t sequence[8], const uint8_t epoch[4],
                 const uint8_t mac[8])
{
    const uint64_t mixed = mixOwner(state);
    const uint64_t s = loadBig64(sequence);
    const SentRecord &slot = slotOf(mixed, s);
    return slot.tag == tagOf(mixed) && slot.sequence == s && slot.epoch == loadBig32(epoch)
        && std::memcmp(slot.mac, mac, 8) == 0;
}
