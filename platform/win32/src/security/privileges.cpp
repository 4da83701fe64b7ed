// The process token: OpenProcessToken, LookupPrivilegeValueA and AdjustTokenPrivileges, for the
// privileges that saving and restoring registry keys ask for.
#include "privileges.h"

#include <strings.h>
#include <unistd.h>

#include <cstddef>
#include <mutex>
#include <set>

#include "../handles.h"

namespace hl::win32 {
namespace {

struct Token : HandleObject {
    explicit Token(DWORD granted) : access(granted) {}
    DWORD access;
};

struct PrivilegeName {
    const char* name;
    DWORD luid;
};

constexpr PrivilegeName kPrivileges[] = {
    {SE_LOAD_DRIVER_NAME, 10},
    {SE_BACKUP_NAME, kBackupPrivilege},
    {SE_RESTORE_NAME, kRestorePrivilege},
    {SE_SHUTDOWN_NAME, 19},
    {SE_DEBUG_NAME, 20},
    {SE_CHANGE_NOTIFY_NAME, 23},
};

bool Known(const LUID& luid) {
    for (const PrivilegeName& privilege : kPrivileges) {
        if (luid.HighPart == 0 && luid.LowPart == privilege.luid) {
            return true;
        }
    }
    return false;
}

bool Held() {
    return ::geteuid() == 0;
}

struct Enabled {
    std::mutex mutex;
    std::set<DWORD> privileges;
};

Enabled& EnabledPrivileges() {
    static Enabled enabled;
    return enabled;
}

DWORD Attributes(const std::set<DWORD>& enabled, DWORD privilege) {
    return enabled.contains(privilege) ? SE_PRIVILEGE_ENABLED : 0;
}

}  // namespace

bool PrivilegeEnabled(DWORD privilege) {
    Enabled& enabled = EnabledPrivileges();
    std::lock_guard lock(enabled.mutex);
    return Held() && enabled.privileges.contains(privilege);
}

}  // namespace hl::win32

using namespace hl::win32;

extern "C" HANDLE WINAPI GetCurrentProcess(void) {
    return reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-1));
}

extern "C" BOOL WINAPI OpenProcessToken(HANDLE ProcessHandle, DWORD DesiredAccess,
                                        PHANDLE TokenHandle) {
    if (ProcessHandle != GetCurrentProcess()) {
        return Fail(ERROR_INVALID_HANDLE);  // only this process's own token is reachable
    }
    if (TokenHandle == nullptr) {
        return Fail(ERROR_NOACCESS);
    }
    *TokenHandle = InsertHandle(std::make_shared<Token>(DesiredAccess));
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

extern "C" BOOL WINAPI LookupPrivilegeValueA(LPCSTR lpSystemName, LPCSTR lpName, PLUID lpLuid) {
    if (lpSystemName != nullptr && *lpSystemName != 0) {
        return Fail(ERROR_BAD_NETPATH);  // no other computer is reachable
    }
    if (lpName == nullptr || lpLuid == nullptr) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    for (const PrivilegeName& privilege : kPrivileges) {
        if (::strcasecmp(lpName, privilege.name) == 0) {
            lpLuid->LowPart = privilege.luid;
            lpLuid->HighPart = 0;
            SetLastError(ERROR_SUCCESS);
            return TRUE;
        }
    }
    return Fail(ERROR_NO_SUCH_PRIVILEGE);
}

extern "C" BOOL WINAPI AdjustTokenPrivileges(HANDLE TokenHandle, BOOL DisableAllPrivileges,
                                             PTOKEN_PRIVILEGES NewState, DWORD BufferLength,
                                             PTOKEN_PRIVILEGES PreviousState, PDWORD ReturnLength) {
    const auto token = LookupHandleAs<Token>(TokenHandle);
    if (!token) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    if ((token->access & TOKEN_ADJUST_PRIVILEGES) == 0 ||
        (PreviousState != nullptr && (token->access & TOKEN_QUERY) == 0)) {
        return Fail(ERROR_ACCESS_DENIED);
    }
    if (!DisableAllPrivileges && NewState == nullptr) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    Enabled& enabled = EnabledPrivileges();
    std::lock_guard lock(enabled.mutex);
    const DWORD count = DisableAllPrivileges ? static_cast<DWORD>(enabled.privileges.size())
                                             : NewState->PrivilegeCount;
    if (PreviousState != nullptr) {
        const DWORD needed = static_cast<DWORD>(offsetof(TOKEN_PRIVILEGES, Privileges) +
                                                count * sizeof(LUID_AND_ATTRIBUTES));
        if (ReturnLength != nullptr) {
            *ReturnLength = needed;
        }
        if (BufferLength < needed) {
            return Fail(ERROR_INSUFFICIENT_BUFFER);
        }
    }
    if (DisableAllPrivileges) {
        DWORD index = 0;
        for (DWORD privilege : enabled.privileges) {
            if (PreviousState != nullptr) {
                PreviousState->Privileges[index++] = {{privilege, 0}, SE_PRIVILEGE_ENABLED};
            }
        }
        if (PreviousState != nullptr) {
            PreviousState->PrivilegeCount = index;
        }
        enabled.privileges.clear();
        SetLastError(ERROR_SUCCESS);
        return TRUE;
    }
    bool allAssigned = true;
    DWORD changed = 0;
    for (DWORD i = 0; i < NewState->PrivilegeCount; ++i) {
        const LUID_AND_ATTRIBUTES& entry = NewState->Privileges[i];
        if (!Held() || !Known(entry.Luid)) {
            allAssigned = false;
            continue;
        }
        const DWORD privilege = entry.Luid.LowPart;
        if (PreviousState != nullptr) {
            PreviousState->Privileges[changed] = {entry.Luid,
                                                  Attributes(enabled.privileges, privilege)};
        }
        ++changed;
        if ((entry.Attributes & SE_PRIVILEGE_ENABLED) != 0 &&
            (entry.Attributes & SE_PRIVILEGE_REMOVED) == 0) {
            enabled.privileges.insert(privilege);
        } else {
            enabled.privileges.erase(privilege);
        }
    }
    if (PreviousState != nullptr) {
        PreviousState->PrivilegeCount = changed;
    }
    // The call succeeds either way; the last error tells whether every privilege was held.
    SetLastError(allAssigned ? ERROR_SUCCESS : ERROR_NOT_ALL_ASSIGNED);
    return TRUE;
}
