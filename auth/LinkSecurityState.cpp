#include "auth/LinkSecurityState.h"

#include <cstring>

#include "crypto/RecordLayer.h"
#include "crypto/Wipe.h"

namespace {

// Runs after main returns or exit() is called; the instance itself is never destroyed.
struct WipeAtExit {
    ~WipeAtExit() { LinkSecurityState::instance().wipeKeys(); }
} wipeAtExit;

} // namespace

LinkSecurityState &LinkSecurityState::instance()
{
    static LinkSecurityState state;
    return state;
}

void LinkSecurityState::installMasterSecret(const uint8_t secret[32])
{
    sendEpochBytes = kEpochByteLimit;
    sendSequence = 0;
    receiveSequence = 0;
    sendEpoch = 0;
    receiveEpoch = 0;
    receiveEpochBytes = kEpochByteLimit;
    std::memcpy(masterSecret, secret, sizeof masterSecret);
    magmaSetKey(&masterCipher, masterSecret);
    cmacInit(&derivationMac, &kMagmaDescriptor, &masterCipher, 8);
    discardRecordKeys();
    ++secretSerial;
}

bool LinkSecurityState::masterSecretInstalled() const
{
    return derivationMac.valid;
}

void LinkSecurityState::wipeKeys()
{
    secureWipe(premasterSecret, sizeof premasterSecret);
    secureWipe(masterSecret, sizeof masterSecret);
    secureWipe(&masterCipher, sizeof masterCipher);
    secureWipe(&derivationMac, sizeof derivationMac);
    secureWipe(ownRandom, sizeof ownRandom);
    secureWipe(peerRandom, sizeof peerRandom);
    discardRecordKeys();
    ++secretSerial;
}
