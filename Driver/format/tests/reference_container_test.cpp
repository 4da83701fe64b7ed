// Containers written once by vdtool and committed: any change that breaks the stored format fails
// here at once.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>

#include "format/container_header.h"
#include "format/unit_cipher.h"
#include "format_test_support.h"

namespace vdformat {
namespace {

// The plain content they were filled with: every tenth sector from sector 5 on is all 0xEE, the
// others a pattern of the sector number, the byte offset and a seed.
std::vector<std::uint8_t> PlainSector(std::size_t k, unsigned seed) {
    std::vector<std::uint8_t> sector(kSectorBytes);
    for (std::size_t j = 0; j < kSectorBytes; ++j) {
        sector[j] =
            k % 10 == 5 ? 0xEE : static_cast<std::uint8_t>(k * 131 + j * 7 + (j >> 8) + seed);
    }
    return sector;
}

class FilePort : public ContainerPort {
public:
    explicit FilePort(const std::string& name) {
        std::ifstream in(std::string(VDFORMAT_REFERENCE_DIR) + "/" + name, std::ios::binary);
        bytes.assign(std::istreambuf_iterator<char>(in), {});
    }
    bool ReadAt(std::uint64_t offset, void* buffer, std::size_t length) noexcept override {
        if (offset + length > bytes.size()) {
            return false;
        }
        std::memcpy(buffer, bytes.data() + offset, length);
        return true;
    }
    std::int32_t WriteAt(std::uint64_t, const void*, std::size_t) noexcept override { return -1; }
    std::uint32_t TickCount() noexcept override { return 0; }
    std::vector<std::uint8_t> bytes;
};

struct Reference {
    const char* file;
    const char* password;
    unsigned salt;
    unsigned seed;
    std::size_t sectors;
};

constexpr Reference kReferences[] = {
    {"reference-1.vd", "Harborlock reference 1", 140, 1, 64},
    {"reference-2.vd", "0123456789abcdefghijABCDEFGHIJ!@#$%^&*()", 45, 2, 128},
};

TEST(ReferenceContainer, OpensAndHoldsItsKnownContent) {
    for (const Reference& ref : kReferences) {
        SCOPED_TRACE(ref.file);
        FilePort port(ref.file);
        ASSERT_EQ(port.bytes.size(), kHeaderBytes + ref.sectors * kSectorBytes);
        KeySchedule dataKey;
        const HeaderOutcome outcome = OpenHeader(port, testing::MakeUserKey(ref.password), dataKey);
        ASSERT_EQ(outcome.result, HeaderResult::Ok);
        EXPECT_EQ(outcome.salt, ref.salt);
        for (std::size_t k = 0; k < ref.sectors; ++k) {
            std::vector<std::uint8_t> sector(
                port.bytes.begin() + kHeaderBytes + k * kSectorBytes,
                port.bytes.begin() + kHeaderBytes + (k + 1) * kSectorBytes);
            DecipherUnit(sector, dataKey);
            ASSERT_EQ(sector, PlainSector(k, ref.seed)) << "sector " << k;
        }
        // Equal plain sectors are stored equally.
        EXPECT_TRUE(std::equal(port.bytes.begin() + kHeaderBytes + 5 * kSectorBytes,
                               port.bytes.begin() + kHeaderBytes + 6 * kSectorBytes,
                               port.bytes.begin() + kHeaderBytes + 15 * kSectorBytes));
    }
}

TEST(ReferenceContainer, FormerPasswordNoLongerOpens) {
    FilePort port("reference-2.vd");
    KeySchedule dataKey;
    EXPECT_EQ(OpenHeader(port, testing::MakeUserKey("first password"), dataKey).result,
              HeaderResult::WrongPassword);
}

}  // namespace
}  // namespace vdformat
