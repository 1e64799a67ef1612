// What someone on the radio can try against a link that is up: send the ground's own records
// back to it, replay the aircraft's older records across epochs, and predict the ground's
// handshake random.
#include <gtest/gtest.h>

#include <cstring>

#include "AircraftPeer.h"
#include "RecordSealer.h"
#include "auth/Handshake.h"
#include "crypto/RecordLayer.h"

namespace {

class LinkAttack : public GroundFixture {
protected:
    static int receive(LinkSecurityState &state, const LinkFrame &f)
    {
        uint8_t out[kLinkFrameMaxPayload];
        uint64_t length = 0;
        return unprotectRecord(state, f.payload, f.length, f.sequence, f.epoch, f.mac, out, &length);
    }
};

// Heavy uplink: the ground has sent five records, the aircraft one. The ground's records sent
// back verify under the shared key block; those numbered above the aircraft's are refused as
// reflected, and move nothing: the aircraft's next record is still delivered.
TEST_F(LinkAttack, ReflectedGroundRecordsAreRefusedAndTheAircraftGetsThrough)
{
    AircraftPeer aircraft(31);
    LinkFrame hello;
    connect(aircraft, hello);
    const uint8_t message[] = "uplink correction data";
    LinkFrame sent[5] = {};  // Data frames
    for (LinkFrame &frame : sent)
        ASSERT_TRUE(protectFrame(ground, message, sizeof message, frame));
    const uint8_t first[] = "aircraft 1", second[] = "aircraft 2";
    ASSERT_EQ(receive(ground, aircraft.record(LinkFrameType::Data, first, sizeof first)), 0);

    for (const LinkFrame &frame : sent)
        EXPECT_EQ(receive(ground, frame), frame.sequence[7] == 1 ? -2 : -5) << int(frame.sequence[7]);
    EXPECT_EQ(ground.receiveSequence, 1u);

    const LinkFrame next = aircraft.record(LinkFrameType::Data, second, sizeof second);
    uint8_t out[kLinkFrameMaxPayload];
    uint16_t length = 0;
    ASSERT_TRUE(unprotectFrame(ground, next, out, &length));
    EXPECT_EQ(std::memcmp(out, second, sizeof second), 0);
}

// Neither number may go back: a lower sequence number in a newer epoch and a higher one in an
// older epoch are both replays, whatever the MAC. Sealed under the link's real key blocks.
TEST_F(LinkAttack, RecordsGoingBackInSequenceOrEpochAreReplays)
{
    AircraftPeer aircraft(32);
    LinkFrame hello;
    connect(aircraft, hello);
    const Bytes plaintext{1, 2, 3, 4, 5, 6, 7, 8, 9};
    const auto sealed = [&](uint64_t sequence, uint32_t epoch) {
        const SealedRecord r = sealRecord(keyBlockFor(ground.masterSecret, epoch), sequence, epoch, plaintext);
        uint8_t out[16];
        uint64_t length = 0;
        return unprotectRecord(ground, r.ciphertext.data(), r.ciphertext.size(), r.sequence, r.epoch, r.mac, out,
                               &length);
    };
    ASSERT_EQ(sealed(10, 2), 0);
    const struct {
        uint64_t sequence;
        uint32_t epoch;
        int expected;
    } rows[] = {
        {5, 3, -2},   // lower sequence, newer epoch
        {11, 1, -2},  // older epoch, higher sequence
        {10, 2, -2},  // the same numbers again
        {9, 2, -2},
        {11, 2, 0},
        {12, 3, 0},
        {13, 2, -2},  // back to the epoch just left
    };
    for (const auto &row : rows)
        EXPECT_EQ(sealed(row.sequence, row.epoch), row.expected) << row.sequence << "/" << row.epoch;
    EXPECT_EQ(countersOf(ground), "0 12 0 3 102400 9");
}

// The old generator left the top bit of every fourth byte clear; the system's generator sets
// it half the time. Two randoms with all eight such bits clear in both: one chance in 65536.
TEST_F(LinkAttack, HandshakeRandomsCarryNoGeneratorFingerprint)
{
    AircraftPeer first(33), second(34);
    LinkFrame hello1, hello2;
    connect(first, hello1);
    connect(second, hello2);
    EXPECT_NE(std::memcmp(hello1.payload, hello2.payload, 32), 0);
    uint8_t topBits = 0;
    for (int i = 3; i < 32; i += 4)
        topBits |= (hello1.payload[i] | hello2.payload[i]) & 0x80;
    EXPECT_NE(topBits, 0) << "every fourth byte below 0x80 in both randoms";
}

} // namespace
