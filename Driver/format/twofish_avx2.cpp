// Twofish on 8 blocks per register (AVX2), g through gathers from the stored tables. Compiled
// with AVX2 enabled and called only when the processor has it.
// GCC 12's intrinsics start some results from a deliberately undefined register, which the
// sanitizer build reports as uninitialised inside the intrinsic headers.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>
#pragma GCC diagnostic pop

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "format/kernels.h"

namespace vdformat::detail {
namespace {

constexpr std::size_t kLanes = 8;
constexpr std::size_t kGroupBytes = 16 * kLanes;

template <int kBits>
inline __m256i RotateLeft(__m256i x) {
    return _mm256_or_si256(_mm256_slli_epi32(x, kBits), _mm256_srli_epi32(x, 32 - kBits));
}

template <int kBits>
inline __m256i RotateRight(__m256i x) {
    return _mm256_or_si256(_mm256_srli_epi32(x, kBits), _mm256_slli_epi32(x, 32 - kBits));
}

struct GatherG {
    const std::uint32_t (*table)[kTableWords];

    __m256i operator()(__m256i x) const {
        const __m256i byteMask = _mm256_set1_epi32(0xFF);
        const auto* t0 = reinterpret_cast<const int*>(table[0]);
        const auto* t1 = reinterpret_cast<const int*>(table[1]);
        const auto* t2 = reinterpret_cast<const int*>(table[2]);
        const auto* t3 = reinterpret_cast<const int*>(table[3]);
        __m256i y = _mm256_i32gather_epi32(t0, _mm256_and_si256(x, byteMask), 4);
        y = _mm256_xor_si256(
            y, _mm256_i32gather_epi32(t1, _mm256_and_si256(_mm256_srli_epi32(x, 8), byteMask), 4));
        y = _mm256_xor_si256(
            y, _mm256_i32gather_epi32(t2, _mm256_and_si256(_mm256_srli_epi32(x, 16), byteMask), 4));
        return _mm256_xor_si256(y, _mm256_i32gather_epi32(t3, _mm256_srli_epi32(x, 24), 4));
    }
};

// A 4x4 transpose of words inside each 128-bit lane, its own inverse.
inline void Transpose(__m256i (&r)[4]) {
    const __m256i t0 = _mm256_unpacklo_epi32(r[0], r[1]);
    const __m256i t1 = _mm256_unpackhi_epi32(r[0], r[1]);
    const __m256i t2 = _mm256_unpacklo_epi32(r[2], r[3]);
    const __m256i t3 = _mm256_unpackhi_epi32(r[2], r[3]);
    r[0] = _mm256_unpacklo_epi64(t0, t2);
    r[1] = _mm256_unpackhi_epi64(t0, t2);
    r[2] = _mm256_unpacklo_epi64(t1, t3);
    r[3] = _mm256_unpackhi_epi64(t1, t3);
}

inline void LoadGroup(const std::uint8_t* data, __m256i (&r)[4]) {
    for (unsigned i = 0; i < 4; ++i) {
        r[i] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(data + 32 * i));
    }
    Transpose(r);
}

inline void StoreGroup(__m256i (&r)[4], std::uint8_t* data) {
    Transpose(r);
    for (unsigned i = 0; i < 4; ++i) {
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(data + 32 * i), r[i]);
    }
}

inline __m256i Key(const std::uint32_t* k, unsigned index) {
    return _mm256_set1_epi32(static_cast<int>(k[index]));
}

template <unsigned kGroups>
void EncryptGroups(const GatherG& g, const std::uint32_t* k, std::uint8_t* data) {
    __m256i r[kGroups][4];
    for (unsigned n = 0; n < kGroups; ++n) {
        LoadGroup(data + kGroupBytes * n, r[n]);
        for (unsigned w = 0; w < 4; ++w) {
            r[n][w] = _mm256_xor_si256(r[n][w], Key(k, w));
        }
    }
    for (unsigned round = 0; round < 16; round += 2) {
        for (auto& b : r) {
            const __m256i t0 = g(b[0]);
            const __m256i t1 = g(RotateLeft<8>(b[1]));
            const __m256i sum = _mm256_add_epi32(t0, t1);
            b[2] = RotateRight<1>(
                _mm256_xor_si256(b[2], _mm256_add_epi32(sum, Key(k, 2 * round + 8))));
            b[3] = _mm256_xor_si256(RotateLeft<1>(b[3]), _mm256_add_epi32(_mm256_add_epi32(sum, t1),
                                                                          Key(k, 2 * round + 9)));
        }
        for (auto& b : r) {
            const __m256i t0 = g(b[2]);
            const __m256i t1 = g(RotateLeft<8>(b[3]));
            const __m256i sum = _mm256_add_epi32(t0, t1);
            b[0] = RotateRight<1>(
                _mm256_xor_si256(b[0], _mm256_add_epi32(sum, Key(k, 2 * round + 10))));
            b[1] = _mm256_xor_si256(RotateLeft<1>(b[1]), _mm256_add_epi32(_mm256_add_epi32(sum, t1),
                                                                          Key(k, 2 * round + 11)));
        }
    }
    for (unsigned n = 0; n < kGroups; ++n) {
        __m256i out[4] = {
            _mm256_xor_si256(r[n][2], Key(k, 4)), _mm256_xor_si256(r[n][3], Key(k, 5)),
            _mm256_xor_si256(r[n][0], Key(k, 6)), _mm256_xor_si256(r[n][1], Key(k, 7))};
        StoreGroup(out, data + kGroupBytes * n);
    }
}

template <unsigned kGroups>
void DecryptGroups(const GatherG& g, const std::uint32_t* k, std::uint8_t* data) {
    __m256i r[kGroups][4];
    for (unsigned n = 0; n < kGroups; ++n) {
        __m256i in[4];
        LoadGroup(data + kGroupBytes * n, in);
        r[n][2] = _mm256_xor_si256(in[0], Key(k, 4));
        r[n][3] = _mm256_xor_si256(in[1], Key(k, 5));
        r[n][0] = _mm256_xor_si256(in[2], Key(k, 6));
        r[n][1] = _mm256_xor_si256(in[3], Key(k, 7));
    }
    for (int round = 14; round >= 0; round -= 2) {
        for (auto& b : r) {
            const __m256i t0 = g(b[2]);
            const __m256i t1 = g(RotateLeft<8>(b[3]));
            const __m256i sum = _mm256_add_epi32(t0, t1);
            b[0] = _mm256_xor_si256(RotateLeft<1>(b[0]),
                                    _mm256_add_epi32(sum, Key(k, 2 * round + 10)));
            b[1] = RotateRight<1>(_mm256_xor_si256(
                b[1], _mm256_add_epi32(_mm256_add_epi32(sum, t1), Key(k, 2 * round + 11))));
        }
        for (auto& b : r) {
            const __m256i t0 = g(b[0]);
            const __m256i t1 = g(RotateLeft<8>(b[1]));
            const __m256i sum = _mm256_add_epi32(t0, t1);
            b[2] =
                _mm256_xor_si256(RotateLeft<1>(b[2]), _mm256_add_epi32(sum, Key(k, 2 * round + 8)));
            b[3] = RotateRight<1>(_mm256_xor_si256(
                b[3], _mm256_add_epi32(_mm256_add_epi32(sum, t1), Key(k, 2 * round + 9))));
        }
    }
    for (unsigned n = 0; n < kGroups; ++n) {
        for (unsigned w = 0; w < 4; ++w) {
            r[n][w] = _mm256_xor_si256(r[n][w], Key(k, w));
        }
        StoreGroup(r[n], data + kGroupBytes * n);
    }
}

template <bool kEncrypt>
void Run(const CipherContext& context, std::uint8_t* blocks, std::size_t count) {
    const GatherG g{context.schedule->table};
    const std::uint32_t* k = context.schedule->subkey;
    auto groups = [&](auto groupCount, std::uint8_t* data) {
        if constexpr (kEncrypt) {
            EncryptGroups<decltype(groupCount)::value>(g, k, data);
        } else {
            DecryptGroups<decltype(groupCount)::value>(g, k, data);
        }
    };
    for (; count >= 4 * kLanes; count -= 4 * kLanes, blocks += 4 * kGroupBytes) {
        groups(std::integral_constant<unsigned, 4>{}, blocks);
    }
    for (; count >= 2 * kLanes; count -= 2 * kLanes, blocks += 2 * kGroupBytes) {
        groups(std::integral_constant<unsigned, 2>{}, blocks);
    }
    if (count >= kLanes) {
        groups(std::integral_constant<unsigned, 1>{}, blocks);
        count -= kLanes;
        blocks += kGroupBytes;
    }
    if (count > 0) {
        alignas(32) std::uint8_t padded[kGroupBytes] = {};
        std::memcpy(padded, blocks, 16 * count);
        groups(std::integral_constant<unsigned, 1>{}, padded);
        std::memcpy(blocks, padded, 16 * count);
        volatile std::uint8_t* wipe = padded;
        for (std::size_t i = 0; i < sizeof(padded); ++i) {
            wipe[i] = 0;
        }
    }
}

void Prepare(const KeySchedule& schedule, CipherContext& context) noexcept {
    context.schedule = &schedule;
    context.sboxesMatchTables = false;
}

void Encrypt(const CipherContext& context, std::uint8_t* blocks, std::size_t count) noexcept {
    Run<true>(context, blocks, count);
}

void Decrypt(const CipherContext& context, std::uint8_t* blocks, std::size_t count) noexcept {
    Run<false>(context, blocks, count);
}

}  // namespace

const BlockCipherKernel& Avx2CipherKernel() noexcept {
    static constexpr BlockCipherKernel kernel{"avx2-gather", 4 * kLanes, Prepare, Encrypt, Decrypt};
    return kernel;
}

}  // namespace vdformat::detail
