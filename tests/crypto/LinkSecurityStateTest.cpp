// The process-wide link security state.
#include <cstring>

#include <gtest/gtest.h>

#include "RecordSealer.h"
#include "auth/LinkSecurityState.h"
#include "crypto/Cmac.h"
#include "crypto/Magma.h"

namespace {

// Every install resets all six counters, whatever they had reached, and keys the derivation
// MAC with the new secret.
TEST(LinkSecurityState, InstallResetsCountersAndKeysTheDerivationMac)
{
    LinkSecurityState state{};
    for (uint8_t round = 0; round < 2; ++round) {
        state.sendSequence = 77;
        state.receiveSequence = 78;
        state.sendEpoch = 3;
        state.receiveEpoch = 4;
        state.sendEpochBytes = 5;
        state.receiveEpochBytes = 6;
        Bytes secret(32);
        for (int i = 0; i < 32; ++i)
            secret[i] = uint8_t(i * 7 + round);
        state.installMasterSecret(secret.data());
        EXPECT_TRUE(state.masterSecretInstalled());
        EXPECT_EQ(countersOf(state), "0 0 0 0 102400 102400");
        EXPECT_EQ(toHex(state.masterSecret, 32), toHex(secret));

        MagmaContext magma;
        magmaSetKey(&magma, secret.data());
        CmacContext reference;
        cmacInit(&reference, &kMagmaDescriptor, &magma, 8);
        uint8_t macs[2][8];
        CmacContext *contexts[2] = {&reference, &state.derivationMac};
        for (int k = 0; k < 2; ++k) {
            ASSERT_EQ(cmacReset(contexts[k]), 0);
            cmacUpdate(contexts[k], secret.data(), 13);
            ASSERT_EQ(cmacFinal(contexts[k], macs[k]), 0);
        }
        EXPECT_EQ(toHex(macs[1], 8), toHex(macs[0], 8)) << "round " << int(round);
    }
}

} // namespace
