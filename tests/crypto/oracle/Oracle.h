// An independent implementation to check ours against: OpenSSL 3 with the gost provider. Used
// only by the differential tests. Everything is in memory byte order. Modes the provider does
// not offer as such (CFB with any register, CMAC over a block cipher, P_hash over a MAC) are built by hand here over its
// single-block cipher or MAC.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace oracle {

using Bytes = std::vector<uint8_t>;
// Enciphers whole 8-byte blocks one at a time under a key fixed by the closure.
using BlockCipher = std::function<Bytes(const Bytes &blocks)>;
using Mac = std::function<Bytes(const Bytes &message)>;

// Loads the providers; false with a reason when unavailable.
bool opensslReady(std::string *why);

// OpenSSL 3 + gostprov. Magma ECB comes from magma-cbc with a zero IV, block by block (the
// packaged provider has no magma-ecb).
Bytes opensslMagmaEcb(const Bytes &key, const Bytes &blocks, bool decrypt);
Bytes opensslMagmaMac(const Bytes &key, const Bytes &message);  // the provider's own OMAC, 8 bytes
Bytes opensslStreebog512(const Bytes &message);
// OpenSSL's TLS1-PRF over the provider's hash: P_hash(secret, seed), length > 0.
Bytes opensslTlsPrf(const Bytes &secret, const Bytes &seed, size_t length);

// Built by hand from the standard's definitions over the provider's block cipher or MAC.
Bytes cfbOver(const BlockCipher &encrypt, const Bytes &iv, size_t segment, const Bytes &data, bool decrypt);
Bytes cmacOver(const BlockCipher &encrypt, const Bytes &message);
Bytes pHashOver(const Mac &hmac, const Bytes &seed, size_t length);

} // namespace oracle
