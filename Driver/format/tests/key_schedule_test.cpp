#define OPENSSL_SUPPRESS_DEPRECATED
#include "format/key_schedule.h"

#include <gtest/gtest.h>
#include <openssl/sha.h>

#include <cstring>
#include <random>

#include "format/twofish.h"
#include "format_test_support.h"

namespace vdformat {
namespace {

TEST(HeaderCheck, GivenValues) {
    const std::uint8_t letters[] = {'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h', 'i', 'j'};
    EXPECT_EQ(HeaderCheck(letters), 0xFC48850D58136717ull);
    const std::uint8_t zeros[8] = {};
    EXPECT_EQ(HeaderCheck(zeros), 0x1A8BC6788719D891ull);
    // Fewer than eight bytes hold no window at all.
    EXPECT_EQ(HeaderCheck(std::span(letters, 7)), 0x1A8BC6788719D891ull);
}

TEST(HeaderCheck, EveryByteOfAScheduleCounts) {
    std::vector<std::uint8_t> plain(kKeyScheduleBytes, 0x5C);
    const std::uint64_t original = HeaderCheck(plain);
    for (std::size_t i : {std::size_t{0}, std::size_t{2000}, kKeyScheduleBytes - 1}) {
        plain[i] ^= 1;
        EXPECT_NE(HeaderCheck(plain), original) << "byte " << i;
        plain[i] ^= 1;
    }
}

TEST(SaltBlock, Bytes) {
    std::uint8_t block[64];
    SaltBlock(0, block);
    EXPECT_EQ(block[0], 209);
    EXPECT_EQ(block[1], 76);
    EXPECT_EQ(block[2], 199);
    EXPECT_EQ(block[3], 66);
    EXPECT_EQ(block[63], (123 * 63 - 47) % 256);
    SaltBlock(255, block);
    EXPECT_EQ(block[0], (50 * 255 - 47) % 256);
}

TEST(KeyStream, FirstWordsFromTheRecurrence) {
    // Worked out by hand from h0 = 0x7D2A58C1 with the byte reversal, the addition, the rotation
    // by h(i-1) mod 32 and the multiplication.
    const std::uint32_t expected[8] = {0x5BFC86EB, 0x9B216FFE, 0xFD3B8FBC, 0x6BA54C01,
                                       0x5F2189BF, 0xB64103B1, 0x4A4C3E14, 0x26FCF916};
    std::uint32_t words[8];
    KeyStream(words);
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(words[i], expected[i]) << "h" << i + 1;
        EXPECT_EQ(KeyStreamWord(static_cast<unsigned>(i + 1)), expected[i]);
    }
    EXPECT_EQ(KeyStreamWord(0), 0x7D2A58C1u);
}

TEST(BuildKeySchedule, FoldsMaterialIntoWhiteningAndTwofishKey) {
    std::mt19937 rng(3);
    KeySchedule schedule;
    std::vector<std::uint8_t> material = testing::RandomBytes(rng, kKeyScheduleBytes);
    std::memcpy(schedule.Bytes(), material.data(), material.size());
    BuildKeySchedule(schedule);

    // The folding, written out independently of the library.
    std::uint32_t stream[61];
    KeyStream(stream);
    std::uint32_t whitening[61];
    std::uint32_t key[8];
    std::memcpy(whitening, stream, sizeof(whitening));
    std::memcpy(key, stream, sizeof(key));
    for (std::size_t i = 0; i < kKeyScheduleWords; ++i) {
        std::uint32_t m;
        std::memcpy(&m, material.data() + 4 * i, 4);
        whitening[(167 * i) % 61] ^= m;
        key[(167 * i) % 8] ^= m;
    }
    for (int j = 0; j < 61; ++j) {
        ASSERT_EQ(schedule.whitening[j], whitening[j]) << "W" << j;
    }
    std::uint8_t keyBytes[32];
    std::memcpy(keyBytes, key, 32);
    testing::GcryptTwofish peer(keyBytes);
    for (int b = 0; b < 8; ++b) {
        std::vector<std::uint8_t> ours = testing::RandomBytes(rng, 16);
        std::vector<std::uint8_t> theirs = ours;
        TwofishEncryptBlock(schedule, ours.data());
        peer.Encrypt(theirs.data());
        ASSERT_EQ(ours, theirs);
    }
}

TEST(StretchKey, IsTheSaltXorThen100PassesOfChunkRounds) {
    std::mt19937 rng(5);
    const unsigned salt = 77;
    std::vector<std::uint8_t> ours = testing::RandomBytes(rng, kKeyScheduleBytes);
    std::vector<std::uint8_t> theirs = ours;
    StretchKey(std::span<std::uint8_t, kKeyScheduleBytes>(ours.data(), kKeyScheduleBytes), salt);

    // Independently: OpenSSL's compression on the big-endian form, feed-forward taken off.
    std::uint8_t block[64];
    for (int i = 0; i < 64; ++i) {
        block[i] = static_cast<std::uint8_t>(50 * salt + 123 * i - 47);
    }
    std::uint8_t swapped[64];
    for (int i = 0; i < 64; ++i) {
        swapped[i] = block[(i & ~3) + 3 - (i & 3)];
    }
    for (auto& b : theirs) {
        b ^= static_cast<std::uint8_t>(salt);
    }
    for (int pass = 0; pass < 100; ++pass) {
        for (std::size_t chunk = 0; chunk < 225; ++chunk) {
            std::uint32_t state[5];
            std::memcpy(state, theirs.data() + 20 * chunk, 20);
            SHA_CTX context{};
            context.h0 = state[0];
            context.h1 = state[1];
            context.h2 = state[2];
            context.h3 = state[3];
            context.h4 = state[4];
            SHA1_Transform(&context, swapped);
            const std::uint32_t out[5] = {context.h0 - state[0], context.h1 - state[1],
                                          context.h2 - state[2], context.h3 - state[3],
                                          context.h4 - state[4]};
            std::memcpy(theirs.data() + 20 * chunk, out, 20);
        }
    }
    EXPECT_EQ(ours, theirs);
}

TEST(PasswordKey, DiffersBySaltAndByEveryKeyByte) {
    const auto key = testing::MakeUserKey("secret");
    KeySchedule a;
    KeySchedule b;
    PasswordKey(key, 3, a);
    PasswordKey(key, 4, b);
    EXPECT_NE(std::memcmp(&a, &b, sizeof(a)), 0);
    auto other = key;
    other[39] = 1;  // the last byte of a 40-byte key counts too
    PasswordKey(other, 3, b);
    EXPECT_NE(std::memcmp(&a, &b, sizeof(a)), 0);
}

}  // namespace
}  // namespace vdformat
