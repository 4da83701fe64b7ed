#include "format/sha1_rounds.h"

#include <bit>
#include <cstring>

#include "format/kernels.h"
#include "format/secure_wipe.h"

namespace vdformat {
namespace {

constexpr std::uint32_t kRoundConstant[4] = {0x5A827999, 0x6ED9EBA1, 0x8F1BBCDC, 0xCA62C1D6};

inline std::uint32_t RoundFunction(unsigned round, std::uint32_t b, std::uint32_t c,
                                   std::uint32_t d) {
    if (round < 20) {
        return (b & c) | (~b & d);
    }
    if (round < 40 || round >= 60) {
        return b ^ c ^ d;
    }
    return (b & c) | (b & d) | (c & d);
}

}  // namespace

void ExpandSha1Schedule(const std::uint32_t (&message)[16], Sha1Schedule& schedule) noexcept {
    std::uint32_t w[80];
    for (unsigned t = 0; t < 16; ++t) {
        w[t] = message[t];
    }
    for (unsigned t = 16; t < 80; ++t) {
        w[t] = std::rotl(w[t - 3] ^ w[t - 8] ^ w[t - 14] ^ w[t - 16], 1);
    }
    for (unsigned t = 0; t < 80; ++t) {
        schedule.wk[t] = w[t] + kRoundConstant[t / 20];
    }
}

void SHA1Rounds(std::uint32_t (&state)[5], const Sha1Schedule& schedule) noexcept {
    std::uint32_t a = state[0];
    std::uint32_t b = state[1];
    std::uint32_t c = state[2];
    std::uint32_t d = state[3];
    std::uint32_t e = state[4];
    for (unsigned t = 0; t < 80; ++t) {
        const std::uint32_t temp = std::rotl(a, 5) + RoundFunction(t, b, c, d) + e + schedule.wk[t];
        e = d;
        d = c;
        c = std::rotl(b, 30);
        b = a;
        a = temp;
    }
    state[0] = a;
    state[1] = b;
    state[2] = c;
    state[3] = d;
    state[4] = e;
}

void SHA1Rounds(std::uint32_t (&state)[5], const std::uint32_t (&message)[16]) noexcept {
    Sha1Schedule schedule;
    ExpandSha1Schedule(message, schedule);
    SHA1Rounds(state, schedule);
}

namespace detail {
namespace {

// Chains run side by side so that each round's dependent additions overlap with the others'.
constexpr std::size_t kChainInterleave = 2;
constexpr std::size_t kChainBytes = 20;

using ChainStates = std::uint32_t[kChainInterleave][5];

// One round written so that the five words never move: the caller renames them instead.
template <unsigned kRound>
inline void Round(std::uint32_t a, std::uint32_t& b, std::uint32_t c, std::uint32_t d,
                  std::uint32_t& e, std::uint32_t wk) {
    e += std::rotl(a, 5) + RoundFunction(kRound, b, c, d) + wk;
    b = std::rotl(b, 30);
}

// Five rounds from `kRound` on, after which the words are back in their places.
template <unsigned kRound>
inline void FiveRounds(std::uint32_t (&s)[5], const std::uint32_t* wk) {
    Round<kRound>(s[0], s[1], s[2], s[3], s[4], wk[0]);
    Round<kRound>(s[4], s[0], s[1], s[2], s[3], wk[1]);
    Round<kRound>(s[3], s[4], s[0], s[1], s[2], wk[2]);
    Round<kRound>(s[2], s[3], s[4], s[0], s[1], wk[3]);
    Round<kRound>(s[1], s[2], s[3], s[4], s[0], wk[4]);
}

void RoundsInterleaved(ChainStates& v, const Sha1Schedule& schedule) {
    std::uint32_t a[5];
    std::uint32_t b[5];
    std::memcpy(a, v[0], sizeof(a));
    std::memcpy(b, v[1], sizeof(b));
    const std::uint32_t* wk = schedule.wk;
    for (unsigned t = 0; t < 20; t += 5) {
        FiveRounds<0>(a, wk + t);
        FiveRounds<0>(b, wk + t);
    }
    for (unsigned t = 20; t < 40; t += 5) {
        FiveRounds<20>(a, wk + t);
        FiveRounds<20>(b, wk + t);
    }
    for (unsigned t = 40; t < 60; t += 5) {
        FiveRounds<40>(a, wk + t);
        FiveRounds<40>(b, wk + t);
    }
    for (unsigned t = 60; t < 80; t += 5) {
        FiveRounds<60>(a, wk + t);
        FiveRounds<60>(b, wk + t);
    }
    std::memcpy(v[0], a, sizeof(a));
    std::memcpy(v[1], b, sizeof(b));
}

void RunPortableChains(std::uint8_t* chains, std::size_t count, const Sha1Schedule& schedule,
                       unsigned steps) noexcept {
    std::size_t i = 0;
    std::uint32_t v[kChainInterleave][5];
    for (; i + kChainInterleave <= count; i += kChainInterleave) {
        std::memcpy(v, chains + kChainBytes * i, sizeof(v));
        for (unsigned step = 0; step < steps; ++step) {
            RoundsInterleaved(v, schedule);
        }
        std::memcpy(chains + kChainBytes * i, v, sizeof(v));
    }
    for (; i < count; ++i) {
        std::memcpy(v[0], chains + kChainBytes * i, kChainBytes);
        for (unsigned step = 0; step < steps; ++step) {
            SHA1Rounds(v[0], schedule);
        }
        std::memcpy(chains + kChainBytes * i, v[0], kChainBytes);
    }
    SecureWipeObject(v);
}

}  // namespace

const Sha1ChainKernel& PortableSha1Kernel() noexcept {
    static constexpr Sha1ChainKernel kernel{"portable", RunPortableChains};
    return kernel;
}

}  // namespace detail
}  // namespace vdformat
