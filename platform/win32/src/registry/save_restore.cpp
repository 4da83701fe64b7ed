// RegSaveKeyA and RegRestoreKeyA: keys to and from standalone hive files, for processes that
// have enabled the backup (and, to restore, the restore) privilege.
#include "../paths.h"
#include "../security/privileges.h"
#include "keys.h"

namespace hl::win32::reg {
namespace {

struct Transfer {
    registry::Store* store = nullptr;
    KeyRef ref;
    ResolvedPath file;
};

LONG Prepare(HKEY handle, LPCSTR file, Transfer& transfer) {
    if (LONG error = Lookup(handle, transfer.ref); error != ERROR_SUCCESS) {
        return error;
    }
    if (file == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    if (const DWORD error = ResolvePath(file, transfer.file); error != ERROR_SUCCESS) {
        return static_cast<LONG>(error);
    }
    if (transfer.file.kind != ResolvedPath::Kind::HostFile) {
        return ERROR_ACCESS_DENIED;  // a hive file is an ordinary file
    }
    transfer.store = Store();
    if (transfer.store == nullptr) {
        return ERROR_FILE_NOT_FOUND;
    }
    return Alive(transfer.ref);
}

LONG Finish(const Transfer& transfer, registry::Result result) {
    return result == registry::Result::NotFound ? KeyGone(transfer.ref) : ToError(result);
}

}  // namespace
}  // namespace hl::win32::reg

using namespace hl::win32;
using namespace hl::win32::reg;

extern "C" LSTATUS WINAPI RegSaveKeyA(HKEY hKey, LPCSTR lpFile,
                                      const SECURITY_ATTRIBUTES* /*lpSecurityAttributes*/) {
    Transfer transfer;
    if (LONG error = Prepare(hKey, lpFile, transfer); error != ERROR_SUCCESS) {
        return error;
    }
    if (!PrivilegeEnabled(kBackupPrivilege)) {
        return ERROR_PRIVILEGE_NOT_HELD;
    }
    if (transfer.file.exists) {
        return ERROR_ALREADY_EXISTS;
    }
    return Finish(transfer,
                  transfer.store->SaveKey(Caller(), transfer.ref.key, transfer.file.host));
}

extern "C" LSTATUS WINAPI RegRestoreKeyA(HKEY hKey, LPCSTR lpFile, DWORD dwFlags) {
    if ((dwFlags & REG_WHOLE_HIVE_VOLATILE) != 0) {
        return ERROR_INVALID_PARAMETER;  // there are no volatile hives
    }
    Transfer transfer;
    if (LONG error = Prepare(hKey, lpFile, transfer); error != ERROR_SUCCESS) {
        return error;
    }
    if (!PrivilegeEnabled(kRestorePrivilege) || !PrivilegeEnabled(kBackupPrivilege)) {
        return ERROR_PRIVILEGE_NOT_HELD;
    }
    if (!transfer.file.exists) {
        return ERROR_FILE_NOT_FOUND;
    }
    return Finish(transfer,
                  transfer.store->RestoreKey(Caller(), transfer.ref.key, transfer.file.host));
}
