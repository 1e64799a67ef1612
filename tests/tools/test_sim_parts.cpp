// The simulator's own pieces, without a port: the modem command recogniser, the HEARTBEAT it
// sends, its option parsing and the records it forges under an all-zero key block.

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "messaging/mavlink/Mavlink.h"
#include "tools/sim/ForgedRecord.h"
#include "tools/sim/ModemEmulator.h"
#include "tools/sim/SimOptions.h"
#include "tools/sim/VehicleMessages.h"

namespace {

std::vector<uint8_t> bytesOf(const std::string &text, bool zero = false)
{
    std::vector<uint8_t> out(text.begin(), text.end());
    if (zero)
        out.push_back(0);
    return out;
}

std::vector<uint8_t> fromHex(const std::string &hex)
{
    std::vector<uint8_t> out(hex.size() / 2);
    EXPECT_TRUE(parseHex(hex, out.data(), out.size()));
    return out;
}

// What the ground writes into its modem for one identifier, pauses left out.
std::vector<uint8_t> groundCommands(int netId)
{
    std::vector<uint8_t> out = bytesOf("+++");
    for (const auto &part : {bytesOf("ATS3=" + std::to_string(netId) + "\r\n", true),
                             bytesOf("AT&W\r\n", true), bytesOf("ATZ\r\n", true)})
        out.insert(out.end(), part.begin(), part.end());
    return out;
}

struct ModemRun {
    std::vector<ModemEvent> events;
    int unterminated = 0;
    bool sequenceOk = false;
    bool commandMode = false;
};

ModemRun runModem(const std::vector<uint8_t> &stream)
{
    ModemEmulator modem;
    ModemRun run;
    ModemEvent event;
    for (uint8_t b : stream)
        if (modem.feed(b, event))
            run.events.push_back(event);
    run.unterminated = modem.unterminated();
    run.sequenceOk = modem.sequenceOk();
    run.commandMode = modem.inCommandMode();
    return run;
}

std::string describe(const std::vector<ModemEvent> &events)
{
    std::string out;
    for (const auto &e : events) {
        static const char *kNames[] = {"esc", "s3", "w", "z", "?"};
        out += kNames[static_cast<int>(e.command)];
        if (e.command == ModemCommand::SetNetworkId)
            out += "=" + std::to_string(e.networkId);
        if (e.command == ModemCommand::Unknown)
            out += "[" + e.text + "]";
        out += ' ';
    }
    return out;
}

// A hello frame as it lies on the wire, to surround the commands with link traffic.
std::vector<uint8_t> helloOnWire()
{
    std::vector<uint8_t> out = {0xFC, 0x01, 0x60, 0x00};
    out.resize(16, 0);
    for (int i = 0; i < 96; ++i)
        out.push_back(static_cast<uint8_t>(i % 2 ? '+' : 0xED));  // '+' never three in a row
    out.resize(out.size() + 8, 0);
    out.push_back(0xED);
    return out;
}

} // namespace

TEST(SimModem, RecognisesTheGroundSequenceAndFlagsDeviations)
{
    auto with = [](std::vector<uint8_t> a, const std::vector<uint8_t> &b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    };
    const auto hello = helloOnWire();
    struct Case {
        const char *name;
        std::vector<uint8_t> stream;
        std::string events;
        int unterminated;
        bool sequenceOk;
        bool commandModeAfter;
    } cases[] = {
        {"id 5", groundCommands(5), "esc s3=5 w z ", 0, true, false},
        {"id 0 is an identifier", groundCommands(0), "esc s3=0 w z ", 0, true, false},
        {"id 255", groundCommands(255), "esc s3=255 w z ", 0, true, false},
        {"between link frames", with(with(hello, groundCommands(77)), hello), "esc s3=77 w z ", 0, true, false},
        {"two configurations in a row", with(groundCommands(1), groundCommands(2)),
         "esc s3=1 w z esc s3=2 w z ", 0, true, false},
        {"no escape: commands are data", bytesOf("ATS3=5\r\n", true), "", 0, true, false},
        {"two plus signs are data", with(bytesOf("++A"), bytesOf("+ATS3=5\r\n", true)), "", 0, true, false},
        {"zero byte missing after ATS3",
         with(with(bytesOf("+++ATS3=5\r\n"), bytesOf("AT&W\r\n", true)), bytesOf("ATZ\r\n", true)),
         "esc s3=5 w z ", 1, false, false},
        {"zero byte missing at the very end", with(bytesOf("+++ATS3=9\r\n", true), bytesOf("AT&W\r\nATZ\r\n")),
         "esc s3=9 w z ", 2, false, false},
        {"256 is no identifier", bytesOf("+++ATS3=256\r\n", true), "esc ?[ATS3=256] ", 0, false, true},
        {"empty identifier", bytesOf("+++ATS3=\r\n", true), "esc ?[ATS3=] ", 0, false, true},
        {"store before the identifier", with(bytesOf("+++AT&W\r\n", true), bytesOf("ATS3=4\r\n", true)),
         "esc w s3=4 ", 0, false, true},
        {"bare CR does not end a command", bytesOf("+++ATS3=5\rAT&W\r\n", true), "esc ?[ATS3=5\rAT&W] ", 0,
         false, true},
        {"no restart: still in command mode", with(bytesOf("+++"), bytesOf("ATS3=3\r\n", true)), "esc s3=3 ", 0,
         true, true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const ModemRun run = runModem(c.stream);
        EXPECT_EQ(describe(run.events), c.events);
        EXPECT_EQ(run.unterminated, c.unterminated);
        EXPECT_EQ(run.sequenceOk, c.sequenceOk);
        EXPECT_EQ(run.commandMode, c.commandModeAfter);
    }
}

TEST(SimModem, OverlongCommandIsUnknownAndTheNextOneStillParses)
{
    std::vector<uint8_t> stream = bytesOf("+++AT");
    stream.insert(stream.end(), 200, 'X');
    for (const auto &part : {bytesOf("\r\n", true), bytesOf("ATS3=8\r\n", true)})
        stream.insert(stream.end(), part.begin(), part.end());
    const ModemRun run = runModem(stream);
    ASSERT_EQ(run.events.size(), 3u);
    EXPECT_EQ(run.events[1].command, ModemCommand::Unknown);
    EXPECT_EQ(run.events[2].command, ModemCommand::SetNetworkId);
    EXPECT_EQ(run.events[2].networkId, 8);
}

// Frame F1 of the project's MAVLink fixtures: HEARTBEAT v2, sys 1 comp 1 seq 0, produced
// byte-identically by node-mavlink 2.3.0 and the MAVLink C library (c_library_v2 925ab39c44).
TEST(SimHeartbeat, MatchesThePublishedFrameAndParses)
{
    uint8_t frame[kHeartbeatFrameLength];
    buildHeartbeat(0, 1, 1, frame);
    EXPECT_EQ(toHex(frame, sizeof frame), "fd090000000101000000000000000203510403e71e");

    // Another sequence and ids still carry a checksum the parser accepts.
    buildHeartbeat(200, 42, 7, frame);
    mavlink_message_t message;
    int completed = 0;
    for (uint8_t b : frame)
        completed += mavlink_parse_char(0, b, &message) == MAVLINK_FRAMING_OK;
    ASSERT_EQ(completed, 1);
    EXPECT_EQ(message.seq, 200);
    EXPECT_EQ(message.sysid, 42);
    EXPECT_EQ(message.compid, 7);
    EXPECT_EQ(message.msgid, 0u);
}

TEST(SimOptions, DefaultsMatchTheSimulatedCard)
{
    SimOptions options;
    std::string message;
    const char *argv[] = {"uav-sim", "--port", "/dev/null"};
    ASSERT_EQ(parseSimOptions(3, const_cast<char **>(argv), options, message), ParseOutcome::Run) << message;
    EXPECT_EQ(options.groundKey[0], 0x01);
    EXPECT_EQ(options.groundKey[63], 0x40);
    EXPECT_EQ(options.aircraftKey[0], 0x41);
    EXPECT_EQ(options.aircraftKey[63], 0x80);
    // SHA-512 over bytes 41..80 followed by C3 6A 1F 88 E2 4D 97 35, computed with
    // OpenSSL 3.0 `openssl dgst -sha512` and Python's hashlib (both agree).
    EXPECT_EQ(toHex(options.premaster, 64),
              "13b623a61f2f5509f783d85384ce256eeb131816fec8d9c944aa1d82279cdb7d"
              "e7bf2a761dc5f8e9d0054115cd6e00e957898f64601a521e46e34d3a835f6d39");
}

TEST(SimOptions, ParsesValuesAndRefusesBadOnes)
{
    const std::string key64(128, 'a');
    struct Case {
        std::vector<std::string> args;
        ParseOutcome outcome;
    } cases[] = {
        {{"--port", "/dev/pts/3", "--baud", "460800", "--echo", "--duration", "2.5"}, ParseOutcome::Run},
        {{"--port=/dev/pts/3", "--hello-length=95", "--replay", "--tamper"}, ParseOutcome::Run},
        {{"--port", "p", "--ground-key", key64, "--aircraft-key", key64, "--premaster", key64}, ParseOutcome::Run},
        {{"--help"}, ParseOutcome::Help},
        {{"--version"}, ParseOutcome::Version},
        {{}, ParseOutcome::Error},                                              // no port
        {{"--port"}, ParseOutcome::Error},                                      // value missing
        {{"--port", "p", "--ground-key", key64.substr(2)}, ParseOutcome::Error},  // 63 bytes
        {{"--port", "p", "--ground-key", key64 + "aa"}, ParseOutcome::Error},     // 65 bytes
        {{"--port", "p", "--premaster", std::string(127, 'a') + "g"}, ParseOutcome::Error},
        {{"--port", "p", "--hello-length", "513"}, ParseOutcome::Error},
        {{"--port", "p", "--hello-ms", "0"}, ParseOutcome::Error},
        {{"--port", "p", "--heartbeat-ms", "5x"}, ParseOutcome::Error},
        {{"--port", "p", "--duration", "-1"}, ParseOutcome::Error},
        {{"--port", "p", "--sysid", "256"}, ParseOutcome::Error},
        {{"--port", "p", "--frobnicate"}, ParseOutcome::Error},
    };
    for (const auto &c : cases) {
        std::vector<char *> argv = {const_cast<char *>("uav-sim")};
        for (const auto &a : c.args)
            argv.push_back(const_cast<char *>(a.c_str()));
        SimOptions options;
        std::string message;
        SCOPED_TRACE(::testing::PrintToString(c.args));
        EXPECT_EQ(parseSimOptions(static_cast<int>(argv.size()), argv.data(), options, message), c.outcome)
            << message;
    }

    SimOptions options;
    std::string message;
    const char *argv[] = {"uav-sim", "--port=/dev/pts/9", "--baud", "460800", "--hello-length", "97",
                          "--premaster", key64.c_str(), "--aircraft-key", key64.c_str()};
    ASSERT_EQ(parseSimOptions(10, const_cast<char **>(argv), options, message), ParseOutcome::Run);
    EXPECT_EQ(options.port, "/dev/pts/9");
    EXPECT_EQ(options.baud, 460800);
    EXPECT_EQ(options.helloLength, 97);
    // A premaster given explicitly is not replaced by the one derived from the aircraft key.
    EXPECT_EQ(options.premaster[0], 0xAA);
    EXPECT_EQ(options.premaster[63], 0xAA);
}

// Expected values from OpenSSL 3.0.19 with the gost engine 3.0.1: CFB built from single
// `magma-cbc` blocks with a zero IV (the engine has no Magma-CFB), the MAC from
// `openssl dgst -engine gost -mac magma-mac -macopt hexkey:00..00` over
// sequence || epoch || ciphertext; cross-checked with `openssl mac -provider gostprov`.
TEST(SimForgedRecord, MatchesAnIndependentMagmaUnderTheZeroKey)
{
    struct Case {
        const char *name;
        LinkFrameType type;
        uint64_t sequence;
        std::vector<uint8_t> plaintext;
        const char *header;  // sequence and epoch as on the wire
        const char *ciphertext;
        const char *mac;
    } cases[] = {
        {"finished, three whole blocks", LinkFrameType::Finished, 1,
         bytesOf("authentication finished", true), "000000000000000100000000",
         "b3ff7a9cfce1bbe7f47c51957b31b9a9ea106c9e2a7c3bd9", "3706778a012aebde"},
        {"heartbeat F1, a five-byte tail", LinkFrameType::Data, 2,
         fromHex("fd090000000101000000000000000203510403e71e"), "000000000000000200000000",
         "2f830ef4998ece8e7ee2d50da6b4642f5f1bea2d54", "f9236f12ec6dabde"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        LinkFrame frame;
        std::memset(&frame, 0x5A, sizeof frame);
        sealUnderZeroKeys(c.type, c.sequence, 0, c.plaintext.data(),
                          static_cast<uint16_t>(c.plaintext.size()), frame);
        EXPECT_EQ(frame.startMarker, 0xFC);
        EXPECT_EQ(frame.endMarker, 0xED);
        EXPECT_EQ(frame.type, static_cast<uint8_t>(c.type));
        EXPECT_EQ(frame.length, c.plaintext.size());
        EXPECT_EQ(toHex(frame.sequence, 8) + toHex(frame.epoch, 4), c.header);
        EXPECT_EQ(toHex(frame.payload, frame.length), c.ciphertext);
        EXPECT_EQ(toHex(frame.mac, 8), c.mac);
    }
}
