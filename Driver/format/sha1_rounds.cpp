#include "format/sha1_rounds.h"

#include <bit>

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

}  // namespace vdformat
