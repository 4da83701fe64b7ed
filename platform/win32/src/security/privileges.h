// The privileges of this process's token. The superuser holds them all, each disabled until a
// program enables it; other accounts hold none.
#pragma once

#include "../internal.h"

namespace hl::win32 {

inline constexpr DWORD kBackupPrivilege = 17;
inline constexpr DWORD kRestorePrivilege = 18;

// Held by this process and enabled in its token.
bool PrivilegeEnabled(DWORD privilege);

}  // namespace hl::win32
