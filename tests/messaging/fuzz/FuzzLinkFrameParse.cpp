// Any byte stream through the LinkFrame parser: nothing may crash, every frame that comes out
// is exactly the bytes it was read from, and a written record parses back to itself.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "messaging/LinkFrame.h"
#include "messaging/LinkFrameParser.h"
#include "tests/messaging/fuzz/FuzzInput.h"

namespace {

// Writes frame, parses it back on its last byte and checks it is written the same again.
void checkParsesBack(const LinkFrame &frame)
{
    uint8_t wire[kLinkFrameMaxSize], again[kLinkFrameMaxSize];
    const uint16_t n = writeLinkFrame(frame, wire);
    check(n == frame.length + kLinkFrameOverhead);
    LinkFrameParser parser;
    LinkFrame parsed;
    for (uint16_t i = 0; i < n; ++i)
        check(parser.parseByte(wire[i], parsed) == (i + 1 == n));
    check(writeLinkFrame(parsed, again) == n && std::memcmp(again, wire, n) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // The input as a stream. Bytes of a dropped frame are parsed again, so a frame may end
    // before the byte that completed it: it must be found among the bytes seen so far.
    LinkFrameParser parser;
    LinkFrame frame;
    const auto checkFrame = [&](size_t seen) {
        check(frame.startMarker == kLinkFrameStartMarker && frame.endMarker == kLinkFrameEndMarker);
        check(frame.type <= static_cast<uint8_t>(LinkFrameType::Finished));
        check(frame.length >= 1 && frame.length <= kLinkFrameMaxPayload);
        uint8_t wire[kLinkFrameMaxSize];
        const uint16_t n = writeLinkFrame(frame, wire);
        check(std::search(data, data + seen, wire, wire + n) != data + seen);
        checkParsesBack(frame);
    };
    for (size_t i = 0; i < size; ++i) {
        if (parser.parseByte(data[i], frame))
            checkFrame(i + 1);
    }
    while (parser.nextHeldFrame(frame))
        checkFrame(size);

    // The input as the fields of a record.
    if (size < 3)
        return 0;
    LinkFrame record;
    std::memset(&record, 0, sizeof(record));
    record.startMarker = kLinkFrameStartMarker;
    record.endMarker = kLinkFrameEndMarker;
    record.type = data[0] % 3;
    record.length = static_cast<uint16_t>(1 + (data[1] | data[2] << 8) % kLinkFrameMaxPayload);
    uint8_t *fields[] = {record.sequence, record.epoch, record.payload, record.mac};
    const size_t sizes[] = {sizeof(record.sequence), sizeof(record.epoch), record.length, sizeof(record.mac)};
    size_t at = 3;
    for (size_t f = 0; f < 4; ++f)
        for (size_t k = 0; k < sizes[f]; ++k)
            fields[f][k] = size > 3 ? data[3 + (at++ - 3) % (size - 3)] : 0;
    checkParsesBack(record);
    return 0;
}
