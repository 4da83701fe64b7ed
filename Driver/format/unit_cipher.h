// The cipher of one unit: a 4096-byte sector or the 4500-byte key block of a header.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "format/key_schedule.h"

namespace vdformat {

inline constexpr std::size_t kSectorBytes = 4096;

// Both work in place and allocate nothing. A unit must hold at least 32 bytes; words past the
// largest even word count (the last 4 bytes of a 4500-byte unit) are left as they are.
void EncipherUnit(std::span<std::uint8_t> unit, const KeySchedule& schedule) noexcept;
void DecipherUnit(std::span<std::uint8_t> unit, const KeySchedule& schedule) noexcept;

// Every whole sector of a buffer, one after another.
void EncipherSectors(std::span<std::uint8_t> sectors, const KeySchedule& schedule) noexcept;
void DecipherSectors(std::span<std::uint8_t> sectors, const KeySchedule& schedule) noexcept;

}  // namespace vdformat
