#include "crypto/KeyDerivation.h"

#include <cstring>

#include "auth/LinkSecurityState.h"
#include "crypto/Cmac.h"
#include "crypto/Hmac.h"
#include "crypto/Streebog.h"
#include "crypto/Wipe.h"

namespace {

constexpr size_t kPrfBlock = kStreebog512DigestLength;

struct KeyedHmac {
    StreebogContext inner;
    StreebogContext outer;
    HmacContext hmac;
};

// Everything hmacPrf computes from the key lives here, so one wipe clears all of it.
struct HmacPrfScratch {
    KeyedHmac keyed;    // after the key pads: every HMAC of the call starts from a copy
    KeyedHmac working;
    KeyedHmac side;     // working after A(i) alone, finished later into A(i+1)
    uint8_t a[kPrfBlock];
    uint8_t block[kPrfBlock];
};

HmacPrfScratch prfScratch;

// cmacPrf's two work values.
uint8_t chainValue[8];
uint8_t outputBlock[8];

struct Piece {
    const uint8_t *data;
    size_t length;
};

void copyKeyed(KeyedHmac &to, const KeyedHmac &from)
{
    std::memcpy(&to, &from, sizeof to);
    to.hmac.inner = &to.inner;
    to.hmac.outer = &to.outer;
}

int absorbPieces(KeyedHmac &state, const Piece *pieces)
{
    for (int i = 0; i < 5; ++i) {
        if (pieces[i].data == nullptr)
            continue;
        const int rc = hmacUpdate(&state.hmac, pieces[i].data, pieces[i].length);
        if (rc != 0)
            return rc;
    }
    return 0;
}

int restartWith(HmacPrfScratch &s, const uint8_t *a)
{
    copyKeyed(s.working, s.keyed);
    return hmacUpdate(&s.working.hmac, a, kPrfBlock);
}

int runHmacPrf(const uint8_t *key, size_t keyLength, const Piece *pieces, uint8_t *output, size_t outputLength)
{
    HmacPrfScratch &s = prfScratch;
    if ((key == nullptr && keyLength != 0) || (output == nullptr && outputLength != 0))
        return -1;
    if (kStreebog512Descriptor.init(&s.keyed.inner) != 0 || kStreebog512Descriptor.init(&s.keyed.outer) != 0)
        return -1;
    if (hmacInit(&s.keyed.hmac, &kStreebog512Descriptor, &s.keyed.inner, &s.keyed.outer, key, keyLength,
                 kPrfBlock) != 0)
        return -1;

    copyKeyed(s.working, s.keyed);
    if (absorbPieces(s.working, pieces) != 0 || hmacFinal(&s.working.hmac, s.a) != 0)
        return -1;  // A(1)
    if (restartWith(s, s.a) != 0)
        return -1;
    size_t wanted = outputLength;
    for (;;) {
        if (wanted > kPrfBlock)
            copyKeyed(s.side, s.working);
        if (absorbPieces(s.working, pieces) != 0)
            return -1;
        if (wanted <= kPrfBlock)
            break;
        if (hmacFinal(&s.working.hmac, output) != 0)
            return -1;
        output += kPrfBlock;
        wanted -= kPrfBlock;
        if (hmacFinal(&s.side.hmac, s.a) != 0 || restartWith(s, s.a) != 0)
            return -1;
    }
    if (hmacFinal(&s.working.hmac, s.block) != 0)
        return -1;
    if (wanted != 0)
        std::memcpy(output, s.block, wanted);
    return 0;
}

int macOf(CmacContext &mac, const uint8_t *first, size_t firstLength, const uint8_t *label, size_t labelLength,
          const uint8_t *seed, size_t seedLength, uint8_t *out)
{
    int rc = cmacReset(&mac);
    if (rc == 0 && first != nullptr)
        rc = cmacUpdate(&mac, first, firstLength);
    if (rc == 0 && label != nullptr)
        rc = cmacUpdate(&mac, label, labelLength);
    if (rc == 0 && seed != nullptr)
        rc = cmacUpdate(&mac, seed, seedLength);
    if (rc == 0)
        rc = cmacFinal(&mac, out);
    return rc;
}

} // namespace

int hmacPrf(const uint8_t *key, size_t keyLength,
            const uint8_t *piece1, size_t length1, const uint8_t *piece2, size_t length2,
            const uint8_t *piece3, size_t length3, const uint8_t *piece4, size_t length4,
            const uint8_t *piece5, size_t length5, uint8_t *output, size_t outputLength)
{
    const Piece pieces[5] = {{piece1, length1}, {piece2, length2}, {piece3, length3}, {piece4, length4},
                             {piece5, length5}};
    secureWipe(&prfScratch, sizeof prfScratch);
    const int rc = runHmacPrf(key, keyLength, pieces, output, outputLength);
    secureWipe(&prfScratch, sizeof prfScratch);
    return rc;
}

int cmacPrf(LinkSecurityState &state, const uint8_t *label, size_t labelLength,
            const uint8_t *seed, size_t seedLength, uint8_t *output, size_t outputLength)
{
    CmacContext &mac = state.derivationMac;
    if (!mac.valid)
        return -9;
    if ((output == nullptr && outputLength != 0) || (label == nullptr && labelLength != 0)
        || (seed == nullptr && seedLength != 0))
        return -22;
    if (mac.outputLength != sizeof outputBlock)
        return -22;
    int rc = macOf(mac, nullptr, 0, label, labelLength, seed, seedLength, chainValue);
    if (rc == 0)
        rc = macOf(mac, chainValue, sizeof chainValue, label, labelLength, seed, seedLength, outputBlock);
    size_t wanted = outputLength;
    while (rc == 0 && wanted > sizeof outputBlock) {
        std::memcpy(output, outputBlock, sizeof outputBlock);
        output += sizeof outputBlock;
        wanted -= sizeof outputBlock;
        rc = macOf(mac, chainValue, sizeof chainValue, nullptr, 0, nullptr, 0, chainValue);
        if (rc == 0)
            rc = macOf(mac, chainValue, sizeof chainValue, label, labelLength, seed, seedLength, outputBlock);
    }
    if (rc == 0 && wanted != 0)
        std::memcpy(output, outputBlock, wanted);
    secureWipe(chainValue, sizeof chainValue);
    secureWipe(outputBlock, sizeof outputBlock);
    return rc;
}

const uint8_t *hmacPrfScratchForTest(size_t *size)
{
    if (size != nullptr)
        *size = sizeof prfScratch;
    return reinterpret_cast<const uint8_t *>(&prfScratch);
}
