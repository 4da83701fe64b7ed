#define OPENSSL_SUPPRESS_DEPRECATED
#include "format/sha1_rounds.h"

#include <gtest/gtest.h>
#include <openssl/sha.h>

#include <random>

#include "format_test_support.h"

namespace vdformat {
namespace {

// OpenSSL's compression, related exactly to SHA1Rounds: OpenSSL reads message words big-endian
// and adds the input state back at the end; SHA1Rounds does neither.
void ReferenceRounds(std::uint32_t (&state)[5], const std::uint32_t (&message)[16]) {
    SHA_CTX context{};
    context.h0 = state[0];
    context.h1 = state[1];
    context.h2 = state[2];
    context.h3 = state[3];
    context.h4 = state[4];
    std::uint8_t block[64];
    for (int i = 0; i < 16; ++i) {
        for (int b = 0; b < 4; ++b) {
            block[4 * i + b] = static_cast<std::uint8_t>(message[i] >> (24 - 8 * b));
        }
    }
    SHA1_Transform(&context, block);
    state[0] = context.h0 - state[0];
    state[1] = context.h1 - state[1];
    state[2] = context.h2 - state[2];
    state[3] = context.h3 - state[3];
    state[4] = context.h4 - state[4];
}

TEST(SHA1Rounds, EmptyMessageDigestWithFeedForwardAddedBack) {
    // SHA-1("") is one compression of the padded empty block from the standard initial state.
    const std::uint32_t initial[5] = {0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476, 0xC3D2E1F0};
    std::uint32_t state[5];
    std::copy(std::begin(initial), std::end(initial), state);
    std::uint32_t message[16] = {0x80000000};
    SHA1Rounds(state, message);
    const std::uint32_t digest[5] = {0xDA39A3EE, 0x5E6B4B0D, 0x3255BFEF, 0x95601890, 0xAFD80709};
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(state[i] + initial[i], digest[i]) << "word " << i;
    }
}

TEST(SHA1Rounds, MatchesOpenSslCompressionOnRandomInputs) {
    std::mt19937 rng(7);
    for (int trial = 0; trial < 500; ++trial) {
        std::uint32_t message[16];
        std::uint32_t ours[5];
        for (auto& w : message) {
            w = testing::NextWord(rng);
        }
        for (auto& w : ours) {
            w = testing::NextWord(rng);
        }
        std::uint32_t theirs[5];
        std::copy(std::begin(ours), std::end(ours), theirs);
        SHA1Rounds(ours, message);
        ReferenceRounds(theirs, message);
        for (int i = 0; i < 5; ++i) {
            ASSERT_EQ(ours[i], theirs[i]) << "trial " << trial << " word " << i;
        }
    }
}

TEST(SHA1Rounds, PrecomputedScheduleGivesTheSameRounds) {
    std::mt19937 rng(11);
    std::uint32_t message[16];
    for (auto& w : message) {
        w = testing::NextWord(rng);
    }
    Sha1Schedule schedule;
    ExpandSha1Schedule(message, schedule);
    for (int trial = 0; trial < 50; ++trial) {
        std::uint32_t direct[5];
        for (auto& w : direct) {
            w = testing::NextWord(rng);
        }
        std::uint32_t viaSchedule[5];
        std::copy(std::begin(direct), std::end(direct), viaSchedule);
        SHA1Rounds(direct, message);
        SHA1Rounds(viaSchedule, schedule);
        ASSERT_TRUE(std::equal(std::begin(direct), std::end(direct), std::begin(viaSchedule)));
    }
}

}  // namespace
}  // namespace vdformat
