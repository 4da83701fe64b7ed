// Text at the platform's boundaries: UTF-16 (NT names), UTF-8 (host names and the registry
// store's names) and the system ANSI code page, Windows-1252. One definition for the kernel,
// the Win32 calls and the system's tools.
#pragma once

#include <string>
#include <string_view>

namespace hl::text {

std::string Utf16ToUtf8(std::u16string_view text);
std::u16string Utf8ToUtf16(std::string_view text);  // invalid bytes become U+FFFD
// Decodes the character at the start of `text` into `c` and returns its length in bytes; an
// invalid byte is one U+FFFD of length 1. Returns 0 when `text` is empty or holds only the
// beginning of a valid sequence, whose remaining bytes may still come.
std::size_t NextUtf8(std::string_view text, char32_t& c);
// True when every byte of `text` belongs to a whole, well-formed character.
bool IsValidUtf8(std::string_view text);
// The number of UTF-16 units of valid UTF-8 text.
std::size_t Utf16Length(std::string_view text);
void AppendUtf8(std::string& out, char32_t c);
char16_t AnsiToUnicode(unsigned char c);
// '?' for a character the code page lacks.
unsigned char UnicodeToAnsi(char16_t c);
// False when the code page has no byte for `c`.
bool UnicodeToAnsi(char32_t c, unsigned char& ansi);
std::string AnsiToUtf8(std::string_view ansi);
// Each character the code page lacks, and each invalid byte, becomes '?', as in Windows.
std::string Utf8ToAnsi(std::string_view utf8);
// Upper-cases one unit at a time as Windows does when it compares names (RtlUpcaseUnicodeChar,
// NTFS, the registry): a simple table with no special casing, here ASCII, Latin-1, Latin
// Extended-A, Greek with its accented letters and final sigma, basic Cyrillic, full-width Latin.
char16_t Upcase(char16_t c);
std::u16string Upcase(std::u16string_view text);
// The same for UTF-8 text; bytes that are not part of a valid character are kept as they are.
std::string UpcaseUtf8(std::string_view text);
bool EqualsNoCase(std::u16string_view a, std::u16string_view b);

}  // namespace hl::text
