// Tables of operations through which a mode, MAC, HMAC or hash is bound to a cipher or hash
// at run time. Every context is a plain record owned by its user; the descriptors are
// constant and shared. Operations return 0, -9 (context not ready) or -22 (invalid argument).
#pragma once

#include <cstddef>
#include <cstdint>

constexpr int kCryptoOk = 0;
constexpr int kCryptoNotReady = -9;
constexpr int kCryptoInvalidArgument = -22;

struct CipherDescriptor {
    // One block each; block operations cannot fail.
    void (*encrypt)(const void *context, const uint8_t *input, uint8_t *output);
    void (*decrypt)(const void *context, const uint8_t *input, uint8_t *output);
    // Loads the key alone (the cipher's own set-up function also clears the context).
    void (*setKey)(void *context, const uint8_t *key);
    size_t contextSize;
    size_t keyLength;
    size_t blockLength;
    // Optional (may be null): enciphers count independent blocks, several at a time, so
    // that modes whose cipher inputs are all known in advance hide the round latency.
    void (*encryptBlocks)(const void *context, const uint8_t *input, uint8_t *output, size_t count);
    // Optional (may be null): the two chained modes over count whole blocks with a one-block
    // register (updated in place), kept in registers between blocks. Chaining:
    // out = E(in ^ reg), reg = out. Cipher feedback: out = in ^ E(reg), reg = out.
    void (*chainBlocks)(const void *context, uint8_t *reg, const uint8_t *input, uint8_t *output, size_t count);
    void (*feedbackBlocks)(const void *context, uint8_t *reg, const uint8_t *input, uint8_t *output, size_t count);
};

struct ModeDescriptor {
    int (*reset)(void *context);
    int (*encrypt)(void *context, const uint8_t *input, uint8_t *output, size_t length);
    int (*decrypt)(void *context, const uint8_t *input, uint8_t *output, size_t length);
    size_t contextSize;
};

struct MacDescriptor {
    int (*reset)(void *context);
    int (*update)(void *context, const uint8_t *data, size_t length);
    int (*final)(void *context, uint8_t *output);
    size_t contextSize;
};

struct HashDescriptor {
    int (*init)(void *context);
    int (*update)(void *context, const uint8_t *data, size_t length);
    int (*final)(void *context, uint8_t *output);
    size_t contextSize;
    size_t blockLength;
    size_t digestLength;
};

struct HmacDescriptor {
    int (*reset)(void *context);
    int (*update)(void *context, const uint8_t *data, size_t length);
    int (*final)(void *context, uint8_t *output);
    size_t contextSize;
};

// Largest block of any cipher the modes accept, and largest mode register.
constexpr size_t kMaxCipherBlock = 16;
constexpr size_t kMaxModeRegister = 64;
