// Text at the platform's boundaries: UTF-16 (NT names), UTF-8 (host names, the registry store)
// and the system ANSI code page, Windows-1252.
#include "text/text.h"

namespace hl::text {
namespace {

// Windows-1252 bytes 0x80..0x9F; the five bytes the code page leaves undefined map to
// the C1 control of the same number, as Windows does.
constexpr char16_t kHighControls[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

}  // namespace

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

std::string Utf16ToUtf8(std::u16string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        char32_t c = text[i];
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] < 0xE000) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c < 0xE000) {
            c = 0xFFFD;
        }
        AppendUtf8(out, c);
    }
    return out;
}

std::size_t NextUtf8(std::string_view text, char32_t& c) {
    if (text.empty()) {
        return 0;
    }
    const auto lead = static_cast<unsigned char>(text[0]);
    if (lead < 0x80) {
        c = lead;
        return 1;
    }
    std::size_t extra = 0;
    char32_t value = 0;
    char32_t minimum = 0;
    if (lead >= 0xC2 && lead < 0xE0) {
        extra = 1, value = lead & 0x1F, minimum = 0x80;
    } else if (lead >= 0xE0 && lead < 0xF0) {
        extra = 2, value = lead & 0x0F, minimum = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        extra = 3, value = lead & 0x07, minimum = 0x10000;
    }
    std::size_t k = 1;
    bool good = extra != 0;
    for (; good && k <= extra && k < text.size(); ++k) {
        const auto next = static_cast<unsigned char>(text[k]);
        good = (next & 0xC0) == 0x80;
        value = (value << 6) | (next & 0x3F);
    }
    if (good && k <= extra) {
        // Every byte so far fits; the rest has not come. Overlong and out-of-range leads are
        // told apart only once the sequence is whole.
        return 0;
    }
    if (!good || value < minimum || value > 0x10FFFF || (value >= 0xD800 && value < 0xE000)) {
        c = 0xFFFD;
        return 1;
    }
    c = value;
    return extra + 1;
}

bool IsValidUtf8(std::string_view text) {
    while (!text.empty()) {
        char32_t c = 0;
        const std::size_t length = NextUtf8(text, c);
        if (length == 0 || (length == 1 && c == 0xFFFD)) {
            return false;
        }
        text.remove_prefix(length);
    }
    return true;
}

std::size_t Utf16Length(std::string_view text) {
    std::size_t units = 0;
    while (!text.empty()) {
        char32_t c = 0;
        std::size_t length = NextUtf8(text, c);
        if (length == 0) {
            length = 1;
        }
        units += c >= 0x10000 ? 2 : 1;
        text.remove_prefix(length);
    }
    return units;
}

std::u16string Utf8ToUtf16(std::string_view text) {
    std::u16string out;
    out.reserve(text.size());
    while (!text.empty()) {
        char32_t value = 0;
        std::size_t length = NextUtf8(text, value);
        if (length == 0) {  // a sequence cut short by the end
            value = 0xFFFD;
            length = 1;
        }
        text.remove_prefix(length);
        if (value >= 0x10000) {
            out += static_cast<char16_t>(0xD800 + ((value - 0x10000) >> 10));
            out += static_cast<char16_t>(0xDC00 + ((value - 0x10000) & 0x3FF));
        } else {
            out += static_cast<char16_t>(value);
        }
    }
    return out;
}

char16_t AnsiToUnicode(unsigned char c) {
    return c >= 0x80 && c < 0xA0 ? kHighControls[c - 0x80] : static_cast<char16_t>(c);
}

unsigned char UnicodeToAnsi(char16_t c) {
    unsigned char ansi = '?';
    return UnicodeToAnsi(char32_t{c}, ansi) ? ansi : '?';
}

bool UnicodeToAnsi(char32_t c, unsigned char& ansi) {
    if (c < 0x80 || (c >= 0xA0 && c < 0x100)) {
        ansi = static_cast<unsigned char>(c);
        return true;
    }
    for (unsigned i = 0; i < 32; ++i) {
        if (kHighControls[i] == c) {
            ansi = static_cast<unsigned char>(0x80 + i);
            return true;
        }
    }
    return false;
}

std::string AnsiToUtf8(std::string_view ansi) {
    std::string out;
    out.reserve(ansi.size());
    for (char c : ansi) {
        AppendUtf8(out, AnsiToUnicode(static_cast<unsigned char>(c)));
    }
    return out;
}

std::string Utf8ToAnsi(std::string_view utf8) {
    std::string out;
    out.reserve(utf8.size());
    while (!utf8.empty()) {
        char32_t c = 0;
        std::size_t length = NextUtf8(utf8, c);
        if (length == 0) {
            c = 0xFFFD;
            length = 1;
        }
        utf8.remove_prefix(length);
        unsigned char ansi = '?';
        out += static_cast<char>(UnicodeToAnsi(c, ansi) ? ansi : '?');
    }
    return out;
}

char16_t Upcase(char16_t c) {
    if (c < 0x80) {
        return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - 0x20) : c;
    }
    if ((c >= 0xE0 && c <= 0xFE && c != 0xF7) || (c >= 0x3B1 && c <= 0x3CB && c != 0x3C2) ||
        (c >= 0x430 && c <= 0x44F) || (c >= 0xFF41 && c <= 0xFF5A)) {
        return static_cast<char16_t>(c - 0x20);
    }
    switch (c) {
        case 0xFF:
            return 0x178;
        case 0x3C2:  // final sigma
            return 0x3A3;
        case 0x3AC:
            return 0x386;
        case 0x3AD:
        case 0x3AE:
        case 0x3AF:
            return static_cast<char16_t>(c - 0x25);
        case 0x3CC:
            return 0x38C;
        case 0x3CD:
        case 0x3CE:
            return static_cast<char16_t>(c - 0x3F);
        default:
            break;
    }
    if (c >= 0x450 && c <= 0x45F) {
        return static_cast<char16_t>(c - 0x50);
    }
    if (c >= 0x100 && c <= 0x17F && c != 0x130 && c != 0x131 && c != 0x138 && c != 0x149 &&
        c != 0x17F) {
        const bool pairedOnOdd = (c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E);
        if (pairedOnOdd ? (c % 2 == 0) : (c % 2 == 1)) {
            return static_cast<char16_t>(c - 1);
        }
    }
    return c;
}

std::u16string Upcase(std::u16string_view text) {
    std::u16string out(text);
    for (auto& c : out) {
        c = Upcase(c);
    }
    return out;
}

std::string UpcaseUtf8(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    while (!text.empty()) {
        char32_t c = 0;
        std::size_t length = NextUtf8(text, c);
        if (length == 0 || (length == 1 && c == 0xFFFD)) {
            out += text[0];
            text.remove_prefix(1);
            continue;
        }
        AppendUtf8(out, c < 0x10000 ? Upcase(static_cast<char16_t>(c)) : c);
        text.remove_prefix(length);
    }
    return out;
}

bool EqualsNoCase(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (Upcase(a[i]) != Upcase(b[i])) {
            return false;
        }
    }
    return true;
}

}  // namespace hl::text
