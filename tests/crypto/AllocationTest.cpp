// Nothing is allocated per record: every global operator new and malloc of this binary is
// counted while thousands of records go through protect and unprotect (across epoch changes)
// and keys are derived.
#include <atomic>
#include <cstdlib>
#include <new>

#include <gtest/gtest.h>

#include "auth/LinkSecurityState.h"
#include "crypto/KeyDerivation.h"
#include "crypto/RecordLayer.h"

extern "C" void *__libc_malloc(size_t);
extern "C" void *__libc_calloc(size_t, size_t);
extern "C" void *__libc_realloc(void *, size_t);

namespace {
std::atomic<long> allocations{0};
}

extern "C" void *malloc(size_t size)
{
    ++allocations;
    return __libc_malloc(size);
}

extern "C" void *calloc(size_t count, size_t size)
{
    ++allocations;
    return __libc_calloc(count, size);
}

extern "C" void *realloc(void *pointer, size_t size)
{
    ++allocations;
    return __libc_realloc(pointer, size);
}

void *operator new(size_t size)
{
    ++allocations;
    if (void *p = __libc_malloc(size ? size : 1))
        return p;
    throw std::bad_alloc();
}

void *operator new[](size_t size) { return operator new(size); }
void operator delete(void *p) noexcept { std::free(p); }
void operator delete[](void *p) noexcept { std::free(p); }
void operator delete(void *p, size_t) noexcept { std::free(p); }
void operator delete[](void *p, size_t) noexcept { std::free(p); }

namespace {

TEST(Allocation, NoneForRecordsOrKeyDerivation)
{
    LinkSecurityState &state = LinkSecurityState::instance();
    static LinkSecurityState peer;  // opens the Data records: the sender refuses its own
    uint8_t secret[32] = {7, 1, 2, 3}, plaintext[512], out[512], master[32], netId[1];
    for (size_t i = 0; i < sizeof plaintext; ++i)
        plaintext[i] = uint8_t(i);
    LinkFrame frame{};
    const long probe = allocations.load();
    int *volatile p = new int(3);  // volatile: the pair may not be elided
    delete p;
    ASSERT_EQ(allocations.load() - probe, 1) << "the counter misses allocations";

    const long before = allocations.load();
    state.installMasterSecret(secret);
    peer.installMasterSecret(secret);
    int accepted = 0;
    for (int i = 0; i < 4000; ++i) {
        const uint16_t length = uint16_t(i % 2 ? 32 : 280 + i % 200);
        uint16_t back = 0;
        accepted += protectFrame(state, plaintext, length, frame) && unprotectFrame(peer, frame, out, &back)
                    && back == length;
    }
    const int prf = hmacPrf(secret, 32, plaintext, 13, plaintext, 32, plaintext, 32, nullptr, 0, nullptr, 0, master, 32);
    const int derive = cmacPrf(state, plaintext, 11, plaintext, 4, netId, 1);
    const long during = allocations.load() - before;

    EXPECT_EQ(accepted, 4000);
    EXPECT_GT(state.sendEpoch, 3u) << "the run should cross several epoch changes";
    EXPECT_EQ(prf, 0);
    EXPECT_EQ(derive, 0);
    EXPECT_EQ(during, 0);
}

} // namespace
