// Memory of the Data records this side protected lately. Both directions derive the same key
// block per epoch and the MAC does not cover the direction, so one of our own records sent back
// over the radio would verify; the record layer refuses a received record found here.
// A fixed table, process-wide like the record layer's key blocks: nothing is allocated, one
// slot is written per record sent and one read per record received. Not re-entrant.
#pragma once

#include <cstddef>
#include <cstdint>

struct LinkSecurityState;

// Slots, one per record sent. Own sequence numbers are consecutive, so the table holds exactly
// the last this many records of one sender.
constexpr size_t kReflectionMemoryRecords = size_t(1) << 18;

// The state tells apart the senders of one process (a test may run both ends of the link) and,
// through its secretSerial, the master secrets: a record protected under an earlier secret is
// never found again.
void rememberSentRecord(const LinkSecurityState &state, const uint8_t sequence[8], const uint8_t epoch[4],
                        const uint8_t mac[8]);
// True when the state, under its current secret, protected a record with exactly this sequence
// number, epoch and MAC and it has not been pushed out of the table since.
bool wasSentHere(const LinkSecurityState &state, const uint8_t sequence[8], const uint8_t epoch[4],
                 const uint8_t mac[8]);
