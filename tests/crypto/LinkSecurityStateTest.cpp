// The process-wide link security state.
#include <atomic>
#include <cstring>
#include <thread>

#include <gtest/gtest.h>

#include "auth/LinkSecurityState.h"
#include "crypto/Cmac.h"
#include "crypto/Magma.h"

namespace {

TEST(LinkSecurityState, InstanceIsOneObjectAcrossThreads)
{
    std::atomic<int> go{0};
    LinkSecurityState *seen[4] = {};
    std::thread threads[4];
    for (int i = 0; i < 4; ++i)
        threads[i] = std::thread([&, i] {
            while (go.load() == 0) {
            }
            seen[i] = &LinkSecurityState::instance();
        });
    go = 1;
    for (auto &t : threads)
        t.join();
    for (auto *p : seen)
        EXPECT_EQ(p, &LinkSecurityState::instance());
}

TEST(LinkSecurityState, FreshObjectIsAllZero)
{
    static const LinkSecurityState fresh{};
    const uint8_t *bytes = reinterpret_cast<const uint8_t *>(&fresh);
    for (size_t i = 0; i < sizeof fresh; ++i)
        ASSERT_EQ(bytes[i], 0) << "byte " << i;
    EXPECT_FALSE(fresh.masterSecretInstalled());
}

// Every install resets all six counters, whatever they had reached, and keys the derivation
// MAC with the new secret.
TEST(LinkSecurityState, InstallResetsCountersAndKeysTheDerivationMac)
{
    LinkSecurityState state{};
    for (int round = 0; round < 2; ++round) {
        state.sendSequence = 77;
        state.receiveSequence = 78;
        state.sendEpoch = 3;
        state.receiveEpoch = 4;
        state.sendEpochBytes = 5;
        state.receiveEpochBytes = 6;
        uint8_t secret[32];
        for (int i = 0; i < 32; ++i)
            secret[i] = uint8_t(i * 7 + round);
        state.installMasterSecret(secret);
        EXPECT_TRUE(state.masterSecretInstalled());
        EXPECT_EQ(state.sendSequence, 0u);
        EXPECT_EQ(state.receiveSequence, 0u);
        EXPECT_EQ(state.sendEpoch, 0u);
        EXPECT_EQ(state.receiveEpoch, 0u);
        EXPECT_EQ(state.sendEpochBytes, 102400u);
        EXPECT_EQ(state.receiveEpochBytes, 102400u);
        EXPECT_EQ(0, std::memcmp(state.masterSecret, secret, 32));

        MagmaContext magma;
        magmaSetKey(&magma, secret);
        CmacContext reference;
        cmacInit(&reference, &kMagmaDescriptor, &magma, 8);
        uint8_t expected[8], actual[8];
        cmacUpdate(&reference, secret, 13);
        cmacFinal(&reference, expected);
        ASSERT_EQ(cmacReset(&state.derivationMac), 0);
        cmacUpdate(&state.derivationMac, secret, 13);
        ASSERT_EQ(cmacFinal(&state.derivationMac, actual), 0);
        EXPECT_EQ(0, std::memcmp(expected, actual, 8)) << "round " << round;
    }
}

} // namespace
