// The protected record layer, loopback through the one state (send and receive counters are
// separate) and against records sealed by hand.
#include <cstring>

#include <gtest/gtest.h>

#include "RecordSealer.h"
#include "crypto/RecordLayer.h"

namespace {

class RecordLayer : public ::testing::Test {
protected:
    void SetUp() override { install(0x10); }

    void install(uint8_t seed)
    {
        for (int i = 0; i < 32; ++i)
            secret[i] = uint8_t(seed + i);
        state().installMasterSecret(secret);
    }

    static LinkSecurityState &state() { return LinkSecurityState::instance(); }

    SealedRecord protect(const Bytes &plaintext)
    {
        SealedRecord r;
        r.ciphertext.resize(plaintext.size());
        uint64_t written = 0;
        EXPECT_EQ(protectRecord(state(), plaintext.data(), plaintext.size(), r.ciphertext.data(), &written, r.sequence,
                                r.epoch, r.mac),
                  0);
        EXPECT_EQ(written, plaintext.size());
        return r;
    }

    // On success the plaintext comes back and nothing is written past it; on rejection neither
    // the plaintext buffer nor the length is touched.
    int unprotect(const SealedRecord &r, Bytes *plaintext = nullptr)
    {
        Bytes out(r.ciphertext.size() + 1, 0xEE);
        uint64_t written = 12345;
        const int rc = unprotectRecord(state(), r.ciphertext.data(), r.ciphertext.size(), r.sequence, r.epoch, r.mac,
                                       out.data(), &written);
        if (rc != 0) {
            EXPECT_EQ(written, 12345u) << "length written on rejection";
            EXPECT_EQ(out, Bytes(out.size(), 0xEE)) << "plaintext written on rejection";
            return rc;
        }
        EXPECT_EQ(written, r.ciphertext.size());
        EXPECT_EQ(out.back(), 0xEE) << "wrote past the plaintext";
        out.pop_back();
        if (plaintext)
            *plaintext = out;
        return rc;
    }

    SealedRecord seal(uint64_t sequence, uint32_t epoch, const Bytes &plaintext)
    {
        return sealRecord(keyBlockFor(secret, epoch), sequence, epoch, plaintext);
    }

    uint8_t secret[32];
};

// The first record after install: sequence 1, epoch 1, sealed exactly as the definition says
// under the epoch-1 key block (13 bytes: a whole block and a 5-byte tail), and it comes back
// through the receive side. The register restarts for every record: the same plaintext again
// gives the same ciphertext, but the sequence number and so the MAC differ.
TEST_F(RecordLayer, FirstRecordIsSequenceOneEpochOneUnderTheEpochOneKeyBlock)
{
    const Bytes plaintext = patternBytes(13, 7);
    const SealedRecord r = protect(plaintext), expected = seal(1, 1, plaintext);
    EXPECT_EQ(toHex(r.sequence, 8) + toHex(r.epoch, 4), "000000000000000100000001");
    EXPECT_EQ(toHex(r.ciphertext), toHex(expected.ciphertext));
    EXPECT_EQ(toHex(r.mac, 8), toHex(expected.mac, 8));
    Bytes back;
    ASSERT_EQ(unprotect(r, &back), 0);
    EXPECT_EQ(back, plaintext);

    const SealedRecord again = protect(plaintext);
    EXPECT_EQ(toHex(again.sequence, 8), "0000000000000002");
    EXPECT_EQ(toHex(again.ciphertext), toHex(r.ciphertext));
    EXPECT_NE(toHex(again.mac, 8), toHex(r.mac, 8));
}

// Exactly 102400 bytes stay in epoch 1; one byte more opens epoch 2 with the count restarted
// before that byte is counted. The receiver follows into the new epoch.
TEST_F(RecordLayer, EpochChangesOnlyPastExactly102400Bytes)
{
    for (int i = 0; i < 200; ++i) {
        const SealedRecord r = protect(patternBytes(512, 3));
        ASSERT_EQ(toHex(r.epoch, 4), "00000001") << "record " << i;
        ASSERT_EQ(unprotect(r), 0);
    }
    EXPECT_EQ(countersOf(state()), "200 200 1 1 102400 102400");
    const SealedRecord next = protect(Bytes{0x42});
    EXPECT_EQ(toHex(next.sequence, 8) + toHex(next.epoch, 4), "00000000000000c900000002");
    EXPECT_EQ(toHex(next.ciphertext), toHex(seal(201, 2, Bytes{0x42}).ciphertext));
    Bytes back;
    ASSERT_EQ(unprotect(next, &back), 0);
    EXPECT_EQ(back, Bytes{0x42});
    EXPECT_EQ(countersOf(state()), "201 201 2 2 1 1");
}

// A record moves the receiver to its epoch; the same record again, or an older sequence
// number, is a replay whatever the MAC, and nothing changes.
TEST_F(RecordLayer, ReplayedRecordsAreRefused)
{
    ASSERT_EQ(unprotect(seal(10, 1, patternBytes(30, 1))), 0);
    Bytes back;
    ASSERT_EQ(unprotect(seal(11, 2, patternBytes(9, 3)), &back), 0);
    EXPECT_EQ(back, patternBytes(9, 3));
    EXPECT_EQ(countersOf(state()), "0 11 0 2 102400 9");
    EXPECT_EQ(unprotect(seal(11, 2, patternBytes(9, 3))), -2);
    EXPECT_EQ(unprotect(seal(3, 2, patternBytes(9, 3))), -2);
    EXPECT_EQ(countersOf(state()), "0 11 0 2 102400 9");
}

// Every single-bit change of sequence, epoch, ciphertext or MAC is refused: -3, or -2 where the
// changed sequence and epoch make the record look old. Nothing moves, not even for a forged
// newer epoch, so the genuine record passes afterwards.
TEST_F(RecordLayer, EverySingleBitFlipIsRefused)
{
    ASSERT_EQ(unprotect(protect(patternBytes(21, 8))), 0);      // receiveSequence 1, epoch 1
    const SealedRecord genuine = protect(patternBytes(21, 9));  // sequence 2, epoch 1
    const std::string before = countersOf(state());
    for (size_t bit = 0; bit < (8 + 4 + 21 + 8) * 8; ++bit) {
        SealedRecord r = genuine;
        uint8_t *fields[] = {r.sequence, r.epoch, r.ciphertext.data(), r.mac};
        const size_t sizes[] = {8, 4, 21, 8};
        size_t byte = bit / 8, field = 0;
        for (; byte >= sizes[field]; ++field)
            byte -= sizes[field];
        fields[field][byte] ^= uint8_t(0x80 >> (bit % 8));
        const int expected = readBig(r.sequence, 8) <= 1 || readBig(r.epoch, 4) < 1 ? -2 : -3;
        EXPECT_EQ(unprotect(r), expected) << "field " << field << " byte " << byte << " bit " << bit % 8;
    }
    EXPECT_EQ(countersOf(state()), before);
    EXPECT_EQ(unprotect(genuine), 0);
}

// Length 0 is refused before any check, and protecting nothing or more than a frame holds is
// refused too; no counter moves (an empty record would not even open the first epoch).
TEST_F(RecordLayer, EmptyOrOversizedRecordsAreRefusedAndMoveNothing)
{
    const std::string before = countersOf(state());
    uint8_t in[1] = {1}, ct[1], seq[8], epoch[4], mac[8];
    uint64_t length = 99;
    EXPECT_EQ(unprotectRecord(state(), nullptr, 0, nullptr, nullptr, nullptr, ct, &length), -1);
    EXPECT_EQ(length, 99u);
    EXPECT_EQ(protectRecord(state(), in, 0, ct, &length, seq, epoch, mac), -22);
    LinkFrame frame{};
    EXPECT_FALSE(protectFrame(state(), in, 0, frame));
    EXPECT_FALSE(protectFrame(state(), patternBytes(513, 1).data(), 513, frame));
    EXPECT_EQ(countersOf(state()), before);
}

// More than 102400 bytes accepted in one epoch: the MAC verifies, the sequence number moves,
// nothing is deciphered (-4); the next epoch starts the count again.
TEST_F(RecordLayer, OverfullEpochIsRefusedWithMinusFour)
{
    const Bytes chunk = patternBytes(10240, 5);
    for (uint64_t seq = 1; seq <= 11; ++seq)
        ASSERT_EQ(unprotect(seal(seq, 1, chunk)), 0) << seq;
    EXPECT_EQ(state().receiveEpochBytes, 112640u);
    EXPECT_EQ(unprotect(seal(12, 1, chunk)), -4);
    EXPECT_EQ(countersOf(state()), "0 12 0 1 102400 112640");
    EXPECT_EQ(unprotect(seal(13, 2, chunk)), 0);
    EXPECT_EQ(state().receiveEpochBytes, 10240u);
}

// Epoch 0 has no key block from the current secret. A record under the all-zero key block (what
// the receive key block holds in a fresh process), or under key blocks of the previous secret,
// must not pass; a genuine record of the new secret still does, and the sender starts over at
// sequence 1, epoch 1, under the new key block.
TEST_F(RecordLayer, NewSecretStartsOverAndForeignKeyBlocksAreNeverUsed)
{
    const Bytes zeroBlock(64, 0);
    EXPECT_EQ(unprotect(sealRecord(zeroBlock, 1, 0, patternBytes(24, 1))), -3);
    EXPECT_EQ(unprotect(sealRecord(zeroBlock, 1, 1, patternBytes(24, 1))), -3);

    ASSERT_EQ(unprotect(protect(patternBytes(24, 2))), 0);
    protect(patternBytes(100, 1));
    const Bytes oldEpoch1 = keyBlockFor(secret, 1), oldEpoch0 = keyBlockFor(secret, 0);
    install(0x55);
    EXPECT_EQ(countersOf(state()), "0 0 0 0 102400 102400");
    for (const Bytes *block : {&oldEpoch0, &oldEpoch1, &zeroBlock})
        EXPECT_EQ(unprotect(sealRecord(*block, 2, 0, patternBytes(24, 3))), -3);
    EXPECT_EQ(unprotect(sealRecord(oldEpoch1, 1, 1, patternBytes(24, 3))), -3);
    EXPECT_EQ(unprotect(seal(0x100000000ull, 0, patternBytes(24, 3))), -3);
    EXPECT_EQ(unprotect(seal(1, 1, patternBytes(24, 4))), 0);
    const SealedRecord r = protect(patternBytes(16, 3));
    EXPECT_EQ(toHex(r.sequence, 8) + toHex(r.epoch, 4), "000000000000000100000001");
    EXPECT_EQ(toHex(r.mac, 8), toHex(seal(1, 1, patternBytes(16, 3)).mac, 8));
}

// Before any master secret nothing is protected and nothing is accepted.
TEST(RecordLayerWithoutSecret, RefusesBothDirections)
{
    static LinkSecurityState fresh{};
    uint8_t in[16] = {1, 2, 3}, ct[16], seq[8], epoch[4], mac[8], out[16];
    std::memset(ct, 0xAB, sizeof ct);
    uint64_t written = 0;
    EXPECT_NE(protectRecord(fresh, in, sizeof in, ct, &written, seq, epoch, mac), 0);
    EXPECT_EQ(ct[0], 0xAB);
    const SealedRecord zero = sealRecord(Bytes(64, 0), 1, 1, Bytes(in, in + 16));
    EXPECT_EQ(unprotectRecord(fresh, zero.ciphertext.data(), 16, zero.sequence, zero.epoch, zero.mac, out, &written),
              -3);
    EXPECT_EQ(countersOf(fresh), "0 0 0 0 0 0");
}

// Rejections say nothing and leave the length alone.
TEST_F(RecordLayer, FramesCarryTheRecord)
{
    const Bytes plaintext = patternBytes(280, 6);
    LinkFrame frame{};
    frame.type = uint8_t(LinkFrameType::Finished);  // a Data record would come back as reflected
    ASSERT_TRUE(protectFrame(state(), plaintext.data(), 280, frame));
    EXPECT_EQ(frame.length, 280);
    EXPECT_EQ(toHex(frame.payload, 280), toHex(seal(1, 1, plaintext).ciphertext));
    uint8_t out[512];
    uint16_t length = 0;
    ASSERT_TRUE(unprotectFrame(state(), frame, out, &length));
    EXPECT_EQ(toHex(out, length), toHex(plaintext));
    length = 7;
    EXPECT_FALSE(unprotectFrame(state(), frame, out, &length));
    frame.length = 513;
    EXPECT_FALSE(unprotectFrame(state(), frame, out, &length));
    EXPECT_EQ(length, 7);
}

} // namespace
