#include "format/unit_cipher.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "format/twofish.h"
#include "format_test_support.h"

namespace vdformat {
namespace {

struct Keyed {
    KeySchedule schedule;
    std::uint8_t key[32];
};

Keyed RandomKeyed(std::mt19937& rng) {
    Keyed k;
    const auto key = testing::RandomBytes(rng, 32);
    std::memcpy(k.key, key.data(), 32);
    TwofishKeySetup(k.key, k.schedule);
    for (auto& w : k.schedule.whitening) {
        w = testing::NextWord(rng);
    }
    return k;
}

// The unit cipher written straight from its definition, with libgcrypt for the block operation.
void ReferenceWhiten(std::vector<std::uint32_t>& d, std::size_t n, const KeySchedule& s) {
    for (std::size_t i = 0; i <= 60; ++i) {
        d[(167 * i) % n] ^= s.whitening[i];
    }
}

std::vector<std::uint8_t> ReferenceEncipher(std::vector<std::uint8_t> unit, const Keyed& k) {
    const std::size_t n = (unit.size() / 4) / 2 * 2;
    const long blocks = static_cast<long>(n / 4);
    std::vector<std::uint32_t> d(n);
    std::memcpy(d.data(), unit.data(), 4 * n);
    testing::GcryptTwofish peer(k.key);
    auto mod = [blocks](long x) {
        return static_cast<std::size_t>(((x % blocks) + blocks) % blocks);
    };
    ReferenceWhiten(d, n, k.schedule);
    for (long t = 0; t < 3 * blocks; ++t) {
        std::uint32_t* source = d.data() + 4 * mod(-1 - t);
        peer.Encrypt(reinterpret_cast<std::uint8_t*>(source));
        std::uint32_t* target = d.data() + 4 * mod(-t);
        for (int w = 0; w < 4; ++w) {
            target[w] ^= source[w];
        }
    }
    ReferenceWhiten(d, n, k.schedule);
    std::memcpy(unit.data(), d.data(), 4 * n);
    return unit;
}

class UnitCipher : public ::testing::TestWithParam<std::size_t> {};

TEST_P(UnitCipher, MatchesTheDefinitionAndRoundTrips) {
    std::mt19937 rng(static_cast<unsigned>(GetParam()));
    for (int trial = 0; trial < 8; ++trial) {
        const Keyed k = RandomKeyed(rng);
        const std::vector<std::uint8_t> plain = testing::RandomBytes(rng, GetParam());
        std::vector<std::uint8_t> unit = plain;
        EncipherUnit(unit, k.schedule);
        ASSERT_EQ(unit, ReferenceEncipher(plain, k));
        DecipherUnit(unit, k.schedule);
        ASSERT_EQ(unit, plain);
    }
}

INSTANTIATE_TEST_SUITE_P(SectorAndKeyBlock, UnitCipher, ::testing::Values(4096, 4500),
                         [](const ::testing::TestParamInfo<std::size_t>& unit) {
                             return std::to_string(unit.param) + "Bytes";
                         });

TEST(UnitCipher, KeyBlockKeepsItsLastFourBytes) {
    std::mt19937 rng(1);
    const Keyed k = RandomKeyed(rng);
    const std::vector<std::uint8_t> plain = testing::RandomBytes(rng, 4500);
    std::vector<std::uint8_t> unit = plain;
    EncipherUnit(unit, k.schedule);
    EXPECT_TRUE(std::equal(unit.end() - 4, unit.end(), plain.end() - 4));
    EXPECT_FALSE(std::equal(unit.begin(), unit.end() - 4, plain.begin()));
}

TEST(UnitCipher, EqualSectorsAreStoredEquallyWhereverTheyLie) {
    std::mt19937 rng(2);
    const Keyed k = RandomKeyed(rng);
    const std::vector<std::uint8_t> sector = testing::RandomBytes(rng, kSectorBytes);
    std::vector<std::uint8_t> disk;
    for (int i = 0; i < 3; ++i) {
        disk.insert(disk.end(), sector.begin(), sector.end());
    }
    EncipherSectors(disk, k.schedule);
    EXPECT_TRUE(
        std::equal(disk.begin(), disk.begin() + kSectorBytes, disk.begin() + 2 * kSectorBytes));
    DecipherSectors(disk, k.schedule);
    EXPECT_TRUE(std::equal(sector.begin(), sector.end(), disk.begin() + kSectorBytes));
}

TEST(UnitCipher, UsesAStoredScheduleAsItIs) {
    // Tables read from a header are never recomputed: arbitrary tables still make a cipher.
    std::mt19937 rng(6);
    KeySchedule arbitrary;
    for (std::size_t i = 0; i < kKeyScheduleWords; ++i) {
        reinterpret_cast<std::uint32_t*>(&arbitrary)[i] = testing::NextWord(rng);
    }
    const std::vector<std::uint8_t> plain = testing::RandomBytes(rng, kSectorBytes);
    std::vector<std::uint8_t> unit = plain;
    EncipherUnit(unit, arbitrary);
    std::vector<std::uint8_t> altered = plain;
    KeySchedule changed = arbitrary;
    changed.table[2][plain[0]] ^= 0x80000000u;
    changed.table[2][17] ^= 1;
    EncipherUnit(altered, changed);
    EXPECT_NE(unit, altered);
    DecipherUnit(unit, arbitrary);
    EXPECT_EQ(unit, plain);
}

}  // namespace
}  // namespace vdformat
