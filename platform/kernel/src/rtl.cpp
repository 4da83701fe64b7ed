// Counted strings, the Windows-1252 code page, and the formatting helpers of ntstrsafe.h.
#include <ntstrsafe.h>

#include <cstdio>

#include "kernel/text.h"
#include "system.h"

namespace hl::kernel {

namespace {

constexpr ULONG kStringTag = 0x67727453;  // 'Strg'

std::size_t WideLength(PCWSTR text) {
    std::size_t length = 0;
    while (text[length]) {
        ++length;
    }
    return length;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// printf-style formatting into UTF-16 (the W functions) or into UTF-8 (the kernel log)

namespace {

template <class Char>
std::u16string Format(const Char* format, va_list args, bool wide) {
    std::u16string out;
    for (const Char* p = format; *p; ++p) {
        if (*p != '%') {
            out += static_cast<char16_t>(*p);
            continue;
        }
        ++p;
        if (*p == '%') {
            out += u'%';
            continue;
        }
        bool left = false, zero = false, plus = false, space = false;
        for (;; ++p) {
            if (*p == '-') {
                left = true;
            } else if (*p == '0') {
                zero = true;
            } else if (*p == '+') {
                plus = true;
            } else if (*p == ' ') {
                space = true;
            } else if (*p != '#') {
                break;
            }
        }
        int width = 0;
        if (*p == '*') {
            width = va_arg(args, int);
            ++p;
        } else {
            while (*p >= '0' && *p <= '9') {
                width = width * 10 + (*p++ - '0');
            }
        }
        int precision = -1;
        if (*p == '.') {
            ++p;
            precision = 0;
            if (*p == '*') {
                precision = va_arg(args, int);
                ++p;
            } else {
                while (*p >= '0' && *p <= '9') {
                    precision = precision * 10 + (*p++ - '0');
                }
            }
        }
        enum { kInt, kLong64, kSize, kShort, kWideMark, kNarrowMark } size = kInt;
        if (*p == 'h') {
            size = kShort;
            ++p;
            if (*p == 'h') {
                ++p;
            }
        } else if (*p == 'l') {
            ++p;
            if (*p == 'l') {
                size = kLong64;
                ++p;
            } else {
                size = kWideMark;  // 32-bit long as on Windows; "wide" for %lc and %ls
            }
        } else if (*p == 'w') {
            size = kWideMark;
            ++p;
        } else if (*p == 'I') {
            if (p[1] == '6' && p[2] == '4') {
                size = kLong64;
                p += 3;
            } else if (p[1] == '3' && p[2] == '2') {
                p += 3;
            } else {
                size = kSize;
                ++p;
            }
        } else if (*p == 'z' || *p == 'j' || *p == 't') {
            size = *p == 'j' ? kLong64 : kSize;
            ++p;
        }
        std::u16string piece;
        bool numeric = false, negative = false;
        const Char conversion = *p;
        switch (conversion) {
            case 'c':
            case 'C': {
                const bool wideChar = size == kWideMark || (conversion == 'c' ? wide : !wide);
                int c = va_arg(args, int);
                if (size == kShort) {
                    piece += AnsiToUnicode(static_cast<unsigned char>(c));
                } else {
                    piece += wideChar ? static_cast<char16_t>(c)
                                      : AnsiToUnicode(static_cast<unsigned char>(c));
                }
                break;
            }
            case 's':
            case 'S': {
                bool wideText = conversion == 's' ? wide : !wide;
                if (size == kWideMark) {
                    wideText = true;
                } else if (size == kShort) {
                    wideText = false;
                }
                if (wideText) {
                    auto text = va_arg(args, PCWSTR);
                    piece = text ? std::u16string(text, WideLength(text)) : u"(null)";
                } else {
                    auto text = va_arg(args, const char*);
                    if (text) {
                        std::size_t length = std::strlen(text);
                        for (std::size_t i = 0; i < length; ++i) {
                            piece += AnsiToUnicode(static_cast<unsigned char>(text[i]));
                        }
                    } else {
                        piece = u"(null)";
                    }
                }
                if (precision >= 0 && piece.size() > static_cast<std::size_t>(precision)) {
                    piece.resize(static_cast<std::size_t>(precision));
                }
                break;
            }
            case 'Z': {
                if (size == kWideMark) {
                    auto* text = va_arg(args, PCUNICODE_STRING);
                    piece = text ? ToU16(text) : u"(null)";
                } else {
                    auto* text = va_arg(args, PCANSI_STRING);
                    if (text && text->Buffer) {
                        std::u16string converted;
                        for (USHORT i = 0; i < text->Length; ++i) {
                            converted += AnsiToUnicode(static_cast<unsigned char>(text->Buffer[i]));
                        }
                        piece = converted;
                    } else {
                        piece = u"(null)";
                    }
                }
                break;
            }
            case 'd':
            case 'i':
            case 'u':
            case 'x':
            case 'X':
            case 'o':
            case 'p': {
                numeric = true;
                unsigned long long value = 0;
                const bool isSigned = conversion == 'd' || conversion == 'i';
                if (conversion == 'p' || size == kSize) {
                    value = va_arg(args, std::uintptr_t);
                    if (isSigned && static_cast<std::intptr_t>(value) < 0) {
                        negative = true;
                        value = static_cast<unsigned long long>(-static_cast<std::intptr_t>(value));
                    }
                } else if (size == kLong64) {
                    value = va_arg(args, unsigned long long);
                    if (isSigned && static_cast<long long>(value) < 0) {
                        negative = true;
                        value = static_cast<unsigned long long>(-static_cast<long long>(value));
                    }
                } else {
                    unsigned int raw = va_arg(args, unsigned int);
                    if (size == kShort) {
                        raw = isSigned ? static_cast<unsigned int>(static_cast<short>(raw))
                                       : static_cast<unsigned short>(raw);
                    }
                    if (isSigned && static_cast<int>(raw) < 0) {
                        negative = true;
                        value = static_cast<unsigned long long>(
                            -static_cast<long long>(static_cast<int>(raw)));
                    } else {
                        value = raw;
                    }
                }
                const unsigned base = (conversion == 'x' || conversion == 'X' || conversion == 'p')
                                          ? 16
                                      : conversion == 'o' ? 8
                                                          : 10;
                const char* digits = (conversion == 'X' || conversion == 'p') ? "0123456789ABCDEF"
                                                                              : "0123456789abcdef";
                do {
                    piece.insert(piece.begin(), static_cast<char16_t>(digits[value % base]));
                    value /= base;
                } while (value);
                int minimum = conversion == 'p' ? 16 : precision;
                while (minimum > 0 && piece.size() < static_cast<std::size_t>(minimum)) {
                    piece.insert(piece.begin(), u'0');
                }
                if (negative) {
                    piece.insert(piece.begin(), u'-');
                } else if (isSigned && plus) {
                    piece.insert(piece.begin(), u'+');
                } else if (isSigned && space) {
                    piece.insert(piece.begin(), u' ');
                }
                break;
            }
            case 0:
                --p;
                break;
            default:
                piece += static_cast<char16_t>(conversion);
                break;
        }
        const auto pad = width > 0 && piece.size() < static_cast<std::size_t>(width)
                             ? static_cast<std::size_t>(width) - piece.size()
                             : 0;
        if (left) {
            out += piece;
            out.append(pad, u' ');
        } else if (zero && numeric && precision < 0) {
            std::size_t sign =
                (!piece.empty() && (piece[0] == u'-' || piece[0] == u'+' || piece[0] == u' ')) ? 1
                                                                                               : 0;
            piece.insert(sign, pad, u'0');
            out += piece;
        } else {
            out.append(pad, u' ');
            out += piece;
        }
    }
    return out;
}

// Copies a result into a terminated buffer of `capacity` characters.
NTSTATUS Store(std::u16string_view text, PWSTR destination, std::size_t capacity) {
    if (!destination || capacity == 0 || capacity > NTSTRSAFE_MAX_CCH) {
        return STATUS_INVALID_PARAMETER;
    }
    const std::size_t length = std::min(text.size(), capacity - 1);
    std::memcpy(destination, text.data(), length * sizeof(WCHAR));
    destination[length] = 0;
    return length < text.size() ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

}  // namespace

}  // namespace hl::kernel

using namespace hl::kernel;

extern "C" {

VOID RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
    DestinationString->Buffer = const_cast<PWSTR>(SourceString);
    if (!SourceString) {
        DestinationString->Length = DestinationString->MaximumLength = 0;
        return;
    }
    const std::size_t bytes =
        std::min<std::size_t>(WideLength(SourceString) * sizeof(WCHAR), 0xFFFC);
    DestinationString->Length = static_cast<USHORT>(bytes);
    DestinationString->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
}

VOID RtlInitAnsiString(PANSI_STRING DestinationString, PCSTR SourceString) {
    DestinationString->Buffer = const_cast<PCHAR>(SourceString);
    if (!SourceString) {
        DestinationString->Length = DestinationString->MaximumLength = 0;
        return;
    }
    const std::size_t bytes = std::min<std::size_t>(std::strlen(SourceString), 0xFFFE);
    DestinationString->Length = static_cast<USHORT>(bytes);
    DestinationString->MaximumLength = static_cast<USHORT>(bytes + 1);
}

VOID RtlInitString(PSTRING DestinationString, PCSTR SourceString) {
    RtlInitAnsiString(DestinationString, SourceString);
}

ULONG RtlxAnsiStringToUnicodeSize(PCANSI_STRING AnsiString) {
    return static_cast<ULONG>((AnsiString->Length + 1u) * sizeof(WCHAR));
}

ULONG RtlxUnicodeStringToAnsiSize(PCUNICODE_STRING UnicodeString) {
    return static_cast<ULONG>(UnicodeString->Length / sizeof(WCHAR) + 1);
}

NTSTATUS RtlAnsiStringToUnicodeString(PUNICODE_STRING DestinationString, PCANSI_STRING SourceString,
                                      BOOLEAN AllocateDestinationString) {
    if (!DestinationString || !SourceString) {
        return STATUS_INVALID_PARAMETER;
    }
    const ULONG bytes = static_cast<ULONG>(SourceString->Length) * sizeof(WCHAR);
    if (bytes > 0xFFFC) {
        return STATUS_INVALID_PARAMETER_2;
    }
    if (AllocateDestinationString) {
        auto* buffer =
            static_cast<PWSTR>(Sys().pool.Allocate(PagedPool, bytes + sizeof(WCHAR), kStringTag));
        if (!buffer) {
            return STATUS_NO_MEMORY;
        }
        DestinationString->Buffer = buffer;
        DestinationString->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
    } else if (DestinationString->MaximumLength < bytes) {
        return STATUS_BUFFER_OVERFLOW;
    }
    for (USHORT i = 0; i < SourceString->Length; ++i) {
        DestinationString->Buffer[i] =
            AnsiToUnicode(static_cast<unsigned char>(SourceString->Buffer[i]));
    }
    DestinationString->Length = static_cast<USHORT>(bytes);
    if (DestinationString->MaximumLength >= bytes + sizeof(WCHAR)) {
        DestinationString->Buffer[SourceString->Length] = 0;
    }
    return STATUS_SUCCESS;
}

NTSTATUS RtlUnicodeStringToAnsiString(PANSI_STRING DestinationString, PCUNICODE_STRING SourceString,
                                      BOOLEAN AllocateDestinationString) {
    if (!DestinationString || !SourceString) {
        return STATUS_INVALID_PARAMETER;
    }
    const ULONG characters = SourceString->Length / sizeof(WCHAR);
    if (characters > 0xFFFE) {
        return STATUS_INVALID_PARAMETER_2;
    }
    if (AllocateDestinationString) {
        auto* buffer =
            static_cast<PCHAR>(Sys().pool.Allocate(PagedPool, characters + 1, kStringTag));
        if (!buffer) {
            return STATUS_NO_MEMORY;
        }
        DestinationString->Buffer = buffer;
        DestinationString->MaximumLength = static_cast<USHORT>(characters + 1);
    } else if (DestinationString->MaximumLength < characters) {
        return STATUS_BUFFER_OVERFLOW;
    }
    for (ULONG i = 0; i < characters; ++i) {
        DestinationString->Buffer[i] = static_cast<CHAR>(UnicodeToAnsi(SourceString->Buffer[i]));
    }
    DestinationString->Length = static_cast<USHORT>(characters);
    if (DestinationString->MaximumLength > characters) {
        DestinationString->Buffer[characters] = 0;
    }
    return STATUS_SUCCESS;
}

VOID RtlFreeUnicodeString(PUNICODE_STRING UnicodeString) {
    if (UnicodeString && UnicodeString->Buffer) {
        Sys().pool.Free(UnicodeString->Buffer, std::nullopt);
        UnicodeString->Buffer = nullptr;
        UnicodeString->Length = UnicodeString->MaximumLength = 0;
    }
}

VOID RtlFreeAnsiString(PANSI_STRING AnsiString) {
    if (AnsiString && AnsiString->Buffer) {
        Sys().pool.Free(AnsiString->Buffer, std::nullopt);
        AnsiString->Buffer = nullptr;
        AnsiString->Length = AnsiString->MaximumLength = 0;
    }
}

NTSTATUS RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source) {
    if (!Source) {
        return STATUS_SUCCESS;
    }
    UNICODE_STRING source;
    RtlInitUnicodeString(&source, Source);
    return RtlAppendUnicodeStringToString(Destination, &source);
}

NTSTATUS RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source) {
    if (!Source || Source->Length == 0) {
        return STATUS_SUCCESS;
    }
    const ULONG total = static_cast<ULONG>(Destination->Length) + Source->Length;
    if (total > Destination->MaximumLength) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    std::memmove(reinterpret_cast<char*>(Destination->Buffer) + Destination->Length, Source->Buffer,
                 Source->Length);
    Destination->Length = static_cast<USHORT>(total);
    if (total + sizeof(WCHAR) <= Destination->MaximumLength) {
        Destination->Buffer[total / sizeof(WCHAR)] = 0;
    }
    return STATUS_SUCCESS;
}

VOID RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString) {
    if (!SourceString || !SourceString->Buffer) {
        DestinationString->Length = 0;
        return;
    }
    const USHORT bytes = std::min(SourceString->Length, DestinationString->MaximumLength);
    std::memmove(DestinationString->Buffer, SourceString->Buffer, bytes);
    DestinationString->Length = bytes;
    if (bytes + sizeof(WCHAR) <= DestinationString->MaximumLength) {
        DestinationString->Buffer[bytes / sizeof(WCHAR)] = 0;
    }
}

LONG RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                             BOOLEAN CaseInSensitive) {
    const std::u16string a = ToU16(String1);
    const std::u16string b = ToU16(String2);
    for (std::size_t i = 0; i < std::min(a.size(), b.size()); ++i) {
        char16_t x = CaseInSensitive ? Upcase(a[i]) : a[i];
        char16_t y = CaseInSensitive ? Upcase(b[i]) : b[i];
        if (x != y) {
            return static_cast<LONG>(x) - static_cast<LONG>(y);
        }
    }
    return static_cast<LONG>(a.size()) - static_cast<LONG>(b.size());
}

BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                              BOOLEAN CaseInSensitive) {
    return String1->Length == String2->Length &&
           RtlCompareUnicodeString(String1, String2, CaseInSensitive) == 0;
}

BOOLEAN RtlPrefixUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                               BOOLEAN CaseInSensitive) {
    if (String1->Length > String2->Length) {
        return FALSE;
    }
    UNICODE_STRING head = *String2;
    head.Length = String1->Length;
    return RtlCompareUnicodeString(String1, &head, CaseInSensitive) == 0;
}

WCHAR RtlUpcaseUnicodeChar(WCHAR SourceCharacter) {
    return Upcase(SourceCharacter);
}

NTSTATUS RtlIntegerToUnicodeString(ULONG Value, ULONG Base, PUNICODE_STRING String) {
    if (Base == 0) {
        Base = 10;
    }
    if (Base != 2 && Base != 8 && Base != 10 && Base != 16) {
        return STATUS_INVALID_PARAMETER;
    }
    std::u16string digits;
    do {
        digits.insert(digits.begin(), static_cast<char16_t>(u"0123456789ABCDEF"[Value % Base]));
        Value /= Base;
    } while (Value);
    const auto bytes = static_cast<USHORT>(digits.size() * sizeof(WCHAR));
    if (bytes > String->MaximumLength) {
        return STATUS_BUFFER_OVERFLOW;
    }
    std::memcpy(String->Buffer, digits.data(), bytes);
    String->Length = bytes;
    if (bytes + sizeof(WCHAR) <= String->MaximumLength) {
        String->Buffer[digits.size()] = 0;
    }
    return STATUS_SUCCESS;
}

NTSTATUS RtlUnicodeStringToInteger(PCUNICODE_STRING String, ULONG Base, PULONG Value) {
    std::u16string text = ToU16(String);
    std::size_t i = 0;
    while (i < text.size() && text[i] == u' ') {
        ++i;
    }
    bool negative = false;
    if (i < text.size() && (text[i] == u'-' || text[i] == u'+')) {
        negative = text[i++] == u'-';
    }
    if (Base == 0) {
        Base = 10;
        if (i + 1 < text.size() && text[i] == u'0') {
            const char16_t mark = text[i + 1];
            Base = mark == u'x' ? 16 : mark == u'o' ? 8 : mark == u'b' ? 2 : 10;
            if (Base != 10) {
                i += 2;
            }
        }
    }
    if (Base != 2 && Base != 8 && Base != 10 && Base != 16) {
        return STATUS_INVALID_PARAMETER;
    }
    ULONG result = 0;
    for (; i < text.size(); ++i) {
        char16_t c = Upcase(text[i]);
        ULONG digit = c >= u'0' && c <= u'9'   ? c - u'0'
                      : c >= u'A' && c <= u'F' ? c - u'A' + 10
                                               : 99;
        if (digit >= Base) {
            break;
        }
        result = result * Base + digit;
    }
    *Value = negative ? 0u - result : result;
    return STATUS_SUCCESS;
}

NTSTATUS RtlStringCbVPrintfW(NTSTRSAFE_PWSTR pszDest, size_t cbDest, NTSTRSAFE_PCWSTR pszFormat,
                             va_list argList) {
    if (!pszFormat) {
        return STATUS_INVALID_PARAMETER;
    }
    return Store(Format(pszFormat, argList, true), pszDest, cbDest / sizeof(WCHAR));
}

NTSTATUS RtlStringCbPrintfW(NTSTRSAFE_PWSTR pszDest, size_t cbDest, NTSTRSAFE_PCWSTR pszFormat,
                            ...) {
    va_list args;
    va_start(args, pszFormat);
    NTSTATUS status = RtlStringCbVPrintfW(pszDest, cbDest, pszFormat, args);
    va_end(args);
    return status;
}

NTSTATUS RtlStringCchPrintfW(NTSTRSAFE_PWSTR pszDest, size_t cchDest, NTSTRSAFE_PCWSTR pszFormat,
                             ...) {
    va_list args;
    va_start(args, pszFormat);
    NTSTATUS status = RtlStringCbVPrintfW(pszDest, cchDest * sizeof(WCHAR), pszFormat, args);
    va_end(args);
    return status;
}

NTSTATUS RtlStringCbPrintfA(NTSTRSAFE_PSTR pszDest, size_t cbDest, NTSTRSAFE_PCSTR pszFormat, ...) {
    if (!pszDest || cbDest == 0 || !pszFormat) {
        return STATUS_INVALID_PARAMETER;
    }
    va_list args;
    va_start(args, pszFormat);
    std::u16string text = Format(pszFormat, args, false);
    va_end(args);
    const std::size_t length = std::min(text.size(), cbDest - 1);
    for (std::size_t i = 0; i < length; ++i) {
        pszDest[i] = static_cast<char>(UnicodeToAnsi(text[i]));
    }
    pszDest[length] = 0;
    return length < text.size() ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

NTSTATUS RtlUnicodeStringPrintf(PUNICODE_STRING DestinationString, NTSTRSAFE_PCWSTR pszFormat,
                                ...) {
    if (!DestinationString || !pszFormat) {
        return STATUS_INVALID_PARAMETER;
    }
    va_list args;
    va_start(args, pszFormat);
    std::u16string text = Format(pszFormat, args, true);
    va_end(args);
    const std::size_t room = DestinationString->MaximumLength / sizeof(WCHAR);
    const std::size_t length = std::min(text.size(), room);
    std::memcpy(DestinationString->Buffer, text.data(), length * sizeof(WCHAR));
    DestinationString->Length = static_cast<USHORT>(length * sizeof(WCHAR));
    return length < text.size() ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

NTSTATUS RtlStringCchCopyW(NTSTRSAFE_PWSTR pszDest, size_t cchDest, NTSTRSAFE_PCWSTR pszSrc) {
    if (!pszSrc) {
        return STATUS_INVALID_PARAMETER;
    }
    return Store(std::u16string_view(pszSrc, WideLength(pszSrc)), pszDest, cchDest);
}

NTSTATUS RtlStringCbCopyW(NTSTRSAFE_PWSTR pszDest, size_t cbDest, NTSTRSAFE_PCWSTR pszSrc) {
    return RtlStringCchCopyW(pszDest, cbDest / sizeof(WCHAR), pszSrc);
}

NTSTATUS RtlStringCbCatW(NTSTRSAFE_PWSTR pszDest, size_t cbDest, NTSTRSAFE_PCWSTR pszSrc) {
    const std::size_t capacity = cbDest / sizeof(WCHAR);
    if (!pszDest || !pszSrc || capacity == 0) {
        return STATUS_INVALID_PARAMETER;
    }
    std::size_t used = 0;
    while (used < capacity && pszDest[used]) {
        ++used;
    }
    if (used == capacity) {
        return STATUS_INVALID_PARAMETER;
    }
    return Store(std::u16string_view(pszSrc, WideLength(pszSrc)), pszDest + used, capacity - used);
}

NTSTATUS RtlStringCchLengthW(NTSTRSAFE_PCWSTR psz, size_t cchMax, size_t* pcchLength) {
    if (!psz || cchMax > NTSTRSAFE_MAX_CCH) {
        return STATUS_INVALID_PARAMETER;
    }
    std::size_t length = 0;
    while (length < cchMax && psz[length]) {
        ++length;
    }
    if (length == cchMax) {
        return STATUS_INVALID_PARAMETER;
    }
    if (pcchLength) {
        *pcchLength = length;
    }
    return STATUS_SUCCESS;
}

NTSTATUS RtlStringCbLengthW(NTSTRSAFE_PCWSTR psz, size_t cbMax, size_t* pcbLength) {
    std::size_t characters = 0;
    NTSTATUS status = RtlStringCchLengthW(psz, cbMax / sizeof(WCHAR), &characters);
    if (NT_SUCCESS(status) && pcbLength) {
        *pcbLength = characters * sizeof(WCHAR);
    }
    return status;
}

ULONG DbgPrint(PCSTR Format, ...) {
    va_list args;
    va_start(args, Format);
    std::u16string text = hl::kernel::Format(Format, args, false);
    va_end(args);
    std::string line = Utf16ToUtf8(text);
    std::fprintf(stderr, "%s", line.c_str());
    return STATUS_SUCCESS;
}

VOID RtlAssert(PVOID FailedAssertion, PVOID FileName, ULONG LineNumber, PCSTR Message) {
    BugCheck(std::string("assertion failed: ") + static_cast<const char*>(FailedAssertion) +
             " at " + static_cast<const char*>(FileName) + ":" + std::to_string(LineNumber) +
             (Message ? std::string(" ") + Message : std::string()));
}

}  // extern "C"
