#include "tools/sim/SimCounters.h"

namespace {

// Absent values print as "none" so that a test can tell "never happened" from 0.
std::string orNone(long long value)
{
    return value < 0 ? std::string("none") : std::to_string(value);
}

std::string gap(long long from, long long to)
{
    return (from < 0 || to < 0) ? std::string("none") : std::to_string(to - from);
}

} // namespace

void printSummary(std::ostream &out, const SimCounters &c)
{
    const char *at = !c.atAny ? "none" : c.atSequenceOk ? "ok" : "bad";
    const bool match = c.netIdWritten >= 0 && c.netIdWritten == c.netIdDerived;
    out << "handshake=" << (c.handshakeOk ? "ok" : c.forgedSent > 0 ? "forged" : "pending") << '\n'
        << "handshakes=" << c.handshakes << '\n'
        << "hellos_sent=" << c.hellosSent << '\n'
        << "ground_hellos_accepted=" << c.groundHellosAccepted << '\n'
        << "ground_hellos_rejected=" << c.groundHellosRejected << '\n'
        << "finished_sent=" << c.finishedSent << '\n'
        << "ground_finished_accepted=" << c.groundFinishedAccepted << '\n'
        << "ground_finished_rejected=" << c.groundFinishedRejected << '\n'
        << "net_id_derived=" << orNone(c.netIdDerived) << '\n'
        << "net_id_written=" << orNone(c.netIdWritten) << '\n'
        << "net_id_match=" << (match ? 1 : 0) << '\n'
        << "at_commands=" << c.atCommands << '\n'
        << "at_escapes=" << c.atEscapes << '\n'
        << "at_unknown=" << c.atUnknown << '\n'
        << "at_unterminated=" << c.atUnterminated << '\n'
        << "at_sequence=" << at << '\n'
        << "frames_rx=" << c.framesReceived << '\n'
        << "records_ok=" << c.recordsOk << '\n'
        << "records_rejected=" << c.recordsRejected << '\n'
        << "rejected_replay=" << c.rejectedReplay << '\n'
        << "rejected_mac=" << c.rejectedMac << '\n'
        << "rejected_other=" << c.rejectedOther << '\n'
        << "mavlink_rx=" << c.mavlinkRx << '\n'
        << "mavlink_unparsed=" << c.mavlinkUnparsed << '\n'
        << "mavlink_tx=" << c.mavlinkTx << '\n'
        << "heartbeats_sent=" << c.heartbeatsSent << '\n'
        << "echoes_sent=" << c.echoesSent << '\n'
        << "replays_sent=" << c.replaysSent << '\n'
        << "replayed_mavlink_seq=" << orNone(c.replayedMavlinkSeq) << '\n'
        << "tampered_sent=" << c.tamperedSent << '\n'
        << "tampered_mavlink_seq=" << orNone(c.tamperedMavlinkSeq) << '\n'
        << "forged_sent=" << c.forgedSent << '\n'
        << "ground_finished_after_forge=" << c.groundFinishedAfterForge << '\n'
        << "bytes_rx=" << c.bytesRx << '\n'
        << "bytes_tx=" << c.bytesTx << '\n'
        << "write_failures=" << c.writeFailures << '\n'
        << "hangup=" << (c.hangup ? 1 : 0) << '\n'
        << "first_hello_answered_ms=" << orNone(c.firstHelloAnsweredMs) << '\n'
        << "handshake_ms=" << orNone(c.handshakeMs) << '\n'
        << "quiet_before_escape_ms=" << gap(c.handshakeMs, c.escapeMs) << '\n'
        << "escape_to_ats3_ms=" << gap(c.escapeMs, c.setNetIdMs) << '\n'
        << "ats3_to_atw_ms=" << gap(c.setNetIdMs, c.storeMs) << '\n'
        << "atw_to_atz_ms=" << gap(c.storeMs, c.restartMs) << '\n'
        << "relay_start_ms=" << orNone(c.relayStartMs) << '\n'
        << "run_ms=" << c.runMs << '\n';
    out.flush();
}
