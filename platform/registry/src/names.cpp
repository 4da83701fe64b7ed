#include "names.h"

#include <cstdint>

namespace registry::detail {
namespace {

// Decodes one code point at text[pos]; returns its length in bytes, 0 when malformed.
size_t Decode(std::string_view text, size_t pos, char32_t& cp) {
    const auto byte = [&](size_t i) { return static_cast<uint8_t>(text[pos + i]); };
    const uint8_t lead = byte(0);
    size_t length = 0;
    char32_t minimum = 0;
    if (lead < 0x80) {
        cp = lead;
        return 1;
    } else if ((lead & 0xE0) == 0xC0) {
        length = 2, cp = lead & 0x1F, minimum = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3, cp = lead & 0x0F, minimum = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4, cp = lead & 0x07, minimum = 0x10000;
    } else {
        return 0;
    }
    if (pos + length > text.size()) {
        return 0;
    }
    for (size_t i = 1; i < length; ++i) {
        if ((byte(i) & 0xC0) != 0x80) {
            return 0;
        }
        cp = (cp << 6) | (byte(i) & 0x3F);
    }
    const bool surrogate = cp >= 0xD800 && cp <= 0xDFFF;
    if (cp < minimum || cp > 0x10FFFF || surrogate) {
        return 0;
    }
    return length;
}

void Encode(char32_t cp, std::string& out) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// Lower-case letters whose upper case sits just below them in pairs (Latin Extended-A).
bool InPairBlock(char32_t cp, char32_t first, char32_t last, bool upperIsEven) {
    return cp >= first && cp <= last && ((cp % 2 == 0) != upperIsEven);
}

char32_t Upper(char32_t cp) {
    if (cp >= U'a' && cp <= U'z') {
        return cp - 0x20;
    }
    if (cp < 0x80) {
        return cp;
    }
    if (cp >= 0xE0 && cp <= 0xFE && cp != 0xF7) {  // Latin-1 letters, not the division sign
        return cp - 0x20;
    }
    if (cp == 0xFF) {
        return 0x178;
    }
    if (InPairBlock(cp, 0x100, 0x12F, true) || InPairBlock(cp, 0x132, 0x137, true) ||
        InPairBlock(cp, 0x14A, 0x177, true) || InPairBlock(cp, 0x139, 0x148, false) ||
        InPairBlock(cp, 0x179, 0x17E, false)) {
        return cp - 1;
    }
    if ((cp >= 0x3B1 && cp <= 0x3C1) || (cp >= 0x3C3 && cp <= 0x3CB)) {  // Greek
        return cp - 0x20;
    }
    switch (cp) {
        case 0x3C2:
            return 0x3A3;  // final sigma
        case 0x3AC:
            return 0x386;
        case 0x3AD:
            return 0x388;
        case 0x3AE:
            return 0x389;
        case 0x3AF:
            return 0x38A;
        case 0x3CC:
            return 0x38C;
        case 0x3CD:
            return 0x38E;
        case 0x3CE:
            return 0x38F;
        default:
            break;
    }
    if (cp >= 0x430 && cp <= 0x44F) {  // Cyrillic
        return cp - 0x20;
    }
    if (cp >= 0x450 && cp <= 0x45F) {
        return cp - 0x50;
    }
    if (cp >= 0xFF41 && cp <= 0xFF5A) {  // full-width Latin
        return cp - 0x20;
    }
    return cp;
}

}  // namespace

bool IsValidUtf8(std::string_view text) {
    for (size_t pos = 0; pos < text.size();) {
        char32_t cp = 0;
        const size_t length = Decode(text, pos, cp);
        if (length == 0) {
            return false;
        }
        pos += length;
    }
    return true;
}

size_t Utf16Length(std::string_view text) {
    size_t units = 0;
    for (size_t pos = 0; pos < text.size();) {
        char32_t cp = 0;
        const size_t length = Decode(text, pos, cp);
        if (length == 0) {
            return units + (text.size() - pos);
        }
        units += cp >= 0x10000 ? 2 : 1;
        pos += length;
    }
    return units;
}

std::string Fold(std::string_view text) {
    std::string folded;
    folded.reserve(text.size());
    for (size_t pos = 0; pos < text.size();) {
        char32_t cp = 0;
        const size_t length = Decode(text, pos, cp);
        if (length == 0) {  // callers validate first; keep stray bytes as they are
            folded += text[pos++];
            continue;
        }
        Encode(Upper(cp), folded);
        pos += length;
    }
    return folded;
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
