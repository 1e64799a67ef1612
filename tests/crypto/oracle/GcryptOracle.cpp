#include "Oracle.h"

#include <gcrypt.h>

#include <algorithm>
#include <stdexcept>

namespace oracle {
namespace {

// id-tc26-gost-28147-param-Z: without it libgcrypt silently uses a test S-box.
const char kParamZ[] = "1.2.643.7.1.2.5.1.1";

void check(gcry_error_t err, const char *what)
{
    if (err)
        throw std::runtime_error(std::string("gcrypt: ") + what + ": " + gcry_strerror(err));
}

// libgcrypt reads key words and block halves little-endian.
Bytes keyWordsTurned(const Bytes &key)
{
    Bytes k = key;
    for (size_t i = 0; i + 4 <= k.size(); i += 4)
        std::reverse(k.begin() + i, k.begin() + i + 4);
    return k;
}

Bytes blocksTurned(const Bytes &data)
{
    Bytes d = data;
    for (size_t i = 0; i + 8 <= d.size(); i += 8)
        std::reverse(d.begin() + i, d.begin() + i + 8);
    return d;
}

gcry_cipher_hd_t openMagma(const Bytes &key, int mode)
{
    gcry_cipher_hd_t h;
    check(gcry_cipher_open(&h, GCRY_CIPHER_GOST28147, mode, 0), "open");
    check(gcry_cipher_ctl(h, GCRYCTL_SET_SBOX, const_cast<char *>(kParamZ), 0), "sbox");
    const Bytes k = keyWordsTurned(key);
    check(gcry_cipher_setkey(h, k.data(), k.size()), "setkey");
    return h;
}

} // namespace

bool gcryptReady(std::string *why)
{
    static const bool ok = [] {
        if (!gcry_check_version(GCRYPT_VERSION))
            return false;
        gcry_control(GCRYCTL_DISABLE_SECMEM, 0);
        gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
        return true;
    }();
    if (!ok && why)
        *why = "libgcrypt version check failed";
    return ok;
}

Bytes gcryptMagmaEcb(const Bytes &key, const Bytes &blocks, bool decrypt)
{
    gcry_cipher_hd_t h = openMagma(key, GCRY_CIPHER_MODE_ECB);
    Bytes data = blocksTurned(blocks);
    check(decrypt ? gcry_cipher_decrypt(h, data.data(), data.size(), nullptr, 0)
                  : gcry_cipher_encrypt(h, data.data(), data.size(), nullptr, 0),
          "ecb");
    gcry_cipher_close(h);
    return blocksTurned(data);
}

Bytes gcryptMagmaCfbWholeBlocks(const Bytes &key, const Bytes &iv, const Bytes &data, bool decrypt)
{
    gcry_cipher_hd_t h = openMagma(key, GCRY_CIPHER_MODE_CFB);
    const Bytes turnedIv = blocksTurned(iv);
    check(gcry_cipher_setiv(h, turnedIv.data(), turnedIv.size()), "setiv");
    Bytes d = blocksTurned(data);
    check(decrypt ? gcry_cipher_decrypt(h, d.data(), d.size(), nullptr, 0)
                  : gcry_cipher_encrypt(h, d.data(), d.size(), nullptr, 0),
          "cfb");
    gcry_cipher_close(h);
    return blocksTurned(d);
}

Bytes gcryptStreebog512(const Bytes &message)
{
    Bytes out(64);
    gcry_md_hash_buffer(GCRY_MD_STRIBOG512, out.data(), message.data(), message.size());
    return out;
}

Bytes gcryptHmacStreebog512(const Bytes &key, const Bytes &message)
{
    gcry_mac_hd_t h;
    check(gcry_mac_open(&h, GCRY_MAC_HMAC_STRIBOG512, 0, nullptr), "mac open");
    static const uint8_t kEmpty[1] = {0};
    check(gcry_mac_setkey(h, key.empty() ? kEmpty : key.data(), key.size()), "mac setkey");
    check(gcry_mac_write(h, message.data(), message.size()), "mac write");
    Bytes out(64);
    size_t length = out.size();
    check(gcry_mac_read(h, out.data(), &length), "mac read");
    gcry_mac_close(h);
    return out;
}

} // namespace oracle
