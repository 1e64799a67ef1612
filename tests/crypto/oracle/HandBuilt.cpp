#include "Oracle.h"

#include <algorithm>

namespace oracle {

// GOST R 34.13-2015 5.5: Y = E(MSB_n(R)), C = P xor MSB_s(Y), R = LSB_(m-s)(R) || C; a short
// last piece takes the leading bytes of Y.
Bytes cfbOver(const BlockCipher &encrypt, const Bytes &iv, size_t segment, const Bytes &data, bool decrypt)
{
    Bytes reg = iv, out;
    for (size_t off = 0; off < data.size(); off += segment) {
        const Bytes y = encrypt(Bytes(reg.begin(), reg.begin() + 8));
        const size_t n = std::min(segment, data.size() - off);
        Bytes c;
        for (size_t i = 0; i < n; ++i) {
            out.push_back(uint8_t(data[off + i] ^ y[i]));
            c.push_back(decrypt ? data[off + i] : out.back());
        }
        reg.erase(reg.begin(), reg.begin() + segment);
        reg.insert(reg.end(), c.begin(), c.end());
    }
    return out;
}

// GOST R 34.13-2015 5.6 with n = 64: subkeys from E(0) with the constant 0x1B, padding 80 00..
Bytes cmacOver(const BlockCipher &encrypt, const Bytes &message)
{
    auto shifted = [](const Bytes &v) {
        Bytes o(8);
        for (int i = 0; i < 8; ++i)
            o[i] = uint8_t(v[i] << 1 | (i < 7 ? v[i + 1] >> 7 : 0));
        if (v[0] & 0x80)
            o[7] ^= 0x1B;
        return o;
    };
    const Bytes k1 = shifted(encrypt(Bytes(8, 0)));
    const Bytes k2 = shifted(k1);
    const size_t blocks = message.empty() ? 1 : (message.size() + 7) / 8;
    Bytes state(8, 0);
    for (size_t b = 0; b < blocks; ++b) {
        Bytes block(8, 0);
        const size_t have = std::min<size_t>(8, message.size() - std::min(message.size(), 8 * b));
        for (size_t i = 0; i < have; ++i)
            block[i] = message[8 * b + i];
        if (b + 1 == blocks) {
            if (have < 8)
                block[have] = 0x80;
            const Bytes &k = have == 8 ? k1 : k2;
            for (int i = 0; i < 8; ++i)
                block[i] ^= k[i];
        }
        for (int i = 0; i < 8; ++i)
            block[i] ^= state[i];
        state = encrypt(block);
    }
    return state;
}

// RFC 5246 section 5.
Bytes pHashOver(const Mac &hmac, const Bytes &seed, size_t length)
{
    Bytes a = seed, out;
    while (out.size() < length) {
        a = hmac(a);
        Bytes input = a;
        input.insert(input.end(), seed.begin(), seed.end());
        const Bytes t = hmac(input);
        out.insert(out.end(), t.begin(), t.end());
    }
    out.resize(length);
    return out;
}

} // namespace oracle
