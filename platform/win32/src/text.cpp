#include <cstdlib>

#include "internal.h"

namespace hl::win32 {
namespace {

// Windows-1252 bytes 0x80..0x9F; the others are their own code points.
constexpr char16_t kHigh[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

char16_t AnsiChar(unsigned char c) {
    return (c >= 0x80 && c < 0xA0) ? kHigh[c - 0x80] : c;
}

char AnsiFromUnicode(char32_t c) {
    if (c < 0x80 || (c >= 0xA0 && c < 0x100)) {
        return static_cast<char>(c);
    }
    for (unsigned i = 0; i < 32; ++i) {
        if (kHigh[i] == c) {
            return static_cast<char>(0x80 + i);
        }
    }
    return '?';
}

void AppendUtf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

// Decodes one UTF-8 sequence at `i`; U+FFFD for a malformed one.
char32_t NextUtf8(std::string_view s, std::size_t& i) {
    const auto lead = static_cast<unsigned char>(s[i++]);
    if (lead < 0x80) {
        return lead;
    }
    const int extra = lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : lead >= 0xC0 ? 1 : -1;
    if (extra < 0 || i + static_cast<std::size_t>(extra) > s.size()) {
        return 0xFFFD;
    }
    char32_t c = lead & (0x3F >> extra);
    for (int k = 0; k < extra; ++k) {
        const auto next = static_cast<unsigned char>(s[i]);
        if ((next & 0xC0) != 0x80) {
            return 0xFFFD;
        }
        c = (c << 6) | (next & 0x3F);
        ++i;
    }
    return c;
}

// Upper case as Windows folds file names, for the characters the ANSI code page reaches.
char32_t Fold(char32_t c) {
    if ((c >= 'a' && c <= 'z') || (c >= 0xE0 && c <= 0xFE && c != 0xF7)) {
        return c - 0x20;
    }
    if (c == 0xFF) {
        return 0x178;
    }
    if (c == 0x161 || c == 0x153 || c == 0x17E) {
        return c - 1;
    }
    return c;
}

}  // namespace

std::string AnsiToUtf8(std::string_view ansi) {
    std::string out;
    out.reserve(ansi.size());
    for (char c : ansi) {
        AppendUtf8(out, AnsiChar(static_cast<unsigned char>(c)));
    }
    return out;
}

std::u16string AnsiToUtf16(std::string_view ansi) {
    std::u16string out;
    out.reserve(ansi.size());
    for (char c : ansi) {
        out += AnsiChar(static_cast<unsigned char>(c));
    }
    return out;
}

std::string Utf16ToAnsi(std::u16string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char16_t c : text) {
        out += AnsiFromUnicode(c);
    }
    return out;
}

std::u16string Utf8ToUtf16(std::string_view text) {
    std::u16string out;
    for (std::size_t i = 0; i < text.size();) {
        const char32_t c = NextUtf8(text, i);
        if (c >= 0x10000) {
            out += static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
            out += static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
        } else {
            out += static_cast<char16_t>(c);
        }
    }
    return out;
}

std::string Utf16ToUtf8(std::u16string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char32_t c = text[i];
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] < 0xE000) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
        }
        AppendUtf8(out, c);
    }
    return out;
}

bool NamesEqual(std::string_view a, std::string_view b) {
    std::size_t i = 0;
    std::size_t j = 0;
    while (i < a.size() && j < b.size()) {
        if (Fold(NextUtf8(a, i)) != Fold(NextUtf8(b, j))) {
            return false;
        }
    }
    return i == a.size() && j == b.size();
}

const std::optional<std::filesystem::path>& SystemRoot() {
    static const std::optional<std::filesystem::path> root =
        []() -> std::optional<std::filesystem::path> {
        const char* value = std::getenv("HARBORLOCK_SYSTEM");
        if (value == nullptr || *value == 0) {
            return std::nullopt;
        }
        return std::filesystem::path(value);
    }();
    return root;
}

}  // namespace hl::win32
