// Safe string copying for UTF-16 buffers. Results are always terminated; a result that does not
// fit is truncated and STATUS_BUFFER_OVERFLOW returned.
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

NTSYSAPI NTSTATUS RtlStringCbCopyW(NTSTRSAFE_PWSTR pszDest, size_t cbDest, NTSTRSAFE_PCWSTR pszSrc);
NTSYSAPI NTSTATUS RtlStringCchCopyW(NTSTRSAFE_PWSTR pszDest, size_t cchDest,
                                    NTSTRSAFE_PCWSTR pszSrc);
NTSYSAPI NTSTATUS RtlStringCbCatW(NTSTRSAFE_PWSTR pszDest, size_t cbDest, NTSTRSAFE_PCWSTR pszSrc);
NTSYSAPI NTSTATUS RtlStringCbLengthW(NTSTRSAFE_PCWSTR psz, size_t cbMax, size_t* pcbLength);
NTSYSAPI NTSTATUS RtlStringCchLengthW(NTSTRSAFE_PCWSTR psz, size_t cchMax, size_t* pcchLength);

#ifdef __cplusplus
}
#endif
