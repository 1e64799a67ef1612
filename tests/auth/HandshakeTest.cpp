// Ground side of the aircraft handshake, driven frame by frame. The aircraft is played by a
// second security state in the same process, built with the same derivations.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <set>
#include <vector>

#include "auth/Handshake.h"
#include "auth/LinkSecurityState.h"
#include "crypto/KeyDerivation.h"
#include "crypto/RecordLayer.h"
#include "messaging/LinkFrame.h"

#include "AircraftPeer.h"
#include "oracle/Oracle.h"

namespace {

uint64_t bigEndian(const uint8_t *bytes, int n)
{
    uint64_t v = 0;
    for (int i = 0; i < n; ++i)
        v = (v << 8) | bytes[i];
    return v;
}

class Handshake : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::srand(1234);
        fillGroundKeys(ground);
    }

    // Feeds one aircraft frame to the ground; returns whether a reply was built.
    bool exchange(const LinkFrame &in, LinkFrame &reply)
    {
        if (!handleHandshakeFrame(ground, in, authState))
            return false;
        return buildHandshakeReply(ground, authState, reply);
    }

    LinkSecurityState &ground = LinkSecurityState::instance();
    int authState = 0;
};

TEST_F(Handshake, FinishedBeforeAnyMasterSecretIsRefused)
{
    // Without a master secret the derivation has no key: a finished sealed under the all-zero
    // key block it would otherwise hand out, for the first epoch a sender uses.
    const uint8_t zeroKeyBlock[64] = {};
    authState = 1;
    LinkFrame reply;
    EXPECT_FALSE(exchange(forgedFrame(LinkFrameType::Finished, zeroKeyBlock, 1, 1,
                                      kFinishedPlaintext, kFinishedPlaintextLength), reply));
    EXPECT_EQ(0, authState);
}

TEST_F(Handshake, HelloOfWrongLengthIsRejectedWithoutReply)
{
    AircraftPeer aircraft(1);
    for (uint16_t length : {95, 97, 1, 512}) {
        authState = 1;
        std::memset(ground.peerRandom, 0, 32);
        LinkFrame reply;
        EXPECT_FALSE(exchange(aircraft.hello(length), reply)) << length;
        EXPECT_EQ(0, authState) << length;
        // Nothing was taken from it.
        EXPECT_EQ(0, ground.peerRandom[1]) << length;
    }
}

TEST_F(Handshake, HelloWithForeignKeyKeepsItsRandomButIsRejected)
{
    AircraftPeer aircraft(9);
    aircraft.publicKey[63] ^= 0x01;
    authState = 2;
    LinkFrame reply;
    EXPECT_FALSE(exchange(aircraft.hello(), reply));
    EXPECT_EQ(0, authState);
    EXPECT_EQ(0, std::memcmp(ground.peerRandom, aircraft.random, 32));
}

TEST_F(Handshake, HelloReplyGoesOutAs121Bytes)
{
    AircraftPeer aircraft(3);
    LinkFrame reply;
    ASSERT_TRUE(exchange(aircraft.hello(), reply));
    EXPECT_EQ(1, authState);

    uint8_t wire[kLinkFrameMaxSize];
    ASSERT_EQ(121, writeLinkFrame(reply, wire));
    const uint8_t head[] = {0xFC, 0x01, 0x60, 0x00};
    EXPECT_EQ(0, std::memcmp(wire, head, 4));
    for (int i = 4; i < 16; ++i)
        EXPECT_EQ(0, wire[i]) << i;
    EXPECT_EQ(0, std::memcmp(wire + 16, ground.ownRandom, 32));
    EXPECT_EQ(0, std::memcmp(wire + 48, ground.ownPublicKey, 64));
    for (int i = 112; i < 120; ++i)
        EXPECT_EQ(0, wire[i]) << i;
    EXPECT_EQ(0xED, wire[120]);
}

TEST_F(Handshake, FullExchangeAgreesOnSecretAndNetworkId)
{
    AircraftPeer aircraft(5);
    LinkFrame groundHello;
    ASSERT_TRUE(exchange(aircraft.hello(), groundHello));
    ASSERT_TRUE(aircraft.agree(groundHello, ground.premasterSecret));
    EXPECT_EQ(0, std::memcmp(aircraft.state.masterSecret, ground.masterSecret, 32));

    LinkFrame groundFinished;
    ASSERT_TRUE(exchange(aircraft.finished(), groundFinished));
    EXPECT_EQ(2, authState);
    EXPECT_EQ(static_cast<uint8_t>(LinkFrameType::Finished), groundFinished.type);
    EXPECT_EQ(kFinishedPlaintextLength, groundFinished.length);
    EXPECT_EQ(1u, bigEndian(groundFinished.sequence, 8));
    EXPECT_EQ(1u, bigEndian(groundFinished.epoch, 4));

    // The aircraft accepts the ground's finished and reads the agreed plaintext.
    uint8_t plain[kLinkFrameMaxPayload];
    uint16_t length = 0;
    ASSERT_TRUE(unprotectFrame(aircraft.state, groundFinished, plain, &length));
    ASSERT_EQ(kFinishedPlaintextLength, length);
    EXPECT_EQ(0, std::memcmp(plain, kFinishedPlaintext, length));

    EXPECT_EQ(deriveNetworkId(aircraft.state), deriveNetworkId(ground));
}

TEST_F(Handshake, SecondHelloReplacesTheMasterSecret)
{
    AircraftPeer first(11), second(12);
    LinkFrame reply1, reply2;
    ASSERT_TRUE(exchange(first.hello(), reply1));
    ASSERT_TRUE(first.agree(reply1, ground.premasterSecret));
    ASSERT_TRUE(exchange(second.hello(), reply2));
    ASSERT_TRUE(second.agree(reply2, ground.premasterSecret));
    EXPECT_NE(0, std::memcmp(reply1.payload, reply2.payload, 32)) << "own random reused";

    LinkFrame ignored;
    EXPECT_FALSE(exchange(first.finished(), ignored)) << "stale master secret accepted";
    EXPECT_EQ(0, authState);
    EXPECT_TRUE(exchange(second.finished(), ignored));
    EXPECT_EQ(2, authState);
}

TEST_F(Handshake, ReplayedFinishedFallsBackToZero)
{
    AircraftPeer aircraft(21);
    LinkFrame groundHello, reply;
    ASSERT_TRUE(exchange(aircraft.hello(), groundHello));
    ASSERT_TRUE(aircraft.agree(groundHello, ground.premasterSecret));
    const LinkFrame finished = aircraft.finished();
    ASSERT_TRUE(exchange(finished, reply));
    EXPECT_FALSE(exchange(finished, reply));
    EXPECT_EQ(0, authState);
    // A fresh finished with a higher sequence number is accepted again and answered.
    ASSERT_TRUE(exchange(aircraft.finished(), reply));
    EXPECT_EQ(2, authState);
    EXPECT_EQ(2u, bigEndian(reply.sequence, 8));
}

TEST_F(Handshake, FinishedWithOtherPlaintextOrForeignKeyIsRejected)
{
    AircraftPeer aircraft(31);
    LinkFrame groundHello, reply;
    ASSERT_TRUE(exchange(aircraft.hello(), groundHello));
    ASSERT_TRUE(aircraft.agree(groundHello, ground.premasterSecret));

    uint8_t wrong[kFinishedPlaintextLength];
    std::memcpy(wrong, kFinishedPlaintext, sizeof wrong);
    wrong[23] = '!';
    EXPECT_FALSE(exchange(aircraft.record(LinkFrameType::Finished, wrong, sizeof wrong), reply));
    EXPECT_EQ(0, authState);
    // Shorter than the expected text.
    EXPECT_FALSE(exchange(aircraft.record(LinkFrameType::Finished, kFinishedPlaintext, 23), reply));
    // Longer is fine: only the first 24 bytes count.
    uint8_t longer[40] = {};
    std::memcpy(longer, kFinishedPlaintext, kFinishedPlaintextLength);
    EXPECT_TRUE(exchange(aircraft.record(LinkFrameType::Finished, longer, sizeof longer), reply));

    // A peer that knows only the public keys: sealed under an all-zero key block, epoch 0 or 1.
    const uint8_t zeroKeyBlock[64] = {};
    for (uint32_t epoch : {0u, 1u}) {
        authState = 1;
        EXPECT_FALSE(exchange(forgedFrame(LinkFrameType::Finished, zeroKeyBlock, 9, epoch,
                                          kFinishedPlaintext, kFinishedPlaintextLength), reply))
            << epoch;
        EXPECT_EQ(0, authState) << epoch;
    }
}

TEST_F(Handshake, DataFramesChangeNothing)
{
    AircraftPeer aircraft(41);
    LinkFrame groundHello, reply;
    ASSERT_TRUE(exchange(aircraft.hello(), groundHello));
    ASSERT_TRUE(aircraft.agree(groundHello, ground.premasterSecret));
    const uint8_t mavlink[] = {0xFD, 0x01, 0x00, 0x00, 0x00, 0x01, 0x01, 0x00, 0x00, 0x00, 0x02};
    const uint64_t receiveBefore = ground.receiveSequence;
    EXPECT_FALSE(exchange(aircraft.record(LinkFrameType::Data, mavlink, sizeof mavlink), reply));
    EXPECT_EQ(1, authState);
    EXPECT_EQ(receiveBefore, ground.receiveSequence);
}

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
    EXPECT_EQ(1u, seen.count(0));
}

TEST(NetworkId, MatchesTheMacChainOverAnIndependentCipher)
{
    // The identifier is the first byte of MAC(MAC(label || seed) || label || seed) under the
    // master secret, with the MAC built here over OpenSSL's Magma (gost provider).
    std::string why;
    ASSERT_TRUE(oracle::opensslReady(&why)) << why;
    const oracle::Bytes label = {'n', 'e', 't', 'w', 'o', 'r', 'k', ' ', 'i', 'd', 0};
    const oracle::Bytes seed = {0x71, 0x9E, 0x5A, 0x3C};
    LinkSecurityState &state = LinkSecurityState::instance();
    for (uint8_t fill : {0x00, 0x5A, 0xFF}) {
        oracle::Bytes secret(32);
        for (size_t i = 0; i < secret.size(); ++i)
            secret[i] = static_cast<uint8_t>(fill ^ (7 * i));
        state.installMasterSecret(secret.data());
        const oracle::BlockCipher magma = [&secret](const oracle::Bytes &blocks) {
            return oracle::opensslMagmaEcb(secret, blocks, false);
        };
        oracle::Bytes input = label;
        for (uint8_t b : seed)
            input.push_back(b);
        oracle::Bytes chained = oracle::cmacOver(magma, input);
        for (uint8_t b : input)
            chained.push_back(b);
        EXPECT_EQ(oracle::cmacOver(magma, chained).at(0), deriveNetworkId(state)) << int(fill);
    }
}

TEST(NetworkId, RandomBytesComeFromRandLowByteFirst)
{
    std::srand(99);
    std::vector<unsigned> expected;
    for (int i = 0; i < 8; ++i)
        expected.push_back(static_cast<unsigned>(std::rand()));
    std::srand(99);
    uint8_t out[32];
    fillHandshakeRandom(out);
    for (int i = 0; i < 8; ++i) {
        const unsigned got = out[4 * i] | (out[4 * i + 1] << 8) | (out[4 * i + 2] << 16)
                             | (static_cast<unsigned>(out[4 * i + 3]) << 24);
        EXPECT_EQ(expected[i], got) << i;
    }
}

} // namespace
