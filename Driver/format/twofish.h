// Twofish with a 256-bit key, in full-keying form: the key-dependent g-tables are computed once
// and the block operations read them from a stored key schedule.
#pragma once

#include <cstdint>

#include "format/key_schedule.h"

namespace vdformat {

// Computes the g-tables T0..T3 and the subkeys K0..K39 of a 256-bit key (32 bytes, words
// little-endian) into `schedule`, leaving its whitening words as they are.
void TwofishKeySetup(const std::uint8_t (&key)[32], KeySchedule& schedule) noexcept;

// One 16-byte block in place (four little-endian words); no alignment needed.
void TwofishEncryptBlock(const KeySchedule& schedule, void* block) noexcept;
void TwofishDecryptBlock(const KeySchedule& schedule, void* block) noexcept;

}  // namespace vdformat
