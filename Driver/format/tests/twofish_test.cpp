#include "format/twofish.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "format_test_support.h"

namespace vdformat {
namespace {

using testing::FromHex;

KeySchedule ScheduleFor(const std::vector<std::uint8_t>& key) {
    KeySchedule schedule{};
    std::uint8_t raw[32];
    std::memcpy(raw, key.data(), 32);
    TwofishKeySetup(raw, schedule);
    return schedule;
}

struct KnownAnswer {
    const char* key;
    const char* plain;
    const char* cipher;
};

// The published 256-bit vectors: the zero key, the first steps and the 49th of the iterated
// table, and the counting key of the intermediate-value test.
constexpr KnownAnswer kKnownAnswers[] = {
    {"0000000000000000000000000000000000000000000000000000000000000000",
     "00000000000000000000000000000000", "57FF739D4DC92C1BD7FC01700CC8216F"},
    {"0000000000000000000000000000000000000000000000000000000000000000",
     "57FF739D4DC92C1BD7FC01700CC8216F", "D43BB7556EA32E46F2A282B7D45B4E0D"},
    {"57FF739D4DC92C1BD7FC01700CC8216F00000000000000000000000000000000",
     "D43BB7556EA32E46F2A282B7D45B4E0D", "90AFE91BB288544F2C32DC239B2635E6"},
    {"248A7F3528B168ACFDD1386E3F51E30C2E2158BC3E5FC714C1EEECA0EA696D48",
     "431058F4DBC7F734DA4F02F04CC4F459", "37FE26FF1CF66175F5DDF4C33B97A205"},
    {"0123456789ABCDEFFEDCBA987654321000112233445566778899AABBCCDDEEFF",
     "00000000000000000000000000000000", "37527BE0052334B89F0CFCCAE87CFA20"},
};

TEST(Twofish, PublishedVectorsEncryptAndDecrypt) {
    for (const KnownAnswer& v : kKnownAnswers) {
        SCOPED_TRACE(v.key);
        const KeySchedule schedule = ScheduleFor(FromHex(v.key));
        std::vector<std::uint8_t> block = FromHex(v.plain);
        TwofishEncryptBlock(schedule, block.data());
        EXPECT_EQ(block, FromHex(v.cipher));
        TwofishDecryptBlock(schedule, block.data());
        EXPECT_EQ(block, FromHex(v.plain));
    }
}

TEST(Twofish, IteratedTableReachesThe49thValue) {
    // Each plaintext is the previous ciphertext; each key the previous plaintext followed by the
    // first half of the previous key.
    std::vector<std::uint8_t> key(32, 0);
    std::vector<std::uint8_t> plain(16, 0);
    for (int i = 0; i < 49; ++i) {
        const KeySchedule schedule = ScheduleFor(key);
        std::vector<std::uint8_t> next(plain.begin(), plain.end());
        next.insert(next.end(), key.begin(), key.begin() + 16);
        TwofishEncryptBlock(schedule, plain.data());
        key = next;
    }
    EXPECT_EQ(plain, FromHex("37FE26FF1CF66175F5DDF4C33B97A205"));
}

TEST(Twofish, MatchesLibgcryptOnRandomKeysAndBlocks) {
    std::mt19937 rng(20261211);
    for (int k = 0; k < 64; ++k) {
        const std::vector<std::uint8_t> key = testing::RandomBytes(rng, 32);
        const KeySchedule schedule = ScheduleFor(key);
        testing::GcryptTwofish peer(key.data());
        for (int b = 0; b < 16; ++b) {
            std::vector<std::uint8_t> ours = testing::RandomBytes(rng, 16);
            std::vector<std::uint8_t> theirs = ours;
            TwofishEncryptBlock(schedule, ours.data());
            peer.Encrypt(theirs.data());
            ASSERT_EQ(ours, theirs);
            TwofishDecryptBlock(schedule, ours.data());
            peer.Decrypt(theirs.data());
            ASSERT_EQ(ours, theirs);
        }
    }
}

TEST(Twofish, KeySetupLeavesWhiteningAlone) {
    KeySchedule schedule;
    std::memset(&schedule, 0xA5, sizeof(schedule));
    const std::uint8_t key[32] = {1, 2, 3};
    TwofishKeySetup(key, schedule);
    for (std::uint32_t word : schedule.whitening) {
        ASSERT_EQ(word, 0xA5A5A5A5u);
    }
}

}  // namespace
}  // namespace vdformat
