// The Win32 registry calls. Names are ANSI; string data (REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ) is
// ANSI at these calls and UTF-16 in the registry itself. Every call returns its error code
// (ERROR_SUCCESS on success) and leaves the last error alone.
#pragma once

#include "securitybaseapi.h"
#include "windows.h"

struct HKEY__ {
    int unused;
};
typedef struct HKEY__* HKEY;
typedef HKEY* PHKEY;
typedef ACCESS_MASK REGSAM;
typedef LONG LSTATUS;

#define HKEY_CLASSES_ROOT ((HKEY)(ULONG_PTR)((LONG)0x80000000))
#define HKEY_CURRENT_USER ((HKEY)(ULONG_PTR)((LONG)0x80000001))
#define HKEY_LOCAL_MACHINE ((HKEY)(ULONG_PTR)((LONG)0x80000002))
#define HKEY_USERS ((HKEY)(ULONG_PTR)((LONG)0x80000003))
#define HKEY_PERFORMANCE_DATA ((HKEY)(ULONG_PTR)((LONG)0x80000004))
#define HKEY_CURRENT_CONFIG ((HKEY)(ULONG_PTR)((LONG)0x80000005))
#define HKEY_DYN_DATA ((HKEY)(ULONG_PTR)((LONG)0x80000006))

#define REG_FULL_RESOURCE_DESCRIPTOR 9
#define REG_RESOURCE_REQUIREMENTS_LIST 10

// RegRestoreKey flags.
#define REG_WHOLE_HIVE_VOLATILE (0x00000001)
#define REG_REFRESH_HIVE (0x00000002)
#define REG_NO_LAZY_FLUSH (0x00000004)
#define REG_FORCE_RESTORE (0x00000008)

extern "C" {

LSTATUS WINAPI RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD Reserved, LPSTR lpClass,
                               DWORD dwOptions, REGSAM samDesired,
                               const SECURITY_ATTRIBUTES* lpSecurityAttributes, PHKEY phkResult,
                               LPDWORD lpdwDisposition);
LSTATUS WINAPI RegCreateKeyA(HKEY hKey, LPCSTR lpSubKey, PHKEY phkResult);
LSTATUS WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired,
                             PHKEY phkResult);
LSTATUS WINAPI RegOpenKeyA(HKEY hKey, LPCSTR lpSubKey, PHKEY phkResult);
LSTATUS WINAPI RegCloseKey(HKEY hKey);
LSTATUS WINAPI RegFlushKey(HKEY hKey);
LSTATUS WINAPI RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey);

LSTATUS WINAPI RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD Reserved, DWORD dwType,
                              const BYTE* lpData, DWORD cbData);
LSTATUS WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                                LPBYTE lpData, LPDWORD lpcbData);
LSTATUS WINAPI RegDeleteValueA(HKEY hKey, LPCSTR lpValueName);

LSTATUS WINAPI RegEnumKeyExA(HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName,
                             LPDWORD lpReserved, LPSTR lpClass, LPDWORD lpcchClass,
                             PFILETIME lpftLastWriteTime);
LSTATUS WINAPI RegEnumKeyA(HKEY hKey, DWORD dwIndex, LPSTR lpName, DWORD cchName);
LSTATUS WINAPI RegEnumValueA(HKEY hKey, DWORD dwIndex, LPSTR lpValueName, LPDWORD lpcchValueName,
                             LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData);
LSTATUS WINAPI RegQueryInfoKeyA(HKEY hKey, LPSTR lpClass, LPDWORD lpcchClass, LPDWORD lpReserved,
                                LPDWORD lpcSubKeys, LPDWORD lpcbMaxSubKeyLen,
                                LPDWORD lpcbMaxClassLen, LPDWORD lpcValues,
                                LPDWORD lpcbMaxValueNameLen, LPDWORD lpcbMaxValueLen,
                                LPDWORD lpcbSecurityDescriptor, PFILETIME lpftLastWriteTime);

// Both need privileges enabled in the process token: SeBackupPrivilege to save, and
// SeRestorePrivilege with SeBackupPrivilege to restore.
LSTATUS WINAPI RegSaveKeyA(HKEY hKey, LPCSTR lpFile,
                           const SECURITY_ATTRIBUTES* lpSecurityAttributes);
LSTATUS WINAPI RegRestoreKeyA(HKEY hKey, LPCSTR lpFile, DWORD dwFlags);

}  // extern "C"

#define RegCreateKeyEx RegCreateKeyExA
#define RegCreateKey RegCreateKeyA
#define RegOpenKeyEx RegOpenKeyExA
#define RegOpenKey RegOpenKeyA
#define RegDeleteKey RegDeleteKeyA
#define RegSetValueEx RegSetValueExA
#define RegQueryValueEx RegQueryValueExA
#define RegDeleteValue RegDeleteValueA
#define RegEnumKeyEx RegEnumKeyExA
#define RegEnumKey RegEnumKeyA
#define RegEnumValue RegEnumValueA
#define RegQueryInfoKey RegQueryInfoKeyA
#define RegSaveKey RegSaveKeyA
#define RegRestoreKey RegRestoreKeyA
