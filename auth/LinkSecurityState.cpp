#include "auth/LinkSecurityState.h"

#include <cstring>

#include "crypto/RecordLayer.h"

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
