// The calls on values. String data is UTF-16LE in the store, as the kernel writes and reads
// it, and ANSI at these calls: one byte per UTF-16 unit, terminators included as stored.
#include <cstring>
#include <vector>

#include "keys.h"

namespace hl::win32::reg {
namespace {

bool IsText(DWORD type) {
    return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

std::vector<uint8_t> ToStore(DWORD type, const BYTE* data, DWORD size) {
    if (!IsText(type)) {
        return {data, data + size};
    }
    const std::u16string text =
        AnsiToUtf16(std::string_view(reinterpret_cast<const char*>(data), size));
    std::vector<uint8_t> bytes;
    bytes.reserve(text.size() * 2);
    for (char16_t unit : text) {
        bytes.push_back(static_cast<uint8_t>(unit & 0xFF));
        bytes.push_back(static_cast<uint8_t>(unit >> 8));
    }
    return bytes;
}

std::vector<uint8_t> FromStore(DWORD type, const std::vector<uint8_t>& stored) {
    if (!IsText(type)) {
        return stored;
    }
    std::u16string text(stored.size() / 2, u'\0');  // an odd last byte is no character
    for (std::size_t i = 0; i < text.size(); ++i) {
        text[i] = static_cast<char16_t>(stored[2 * i] | (stored[2 * i + 1] << 8));
    }
    const std::string ansi = Utf16ToAnsi(text);
    return {ansi.begin(), ansi.end()};
}

struct Opened {
    registry::Store* store = nullptr;
    KeyRef ref;
};

LONG Reach(HKEY handle, REGSAM needed, Opened& opened) {
    if (LONG error = Lookup(handle, opened.ref); error != ERROR_SUCCESS) {
        return error;
    }
    if ((opened.ref.rights & needed) != needed) {
        return ERROR_ACCESS_DENIED;
    }
    opened.store = Store();
    return opened.store ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
}

// NotFound from a value call: the value is missing, or the key itself has gone.
LONG MissingValue(const Opened& opened) {
    if (opened.store->OpenKey(Caller(), opened.ref.key) == registry::Result::NotFound) {
        return KeyGone(opened.ref);
    }
    return ERROR_FILE_NOT_FOUND;
}

// Hands data out the way RegQueryValueEx and RegEnumValue do: the size alone without a buffer,
// ERROR_MORE_DATA with the size needed when the buffer is short.
LONG HandOut(const std::vector<uint8_t>& data, LPBYTE buffer, LPDWORD size) {
    if (size == nullptr) {
        return ERROR_SUCCESS;
    }
    const bool fits = data.size() <= *size;
    *size = static_cast<DWORD>(data.size());
    if (buffer == nullptr) {
        return ERROR_SUCCESS;
    }
    if (!fits) {
        return ERROR_MORE_DATA;
    }
    if (!data.empty()) {
        std::memcpy(buffer, data.data(), data.size());
    }
    return ERROR_SUCCESS;
}

}  // namespace
}  // namespace hl::win32::reg

using namespace hl::win32;
using namespace hl::win32::reg;

extern "C" LSTATUS WINAPI RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD /*Reserved*/,
                                         DWORD dwType, const BYTE* lpData, DWORD cbData) {
    if (lpData == nullptr && cbData != 0) {
        return ERROR_NOACCESS;
    }
    Opened opened;
    if (LONG error = Reach(hKey, KEY_SET_VALUE, opened); error != ERROR_SUCCESS) {
        return error;
    }
    const std::vector<uint8_t> data = ToStore(dwType, lpData, cbData);
    const registry::Result set = opened.store->SetValue(
        Caller(), opened.ref.key, NameToStore(lpValueName ? lpValueName : ""), dwType, data);
    return set == registry::Result::NotFound ? KeyGone(opened.ref) : ToError(set);
}

extern "C" LSTATUS WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved,
                                           LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
    if (lpReserved != nullptr || (lpData != nullptr && lpcbData == nullptr)) {
        return ERROR_INVALID_PARAMETER;
    }
    Opened opened;
    if (LONG error = Reach(hKey, KEY_QUERY_VALUE, opened); error != ERROR_SUCCESS) {
        return error;
    }
    uint32_t type = REG_NONE;
    std::vector<uint8_t> stored;
    const registry::Result queried = opened.store->QueryValue(
        Caller(), opened.ref.key, NameToStore(lpValueName ? lpValueName : ""), type, stored);
    if (queried == registry::Result::NotFound) {
        return MissingValue(opened);
    }
    if (queried != registry::Result::Ok) {
        return ToError(queried);
    }
    if (lpType != nullptr) {
        *lpType = type;
    }
    return HandOut(FromStore(type, stored), lpData, lpcbData);
}

extern "C" LSTATUS WINAPI RegEnumValueA(HKEY hKey, DWORD dwIndex, LPSTR lpValueName,
                                        LPDWORD lpcchValueName, LPDWORD lpReserved, LPDWORD lpType,
                                        LPBYTE lpData, LPDWORD lpcbData) {
    if (lpValueName == nullptr || lpcchValueName == nullptr || lpReserved != nullptr ||
        (lpData != nullptr && lpcbData == nullptr)) {
        return ERROR_INVALID_PARAMETER;
    }
    Opened opened;
    if (LONG error = Reach(hKey, KEY_QUERY_VALUE, opened); error != ERROR_SUCCESS) {
        return error;
    }
    registry::Value value;
    const registry::Result found =
        opened.store->EnumValue(Caller(), opened.ref.key, dwIndex, value);
    if (found != registry::Result::Ok) {
        return found == registry::Result::NotFound ? KeyGone(opened.ref) : ToError(found);
    }
    if (lpType != nullptr) {
        *lpType = value.type;
    }
    const std::vector<uint8_t> data = FromStore(value.type, value.data);
    const std::string name = NameFromStore(value.name);
    if (name.size() >= *lpcchValueName) {
        // The name does not fit: the data size is still reported, the name count left alone.
        if (lpcbData != nullptr) {
            *lpcbData = static_cast<DWORD>(data.size());
        }
        return ERROR_MORE_DATA;
    }
    std::memcpy(lpValueName, name.c_str(), name.size() + 1);
    *lpcchValueName = static_cast<DWORD>(name.size());
    return HandOut(data, lpData, lpcbData);
}

extern "C" LSTATUS WINAPI RegDeleteValueA(HKEY hKey, LPCSTR lpValueName) {
    Opened opened;
    if (LONG error = Reach(hKey, KEY_SET_VALUE, opened); error != ERROR_SUCCESS) {
        return error;
    }
    const registry::Result deleted = opened.store->DeleteValue(
        Caller(), opened.ref.key, NameToStore(lpValueName ? lpValueName : ""));
    return deleted == registry::Result::NotFound ? MissingValue(opened) : ToError(deleted);
}
