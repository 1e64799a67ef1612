// The ground-control direction on arbitrary bytes, in two passes split where the first byte
// says. Every emission must be exactly one Data frame, numbered one after the other, that the
// aircraft opens to exactly one MAVLink frame.
#include "HandlerFuzzLink.h"

#include "crypto/RecordLayer.h"
#include "messaging/LinkFrameParser.h"
#include "messaging/PlainMessageHandler.h"

using namespace fuzzlink;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    establish();
    PlainMessageHandler handler;
    Driven driven(handler);
    const QByteArray input = QByteArray::fromRawData(reinterpret_cast<const char *>(data + 1), int(size - 1));
    const int split = int(data[0] * input.size() / 256);
    driven.pass(input.left(split));
    driven.pass(input.mid(split));

    uint64_t expectedSequence = 0;
    for (const QByteArray &wire : driven.emitted) {
        LinkFrameParser parser;
        LinkFrame frame;
        int frames = 0;
        for (int i = 0; i < wire.size(); ++i)
            frames += parser.parseByte(uint8_t(wire[i]), frame) ? 1 : 0;
        check(frames == 1 && wire.size() == frame.length + kLinkFrameOverhead);
        check(frame.type == uint8_t(LinkFrameType::Data) && frame.sequence[7] == uint8_t(++expectedSequence));
        uint8_t plain[kLinkFrameMaxPayload];
        uint16_t length = 0;
        check(unprotectFrame(aircraft(), frame, plain, &length));
        check(oneMavlinkFrame(plain, length, 1));
    }
    return 0;
}
