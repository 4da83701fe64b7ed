// Safe string formatting and copying for counted UTF-16 buffers.
//
// Formats understand %%, %c, %s (wide in the W functions), %ws, %ls, %hs, %S (narrow),
// %wZ (PUNICODE_STRING), %Z (PANSI_STRING), %d %i %u %x %X %o with h, l, ll, I64 and z size
// prefixes, %p, flags '-' '0' '+' ' ', width and precision (also '*'). Results are always
// terminated; a result that does not fit is truncated and STATUS_BUFFER_OVERFLOW returned.
#pragma once

#include "wdm.h"

typedef WCHAR* NTSTRSAFE_PWSTR;
typedef const WCHAR* NTSTRSAFE_PCWSTR;
typedef CHAR* NTSTRSAFE_PSTR;
typedef const CHAR* NTSTRSAFE_PCSTR;

#define NTSTRSAFE_MAX_CCH 2147483647

#ifdef __cplusplus
extern "C" {
#endif

NTSYSAPI NTSTATUS RtlStringCbPrintfW(NTSTRSAFE_PWSTR pszDest, size_t cbDest,
                                     NTSTRSAFE_PCWSTR pszFormat, ...);
NTSYSAPI NTSTATUS RtlStringCchPrintfW(NTSTRSAFE_PWSTR pszDest, size_t cchDest,
                                      NTSTRSAFE_PCWSTR pszFormat, ...);
NTSYSAPI NTSTATUS RtlStringCbVPrintfW(NTSTRSAFE_PWSTR pszDest, size_t cbDest,
                                      NTSTRSAFE_PCWSTR pszFormat, va_list argList);
NTSYSAPI NTSTATUS RtlStringCbPrintfA(NTSTRSAFE_PSTR pszDest, size_t cbDest,
                                     NTSTRSAFE_PCSTR pszFormat, ...);
// Formats into the string's buffer (up to MaximumLength); Length is set, no terminator kept.
NTSYSAPI NTSTATUS RtlUnicodeStringPrintf(PUNICODE_STRING DestinationString,
                                         NTSTRSAFE_PCWSTR pszFormat, ...);
NTSYSAPI NTSTATUS RtlStringCbCopyW(NTSTRSAFE_PWSTR pszDest, size_t cbDest, NTSTRSAFE_PCWSTR pszSrc);
NTSYSAPI NTSTATUS RtlStringCchCopyW(NTSTRSAFE_PWSTR pszDest, size_t cchDest,
                                    NTSTRSAFE_PCWSTR pszSrc);
NTSYSAPI NTSTATUS RtlStringCbCatW(NTSTRSAFE_PWSTR pszDest, size_t cbDest, NTSTRSAFE_PCWSTR pszSrc);
NTSYSAPI NTSTATUS RtlStringCbLengthW(NTSTRSAFE_PCWSTR psz, size_t cbMax, size_t* pcbLength);
NTSYSAPI NTSTATUS RtlStringCchLengthW(NTSTRSAFE_PCWSTR psz, size_t cchMax, size_t* pcchLength);

#ifdef __cplusplus
}
#endif
