// uav-sim as a separate process on a pseudo-terminal, with this test playing the ground
// station on the other end through the project's own handshake, record layer and framing.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <sstream>
#include <thread>

#include "auth/Handshake.h"
#include "auth/LinkSecurityState.h"
#include "crypto/RecordLayer.h"
#include "tests/messaging/FramingTestUtil.h"
#include "tests/tools/SimHarness.h"

using namespace fixtures;  // F1 (the vehicle's HEARTBEAT), F3 (a GCS HEARTBEAT), F4 (PARAM_REQUEST_LIST)

namespace {

constexpr int kStep = 3000;  // generous per-step timeout on a shared machine
constexpr int kHello = int(LinkFrameType::Hello), kFinished = int(LinkFrameType::Finished);

void sleepMs(int ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// Checks the summary against items "key=value" and "key>=number", separated by spaces.
void expectSummary(const SimProcess &sim, const std::string &items)
{
    std::istringstream in(items);
    for (std::string item; in >> item;) {
        const size_t eq = item.find('='), ge = item.find(">=");
        if (ge == std::string::npos)
            EXPECT_EQ(sim.value(item.substr(0, eq)), item.substr(eq + 1)) << item;
        else
            EXPECT_GE(std::stoi(sim.value(item.substr(0, ge))), std::stoi(item.substr(eq + 1))) << item;
    }
}

struct Received {
    std::vector<Bytes> plaintexts;  // Data records the ground opened
    std::vector<LinkFrame> rejected;
};

int mavlinkSeqOf(const Bytes &frame)
{
    return frame.size() > 4 ? frame[4] : -1;
}

class SimLink : public ::testing::Test {
protected:
    // The ground's keys; the premaster is what the simulated card gives the ground for the
    // default keys: SHA-512 of bytes 41..80 and the UKM C3 6A 1F 88 E2 4D 97 35 (OpenSSL 3.0
    // `dgst -sha512`).
    SimLink()
    {
        for (int i = 0; i < 64; ++i)
            ground.ownPublicKey[i] = uint8_t(0x01 + i), ground.peerPublicKey[i] = uint8_t(0x41 + i);
        std::memcpy(ground.premasterSecret,
                    fromHex("13b623a61f2f5509f783d85384ce256eeb131816fec8d9c944aa1d82279cdb7d"
                            "e7bf2a761dc5f8e9d0054115cd6e00e957898f64601a521e46e34d3a835f6d39")
                        .data(),
                    64);
    }

    // Short intervals; later arguments of the same name win.
    void start(const std::vector<std::string> &extra = {})
    {
        std::vector<std::string> args = {"--hello-ms", "150", "--heartbeat-ms", "100", "--rehello-ms", "0",
                                         "--duration", "60"};
        args.insert(args.end(), extra.begin(), extra.end());
        ASSERT_FALSE(end.slavePath().empty());
        ASSERT_TRUE(sim.start(end.slavePath(), args));
    }

    // Examines a handshake frame as the ground does and sends its reply, if any.
    bool answer(const LinkFrame &frame)
    {
        if (!handleHandshakeFrame(ground, frame, authState))
            return false;
        LinkFrame reply;
        if (buildHandshakeReply(ground, authState, reply))
            end.sendFrame(reply);
        return true;
    }

    // Answers the simulator's hello and finished; returns the network id, or -1.
    int handshake(uint8_t *aircraftRandom = nullptr)
    {
        LinkFrame frame;
        if (!end.nextFrame(frame, kStep, kHello) || !answer(frame) || authState != 1)
            return -1;
        if (aircraftRandom)
            std::memcpy(aircraftRandom, frame.payload, 32);
        if (!end.nextFrame(frame, kStep, kFinished))
            return -1;
        // The aircraft's finished is the first record under the new master secret.
        EXPECT_EQ(readBig(frame.sequence, 8), 1u);
        EXPECT_EQ(readBig(frame.epoch, 4), 1u);
        EXPECT_EQ(frame.length, kFinishedPlaintextLength);
        return answer(frame) && authState == 2 ? deriveNetworkId(ground) : -1;
    }

    // Two handshakes with different randoms, the modem set in between if asked; the second id.
    int twoHandshakes(bool modemBetween)
    {
        uint8_t first[32], second[32];
        const int firstId = handshake(first);
        if (firstId >= 0 && modemBetween)
            writeModem(firstId);
        const int secondId = firstId < 0 ? -1 : handshake(second);
        EXPECT_TRUE(secondId < 0 || toHex(first, 32) != toHex(second, 32));
        return secondId;
    }

    void writeModem(int netId)
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

    LinkFrame seal(const char *hex)
    {
        LinkFrame frame{};
        frame.startMarker = kLinkFrameStartMarker;
        frame.endMarker = kLinkFrameEndMarker;
        const Bytes plaintext = fromHex(hex);
        EXPECT_TRUE(protectFrame(ground, plaintext.data(), uint16_t(plaintext.size()), frame));
        return frame;
    }

    // Data records from the simulator within ms (at most stopAfter opened ones).
    Received collect(int ms, size_t stopAfter = 1000)
    {
        Received got;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        LinkFrame frame;
        uint8_t buffer[kLinkFrameMaxPayload];
        while (got.plaintexts.size() < stopAfter) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0 || !end.nextFrame(frame, int(left.count()), int(LinkFrameType::Data)))
                break;
            uint16_t length = 0;
            if (unprotectFrame(ground, frame, buffer, &length))
                got.plaintexts.emplace_back(buffer, buffer + length);
            else
                got.rejected.push_back(frame);
        }
        return got;
    }

    GroundEnd end;
    SimProcess sim;
    LinkSecurityState &ground = LinkSecurityState::instance();
    int authState = 0;
};

TEST_F(SimLink, HelloRepeatsThenHandshakeModemAndEchoAreByteExact)
{
    const std::string rxPath = "/tmp/uav-sim-test-" + std::to_string(getpid()) + "-rx";
    const std::string txPath = "/tmp/uav-sim-test-" + std::to_string(getpid()) + "-tx";
    start({"--echo", "--log-rx", rxPath, "--log-tx", txPath});

    // Unanswered hellos come again, each as the 121 bytes of a hello on the wire and with the
    // same random, so that a late answer to an earlier one still fits.
    LinkFrame first, second;
    ASSERT_TRUE(end.nextFrame(first, kStep, kHello)) << sim.stderrText();
    ASSERT_TRUE(end.nextFrame(second, kStep, kHello));
    uint8_t wire[kLinkFrameMaxSize];
    ASSERT_EQ(writeLinkFrame(first, wire), 121);
    EXPECT_EQ(toHex(wire, 16), "fc016000000000000000000000000000");
    EXPECT_EQ(toHex(wire + 48, 64), toHex(ground.peerPublicKey, 64));
    EXPECT_EQ(toHex(wire + 112, 9), "0000000000000000ed");
    EXPECT_EQ(toHex(first.payload, 96), toHex(second.payload, 96));

    const int netId = handshake();
    ASSERT_GE(netId, 0) << sim.stderrText();
    writeModem(netId);

    // Relaying starts once the modem has restarted: HEARTBEATs, one per record.
    const Received beats = collect(kStep, 2);
    ASSERT_EQ(beats.plaintexts.size(), 2u) << sim.stderrText();
    EXPECT_TRUE(beats.rejected.empty());
    EXPECT_EQ(toHex(beats.plaintexts[0]), F1);
    EXPECT_EQ(mavlinkSeqOf(beats.plaintexts[1]), 1);

    // Two messages from ground control, then a replay, a flipped ciphertext bit and a flipped
    // MAC bit: only the two genuine ones are taken and echoed.
    const LinkFrame gcsBeat = seal(F3);
    end.sendFrame(gcsBeat);
    end.sendFrame(seal(F4));
    end.sendFrame(gcsBeat);
    // Not over F3 or F4: the simulator's echo of one of them at the same number would be the
    // ground's own record byte for byte, and the ground refuses those.
    LinkFrame bad = seal("00112233445566778899");
    bad.payload[3] ^= 0x10;
    end.sendFrame(bad);
    bad = seal("00112233445566778899");
    bad.mac[7] ^= 0x01;
    end.sendFrame(bad);

    std::vector<std::string> echoed;
    for (const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kStep);
         echoed.size() < 2 && std::chrono::steady_clock::now() < deadline;)
        for (const Bytes &p : collect(200).plaintexts)
            if (p.size() > 5 && p[5] == 0xFF)  // sysid 255: ground control
                echoed.push_back(toHex(p));
    EXPECT_EQ(echoed, (std::vector<std::string>{F3, F4})) << sim.stderrText();

    ASSERT_EQ(sim.stop(), 0) << sim.stderrText();
    expectSummary(sim, "handshake=ok handshakes=1 hellos_sent>=2 ground_hellos_accepted=1 finished_sent=1 "
                       "ground_finished_accepted=1 net_id_match=1 at_commands=4 at_sequence=ok records_ok=2 "
                       "records_rejected=3 rejected_replay=1 rejected_mac=2 mavlink_rx=2 echoes_sent=2 "
                       "heartbeats_sent>=2 mavlink_tx>=2 hangup=0 net_id_derived="
                           + std::to_string(netId) + " net_id_written=" + std::to_string(netId));
    EXPECT_EQ(readFile(rxPath), std::string(F3) + "\n" + F4 + "\n");
    const std::string tx = readFile(txPath);
    EXPECT_EQ(tx.substr(0, sizeof F1), std::string(F1) + "\n");
    EXPECT_EQ(std::to_string(std::count(tx.begin(), tx.end(), '\n')), sim.value("mavlink_tx"));
    unlink(rxPath.c_str());
    unlink(txPath.c_str());
}

struct BadHello {
    const char *name;
    std::vector<std::string> args;
    uint16_t length;
    bool keyDiffers;
};

void PrintTo(const BadHello &c, std::ostream *os)
{
    *os << c.name;
}

class SimLinkBadHello : public SimLink, public ::testing::WithParamInterface<BadHello> {};

// Refused by the ground; unanswered, the simulator keeps trying.
TEST_P(SimLinkBadHello, IsRefusedByTheGround)
{
    start(GetParam().args);
    authState = 1;
    LinkFrame hello;
    ASSERT_TRUE(end.nextFrame(hello, kStep, kHello)) << sim.stderrText();
    EXPECT_EQ(hello.length, GetParam().length);
    // Of a short hello only the key bytes that were sent can be compared.
    const size_t keyBytes = std::min<size_t>(64, hello.length - 32);
    EXPECT_EQ(std::memcmp(hello.payload + 32, ground.peerPublicKey, keyBytes) != 0, GetParam().keyDiffers);
    EXPECT_FALSE(answer(hello));
    EXPECT_EQ(authState, 0);
    ASSERT_TRUE(end.nextFrame(hello, kStep, kHello));
    ASSERT_EQ(sim.stop(), 0);
    expectSummary(sim, "handshake=pending hellos_sent>=2 finished_sent=0");
}

INSTANTIATE_TEST_SUITE_P(Misbehaving, SimLinkBadHello,
                         ::testing::Values(BadHello{"WrongKey", {"--wrong-key"}, 96, true},
                                           BadHello{"Length95", {"--hello-length", "95"}, 95, false},
                                           BadHello{"Length97", {"--hello-length", "97"}, 97, false}),
                         [](const auto &info) { return std::string(info.param.name); });

// A second hello after finished, or a restarted ground that stays quiet after setting its modem
// (the simulator says hello again): a new handshake with a new random.
TEST_F(SimLink, SecondHelloAfterFinishedRunsANewHandshake)
{
    start({"--second-hello"});
    const int netId = twoHandshakes(false);
    ASSERT_GE(netId, 0) << sim.stderrText();
    writeModem(netId);
    sleepMs(200);
    ASSERT_EQ(sim.stop(), 0);
    expectSummary(sim, "handshake=ok handshakes=2 net_id_match=1 net_id_derived=" + std::to_string(netId));
}

TEST_F(SimLink, QuietGroundIsOfferedANewHandshake)
{
    // Long enough that a slow ground still finishes the first handshake before it.
    start({"--rehello-ms", "1500"});
    const int netId = twoHandshakes(true);
    ASSERT_GE(netId, 0) << sim.stderrText();
    ASSERT_EQ(sim.stop(), 0);
    expectSummary(sim, "handshakes=2 net_id_derived=" + std::to_string(netId));
}

// One record failed its MAC, one was an exact copy of an earlier one.
TEST_F(SimLink, ReplayedAndTamperedRecordsAreRefusedByTheGround)
{
    start({"--replay", "--tamper", "--heartbeat-ms", "40"});
    const int netId = handshake();
    ASSERT_GE(netId, 0) << sim.stderrText();
    writeModem(netId);
    const Received got = collect(kStep, 8);
    ASSERT_EQ(got.plaintexts.size(), 8u) << sim.stderrText();
    ASSERT_EQ(sim.stop(), 0);
    EXPECT_EQ(got.rejected.size(), 2u);
    std::vector<int> seqs;
    for (const Bytes &p : got.plaintexts)
        seqs.push_back(mavlinkSeqOf(p));
    EXPECT_EQ(seqs, (std::vector<int>{0, 1, 2, 4, 5, 6, 7, 8}));
    expectSummary(sim, "tampered_mavlink_seq=3 replayed_mavlink_seq=2 replays_sent=1 tampered_sent=1");
}

// Epoch 0 is above nothing the ground holds after its hello: the finished must not verify, nor
// the Data records after it.
TEST_F(SimLink, ForgedEpochZeroRecordsAreRefusedByTheGround)
{
    start({"--forge-epoch0"});
    LinkFrame frame;
    ASSERT_TRUE(end.nextFrame(frame, kStep, kHello));
    ASSERT_TRUE(answer(frame));
    ASSERT_TRUE(end.nextFrame(frame, kStep, kFinished));
    EXPECT_EQ(readBig(frame.sequence, 8), 1u);
    EXPECT_EQ(readBig(frame.epoch, 4), 0u);
    EXPECT_EQ(frame.length, kFinishedPlaintextLength);
    EXPECT_FALSE(answer(frame));

    const Received got = collect(500);
    EXPECT_TRUE(got.plaintexts.empty());
    EXPECT_GE(got.rejected.size(), 2u);
    for (const LinkFrame &r : got.rejected)
        EXPECT_EQ(readBig(r.epoch, 4), 0u);
    ASSERT_EQ(sim.stop(), 0);
    expectSummary(sim, "handshake=forged ground_finished_after_forge=0 forged_sent>=3");
}

TEST_F(SimLink, HangupEndsTheRunAndABadPortExitsWithTwo)
{
    start();
    LinkFrame frame;
    ASSERT_TRUE(end.nextFrame(frame, kStep, kHello));
    end.closeMaster();
    EXPECT_EQ(sim.wait(kStep), 0) << sim.stderrText();
    expectSummary(sim, "hangup=1 hellos_sent>=1");

    SimProcess missing;
    ASSERT_TRUE(missing.start("/dev/uav-sim-no-such-port", {}));
    EXPECT_EQ(missing.wait(kStep), 2);
    EXPECT_NE(missing.stderrText().find("/dev/uav-sim-no-such-port"), std::string::npos);
    EXPECT_TRUE(missing.summary().empty());
}

} // namespace
