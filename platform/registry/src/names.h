// Registry names: UTF-8 checks, Windows-style case folding and key path splitting.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace registry::detail {

inline constexpr size_t kMaxKeyNameLength = 255;           // UTF-16 units per key name
inline constexpr size_t kMaxValueNameLength = 16383;       // UTF-16 units per value name
inline constexpr size_t kMaxValueDataLength = 256u << 20;  // bytes; far above any real use

// The names of a key path below a hive root, outermost first.
using Names = std::vector<std::string>;

bool IsValidUtf8(std::string_view text);
// The number of UTF-16 code units of valid UTF-8 text.
size_t Utf16Length(std::string_view text);
// Upper-cases valid UTF-8 text the way the registry compares names.
std::string Fold(std::string_view text);
bool SameName(std::string_view a, std::string_view b);

bool IsValidKeyName(std::string_view name);
bool IsValidValueName(std::string_view name);
// Splits "A\B\C" into its names; "" is the root, one trailing '\' is accepted.
bool SplitKeyPath(std::string_view path, Names& names);

}  // namespace registry::detail
