// What passed over the protected link and what was refused, by reason, for the operator's view
// and the relay's statistics lines. Plain data and functions: no Qt, no lock, no allocation.
#pragma once

#include <cstdint>

// Every field is a 64-bit count so that the record can be published word by word.
struct LinkCounters {
    uint64_t recordsSent;        // records protected toward the aircraft
    uint64_t recordsAccepted;    // records from the aircraft that verified
    uint64_t refusedReplay;      // sequence number and epoch not newer than the last accepted
    uint64_t refusedMac;         // MAC mismatch, epoch 0, or nothing to verify with
    uint64_t refusedLimit;       // more than an epoch's bytes under one key block
    uint64_t refusedReflected;   // our own record sent back to us
    uint64_t droppedBadChecksum; // MAVLink frames, both directions
    uint64_t droppedUnknownId;
    uint64_t droppedSigned;
    uint64_t droppedNotFrame;    // bytes between frames that began none
    uint64_t bytesToAircraft;    // LinkFrame bytes handed to the modem port
    uint64_t bytesFromAircraft;  // bytes read from the modem port while relaying
    uint64_t sendEpoch;
    uint64_t receiveEpoch;
    uint64_t bytesBeforeRekey;   // payload bytes the current send epoch still takes
    uint64_t lastAircraftRecordMs; // steadyClockMs() of the newest accepted record; 0 before one

    // The relaying thread's working copy. Only the thread that relays (the encryptor thread)
    // touches it, handed over by the thread stops like the security state.
    static LinkCounters &live();
};

// Counts one unprotectRecord result under its refusal reason (or as accepted).
void countRecordResult(LinkCounters &counters, int result);

// Publishes live() for other threads, together with the epochs of the security state and the
// MAVLink drops of both parser channels. Called by the relaying thread after each pass; a pass
// that changed nothing publishes nothing.
void publishLinkCounters();

// The counters last published, consistent across fields, from any thread. The writer never
// waits for a reader; a reader that overlaps a publication reads again.
LinkCounters linkCountersSnapshot();

// Milliseconds of the monotonic clock that lastAircraftRecordMs is measured on.
uint64_t steadyClockMs();
