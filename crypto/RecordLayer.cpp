#include "crypto/RecordLayer.h"

#include <cstring>

#include "auth/LinkSecurityState.h"
#include "crypto/ByteOrder.h"
#include "crypto/Cfb.h"
#include "crypto/Cmac.h"
#include "crypto/KeyDerivation.h"
#include "crypto/Magma.h"
#include "crypto/ReflectionFilter.h"
#include "crypto/Wipe.h"

const uint8_t kRecordInitialValue[8] = {0x5E, 0x27, 0xC4, 0x91, 0x0B, 0xD8, 0x73, 0xA6};

namespace {

// "key block derivation" with its terminating zero byte, which is part of the MAC input.
constexpr uint8_t kKeyBlockLabel[21] = {'k', 'e', 'y', ' ', 'b', 'l', 'o', 'c', 'k', ' ', 'd',
                                        'e', 'r', 'i', 'v', 'a', 't', 'i', 'o', 'n', 0};

struct KeyBlock {
    uint8_t encryptionKey[32];
    uint8_t macKey[32];
};
static_assert(sizeof(KeyBlock) == 64, "a key block is 64 derived bytes");

// One direction's key block and its working contexts, kept for the life of the process. The
// block is used only for the state and epoch it was derived for.
struct Direction {
    KeyBlock keyBlock;
    const LinkSecurityState *owner;
    uint32_t epoch;
    bool valid;
    MagmaContext cipher;
    CfbContext cfb;
    MagmaContext macCipher;
    CmacContext mac;
};

Direction sendSide;
Direction receiveSide;
// The key block of a record's new epoch, until the record is accepted.
KeyBlock candidate;

bool holds(const Direction &side, const LinkSecurityState &state, uint32_t epoch)
{
    return side.valid && side.owner == &state && side.epoch == epoch;
}

int deriveKeyBlock(LinkSecurityState &state, const uint8_t epoch[4], KeyBlock &out)
{
    const int rc = cmacPrf(state, kKeyBlockLabel, sizeof kKeyBlockLabel, epoch, 4,
                           reinterpret_cast<uint8_t *>(&out), sizeof out);
    if (rc != 0)
        secureWipe(&out, sizeof out);
    return rc;
}

void markHeld(Direction &side, const LinkSecurityState &state, uint32_t epoch)
{
    side.owner = &state;
    side.epoch = epoch;
    side.valid = true;
}

// The register restarts from the fixed initial value for every record.
void encipher(Direction &side, const KeyBlock &block, const uint8_t *input, uint8_t *output, uint64_t length,
              bool decrypting)
{
    magmaSetKey(&side.cipher, block.encryptionKey);
    cfbInit(&side.cfb, &kMagmaDescriptor, &side.cipher, kRecordInitialValue, 8, 8);
    const uint64_t whole = length & ~uint64_t(7);
    auto run = decrypting ? cfbDecrypt : cfbEncrypt;
    run(&side.cfb, input, output, whole);
    run(&side.cfb, input + whole, output + whole, length - whole);
}

void authenticate(Direction &side, const KeyBlock &block, const uint8_t sequence[8], const uint8_t epoch[4],
                  const uint8_t *ciphertext, uint64_t length, uint8_t mac[8])
{
    magmaSetKey(&side.macCipher, block.macKey);
    cmacInit(&side.mac, &kMagmaDescriptor, &side.macCipher, 8);
    cmacUpdate(&side.mac, sequence, 8);
    cmacUpdate(&side.mac, epoch, 4);
    cmacUpdate(&side.mac, ciphertext, length);
    cmacFinal(&side.mac, mac);
}

void forget(Direction &side)
{
    secureWipe(&side, sizeof side);
}

} // namespace

int protectRecord(LinkSecurityState &state, const uint8_t *plaintext, uint64_t length, uint8_t *ciphertextOut,
                  uint64_t *lengthOut, uint8_t sequenceOut[8], uint8_t epochOut[4], uint8_t macOut[8])
{
    if (length == 0 || plaintext == nullptr || ciphertextOut == nullptr || lengthOut == nullptr
        || sequenceOut == nullptr || epochOut == nullptr || macOut == nullptr)
        return -22;
    // A record that takes the epoch past the limit opens the next one; exactly the limit stays.
    const bool nextEpoch = length > kEpochByteLimit || state.sendEpochBytes > kEpochByteLimit - length;
    const uint32_t epoch = nextEpoch ? state.sendEpoch + 1 : state.sendEpoch;
    // Epoch 0 has no key block: only a state without a master secret (or a wrapped counter) gets here.
    if (epoch == 0)
        return -9;
    uint8_t epochBytes[4];
    storeBig32(epochBytes, epoch);
    if (nextEpoch || !holds(sendSide, state, epoch)) {
        const int rc = deriveKeyBlock(state, epochBytes, sendSide.keyBlock);
        if (rc != 0) {
            sendSide.valid = false;
            return rc;
        }
        markHeld(sendSide, state, epoch);
    }

    ++state.sendSequence;
    storeBig64(sequenceOut, state.sendSequence);
    std::memcpy(epochOut, epochBytes, 4);
    if (nextEpoch) {
        state.sendEpoch = epoch;
        state.sendEpochBytes = 0;
    }
    encipher(sendSide, sendSide.keyBlock, plaintext, ciphertextOut, length, false);
    authenticate(sendSide, sendSide.keyBlock, sequenceOut, epochOut, ciphertextOut, length, macOut);
    *lengthOut = length;
    state.sendEpochBytes += length;
    return 0;
}

int unprotectRecord(LinkSecurityState &state, const uint8_t *ciphertext, uint64_t length, const uint8_t sequence[8],
                    const uint8_t epoch[4], const uint8_t mac[8], uint8_t *plaintextOut, uint64_t *lengthOut)
{
    if (length == 0)
        return -1;
    if (ciphertext == nullptr || sequence == nullptr || epoch == nullptr || mac == nullptr || plaintextOut == nullptr
        || lengthOut == nullptr)
        return -22;
    const uint64_t s = loadBig64(sequence);
    const uint32_t e = loadBig32(epoch);
    // A sender never goes back in either number under one master secret; accepting a lower
    // sequence in a newer epoch (or the reverse) would let old records of the peer back in.
    if (s <= state.receiveSequence || e < state.receiveEpoch)
        return -2;
    // No sender uses epoch 0 and no key block of epoch 0 comes from the current secret; checking
    // such a record under whatever receiveKeyBlock holds would let anyone forge it.
    if (e == 0)
        return -3;

    const bool current = e == state.receiveEpoch && holds(receiveSide, state, e);
    const KeyBlock *block = &receiveSide.keyBlock;
    if (!current) {
        if (deriveKeyBlock(state, epoch, candidate) != 0)
            return -3;
        block = &candidate;
    }
    uint8_t expected[8];
    authenticate(receiveSide, *block, sequence, epoch, ciphertext, length, expected);
    uint8_t difference = 0;
    for (int i = 0; i < 8; ++i)
        difference |= uint8_t(expected[i] ^ mac[i]);
    // Only a record that verifies can be one of ours coming back; checked before anything moves.
    const int refusal = difference != 0 ? -3 : wasSentHere(state, sequence, epoch, mac) ? -5 : 0;
    if (refusal != 0) {
        if (!current)
            secureWipe(&candidate, sizeof candidate);
        return refusal;
    }

    state.receiveSequence = s;
    if (e != state.receiveEpoch) {
        state.receiveEpochBytes = 0;
        state.receiveEpoch = e;
    }
    if (!current) {
        std::memcpy(&receiveSide.keyBlock, &candidate, sizeof candidate);
        markHeld(receiveSide, state, e);
        secureWipe(&candidate, sizeof candidate);
    }
    if (state.receiveEpochBytes > kEpochByteLimit)
        return -4;
    encipher(receiveSide, receiveSide.keyBlock, ciphertext, plaintextOut, length, true);
    *lengthOut = length;
    state.receiveEpochBytes += length;
    return 0;
}

bool protectFrame(LinkSecurityState &state, const uint8_t *plaintext, uint16_t length, LinkFrame &frame)
{
    if (length > kLinkFrameMaxPayload)
        return false;
    uint64_t written = 0;
    if (protectRecord(state, plaintext, length, frame.payload, &written, frame.sequence, frame.epoch, frame.mac) != 0)
        return false;
    // Finished records stay out: both sides' first Finished are identical byte for byte, so
    // remembering ours would refuse the aircraft's.
    if (frame.type == static_cast<uint8_t>(LinkFrameType::Data))
        rememberSentRecord(state, frame.sequence, frame.epoch, frame.mac);
    frame.length = uint16_t(written);
    return true;
}

bool unprotectFrame(LinkSecurityState &state, const LinkFrame &frame, uint8_t *plaintextOut, uint16_t *lengthOut,
                    int *result)
{
    uint64_t written = 0;
    int rc = -22;
    if (frame.length <= kLinkFrameMaxPayload && lengthOut != nullptr) {
        rc = unprotectRecord(state, frame.payload, frame.length, frame.sequence, frame.epoch, frame.mac,
                             plaintextOut, &written);
    }
    if (result != nullptr)
        *result = rc;
    if (rc != 0)
        return false;
    *lengthOut = uint16_t(written);
    return true;
}

void discardRecordKeys()
{
    forget(sendSide);
    forget(receiveSide);
    secureWipe(&candidate, sizeof candidate);
}
