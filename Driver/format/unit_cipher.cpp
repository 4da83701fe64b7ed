#include "format/unit_cipher.h"

#include <cstring>

#include "format/twofish.h"

namespace vdformat {
namespace {

constexpr std::size_t kBlockWords = 4;

// Units are byte buffers of the caller's; their words are reached through an alias-safe type.
#if defined(__GNUC__)
using UnitWord = std::uint32_t __attribute__((__may_alias__));
#else
using UnitWord = std::uint32_t;
#endif

inline void Whiten(UnitWord* words, std::size_t wordCount, const KeySchedule& schedule) {
    for (std::size_t i = 0; i < kWhiteningWords; ++i) {
        words[(167 * i) % wordCount] ^= schedule.whitening[i];
    }
}

inline void XorBlock(UnitWord* target, const UnitWord* source) {
    for (std::size_t i = 0; i < kBlockWords; ++i) {
        target[i] ^= source[i];
    }
}

// Word view of a unit: the largest even number of whole words.
struct UnitWords {
    UnitWord* words;
    std::size_t wordCount;
    std::size_t blockCount;
};

inline UnitWords ViewUnit(std::span<std::uint8_t> unit) {
    const std::size_t wordCount = (unit.size() / 4) & ~std::size_t{1};
    return {reinterpret_cast<UnitWord*>(unit.data()), wordCount, wordCount / kBlockWords};
}

}  // namespace

void EncipherUnit(std::span<std::uint8_t> unit, const KeySchedule& schedule) noexcept {
    const UnitWords u = ViewUnit(unit);
    const std::size_t n = u.blockCount;
    Whiten(u.words, u.wordCount, schedule);
    // Step t encrypts block (-1-t) mod N and folds it into block (-t) mod N.
    std::size_t current = n - 1;
    std::size_t next = 0;
    for (std::size_t step = 0; step < 3 * n; ++step) {
        UnitWord* block = u.words + kBlockWords * current;
        TwofishEncryptBlock(schedule, block);
        XorBlock(u.words + kBlockWords * next, block);
        next = current;
        current = (current == 0) ? n - 1 : current - 1;
    }
    Whiten(u.words, u.wordCount, schedule);
}

void DecipherUnit(std::span<std::uint8_t> unit, const KeySchedule& schedule) noexcept {
    const UnitWords u = ViewUnit(unit);
    const std::size_t n = u.blockCount;
    Whiten(u.words, u.wordCount, schedule);
    for (std::size_t step = 0; step < 3 * n; ++step) {
        const std::size_t current = step % n;
        UnitWord* block = u.words + kBlockWords * current;
        XorBlock(u.words + kBlockWords * ((current + 1) % n), block);
        TwofishDecryptBlock(schedule, block);
    }
    Whiten(u.words, u.wordCount, schedule);
}

void EncipherSectors(std::span<std::uint8_t> sectors, const KeySchedule& schedule) noexcept {
    for (std::size_t offset = 0; offset + kSectorBytes <= sectors.size(); offset += kSectorBytes) {
        EncipherUnit(sectors.subspan(offset, kSectorBytes), schedule);
    }
}

void DecipherSectors(std::span<std::uint8_t> sectors, const KeySchedule& schedule) noexcept {
    for (std::size_t offset = 0; offset + kSectorBytes <= sectors.size(); offset += kSectorBytes) {
        DecipherUnit(sectors.subspan(offset, kSectorBytes), schedule);
    }
}

}  // namespace vdformat
