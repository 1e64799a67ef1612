// The aircraft's end of the handshake, for tests of the ground side: its own security state,
// random and public key, and the same derivations the ground uses, mirrored.
#pragma once

#include <cstdint>

#include <gtest/gtest.h>

#include "auth/LinkSecurityState.h"
#include "messaging/LinkFrame.h"

struct AircraftPeer {
    LinkSecurityState state{};
    uint8_t random[32];
    uint8_t publicKey[64];  // 41..80, as the ground's card holds it under key id 2

    explicit AircraftPeer(uint8_t seed);
    LinkFrame hello(uint16_t length = 96) const;
    // Master secret from the premaster and both randoms, aircraft random first.
    bool agree(const LinkFrame &groundHello, const uint8_t premaster[64]);
    LinkFrame record(LinkFrameType type, const uint8_t *plaintext, uint16_t length);
    LinkFrame finished();
};

// A frame around a record sealed by hand under the given 64-byte key block, as a peer that
// never had the master secret would build it.
LinkFrame forgedFrame(LinkFrameType type, const uint8_t keyBlock[64], uint64_t sequence, uint32_t epoch,
                      const uint8_t *plaintext, uint16_t length);

// Ground key pair and premaster as the card would fill them.
void fillGroundKeys(LinkSecurityState &ground);

// The ground's side of a handshake, for the handshake and attack tests.
class GroundFixture : public ::testing::Test {
protected:
    void SetUp() override { fillGroundKeys(ground); }
    // Feeds one aircraft frame to the ground; returns whether a reply was built.
    bool exchange(const LinkFrame &in, LinkFrame &reply);
    // Hello answered and the master secret agreed on both sides; the ground's random is in groundHello.
    void connect(AircraftPeer &aircraft, LinkFrame &groundHello)
    {
        ASSERT_TRUE(exchange(aircraft.hello(), groundHello));
        ASSERT_EQ(authState, 1);
        ASSERT_TRUE(aircraft.agree(groundHello, ground.premasterSecret));
    }

    LinkSecurityState &ground = LinkSecurityState::instance();
    int authState = 0;
};
