// The ANSI code page (Windows-1252) and the UTF-16LE that .reg files use for string data.
#include "reg.h"
#include "text/text.h"

namespace reg {

std::vector<BYTE> AnsiToUtf16Le(const std::vector<BYTE>& ansi) {
    std::vector<BYTE> wide;
    for (BYTE c : ansi) {
        const char16_t unit = hl::text::AnsiToUnicode(c);
        wide.push_back(static_cast<BYTE>(unit & 0xFF));
        wide.push_back(static_cast<BYTE>(unit >> 8));
    }
    return wide;
}

std::vector<BYTE> Utf16LeToAnsi(const std::vector<BYTE>& wide) {
    std::vector<BYTE> ansi;
    for (std::size_t i = 0; i + 1 < wide.size(); i += 2) {
        ansi.push_back(
            hl::text::UnicodeToAnsi(static_cast<char16_t>(wide[i] | (wide[i + 1] << 8))));
    }
    return ansi;
}

std::string Utf8ToAnsi(const std::string& utf8) {
    return hl::text::Utf8ToAnsi(utf8);
}

}  // namespace reg
