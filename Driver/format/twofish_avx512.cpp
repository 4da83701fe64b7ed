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

// The round helpers and their short loops must fold into straight code, so that the S-boxes and
// the lanes stay in registers instead of arrays in memory.
#define VDFORMAT_INLINE inline __attribute__((always_inline))
#define VDFORMAT_UNROLL _Pragma("GCC unroll 16")

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
VDFORMAT_INLINE __m512i MdsMultiplyLanes(__m512i s) {
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

// Byte-plane transposes of four registers of 16 lanes. Plane lane q is lane q % 16 of register
// q / 16. Each direction takes two stages of two-register byte permutes.
struct PlaneIndices {
    std::uint8_t pairLow[64];      // bytes 0,1 of every lane of two registers
    std::uint8_t pairHigh[64];     // bytes 2,3
    std::uint8_t planeEven[64];    // byte 0 (or 2) of every lane of two pair registers
    std::uint8_t planeOdd[64];     // byte 1 (or 3)
    std::uint8_t backFirst[64];    // two planes back into pair form, first two registers' lanes
    std::uint8_t backSecond[64];   // the same for the last two registers' lanes
    std::uint8_t wordsFirst[64];   // two pair registers back into the first register's words
    std::uint8_t wordsSecond[64];  // and into the second register's
};

constexpr PlaneIndices MakePlaneIndices() {
    PlaneIndices t{};
    for (unsigned p = 0; p < 64; ++p) {
        const unsigned source = p < 32 ? 0 : 64;
        const unsigned lane = (p % 32) / 2;
        t.pairLow[p] = static_cast<std::uint8_t>(source + 4 * lane + p % 2);
        t.pairHigh[p] = static_cast<std::uint8_t>(source + 4 * lane + p % 2 + 2);
        t.planeEven[p] = static_cast<std::uint8_t>(source + 2 * (p % 32));
        t.planeOdd[p] = static_cast<std::uint8_t>(source + 2 * (p % 32) + 1);
        const unsigned plane = p % 2 == 0 ? 0 : 64;
        t.backFirst[p] = static_cast<std::uint8_t>(plane + p / 2);
        t.backSecond[p] = static_cast<std::uint8_t>(plane + 32 + p / 2);
        const unsigned word = p / 4;
        const unsigned byte = p % 4;
        const unsigned half = byte < 2 ? 0 : 64;
        t.wordsFirst[p] = static_cast<std::uint8_t>(half + 2 * word + byte % 2);
        t.wordsSecond[p] = static_cast<std::uint8_t>(half + 32 + 2 * word + byte % 2);
    }
    return t;
}

alignas(64) constexpr PlaneIndices kPlaneIndices = MakePlaneIndices();

VDFORMAT_INLINE __m512i Index(const std::uint8_t (&index)[64]) {
    return _mm512_load_si512(index);
}

VDFORMAT_INLINE __m512i Pick(__m512i a, const std::uint8_t (&index)[64], __m512i b) {
    return _mm512_permutex2var_epi8(a, Index(index), b);
}

VDFORMAT_INLINE void ToPlanes(const __m512i* x, __m512i (&plane)[4]) {
    const PlaneIndices& t = kPlaneIndices;
    const __m512i low01 = Pick(x[0], t.pairLow, x[1]);
    const __m512i high01 = Pick(x[0], t.pairHigh, x[1]);
    const __m512i low23 = Pick(x[2], t.pairLow, x[3]);
    const __m512i high23 = Pick(x[2], t.pairHigh, x[3]);
    plane[0] = Pick(low01, t.planeEven, low23);
    plane[1] = Pick(low01, t.planeOdd, low23);
    plane[2] = Pick(high01, t.planeEven, high23);
    plane[3] = Pick(high01, t.planeOdd, high23);
}

VDFORMAT_INLINE void FromPlanes(const __m512i (&plane)[4], __m512i* x) {
    const PlaneIndices& t = kPlaneIndices;
    const __m512i low01 = Pick(plane[0], t.backFirst, plane[1]);
    const __m512i high01 = Pick(plane[2], t.backFirst, plane[3]);
    const __m512i low23 = Pick(plane[0], t.backSecond, plane[1]);
    const __m512i high23 = Pick(plane[2], t.backSecond, plane[3]);
    x[0] = Pick(low01, t.wordsFirst, high01);
    x[1] = Pick(low01, t.wordsSecond, high01);
    x[2] = Pick(low23, t.wordsFirst, high23);
    x[3] = Pick(low23, t.wordsSecond, high23);
}

// g through the bare S-boxes, held in registers, then the MDS step: on one register, byte j of each
// lane through s_j with one masked 128-entry permute per S-box half (eight in all); on four
// registers at once, through byte planes.
struct PermuteG {
    __m512i sbox[4][4];

    explicit PermuteG(const CipherContext& context) {
        VDFORMAT_UNROLL
        for (unsigned j = 0; j < 4; ++j) {
            VDFORMAT_UNROLL
            for (unsigned q = 0; q < 4; ++q) {
                sbox[j][q] = _mm512_load_si512(context.sbox[j] + 64 * q);
            }
        }
    }

    VDFORMAT_INLINE __m512i operator()(__m512i x) const {
        const __mmask64 high = _mm512_movepi8_mask(x);
        __m512i s = x;
        // Each permute replaces only bytes not yet replaced, so `s` still holds their inputs.
        VDFORMAT_UNROLL
        for (unsigned j = 0; j < 4; ++j) {
            s = _mm512_mask2_permutex2var_epi8(sbox[j][0], s, BytePosition(j) & ~high, sbox[j][1]);
            s = _mm512_mask2_permutex2var_epi8(sbox[j][2], s, BytePosition(j) & high, sbox[j][3]);
        }
        return MdsMultiplyLanes(s);
    }

    // Four g at once through byte planes: plane j holds byte j of all 64 lanes, so each S-box is
    // one 256-entry lookup over 64 bytes, and the MDS step works plane by plane.
    VDFORMAT_INLINE void Four(const __m512i* x, __m512i* y) const {
        __m512i plane[4];
        ToPlanes(x, plane);
        __m512i e[4];
        __m512i f[4];
        VDFORMAT_UNROLL
        for (unsigned j = 0; j < 4; ++j) {
            const __mmask64 high = _mm512_movepi8_mask(plane[j]);
            __m512i s = _mm512_mask2_permutex2var_epi8(sbox[j][0], plane[j], ~high, sbox[j][1]);
            s = _mm512_mask2_permutex2var_epi8(sbox[j][2], s, high, sbox[j][3]);
            plane[j] = s;
            e[j] = _mm512_gf2p8affine_epi64_epi8(s, _mm512_set1_epi64(kTimesEF), 0);
            f[j] = _mm512_gf2p8affine_epi64_epi8(s, _mm512_set1_epi64(kTimes5B), 0);
        }
        const __m512i* s = plane;
        __m512i out[4] = {
            _mm512_xor_si512(_mm512_ternarylogic_epi32(s[0], e[1], f[2], 0x96), f[3]),
            _mm512_xor_si512(_mm512_ternarylogic_epi32(f[0], e[1], e[2], 0x96), s[3]),
            _mm512_xor_si512(_mm512_ternarylogic_epi32(e[0], f[1], s[2], 0x96), e[3]),
            _mm512_xor_si512(_mm512_ternarylogic_epi32(e[0], s[1], e[2], 0x96), f[3]),
        };
        FromPlanes(out, y);
    }

    template <unsigned kCount>
    VDFORMAT_INLINE void Apply(const __m512i (&x)[kCount], __m512i (&y)[kCount]) const {
        if constexpr (kCount % 4 == 0) {
            VDFORMAT_UNROLL
            for (unsigned i = 0; i < kCount; i += 4) {
                Four(x + i, y + i);
            }
        } else {
            VDFORMAT_UNROLL
            for (unsigned i = 0; i < kCount; ++i) {
                y[i] = (*this)(x[i]);
            }
        }
    }
};

// g through the stored tables as they are, whatever they hold.
struct GatherG {
    const std::uint32_t (*table)[kTableWords];

    explicit GatherG(const CipherContext& context) : table(context.schedule->table) {}

    VDFORMAT_INLINE __m512i operator()(__m512i x) const {
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

    template <unsigned kCount>
    VDFORMAT_INLINE void Apply(const __m512i (&x)[kCount], __m512i (&y)[kCount]) const {
        VDFORMAT_UNROLL
        for (unsigned i = 0; i < kCount; ++i) {
            y[i] = (*this)(x[i]);
        }
    }
};

// A 4x4 transpose of words inside each 128-bit lane, its own inverse: word w of 16 blocks lands
// in one register, the blocks in a fixed lane order that the second transpose undoes.
VDFORMAT_INLINE void Transpose(__m512i (&r)[4]) {
    const __m512i t0 = _mm512_unpacklo_epi32(r[0], r[1]);
    const __m512i t1 = _mm512_unpackhi_epi32(r[0], r[1]);
    const __m512i t2 = _mm512_unpacklo_epi32(r[2], r[3]);
    const __m512i t3 = _mm512_unpackhi_epi32(r[2], r[3]);
    r[0] = _mm512_unpacklo_epi64(t0, t2);
    r[1] = _mm512_unpackhi_epi64(t0, t2);
    r[2] = _mm512_unpacklo_epi64(t1, t3);
    r[3] = _mm512_unpackhi_epi64(t1, t3);
}

VDFORMAT_INLINE void LoadGroup(const std::uint8_t* data, __m512i (&r)[4]) {
    VDFORMAT_UNROLL
    for (unsigned i = 0; i < 4; ++i) {
        r[i] = _mm512_loadu_si512(data + 64 * i);
    }
    Transpose(r);
}

VDFORMAT_INLINE void StoreGroup(__m512i (&r)[4], std::uint8_t* data) {
    Transpose(r);
    VDFORMAT_UNROLL
    for (unsigned i = 0; i < 4; ++i) {
        _mm512_storeu_si512(data + 64 * i, r[i]);
    }
}

VDFORMAT_INLINE __m512i Key(const std::uint32_t* k, unsigned index) {
    return _mm512_set1_epi32(static_cast<int>(k[index]));
}

// t[2n] and t[2n+1] := g(x) and g(y <<< 8) for words x and y of every group n.
template <unsigned kGroups, typename G>
VDFORMAT_INLINE void GPairs(const G& g, const __m512i (&r)[kGroups][4], unsigned x, unsigned y,
                            __m512i (&t)[2 * kGroups]) {
    __m512i in[2 * kGroups];
    VDFORMAT_UNROLL
    for (unsigned n = 0; n < kGroups; ++n) {
        in[2 * n] = r[n][x];
        in[2 * n + 1] = _mm512_rol_epi32(r[n][y], 8);
    }
    g.Apply(in, t);
}

// kGroups groups of 16 blocks side by side, so one group's permutes fill the others' latency.
template <unsigned kGroups, typename G>
void EncryptGroups(const G& g, const std::uint32_t* k, std::uint8_t* data) {
    __m512i r[kGroups][4];
    VDFORMAT_UNROLL
    for (unsigned n = 0; n < kGroups; ++n) {
        LoadGroup(data + kGroupBytes * n, r[n]);
        VDFORMAT_UNROLL
        for (unsigned w = 0; w < 4; ++w) {
            r[n][w] = _mm512_xor_si512(r[n][w], Key(k, w));
        }
    }
    __m512i t[2 * kGroups];
    for (unsigned round = 0; round < 16; round += 2) {
        GPairs(g, r, 0, 1, t);
        VDFORMAT_UNROLL
        for (unsigned n = 0; n < kGroups; ++n) {
            __m512i* b = r[n];
            const __m512i sum = _mm512_add_epi32(t[2 * n], t[2 * n + 1]);
            b[2] = _mm512_ror_epi32(
                _mm512_xor_si512(b[2], _mm512_add_epi32(sum, Key(k, 2 * round + 8))), 1);
            b[3] = _mm512_xor_si512(
                _mm512_rol_epi32(b[3], 1),
                _mm512_add_epi32(_mm512_add_epi32(sum, t[2 * n + 1]), Key(k, 2 * round + 9)));
        }
        GPairs(g, r, 2, 3, t);
        VDFORMAT_UNROLL
        for (unsigned n = 0; n < kGroups; ++n) {
            __m512i* b = r[n];
            const __m512i sum = _mm512_add_epi32(t[2 * n], t[2 * n + 1]);
            b[0] = _mm512_ror_epi32(
                _mm512_xor_si512(b[0], _mm512_add_epi32(sum, Key(k, 2 * round + 10))), 1);
            b[1] = _mm512_xor_si512(
                _mm512_rol_epi32(b[1], 1),
                _mm512_add_epi32(_mm512_add_epi32(sum, t[2 * n + 1]), Key(k, 2 * round + 11)));
        }
    }
    VDFORMAT_UNROLL
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
    VDFORMAT_UNROLL
    for (unsigned n = 0; n < kGroups; ++n) {
        __m512i in[4];
        LoadGroup(data + kGroupBytes * n, in);
        r[n][2] = _mm512_xor_si512(in[0], Key(k, 4));
        r[n][3] = _mm512_xor_si512(in[1], Key(k, 5));
        r[n][0] = _mm512_xor_si512(in[2], Key(k, 6));
        r[n][1] = _mm512_xor_si512(in[3], Key(k, 7));
    }
    __m512i t[2 * kGroups];
    for (int round = 14; round >= 0; round -= 2) {
        GPairs(g, r, 2, 3, t);
        VDFORMAT_UNROLL
        for (unsigned n = 0; n < kGroups; ++n) {
            __m512i* b = r[n];
            const __m512i sum = _mm512_add_epi32(t[2 * n], t[2 * n + 1]);
            b[0] = _mm512_xor_si512(_mm512_rol_epi32(b[0], 1),
                                    _mm512_add_epi32(sum, Key(k, 2 * round + 10)));
            b[1] = _mm512_ror_epi32(
                _mm512_xor_si512(b[1], _mm512_add_epi32(_mm512_add_epi32(sum, t[2 * n + 1]),
                                                        Key(k, 2 * round + 11))),
                1);
        }
        GPairs(g, r, 0, 1, t);
        VDFORMAT_UNROLL
        for (unsigned n = 0; n < kGroups; ++n) {
            __m512i* b = r[n];
            const __m512i sum = _mm512_add_epi32(t[2 * n], t[2 * n + 1]);
            b[2] = _mm512_xor_si512(_mm512_rol_epi32(b[2], 1),
                                    _mm512_add_epi32(sum, Key(k, 2 * round + 8)));
            b[3] = _mm512_ror_epi32(
                _mm512_xor_si512(b[3], _mm512_add_epi32(_mm512_add_epi32(sum, t[2 * n + 1]),
                                                        Key(k, 2 * round + 9))),
                1);
        }
    }
    VDFORMAT_UNROLL
    for (unsigned n = 0; n < kGroups; ++n) {
        VDFORMAT_UNROLL
        for (unsigned w = 0; w < 4; ++w) {
            r[n][w] = _mm512_xor_si512(r[n][w], Key(k, w));
        }
        StoreGroup(r[n], data + kGroupBytes * n);
    }
}

// Eight groups (128 blocks) at a time while they last, enough in flight to cover the latency of
// each round's chain of permutes; then four, two and one; then the rest through a padded copy.
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
    for (; count >= 8 * kLanes; count -= 8 * kLanes, blocks += 8 * kGroupBytes) {
        groups(std::integral_constant<unsigned, 8>{}, blocks);
    }
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
    VDFORMAT_UNROLL
    for (unsigned j = 0; j < 4; ++j) {
        VDFORMAT_UNROLL
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
    static constexpr BlockCipherKernel kernel{"avx512-vbmi-gfni", 8 * kLanes, Prepare, Encrypt,
                                              Decrypt};
    return kernel;
}

}  // namespace vdformat::detail
