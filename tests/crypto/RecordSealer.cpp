#include "RecordSealer.h"

#include <cstring>

#include "crypto/Cfb.h"
#include "crypto/Cmac.h"
#include "crypto/Magma.h"

namespace {

Bytes macWith(const MagmaContext &magma, const Bytes &msg)
{
    CmacContext c;
    cmacInit(&c, &kMagmaDescriptor, &magma, 8);
    cmacUpdate(&c, msg.data(), msg.size());
    Bytes out(8);
    cmacFinal(&c, out.data());
    return out;
}

Bytes big(uint64_t v, int bytes)
{
    Bytes out(bytes);
    for (int i = bytes - 1; i >= 0; --i, v >>= 8)
        out[i] = uint8_t(v);
    return out;
}

} // namespace

Bytes keyBlockFor(const uint8_t secret[32], uint32_t epoch)
{
    MagmaContext magma;
    magmaSetKey(&magma, secret);
    const char label[] = "key block derivation";
    const Bytes labelSeed = concat(Bytes(label, label + sizeof label), big(epoch, 4));
    Bytes a = macWith(magma, labelSeed), out;
    while (out.size() < 64) {
        const Bytes t = macWith(magma, concat(a, labelSeed));
        out.insert(out.end(), t.begin(), t.end());
        a = macWith(magma, a);
    }
    return out;
}

SealedRecord sealRecord(const Bytes &keyBlock, uint64_t sequence, uint32_t epoch, const Bytes &plaintext)
{
    SealedRecord r;
    std::memcpy(r.sequence, big(sequence, 8).data(), 8);
    std::memcpy(r.epoch, big(epoch, 4).data(), 4);
    MagmaContext cipher, macCipher;
    magmaSetKey(&cipher, keyBlock.data());
    magmaSetKey(&macCipher, keyBlock.data() + 32);
    const uint8_t iv[8] = {0x5E, 0x27, 0xC4, 0x91, 0x0B, 0xD8, 0x73, 0xA6};
    CfbContext cfb;
    cfbInit(&cfb, &kMagmaDescriptor, &cipher, iv, 8, 8);
    r.ciphertext.resize(plaintext.size());
    cfbEncrypt(&cfb, plaintext.data(), r.ciphertext.data(), plaintext.size());
    Bytes input(r.sequence, r.sequence + 8);
    input.insert(input.end(), r.epoch, r.epoch + 4);
    input.insert(input.end(), r.ciphertext.begin(), r.ciphertext.end());
    std::memcpy(r.mac, macWith(macCipher, input).data(), 8);
    return r;
}
