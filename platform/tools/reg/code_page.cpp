// The ANSI code page (Windows-1252) and the UTF-16LE that .reg files use for string data.
#include "reg.h"

namespace reg {
namespace {

// Windows-1252 bytes 0x80..0x9F; the others are their own code points.
constexpr WCHAR kHigh[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

BYTE FromCodePoint(unsigned long c) {
    if (c < 0x80 || (c >= 0xA0 && c < 0x100)) {
        return static_cast<BYTE>(c);
    }
    for (unsigned i = 0; i < 32; ++i) {
        if (kHigh[i] == c) {
            return static_cast<BYTE>(0x80 + i);
        }
    }
    return '?';
}

}  // namespace

std::vector<BYTE> AnsiToUtf16Le(const std::vector<BYTE>& ansi) {
    std::vector<BYTE> wide;
    for (BYTE c : ansi) {
        const WCHAR unit = (c >= 0x80 && c < 0xA0) ? kHigh[c - 0x80] : c;
        wide.push_back(static_cast<BYTE>(unit & 0xFF));
        wide.push_back(static_cast<BYTE>(unit >> 8));
    }
    return wide;
}

std::vector<BYTE> Utf16LeToAnsi(const std::vector<BYTE>& wide) {
    std::vector<BYTE> ansi;
    for (std::size_t i = 0; i + 1 < wide.size(); i += 2) {
        ansi.push_back(FromCodePoint(wide[i] | (wide[i + 1] << 8)));
    }
    return ansi;
}

std::string Utf8ToAnsi(const std::string& utf8) {
    std::string ansi;
    for (std::size_t i = 0; i < utf8.size();) {
        const auto lead = static_cast<unsigned char>(utf8[i++]);
        const int extra = lead < 0x80    ? 0
                          : lead >= 0xF0 ? 3
                          : lead >= 0xE0 ? 2
                          : lead >= 0xC0 ? 1
                                         : -1;
        if (extra < 0) {
            ansi += '?';
            continue;
        }
        unsigned long c = extra == 0 ? lead : lead & (0x3F >> extra);
        for (int k = 0; k < extra && i < utf8.size(); ++k) {
            c = (c << 6) | (static_cast<unsigned char>(utf8[i++]) & 0x3F);
        }
        ansi += static_cast<char>(FromCodePoint(c));
    }
    return ansi;
}

}  // namespace reg
