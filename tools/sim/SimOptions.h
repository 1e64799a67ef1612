// Command-line options of the aircraft simulator: keys, timings and the ways it can be told
// to misbehave for tests.
#pragma once

#include <cstdint>
#include <string>

struct SimOptions {
    std::string port;
    int baud = 57600;
    double durationSeconds = 0;  // 0: until SIGINT or SIGTERM

    int helloMs = 2000;          // hello repeat while unanswered
    int heartbeatMs = 1000;
    // Quiet time (no record from the ground) after which a relaying aircraft sends a hello
    // again, so that a restarted ground station gets a new handshake. 0 disables it.
    int rehelloMs = 4000;
    // Relaying starts when the modem restarts (ATZ), when the ground's first record arrives,
    // or this long after the handshake when no modem command ever comes.
    int relayAfterMs = 12000;

    bool echo = false;
    bool bench = false;         // answer the link benchmark (tools/sim/BenchResponder.h)
    bool modemReplies = false;  // answer "OK\r\n" to the escape and each command
    bool quiet = false;         // no progress lines on stderr
    std::string logRx;          // hex line per accepted record's plaintext
    std::string logTx;          // hex line per MAVLink frame sent intact

    uint8_t systemId = 1;
    uint8_t componentId = 1;

    uint8_t groundKey[64];
    uint8_t aircraftKey[64];
    uint8_t premaster[64];
    bool premasterGiven = false;

    // Misbehaviour.
    bool wrongKey = false;
    int helloLength = 96;
    bool replay = false;
    bool tamper = false;
    bool secondHello = false;
    bool forgeEpoch0 = false;

    SimOptions();
};

enum class ParseOutcome { Run, Help, Version, Error };

// Fills options from argv. On Error, message says why; on Help and Version, message holds
// the text to print.
ParseOutcome parseSimOptions(int argc, char **argv, SimOptions &options, std::string &message);

// Exactly 2 * length hex digits, either case. False (out untouched) otherwise.
bool parseHex(const std::string &text, uint8_t *out, size_t length);

// The premaster the simulated card computes: SHA-512 over the aircraft's public key followed
// by the 8-byte UKM that the ground sends with its premaster command.
void defaultPremaster(const uint8_t aircraftKey[64], uint8_t out[64]);

extern const uint8_t kPremasterUkm[8];
