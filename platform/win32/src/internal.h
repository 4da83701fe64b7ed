// What the Win32 calls share: the last error, text in the ANSI code page, the system root.
#pragma once

#include <windows.h>

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace hl::win32 {

// Sets the last error and returns FALSE, the usual end of a failing call.
inline BOOL Fail(DWORD error) {
    SetLastError(error);
    return FALSE;
}

DWORD Win32ErrorFromNtStatus(NTSTATUS status);
DWORD Win32ErrorFromErrno(int error);

// Windows-1252 at the API, UTF-8 on the host, UTF-16 in the kernel's names.
std::string AnsiToUtf8(std::string_view ansi);
std::u16string AnsiToUtf16(std::string_view ansi);
std::string Utf16ToAnsi(std::u16string_view text);
std::u16string Utf8ToUtf16(std::string_view text);
std::string Utf16ToUtf8(std::u16string_view text);
// Equal the way Windows compares file names: without regard to case.
bool NamesEqual(std::string_view utf8a, std::string_view utf8b);

// The system root this process belongs to (the environment's HARBORLOCK_SYSTEM), if any.
const std::optional<std::filesystem::path>& SystemRoot();

}  // namespace hl::win32
