#include "tools/sim/ForgedRecord.h"

#include <cstring>

#include "crypto/Cfb.h"
#include "crypto/Cmac.h"
#include "crypto/Magma.h"
#include "crypto/RecordLayer.h"

void sealUnderZeroKeys(LinkFrameType type, uint64_t sequence, uint32_t epoch,
                       const uint8_t *plaintext, uint16_t length, LinkFrame &frame)
{
    std::memset(&frame, 0, sizeof frame);
    frame.startMarker = kLinkFrameStartMarker;
    frame.endMarker = kLinkFrameEndMarker;
    frame.type = static_cast<uint8_t>(type);
    frame.length = length;
    for (int i = 0; i < 8; ++i)
        frame.sequence[i] = static_cast<uint8_t>(sequence >> (56 - 8 * i));
    for (int i = 0; i < 4; ++i)
        frame.epoch[i] = static_cast<uint8_t>(epoch >> (24 - 8 * i));

    static const uint8_t kZeroKey[kMagmaKeyLength] = {};
    MagmaContext cipher;
    magmaSetKey(&cipher, kZeroKey);
    CfbContext cfb;
    cfbInit(&cfb, &kMagmaDescriptor, &cipher, kRecordInitialValue, 8, 8);
    cfbEncrypt(&cfb, plaintext, frame.payload, length);

    CmacContext mac;
    cmacInit(&mac, &kMagmaDescriptor, &cipher, 8);
    cmacUpdate(&mac, frame.sequence, sizeof frame.sequence);
    cmacUpdate(&mac, frame.epoch, sizeof frame.epoch);
    cmacUpdate(&mac, frame.payload, length);
    cmacFinal(&mac, frame.mac);
}
