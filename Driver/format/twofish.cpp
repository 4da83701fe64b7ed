#include "format/twofish.h"

#include <array>
#include <bit>
#include <cstring>

#include "format/kernels.h"
#include "format/secure_wipe.h"

namespace vdformat {
namespace {

// The 4-bit permutations from which Twofish's fixed byte permutations q0 and q1 are built.
constexpr std::uint8_t kQ0Nibbles[4][16] = {
    {0x8, 0x1, 0x7, 0xD, 0x6, 0xF, 0x3, 0x2, 0x0, 0xB, 0x5, 0x9, 0xE, 0xC, 0xA, 0x4},
    {0xE, 0xC, 0xB, 0x8, 0x1, 0x2, 0x3, 0x5, 0xF, 0x4, 0xA, 0x6, 0x7, 0x0, 0x9, 0xD},
    {0xB, 0xA, 0x5, 0xE, 0x6, 0xD, 0x9, 0x0, 0xC, 0x8, 0xF, 0x3, 0x2, 0x4, 0x7, 0x1},
    {0xD, 0x7, 0xF, 0x4, 0x1, 0x2, 0x6, 0xE, 0x9, 0xB, 0x3, 0x0, 0x8, 0x5, 0xC, 0xA},
};
constexpr std::uint8_t kQ1Nibbles[4][16] = {
    {0x2, 0x8, 0xB, 0xD, 0xF, 0x7, 0x6, 0xE, 0x3, 0x1, 0x9, 0x4, 0x0, 0xA, 0xC, 0x5},
    {0x1, 0xE, 0x2, 0xB, 0x4, 0xC, 0x3, 0x7, 0x6, 0xD, 0xA, 0x5, 0xF, 0x9, 0x0, 0x8},
    {0x4, 0xC, 0x7, 0x5, 0x1, 0x6, 0x9, 0xA, 0x0, 0xE, 0xD, 0x8, 0x2, 0xB, 0x3, 0xF},
    {0xB, 0x9, 0x5, 0x1, 0xC, 0x3, 0xD, 0xE, 0x6, 0x4, 0x7, 0xF, 0x2, 0x0, 0x8, 0xA},
};

constexpr std::uint8_t RotateNibbleRight(std::uint8_t x) {
    return ((x >> 1) | (x << 3)) & 0xF;
}

constexpr std::uint8_t Permute(const std::uint8_t (&t)[4][16], std::uint8_t x) {
    std::uint8_t a = x >> 4;
    std::uint8_t b = x & 0xF;
    for (int stage = 0; stage < 2; ++stage) {
        const std::uint8_t mixedA = a ^ b;
        const std::uint8_t mixedB = (a ^ RotateNibbleRight(b) ^ (a << 3)) & 0xF;
        a = t[2 * stage][mixedA];
        b = t[2 * stage + 1][mixedB];
    }
    return static_cast<std::uint8_t>((b << 4) | a);
}

constexpr std::array<std::uint8_t, 256> MakePermutation(const std::uint8_t (&t)[4][16]) {
    std::array<std::uint8_t, 256> q{};
    for (unsigned x = 0; x < 256; ++x) {
        q[x] = Permute(t, static_cast<std::uint8_t>(x));
    }
    return q;
}

constexpr std::array<std::uint8_t, 256> kQ0 = MakePermutation(kQ0Nibbles);
constexpr std::array<std::uint8_t, 256> kQ1 = MakePermutation(kQ1Nibbles);

// Multiplication in GF(2^8) modulo the given primitive polynomial.
constexpr std::uint8_t GfMultiply(std::uint8_t a, std::uint8_t b, unsigned polynomial) {
    unsigned product = 0;
    unsigned shifted = a;
    for (unsigned bit = 0; bit < 8; ++bit) {
        if (b & (1u << bit)) {
            product ^= shifted;
        }
        shifted <<= 1;
        if (shifted & 0x100) {
            shifted ^= polynomial;
        }
    }
    return static_cast<std::uint8_t>(product);
}

constexpr unsigned kMdsPolynomial = 0x169;  // x^8 + x^6 + x^5 + x^3 + 1
constexpr unsigned kRsPolynomial = 0x14D;   // x^8 + x^6 + x^3 + x^2 + 1

constexpr std::uint8_t kMds[4][4] = {
    {0x01, 0xEF, 0x5B, 0x5B},
    {0x5B, 0xEF, 0xEF, 0x01},
    {0xEF, 0x5B, 0x01, 0xEF},
    {0xEF, 0x01, 0xEF, 0x5B},
};

constexpr std::uint8_t kRs[4][8] = {
    {0x01, 0xA4, 0x55, 0x87, 0x5A, 0x58, 0xDB, 0x9E},
    {0xA4, 0x56, 0x82, 0xF3, 0x1E, 0xC6, 0x68, 0xE5},
    {0x02, 0xA1, 0xFC, 0xC1, 0x47, 0xAE, 0x3D, 0x19},
    {0xA4, 0x55, 0x87, 0x5A, 0x58, 0xDB, 0x9E, 0x03},
};

// Column j of the MDS matrix times a byte, as a little-endian word.
constexpr std::uint32_t ComputeMdsColumn(unsigned column, std::uint8_t value) {
    std::uint32_t word = 0;
    for (unsigned row = 0; row < 4; ++row) {
        word |= std::uint32_t{GfMultiply(kMds[row][column], value, kMdsPolynomial)} << (8 * row);
    }
    return word;
}

using MdsTable = std::array<std::array<std::uint32_t, 256>, 4>;

constexpr MdsTable MakeMdsTable() {
    MdsTable table{};
    for (unsigned column = 0; column < 4; ++column) {
        for (unsigned value = 0; value < 256; ++value) {
            table[column][value] = ComputeMdsColumn(column, static_cast<std::uint8_t>(value));
        }
    }
    return table;
}

// Key setup fills a thousand table words per password candidate: the products are looked up.
constexpr MdsTable kMdsTable = MakeMdsTable();

inline std::uint32_t MdsColumn(unsigned column, std::uint8_t value) {
    return kMdsTable[column][value];
}

constexpr std::uint8_t Byte(std::uint32_t word, unsigned index) {
    return static_cast<std::uint8_t>(word >> (8 * index));
}

// Which permutation each byte position passes through at each stage of h, outermost first: with
// L3, L2, L1, L0, then the final one.
constexpr bool kUsesQ1[5][4] = {
    {true, false, false, true}, {true, true, false, false}, {false, true, false, true},
    {false, false, true, true}, {true, false, true, false},
};

inline const std::array<std::uint8_t, 256>& Q(bool useQ1) {
    return useQ1 ? kQ1 : kQ0;
}

// The key-dependent S-box of byte j: Twofish's h function before its MDS step, for a 256-bit key
// whose list L holds four words.
std::uint8_t KeyedSbox(unsigned j, std::uint8_t x, const std::uint32_t (&list)[4]) {
    std::uint8_t y = x;
    for (unsigned stage = 0; stage < 4; ++stage) {
        y = Q(kUsesQ1[stage][j])[y] ^ Byte(list[3 - stage], j);
    }
    return Q(kUsesQ1[4][j])[y];
}

// The whole S-box of byte j at once, stage by stage: key setup runs once per password candidate.
void KeyedSboxTable(unsigned j, const std::uint32_t (&list)[4], std::uint8_t (&sbox)[256]) {
    for (unsigned x = 0; x < 256; ++x) {
        sbox[x] = static_cast<std::uint8_t>(x);
    }
    for (unsigned stage = 0; stage < 4; ++stage) {
        const auto& q = Q(kUsesQ1[stage][j]);
        const std::uint8_t keyByte = Byte(list[3 - stage], j);
        for (std::uint8_t& value : sbox) {
            value = q[value] ^ keyByte;
        }
    }
    const auto& last = Q(kUsesQ1[4][j]);
    for (std::uint8_t& value : sbox) {
        value = last[value];
    }
}

std::uint32_t H(std::uint32_t x, const std::uint32_t (&list)[4]) {
    std::uint32_t z = 0;
    for (unsigned j = 0; j < 4; ++j) {
        z ^= MdsColumn(j, KeyedSbox(j, Byte(x, j), list));
    }
    return z;
}

// The S-box key word S_i = RS . (m[8i] .. m[8i+7]).
std::uint32_t RsWord(const std::uint8_t* m) {
    std::uint32_t word = 0;
    for (unsigned row = 0; row < 4; ++row) {
        std::uint8_t value = 0;
        for (unsigned column = 0; column < 8; ++column) {
            value ^= GfMultiply(kRs[row][column], m[column], kRsPolynomial);
        }
        word |= std::uint32_t{value} << (8 * row);
    }
    return word;
}

std::uint32_t LoadLittle(const std::uint8_t* p) {
    return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 |
           std::uint32_t{p[3]} << 24;
}

inline std::uint32_t G(const KeySchedule& s, std::uint32_t x) {
    return s.table[0][x & 0xFF] ^ s.table[1][(x >> 8) & 0xFF] ^ s.table[2][(x >> 16) & 0xFF] ^
           s.table[3][x >> 24];
}

}  // namespace

void TwofishKeySetup(const std::uint8_t (&key)[32], KeySchedule& schedule) noexcept {
    std::uint32_t even[4];  // Me = (M0, M2, M4, M6)
    std::uint32_t odd[4];   // Mo = (M1, M3, M5, M7)
    std::uint32_t sboxKey[4];
    for (unsigned i = 0; i < 4; ++i) {
        even[i] = LoadLittle(key + 8 * i);
        odd[i] = LoadLittle(key + 8 * i + 4);
        sboxKey[3 - i] = RsWord(key + 8 * i);  // S is taken in reverse order
    }
    constexpr std::uint32_t kRho = 0x01010101;
    for (std::uint32_t i = 0; i < kSubkeyWords / 2; ++i) {
        const std::uint32_t a = H(2 * i * kRho, even);
        const std::uint32_t b = std::rotl(H((2 * i + 1) * kRho, odd), 8);
        schedule.subkey[2 * i] = a + b;
        schedule.subkey[2 * i + 1] = std::rotl(a + 2 * b, 9);
    }
    std::uint8_t sbox[256];
    for (unsigned j = 0; j < 4; ++j) {
        KeyedSboxTable(j, sboxKey, sbox);
        for (unsigned x = 0; x < 256; ++x) {
            schedule.table[j][x] = MdsColumn(j, sbox[x]);
        }
    }
    SecureWipeObject(sbox);
    SecureWipeObject(even);
    SecureWipeObject(odd);
    SecureWipeObject(sboxKey);
}

void TwofishEncryptBlock(const KeySchedule& s, void* data) noexcept {
    std::uint32_t block[4];
    std::memcpy(block, data, sizeof(block));
    const std::uint32_t* k = s.subkey;
    std::uint32_t r0 = block[0] ^ k[0];
    std::uint32_t r1 = block[1] ^ k[1];
    std::uint32_t r2 = block[2] ^ k[2];
    std::uint32_t r3 = block[3] ^ k[3];
    for (unsigned round = 0; round < 16; round += 2) {
        std::uint32_t t0 = G(s, r0);
        std::uint32_t t1 = G(s, std::rotl(r1, 8));
        r2 = std::rotr(r2 ^ (t0 + t1 + k[2 * round + 8]), 1);
        r3 = std::rotl(r3, 1) ^ (t0 + 2 * t1 + k[2 * round + 9]);
        t0 = G(s, r2);
        t1 = G(s, std::rotl(r3, 8));
        r0 = std::rotr(r0 ^ (t0 + t1 + k[2 * round + 10]), 1);
        r1 = std::rotl(r1, 1) ^ (t0 + 2 * t1 + k[2 * round + 11]);
    }
    block[0] = r2 ^ k[4];
    block[1] = r3 ^ k[5];
    block[2] = r0 ^ k[6];
    block[3] = r1 ^ k[7];
    std::memcpy(data, block, sizeof(block));
}

void TwofishDecryptBlock(const KeySchedule& s, void* data) noexcept {
    std::uint32_t block[4];
    std::memcpy(block, data, sizeof(block));
    const std::uint32_t* k = s.subkey;
    std::uint32_t r2 = block[0] ^ k[4];
    std::uint32_t r3 = block[1] ^ k[5];
    std::uint32_t r0 = block[2] ^ k[6];
    std::uint32_t r1 = block[3] ^ k[7];
    for (int round = 14; round >= 0; round -= 2) {
        std::uint32_t t0 = G(s, r2);
        std::uint32_t t1 = G(s, std::rotl(r3, 8));
        r0 = std::rotl(r0, 1) ^ (t0 + t1 + k[2 * round + 10]);
        r1 = std::rotr(r1 ^ (t0 + 2 * t1 + k[2 * round + 11]), 1);
        t0 = G(s, r0);
        t1 = G(s, std::rotl(r1, 8));
        r2 = std::rotl(r2, 1) ^ (t0 + t1 + k[2 * round + 8]);
        r3 = std::rotr(r3 ^ (t0 + 2 * t1 + k[2 * round + 9]), 1);
    }
    block[0] = r0 ^ k[0];
    block[1] = r1 ^ k[1];
    block[2] = r2 ^ k[2];
    block[3] = r3 ^ k[3];
    std::memcpy(data, block, sizeof(block));
}

namespace detail {
namespace {

// Two blocks at once: their rounds are independent, so the table loads of one block fill the
// latency of the others'.
constexpr std::size_t kInterleave = 2;

void EncryptInterleaved(const KeySchedule& s, std::uint8_t* data) {
    std::uint32_t r[kInterleave][4];
    std::memcpy(r, data, sizeof(r));
    const std::uint32_t* k = s.subkey;
    for (auto& block : r) {
        for (unsigned w = 0; w < 4; ++w) {
            block[w] ^= k[w];
        }
    }
    for (unsigned round = 0; round < 16; round += 2) {
        for (auto& b : r) {
            const std::uint32_t t0 = G(s, b[0]);
            const std::uint32_t t1 = G(s, std::rotl(b[1], 8));
            b[2] = std::rotr(b[2] ^ (t0 + t1 + k[2 * round + 8]), 1);
            b[3] = std::rotl(b[3], 1) ^ (t0 + 2 * t1 + k[2 * round + 9]);
        }
        for (auto& b : r) {
            const std::uint32_t t0 = G(s, b[2]);
            const std::uint32_t t1 = G(s, std::rotl(b[3], 8));
            b[0] = std::rotr(b[0] ^ (t0 + t1 + k[2 * round + 10]), 1);
            b[1] = std::rotl(b[1], 1) ^ (t0 + 2 * t1 + k[2 * round + 11]);
        }
    }
    std::uint32_t out[kInterleave][4];
    for (std::size_t i = 0; i < kInterleave; ++i) {
        out[i][0] = r[i][2] ^ k[4];
        out[i][1] = r[i][3] ^ k[5];
        out[i][2] = r[i][0] ^ k[6];
        out[i][3] = r[i][1] ^ k[7];
    }
    std::memcpy(data, out, sizeof(out));
}

void DecryptInterleaved(const KeySchedule& s, std::uint8_t* data) {
    std::uint32_t in[kInterleave][4];
    std::memcpy(in, data, sizeof(in));
    const std::uint32_t* k = s.subkey;
    std::uint32_t r[kInterleave][4];
    for (std::size_t i = 0; i < kInterleave; ++i) {
        r[i][2] = in[i][0] ^ k[4];
        r[i][3] = in[i][1] ^ k[5];
        r[i][0] = in[i][2] ^ k[6];
        r[i][1] = in[i][3] ^ k[7];
    }
    for (int round = 14; round >= 0; round -= 2) {
        for (auto& b : r) {
            const std::uint32_t t0 = G(s, b[2]);
            const std::uint32_t t1 = G(s, std::rotl(b[3], 8));
            b[0] = std::rotl(b[0], 1) ^ (t0 + t1 + k[2 * round + 10]);
            b[1] = std::rotr(b[1] ^ (t0 + 2 * t1 + k[2 * round + 11]), 1);
        }
        for (auto& b : r) {
            const std::uint32_t t0 = G(s, b[0]);
            const std::uint32_t t1 = G(s, std::rotl(b[1], 8));
            b[2] = std::rotl(b[2], 1) ^ (t0 + t1 + k[2 * round + 8]);
            b[3] = std::rotr(b[3] ^ (t0 + 2 * t1 + k[2 * round + 9]), 1);
        }
    }
    for (auto& block : r) {
        for (unsigned w = 0; w < 4; ++w) {
            block[w] ^= k[w];
        }
    }
    std::memcpy(data, r, sizeof(r));
}

void PreparePortable(const KeySchedule& schedule, CipherContext& context) noexcept {
    context.schedule = &schedule;
    context.sboxesMatchTables = false;
}

void EncryptPortable(const CipherContext& context, std::uint8_t* blocks,
                     std::size_t count) noexcept {
    const KeySchedule& s = *context.schedule;
    std::size_t i = 0;
    for (; i + kInterleave <= count; i += kInterleave) {
        EncryptInterleaved(s, blocks + 16 * i);
    }
    for (; i < count; ++i) {
        TwofishEncryptBlock(s, blocks + 16 * i);
    }
}

void DecryptPortable(const CipherContext& context, std::uint8_t* blocks,
                     std::size_t count) noexcept {
    const KeySchedule& s = *context.schedule;
    std::size_t i = 0;
    for (; i + kInterleave <= count; i += kInterleave) {
        DecryptInterleaved(s, blocks + 16 * i);
    }
    for (; i < count; ++i) {
        TwofishDecryptBlock(s, blocks + 16 * i);
    }
}

}  // namespace

const BlockCipherKernel& PortableCipherKernel() noexcept {
    static constexpr BlockCipherKernel kernel{"portable", kInterleave, PreparePortable,
                                              EncryptPortable, DecryptPortable};
    return kernel;
}

}  // namespace detail
}  // namespace vdformat
