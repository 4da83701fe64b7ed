// Counted strings, the Windows-1252 code page, and the copy and length helpers of ntstrsafe.h.
#include <ntstrsafe.h>

#include <algorithm>
#include <cstring>

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

VOID RtlAssert(PVOID FailedAssertion, PVOID FileName, ULONG LineNumber, PCSTR Message) {
    BugCheck(std::string("assertion failed: ") + static_cast<const char*>(FailedAssertion) +
             " at " + static_cast<const char*>(FileName) + ":" + std::to_string(LineNumber) +
             (Message ? std::string(" ") + Message : std::string()));
}

}  // extern "C"
