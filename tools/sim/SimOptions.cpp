#include "tools/sim/SimOptions.h"

#include <openssl/evp.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

const uint8_t kPremasterUkm[8] = {0xC3, 0x6A, 0x1F, 0x88, 0xE2, 0x4D, 0x97, 0x35};

namespace {

const char kUsage[] =
    "Usage: uav-sim --port PATH [options]\n"
    "The aircraft end of the protected link and its radio modem, on a serial port.\n"
    "\n"
    "  --port PATH          serial port (required)\n"
    "  --baud B             baud rate (57600)\n"
    "  --duration S         run S seconds, then print the summary (0: until SIGINT/SIGTERM)\n"
    "  --hello-ms MS        repeat the hello every MS until answered (2000)\n"
    "  --heartbeat-ms MS    HEARTBEAT period while relaying (1000)\n"
    "  --rehello-ms MS      hello again after MS without a record from the ground (4000, 0: never)\n"
    "  --relay-after-ms MS  start relaying MS after the handshake if the modem is never set (12000)\n"
    "  --echo               send every MAVLink message received back\n"
    "  --bench              answer the link benchmark's probes and stream requests\n"
    "  --modem-ok           answer OK to the modem escape and commands\n"
    "  --log-rx FILE        write each accepted record's plaintext as a hex line\n"
    "  --log-tx FILE        write each MAVLink frame sent intact as a hex line\n"
    "  --sysid N, --compid N  MAVLink ids of the HEARTBEAT (1, 1)\n"
    "  --ground-key HEX     expected ground public key, 64 bytes (01..40)\n"
    "  --aircraft-key HEX   own public key, 64 bytes (41..80)\n"
    "  --premaster HEX      premaster secret, 64 bytes (SHA-512 of aircraft key and UKM)\n"
    "  --quiet              no progress lines on stderr\n"
    "Misbehaviour:\n"
    "  --wrong-key          hello with another public key\n"
    "  --hello-length N     hello with N payload bytes (0..512)\n"
    "  --replay             send one earlier data record again, verbatim\n"
    "  --tamper             flip a bit in one data record\n"
    "  --second-hello       send another hello after the finished exchange\n"
    "  --forge-epoch0       know only the public keys: finished and data records under an\n"
    "                       all-zero key block with epoch 0\n";

int hexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool parseInt(const std::string &text, long min, long max, long &out)
{
    if (text.empty())
        return false;
    char *end = nullptr;
    errno = 0;
    const long value = std::strtol(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || value < min || value > max)
        return false;
    out = value;
    return true;
}

bool parseSeconds(const std::string &text, double &out)
{
    if (text.empty())
        return false;
    char *end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (*end != '\0' || !(value >= 0) || value > 1e7)
        return false;
    out = value;
    return true;
}

} // namespace

SimOptions::SimOptions()
{
    for (int i = 0; i < 64; ++i) {
        groundKey[i] = static_cast<uint8_t>(0x01 + i);
        aircraftKey[i] = static_cast<uint8_t>(0x41 + i);
    }
    std::memset(premaster, 0, sizeof premaster);
}

bool parseHex(const std::string &text, uint8_t *out, size_t length)
{
    if (text.size() != 2 * length)
        return false;
    for (size_t i = 0; i < text.size(); ++i)
        if (hexDigit(text[i]) < 0)
            return false;
    for (size_t i = 0; i < length; ++i)
        out[i] = static_cast<uint8_t>(hexDigit(text[2 * i]) << 4 | hexDigit(text[2 * i + 1]));
    return true;
}

void defaultPremaster(const uint8_t aircraftKey[64], uint8_t out[64])
{
    uint8_t input[64 + sizeof kPremasterUkm];
    std::memcpy(input, aircraftKey, 64);
    std::memcpy(input + 64, kPremasterUkm, sizeof kPremasterUkm);
    unsigned int outLength = 64;
    EVP_Digest(input, sizeof input, out, &outLength, EVP_sha512(), nullptr);
}

ParseOutcome parseSimOptions(int argc, char **argv, SimOptions &options, std::string &message)
{
    for (int i = 1; i < argc; ++i) {
        std::string name = argv[i];
        std::string value;
        bool hasValue = false;
        const size_t eq = name.find('=');
        if (name.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = name.substr(eq + 1);
            name = name.substr(0, eq);
            hasValue = true;
        }
        auto takeValue = [&]() {
            if (hasValue)
                return true;
            if (i + 1 >= argc)
                return false;
            value = argv[++i];
            return true;
        };
        auto fail = [&](const char *why) {
            message = name + ": " + why;
            return ParseOutcome::Error;
        };
        long number = 0;

        if (name == "--help" || name == "-h") {
            message = kUsage;
            return ParseOutcome::Help;
        }
        if (name == "--version") {
            message = "uav-sim " UAV_VERSION "\n";
            return ParseOutcome::Version;
        }

        if (name == "--echo") {
            options.echo = true;
        } else if (name == "--bench") {
            options.bench = true;
        } else if (name == "--modem-ok") {
            options.modemReplies = true;
        } else if (name == "--quiet") {
            options.quiet = true;
        } else if (name == "--wrong-key") {
            options.wrongKey = true;
        } else if (name == "--replay") {
            options.replay = true;
        } else if (name == "--tamper") {
            options.tamper = true;
        } else if (name == "--second-hello") {
            options.secondHello = true;
        } else if (name == "--forge-epoch0") {
            options.forgeEpoch0 = true;
        } else if (name == "--port" || name == "--log-rx" || name == "--log-tx") {
            if (!takeValue() || value.empty())
                return fail("needs a value");
            (name == "--port" ? options.port : name == "--log-rx" ? options.logRx : options.logTx) = value;
        } else if (name == "--duration") {
            if (!takeValue() || !parseSeconds(value, options.durationSeconds))
                return fail("needs a number of seconds");
        } else if (name == "--baud" || name == "--hello-ms" || name == "--heartbeat-ms"
                   || name == "--rehello-ms" || name == "--relay-after-ms") {
            const long min = (name == "--rehello-ms" || name == "--relay-after-ms") ? 0 : 1;
            if (!takeValue() || !parseInt(value, min, 100000000, number))
                return fail("needs a positive whole number");
            int &target = name == "--baud"           ? options.baud
                          : name == "--hello-ms"     ? options.helloMs
                          : name == "--heartbeat-ms" ? options.heartbeatMs
                          : name == "--rehello-ms"   ? options.rehelloMs
                                                     : options.relayAfterMs;
            target = static_cast<int>(number);
        } else if (name == "--hello-length") {
            if (!takeValue() || !parseInt(value, 0, 512, number))
                return fail("needs a length from 0 to 512");
            options.helloLength = static_cast<int>(number);
        } else if (name == "--sysid" || name == "--compid") {
            if (!takeValue() || !parseInt(value, 0, 255, number))
                return fail("needs a number from 0 to 255");
            (name == "--sysid" ? options.systemId : options.componentId) = static_cast<uint8_t>(number);
        } else if (name == "--ground-key" || name == "--aircraft-key" || name == "--premaster") {
            uint8_t *target = name == "--ground-key"     ? options.groundKey
                              : name == "--aircraft-key" ? options.aircraftKey
                                                         : options.premaster;
            if (!takeValue() || !parseHex(value, target, 64))
                return fail("needs 128 hex digits (64 bytes)");
            if (name == "--premaster")
                options.premasterGiven = true;
        } else {
            message = "unknown option " + name + " (try --help)";
            return ParseOutcome::Error;
        }
    }
    if (options.port.empty()) {
        message = "--port is required (try --help)";
        return ParseOutcome::Error;
    }
    if (!options.premasterGiven)
        defaultPremaster(options.aircraftKey, options.premaster);
    return ParseOutcome::Run;
}
