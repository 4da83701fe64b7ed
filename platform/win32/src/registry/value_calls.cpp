// The calls on values. String data is UTF-16LE in the store, as the kernel writes and reads
// it, and ANSI at these calls: one byte per UTF-16 unit, terminators included as stored. A
// string is stored as long as the caller says it is: Windows also looks at the byte after it
// and stores a terminator it finds there, which would read past the caller's data.
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
    if (opened.store == nullptr) {
        return ERROR_FILE_NOT_FOUND;
    }
    return Alive(opened.ref);
}

// NotFound from a value call: the value is missing, or the key itself has gone.
LONG MissingValue(const Opened& opened) {
    if (opened.store->OpenKey(Caller(), opened.ref.key) == registry::Result::NotFound) {
        return KeyGone(opened.ref);
    }
    return ERROR_FILE_NOT_FOUND;
}

// Hands data out the way RegQueryValueExA and RegEnumValueA do into a buffer of `capacity`
// bytes: the size alone without a buffer, ERROR_MORE_DATA with the size needed (and the buffer
// untouched) when it is short. A string stored without its terminator gets one after it when
// the buffer has room, which the size does not count.
LONG HandOut(DWORD type, const std::vector<uint8_t>& data, LPBYTE buffer, LPDWORD size,
             DWORD capacity) {
    if (size == nullptr) {
        return ERROR_SUCCESS;
    }
    *size = static_cast<DWORD>(data.size());
    if (buffer == nullptr) {
        return ERROR_SUCCESS;
    }
    if (data.size() > capacity) {
        return ERROR_MORE_DATA;
    }
    if (!data.empty()) {
        std::memcpy(buffer, data.data(), data.size());
        if (IsText(type) && data.back() != 0 && data.size() < capacity) {
            buffer[data.size()] = 0;
        }
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
    // lpType and lpcbData may be the same variable: the size is read before the type lands.
    const DWORD capacity = lpcbData != nullptr ? *lpcbData : 0;
    Opened opened;
    if (LONG error = Reach(hKey, KEY_QUERY_VALUE, opened); error != ERROR_SUCCESS) {
        return error;
    }
    uint32_t type = REG_NONE;
    std::vector<uint8_t> stored;
    const registry::Result queried = opened.store->QueryValue(
        Caller(), opened.ref.key, NameToStore(lpValueName ? lpValueName : ""), type, stored);
    if (queried == registry::Result::NotFound) {
        // Asked for the size alone, the caller learns there is nothing.
        if (lpcbData != nullptr && lpData == nullptr) {
            *lpcbData = 0;
        }
        return MissingValue(opened);
    }
    if (queried != registry::Result::Ok) {
        return ToError(queried);
    }
    if (lpType != nullptr) {
        *lpType = type;
    }
    return HandOut(type, FromStore(type, stored), lpData, lpcbData, capacity);
}

extern "C" LSTATUS WINAPI RegEnumValueA(HKEY hKey, DWORD dwIndex, LPSTR lpValueName,
                                        LPDWORD lpcchValueName, LPDWORD lpReserved, LPDWORD lpType,
                                        LPBYTE lpData, LPDWORD lpcbData) {
    if (lpValueName == nullptr || lpcchValueName == nullptr || lpReserved != nullptr ||
        (lpData != nullptr && lpcbData == nullptr)) {
        return ERROR_INVALID_PARAMETER;
    }
    const DWORD nameCapacity = *lpcchValueName;
    const DWORD dataCapacity = lpcbData != nullptr ? *lpcbData : 0;
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
    if (name.size() >= nameCapacity || (lpData != nullptr && data.size() > dataCapacity)) {
        // Either does not fit: neither the name nor the data is written, the name count is
        // left alone and the data size reported.
        if (lpcbData != nullptr) {
            *lpcbData = static_cast<DWORD>(data.size());
        }
        return ERROR_MORE_DATA;
    }
    std::memcpy(lpValueName, name.c_str(), name.size() + 1);
    *lpcchValueName = static_cast<DWORD>(name.size());
    return HandOut(value.type, data, lpData, lpcbData, dataCapacity);
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
