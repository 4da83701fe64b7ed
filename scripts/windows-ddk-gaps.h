// Declarations the Windows Driver Kit has and mingw-w64's DDK headers lack, for the check against
// those headers only: the product's own sources stay as they would be built with the WDK.
#pragma once

#include <ntifs.h>

// wdm.h of the WDK since Windows Vista
#ifndef RTL_QUERY_REGISTRY_TYPECHECK
#define RTL_QUERY_REGISTRY_TYPECHECK 0x00000100
#define RTL_QUERY_REGISTRY_TYPECHECK_SHIFT 24
#endif

// ntifs.h of the WDK; ntoskrnl exports it and mingw-w64's import library has it
extern "C" NTKERNELAPI NTSTATUS NTAPI ObSetSecurityObjectByPointer(
    PVOID Object, SECURITY_INFORMATION SecurityInformation,
    PSECURITY_DESCRIPTOR SecurityDescriptor);
