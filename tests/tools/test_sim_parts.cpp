// The simulator's own pieces, without a port: the modem command recogniser, the HEARTBEAT it
// sends, its option parsing and the records it forges under an all-zero key block.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "messaging/mavlink/Mavlink.h"
#include "tools/sim/ForgedRecord.h"
#include "tools/sim/ModemEmulator.h"
#include "tools/sim/SimOptions.h"
#include "tools/sim/VehicleMessages.h"

namespace {

// '|' stands for the zero byte the ground writes after each command.
std::string zeros(std::string text)
{
    for (char &c : text)
        c = c == '|' ? '\0' : c;
    return text;
}

// What the ground writes into its modem for one identifier, pauses left out.
std::string groundCommands(int netId)
{
    return zeros("+++ATS3=" + std::to_string(netId) + "\r\n|AT&W\r\n|ATZ\r\n|");
}

// A hello frame as it lies on the wire, to surround the commands with link traffic ('+' never
// three in a row).
std::string helloOnWire()
{
    std::string out = std::string("\xFC\x01\x60", 3) + std::string(13, '\0');
    for (int i = 0; i < 96; ++i)
        out += i % 2 ? '+' : '\xED';
    return out + std::string(8, '\0') + '\xED';
}

struct ModemRun {
    std::string events;  // "esc s3=N w z ?[text] " in order
    int unterminated;
    bool sequenceOk, commandMode;
};

ModemRun runModem(const std::string &stream)
{
    ModemEmulator modem;
    ModemRun run{};
    ModemEvent e;
    static const char *kNames[] = {"esc", "s3", "w", "z", "?"};
    for (char b : stream) {
        if (!modem.feed(uint8_t(b), e))
            continue;
        run.events += kNames[int(e.command)];
        if (e.command == ModemCommand::SetNetworkId)
            run.events += "=" + std::to_string(e.networkId);
        if (e.command == ModemCommand::Unknown)
            run.events += "[" + e.text + "]";
        run.events += ' ';
    }
    run.unterminated = modem.unterminated();
    run.sequenceOk = modem.sequenceOk();
    run.commandMode = modem.inCommandMode();
    return run;
}

std::vector<uint8_t> bytesOf(const std::string &text)
{
    return {text.begin(), text.end()};
}

std::vector<uint8_t> fromHex(const std::string &hex)
{
    std::vector<uint8_t> out(hex.size() / 2);
    EXPECT_TRUE(parseHex(hex, out.data(), out.size()));
    return out;
}

} // namespace

TEST(SimModem, RecognisesTheGroundSequenceAndFlagsDeviations)
{
    struct Case {
        const char *name;
        std::string stream, events;
        int unterminated;
        bool sequenceOk, commandModeAfter;
    } cases[] = {
        {"id 5", groundCommands(5), "esc s3=5 w z ", 0, true, false},
        {"id 0 is an identifier", groundCommands(0), "esc s3=0 w z ", 0, true, false},
        {"id 255", groundCommands(255), "esc s3=255 w z ", 0, true, false},
        {"between link frames", helloOnWire() + groundCommands(77) + helloOnWire(), "esc s3=77 w z ", 0, true, false},
        {"two configurations in a row", groundCommands(1) + groundCommands(2), "esc s3=1 w z esc s3=2 w z ", 0, true,
         false},
        {"no escape: commands are data", zeros("ATS3=5\r\n|"), "", 0, true, false},
        {"two plus signs are data", zeros("++A+ATS3=5\r\n|"), "", 0, true, false},
        {"zero byte missing after ATS3", zeros("+++ATS3=5\r\nAT&W\r\n|ATZ\r\n|"), "esc s3=5 w z ", 1, false, false},
        {"zero byte missing at the very end", zeros("+++ATS3=9\r\n|AT&W\r\nATZ\r\n"), "esc s3=9 w z ", 2, false, false},
        {"256 is no identifier", zeros("+++ATS3=256\r\n|"), "esc ?[ATS3=256] ", 0, false, true},
        {"empty identifier", zeros("+++ATS3=\r\n|"), "esc ?[ATS3=] ", 0, false, true},
        {"store before the identifier", zeros("+++AT&W\r\n|ATS3=4\r\n|"), "esc w s3=4 ", 0, false, true},
        {"bare CR does not end a command", zeros("+++ATS3=5\rAT&W\r\n|"), "esc ?[ATS3=5\rAT&W] ", 0, false, true},
        {"no restart: still in command mode", zeros("+++ATS3=3\r\n|"), "esc s3=3 ", 0, true, true},
    };
    for (const auto &c : cases) {
        const ModemRun run = runModem(c.stream);
        EXPECT_EQ(run.events, c.events) << c.name;
        EXPECT_EQ(run.unterminated, c.unterminated) << c.name;
        EXPECT_EQ(run.sequenceOk, c.sequenceOk) << c.name;
        EXPECT_EQ(run.commandMode, c.commandModeAfter) << c.name;
    }
}

TEST(SimModem, OverlongCommandIsUnknownAndTheNextOneStillParses)
{
    const ModemRun run = runModem("+++AT" + std::string(200, 'X') + zeros("\r\n|ATS3=8\r\n|"));
    EXPECT_EQ(std::count(run.events.begin(), run.events.end(), ' '), 3) << run.events;
    EXPECT_EQ(run.events.substr(0, 6), "esc ?[");
    EXPECT_EQ(run.events.substr(run.events.size() - 7), "] s3=8 ");
}

// Frame F1 of the project's MAVLink fixtures: HEARTBEAT v2, sys 1 comp 1 seq 0, produced
// byte-identically by node-mavlink 2.3.0 and the MAVLink C library (c_library_v2 925ab39c44).
// Another sequence and ids still carry a checksum the parser accepts.
TEST(SimHeartbeat, MatchesThePublishedFrameAndParses)
{
    uint8_t frame[kHeartbeatFrameLength];
    buildHeartbeat(0, 1, 1, frame);
    EXPECT_EQ(toHex(frame, sizeof frame), "fd090000000101000000000000000203510403e71e");
    buildHeartbeat(200, 42, 7, frame);
    mavlink_message_t message;
    int completed = 0;
    for (uint8_t b : frame)
        completed += mavlink_parse_char(0, b, &message) == MAVLINK_FRAMING_OK;
    ASSERT_EQ(completed, 1);
    EXPECT_EQ(std::to_string(message.seq) + " " + std::to_string(message.sysid) + " " + std::to_string(message.compid)
                  + " " + std::to_string(message.msgid),
              "200 42 7 0");
}

// The premaster: SHA-512 over bytes 41..80 followed by C3 6A 1F 88 E2 4D 97 35, computed with
// OpenSSL 3.0 `openssl dgst -sha512` and Python's hashlib (both agree).
TEST(SimOptions, DefaultsMatchTheSimulatedCard)
{
    SimOptions options;
    std::string message;
    const char *argv[] = {"uav-sim", "--port", "/dev/null"};
    ASSERT_EQ(parseSimOptions(3, const_cast<char **>(argv), options, message), ParseOutcome::Run) << message;
    EXPECT_EQ(toHex(options.groundKey, 1) + toHex(options.groundKey + 63, 1) + toHex(options.aircraftKey, 1)
                  + toHex(options.aircraftKey + 63, 1),
              "01404180");
    EXPECT_EQ(toHex(options.premaster, 64),
              "13b623a61f2f5509f783d85384ce256eeb131816fec8d9c944aa1d82279cdb7d"
              "e7bf2a761dc5f8e9d0054115cd6e00e957898f64601a521e46e34d3a835f6d39");
}

TEST(SimOptions, ParsesValuesAndRefusesBadOnes)
{
    const std::string key64(128, 'a');
    const std::pair<std::vector<std::string>, ParseOutcome> cases[] = {
        {{"--port", "/dev/pts/3", "--baud", "460800", "--echo", "--duration", "2.5"}, ParseOutcome::Run},
        {{"--port=/dev/pts/3", "--hello-length=95", "--replay", "--tamper"}, ParseOutcome::Run},
        {{"--port", "p", "--ground-key", key64, "--aircraft-key", key64, "--premaster", key64}, ParseOutcome::Run},
        {{"--help"}, ParseOutcome::Help},
        {{"--version"}, ParseOutcome::Version},
        {{}, ParseOutcome::Error},                                                // no port
        {{"--port"}, ParseOutcome::Error},                                        // value missing
        {{"--port", "p", "--ground-key", key64.substr(2)}, ParseOutcome::Error},  // 63 bytes
        {{"--port", "p", "--ground-key", key64 + "aa"}, ParseOutcome::Error},     // 65 bytes
        {{"--port", "p", "--premaster", std::string(127, 'a') + "g"}, ParseOutcome::Error},
        {{"--port", "p", "--hello-length", "513"}, ParseOutcome::Error},
        {{"--port", "p", "--hello-ms", "0"}, ParseOutcome::Error},
        {{"--port", "p", "--heartbeat-ms", "5x"}, ParseOutcome::Error},
        {{"--port", "p", "--duration", "-1"}, ParseOutcome::Error},
        {{"--port", "p", "--sysid", "256"}, ParseOutcome::Error},
        {{"--port", "p", "--frobnicate"}, ParseOutcome::Error},
        {{"--port=/dev/pts/9", "--baud", "460800", "--hello-length", "97", "--premaster", key64, "--aircraft-key",
          key64},
         ParseOutcome::Run},
    };
    SimOptions options;
    for (const auto &[args, outcome] : cases) {
        std::vector<char *> argv = {const_cast<char *>("uav-sim")};
        for (const auto &a : args)
            argv.push_back(const_cast<char *>(a.c_str()));
        options = SimOptions();
        std::string message;
        EXPECT_EQ(parseSimOptions(int(argv.size()), argv.data(), options, message), outcome)
            << ::testing::PrintToString(args) << message;
    }
    // The last case: a premaster given explicitly is not replaced by the one derived from the
    // aircraft key.
    EXPECT_EQ(options.port, "/dev/pts/9");
    EXPECT_EQ(options.baud, 460800);
    EXPECT_EQ(options.helloLength, 97);
    EXPECT_EQ(toHex(options.premaster, 64), key64);
}

// Expected values from OpenSSL 3.0.19 with the gost engine 3.0.1: CFB built from single
// `magma-cbc` blocks with a zero IV (the engine has no Magma-CFB), the MAC from
// `openssl dgst -engine gost -mac magma-mac -macopt hexkey:00..00` over
// sequence || epoch || ciphertext; cross-checked with `openssl mac -provider gostprov`.
TEST(SimForgedRecord, MatchesAnIndependentMagmaUnderTheZeroKey)
{
    struct Case {
        LinkFrameType type;
        uint64_t sequence;
        std::vector<uint8_t> plaintext;
        const char *wire;  // sequence, epoch, ciphertext and MAC as on the wire
    } cases[] = {
        // finished: three whole blocks
        {LinkFrameType::Finished, 1, bytesOf(zeros("authentication finished|")),
         "000000000000000100000000" "b3ff7a9cfce1bbe7f47c51957b31b9a9ea106c9e2a7c3bd9" "3706778a012aebde"},
        // heartbeat F1: a five-byte tail
        {LinkFrameType::Data, 2, fromHex("fd090000000101000000000000000203510403e71e"),
         "000000000000000200000000" "2f830ef4998ece8e7ee2d50da6b4642f5f1bea2d54" "f9236f12ec6dabde"},
    };
    for (const auto &c : cases) {
        LinkFrame frame;
        std::memset(&frame, 0x5A, sizeof frame);
        sealUnderZeroKeys(c.type, c.sequence, 0, c.plaintext.data(), uint16_t(c.plaintext.size()), frame);
        EXPECT_EQ(frame.startMarker, 0xFC);
        EXPECT_EQ(frame.endMarker, 0xED);
        EXPECT_EQ(frame.type, uint8_t(c.type));
        EXPECT_EQ(frame.length, c.plaintext.size());
        EXPECT_EQ(toHex(frame.sequence, 8) + toHex(frame.epoch, 4) + toHex(frame.payload, frame.length)
                      + toHex(frame.mac, 8),
                  c.wire);
    }
}
