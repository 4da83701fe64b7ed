// Text at the platform's boundaries: UTF-16 (NT names), UTF-8 (host names and the registry
// store's names) and the system ANSI code page, Windows-1252. One definition for the kernel,
// the Win32 calls and the system's tools.
#pragma once

#include <string>
#include <string_view>

namespace hl::text {

std::string Utf16ToUtf8(std::u16string_view text);
std::u16string Utf8ToUtf16(std::string_view text);  // invalid bytes become U+FFFD
char16_t AnsiToUnicode(unsigned char c);
// '?' for a character the code page lacks.
unsigned char UnicodeToAnsi(char16_t c);
// Upper-cases the way Windows compares names: ASCII, Latin-1, Latin Extended-A, basic Greek and
// Cyrillic, full-width Latin.
char16_t Upcase(char16_t c);
std::u16string Upcase(std::u16string_view text);
bool EqualsNoCase(std::u16string_view a, std::u16string_view b);

}  // namespace hl::text
