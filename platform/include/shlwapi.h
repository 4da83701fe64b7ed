// The shell's light-weight utility calls the system needs.
#pragma once

#include "windows.h"

extern "C" {

// Deletes a subkey with all its subkeys and values; ERROR_FILE_NOT_FOUND when it is missing.
LSTATUS WINAPI SHDeleteKeyA(HKEY hKey, LPCSTR pszSubKey);

}  // extern "C"

#define SHDeleteKey SHDeleteKeyA
