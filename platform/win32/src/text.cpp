#include "text/text.h"

#include <cstdlib>

#include "internal.h"

namespace hl::win32 {

std::string AnsiToUtf8(std::string_view ansi) {
    return text::AnsiToUtf8(ansi);
}

std::u16string AnsiToUtf16(std::string_view ansi) {
    std::u16string out;
    out.reserve(ansi.size());
    for (char c : ansi) {
        out += text::AnsiToUnicode(static_cast<unsigned char>(c));
    }
    return out;
}

std::string Utf16ToAnsi(std::u16string_view wide) {
    std::string out;
    out.reserve(wide.size());
    for (char16_t c : wide) {
        out += static_cast<char>(text::UnicodeToAnsi(c));
    }
    return out;
}

std::u16string Utf8ToUtf16(std::string_view utf8) {
    return text::Utf8ToUtf16(utf8);
}

std::string Utf16ToUtf8(std::u16string_view wide) {
    return text::Utf16ToUtf8(wide);
}

bool NamesEqual(std::string_view a, std::string_view b) {
    return text::EqualsNoCase(text::Utf8ToUtf16(a), text::Utf8ToUtf16(b));
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
