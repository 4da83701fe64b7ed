// The 4500-byte key schedule of a VaultDisk and the derivations that produce one.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>

namespace vdformat {

static_assert(std::endian::native == std::endian::little,
              "the container format stores little-endian words and is read in place");

inline constexpr std::size_t kKeyScheduleBytes = 4500;
inline constexpr std::size_t kKeyScheduleWords = kKeyScheduleBytes / 4;  // 1125
inline constexpr std::size_t kWhiteningWords = 61;
inline constexpr std::size_t kTableWords = 256;
inline constexpr std::size_t kSubkeyWords = 40;
inline constexpr std::size_t kUserKeyBytes = 40;
inline constexpr std::size_t kKeyMaterialBytes = kKeyScheduleBytes;
inline constexpr unsigned kSaltCount = 256;

// Whitening W[0..60], the key-dependent g-tables T0..T3 and the Twofish subkeys K0..K39, in the
// order they are stored. The structure is the stored form itself: it is read from and written to
// the container header byte for byte.
struct KeySchedule {
    std::uint32_t whitening[kWhiteningWords];
    std::uint32_t table[4][kTableWords];
    std::uint32_t subkey[kSubkeyWords];

    // Units are enciphered in place through 32-bit words; callers keep them 4-byte aligned.
    std::uint8_t* Bytes() noexcept { return reinterpret_cast<std::uint8_t*>(this); }
    const std::uint8_t* Bytes() const noexcept {
        return reinterpret_cast<const std::uint8_t*>(this);
    }
};
static_assert(sizeof(KeySchedule) == kKeyScheduleBytes);

using UserKey = std::span<const std::uint8_t, kUserKeyBytes>;
using KeyMaterial = std::span<const std::uint8_t, kKeyMaterialBytes>;

// Word i (i >= 1) of the fixed key stream h1, h2, ...; KeyStreamWord(0) is the seed h0.
std::uint32_t KeyStreamWord(unsigned index) noexcept;

// Fills `words` with h1, h2, ... (the first words.size() words after the seed).
void KeyStream(std::span<std::uint32_t> words) noexcept;

// Turns the 4500 bytes of stretched material that `schedule` holds into a key schedule, in place.
void BuildKeySchedule(KeySchedule& schedule) noexcept;

// The 64-byte message block that stretching uses for a salt.
void SaltBlock(unsigned salt, std::uint8_t (&block)[64]) noexcept;

// Stretches 4500 bytes in place under a salt (0..255): 100 passes of SHA1Rounds over each of the
// 225 consecutive 20-byte chunks.
void StretchKey(std::span<std::uint8_t, kKeyScheduleBytes> buffer, unsigned salt) noexcept;

// The schedule that wraps the data key for a user key and a salt.
void PasswordKey(UserKey userKey, unsigned salt, KeySchedule& passwordKey) noexcept;

// The 64-bit check stored beside the wrapped data key.
std::uint64_t HeaderCheck(std::span<const std::uint8_t> plain) noexcept;

inline std::span<std::uint8_t, kKeyScheduleBytes> AsBytes(KeySchedule& schedule) noexcept {
    return std::span<std::uint8_t, kKeyScheduleBytes>(schedule.Bytes(), kKeyScheduleBytes);
}

}  // namespace vdformat
