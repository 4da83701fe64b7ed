// Twofish on 16 blocks per register (AVX-512). Compiled with AVX-512, VBMI and GFNI enabled and
// called only when the processor has them.
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

constexpr std::size_t kLanes = 16;
constexpr std::size_t kGroupBytes = 16 * kLanes;

// Byte j of every 32-bit lane.
constexpr __mmask64 BytePosition(unsigned j) {
    return __mmask64{0x1111111111111111ull} << j;
}

constexpr std::uint8_t MdsMultiply(std::uint8_t a, std::uint8_t b) {
    unsigned product = 0;
    unsigned shifted = a;
    for (unsigned bit = 0; bit < 8; ++bit) {
        if (b & (1u << bit)) {
            product ^= shifted;
        }
        shifted <<= 1;
        if (shifted & 0x100) {
            shifted ^= 0x169;  // the MDS field's polynomial
        }
    }
    return static_cast<std::uint8_t>(product);
}

// Multiplication by a constant of the MDS field as a bit matrix for gf2p8affineqb: output bit i
// is the parity of matrix byte 7-i and the input byte.
constexpr long long MultiplyMatrix(std::uint8_t factor) {
    std::uint64_t matrix = 0;
    for (unsigned i = 0; i < 8; ++i) {
        std::uint64_t row = 0;
        for (unsigned j = 0; j < 8; ++j) {
            if ((MdsMultiply(factor, static_cast<std::uint8_t>(1u << j)) >> i) & 1u) {
                row |= 1u << j;
            }
        }
        matrix |= row << (8 * (7 - i));
    }
    return static_cast<long long>(matrix);
}

constexpr long long kTimesEF = MultiplyMatrix(0xEF);
constexpr long long kTimes5B = MultiplyMatrix(0x5B);

// The row at which column j of the MDS matrix holds 1: that byte of T_j[x] is s_j(x) itself.
constexpr unsigned kIdentityRow[4] = {0, 3, 2, 1};

// The MDS matrix times each 32-bit lane's four bytes. Output byte i gathers the products of
// column i+r at byte i+r, for r = 0..3; each such set is one blend, rotated into place.
inline __m512i MdsMultiplyLanes(__m512i s) {
    const __m512i e = _mm512_gf2p8affine_epi64_epi8(s, _mm512_set1_epi64(kTimesEF), 0);
    const __m512i f = _mm512_gf2p8affine_epi64_epi8(s, _mm512_set1_epi64(kTimes5B), 0);
    const __m512i diagonal =
        _mm512_mask_mov_epi8(_mm512_mask_mov_epi8(s, BytePosition(1), e), BytePosition(3), f);
    const __m512i second =
        _mm512_mask_mov_epi8(_mm512_mask_mov_epi8(s, BytePosition(0), e), BytePosition(2), f);
    const __m512i third = _mm512_mask_mov_epi8(f, BytePosition(2), e);
    const __m512i sum = _mm512_ternarylogic_epi32(diagonal, _mm512_ror_epi32(e, 8),
                                                  _mm512_ror_epi32(second, 16), 0x96);
    return _mm512_xor_si512(sum, _mm512_ror_epi32(third, 24));
}

// g through the bare S-boxes: byte j of each lane through s_j with four 128-entry permutes per
// S-box half, then the MDS step.
struct PermuteG {
    __m512i sbox[4][4];

    explicit PermuteG(const CipherContext& context) {
        for (unsigned j = 0; j < 4; ++j) {
            for (unsigned q = 0; q < 4; ++q) {
                sbox[j][q] = _mm512_load_si512(context.sbox[j] + 64 * q);
            }
        }
    }

    __m512i operator()(__m512i x) const {
        const __mmask64 high = _mm512_movepi8_mask(x);
        __m512i s = x;
        // Each permute replaces only bytes not yet replaced, so `s` still holds their inputs.
        for (unsigned j = 0; j < 4; ++j) {
            s = _mm512_mask2_permutex2var_epi8(sbox[j][0], s, BytePosition(j) & ~high, sbox[j][1]);
            s = _mm512_mask2_permutex2var_epi8(sbox[j][2], s, BytePosition(j) & high, sbox[j][3]);
        }
        return MdsMultiplyLanes(s);
    }
};

// g through the stored tables as they are, whatever they hold.
struct GatherG {
    const std::uint32_t (*table)[kTableWords];

    explicit GatherG(const CipherContext& context) : table(context.schedule->table) {}

    __m512i operator()(__m512i x) const {
        const __m512i byteMask = _mm512_set1_epi32(0xFF);
        const __m512i b0 = _mm512_and_si512(x, byteMask);
        const __m512i b1 = _mm512_and_si512(_mm512_srli_epi32(x, 8), byteMask);
        const __m512i b2 = _mm512_and_si512(_mm512_srli_epi32(x, 16), byteMask);
        const __m512i b3 = _mm512_srli_epi32(x, 24);
        const __m512i y = _mm512_ternarylogic_epi32(_mm512_i32gather_epi32(b0, table[0], 4),
                                                    _mm512_i32gather_epi32(b1, table[1], 4),
                                                    _mm512_i32gather_epi32(b2, table[2], 4), 0x96);
        return _mm512_xor_si512(y, _mm512_i32gather_epi32(b3, table[3], 4));
    }
};

// A 4x4 transpose of words inside each 128-bit lane, its own inverse: word w of 16 blocks lands
// in one register, the blocks in a fixed lane order that the second transpose undoes.
inline void Transpose(__m512i (&r)[4]) {
    const __m512i t0 = _mm512_unpacklo_epi32(r[0], r[1]);
    const __m512i t1 = _mm512_unpackhi_epi32(r[0], r[1]);
    const __m512i t2 = _mm512_unpacklo_epi32(r[2], r[3]);
    const __m512i t3 = _mm512_unpackhi_epi32(r[2], r[3]);
    r[0] = _mm512_unpacklo_epi64(t0, t2);
    r[1] = _mm512_unpackhi_epi64(t0, t2);
    r[2] = _mm512_unpacklo_epi64(t1, t3);
    r[3] = _mm512_unpackhi_epi64(t1, t3);
}

inline void LoadGroup(const std::uint8_t* data, __m512i (&r)[4]) {
    for (unsigned i = 0; i < 4; ++i) {
        r[i] = _mm512_loadu_si512(data + 64 * i);
    }
    Transpose(r);
}

inline void StoreGroup(__m512i (&r)[4], std::uint8_t* data) {
    Transpose(r);
    for (unsigned i = 0; i < 4; ++i) {
        _mm512_storeu_si512(data + 64 * i, r[i]);
    }
}

inline __m512i Key(const std::uint32_t* k, unsigned index) {
    return _mm512_set1_epi32(static_cast<int>(k[index]));
}

// kGroups groups of 16 blocks side by side, so one group's permutes fill the others' latency.
template <unsigned kGroups, typename G>
void EncryptGroups(const G& g, const std::uint32_t* k, std::uint8_t* data) {
    __m512i r[kGroups][4];
    for (unsigned n = 0; n < kGroups; ++n) {
        LoadGroup(data + kGroupBytes * n, r[n]);
        for (unsigned w = 0; w < 4; ++w) {
            r[n][w] = _mm512_xor_si512(r[n][w], Key(k, w));
        }
    }
    for (unsigned round = 0; round < 16; round += 2) {
        for (auto& b : r) {
            const __m512i t0 = g(b[0]);
            const __m512i t1 = g(_mm512_rol_epi32(b[1], 8));
            const __m512i sum = _mm512_add_epi32(t0, t1);
            b[2] = _mm512_ror_epi32(
                _mm512_xor_si512(b[2], _mm512_add_epi32(sum, Key(k, 2 * round + 8))), 1);
            b[3] = _mm512_xor_si512(
                _mm512_rol_epi32(b[3], 1),
                _mm512_add_epi32(_mm512_add_epi32(sum, t1), Key(k, 2 * round + 9)));
        }
        for (auto& b : r) {
            const __m512i t0 = g(b[2]);
            const __m512i t1 = g(_mm512_rol_epi32(b[3], 8));
            const __m512i sum = _mm512_add_epi32(t0, t1);
            b[0] = _mm512_ror_epi32(
                _mm512_xor_si512(b[0], _mm512_add_epi32(sum, Key(k, 2 * round + 10))), 1);
            b[1] = _mm512_xor_si512(
                _mm512_rol_epi32(b[1], 1),
                _mm512_add_epi32(_mm512_add_epi32(sum, t1), Key(k, 2 * round + 11)));
        }
    }
    for (unsigned n = 0; n < kGroups; ++n) {
        __m512i out[4] = {
            _mm512_xor_si512(r[n][2], Key(k, 4)), _mm512_xor_si512(r[n][3], Key(k, 5)),
            _mm512_xor_si512(r[n][0], Key(k, 6)), _mm512_xor_si512(r[n][1], Key(k, 7))};
        StoreGroup(out, data + kGroupBytes * n);
    }
}

template <unsigned kGroups, typename G>
void DecryptGroups(const G& g, const std::uint32_t* k, std::uint8_t* data) {
    __m512i r[kGroups][4];
    for (unsigned n = 0; n < kGroups; ++n) {
        __m512i in[4];
        LoadGroup(data + kGroupBytes * n, in);
        r[n][2] = _mm512_xor_si512(in[0], Key(k, 4));
        r[n][3] = _mm512_xor_si512(in[1], Key(k, 5));
        r[n][0] = _mm512_xor_si512(in[2], Key(k, 6));
        r[n][1] = _mm512_xor_si512(in[3], Key(k, 7));
    }
    for (int round = 14; round >= 0; round -= 2) {
        for (auto& b : r) {
            const __m512i t0 = g(b[2]);
            const __m512i t1 = g(_mm512_rol_epi32(b[3], 8));
            const __m512i sum = _mm512_add_epi32(t0, t1);
            b[0] = _mm512_xor_si512(_mm512_rol_epi32(b[0], 1),
                                    _mm512_add_epi32(sum, Key(k, 2 * round + 10)));
            b[1] = _mm512_ror_epi32(
                _mm512_xor_si512(
                    b[1], _mm512_add_epi32(_mm512_add_epi32(sum, t1), Key(k, 2 * round + 11))),
                1);
        }
        for (auto& b : r) {
            const __m512i t0 = g(b[0]);
            const __m512i t1 = g(_mm512_rol_epi32(b[1], 8));
            const __m512i sum = _mm512_add_epi32(t0, t1);
            b[2] = _mm512_xor_si512(_mm512_rol_epi32(b[2], 1),
                                    _mm512_add_epi32(sum, Key(k, 2 * round + 8)));
            b[3] = _mm512_ror_epi32(
                _mm512_xor_si512(
                    b[3], _mm512_add_epi32(_mm512_add_epi32(sum, t1), Key(k, 2 * round + 9))),
                1);
        }
    }
    for (unsigned n = 0; n < kGroups; ++n) {
        for (unsigned w = 0; w < 4; ++w) {
            r[n][w] = _mm512_xor_si512(r[n][w], Key(k, w));
        }
        StoreGroup(r[n], data + kGroupBytes * n);
    }
}

// Pairs of groups while they last, then one group, then the rest through a padded copy.
template <typename G, bool kEncrypt>
void Run(const CipherContext& context, std::uint8_t* blocks, std::size_t count) {
    const G g(context);
    const std::uint32_t* k = context.schedule->subkey;
    auto groups = [&](auto groupCount, std::uint8_t* data) {
        if constexpr (kEncrypt) {
            EncryptGroups<decltype(groupCount)::value>(g, k, data);
        } else {
            DecryptGroups<decltype(groupCount)::value>(g, k, data);
        }
    };
    for (; count >= 2 * kLanes; count -= 2 * kLanes, blocks += 2 * kGroupBytes) {
        groups(std::integral_constant<unsigned, 2>{}, blocks);
    }
    if (count >= kLanes) {
        groups(std::integral_constant<unsigned, 1>{}, blocks);
        count -= kLanes;
        blocks += kGroupBytes;
    }
    if (count > 0) {
        alignas(64) std::uint8_t padded[kGroupBytes] = {};
        std::memcpy(padded, blocks, 16 * count);
        groups(std::integral_constant<unsigned, 1>{}, padded);
        std::memcpy(blocks, padded, 16 * count);
        volatile std::uint8_t* wipe = padded;
        for (std::size_t i = 0; i < sizeof(padded); ++i) {
            wipe[i] = 0;
        }
    }
}

// Reads the S-boxes out of the g-tables and keeps them only when every table word is exactly the
// MDS column times its S-box byte; any other tables go through gathers, as stored.
void Prepare(const KeySchedule& schedule, CipherContext& context) noexcept {
    context.schedule = &schedule;
    __mmask16 mismatch = 0;
    for (unsigned j = 0; j < 4; ++j) {
        for (unsigned x = 0; x < kTableWords; x += 16) {
            const __m512i words = _mm512_loadu_si512(schedule.table[j] + x);
            const __m512i s = _mm512_and_si512(_mm512_srli_epi32(words, 8 * kIdentityRow[j]),
                                               _mm512_set1_epi32(0xFF));
            const __m512i expected = MdsMultiplyLanes(_mm512_slli_epi32(s, 8 * j));
            mismatch |= _mm512_cmpneq_epi32_mask(words, expected);
            _mm_store_si128(reinterpret_cast<__m128i*>(context.sbox[j] + x),
                            _mm512_cvtepi32_epi8(s));
        }
    }
    context.sboxesMatchTables = mismatch == 0;
}

void Encrypt(const CipherContext& context, std::uint8_t* blocks, std::size_t count) noexcept {
    if (context.sboxesMatchTables) {
        Run<PermuteG, true>(context, blocks, count);
    } else {
        Run<GatherG, true>(context, blocks, count);
    }
}

void Decrypt(const CipherContext& context, std::uint8_t* blocks, std::size_t count) noexcept {
    if (context.sboxesMatchTables) {
        Run<PermuteG, false>(context, blocks, count);
    } else {
        Run<GatherG, false>(context, blocks, count);
    }
}

}  // namespace

const BlockCipherKernel& Avx512CipherKernel() noexcept {
    static constexpr BlockCipherKernel kernel{"avx512-vbmi-gfni", 2 * kLanes, Prepare, Encrypt,
                                              Decrypt};
    return kernel;
}

}  // namespace vdformat::detail
