#include "selftest.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "format/container_header.h"
#include "format/sha1_rounds.h"
#include "format/twofish.h"
#include "format/unit_cipher.h"

namespace vdtool {
namespace {

using namespace vdformat;

std::vector<std::uint8_t> FromHex(const char* hex) {
    std::vector<std::uint8_t> bytes;
    for (std::size_t i = 0; hex[i] != 0 && hex[i + 1] != 0; i += 2) {
        bytes.push_back(
            static_cast<std::uint8_t>(std::stoul(std::string(hex + i, 2), nullptr, 16)));
    }
    return bytes;
}

class Checklist {
public:
    void Check(const char* name, bool passed) {
        std::printf("%-52s %s\n", name, passed ? "ok" : "FAILED");
        failures_ += passed ? 0 : 1;
    }
    int failures() const { return failures_; }

private:
    int failures_ = 0;
};

KeySchedule TwofishSchedule(const std::vector<std::uint8_t>& key) {
    KeySchedule schedule{};
    std::uint8_t raw[32];
    std::memcpy(raw, key.data(), sizeof(raw));
    TwofishKeySetup(raw, schedule);
    return schedule;
}

bool TwofishVectors() {
    static constexpr const char* kVectors[][3] = {
        {"0000000000000000000000000000000000000000000000000000000000000000",
         "00000000000000000000000000000000", "57FF739D4DC92C1BD7FC01700CC8216F"},
        {"248A7F3528B168ACFDD1386E3F51E30C2E2158BC3E5FC714C1EEECA0EA696D48",
         "431058F4DBC7F734DA4F02F04CC4F459", "37FE26FF1CF66175F5DDF4C33B97A205"},
        {"0123456789ABCDEFFEDCBA987654321000112233445566778899AABBCCDDEEFF",
         "00000000000000000000000000000000", "37527BE0052334B89F0CFCCAE87CFA20"},
    };
    for (const auto& v : kVectors) {
        const KeySchedule schedule = TwofishSchedule(FromHex(v[0]));
        std::vector<std::uint8_t> block = FromHex(v[1]);
        TwofishEncryptBlock(schedule, block.data());
        if (block != FromHex(v[2])) {
            return false;
        }
        TwofishDecryptBlock(schedule, block.data());
        if (block != FromHex(v[1])) {
            return false;
        }
    }
    return true;
}

bool Sha1EmptyDigest() {
    const std::uint32_t initial[5] = {0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476, 0xC3D2E1F0};
    const std::uint32_t digest[5] = {0xDA39A3EE, 0x5E6B4B0D, 0x3255BFEF, 0x95601890, 0xAFD80709};
    std::uint32_t state[5];
    std::memcpy(state, initial, sizeof(state));
    const std::uint32_t message[16] = {0x80000000};
    SHA1Rounds(state, message);
    for (int i = 0; i < 5; ++i) {
        if (state[i] + initial[i] != digest[i]) {
            return false;
        }
    }
    return true;
}

bool HeaderCheckValues() {
    const std::uint8_t letters[] = {'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h', 'i', 'j'};
    const std::uint8_t zeros[8] = {};
    return HeaderCheck(letters) == 0xFC48850D58136717ull &&
           HeaderCheck(zeros) == 0x1A8BC6788719D891ull;
}

bool DerivationValues() {
    std::uint8_t block[64];
    SaltBlock(0, block);
    std::uint32_t stream[3];
    KeyStream(stream);
    return block[0] == 209 && block[1] == 76 && block[2] == 199 && block[3] == 66 &&
           stream[0] == 0x5BFC86EB && stream[1] == 0x9B216FFE && stream[2] == 0xFD3B8FBC;
}

constexpr std::uint64_t kFrozenSectorCheck = 0x57A428529A5C5293ull;

// A data key from fixed material, for the frozen answers below.
KeySchedule FixedDataKey() {
    KeySchedule key;
    for (std::size_t i = 0; i < kKeyScheduleBytes; ++i) {
        key.Bytes()[i] = static_cast<std::uint8_t>(i * 7 + 3);
    }
    StretchKey(AsBytes(key), kDataKeySalt);
    BuildKeySchedule(key);
    return key;
}

bool FrozenSector(const KeySchedule& key) {
    // Sector bytes 0, 1, 2, ... enciphered under the fixed data key, summed by the header check;
    // frozen when the format was first written, so any change to the format shows here.
    std::vector<std::uint8_t> sector(kSectorBytes);
    for (std::size_t i = 0; i < sector.size(); ++i) {
        sector[i] = static_cast<std::uint8_t>(i);
    }
    EncipherUnit(sector, key);
    return HeaderCheck(sector) == kFrozenSectorCheck;
}

bool UnitRoundTrips(const KeySchedule& key) {
    for (std::size_t length : {kSectorBytes, kKeyScheduleBytes}) {
        std::vector<std::uint8_t> plain(length);
        for (std::size_t i = 0; i < length; ++i) {
            plain[i] = static_cast<std::uint8_t>(i * 13 + length);
        }
        std::vector<std::uint8_t> unit = plain;
        EncipherUnit(unit, key);
        if (unit == plain) {
            return false;
        }
        if (length == kKeyScheduleBytes &&
            !std::equal(unit.end() - 4, unit.end(), plain.end() - 4)) {
            return false;
        }
        DecipherUnit(unit, key);
        if (unit != plain) {
            return false;
        }
    }
    return true;
}

class MemoryPort : public ContainerPort {
public:
    std::vector<std::uint8_t> file = std::vector<std::uint8_t>(kHeaderBytes);
    bool ReadAt(std::uint64_t offset, void* buffer, std::size_t length) noexcept override {
        std::memcpy(buffer, file.data() + offset, length);
        return true;
    }
    std::int32_t WriteAt(std::uint64_t offset, const void* buffer,
                         std::size_t length) noexcept override {
        std::memcpy(file.data() + offset, buffer, length);
        return 0;
    }
    std::uint32_t TickCount() noexcept override { return 152; }  // salt 2
};

bool HeaderLifecycle() {
    MemoryPort port;
    std::uint8_t material[kKeyMaterialBytes];
    for (std::size_t i = 0; i < sizeof(material); ++i) {
        material[i] = static_cast<std::uint8_t>(i ^ 0x5A);
    }
    std::uint8_t right[kUserKeyBytes] = {'s', 'e', 'l', 'f'};
    std::uint8_t other[kUserKeyBytes] = {'t', 'e', 's', 't'};
    KeySchedule created;
    KeySchedule opened;
    const bool made = CreateHeader(port, KeyMaterial(material), UserKey(right), created).result ==
                      HeaderResult::Ok;
    const HeaderOutcome open = OpenHeader(port, UserKey(right), opened);
    const bool wrong =
        OpenHeader(port, UserKey(other), opened).result == HeaderResult::WrongPassword;
    const bool changed =
        ChangeHeader(port, UserKey(right), UserKey(other), opened).result == HeaderResult::Ok;
    const bool reopened = OpenHeader(port, UserKey(other), opened).result == HeaderResult::Ok;
    return made && open.result == HeaderResult::Ok && open.salt == 2 && wrong && changed &&
           reopened && std::memcmp(&created, &opened, sizeof(created)) == 0;
}

}  // namespace

int RunSelfTest() {
    Checklist list;
    list.Check("Twofish-256 published vectors", TwofishVectors());
    list.Check("SHA-1 rounds (empty-message digest)", Sha1EmptyDigest());
    list.Check("header check values", HeaderCheckValues());
    list.Check("salt block and key stream", DerivationValues());
    const KeySchedule key = FixedDataKey();
    list.Check("sector cipher frozen answer", FrozenSector(key));
    list.Check("unit cipher round trips (4096, 4500 bytes)", UnitRoundTrips(key));
    list.Check("header create, open, wrong password, change", HeaderLifecycle());
    if (list.failures() != 0) {
        std::printf("self-test FAILED: %d check(s)\n", list.failures());
        return 1;
    }
    std::printf("self-test passed\n");
    return 0;
}

}  // namespace vdtool
