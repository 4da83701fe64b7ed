// The one rule for the length of a password, kept by every program that takes one: 4 to 40
// characters of the ANSI code page, one byte each in the 40-byte user key. Plain C++, so that host
// tools working on containers keep it too.
#pragma once

#include <cstddef>

inline constexpr std::size_t kMinPasswordLength = 4;
inline constexpr std::size_t kMaxPasswordLength = 40;

inline constexpr bool PasswordLengthAllowed(std::size_t length) {
    return length >= kMinPasswordLength && length <= kMaxPasswordLength;
}
