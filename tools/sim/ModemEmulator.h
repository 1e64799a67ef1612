// The aircraft-side view of the ground station's radio modem on the link's byte stream:
// recognises the escape to command mode and the AT commands that set the network identifier,
// store it and restart the modem. Each command is expected with a zero byte after its CR LF.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

enum class ModemCommand { Escape, SetNetworkId, Store, Restart, Unknown };

struct ModemEvent {
    ModemCommand command = ModemCommand::Unknown;
    int networkId = -1;  // SetNetworkId only
    std::string text;    // the command line without CR LF (Escape: "+++")
};

class ModemEmulator {
public:
    // One byte of the stream. True when it completed a command; event then describes it.
    bool feed(uint8_t byte, ModemEvent &event);

    bool inCommandMode() const { return commandMode_; }

    // Commands whose CR LF was not followed by a zero byte.
    int unterminated() const { return unterminated_ + (expectZero_ ? 1 : 0); }
    // True while every command so far came in the order escape, ATS3, AT&W, ATZ (repeatable),
    // each zero-terminated and with a valid identifier.
    bool sequenceOk() const { return sequenceOk_ && unterminated() == 0; }
    bool anyCommand() const { return any_; }

private:
    bool finishLine(ModemEvent &event);
    void track(ModemCommand command);

    static constexpr size_t kMaxLine = 64;

    bool commandMode_ = false;
    int plusRun_ = 0;           // '+' bytes in a row in data mode
    std::string line_;
    bool overflow_ = false;
    bool sawCr_ = false;
    bool expectZero_ = false;   // CR LF just ended a command
    int unterminated_ = 0;
    bool sequenceOk_ = true;
    bool any_ = false;
    ModemCommand expected_ = ModemCommand::Escape;
};
