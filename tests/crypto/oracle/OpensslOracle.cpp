#include "Oracle.h"

#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>
#include <openssl/provider.h>

#include <cstdlib>
#include <stdexcept>

namespace oracle {
namespace {

[[noreturn]] void fail(const char *what)
{
    throw std::runtime_error(std::string("openssl: ") + what + ": " + ERR_error_string(ERR_get_error(), nullptr));
}

struct Loaded {
    bool ok = false;
    std::string why;
    EVP_CIPHER *cbc = nullptr;
    EVP_MD *streebog = nullptr;
    EVP_MAC *magmaMac = nullptr;
    EVP_KDF *prf = nullptr;
};

const Loaded &loaded()
{
    static const Loaded l = [] {
        Loaded r;
        if (OSSL_PROVIDER_load(nullptr, "gostprov") == nullptr) {
            r.why = "the gostprov provider does not load (libengine-gost-openssl)";
            return r;
        }
        OSSL_PROVIDER_load(nullptr, "default");
        r.cbc = EVP_CIPHER_fetch(nullptr, "magma-cbc", nullptr);
        r.streebog = EVP_MD_fetch(nullptr, "md_gost12_512", nullptr);
        r.magmaMac = EVP_MAC_fetch(nullptr, "magma-mac", nullptr);
        r.prf = EVP_KDF_fetch(nullptr, "TLS1-PRF", nullptr);
        r.ok = r.cbc && r.streebog && r.magmaMac && r.prf;
        if (!r.ok)
            r.why = "an algorithm of the gost provider cannot be fetched";
        return r;
    }();
    return l;
}

} // namespace

bool opensslReady(std::string *why)
{
    if (!loaded().ok && why)
        *why = loaded().why;
    return loaded().ok;
}

Bytes opensslMagmaEcb(const Bytes &key, const Bytes &blocks, bool decrypt)
{
    Bytes out(blocks.size());
    const uint8_t zero[8] = {};
    for (size_t off = 0; off < blocks.size(); off += 8) {
        // A fresh context per block: the provider's magma-cbc refuses to be initialised twice.
        EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
        int n = 0, tail = 0;
        if (!EVP_CipherInit_ex2(ctx, loaded().cbc, key.data(), zero, decrypt ? 0 : 1, nullptr)
            || !EVP_CIPHER_CTX_set_padding(ctx, 0) || !EVP_CipherUpdate(ctx, out.data() + off, &n, blocks.data() + off, 8)
            || !EVP_CipherFinal_ex(ctx, out.data() + off + n, &tail) || n + tail != 8)
            fail("magma-cbc");
        EVP_CIPHER_CTX_free(ctx);
    }
    return out;
}

Bytes opensslMagmaMac(const Bytes &key, const Bytes &message)
{
    EVP_MAC_CTX *ctx = EVP_MAC_CTX_new(loaded().magmaMac);
    Bytes out(8);
    size_t length = 0;
    if (ctx == nullptr || !EVP_MAC_init(ctx, key.data(), key.size(), nullptr)
        || !EVP_MAC_update(ctx, message.data(), message.size()) || !EVP_MAC_final(ctx, out.data(), &length, 8)
        || length != 8)
        fail("magma-mac");
    EVP_MAC_CTX_free(ctx);
    return out;
}

Bytes opensslStreebog512(const Bytes &message)
{
    Bytes out(64);
    unsigned length = 0;
    if (!EVP_Digest(message.data(), message.size(), out.data(), &length, loaded().streebog, nullptr) || length != 64)
        fail("md_gost12_512");
    return out;
}

Bytes opensslTlsPrf(const Bytes &secret, const Bytes &seed, size_t length)
{
    char digest[] = "md_gost12_512";
    Bytes s = secret, sd = seed;
    const OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, digest, 0),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_SECRET, s.data(), s.size()),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_SEED, sd.data(), sd.size()),
        OSSL_PARAM_construct_end(),
    };
    EVP_KDF_CTX *ctx = EVP_KDF_CTX_new(loaded().prf);
    Bytes out(length);
    if (ctx == nullptr || EVP_KDF_derive(ctx, out.data(), out.size(), params) <= 0)
        fail("TLS1-PRF");
    EVP_KDF_CTX_free(ctx);
    return out;
}

} // namespace oracle
