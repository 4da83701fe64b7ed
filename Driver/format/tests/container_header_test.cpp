#include "format/container_header.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "format/unit_cipher.h"
#include "format_test_support.h"

namespace vdformat {
namespace {

using testing::MakeUserKey;
using testing::MemoryPort;

std::vector<std::uint8_t> Material(unsigned seed) {
    std::mt19937 rng(seed);
    return testing::RandomBytes(rng, kKeyMaterialBytes);
}

KeyMaterial AsMaterial(const std::vector<std::uint8_t>& bytes) {
    return KeyMaterial(bytes.data(), kKeyMaterialBytes);
}

bool SameSchedule(const KeySchedule& a, const KeySchedule& b) {
    return std::memcmp(&a, &b, sizeof(a)) == 0;
}

class ContainerHeader : public ::testing::Test {
protected:
    // A fresh container with a 1 MiB data area of random stored bytes.
    void SetUp() override {
        std::mt19937 rng(9);
        port.file = testing::RandomBytes(rng, kHeaderBytes + 4 * kSizeGranule);
    }

    KeySchedule Create(std::string_view password, std::uint32_t tick = 0) {
        port.tick = tick;
        KeySchedule dataKey;
        const auto key = MakeUserKey(password);
        const HeaderOutcome outcome = CreateHeader(port, AsMaterial(material), key, dataKey);
        EXPECT_EQ(outcome.result, HeaderResult::Ok);
        EXPECT_EQ(outcome.salt, tick % kHeaderSaltCount);
        return dataKey;
    }

    HeaderOutcome Open(std::string_view password, KeySchedule& deviceKey) {
        const auto key = MakeUserKey(password);
        return OpenHeader(port, key, deviceKey);
    }

    MemoryPort port;
    std::vector<std::uint8_t> material = Material(1);
};

TEST_F(ContainerHeader, CreateThenOpenGivesTheSameDataKey) {
    const std::vector<std::uint8_t> dataArea(port.file.begin() + kHeaderBytes, port.file.end());
    const KeySchedule created = Create("correct horse", 3);
    KeySchedule opened{};
    const HeaderOutcome outcome = Open("correct horse", opened);
    EXPECT_EQ(outcome.result, HeaderResult::Ok);
    EXPECT_EQ(outcome.salt, 3u);
    EXPECT_TRUE(SameSchedule(created, opened));
    // Creation writes the header only, in one write.
    EXPECT_EQ(port.writes, 1);
    EXPECT_TRUE(std::equal(dataArea.begin(), dataArea.end(), port.file.begin() + kHeaderBytes));
}

TEST_F(ContainerHeader, DataKeyIsTheMaterialStretchedUnderTheFixedSalt) {
    const KeySchedule created = Create("pw");
    KeySchedule expected;
    std::memcpy(expected.Bytes(), material.data(), kKeyMaterialBytes);
    StretchKey(AsBytes(expected), kDataKeySalt);
    BuildKeySchedule(expected);
    EXPECT_TRUE(SameSchedule(created, expected));
    // The stored check belongs to the plain data key; K39 is stored in plain.
    std::uint64_t check;
    std::memcpy(&check, port.file.data() + 4500, 8);
    EXPECT_EQ(check, HeaderCheck(std::span(expected.Bytes(), kKeyScheduleBytes)));
    EXPECT_EQ(std::memcmp(port.file.data() + 4496, expected.Bytes() + 4496, 4), 0);
}

TEST_F(ContainerHeader, WrongPasswordFailsAndLeavesTheRawKeyBlock) {
    Create("right");
    KeySchedule deviceKey{};
    EXPECT_EQ(Open("Right", deviceKey).result, HeaderResult::WrongPassword);
    EXPECT_EQ(std::memcmp(deviceKey.Bytes(), port.file.data(), kKeyScheduleBytes), 0);
}

TEST_F(ContainerHeader, TheHundredAndFirstSaltIsTried) {
    // No header is ever written with salt 150, but opening tries it: wrap one by hand.
    KeySchedule dataKey = Create("pw");
    KeySchedule passwordKey;
    PasswordKey(MakeUserKey("pw"), 150, passwordKey);
    std::memcpy(port.file.data(), dataKey.Bytes(), kKeyScheduleBytes);
    EncipherUnit(std::span(port.file.data(), kKeyScheduleBytes), passwordKey);
    KeySchedule opened{};
    const HeaderOutcome outcome = Open("pw", opened);
    EXPECT_EQ(outcome.result, HeaderResult::Ok);
    EXPECT_EQ(outcome.salt, 150u);
    EXPECT_TRUE(SameSchedule(dataKey, opened));
}

TEST_F(ContainerHeader, ChangeRewrapsWithoutTouchingTheData) {
    const KeySchedule dataKey = Create("old", 10);
    const std::vector<std::uint8_t> before = port.file;
    port.tick = 20;
    KeySchedule deviceKey{};
    const auto oldKey = MakeUserKey("old");
    const auto newKey = MakeUserKey("new");
    const HeaderOutcome outcome = ChangeHeader(port, oldKey, newKey, deviceKey);
    ASSERT_EQ(outcome.result, HeaderResult::Ok);
    EXPECT_EQ(outcome.salt, 20u);
    EXPECT_TRUE(SameSchedule(deviceKey, dataKey));
    EXPECT_TRUE(
        std::equal(before.begin() + kHeaderBytes, before.end(), port.file.begin() + kHeaderBytes));
    EXPECT_TRUE(std::equal(before.begin() + 4496, before.begin() + 4500, port.file.begin() + 4496));
    EXPECT_FALSE(std::equal(before.begin(), before.begin() + 4496, port.file.begin()));

    KeySchedule reopened{};
    EXPECT_EQ(Open("new", reopened).result, HeaderResult::Ok);
    EXPECT_TRUE(SameSchedule(reopened, dataKey));
    EXPECT_EQ(Open("old", reopened).result, HeaderResult::WrongPassword);
}

TEST_F(ContainerHeader, ChangeWithAWrongOldPasswordWritesNothing) {
    Create("old");
    const std::vector<std::uint8_t> before = port.file;
    KeySchedule deviceKey{};
    const auto wrong = MakeUserKey("wrong");
    const auto newKey = MakeUserKey("new");
    EXPECT_EQ(ChangeHeader(port, wrong, newKey, deviceKey).result, HeaderResult::WrongPassword);
    EXPECT_EQ(port.file, before);
}

TEST_F(ContainerHeader, UnusedBytesDoNotMatter) {
    const KeySchedule dataKey = Create("pw");
    std::mt19937 rng(12);
    for (std::size_t i = 4508; i < kHeaderBytes; ++i) {
        port.file[i] = static_cast<std::uint8_t>(rng());
    }
    KeySchedule opened{};
    EXPECT_EQ(Open("pw", opened).result, HeaderResult::Ok);
    EXPECT_TRUE(SameSchedule(opened, dataKey));
}

TEST_F(ContainerHeader, FortyCharacterPasswordsUseEveryByte) {
    const std::string full(40, 'x');
    Create(full);
    KeySchedule opened{};
    EXPECT_EQ(Open(full, opened).result, HeaderResult::Ok);
    EXPECT_EQ(Open(full.substr(0, 39), opened).result, HeaderResult::WrongPassword);
}

TEST_F(ContainerHeader, SamePasswordTwiceGivesTwoHeadersThatBothOpen) {
    Create("pw", 1);
    const std::vector<std::uint8_t> first(port.file.begin(), port.file.begin() + kHeaderBytes);
    Create("pw", 2);
    EXPECT_FALSE(std::equal(first.begin(), first.end(), port.file.begin()));
    KeySchedule opened{};
    EXPECT_EQ(Open("pw", opened).result, HeaderResult::Ok);
    std::copy(first.begin(), first.end(), port.file.begin());
    EXPECT_EQ(Open("pw", opened).result, HeaderResult::Ok);
}

TEST_F(ContainerHeader, ShortFileReadsAsAWrongPassword) {
    Create("pw");
    port.file.resize(kHeaderBytes - 1);
    KeySchedule opened{};
    EXPECT_EQ(Open("pw", opened).result, HeaderResult::WrongPassword);
}

TEST_F(ContainerHeader, WriteFailureIsReportedWithTheHostStatus) {
    port.writeStatus = static_cast<std::int32_t>(0xC0000185);
    port.tick = 5;
    KeySchedule deviceKey{};
    const auto key = MakeUserKey("pw");
    const HeaderOutcome outcome = CreateHeader(port, AsMaterial(material), key, deviceKey);
    EXPECT_EQ(outcome.result, HeaderResult::WriteFailed);
    EXPECT_EQ(outcome.writeStatus, static_cast<std::int32_t>(0xC0000185));
    // The device already holds the new data key.
    KeySchedule expected;
    std::memcpy(expected.Bytes(), material.data(), kKeyMaterialBytes);
    StretchKey(AsBytes(expected), kDataKeySalt);
    BuildKeySchedule(expected);
    EXPECT_TRUE(SameSchedule(deviceKey, expected));
}

TEST_F(ContainerHeader, NoWorkingMemoryFailsCleanlyAtEveryAllocation) {
    const KeySchedule dataKey = Create("pw");
    const std::vector<std::uint8_t> before = port.file;
    const auto key = MakeUserKey("pw");
    const auto newKey = MakeUserKey("new");
    KeySchedule untouched;
    std::memset(&untouched, 0x3C, sizeof(untouched));

    for (int failing = 0; failing < 3; ++failing) {
        SCOPED_TRACE(failing);
        KeySchedule deviceKey = untouched;
        port.allocations = 0;
        port.failAllocationAt = failing;
        EXPECT_EQ(CreateHeader(port, AsMaterial(material), key, deviceKey).result,
                  HeaderResult::InsufficientResources);
        port.allocations = 0;
        EXPECT_EQ(OpenHeader(port, key, deviceKey).result, HeaderResult::InsufficientResources);
        EXPECT_TRUE(SameSchedule(deviceKey, untouched));
        EXPECT_EQ(port.file, before);
    }
    // Change allocates three for opening, then two for writing.
    for (int failing = 3; failing < 5; ++failing) {
        KeySchedule deviceKey = untouched;
        port.allocations = 0;
        port.failAllocationAt = failing;
        EXPECT_EQ(ChangeHeader(port, key, newKey, deviceKey).result,
                  HeaderResult::InsufficientResources);
        EXPECT_EQ(port.file, before);
    }
    port.failAllocationAt = -1;
    KeySchedule opened{};
    EXPECT_EQ(Open("pw", opened).result, HeaderResult::Ok);
    EXPECT_TRUE(SameSchedule(opened, dataKey));
}

}  // namespace
}  // namespace vdformat
