// Which code carries the sector cipher and the key stretching on this processor.
#pragma once

#include <string_view>

namespace vdformat {

// Every level computes the same results; the higher ones use wider vector instructions.
enum class Implementation {
    Portable,  // standard C++ only, always available
    Avx2,      // 8 lanes per register
    Avx512,    // 16 lanes per register, with byte permutes and GF(2^8) affine steps
};

inline constexpr Implementation kAllImplementations[] = {
    Implementation::Portable, Implementation::Avx2, Implementation::Avx512};

bool ImplementationSupported(Implementation implementation) noexcept;

// The level in use: the best this processor supports, unless SelectImplementation chose another.
// The library reads no environment: it runs inside the driver, whose host has none.
Implementation ActiveImplementation() noexcept;

// Switches the level for the whole process (tests and benchmarks compare levels); false, and no
// change, when the processor lacks it.
bool SelectImplementation(Implementation implementation) noexcept;

const char* ImplementationName(Implementation implementation) noexcept;

// The level a name given by ImplementationName stands for; false for any other name.
bool ImplementationFromName(std::string_view name, Implementation& implementation) noexcept;

// What the active level runs for each hot path, for reports.
const char* CipherImplementationName() noexcept;
const char* Sha1ImplementationName() noexcept;

}  // namespace vdformat
