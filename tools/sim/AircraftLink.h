// The aircraft end of the protected link, driven by the bytes that arrive from the radio and
// by the clock: opens the handshake with its hello, checks the ground's hello and finished,
// watches the modem commands on the same stream, then relays MAVLink as a vehicle would.
// Time is passed in (milliseconds since start), so that the whole exchange can be driven
// from a test without a port or a real clock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "messaging/LinkFrame.h"
#include "messaging/LinkFrameParser.h"
#include "tools/sim/BenchResponder.h"
#include "tools/sim/ModemEmulator.h"
#include "tools/sim/SimCounters.h"
#include "tools/sim/SimOptions.h"

struct LinkSecurityState;

class AircraftLink {
public:
    using Sink = std::function<bool(const uint8_t *data, size_t length)>;
    using Log = std::function<void(const std::string &line)>;

    // rxLog and txLog may be null. The link uses the process-wide security state and MAVLink
    // channel 1, so there is one AircraftLink per process.
    AircraftLink(const SimOptions &options, SimCounters &counters, Sink sink, Log log,
                 std::ostream *rxLog = nullptr, std::ostream *txLog = nullptr);

    // Loads the keys and sends the first hello.
    void start(long long nowMs);
    void receive(const uint8_t *data, size_t length, long long nowMs);
    // Timed work: hello repeats, heartbeats, misbehaviour, the hello to a restarted ground.
    void tick(long long nowMs);
    // When tick next has something to do.
    long long nextWakeMs() const;
    // Copies the modem's final verdict into the counters.
    void finish();

private:
    enum class Phase { AwaitHello, AwaitFinished, Established, Forging };

    void handleFrame(const LinkFrame &frame, long long nowMs);
    void handleGroundHello(const LinkFrame &frame, long long nowMs);
    void handleGroundFinished(const LinkFrame &frame, long long nowMs);
    void handleRecord(const LinkFrame &frame, long long nowMs);
    void handleModem(const ModemEvent &event, long long nowMs);

    void newRandom();
    void sendHello(long long nowMs);
    void sendFinished();
    void sendForgedFinished();
    void sendForgedHeartbeat();
    void startRelay(long long nowMs);
    void sendHeartbeat();
    // Protects one MAVLink frame into a Data record and sends it. wire receives the frame as
    // sent when not null; tamper flips a ciphertext bit first.
    void sendMavlink(const uint8_t *frame, uint16_t length, bool tamper,
                     std::vector<uint8_t> *wire = nullptr);
    void send(const LinkFrame &frame, std::vector<uint8_t> *wire = nullptr);
    void send(const uint8_t *data, size_t length);
    void note(const std::string &line);

    const SimOptions &options_;
    SimCounters &counters_;
    Sink sink_;
    Log log_;
    std::ostream *rxLog_;
    std::ostream *txLog_;
    LinkSecurityState &state_;
    LinkFrameParser parser_;
    ModemEmulator modem_;
    LinkFrame frame_;  // assembled by the parser
    LinkFrame out_;    // being sent
    BenchResponder bench_;
    long long lastTickMs_ = 0;

    Phase phase_ = Phase::AwaitHello;
    bool haveMaster_ = false;
    bool helloOutstanding_ = false;  // ownRandom went out in a hello not yet answered
    bool secondHelloDone_ = false;
    long long nextHelloMs_ = 0;
    long long awaitFinishedSinceMs_ = 0;
    long long establishedMs_ = 0;
    long long lastGroundRecordMs_ = 0;
    long long relayStartMs_ = -1;
    long long nextHeartbeatMs_ = 0;
    long long nextProbeMs_ = 0;
    long long restartSeenMs_ = -1;
    long long nextForgeMs_ = 0;

    uint8_t mavlinkSequence_ = 0;
    int relayHeartbeats_ = 0;
    std::vector<uint8_t> replaySource_;
    int replaySourceSeq_ = -1;
    uint64_t forgeSequence_ = 0;
};
