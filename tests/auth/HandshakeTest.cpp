// Ground side of the aircraft handshake, driven frame by frame. The aircraft is played by a
// second security state in the same process, built with the same derivations.
#include <gtest/gtest.h>

#include <cstring>
#include <set>

#include "AircraftPeer.h"
#include "RecordSealer.h"
#include "auth/Handshake.h"
#include "crypto/RecordLayer.h"
#include "oracle/Oracle.h"

namespace {

const uint8_t kZeroKeyBlock[64] = {};

class Handshake : public GroundFixture {
protected:
    // A finished sealed under the all-zero key block, as a peer that knows only the public keys
    // builds it; or as the derivation would hand it out with no master secret installed.
    LinkFrame forgedFinished(uint64_t sequence, uint32_t epoch)
    {
        return forgedFrame(LinkFrameType::Finished, kZeroKeyBlock, sequence, epoch, kFinishedPlaintext,
                           kFinishedPlaintextLength);
    }
};

TEST_F(Handshake, FinishedBeforeAnyMasterSecretIsRefused)
{
    authState = 1;
    LinkFrame reply;
    EXPECT_FALSE(exchange(forgedFinished(1, 1), reply));
    EXPECT_EQ(0, authState);
}

// Nothing is taken from a hello of the wrong length; one with a foreign key leaves its random.
TEST_F(Handshake, HelloOfWrongLengthOrWithForeignKeyIsRejectedWithoutReply)
{
    AircraftPeer aircraft(1);
    LinkFrame reply;
    for (uint16_t length : {95, 97, 1, 512}) {
        authState = 1;
        std::memset(ground.peerRandom, 0, 32);
        EXPECT_FALSE(exchange(aircraft.hello(length), reply)) << length;
        EXPECT_EQ(0, authState) << length;
        EXPECT_EQ(0, ground.peerRandom[1]) << length;
    }
    aircraft.publicKey[63] ^= 0x01;
    authState = 2;
    EXPECT_FALSE(exchange(aircraft.hello(), reply));
    EXPECT_EQ(0, authState);
    EXPECT_EQ(toHex(ground.peerRandom, 32), toHex(aircraft.random, 32));
}

// The hello reply goes out as 121 bytes; after the finished both ends hold the same secret, the
// aircraft opens the ground's finished (sequence 1, epoch 1) and both derive the same id.
TEST_F(Handshake, FullExchangeAgreesOnSecretAndNetworkId)
{
    AircraftPeer aircraft(5);
    LinkFrame groundHello, groundFinished;
    connect(aircraft, groundHello);
    uint8_t wire[kLinkFrameMaxSize];
    ASSERT_EQ(121, writeLinkFrame(groundHello, wire));
    EXPECT_EQ(toHex(wire, 16), "fc016000" + std::string(24, '0'));
    EXPECT_EQ(toHex(wire + 16, 96), toHex(ground.ownRandom, 32) + toHex(ground.ownPublicKey, 64));
    EXPECT_EQ(toHex(wire + 112, 9), std::string(16, '0') + "ed");
    EXPECT_EQ(toHex(aircraft.state.masterSecret, 32), toHex(ground.masterSecret, 32));

    ASSERT_TRUE(exchange(aircraft.finished(), groundFinished));
    EXPECT_EQ(2, authState);
    EXPECT_EQ(uint8_t(LinkFrameType::Finished), groundFinished.type);
    EXPECT_EQ(toHex(groundFinished.sequence, 8) + toHex(groundFinished.epoch, 4), "000000000000000100000001");
    uint8_t plain[kLinkFrameMaxPayload];
    uint16_t length = 0;
    ASSERT_TRUE(unprotectFrame(aircraft.state, groundFinished, plain, &length));
    EXPECT_EQ(toHex(plain, length), toHex(kFinishedPlaintext, kFinishedPlaintextLength));
    EXPECT_EQ(deriveNetworkId(aircraft.state), deriveNetworkId(ground));
}

TEST_F(Handshake, SecondHelloReplacesTheMasterSecret)
{
    AircraftPeer first(11), second(12);
    LinkFrame reply1, reply2, ignored;
    connect(first, reply1);
    connect(second, reply2);
    EXPECT_FALSE(exchange(first.finished(), ignored)) << "stale master secret accepted";
    EXPECT_EQ(0, authState);
    EXPECT_TRUE(exchange(second.finished(), ignored));
    EXPECT_EQ(2, authState);
}

// A replayed finished falls back to 0; a fresh one with a higher sequence number is accepted
// again and answered.
TEST_F(Handshake, ReplayedFinishedFallsBackToZero)
{
    AircraftPeer aircraft(21);
    LinkFrame reply;
    connect(aircraft, reply);
    const LinkFrame finished = aircraft.finished();
    ASSERT_TRUE(exchange(finished, reply));
    EXPECT_FALSE(exchange(finished, reply));
    EXPECT_EQ(0, authState);
    ASSERT_TRUE(exchange(aircraft.finished(), reply));
    EXPECT_EQ(2, authState);
    EXPECT_EQ(2u, readBig(reply.sequence, 8));
}

// Only the first 24 bytes count: other text or fewer bytes are refused, more are fine. A peer
// that knows only the public keys (all-zero key block, epoch 0 or 1) gets nowhere.
TEST_F(Handshake, FinishedWithOtherPlaintextOrForeignKeyIsRejected)
{
    AircraftPeer aircraft(31);
    LinkFrame reply;
    connect(aircraft, reply);
    uint8_t text[40] = {};
    std::memcpy(text, kFinishedPlaintext, kFinishedPlaintextLength);
    text[23] = '!';
    EXPECT_FALSE(exchange(aircraft.record(LinkFrameType::Finished, text, kFinishedPlaintextLength), reply));
    EXPECT_EQ(0, authState);
    EXPECT_FALSE(exchange(aircraft.record(LinkFrameType::Finished, kFinishedPlaintext, 23), reply));
    text[23] = 0;
    EXPECT_TRUE(exchange(aircraft.record(LinkFrameType::Finished, text, sizeof text), reply));
    for (uint32_t epoch : {0u, 1u}) {
        authState = 1;
        EXPECT_FALSE(exchange(forgedFinished(9, epoch), reply)) << epoch;
        EXPECT_EQ(0, authState) << epoch;
    }
}

TEST_F(Handshake, DataFramesChangeNothing)
{
    AircraftPeer aircraft(41);
    LinkFrame reply;
    connect(aircraft, reply);
    const uint8_t mavlink[] = {0xFD, 0x01, 0x00, 0x00, 0x00, 0x01, 0x01, 0x00, 0x00, 0x00, 0x02};
    const uint64_t receiveBefore = ground.receiveSequence;
    EXPECT_FALSE(exchange(aircraft.record(LinkFrameType::Data, mavlink, sizeof mavlink), reply));
    EXPECT_EQ(1, authState);
    EXPECT_EQ(receiveBefore, ground.receiveSequence);
}

// A derivation that skipped or folded any value (0 above all) would shrink the id space.
TEST(NetworkId, EveryByteValueOccursIncludingZero)
{
    LinkSecurityState &state = LinkSecurityState::instance();
    std::set<int> seen;
    uint8_t secret[32] = {};
    for (uint32_t i = 0; i < 20000 && seen.size() < 256; ++i) {
        std::memcpy(secret, &i, sizeof i);
        state.installMasterSecret(secret);
        seen.insert(deriveNetworkId(state));
    }
    EXPECT_EQ(256u, seen.size());
}

// The identifier is the first byte of MAC(MAC(label || seed) || label || seed) under the master
// secret, with the MAC built here over OpenSSL's Magma (gost provider).
TEST(NetworkId, MatchesTheMacChainOverAnIndependentCipher)
{
    std::string why;
    ASSERT_TRUE(oracle::opensslReady(&why)) << why;
    const Bytes labelSeed = concat({{'n', 'e', 't', 'w', 'o', 'r', 'k', ' ', 'i', 'd', 0}, {0x71, 0x9E, 0x5A, 0x3C}});
    Bytes secret(32);
    for (size_t i = 0; i < secret.size(); ++i)
        secret[i] = uint8_t(0x5A ^ (7 * i));
    LinkSecurityState::instance().installMasterSecret(secret.data());
    const oracle::Mac mac = [&secret](const Bytes &m) {
        return oracle::cmacOver([&secret](const Bytes &b) { return oracle::opensslMagmaEcb(secret, b, false); }, m);
    };
    EXPECT_EQ(oracle::pHashOver(mac, labelSeed, 1).at(0), deriveNetworkId(LinkSecurityState::instance()));
}

} // namespace
