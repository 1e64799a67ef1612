// uav-sim as a separate process on a pseudo-terminal, with this test playing the ground
// station on the other end through the project's own handshake, record layer and framing.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "auth/Handshake.h"
#include "auth/LinkSecurityState.h"
#include "crypto/RecordLayer.h"
#include "messaging/mavlink/Mavlink.h"
#include "tests/tools/SimHarness.h"

namespace {

// MAVLink fixtures F1, F3 and F4 (node-mavlink 2.3.0, byte-identical with the MAVLink C
// library c_library_v2 925ab39c44): the vehicle's HEARTBEAT, a GCS HEARTBEAT and a trimmed
// PARAM_REQUEST_LIST.
const char kF1Heartbeat[] = "fd090000000101000000000000000203510403e71e";
const char kF3GcsHeartbeat[] = "fd09000007ffbe000000000000000608c00403a7c1";
const char kF4ParamRequestList[] = "fd01000000ffbe150000017d37";

// SHA-512 of bytes 41..80 and the UKM C3 6A 1F 88 E2 4D 97 35 (OpenSSL 3.0 `dgst -sha512`):
// the premaster the simulated card gives the ground for the default keys.
const char kPremaster[] =
    "13b623a61f2f5509f783d85384ce256eeb131816fec8d9c944aa1d82279cdb7d"
    "e7bf2a761dc5f8e9d0054115cd6e00e957898f64601a521e46e34d3a835f6d39";

constexpr int kStep = 3000;  // generous per-step timeout on a shared machine

void sleepMs(int ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

uint64_t sequenceOf(const LinkFrame &frame)
{
    uint64_t value = 0;
    for (uint8_t b : frame.sequence)
        value = value << 8 | b;
    return value;
}

uint32_t epochOf(const LinkFrame &frame)
{
    uint32_t value = 0;
    for (uint8_t b : frame.epoch)
        value = value << 8 | b;
    return value;
}

// The ground station, on the process-wide state of this test process.
class Ground {
public:
    Ground() : state(LinkSecurityState::instance())
    {
        for (int i = 0; i < 64; ++i) {
            state.ownPublicKey[i] = static_cast<uint8_t>(0x01 + i);
            state.peerPublicKey[i] = static_cast<uint8_t>(0x41 + i);
        }
        const auto premaster = unhex(kPremaster);
        std::memcpy(state.premasterSecret, premaster.data(), 64);
    }

    // Examines a handshake frame as the ground does and sends its reply, if any.
    bool answer(GroundEnd &end, const LinkFrame &frame)
    {
        if (!handleHandshakeFrame(state, frame, authState))
            return false;
        LinkFrame reply;
        if (buildHandshakeReply(state, authState, reply))
            end.sendFrame(reply);
        return true;
    }

    LinkFrame seal(const std::vector<uint8_t> &plaintext)
    {
        LinkFrame frame;
        std::memset(&frame, 0, sizeof frame);
        frame.startMarker = kLinkFrameStartMarker;
        frame.endMarker = kLinkFrameEndMarker;
        EXPECT_TRUE(protectFrame(state, plaintext.data(), static_cast<uint16_t>(plaintext.size()), frame));
        return frame;
    }

    bool open(const LinkFrame &frame, std::vector<uint8_t> &plaintext)
    {
        uint8_t buffer[kLinkFrameMaxPayload];
        uint16_t length = 0;
        if (!unprotectFrame(state, frame, buffer, &length))
            return false;
        plaintext.assign(buffer, buffer + length);
        return true;
    }

    LinkSecurityState &state;
    int authState = 0;
};

// Answers the simulator's hello and finished; returns the network id, or -1.
int runHandshake(Ground &ground, GroundEnd &end, uint8_t *aircraftRandom = nullptr)
{
    LinkFrame frame;
    if (!end.nextFrameOfType(LinkFrameType::Hello, frame, kStep))
        return -1;
    if (aircraftRandom)
        std::memcpy(aircraftRandom, frame.payload, 32);
    if (!ground.answer(end, frame) || ground.authState != 1)
        return -1;
    if (!end.nextFrameOfType(LinkFrameType::Finished, frame, kStep))
        return -1;
    // The aircraft's finished is the first record under the new master secret.
    EXPECT_EQ(sequenceOf(frame), 1u);
    EXPECT_EQ(epochOf(frame), 1u);
    EXPECT_EQ(frame.length, kFinishedPlaintextLength);
    if (!ground.answer(end, frame) || ground.authState != 2)
        return -1;
    return deriveNetworkId(ground.state);
}

void writeModem(GroundEnd &end, int netId)
{
    end.sendBytes("+++", 3);
    sleepMs(30);
    const std::string set = "ATS3=" + std::to_string(netId) + "\r\n";
    end.sendBytes(set.c_str(), set.size() + 1);
    sleepMs(10);
    end.sendBytes("AT&W\r\n", 7);
    sleepMs(10);
    end.sendBytes("ATZ\r\n", 6);
}

// Data records from the simulator within ms, opened by the ground; rejected ones counted.
struct Received {
    std::vector<std::vector<uint8_t>> plaintexts;
    std::vector<LinkFrame> rejected;
};

Received collectRecords(Ground &ground, GroundEnd &end, int ms, size_t stopAfter = 1000)
{
    Received got;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    LinkFrame frame;
    while (got.plaintexts.size() < stopAfter) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0 || !end.nextFrame(frame, static_cast<int>(left)))
            break;
        if (frame.type != static_cast<uint8_t>(LinkFrameType::Data))
            continue;
        std::vector<uint8_t> plaintext;
        if (ground.open(frame, plaintext))
            got.plaintexts.push_back(plaintext);
        else
            got.rejected.push_back(frame);
    }
    return got;
}

int mavlinkSeqOf(const std::vector<uint8_t> &frame)
{
    return frame.size() > 4 ? frame[4] : -1;
}

std::string tempPath(const char *name)
{
    return std::string("/tmp/uav-sim-test-") + std::to_string(getpid()) + "-" + name;
}

const std::vector<std::string> kFast = {"--hello-ms", "150", "--heartbeat-ms", "100", "--rehello-ms", "0",
                                        "--duration", "60"};

std::vector<std::string> fastWith(std::vector<std::string> extra)
{
    std::vector<std::string> args = kFast;
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
}

} // namespace

TEST(SimLink, HelloRepeatsThenHandshakeModemAndEchoAreByteExact)
{
    const std::string rxPath = tempPath("rx");
    const std::string txPath = tempPath("tx");
    GroundEnd end;
    ASSERT_TRUE(end.open());
    SimProcess sim;
    ASSERT_TRUE(sim.start(end.slavePath(), fastWith({"--echo", "--log-rx", rxPath, "--log-tx", txPath})));
    Ground ground;

    // Unanswered hellos come again, each as the 121 bytes of a hello on the wire and with the
    // same random, so that a late answer to an earlier one still fits.
    LinkFrame first;
    LinkFrame second;
    ASSERT_TRUE(end.nextFrameOfType(LinkFrameType::Hello, first, kStep)) << sim.stderrText();
    ASSERT_TRUE(end.nextFrameOfType(LinkFrameType::Hello, second, kStep));
    uint8_t wire[kLinkFrameMaxSize];
    ASSERT_EQ(writeLinkFrame(first, wire), 121);
    EXPECT_EQ(hexOf(wire, 16), "fc016000000000000000000000000000");
    for (int i = 0; i < 64; ++i)
        EXPECT_EQ(wire[16 + 32 + i], 0x41 + i) << "public key byte " << i;
    EXPECT_EQ(hexOf(wire + 112, 9), "0000000000000000ed");
    EXPECT_EQ(std::memcmp(first.payload, second.payload, 96), 0);

    const int netId = runHandshake(ground, end);
    ASSERT_GE(netId, 0) << sim.stderrText();
    writeModem(end, netId);

    // Relaying starts once the modem has restarted: HEARTBEATs, one per record.
    Received beats = collectRecords(ground, end, kStep, 2);
    ASSERT_EQ(beats.plaintexts.size(), 2u) << sim.stderrText();
    EXPECT_TRUE(beats.rejected.empty());
    EXPECT_EQ(hexOf(beats.plaintexts[0].data(), beats.plaintexts[0].size()), kF1Heartbeat);
    EXPECT_EQ(mavlinkSeqOf(beats.plaintexts[1]), 1);

    // Two messages from ground control, then a replay, a flipped ciphertext bit and a
    // flipped MAC bit: only the two genuine ones are taken and echoed.
    const LinkFrame gcsBeat = ground.seal(unhex(kF3GcsHeartbeat));
    end.sendFrame(gcsBeat);
    const LinkFrame paramRequest = ground.seal(unhex(kF4ParamRequestList));
    end.sendFrame(paramRequest);
    end.sendFrame(gcsBeat);
    LinkFrame bad = ground.seal(unhex(kF3GcsHeartbeat));
    bad.payload[3] ^= 0x10;
    end.sendFrame(bad);
    bad = ground.seal(unhex(kF3GcsHeartbeat));
    bad.mac[7] ^= 0x01;
    end.sendFrame(bad);

    std::vector<std::string> echoed;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kStep);
    while (echoed.size() < 2 && std::chrono::steady_clock::now() < deadline) {
        Received more = collectRecords(ground, end, 200);
        for (const auto &p : more.plaintexts)
            if (mavlinkSeqOf(p) != -1 && p.size() > 5 && p[5] == 0xFF)  // sysid 255: ground control
                echoed.push_back(hexOf(p.data(), p.size()));
    }
    ASSERT_EQ(echoed.size(), 2u) << sim.stderrText();
    EXPECT_EQ(echoed[0], kF3GcsHeartbeat);
    EXPECT_EQ(echoed[1], kF4ParamRequestList);

    ASSERT_EQ(sim.stop(), 0) << sim.stderrText();
    EXPECT_EQ(sim.value("handshake"), "ok");
    EXPECT_EQ(sim.number("handshakes"), 1);
    EXPECT_GE(sim.number("hellos_sent"), 2);
    EXPECT_EQ(sim.number("ground_hellos_accepted"), 1);
    EXPECT_EQ(sim.number("finished_sent"), 1);
    EXPECT_EQ(sim.number("ground_finished_accepted"), 1);
    EXPECT_EQ(sim.number("net_id_derived"), netId);
    EXPECT_EQ(sim.number("net_id_written"), netId);
    EXPECT_EQ(sim.number("net_id_match"), 1);
    EXPECT_EQ(sim.number("at_commands"), 4);
    EXPECT_EQ(sim.value("at_sequence"), "ok");
    EXPECT_EQ(sim.number("records_ok"), 2);
    EXPECT_EQ(sim.number("records_rejected"), 3);
    EXPECT_EQ(sim.number("rejected_replay"), 1);
    EXPECT_EQ(sim.number("rejected_mac"), 2);
    EXPECT_EQ(sim.number("mavlink_rx"), 2);
    EXPECT_EQ(sim.number("echoes_sent"), 2);
    EXPECT_GE(sim.number("heartbeats_sent"), 2);
    EXPECT_EQ(sim.number("hangup"), 0);

    EXPECT_EQ(readLines(rxPath), (std::vector<std::string>{kF3GcsHeartbeat, kF4ParamRequestList}));
    const auto sent = readLines(txPath);
    EXPECT_EQ(static_cast<int>(sent.size()), sim.number("mavlink_tx"));
    ASSERT_GE(sent.size(), 2u);
    EXPECT_EQ(sent[0], kF1Heartbeat);
    unlink(rxPath.c_str());
    unlink(txPath.c_str());
}

TEST(SimLink, MisbehavingHellosAreRefusedByTheGround)
{
    struct Case {
        std::vector<std::string> args;
        uint16_t length;
        bool keyDiffers;
    } cases[] = {
        {{"--wrong-key"}, 96, true},
        {{"--hello-length", "95"}, 95, false},
        {{"--hello-length", "97"}, 97, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.args[0] + (c.args.size() > 1 ? " " + c.args[1] : ""));
        GroundEnd end;
        ASSERT_TRUE(end.open());
        SimProcess sim;
        ASSERT_TRUE(sim.start(end.slavePath(), fastWith(c.args)));
        Ground ground;
        ground.authState = 1;

        LinkFrame hello;
        ASSERT_TRUE(end.nextFrameOfType(LinkFrameType::Hello, hello, kStep)) << sim.stderrText();
        EXPECT_EQ(hello.length, c.length);
        // Of a short hello only the key bytes that were sent can be compared.
        const size_t keyBytes = std::min<size_t>(64, hello.length - 32);
        const bool keyDiffers = std::memcmp(hello.payload + 32, ground.state.peerPublicKey, keyBytes) != 0;
        EXPECT_EQ(keyDiffers, c.keyDiffers);
        EXPECT_FALSE(ground.answer(end, hello));
        EXPECT_EQ(ground.authState, 0);
        // Unanswered, the simulator keeps trying.
        ASSERT_TRUE(end.nextFrameOfType(LinkFrameType::Hello, hello, kStep));

        ASSERT_EQ(sim.stop(), 0);
        EXPECT_EQ(sim.value("handshake"), "pending");
        EXPECT_GE(sim.number("hellos_sent"), 2);
        EXPECT_EQ(sim.number("finished_sent"), 0);
    }
}

TEST(SimLink, SecondHelloAfterFinishedRunsANewHandshake)
{
    GroundEnd end;
    ASSERT_TRUE(end.open());
    SimProcess sim;
    ASSERT_TRUE(sim.start(end.slavePath(), fastWith({"--second-hello"})));
    Ground ground;

    uint8_t firstRandom[32];
    uint8_t secondRandom[32];
    const int firstId = runHandshake(ground, end, firstRandom);
    ASSERT_GE(firstId, 0) << sim.stderrText();
    const int secondId = runHandshake(ground, end, secondRandom);
    ASSERT_GE(secondId, 0) << sim.stderrText();
    EXPECT_NE(std::memcmp(firstRandom, secondRandom, 32), 0);
    writeModem(end, secondId);
    sleepMs(200);

    ASSERT_EQ(sim.stop(), 0);
    EXPECT_EQ(sim.value("handshake"), "ok");
    EXPECT_EQ(sim.number("handshakes"), 2);
    EXPECT_EQ(sim.number("net_id_derived"), secondId);
    EXPECT_EQ(sim.number("net_id_match"), 1);
}

TEST(SimLink, ReplayedAndTamperedRecordsAreRefusedByTheGround)
{
    GroundEnd end;
    ASSERT_TRUE(end.open());
    SimProcess sim;
    ASSERT_TRUE(sim.start(end.slavePath(),
                          fastWith({"--replay", "--tamper", "--heartbeat-ms", "40"})));
    Ground ground;
    const int netId = runHandshake(ground, end);
    ASSERT_GE(netId, 0) << sim.stderrText();
    writeModem(end, netId);

    Received got = collectRecords(ground, end, kStep, 8);
    ASSERT_EQ(got.plaintexts.size(), 8u) << sim.stderrText();
    ASSERT_EQ(sim.stop(), 0);

    // One record failed its MAC, one was an exact copy of an earlier one.
    ASSERT_EQ(got.rejected.size(), 2u);
    const int tampered = sim.number("tampered_mavlink_seq");
    const int replayed = sim.number("replayed_mavlink_seq");
    std::vector<int> seqs;
    for (const auto &p : got.plaintexts)
        seqs.push_back(mavlinkSeqOf(p));
    EXPECT_EQ(seqs, (std::vector<int>{0, 1, 2, 4, 5, 6, 7, 8}));
    EXPECT_EQ(tampered, 3);
    EXPECT_EQ(replayed, 2);
    EXPECT_EQ(sim.number("replays_sent"), 1);
    EXPECT_EQ(sim.number("tampered_sent"), 1);
}

TEST(SimLink, ForgedEpochZeroRecordsAreRefusedByTheGround)
{
    GroundEnd end;
    ASSERT_TRUE(end.open());
    SimProcess sim;
    ASSERT_TRUE(sim.start(end.slavePath(), fastWith({"--forge-epoch0"})));
    Ground ground;

    LinkFrame frame;
    ASSERT_TRUE(end.nextFrameOfType(LinkFrameType::Hello, frame, kStep));
    ASSERT_TRUE(ground.answer(end, frame));
    ASSERT_TRUE(end.nextFrameOfType(LinkFrameType::Finished, frame, kStep));
    EXPECT_EQ(sequenceOf(frame), 1u);
    EXPECT_EQ(epochOf(frame), 0u);
    EXPECT_EQ(frame.length, kFinishedPlaintextLength);
    // Epoch 0 is above nothing the ground holds after its hello: it must not verify.
    EXPECT_FALSE(ground.answer(end, frame));

    Received got = collectRecords(ground, end, 500);
    EXPECT_TRUE(got.plaintexts.empty());
    EXPECT_GE(got.rejected.size(), 2u);
    for (const auto &r : got.rejected)
        EXPECT_EQ(epochOf(r), 0u);

    ASSERT_EQ(sim.stop(), 0);
    EXPECT_EQ(sim.value("handshake"), "forged");
    EXPECT_EQ(sim.number("ground_finished_after_forge"), 0);
    EXPECT_GE(sim.number("forged_sent"), 3);
}

TEST(SimLink, QuietGroundIsOfferedANewHandshake)
{
    GroundEnd end;
    ASSERT_TRUE(end.open());
    SimProcess sim;
    std::vector<std::string> args = fastWith({});
    args[5] = "400";  // --rehello-ms
    ASSERT_TRUE(sim.start(end.slavePath(), args));
    Ground ground;

    uint8_t firstRandom[32];
    uint8_t secondRandom[32];
    ASSERT_GE(runHandshake(ground, end, firstRandom), 0) << sim.stderrText();
    writeModem(end, deriveNetworkId(ground.state));
    // A restarted ground sends nothing; the simulator says hello again with a new random.
    const int secondId = runHandshake(ground, end, secondRandom);
    ASSERT_GE(secondId, 0) << sim.stderrText();
    EXPECT_NE(std::memcmp(firstRandom, secondRandom, 32), 0);

    ASSERT_EQ(sim.stop(), 0);
    EXPECT_EQ(sim.number("handshakes"), 2);
    EXPECT_EQ(sim.number("net_id_derived"), secondId);
}

TEST(SimLink, HangupEndsTheRunAndABadPortExitsWithTwo)
{
    GroundEnd end;
    ASSERT_TRUE(end.open());
    SimProcess sim;
    ASSERT_TRUE(sim.start(end.slavePath(), kFast));
    LinkFrame frame;
    ASSERT_TRUE(end.nextFrameOfType(LinkFrameType::Hello, frame, kStep));
    end.closeMaster();
    EXPECT_EQ(sim.wait(kStep), 0) << sim.stderrText();
    EXPECT_EQ(sim.number("hangup"), 1);
    EXPECT_GE(sim.number("hellos_sent"), 1);

    SimProcess missing;
    ASSERT_TRUE(missing.start("/dev/uav-sim-no-such-port", {}));
    EXPECT_EQ(missing.wait(kStep), 2);
    EXPECT_NE(missing.stderrText().find("/dev/uav-sim-no-such-port"), std::string::npos);
    EXPECT_TRUE(missing.summary().empty());
}
