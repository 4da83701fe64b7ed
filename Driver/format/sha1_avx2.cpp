// SHA1Rounds on 8 chains per register (AVX2). Compiled with AVX2 enabled and called only when
// the processor has it.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>
#pragma GCC diagnostic pop

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "format/kernels.h"

namespace vdformat::detail {
namespace {

constexpr std::size_t kLanes = 8;
constexpr std::size_t kChainWords = 5;
// Registers of chains in flight: enough to hide the latency of each round's additions.
constexpr std::size_t kMaxGroups = 3;

// Kept local: nothing in this file may be an inline function shared with the portable build.
constexpr std::size_t Min(std::size_t a, std::size_t b) {
    return a < b ? a : b;
}

template <int kBits>
inline __m256i RotateLeft(__m256i x) {
    return _mm256_or_si256(_mm256_slli_epi32(x, kBits), _mm256_srli_epi32(x, 32 - kBits));
}

template <unsigned kRound>
inline __m256i RoundFunction(__m256i b, __m256i c, __m256i d) {
    if constexpr (kRound < 20) {
        return _mm256_xor_si256(d, _mm256_and_si256(b, _mm256_xor_si256(c, d)));
    } else if constexpr (kRound >= 40 && kRound < 60) {
        return _mm256_or_si256(_mm256_and_si256(b, c), _mm256_and_si256(d, _mm256_or_si256(b, c)));
    } else {
        return _mm256_xor_si256(_mm256_xor_si256(b, c), d);
    }
}

// One round in the renaming form: the caller rotates the roles of the five words.
template <unsigned kRound>
inline void Round(__m256i a, __m256i& b, __m256i c, __m256i d, __m256i& e, std::uint32_t wk) {
    const __m256i f = RoundFunction<kRound>(b, c, d);
    e = _mm256_add_epi32(_mm256_add_epi32(e, _mm256_set1_epi32(static_cast<int>(wk))),
                         _mm256_add_epi32(f, RotateLeft<5>(a)));
    b = RotateLeft<30>(b);
}

template <unsigned kRound>
inline void FiveRounds(__m256i (&s)[kChainWords], const std::uint32_t* wk) {
    Round<kRound>(s[0], s[1], s[2], s[3], s[4], wk[0]);
    Round<kRound>(s[4], s[0], s[1], s[2], s[3], wk[1]);
    Round<kRound>(s[3], s[4], s[0], s[1], s[2], wk[2]);
    Round<kRound>(s[2], s[3], s[4], s[0], s[1], wk[3]);
    Round<kRound>(s[1], s[2], s[3], s[4], s[0], wk[4]);
}

template <unsigned kFirst, unsigned kGroups>
inline void TwentyRounds(__m256i (&s)[kGroups][kChainWords], const std::uint32_t* wk) {
    for (unsigned t = kFirst; t < kFirst + 20; t += 5) {
        for (auto& group : s) {
            FiveRounds<kFirst>(group, wk + t);
        }
    }
}

// Chains as lanes: word w of chain i at lanes[w][i], padded with zero chains.
struct alignas(32) LaneBlock {
    std::uint32_t lanes[kChainWords][kLanes];
};

inline void Gather(const std::uint8_t* chains, std::size_t count, LaneBlock& block) {
    std::memset(&block, 0, sizeof(block));
    for (std::size_t i = 0; i < count; ++i) {
        std::uint32_t words[kChainWords];
        std::memcpy(words, chains + 20 * i, sizeof(words));
        for (std::size_t w = 0; w < kChainWords; ++w) {
            block.lanes[w][i] = words[w];
        }
    }
}

inline void Scatter(const LaneBlock& block, std::size_t count, std::uint8_t* chains) {
    for (std::size_t i = 0; i < count; ++i) {
        std::uint32_t words[kChainWords];
        for (std::size_t w = 0; w < kChainWords; ++w) {
            words[w] = block.lanes[w][i];
        }
        std::memcpy(chains + 20 * i, words, sizeof(words));
    }
}

// kGroups registers of 8 chains side by side, so that one group's dependent additions overlap
// with the other's.
template <unsigned kGroups>
void RunGroups(LaneBlock (&blocks)[kGroups], const Sha1Schedule& schedule, unsigned steps) {
    __m256i s[kGroups][kChainWords];
    for (unsigned g = 0; g < kGroups; ++g) {
        for (unsigned w = 0; w < kChainWords; ++w) {
            s[g][w] = _mm256_load_si256(reinterpret_cast<const __m256i*>(blocks[g].lanes[w]));
        }
    }
    const std::uint32_t* wk = schedule.wk;
    for (unsigned step = 0; step < steps; ++step) {
        TwentyRounds<0>(s, wk);
        TwentyRounds<20>(s, wk);
        TwentyRounds<40>(s, wk);
        TwentyRounds<60>(s, wk);
    }
    for (unsigned g = 0; g < kGroups; ++g) {
        for (unsigned w = 0; w < kChainWords; ++w) {
            _mm256_store_si256(reinterpret_cast<__m256i*>(blocks[g].lanes[w]), s[g][w]);
        }
    }
}

template <unsigned kGroups>
void RunChains(std::uint8_t* chains, std::size_t count, const Sha1Schedule& schedule,
               unsigned steps) {
    LaneBlock blocks[kGroups];
    std::size_t counts[kGroups];
    for (unsigned g = 0; g < kGroups; ++g) {
        const std::size_t first = Min(count, kLanes * g);
        counts[g] = Min(count - first, kLanes);
        Gather(chains + 20 * first, counts[g], blocks[g]);
    }
    RunGroups(blocks, schedule, steps);
    for (unsigned g = 0; g < kGroups; ++g) {
        Scatter(blocks[g], counts[g], chains + 20 * kLanes * g);
    }
    volatile std::uint8_t* wipe = reinterpret_cast<volatile std::uint8_t*>(blocks);
    for (std::size_t i = 0; i < sizeof(blocks); ++i) {
        wipe[i] = 0;
    }
}

void Run(std::uint8_t* chains, std::size_t count, const Sha1Schedule& schedule,
         unsigned steps) noexcept {
    while (count > 0) {
        const std::size_t groups = Min((count + kLanes - 1) / kLanes, kMaxGroups);
        switch (groups) {
            case 3:
                RunChains<3>(chains, count, schedule, steps);
                break;
            case 2:
                RunChains<2>(chains, count, schedule, steps);
                break;
            case 1:
                RunChains<1>(chains, count, schedule, steps);
                break;
            default:
                break;
        }
        const std::size_t done = Min(count, groups * kLanes);
        count -= done;
        chains += 20 * done;
    }
}

}  // namespace

const Sha1ChainKernel& Avx2Sha1Kernel() noexcept {
    static constexpr Sha1ChainKernel kernel{"avx2-8-lanes", Run};
    return kernel;
}

}  // namespace vdformat::detail
