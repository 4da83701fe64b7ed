#include "names.h"

#include "text/text.h"

namespace registry::detail {

// Folding is the platform's one Windows upper-casing, so a name found in a hive is the name the
// kernel and the Win32 calls compare equal; the stored `fold` column depends on it.
bool IsValidUtf8(std::string_view text) {
    return hl::text::IsValidUtf8(text);
}

size_t Utf16Length(std::string_view text) {
    return hl::text::Utf16Length(text);
}

std::string Fold(std::string_view text) {
    return hl::text::UpcaseUtf8(text);
}

bool SameName(std::string_view a, std::string_view b) {
    return Fold(a) == Fold(b);
}

bool IsValidKeyName(std::string_view name) {
    return !name.empty() && name.find('\\') == std::string_view::npos &&
           name.find('\0') == std::string_view::npos && IsValidUtf8(name) &&
           Utf16Length(name) <= kMaxKeyNameLength;
}

bool IsValidValueName(std::string_view name) {
    return name.find('\0') == std::string_view::npos && IsValidUtf8(name) &&
           Utf16Length(name) <= kMaxValueNameLength;
}

bool SplitKeyPath(std::string_view path, Names& names) {
    names.clear();
    if (!path.empty() && path.back() == '\\') {
        path.remove_suffix(1);
    }
    if (path.empty()) {
        return true;
    }
    while (true) {
        const size_t separator = path.find('\\');
        const std::string_view name = path.substr(0, separator);
        if (!IsValidKeyName(name)) {
            return false;
        }
        names.emplace_back(name);
        if (separator == std::string_view::npos) {
            return true;
        }
        path.remove_prefix(separator + 1);
    }
}

}  // namespace registry::detail
