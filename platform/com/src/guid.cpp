// Identifiers as text: "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}".

// The system's own interface identifiers are defined here, as uuid.lib holds them on Windows.
#define INITGUID

#include <objbase.h>

#include <cstdio>
#include <string>

#include "com/modules.h"

namespace hl::com {

namespace {

constexpr std::size_t kGuidTextLength = 38;

int HexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// Reads `digits` hexadecimal digits at `at`.
bool ReadHex(const std::string& text, std::size_t at, int digits, unsigned long long& value) {
    value = 0;
    for (int i = 0; i < digits; ++i) {
        const int digit = HexValue(text[at + static_cast<std::size_t>(i)]);
        if (digit < 0) {
            return false;
        }
        value = value * 16 + static_cast<unsigned>(digit);
    }
    return true;
}

std::string Narrow(LPCOLESTR wide) {
    std::string text;
    for (; *wide != 0 && text.size() <= kGuidTextLength; ++wide) {
        text.push_back(*wide < 0x80 ? static_cast<char>(*wide) : '?');
    }
    return text;
}

}  // namespace

std::string GuidText(REFGUID guid) {
    char text[kGuidTextLength + 1];
    std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  guid.Data1, guid.Data2, guid.Data3, guid.Data4[0], guid.Data4[1], guid.Data4[2],
                  guid.Data4[3], guid.Data4[4], guid.Data4[5], guid.Data4[6], guid.Data4[7]);
    return text;
}

bool ParseGuid(const std::string& text, GUID& guid) {
    if (text.size() != kGuidTextLength || text.front() != '{' || text.back() != '}' ||
        text[9] != '-' || text[14] != '-' || text[19] != '-' || text[24] != '-') {
        return false;
    }
    unsigned long long value = 0;
    GUID parsed{};
    if (!ReadHex(text, 1, 8, value)) {
        return false;
    }
    parsed.Data1 = static_cast<ULONG>(value);
    if (!ReadHex(text, 10, 4, value)) {
        return false;
    }
    parsed.Data2 = static_cast<USHORT>(value);
    if (!ReadHex(text, 15, 4, value)) {
        return false;
    }
    parsed.Data3 = static_cast<USHORT>(value);
    constexpr std::size_t kBytes[8] = {20, 22, 25, 27, 29, 31, 33, 35};
    for (int i = 0; i < 8; ++i) {
        if (!ReadHex(text, kBytes[i], 2, value)) {
            return false;
        }
        parsed.Data4[i] = static_cast<UCHAR>(value);
    }
    guid = parsed;
    return true;
}

}  // namespace hl::com

extern "C" {

int STDAPICALLTYPE StringFromGUID2(REFGUID rguid, LPOLESTR lpsz, int cchMax) {
    const std::string text = hl::com::GuidText(rguid);
    if (lpsz == nullptr || cchMax < static_cast<int>(text.size() + 1)) {
        return 0;
    }
    for (std::size_t i = 0; i < text.size(); ++i) {
        lpsz[i] = static_cast<OLECHAR>(text[i]);
    }
    lpsz[text.size()] = 0;
    return static_cast<int>(text.size() + 1);
}

HRESULT STDAPICALLTYPE CLSIDFromString(LPCOLESTR lpsz, LPCLSID pclsid) {
    if (lpsz == nullptr || pclsid == nullptr) {
        return E_INVALIDARG;
    }
    return hl::com::ParseGuid(hl::com::Narrow(lpsz), *pclsid) ? S_OK : CO_E_CLASSSTRING;
}

HRESULT STDAPICALLTYPE IIDFromString(LPCOLESTR lpsz, LPIID lpiid) {
    if (lpsz == nullptr || lpiid == nullptr) {
        return E_INVALIDARG;
    }
    return hl::com::ParseGuid(hl::com::Narrow(lpsz), *lpiid) ? S_OK : E_INVALIDARG;
}

}  // extern "C"
