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

namespace {

const uint8_t kMasterSecretLabel[] = {'m', 'a', 's', 't', 'e', 'r', ' ',
                                      's', 'e', 'c', 'r', 'e', 't'};

struct Aircraft {
    LinkSecurityState state{};
    uint8_t random[32];
    uint8_t publicKey[64];

    explicit Aircraft(uint8_t seed)
    {
        for (int i = 0; i < 32; ++i)
            random[i] = static_cast<uint8_t>(seed + 3 * i);
        for (int i = 0; i < 64; ++i)
            publicKey[i] = static_cast<uint8_t>(0x41 + i);
    }

    LinkFrame hello(uint16_t length = kHelloPayloadLength) const
    {
        LinkFrame f{};
        f.startMarker = kLinkFrameStartMarker;
        f.endMarker = kLinkFrameEndMarker;
        f.type = static_cast<uint8_t>(LinkFrameType::Hello);
        f.length = length;
        std::memcpy(f.payload, random, 32);
        std::memcpy(f.payload + 32, publicKey, 64);
        return f;
    }

    // Mirrors the ground's derivation: aircraft random first, then the ground's.
    void agree(const LinkFrame &groundHello, const uint8_t premaster[64])
    {
        uint8_t master[32];
        ASSERT_EQ(0, hmacPrf(premaster, 64, kMasterSecretLabel, sizeof kMasterSecretLabel,
                             random, 32, groundHello.payload, 32, nullptr, 0, nullptr, 0,
                             master, sizeof master));
        state.installMasterSecret(master);
    }

    LinkFrame record(LinkFrameType type, const uint8_t *plaintext, uint16_t length)
    {
        LinkFrame f{};
        f.startMarker = kLinkFrameStartMarker;
        f.endMarker = kLinkFrameEndMarker;
        f.type = static_cast<uint8_t>(type);
        EXPECT_TRUE(protectFrame(state, plaintext, length, f));
        return f;
    }

    LinkFrame finished()
    {
        return record(LinkFrameType::Finished, kFinishedPlaintext, kFinishedPlaintextLength);
    }
};

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
        for (int i = 0; i < 64; ++i) {
            ground.ownPublicKey[i] = static_cast<uint8_t>(0x01 + i);
            ground.peerPublicKey[i] = static_cast<uint8_t>(0x41 + i);
            ground.premasterSecret[i] = static_cast<uint8_t>(0xA0 ^ i);
        }
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
    // A peer that knows only the public keys seals a finished under whatever it guesses.
    Aircraft forger(7);
    uint8_t zeroSecret[32] = {};
    forger.state.installMasterSecret(zeroSecret);
    authState = 1;
    LinkFrame reply;
    EXPECT_FALSE(exchange(forger.finished(), reply));
    EXPECT_EQ(0, authState);
}

TEST_F(Handshake, HelloOfWrongLengthIsRejectedWithoutReply)
{
    Aircraft aircraft(1);
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
    Aircraft aircraft(9);
    aircraft.publicKey[63] ^= 0x01;
    authState = 2;
    LinkFrame reply;
    EXPECT_FALSE(exchange(aircraft.hello(), reply));
    EXPECT_EQ(0, authState);
    EXPECT_EQ(0, std::memcmp(ground.peerRandom, aircraft.random, 32));
}

TEST_F(Handshake, HelloReplyGoesOutAs121Bytes)
{
    Aircraft aircraft(3);
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
    Aircraft aircraft(5);
    LinkFrame groundHello;
    ASSERT_TRUE(exchange(aircraft.hello(), groundHello));
    aircraft.agree(groundHello, ground.premasterSecret);
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
    Aircraft first(11), second(12);
    LinkFrame reply1, reply2;
    ASSERT_TRUE(exchange(first.hello(), reply1));
    first.agree(reply1, ground.premasterSecret);
    ASSERT_TRUE(exchange(second.hello(), reply2));
    second.agree(reply2, ground.premasterSecret);
    EXPECT_NE(0, std::memcmp(reply1.payload, reply2.payload, 32)) << "own random reused";

    LinkFrame ignored;
    EXPECT_FALSE(exchange(first.finished(), ignored)) << "stale master secret accepted";
    EXPECT_EQ(0, authState);
    EXPECT_TRUE(exchange(second.finished(), ignored));
    EXPECT_EQ(2, authState);
}

TEST_F(Handshake, ReplayedFinishedFallsBackToZero)
{
    Aircraft aircraft(21);
    LinkFrame groundHello, reply;
    ASSERT_TRUE(exchange(aircraft.hello(), groundHello));
    aircraft.agree(groundHello, ground.premasterSecret);
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
    Aircraft aircraft(31);
    LinkFrame groundHello, reply;
    ASSERT_TRUE(exchange(aircraft.hello(), groundHello));
    aircraft.agree(groundHello, ground.premasterSecret);

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

    // The same record sealed by a peer without the premaster, under a guessed master secret.
    Aircraft forger(31);
    uint8_t zeroSecret[32] = {};
    forger.state.installMasterSecret(zeroSecret);
    authState = 1;
    EXPECT_FALSE(exchange(forger.finished(), reply));
    EXPECT_EQ(0, authState);
}

TEST_F(Handshake, DataFramesChangeNothing)
{
    Aircraft aircraft(41);
    LinkFrame groundHello, reply;
    ASSERT_TRUE(exchange(aircraft.hello(), groundHello));
    aircraft.agree(groundHello, ground.premasterSecret);
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
