// The aircraft direction on an arbitrary modem stream, built by a little program: raw bytes,
// records the aircraft seals, copies of them, the ground's own records sent back, damaged
// copies, and a handler pass. Nothing may crash; every emission is exactly one MAVLink frame,
// and there are never more emissions than records the aircraft sealed.
#include "HandlerFuzzLink.h"

#include "crypto/RecordLayer.h"
#include "messaging/EncryptedMessageHandler.h"
#include "messaging/LinkFrameParser.h"
#include "tests/messaging/fuzz/FuzzInput.h"

using namespace fuzzlink;

namespace {

QByteArray sealed(LinkSecurityState &state, FuzzInput &in)
{
    uint8_t plain[kLinkFrameMaxPayload];
    const uint16_t length = uint16_t(1 + in.byte() % 300);
    for (uint16_t i = 0; i < length; ++i)
        plain[i] = in.byte();
    LinkFrame frame{};
    frame.startMarker = kLinkFrameStartMarker;
    frame.endMarker = kLinkFrameEndMarker;
    check(protectFrame(state, plain, length, frame));
    uint8_t wire[kLinkFrameMaxSize];
    return QByteArray(reinterpret_cast<const char *>(wire), writeLinkFrame(frame, wire));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    establish();
    // Records may complete a frame left by an earlier input's last pass; start from a clean parser.
    LinkFrame scratch;
    for (int i = 0; i < kLinkFrameMaxSize; ++i)
        LinkFrameParser::instance().parseByte(0, scratch);
    EncryptedMessageHandler handler;
    Driven driven(handler);
    QList<QByteArray> pieces;
    QByteArray pending;
    int genuine = 0;
    FuzzInput in{data, size};
    while (!in.empty()) {
        const uint8_t op = in.byte();
        switch (op % 6) {
        case 0: {  // raw bytes
            const int count = in.byte() % 64;
            for (int i = 0; i < count; ++i)
                pending += char(in.byte());
            break;
        }
        case 1:  // a record the aircraft seals
            pieces << sealed(aircraft(), in);
            pending += pieces.last();
            ++genuine;
            break;
        case 2:  // an earlier piece again
            if (!pieces.isEmpty())
                pending += pieces.at(in.byte() % pieces.size());
            break;
        case 3:  // one of the ground's own records, sent back
            pieces << sealed(LinkSecurityState::instance(), in);
            pending += pieces.last();
            break;
        case 4:  // the last piece with one byte changed
            if (!pieces.isEmpty()) {
                QByteArray damaged = pieces.last();
                const int at = in.byte() % damaged.size();
                damaged[at] = char(damaged[at] ^ (in.byte() | 1));
                pending += damaged;
            }
            break;
        default:  // the handler runs over what has arrived
            driven.pass(pending);
            pending.clear();
            break;
        }
    }
    driven.pass(pending);

    check(driven.emitted.size() <= genuine);
    for (const QByteArray &frame : driven.emitted)
        check(oneMavlinkFrame(reinterpret_cast<const uint8_t *>(frame.constData()), size_t(frame.size()), 0));
    return 0;
}
