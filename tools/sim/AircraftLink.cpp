#include "tools/sim/AircraftLink.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <sys/random.h>
#include <utility>

#include "auth/Handshake.h"
#include "auth/LinkSecurityState.h"
#include "crypto/KeyDerivation.h"
#include "crypto/RecordLayer.h"
#include "messaging/mavlink/Mavlink.h"
#include "tools/sim/ForgedRecord.h"
#include "tools/sim/VehicleMessages.h"

namespace {

const uint8_t kMasterSecretLabel[] = {'m', 'a', 's', 't', 'e', 'r', ' ',
                                      's', 'e', 'c', 'r', 'e', 't'};
// The decrypted modem stream, as on the ground.
constexpr uint8_t kRxChannel = 1;
// The ground starts relaying a few hundred milliseconds after it restarts the modem.
constexpr long long kRelayAfterRestartMs = 500;
// Relay heartbeats used by the misbehaviour options: late enough that the ground relays.
constexpr int kTamperedHeartbeat = 4;
constexpr int kReplaySourceHeartbeat = 3;
constexpr int kReplayAfterHeartbeat = 5;

uint64_t readBigEndian(const uint8_t *bytes, int count)
{
    uint64_t value = 0;
    for (int i = 0; i < count; ++i)
        value = value << 8 | bytes[i];
    return value;
}

} // namespace

AircraftLink::AircraftLink(const SimOptions &options, SimCounters &counters, Sink sink, Log log,
                           std::ostream *rxLog, std::ostream *txLog)
    : options_(options),
      counters_(counters),
      sink_(std::move(sink)),
      log_(std::move(log)),
      rxLog_(rxLog),
      txLog_(txLog),
      state_(LinkSecurityState::instance()),
      bench_(options.systemId, options.componentId,
             [this](const uint8_t *frame, uint16_t length) { sendMavlink(frame, length, false); })
{
    std::memset(&frame_, 0, sizeof frame_);
    std::memset(&out_, 0, sizeof out_);
}

void AircraftLink::note(const std::string &line)
{
    if (log_)
        log_(line);
}

void AircraftLink::send(const uint8_t *data, size_t length)
{
    if (sink_(data, length))
        counters_.bytesTx += static_cast<long long>(length);
    else
        ++counters_.writeFailures;
}

void AircraftLink::send(const LinkFrame &frame, std::vector<uint8_t> *wire)
{
    uint8_t bytes[kLinkFrameMaxSize];
    const uint16_t length = writeLinkFrame(frame, bytes);
    if (wire)
        wire->assign(bytes, bytes + length);
    send(bytes, length);
}

void AircraftLink::start(long long nowMs)
{
    std::memcpy(state_.ownPublicKey, options_.aircraftKey, 64);
    std::memcpy(state_.peerPublicKey, options_.groundKey, 64);
    std::memcpy(state_.premasterSecret, options_.premaster, 64);
    phase_ = Phase::AwaitHello;
    newRandom();
    sendHello(nowMs);
}

void AircraftLink::newRandom()
{
    if (getrandom(state_.ownRandom, sizeof state_.ownRandom, 0) != sizeof state_.ownRandom) {
        // Only freshness matters here, not secrecy: the random travels in clear.
        for (auto &b : state_.ownRandom)
            b = static_cast<uint8_t>(std::rand());
    }
    helloOutstanding_ = true;
}

void AircraftLink::sendHello(long long nowMs)
{
    std::memset(&out_, 0, sizeof out_);
    out_.startMarker = kLinkFrameStartMarker;
    out_.endMarker = kLinkFrameEndMarker;
    out_.type = static_cast<uint8_t>(LinkFrameType::Hello);
    out_.length = static_cast<uint16_t>(options_.helloLength);
    uint8_t body[kLinkFrameMaxPayload] = {};
    std::memcpy(body, state_.ownRandom, 32);
    std::memcpy(body + 32, state_.ownPublicKey, 64);
    if (options_.wrongKey)
        body[32 + 63] ^= 0x01;
    std::memcpy(out_.payload, body, out_.length);
    send(out_);
    ++counters_.hellosSent;
    nextHelloMs_ = nowMs + options_.helloMs;
    if (counters_.hellosSent <= 3 || counters_.hellosSent % 10 == 0)
        note("hello sent (" + std::to_string(counters_.hellosSent) + ")");
}

void AircraftLink::sendFinished()
{
    std::memset(&out_, 0, sizeof out_);
    out_.startMarker = kLinkFrameStartMarker;
    out_.endMarker = kLinkFrameEndMarker;
    out_.type = static_cast<uint8_t>(LinkFrameType::Finished);
    protectFrame(state_, kFinishedPlaintext, static_cast<uint16_t>(kFinishedPlaintextLength), out_);
    send(out_);
    ++counters_.finishedSent;
}

void AircraftLink::sendForgedFinished()
{
    sealUnderZeroKeys(LinkFrameType::Finished, ++forgeSequence_, 0, kFinishedPlaintext,
                      static_cast<uint16_t>(kFinishedPlaintextLength), out_);
    send(out_);
    ++counters_.forgedSent;
}

void AircraftLink::sendForgedHeartbeat()
{
    uint8_t heartbeat[kHeartbeatFrameLength];
    buildHeartbeat(mavlinkSequence_++, options_.systemId, options_.componentId, heartbeat);
    sealUnderZeroKeys(LinkFrameType::Data, ++forgeSequence_, 0, heartbeat,
                      static_cast<uint16_t>(sizeof heartbeat), out_);
    send(out_);
    ++counters_.forgedSent;
}

void AircraftLink::receive(const uint8_t *data, size_t length, long long nowMs)
{
    counters_.bytesRx += static_cast<long long>(length);
    ModemEvent event;
    for (size_t i = 0; i < length; ++i) {
        // The modem commands and the link frames share the stream; neither can contain the
        // other, so every byte goes to both recognisers.
        if (modem_.feed(data[i], event))
            handleModem(event, nowMs);
        if (parser_.parseByte(data[i], frame_))
            handleFrame(frame_, nowMs);
    }
    while (parser_.nextHeldFrame(frame_))
        handleFrame(frame_, nowMs);
}

void AircraftLink::handleFrame(const LinkFrame &frame, long long nowMs)
{
    ++counters_.framesReceived;
    switch (static_cast<LinkFrameType>(frame.type)) {
    case LinkFrameType::Hello:
        handleGroundHello(frame, nowMs);
        break;
    case LinkFrameType::Finished:
        handleGroundFinished(frame, nowMs);
        break;
    case LinkFrameType::Data:
        handleRecord(frame, nowMs);
        break;
    }
}

void AircraftLink::handleGroundHello(const LinkFrame &frame, long long nowMs)
{
    const bool wellFormed = frame.length == kHelloPayloadLength
                            && std::memcmp(frame.payload + 32, options_.groundKey, 64) == 0;
    if (!wellFormed) {
        ++counters_.groundHellosRejected;
        note("ground hello rejected (length " + std::to_string(frame.length) + " or key)");
        return;
    }
    // The ground only ever answers a hello; one we did not ask for is not ours to take.
    if (!helloOutstanding_) {
        ++counters_.groundHellosRejected;
        note("ground hello without a hello of ours, ignored");
        return;
    }
    ++counters_.groundHellosAccepted;
    if (counters_.firstHelloAnsweredMs < 0)
        counters_.firstHelloAnsweredMs = nowMs;
    std::memcpy(state_.peerRandom, frame.payload, 32);

    if (options_.forgeEpoch0) {
        if (phase_ == Phase::AwaitHello) {
            note("ground hello accepted; sending a finished sealed under zero keys, epoch 0");
            sendForgedFinished();
            phase_ = Phase::Forging;
            nextForgeMs_ = nowMs + options_.heartbeatMs;
        }
        return;
    }

    // The ground puts the aircraft's random first and its own second; so does the aircraft.
    uint8_t masterSecret[32];
    const int rc = hmacPrf(state_.premasterSecret, sizeof state_.premasterSecret,
                           kMasterSecretLabel, sizeof kMasterSecretLabel,
                           state_.ownRandom, sizeof state_.ownRandom,
                           state_.peerRandom, sizeof state_.peerRandom,
                           nullptr, 0, nullptr, 0, masterSecret, sizeof masterSecret);
    if (rc != 0) {
        ++counters_.groundHellosRejected;
        note("master secret derivation failed: " + std::to_string(rc));
        return;
    }
    state_.installMasterSecret(masterSecret);
    std::memset(masterSecret, 0, sizeof masterSecret);
    haveMaster_ = true;
    counters_.handshakeOk = false;
    relayStartMs_ = -1;
    sendFinished();
    phase_ = Phase::AwaitFinished;
    awaitFinishedSinceMs_ = nowMs;
    note("ground hello accepted, finished sent");
}

void AircraftLink::handleGroundFinished(const LinkFrame &frame, long long nowMs)
{
    if (options_.forgeEpoch0) {
        // A ground that answers a forged finished has taken it for genuine.
        if (counters_.forgedSent > 0) {
            ++counters_.groundFinishedAfterForge;
            note("the ground answered the forged finished");
        }
        return;
    }
    uint8_t plaintext[kLinkFrameMaxPayload];
    uint16_t length = 0;
    const bool genuine = haveMaster_ && unprotectFrame(state_, frame, plaintext, &length)
                         && length >= kFinishedPlaintextLength
                         && std::memcmp(plaintext, kFinishedPlaintext, kFinishedPlaintextLength) == 0;
    if (!genuine) {
        ++counters_.groundFinishedRejected;
        note("ground finished rejected");
        return;
    }
    ++counters_.groundFinishedAccepted;
    if (phase_ != Phase::AwaitFinished)
        return;

    ++counters_.handshakes;
    counters_.handshakeOk = true;
    counters_.handshakeMs = nowMs;
    counters_.netIdDerived = deriveNetworkId(state_);
    phase_ = Phase::Established;
    helloOutstanding_ = false;
    establishedMs_ = nowMs;
    lastGroundRecordMs_ = nowMs;
    relayStartMs_ = -1;
    relayHeartbeats_ = 0;
    note("handshake ok, network id " + std::to_string(counters_.netIdDerived));

    if (options_.secondHello && !secondHelloDone_) {
        secondHelloDone_ = true;
        counters_.handshakeOk = false;
        phase_ = Phase::AwaitHello;
        newRandom();
        note("sending a second hello");
        sendHello(nowMs);
    }
}

void AircraftLink::handleRecord(const LinkFrame &frame, long long nowMs)
{
    if (options_.forgeEpoch0)
        return;
    if (!haveMaster_) {
        ++counters_.recordsRejected;
        ++counters_.rejectedOther;
        return;
    }
    uint8_t plaintext[kLinkFrameMaxPayload];
    uint64_t length = 0;
    const int rc = unprotectRecord(state_, frame.payload, frame.length, frame.sequence, frame.epoch,
                                   frame.mac, plaintext, &length);
    if (rc != 0) {
        ++counters_.recordsRejected;
        const char *why = rc == -2 ? "replay" : rc == -3 ? "MAC" : "other";
        if (rc == -2)
            ++counters_.rejectedReplay;
        else if (rc == -3)
            ++counters_.rejectedMac;
        else
            ++counters_.rejectedOther;
        note("record " + std::to_string(readBigEndian(frame.sequence, 8)) + " rejected (" + why + ")");
        return;
    }
    ++counters_.recordsOk;
    lastGroundRecordMs_ = nowMs;
    if (rxLog_)
        *rxLog_ << toHex(plaintext, length) << '\n' << std::flush;
    if (phase_ == Phase::Established && relayStartMs_ < 0)
        startRelay(nowMs);

    bool completed = false;
    mavlink_message_t message;
    for (uint64_t i = 0; i < length; ++i) {
        if (mavlink_parse_char(kRxChannel, plaintext[i], &message) != MAVLINK_FRAMING_OK)
            continue;
        completed = true;
        ++counters_.mavlinkRx;
        if (options_.bench && bench_.receive(message))
            continue;
        if (options_.echo) {
            uint8_t buffer[MAVLINK_MAX_PACKET_LEN];
            const uint16_t n = mavlink_msg_to_send_buffer(buffer, &message);
            sendMavlink(buffer, n, false);
            ++counters_.echoesSent;
        }
    }
    if (!completed)
        ++counters_.mavlinkUnparsed;
}

void AircraftLink::handleModem(const ModemEvent &event, long long nowMs)
{
    switch (event.command) {
    case ModemCommand::Escape:
        ++counters_.atEscapes;
        ++counters_.atCommands;
        counters_.escapeMs = nowMs;
        note("modem: +++");
        break;
    case ModemCommand::SetNetworkId:
        ++counters_.atCommands;
        counters_.netIdWritten = event.networkId;
        counters_.setNetIdMs = nowMs;
        note("modem: " + event.text + (event.networkId == counters_.netIdDerived
                                           ? " (matches the derived id)"
                                           : " (derived id is " + std::to_string(counters_.netIdDerived) + ")"));
        break;
    case ModemCommand::Store:
        ++counters_.atCommands;
        counters_.storeMs = nowMs;
        note("modem: " + event.text);
        break;
    case ModemCommand::Restart:
        ++counters_.atCommands;
        counters_.restartMs = nowMs;
        restartSeenMs_ = nowMs;
        note("modem: " + event.text);
        break;
    case ModemCommand::Unknown:
        ++counters_.atUnknown;
        note("modem: unknown command \"" + event.text + "\"");
        break;
    }
    if (options_.modemReplies) {
        static const char kOk[] = "OK\r\n";
        static const char kError[] = "ERROR\r\n";
        const bool ok = event.command != ModemCommand::Unknown;
        send(reinterpret_cast<const uint8_t *>(ok ? kOk : kError), ok ? 4 : 7);
    }
}

void AircraftLink::startRelay(long long nowMs)
{
    relayStartMs_ = nowMs;
    counters_.relayStartMs = nowMs;
    nextHeartbeatMs_ = nowMs;
    nextProbeMs_ = nowMs;
    note("relaying");
}


void AircraftLink::sendMavlink(const uint8_t *frame, uint16_t length, bool tamper,
                               std::vector<uint8_t> *wire)
{
    std::memset(&out_, 0, sizeof out_);
    out_.startMarker = kLinkFrameStartMarker;
    out_.endMarker = kLinkFrameEndMarker;
    out_.type = static_cast<uint8_t>(LinkFrameType::Data);
    protectFrame(state_, frame, length, out_);
    if (tamper)
        out_.payload[0] ^= 0x01;
    send(out_, wire);
    if (tamper)
        return;
    ++counters_.mavlinkTx;
    if (txLog_)
        *txLog_ << toHex(frame, length) << '\n' << std::flush;
}

void AircraftLink::sendHeartbeat()
{
    const uint8_t sequence = mavlinkSequence_++;
    uint8_t heartbeat[kHeartbeatFrameLength];
    buildHeartbeat(sequence, options_.systemId, options_.componentId, heartbeat);
    ++relayHeartbeats_;
    ++counters_.heartbeatsSent;

    if (options_.tamper && relayHeartbeats_ == kTamperedHeartbeat && counters_.tamperedSent == 0) {
        sendMavlink(heartbeat, sizeof heartbeat, true);
        ++counters_.tamperedSent;
        counters_.tamperedMavlinkSeq = sequence;
        note("tampered record sent (MAVLink seq " + std::to_string(sequence) + ")");
        return;
    }
    const bool keep = options_.replay && relayHeartbeats_ == kReplaySourceHeartbeat
                      && counters_.replaysSent == 0;
    sendMavlink(heartbeat, sizeof heartbeat, false, keep ? &replaySource_ : nullptr);
    if (keep)
        replaySourceSeq_ = sequence;

    if (options_.replay && relayHeartbeats_ == kReplayAfterHeartbeat && !replaySource_.empty()
        && counters_.replaysSent == 0) {
        send(replaySource_.data(), replaySource_.size());
        ++counters_.replaysSent;
        counters_.replayedMavlinkSeq = replaySourceSeq_;
        note("record replayed (MAVLink seq " + std::to_string(replaySourceSeq_) + ")");
    }
}

void AircraftLink::tick(long long nowMs)
{
    lastTickMs_ = nowMs;
    if (phase_ == Phase::Established && relayStartMs_ >= 0)
        bench_.tick();
    switch (phase_) {
    case Phase::AwaitHello:
        if (nowMs >= nextHelloMs_)
            sendHello(nowMs);
        break;
    case Phase::AwaitFinished:
        // Our finished or the ground's answer was lost: open a new handshake.
        if (nowMs - awaitFinishedSinceMs_ >= 2LL * options_.helloMs) {
            note("no finished from the ground, starting over");
            phase_ = Phase::AwaitHello;
            newRandom();
            sendHello(nowMs);
        }
        break;
    case Phase::Forging:
        if (nowMs >= nextForgeMs_) {
            sendForgedHeartbeat();
            nextForgeMs_ = nowMs + options_.heartbeatMs;
        }
        break;
    case Phase::Established:
        if (relayStartMs_ < 0) {
            // A hello now would restart the ground's quiet wait before it sets the modem, so
            // the aircraft stays silent until the modem restarts or the fallback time passes.
            if (restartSeenMs_ >= establishedMs_ && nowMs >= restartSeenMs_ + kRelayAfterRestartMs)
                startRelay(nowMs);
            else if (nowMs >= establishedMs_ + options_.relayAfterMs)
                startRelay(nowMs);
        }
        if (relayStartMs_ < 0)
            break;
        if (nowMs >= nextHeartbeatMs_) {
            sendHeartbeat();
            nextHeartbeatMs_ = nowMs + options_.heartbeatMs;
        }
        // A relaying ground drops a hello (its record check refuses sequence 0), while a
        // restarted one answers it: so a quiet link is probed with hellos.
        if (options_.rehelloMs > 0 && nowMs >= nextProbeMs_) {
            const long long quietSince = std::max(lastGroundRecordMs_, relayStartMs_);
            if (nowMs - quietSince >= options_.rehelloMs) {
                if (!helloOutstanding_) {
                    note("no record from the ground for " + std::to_string(nowMs - quietSince)
                         + " ms, sending a hello");
                    newRandom();
                }
                sendHello(nowMs);
                nextProbeMs_ = nowMs + options_.helloMs;
            } else {
                nextProbeMs_ = quietSince + options_.rehelloMs;
            }
        }
        break;
    }
}

long long AircraftLink::nextWakeMs() const
{
    switch (phase_) {
    case Phase::AwaitHello:
        return nextHelloMs_;
    case Phase::AwaitFinished:
        return awaitFinishedSinceMs_ + 2LL * options_.helloMs;
    case Phase::Forging:
        return nextForgeMs_;
    case Phase::Established:
        if (relayStartMs_ < 0) {
            long long wake = establishedMs_ + options_.relayAfterMs;
            if (restartSeenMs_ >= establishedMs_)
                wake = std::min(wake, restartSeenMs_ + kRelayAfterRestartMs);
            return wake;
        }
        if (bench_.streaming())
            return bench_.paced() ? lastTickMs_ + 1 : lastTickMs_;
        return options_.rehelloMs > 0 ? std::min(nextHeartbeatMs_, nextProbeMs_) : nextHeartbeatMs_;
    }
    return 0;
}

void AircraftLink::finish()
{
    counters_.atUnterminated = modem_.unterminated();
    counters_.atSequenceOk = modem_.sequenceOk();
    counters_.atAny = modem_.anyCommand();
}
