// The 80 rounds of the SHA-1 compression function, on little-endian words, without feed-forward.
#pragma once

#include <cstdint>

namespace vdformat {

// `state` holds the 20-byte chunk as five little-endian words a..e and is replaced by a..e after
// round 80; `message` holds the sixteen little-endian message words of the 64-byte block.
void SHA1Rounds(std::uint32_t (&state)[5], const std::uint32_t (&message)[16]) noexcept;

// The 80-word message schedule expanded once, each word already added to its round constant: the
// form in which a message block is reused for many chains.
struct Sha1Schedule {
    std::uint32_t wk[80];
};
void ExpandSha1Schedule(const std::uint32_t (&message)[16], Sha1Schedule& schedule) noexcept;
void SHA1Rounds(std::uint32_t (&state)[5], const Sha1Schedule& schedule) noexcept;

}  // namespace vdformat
