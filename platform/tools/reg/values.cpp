// Value types, the data column of `reg query`, and reading a key's values and subkeys.
#include <cstdio>

#include "reg.h"

namespace reg {
namespace {

struct TypeEntry {
    DWORD type;
    const char* name;
};

constexpr TypeEntry kTypes[] = {
    {REG_NONE, "REG_NONE"},
    {REG_SZ, "REG_SZ"},
    {REG_EXPAND_SZ, "REG_EXPAND_SZ"},
    {REG_BINARY, "REG_BINARY"},
    {REG_DWORD, "REG_DWORD"},
    {REG_DWORD_BIG_ENDIAN, "REG_DWORD_BIG_ENDIAN"},
    {REG_LINK, "REG_LINK"},
    {REG_MULTI_SZ, "REG_MULTI_SZ"},
    {REG_RESOURCE_LIST, "REG_RESOURCE_LIST"},
    {REG_FULL_RESOURCE_DESCRIPTOR, "REG_FULL_RESOURCE_DESCRIPTOR"},
    {REG_RESOURCE_REQUIREMENTS_LIST, "REG_RESOURCE_REQUIREMENTS_LIST"},
    {REG_QWORD, "REG_QWORD"},
};

std::string Hex(const std::vector<BYTE>& data) {
    std::string text;
    char pair[3];
    for (BYTE byte : data) {
        std::snprintf(pair, sizeof(pair), "%02X", byte);
        text += pair;
    }
    return text;
}

// The text up to the first terminator.
std::string Text(const std::vector<BYTE>& data, std::size_t from = 0) {
    std::string text;
    for (std::size_t i = from; i < data.size() && data[i] != 0; ++i) {
        text += static_cast<char>(data[i]);
    }
    return text;
}

}  // namespace

bool TypeFromName(const std::string& name, DWORD& type) {
    if (SameText(name, "REG_DWORD_LITTLE_ENDIAN")) {
        type = REG_DWORD;
        return true;
    }
    for (const TypeEntry& entry : kTypes) {
        if (SameText(name, entry.name)) {
            type = entry.type;
            return true;
        }
    }
    return false;
}

std::string TypeName(DWORD type) {
    for (const TypeEntry& entry : kTypes) {
        if (entry.type == type) {
            return entry.name;
        }
    }
    char number[16];
    std::snprintf(number, sizeof(number), "0x%lx", static_cast<unsigned long>(type));
    return number;
}

std::string FormatData(DWORD type, const std::vector<BYTE>& data) {
    char number[32];
    switch (type) {
        case REG_SZ:
        case REG_EXPAND_SZ:
            return Text(data);
        case REG_MULTI_SZ: {
            // Each string followed by a visible "\0", as the XP tool shows them.
            std::string text;
            std::size_t at = 0;
            while (at < data.size() && data[at] != 0) {
                const std::string item = Text(data, at);
                text += item + "\\0";
                at += item.size() + 1;
            }
            return text + "\\0";
        }
        case REG_DWORD:
        case REG_DWORD_BIG_ENDIAN:
            if (data.size() == 4) {
                const DWORD value =
                    type == REG_DWORD
                        ? data[0] | (data[1] << 8) | (data[2] << 16) | (DWORD(data[3]) << 24)
                        : data[3] | (data[2] << 8) | (data[1] << 16) | (DWORD(data[0]) << 24);
                std::snprintf(number, sizeof(number), "0x%lx", static_cast<unsigned long>(value));
                return number;
            }
            break;
        case REG_QWORD:
            if (data.size() == 8) {
                unsigned long long value = 0;
                for (int i = 7; i >= 0; --i) {
                    value = (value << 8) | data[static_cast<std::size_t>(i)];
                }
                std::snprintf(number, sizeof(number), "0x%llx", value);
                return number;
            }
            break;
        default:
            break;
    }
    return Hex(data);
}

LONG ReadValues(HKEY key, std::vector<Value>& values) {
    DWORD count = 0;
    DWORD longestName = 0;
    DWORD longestData = 0;
    LONG result = RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                   &count, &longestName, &longestData, nullptr, nullptr);
    if (result != ERROR_SUCCESS) {
        return result;
    }
    values.clear();
    for (DWORD index = 0;; ++index) {
        std::vector<char> name(longestName + 1);
        Value value;
        value.data.resize(longestData);
        DWORD nameLength = static_cast<DWORD>(name.size());
        DWORD dataLength = longestData;
        result = RegEnumValueA(key, index, name.data(), &nameLength, nullptr, &value.type,
                               value.data.data(), &dataLength);
        if (result == ERROR_MORE_DATA) {
            // Changed since the key was described: describe it again.
            result = RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                      &count, &longestName, &longestData, nullptr, nullptr);
            if (result != ERROR_SUCCESS) {
                return result;
            }
            --index;
            continue;
        }
        if (result == ERROR_NO_MORE_ITEMS) {
            return ERROR_SUCCESS;
        }
        if (result != ERROR_SUCCESS) {
            return result;
        }
        value.name.assign(name.data(), nameLength);
        value.data.resize(dataLength);
        values.push_back(std::move(value));
    }
}

LONG ReadSubkeys(HKEY key, std::vector<std::string>& names) {
    names.clear();
    char name[256];
    for (DWORD index = 0;; ++index) {
        DWORD length = sizeof(name);
        const LONG result =
            RegEnumKeyExA(key, index, name, &length, nullptr, nullptr, nullptr, nullptr);
        if (result == ERROR_NO_MORE_ITEMS) {
            return ERROR_SUCCESS;
        }
        if (result != ERROR_SUCCESS) {
            return result;
        }
        names.emplace_back(name, length);
    }
}

}  // namespace reg
