#include "tools/sim/ModemEmulator.h"

namespace {

// Decimal 0..255 without sign or spaces; anything else is no identifier.
int parseNetworkId(const std::string &digits)
{
    if (digits.empty() || digits.size() > 3)
        return -1;
    int value = 0;
    for (char c : digits) {
        if (c < '0' || c > '9')
            return -1;
        value = value * 10 + (c - '0');
    }
    return value <= 255 ? value : -1;
}

} // namespace

void ModemEmulator::track(ModemCommand command)
{
    any_ = true;
    if (command != expected_) {
        sequenceOk_ = false;
        return;
    }
    switch (command) {
    case ModemCommand::Escape:
        expected_ = ModemCommand::SetNetworkId;
        break;
    case ModemCommand::SetNetworkId:
        expected_ = ModemCommand::Store;
        break;
    case ModemCommand::Store:
        expected_ = ModemCommand::Restart;
        break;
    case ModemCommand::Restart:
    case ModemCommand::Unknown:
        expected_ = ModemCommand::Escape;
        break;
    }
}

bool ModemEmulator::finishLine(ModemEvent &event)
{
    event = ModemEvent();
    event.text = line_;
    if (overflow_) {
        event.command = ModemCommand::Unknown;
    } else if (line_ == "AT&W") {
        event.command = ModemCommand::Store;
    } else if (line_ == "ATZ") {
        event.command = ModemCommand::Restart;
        commandMode_ = false;
    } else if (line_.rfind("ATS3=", 0) == 0 && parseNetworkId(line_.substr(5)) >= 0) {
        event.command = ModemCommand::SetNetworkId;
        event.networkId = parseNetworkId(line_.substr(5));
    } else {
        event.command = ModemCommand::Unknown;
    }
    track(event.command);
    line_.clear();
    overflow_ = false;
    expectZero_ = true;
    return true;
}

bool ModemEmulator::feed(uint8_t byte, ModemEvent &event)
{
    if (expectZero_) {
        expectZero_ = false;
        if (byte == 0)
            return false;
        ++unterminated_;
    }

    if (!commandMode_) {
        // A modem only leaves data mode on the escape; everything else is payload for the
        // other end (the link frames that carry the handshake and the records).
        plusRun_ = byte == '+' ? plusRun_ + 1 : 0;
        if (plusRun_ < 3)
            return false;
        plusRun_ = 0;
        commandMode_ = true;
        line_.clear();
        overflow_ = false;
        sawCr_ = false;
        event = ModemEvent();
        event.command = ModemCommand::Escape;
        event.text = "+++";
        track(ModemCommand::Escape);
        return true;
    }

    if (sawCr_) {
        sawCr_ = false;
        if (byte == '\n')
            return finishLine(event);
        line_ += '\r';
    }
    if (byte == '\r') {
        sawCr_ = true;
        return false;
    }
    // Stray zero bytes between commands are padding, not part of a command.
    if (byte == 0 && line_.empty())
        return false;
    if (line_.size() >= kMaxLine) {
        overflow_ = true;
        return false;
    }
    line_ += static_cast<char>(byte);
    // A repeated escape while already in command mode is acknowledged again.
    if (line_ == "+++") {
        line_.clear();
        event = ModemEvent();
        event.command = ModemCommand::Escape;
        event.text = "+++";
        track(ModemCommand::Escape);
        return true;
    }
    return false;
}
