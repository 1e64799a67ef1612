// What the simulator saw and did, printed at exit as one key=value line per counter.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>

struct SimCounters {
    // Handshake.
    int hellosSent = 0;
    int groundHellosAccepted = 0;
    int groundHellosRejected = 0;
    int finishedSent = 0;
    int groundFinishedAccepted = 0;
    int groundFinishedRejected = 0;
    int handshakes = 0;          // finished exchanges completed
    bool handshakeOk = false;    // the latest handshake completed and is in force
    int netIdDerived = -1;
    long long firstHelloAnsweredMs = -1;
    long long handshakeMs = -1;  // latest completion, since start

    // Modem.
    int atEscapes = 0;
    int atCommands = 0;          // escapes and recognised commands
    int atUnknown = 0;
    int atUnterminated = 0;
    bool atSequenceOk = false;
    bool atAny = false;
    int netIdWritten = -1;
    long long escapeMs = -1;     // latest escape, since start
    long long setNetIdMs = -1;
    long long storeMs = -1;
    long long restartMs = -1;

    // Records from the ground.
    int framesReceived = 0;
    int recordsOk = 0;
    int recordsRejected = 0;
    int rejectedReplay = 0;
    int rejectedMac = 0;
    int rejectedOther = 0;       // empty, epoch byte limit, or no key yet
    int mavlinkRx = 0;
    int mavlinkUnparsed = 0;     // accepted records whose plaintext completed no frame

    // Records to the ground.
    int mavlinkTx = 0;
    int heartbeatsSent = 0;
    int echoesSent = 0;
    long long relayStartMs = -1;
    int replaysSent = 0;
    int replayedMavlinkSeq = -1;
    int tamperedSent = 0;
    int tamperedMavlinkSeq = -1;
    int forgedSent = 0;
    int groundFinishedAfterForge = 0;

    // Line.
    long long bytesRx = 0;
    long long bytesTx = 0;
    int writeFailures = 0;
    bool hangup = false;
    long long runMs = 0;
};

void printSummary(std::ostream &out, const SimCounters &counters);
