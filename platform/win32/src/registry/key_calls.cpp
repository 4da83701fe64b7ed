// The calls on keys: create, open, close, delete, enumerate, describe.
#include <shlwapi.h>

#include <algorithm>
#include <cstring>

#include "keys.h"

namespace hl::win32::reg {
namespace {

// The store and the key a call names, or the error that ends the call.
struct Target {
    registry::Store* store = nullptr;
    KeyRef parent;
    registry::KeyPath key;
};

LONG Reach(HKEY handle, const char* subKey, Target& target) {
    if (LONG error = Lookup(handle, target.parent); error != ERROR_SUCCESS) {
        return error;
    }
    if (LONG error = Below(target.parent, subKey, target.key); error != ERROR_SUCCESS) {
        return error;
    }
    target.store = Store();
    if (target.store == nullptr) {
        return ERROR_FILE_NOT_FOUND;
    }
    return Alive(target.parent);
}

// A missing key below an open handle whose own key has gone is reported as the handle's fault.
LONG Missing(const Target& target) {
    if (!target.parent.predefined &&
        target.store->OpenKey(Caller(), target.parent.key) == registry::Result::NotFound) {
        return ERROR_KEY_DELETED;
    }
    return ERROR_FILE_NOT_FOUND;
}

LONG OpenReached(const Target& target, REGSAM desired, PHKEY result) {
    const registry::Result opened = target.store->OpenKey(Caller(), target.key);
    if (opened == registry::Result::NotFound) {
        return Missing(target);
    }
    if (opened != registry::Result::Ok) {
        return ToError(opened);
    }
    REGSAM granted = 0;
    if (LONG error = Grant(target.key, desired, granted); error != ERROR_SUCCESS) {
        return error;
    }
    *result = Insert(target.key, granted);
    return ERROR_SUCCESS;
}

LONG Delete(HKEY handle, const char* subKey, bool withSubtree) {
    if (subKey == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    Target target;
    if (LONG error = Reach(handle, subKey, target); error != ERROR_SUCCESS) {
        return error;
    }
    const registry::Caller caller = Caller();
    // A key that is not there is missing, whoever asks.
    if (target.store->OpenKey(caller, target.key) == registry::Result::NotFound) {
        return *subKey == 0 ? KeyGone(target.parent) : Missing(target);
    }
    const registry::Result deleted = withSubtree ? target.store->DeleteTree(caller, target.key)
                                                 : target.store->DeleteKey(caller, target.key);
    return deleted == registry::Result::NotFound ? ERROR_FILE_NOT_FOUND : ToError(deleted);
}

FILETIME ToFileTime(uint64_t time) {
    return {static_cast<DWORD>(time), static_cast<DWORD>(time >> 32)};
}

// Copies a name with its terminator into a buffer of `capacity` characters.
bool CopyName(const std::string& name, LPSTR buffer, DWORD capacity) {
    if (name.size() >= capacity) {
        return false;
    }
    std::memcpy(buffer, name.c_str(), name.size() + 1);
    return true;
}

// Hands out a key's class the way RegQueryInfoKeyA does: the length alone without a buffer;
// with one, as much as fits before a terminator, ERROR_MORE_DATA when that is not all of it.
// A buffer of no characters is left alone and the length given as 0.
LONG HandOutClass(const std::string& keyClass, LPSTR buffer, LPDWORD length) {
    if (length == nullptr) {
        return ERROR_SUCCESS;
    }
    if (buffer == nullptr) {
        *length = static_cast<DWORD>(keyClass.size());
        return ERROR_SUCCESS;
    }
    if (*length == 0) {
        return ERROR_SUCCESS;
    }
    const DWORD copied = std::min<DWORD>(static_cast<DWORD>(keyClass.size()), *length - 1);
    std::memcpy(buffer, keyClass.data(), copied);
    buffer[copied] = 0;
    *length = copied;
    return copied == keyClass.size() ? ERROR_SUCCESS : ERROR_MORE_DATA;
}

}  // namespace
}  // namespace hl::win32::reg

using namespace hl::win32;
using namespace hl::win32::reg;

extern "C" LSTATUS WINAPI RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD /*Reserved*/,
                                          LPSTR lpClass, DWORD dwOptions, REGSAM samDesired,
                                          const SECURITY_ATTRIBUTES* /*lpSecurityAttributes*/,
                                          PHKEY phkResult, LPDWORD lpdwDisposition) {
    constexpr DWORD kKnownOptions = REG_OPTION_VOLATILE | REG_OPTION_CREATE_LINK |
                                    REG_OPTION_BACKUP_RESTORE | REG_OPTION_OPEN_LINK;
    if (lpSubKey == nullptr || phkResult == nullptr || (dwOptions & ~kKnownOptions) != 0) {
        return ERROR_INVALID_PARAMETER;
    }
    Target target;
    if (LONG error = Reach(hKey, lpSubKey, target); error != ERROR_SUCCESS) {
        return error;
    }
    const registry::Caller caller = Caller();
    const registry::Result existing = target.store->OpenKey(caller, target.key);
    bool created = false;
    if (existing == registry::Result::NotFound) {
        if (!target.parent.predefined &&
            target.store->OpenKey(caller, target.parent.key) == registry::Result::NotFound) {
            return ERROR_KEY_DELETED;
        }
        if (!MayWrite(target.key)) {
            return ERROR_ACCESS_DENIED;
        }
        const std::string keyClass = lpClass != nullptr ? NameToStore(lpClass) : std::string();
        if (registry::Result made = target.store->CreateKey(caller, target.key, &created, keyClass);
            made != registry::Result::Ok) {
            return ToError(made);
        }
    } else if (existing != registry::Result::Ok) {
        return ToError(existing);
    }
    REGSAM granted = 0;
    if (LONG error = Grant(target.key, samDesired, granted); error != ERROR_SUCCESS) {
        return error;
    }
    *phkResult = Insert(target.key, granted);
    if (lpdwDisposition != nullptr) {
        *lpdwDisposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    }
    return ERROR_SUCCESS;
}

extern "C" LSTATUS WINAPI RegCreateKeyA(HKEY hKey, LPCSTR lpSubKey, PHKEY phkResult) {
    if (phkResult == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    if (lpSubKey == nullptr || *lpSubKey == 0) {
        KeyRef ref;
        if (LONG error = Lookup(hKey, ref); error != ERROR_SUCCESS) {
            return error;
        }
        *phkResult = hKey;  // the same handle, as Windows gives it
        return ERROR_SUCCESS;
    }
    return RegCreateKeyExA(hKey, lpSubKey, 0, nullptr, REG_OPTION_NON_VOLATILE, MAXIMUM_ALLOWED,
                           nullptr, phkResult, nullptr);
}

extern "C" LSTATUS WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD /*ulOptions*/,
                                        REGSAM samDesired, PHKEY phkResult) {
    if (phkResult == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    Target target;
    if (LONG error = Reach(hKey, lpSubKey, target); error != ERROR_SUCCESS) {
        return error;
    }
    return OpenReached(target, samDesired, phkResult);
}

extern "C" LSTATUS WINAPI RegOpenKeyA(HKEY hKey, LPCSTR lpSubKey, PHKEY phkResult) {
    if (phkResult == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    if (lpSubKey == nullptr || *lpSubKey == 0) {
        KeyRef ref;
        if (LONG error = Lookup(hKey, ref); error != ERROR_SUCCESS) {
            return error;
        }
        *phkResult = hKey;
        return ERROR_SUCCESS;
    }
    return RegOpenKeyExA(hKey, lpSubKey, 0, MAXIMUM_ALLOWED, phkResult);
}

extern "C" LSTATUS WINAPI RegCloseKey(HKEY hKey) {
    KeyRef ref;
    if (LONG error = Lookup(hKey, ref); error != ERROR_SUCCESS) {
        return error;
    }
    if (!ref.predefined) {
        RemoveHandle(reinterpret_cast<HANDLE>(hKey));
    }
    return ERROR_SUCCESS;
}

extern "C" LSTATUS WINAPI RegFlushKey(HKEY hKey) {
    // Every change is already durable when its call returns; only a key that is gone fails.
    Target target;
    if (LONG error = Reach(hKey, nullptr, target); error != ERROR_SUCCESS) {
        return error;
    }
    if (target.parent.predefined) {
        return ERROR_SUCCESS;
    }
    const registry::Result found = target.store->OpenKey(Caller(), target.key);
    return found == registry::Result::NotFound ? ERROR_KEY_DELETED : ToError(found);
}

extern "C" LSTATUS WINAPI RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey) {
    return Delete(hKey, lpSubKey, false);
}

extern "C" LSTATUS WINAPI SHDeleteKeyA(HKEY hKey, LPCSTR pszSubKey) {
    return Delete(hKey, pszSubKey, true);
}

extern "C" LSTATUS WINAPI RegEnumKeyExA(HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName,
                                        LPDWORD lpReserved, LPSTR lpClass, LPDWORD lpcchClass,
                                        PFILETIME lpftLastWriteTime) {
    if (lpName == nullptr || lpcchName == nullptr || lpReserved != nullptr ||
        (lpClass != nullptr && lpcchClass == nullptr)) {
        return ERROR_INVALID_PARAMETER;
    }
    Target target;
    if (LONG error = Reach(hKey, nullptr, target); error != ERROR_SUCCESS) {
        return error;
    }
    if ((target.parent.rights & KEY_ENUMERATE_SUB_KEYS) == 0) {
        return ERROR_ACCESS_DENIED;
    }
    const registry::Caller caller = Caller();
    std::string name;
    const registry::Result found = target.store->EnumKey(caller, target.key, dwIndex, name);
    if (found != registry::Result::Ok) {
        return found == registry::Result::NotFound ? KeyGone(target.parent) : ToError(found);
    }
    registry::KeyPath subkey = target.key;
    subkey.path = subkey.path.empty() ? name : subkey.path + "\\" + name;
    registry::KeyInfo info;
    if (target.store->QueryInfo(caller, subkey, info) != registry::Result::Ok) {
        info = {};
    }
    // Neither the name nor the class is written unless both fit.
    const std::string ansi = NameFromStore(name);
    const std::string keyClass = NameFromStore(info.keyClass);
    if (ansi.size() >= *lpcchName || (lpClass != nullptr && keyClass.size() >= *lpcchClass)) {
        return ERROR_MORE_DATA;
    }
    CopyName(ansi, lpName, *lpcchName);
    *lpcchName = static_cast<DWORD>(ansi.size());
    if (lpcchClass != nullptr) {
        if (lpClass != nullptr) {
            CopyName(keyClass, lpClass, *lpcchClass);
        }
        *lpcchClass = static_cast<DWORD>(keyClass.size());
    }
    if (lpftLastWriteTime != nullptr) {
        *lpftLastWriteTime = ToFileTime(info.lastWriteTime);
    }
    return ERROR_SUCCESS;
}

extern "C" LSTATUS WINAPI RegEnumKeyA(HKEY hKey, DWORD dwIndex, LPSTR lpName, DWORD cchName) {
    DWORD length = cchName;
    return RegEnumKeyExA(hKey, dwIndex, lpName, &length, nullptr, nullptr, nullptr, nullptr);
}

extern "C" LSTATUS WINAPI RegQueryInfoKeyA(HKEY hKey, LPSTR lpClass, LPDWORD lpcchClass,
                                           LPDWORD lpReserved, LPDWORD lpcSubKeys,
                                           LPDWORD lpcbMaxSubKeyLen, LPDWORD lpcbMaxClassLen,
                                           LPDWORD lpcValues, LPDWORD lpcbMaxValueNameLen,
                                           LPDWORD lpcbMaxValueLen, LPDWORD lpcbSecurityDescriptor,
                                           PFILETIME lpftLastWriteTime) {
    if (lpReserved != nullptr || (lpClass != nullptr && lpcchClass == nullptr)) {
        return ERROR_INVALID_PARAMETER;
    }
    Target target;
    if (LONG error = Reach(hKey, nullptr, target); error != ERROR_SUCCESS) {
        return error;
    }
    if ((target.parent.rights & KEY_QUERY_VALUE) == 0) {
        return ERROR_ACCESS_DENIED;
    }
    registry::KeyInfo info;
    const registry::Result queried = target.store->QueryInfo(Caller(), target.key, info);
    if (queried != registry::Result::Ok) {
        return queried == registry::Result::NotFound ? KeyGone(target.parent) : ToError(queried);
    }
    const LONG classResult = HandOutClass(NameFromStore(info.keyClass), lpClass, lpcchClass);
    // Name lengths count characters without the terminator. The longest data is given as
    // stored, so for strings it is the UTF-16 size: never less than what the A calls return.
    const auto set = [](LPDWORD out, DWORD value) {
        if (out != nullptr) {
            *out = value;
        }
    };
    set(lpcSubKeys, info.subkeys);
    set(lpcbMaxSubKeyLen, info.maxSubkeyNameLength);
    set(lpcbMaxClassLen, info.maxClassLength);
    set(lpcValues, info.values);
    set(lpcbMaxValueNameLen, info.maxValueNameLength);
    set(lpcbMaxValueLen, info.maxValueDataLength);
    set(lpcbSecurityDescriptor, 0);
    if (lpftLastWriteTime != nullptr) {
        *lpftLastWriteTime = ToFileTime(info.lastWriteTime);
    }
    return classResult;
}
