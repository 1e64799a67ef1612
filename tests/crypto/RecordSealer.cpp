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

} // namespace

Bytes macChain(const uint8_t secret[32], const Bytes &labelSeed, size_t length)
{
    MagmaContext magma;
    magmaSetKey(&magma, secret);
    Bytes a = macWith(magma, labelSeed), out;
    for (; out.size() < length; a = macWith(magma, a)) {
        const Bytes t = macWith(magma, concat({a, labelSeed}));
        out.insert(out.end(), t.begin(), t.end());
    }
    out.resize(length);
    return out;
}

Bytes keyBlockFor(const uint8_t secret[32], uint32_t epoch)
{
    const char label[] = "key block derivation";
    return macChain(secret, concat({Bytes(label, label + sizeof label), big(epoch, 4)}), 64);
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
    const Bytes mac = macWith(macCipher, concat({big(sequence, 8), big(epoch, 4), r.ciphertext}));
    std::memcpy(r.mac, mac.data(), 8);
    return r;
}
