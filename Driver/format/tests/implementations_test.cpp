// Every implementation level this processor supports, against the portable one and the published
// vectors.
#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "format/implementation.h"
#include "format/kernels.h"
#include "format/twofish.h"
#include "format/unit_cipher.h"
#include "format_test_support.h"

namespace vdformat {
namespace {

using detail::BlockCipherKernel;
using detail::CipherContext;

// Restores the process-wide level after each test.
class ImplementationLevel : public ::testing::TestWithParam<Implementation> {
protected:
    void SetUp() override {
        if (!ImplementationSupported(GetParam())) {
            GTEST_SKIP() << ImplementationName(GetParam()) << " is not supported here";
        }
        previous_ = ActiveImplementation();
    }
    void TearDown() override { SelectImplementation(previous_); }

    const BlockCipherKernel& Kernel() const { return detail::CipherKernelFor(GetParam()); }

    // Runs `action` with this test's level selected, then the portable level, and returns both
    // results.
    template <typename Action>
    auto BothLevels(Action action) {
        EXPECT_TRUE(SelectImplementation(GetParam()));
        auto ours = action();
        EXPECT_TRUE(SelectImplementation(Implementation::Portable));
        auto portable = action();
        return std::pair(ours, portable);
    }

private:
    Implementation previous_ = Implementation::Portable;
};

KeySchedule GenuineSchedule(std::mt19937& rng) {
    KeySchedule schedule{};
    std::uint8_t key[32];
    for (auto& b : key) {
        b = static_cast<std::uint8_t>(rng());
    }
    TwofishKeySetup(key, schedule);
    for (auto& w : schedule.whitening) {
        w = testing::NextWord(rng);
    }
    return schedule;
}

KeySchedule ArbitrarySchedule(std::mt19937& rng) {
    KeySchedule schedule;
    for (std::size_t i = 0; i < kKeyScheduleBytes; ++i) {
        schedule.Bytes()[i] = static_cast<std::uint8_t>(rng());
    }
    return schedule;
}

struct BlockVector {
    const char* key;
    const char* plain;
    const char* cipher;
};

constexpr BlockVector kBlockVectors[] = {
    {"0000000000000000000000000000000000000000000000000000000000000000",
     "00000000000000000000000000000000", "57FF739D4DC92C1BD7FC01700CC8216F"},
    {"248A7F3528B168ACFDD1386E3F51E30C2E2158BC3E5FC714C1EEECA0EA696D48",
     "431058F4DBC7F734DA4F02F04CC4F459", "37FE26FF1CF66175F5DDF4C33B97A205"},
    {"0123456789ABCDEFFEDCBA987654321000112233445566778899AABBCCDDEEFF",
     "00000000000000000000000000000000", "37527BE0052334B89F0CFCCAE87CFA20"},
};

// Batch sizes that reach every path of a kernel: pairs of register groups, one group and the
// padded rest.
constexpr std::size_t kBatchSizes[] = {1, 7, 8, 15, 16, 17, 31, 32, 33, 47, 64, 128, 281};

TEST_P(ImplementationLevel, PublishedVectorsInEveryBatchPosition) {
    for (const BlockVector& v : kBlockVectors) {
        KeySchedule schedule{};
        std::uint8_t key[32];
        std::memcpy(key, testing::FromHex(v.key).data(), 32);
        TwofishKeySetup(key, schedule);
        const auto plain = testing::FromHex(v.plain);
        const auto cipher = testing::FromHex(v.cipher);
        CipherContext context;
        Kernel().prepare(schedule, context);
        for (std::size_t count : kBatchSizes) {
            SCOPED_TRACE(::testing::Message() << v.key << " batch " << count);
            std::vector<std::uint8_t> blocks;
            for (std::size_t i = 0; i < count; ++i) {
                blocks.insert(blocks.end(), plain.begin(), plain.end());
            }
            Kernel().encrypt(context, blocks.data(), count);
            for (std::size_t i = 0; i < count; ++i) {
                ASSERT_TRUE(std::equal(cipher.begin(), cipher.end(), blocks.begin() + 16 * i))
                    << "block " << i;
            }
            Kernel().decrypt(context, blocks.data(), count);
            for (std::size_t i = 0; i < count; ++i) {
                ASSERT_TRUE(std::equal(plain.begin(), plain.end(), blocks.begin() + 16 * i))
                    << "block " << i;
            }
        }
    }
}

TEST_P(ImplementationLevel, BlockBatchesMatchPortableOnGenuineAndArbitraryTables) {
    std::mt19937 rng(31);
    for (int trial = 0; trial < 6; ++trial) {
        const KeySchedule schedule = trial % 2 == 0 ? GenuineSchedule(rng) : ArbitrarySchedule(rng);
        CipherContext ours;
        CipherContext portable;
        Kernel().prepare(schedule, ours);
        detail::PortableCipherKernel().prepare(schedule, portable);
        for (std::size_t count : kBatchSizes) {
            const auto input = testing::RandomBytes(rng, 16 * count);
            auto a = input;
            auto b = input;
            Kernel().encrypt(ours, a.data(), count);
            detail::PortableCipherKernel().encrypt(portable, b.data(), count);
            ASSERT_EQ(a, b) << "encrypt, trial " << trial << " batch " << count;
            a = input;
            b = input;
            Kernel().decrypt(ours, a.data(), count);
            detail::PortableCipherKernel().decrypt(portable, b.data(), count);
            ASSERT_EQ(a, b) << "decrypt, trial " << trial << " batch " << count;
        }
    }
}

TEST_P(ImplementationLevel, PermutePathOnlyForTablesThatAreATwofishKeys) {
    std::mt19937 rng(5);
    const KeySchedule genuine = GenuineSchedule(rng);
    CipherContext context;
    Kernel().prepare(genuine, context);
    EXPECT_EQ(context.sboxesMatchTables, GetParam() == Implementation::Avx512);

    // One bit off in any table word rules the S-boxes out: the stored tables are used as stored.
    for (auto [table, index] :
         {std::pair{0, 0}, std::pair{1, 77}, std::pair{2, 128}, std::pair{3, 255}}) {
        KeySchedule altered = genuine;
        altered.table[table][index] ^= 1u << (index % 32);
        Kernel().prepare(altered, context);
        EXPECT_FALSE(context.sboxesMatchTables) << "table " << table << " word " << index;
    }
}

TEST_P(ImplementationLevel, UnitsMatchPortableAndRoundTrip) {
    std::mt19937 rng(8);
    for (std::size_t size : {std::size_t{kSectorBytes}, kKeyScheduleBytes, std::size_t{32},
                             std::size_t{4 * kSectorBytes}}) {
        for (int trial = 0; trial < 4; ++trial) {
            KeySchedule schedule = trial < 2 ? GenuineSchedule(rng) : ArbitrarySchedule(rng);
            if (trial == 1) {
                schedule.table[1][200] ^= 0x10000;  // nearly genuine
            }
            const auto plain = testing::RandomBytes(rng, size);
            auto [ours, portable] = BothLevels([&] {
                auto unit = plain;
                if (size > kSectorBytes) {
                    EncipherSectors(unit, schedule);
                } else {
                    EncipherUnit(unit, schedule);
                }
                return unit;
            });
            ASSERT_EQ(ours, portable) << "size " << size << " trial " << trial;
            SelectImplementation(GetParam());
            if (size > kSectorBytes) {
                DecipherSectors(ours, schedule);
            } else {
                DecipherUnit(ours, schedule);
            }
            ASSERT_EQ(ours, plain) << "size " << size << " trial " << trial;
        }
    }
}

TEST_P(ImplementationLevel, Sha1ChainsMatchPortable) {
    std::mt19937 rng(13);
    std::uint32_t message[16];
    for (auto& w : message) {
        w = testing::NextWord(rng);
    }
    Sha1Schedule schedule;
    ExpandSha1Schedule(message, schedule);
    const auto& kernel = detail::Sha1KernelFor(GetParam());
    for (std::size_t count : {1, 3, 15, 16, 17, 31, 32, 33, 47, 49, 64, 65, 225}) {
        for (unsigned steps : {1u, 4u}) {
            const auto input = testing::RandomBytes(rng, 20 * count);
            auto ours = input;
            kernel.run(ours.data(), count, schedule, steps);
            auto portable = input;
            for (std::size_t c = 0; c < count; ++c) {
                std::uint32_t state[5];
                std::memcpy(state, portable.data() + 20 * c, 20);
                for (unsigned s = 0; s < steps; ++s) {
                    SHA1Rounds(state, schedule);
                }
                std::memcpy(portable.data() + 20 * c, state, 20);
            }
            ASSERT_EQ(ours, portable) << "chains " << count << " steps " << steps;
        }
    }
}

TEST_P(ImplementationLevel, Sha1ChainsGiveTheEmptyMessageDigest) {
    const std::uint32_t initial[5] = {0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476, 0xC3D2E1F0};
    const std::uint32_t digest[5] = {0xDA39A3EE, 0x5E6B4B0D, 0x3255BFEF, 0x95601890, 0xAFD80709};
    std::uint32_t message[16] = {0x80000000};
    Sha1Schedule schedule;
    ExpandSha1Schedule(message, schedule);
    std::uint32_t chains[17][5];
    for (auto& chain : chains) {
        std::memcpy(chain, initial, sizeof(initial));
    }
    detail::Sha1KernelFor(GetParam()).run(reinterpret_cast<std::uint8_t*>(chains), 17, schedule, 1);
    for (const auto& chain : chains) {
        for (int i = 0; i < 5; ++i) {
            ASSERT_EQ(chain[i] + initial[i], digest[i]) << "word " << i;
        }
    }
}

TEST_P(ImplementationLevel, PasswordKeysMatchPortable) {
    const auto userKey = testing::MakeUserKey("correct horse battery staple");
    for (unsigned salt : {0u, 149u, 200u}) {
        auto [ours, portable] = BothLevels([&] {
            KeySchedule key;
            PasswordKey(UserKey(userKey), salt, key);
            return std::vector<std::uint8_t>(key.Bytes(), key.Bytes() + kKeyScheduleBytes);
        });
        ASSERT_EQ(ours, portable) << "salt " << salt;
    }
}

TEST_P(ImplementationLevel, SelectedLevelNamesItsKernels) {
    ASSERT_TRUE(SelectImplementation(GetParam()));
    EXPECT_EQ(ActiveImplementation(), GetParam());
    EXPECT_STREQ(CipherImplementationName(), Kernel().name);
    EXPECT_STREQ(Sha1ImplementationName(), detail::Sha1KernelFor(GetParam()).name);
}

INSTANTIATE_TEST_SUITE_P(EveryLevel, ImplementationLevel, ::testing::ValuesIn(kAllImplementations),
                         [](const ::testing::TestParamInfo<Implementation>& level) {
                             return std::string(ImplementationName(level.param));
                         });

TEST(Implementation, NamesOfTheSwitchRoundTrip) {
    for (Implementation level : kAllImplementations) {
        Implementation parsed = Implementation::Avx512;
        ASSERT_TRUE(ImplementationFromName(ImplementationName(level), parsed));
        EXPECT_EQ(parsed, level);
    }
    Implementation untouched = Implementation::Avx2;
    for (const char* name : {"", "AVX2", "avx", "avx5120", "sse"}) {
        EXPECT_FALSE(ImplementationFromName(name, untouched)) << name;
        EXPECT_EQ(untouched, Implementation::Avx2);
    }
}

TEST(Implementation, PortableIsAlwaysSupportedAndUnsupportedLevelsAreRefused) {
    EXPECT_TRUE(ImplementationSupported(Implementation::Portable));
    const Implementation before = ActiveImplementation();
    for (Implementation level : kAllImplementations) {
        EXPECT_EQ(SelectImplementation(level), ImplementationSupported(level));
        if (!ImplementationSupported(level)) {
            EXPECT_NE(ActiveImplementation(), level);
        }
    }
    SelectImplementation(before);
}

}  // namespace
}  // namespace vdformat
