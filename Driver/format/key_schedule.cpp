#include "format/key_schedule.h"

#include <cstring>

#include "format/kernels.h"
#include "format/secure_wipe.h"
#include "format/sha1_rounds.h"
#include "format/twofish.h"

namespace vdformat {
namespace {

constexpr std::uint32_t kKeyStreamSeed = 0x7D2A58C1;
constexpr std::size_t kChunkBytes = 20;
constexpr std::size_t kChunkCount = kKeyScheduleBytes / kChunkBytes;  // 225
constexpr unsigned kStretchPasses = 100;

inline std::uint32_t ByteReversed(std::uint32_t x) {
    return (x >> 24) | ((x >> 8) & 0xFF00u) | ((x << 8) & 0xFF0000u) | (x << 24);
}

inline std::uint32_t NextKeyStreamWord(std::uint32_t previous) {
    const std::uint32_t t = ByteReversed(previous) + 0xD5CAD3B7u;
    return std::rotl(t, static_cast<int>(previous % 32)) * 0x74A18E33u;
}

inline std::uint32_t LoadWord(const std::uint8_t* p) {
    std::uint32_t word;
    std::memcpy(&word, p, sizeof(word));
    return word;
}

inline std::uint64_t LoadQuad(const std::uint8_t* p) {
    std::uint64_t word;
    std::memcpy(&word, p, sizeof(word));
    return word;
}

}  // namespace

std::uint32_t KeyStreamWord(unsigned index) noexcept {
    std::uint32_t h = kKeyStreamSeed;
    for (unsigned i = 1; i <= index; ++i) {
        h = NextKeyStreamWord(h);
    }
    return h;
}

void KeyStream(std::span<std::uint32_t> words) noexcept {
    std::uint32_t h = kKeyStreamSeed;
    for (std::uint32_t& word : words) {
        h = NextKeyStreamWord(h);
        word = h;
    }
}

void BuildKeySchedule(KeySchedule& schedule) noexcept {
    const std::uint8_t* material = schedule.Bytes();
    std::uint32_t whitening[kWhiteningWords];
    std::uint32_t keyWords[8];
    KeyStream(whitening);
    KeyStream(keyWords);  // the same first eight words of the stream
    for (std::size_t i = 0; i < kKeyScheduleWords; ++i) {
        const std::uint32_t m = LoadWord(material + 4 * i);
        whitening[(167 * i) % kWhiteningWords] ^= m;
        keyWords[(167 * i) % 8] ^= m;
    }
    std::uint8_t twofishKey[32];
    std::memcpy(twofishKey, keyWords, sizeof(twofishKey));

    // The material has been read in full; the schedule now replaces it.
    std::memcpy(schedule.whitening, whitening, sizeof(whitening));
    TwofishKeySetup(twofishKey, schedule);

    SecureWipeObject(whitening);
    SecureWipeObject(keyWords);
    SecureWipeObject(twofishKey);
}

void SaltBlock(unsigned salt, std::uint8_t (&block)[64]) noexcept {
    for (unsigned i = 0; i < 64; ++i) {
        block[i] = static_cast<std::uint8_t>(50 * salt + 123 * i - 47);
    }
}

void StretchKey(std::span<std::uint8_t, kKeyScheduleBytes> buffer, unsigned salt) noexcept {
    std::uint8_t block[64];
    SaltBlock(salt, block);
    std::uint32_t message[16];
    std::memcpy(message, block, sizeof(message));
    Sha1Schedule schedule;
    ExpandSha1Schedule(message, schedule);

    const auto saltByte = static_cast<std::uint8_t>(salt);
    for (std::uint8_t& byte : buffer) {
        byte ^= saltByte;
    }
    // Each chunk is its own chain of SHA1Rounds under the one message block: the chains are
    // independent, and a kernel runs many of them at once.
    detail::ActiveSha1Kernel().run(buffer.data(), kChunkCount, schedule, kStretchPasses);
    SecureWipeObject(schedule);
    SecureWipeObject(message);
    SecureWipeObject(block);
}

void PasswordKey(UserKey userKey, unsigned salt, KeySchedule& passwordKey) noexcept {
    auto bytes = AsBytes(passwordKey);
    std::memset(bytes.data(), 0, bytes.size());
    std::memcpy(bytes.data(), userKey.data(), userKey.size());
    StretchKey(bytes, salt);
    BuildKeySchedule(passwordKey);
}

std::uint64_t HeaderCheck(std::span<const std::uint8_t> plain) noexcept {
    std::uint64_t check = 0x1A8BC6788719D891ull;
    for (std::size_t i = 0; i + 8 <= plain.size(); ++i) {
        check += LoadQuad(plain.data() + i) * 0x1A87C19BAA88BB11ull;
    }
    return check;
}

}  // namespace vdformat
