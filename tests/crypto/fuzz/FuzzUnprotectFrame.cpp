// unprotectFrame on arbitrary frames: it must never crash, and it may accept a frame only when
// the frame is one this harness protected itself under the installed secret (then the plaintext
// must be the one that went in). The input is a little program: protect a payload, deliver a
// protected frame as it is, deliver one with bytes changed, or deliver a frame made of input
// bytes (any length field, including ones past the payload buffer).
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "auth/LinkSecurityState.h"
#include "crypto/RecordLayer.h"
#include "tests/messaging/fuzz/FuzzInput.h"

namespace {

struct Produced {
    LinkFrame frame;
    uint8_t plaintext[kLinkFrameMaxPayload];
    uint16_t length;
};

constexpr int kMaxProduced = 64;
Produced produced[kMaxProduced];

bool sameRecord(const LinkFrame &a, const LinkFrame &b)
{
    return a.length == b.length && std::memcmp(a.sequence, b.sequence, 8) == 0
        && std::memcmp(a.epoch, b.epoch, 4) == 0 && std::memcmp(a.mac, b.mac, 8) == 0
        && std::memcmp(a.payload, b.payload, a.length) == 0;
}

void deliver(LinkSecurityState &state, const LinkFrame &frame, int count)
{
    uint8_t out[kLinkFrameMaxPayload];
    uint16_t length = 0xFFFF;
    if (!unprotectFrame(state, frame, out, &length))
        return;
    for (int i = 0; i < count; ++i) {
        const Produced &p = produced[i];
        if (sameRecord(p.frame, frame)) {
            if (length != p.length || std::memcmp(out, p.plaintext, length) != 0)
                std::abort();  // accepted, but the plaintext is not what was protected
            return;
        }
    }
    std::abort();  // accepted a frame this harness never produced
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const uint8_t kSecret[32] = {0x3c, 0x51, 0x9e, 0x07, 0x44, 0xd2, 0x18, 0xa5, 0x6b, 0x90, 0x2f,
                                        0xe1, 0x73, 0x0c, 0xb8, 0x55, 0x29, 0xf6, 0x81, 0x4a, 0xdd, 0x13,
                                        0x67, 0xbe, 0x02, 0x98, 0x5f, 0xc4, 0x3a, 0x7d, 0xe9, 0x10};
    LinkSecurityState &state = LinkSecurityState::instance();
    state.installMasterSecret(kSecret);
    // The frames come from the other end: a receiver refuses the Data records it made itself.
    static LinkSecurityState peer;
    peer.installMasterSecret(kSecret);
    int count = 0;
    FuzzInput in{data, size};
    while (!in.empty()) {
        const uint8_t op = in.byte();
        switch (op % 4) {
        case 0: {  // protect
            if (count == kMaxProduced)
                break;
            Produced &p = produced[count];
            std::memset(&p, 0, sizeof p);
            p.length = uint16_t(1 + in.word() % kLinkFrameMaxPayload);
            in.fill(p.plaintext, p.length % 64);
            if (!protectFrame(peer, p.plaintext, p.length, p.frame))
                std::abort();  // a non-empty payload under an installed secret is always protected
            ++count;
            break;
        }
        case 1:  // a produced frame as it is
            if (count > 0)
                deliver(state, produced[in.byte() % count].frame, count);
            break;
        case 2: {  // a produced frame with some bytes changed
            if (count == 0)
                break;
            LinkFrame frame = produced[in.byte() % count].frame;
            uint8_t *raw = reinterpret_cast<uint8_t *>(&frame);
            const int changes = 1 + in.byte() % 4;
            for (int i = 0; i < changes; ++i) {
                const uint16_t at = in.word() % sizeof frame;
                raw[at] ^= uint8_t(in.byte() | 1);
            }
            deliver(state, frame, count);
            break;
        }
        default: {  // a frame made of input bytes
            LinkFrame frame{};
            frame.length = in.word();
            in.fill(frame.sequence, 8);
            in.fill(frame.epoch, 4);
            in.fill(frame.mac, 8);
            in.fill(frame.payload, frame.length < kLinkFrameMaxPayload ? frame.length : kLinkFrameMaxPayload);
            deliver(state, frame, count);
            break;
        }
        }
    }
    return 0;
}
