// reg export KeyName FileName [/y] and reg import FileName: the .reg text of the registry
// editor ("Windows Registry Editor Version 5.00"). Files are written in the ANSI code page; the
// data of string types inside hex(...) is UTF-16LE, as Windows writes it. Files read may be
// ANSI, UTF-16LE or UTF-8, each of the last two with its byte-order mark.
#include <cctype>
#include <cstdio>
#include <cstdlib>

#include "reg.h"

namespace reg {
namespace {

constexpr const char* kHeader = "Windows Registry Editor Version 5.00";
constexpr const char* kOldHeader = "REGEDIT4";

// ---- writing ----------------------------------------------------------------------------

std::string Quoted(const std::string& text) {
    std::string quoted = "\"";
    for (char c : text) {
        if (c == '\\' || c == '"') {
            quoted += '\\';
        }
        quoted += c;
    }
    return quoted + "\"";
}

// A REG_SZ that the quoted form carries exactly: one terminator, at the end, on one line.
bool IsPlainString(const std::vector<BYTE>& data) {
    if (data.empty() || data.back() != 0) {
        return false;
    }
    for (std::size_t i = 0; i + 1 < data.size(); ++i) {
        if (data[i] == 0 || data[i] == '\r' || data[i] == '\n') {
            return false;
        }
    }
    return true;
}

// "hex:" or "hex(N):" and the bytes, wrapped the way the registry editor wraps them.
std::string HexData(const std::string& prefix, const std::vector<BYTE>& bytes) {
    std::string text = prefix;
    std::size_t column = text.size();
    char pair[4];
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(pair, sizeof(pair), "%02x", bytes[i]);
        text += pair;
        column += 2;
        if (i + 1 < bytes.size()) {
            text += ',';
            ++column;
            if (column > 76) {
                text += "\\\r\n  ";
                column = 2;
            }
        }
    }
    return text;
}

std::string ValueLine(const Value& value) {
    const std::string name = value.name.empty() ? "@" : Quoted(value.name);
    if (value.type == REG_SZ && IsPlainString(value.data)) {
        return name + "=" + Quoted(std::string(value.data.begin(), value.data.end() - 1));
    }
    if (value.type == REG_DWORD && value.data.size() == 4) {
        char number[16];
        std::snprintf(
            number, sizeof(number), "%08lx",
            static_cast<unsigned long>(value.data[0] | (value.data[1] << 8) |
                                       (value.data[2] << 16) | (DWORD(value.data[3]) << 24)));
        return name + "=dword:" + number;
    }
    if (value.type == REG_BINARY) {
        return HexData(name + "=hex:", value.data);
    }
    const bool text =
        value.type == REG_SZ || value.type == REG_EXPAND_SZ || value.type == REG_MULTI_SZ;
    char prefix[32];
    std::snprintf(prefix, sizeof(prefix), "=hex(%lx):", static_cast<unsigned long>(value.type));
    return HexData(name + prefix, text ? AnsiToUtf16Le(value.data) : value.data);
}

LONG WriteKey(HKEY key, const std::string& name, std::string& out) {
    out += "[" + name + "]\r\n";
    std::vector<Value> values;
    if (LONG result = ReadValues(key, values); result != ERROR_SUCCESS) {
        return result;
    }
    for (const Value& value : values) {
        out += ValueLine(value) + "\r\n";
    }
    out += "\r\n";
    std::vector<std::string> subkeys;
    if (LONG result = ReadSubkeys(key, subkeys); result != ERROR_SUCCESS) {
        return result;
    }
    for (const std::string& subkey : subkeys) {
        HKEY child = nullptr;
        if (LONG result = RegOpenKeyExA(key, subkey.c_str(), 0, KEY_READ, &child);
            result != ERROR_SUCCESS) {
            return result;
        }
        const LONG result = WriteKey(child, name + "\\" + subkey, out);
        RegCloseKey(child);
        if (result != ERROR_SUCCESS) {
            return result;
        }
    }
    return ERROR_SUCCESS;
}

bool WriteWholeFile(const std::string& file, const std::string& text, bool replace) {
    HANDLE handle =
        CreateFileA(file.c_str(), GENERIC_WRITE, 0, nullptr, replace ? CREATE_ALWAYS : CREATE_NEW,
                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return false;
    }
    DWORD written = 0;
    const bool ok =
        WriteFile(handle, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
        written == text.size();
    CloseHandle(handle);
    return ok;
}

// ---- reading ----------------------------------------------------------------------------

bool ReadWholeFile(const std::string& file, std::string& text) {
    HANDLE handle = CreateFileA(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return false;
    }
    text.clear();
    char buffer[4096];
    DWORD read = 0;
    bool ok = true;
    while ((ok = ReadFile(handle, buffer, sizeof(buffer), &read, nullptr)) && read > 0) {
        text.append(buffer, read);
    }
    CloseHandle(handle);
    return ok;
}

// The file's text in the ANSI code page.
std::string AsAnsi(const std::string& raw) {
    if (raw.size() >= 2 && static_cast<BYTE>(raw[0]) == 0xFF && static_cast<BYTE>(raw[1]) == 0xFE) {
        const std::vector<BYTE> ansi = Utf16LeToAnsi(std::vector<BYTE>(raw.begin() + 2, raw.end()));
        return {ansi.begin(), ansi.end()};
    }
    if (raw.size() >= 3 && raw.compare(0, 3, "\xEF\xBB\xBF") == 0) {
        return Utf8ToAnsi(raw.substr(3));
    }
    return raw;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        lines.push_back(std::move(line));
        start = end + 1;
    }
    return lines;
}

std::string Trim(const std::string& text) {
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end && std::isspace(static_cast<unsigned char>(text[begin]))) {
        ++begin;
    }
    while (end > begin && std::isspace(static_cast<unsigned char>(text[end - 1]))) {
        --end;
    }
    return text.substr(begin, end - begin);
}

// A quoted string at `at`, escapes undone; `at` ends past the closing quote.
bool ParseQuoted(const std::string& line, std::size_t& at, std::string& text) {
    if (at >= line.size() || line[at] != '"') {
        return false;
    }
    text.clear();
    for (++at; at < line.size(); ++at) {
        if (line[at] == '\\' && at + 1 < line.size()) {
            text += line[++at];
        } else if (line[at] == '"') {
            ++at;
            return true;
        } else {
            text += line[at];
        }
    }
    return false;
}

bool ParseHexBytes(const std::string& text, std::vector<BYTE>& bytes) {
    bytes.clear();
    std::size_t at = 0;
    while (at < text.size()) {
        while (at < text.size() && std::isspace(static_cast<unsigned char>(text[at]))) {
            ++at;
        }
        if (at + 2 > text.size() || !std::isxdigit(static_cast<unsigned char>(text[at])) ||
            !std::isxdigit(static_cast<unsigned char>(text[at + 1]))) {
            return at >= text.size();
        }
        bytes.push_back(static_cast<BYTE>(std::strtoul(text.substr(at, 2).c_str(), nullptr, 16)));
        at += 2;
        while (at < text.size() && std::isspace(static_cast<unsigned char>(text[at]))) {
            ++at;
        }
        if (at < text.size() && text[at] != ',') {
            return false;
        }
        ++at;
    }
    return true;
}

// The data after '=': a string, dword:, hex: or hex(N):; `remove` for "-".
bool ParseData(const std::string& text, bool wideStrings, DWORD& type, std::vector<BYTE>& data,
               bool& remove) {
    remove = text == "-";
    if (remove) {
        return true;
    }
    if (!text.empty() && text[0] == '"') {
        std::size_t at = 0;
        std::string value;
        if (!ParseQuoted(text, at, value) || !Trim(text.substr(at)).empty()) {
            return false;
        }
        type = REG_SZ;
        data.assign(value.begin(), value.end());
        data.push_back(0);
        return true;
    }
    if (text.compare(0, 6, "dword:") == 0) {
        const std::string digits = Trim(text.substr(6));
        if (digits.empty() || digits.size() > 8) {
            return false;
        }
        for (char c : digits) {
            if (!std::isxdigit(static_cast<unsigned char>(c))) {
                return false;
            }
        }
        const unsigned long number = std::strtoul(digits.c_str(), nullptr, 16);
        type = REG_DWORD;
        data = {static_cast<BYTE>(number), static_cast<BYTE>(number >> 8),
                static_cast<BYTE>(number >> 16), static_cast<BYTE>(number >> 24)};
        return true;
    }
    std::size_t colon = std::string::npos;
    if (text.compare(0, 4, "hex:") == 0) {
        type = REG_BINARY;
        colon = 3;
    } else if (text.compare(0, 4, "hex(") == 0) {
        const std::size_t close = text.find("):", 4);
        if (close == std::string::npos || close == 4) {
            return false;
        }
        char* end = nullptr;
        type = static_cast<DWORD>(std::strtoul(text.c_str() + 4, &end, 16));
        if (end != text.c_str() + close) {
            return false;
        }
        colon = close + 1;
    } else {
        return false;
    }
    if (!ParseHexBytes(text.substr(colon + 1), data)) {
        return false;
    }
    if (wideStrings && (type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ)) {
        data = Utf16LeToAnsi(data);
    }
    return true;
}

class Importer {
public:
    explicit Importer(bool wideStrings) : wideStrings_(wideStrings) {}
    ~Importer() { Close(); }

    // One logical line (continuations already joined); false when it is malformed.
    bool Line(const std::string& line, LONG& failure) {
        if (line.empty() || line[0] == ';') {
            return true;
        }
        if (line[0] == '[') {
            return Section(line, failure);
        }
        if (key_ == nullptr) {
            return skipping_;  // values of a deleted or refused key are passed over
        }
        std::string name;
        std::size_t at = 0;
        if (line[0] == '@') {
            at = 1;
        } else if (!ParseQuoted(line, at, name)) {
            return false;
        }
        while (at < line.size() && line[at] == ' ') {
            ++at;
        }
        if (at >= line.size() || line[at] != '=') {
            return false;
        }
        DWORD type = REG_NONE;
        std::vector<BYTE> data;
        bool remove = false;
        if (!ParseData(Trim(line.substr(at + 1)), wideStrings_, type, data, remove)) {
            return false;
        }
        const LONG result = remove ? RegDeleteValueA(key_, name.c_str())
                                   : RegSetValueExA(key_, name.c_str(), 0, type, data.data(),
                                                    static_cast<DWORD>(data.size()));
        if (result != ERROR_SUCCESS && !(remove && result == ERROR_FILE_NOT_FOUND)) {
            failure = result;
        }
        return true;
    }

private:
    bool Section(const std::string& line, LONG& failure) {
        Close();
        skipping_ = true;
        const std::size_t close = line.rfind(']');
        if (close == std::string::npos || close < 2) {
            return false;
        }
        const bool remove = line[1] == '-';
        KeyName name;
        if (!ParseRootedName(line.substr(remove ? 2 : 1, close - (remove ? 2 : 1)), name)) {
            return false;
        }
        if (remove && name.path.empty()) {
            failure = ERROR_ACCESS_DENIED;  // a predefined key stays
            return true;
        }
        LONG result = ERROR_SUCCESS;
        if (remove) {
            result = SHDeleteKeyA(name.root, name.path.c_str());
            if (result == ERROR_FILE_NOT_FOUND) {
                result = ERROR_SUCCESS;
            }
        } else {
            result =
                RegCreateKeyExA(name.root, name.path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                KEY_ALL_ACCESS, nullptr, &key_, nullptr);
            if (result != ERROR_SUCCESS) {
                key_ = nullptr;
            }
        }
        if (result != ERROR_SUCCESS) {
            failure = result;
        }
        return true;
    }

    void Close() {
        if (key_ != nullptr) {
            RegCloseKey(key_);
            key_ = nullptr;
        }
    }

    bool wideStrings_;
    HKEY key_ = nullptr;
    bool skipping_ = false;
};

int NotAScript() {
    std::fprintf(stderr,
                 "ERROR: The specified file is not a registry script.\n"
                 "You can only import binary registry files from within the registry editor.\n");
    return kFailure;
}

}  // namespace

int Export(const Arguments& arguments) {
    const bool replace = arguments.size() == 3 && IsSwitch(arguments[2], "y");
    if (arguments.size() != 2 && !replace) {
        return InvalidSyntax("EXPORT");
    }
    KeyName name;
    if (!ParseKeyName(arguments[0], name)) {
        return InvalidKeyName("EXPORT");
    }
    HKEY key = nullptr;
    if (LONG result = RegOpenKeyExA(name.root, name.path.c_str(), 0, KEY_READ, &key);
        result != ERROR_SUCCESS) {
        return Failed(result);
    }
    std::string text = std::string(kHeader) + "\r\n\r\n";
    const LONG result = WriteKey(key, name.Full(), text);
    RegCloseKey(key);
    if (result != ERROR_SUCCESS) {
        return Failed(result);
    }
    if (!WriteWholeFile(arguments[1], text, replace)) {
        if (GetLastError() != ERROR_FILE_EXISTS ||
            !Confirm("File " + arguments[1] + " already exists. Overwrite (Y/N)? ") ||
            !WriteWholeFile(arguments[1], text, true)) {
            std::fprintf(stderr,
                         "ERROR: Error opening the file. There may be a disk or file "
                         "system error.\n");
            return kFailure;
        }
    }
    return Succeeded();
}

int Import(const Arguments& arguments) {
    if (arguments.size() != 1) {
        return InvalidSyntax("IMPORT");
    }
    std::string raw;
    if (!ReadWholeFile(arguments[0], raw)) {
        std::fprintf(stderr,
                     "ERROR: Error opening the file. There may be a disk or file system error.\n");
        return kFailure;
    }
    const std::vector<std::string> lines = Lines(AsAnsi(raw));
    std::size_t at = 0;
    while (at < lines.size() && Trim(lines[at]).empty()) {
        ++at;
    }
    if (at == lines.size()) {
        return NotAScript();
    }
    const std::string header = Trim(lines[at]);
    if (header != kHeader && header != kOldHeader) {
        return NotAScript();
    }
    Importer importer(header == kHeader);
    LONG failure = ERROR_SUCCESS;
    for (++at; at < lines.size(); ++at) {
        std::string line = Trim(lines[at]);
        // A value's data goes on over lines that end in a backslash.
        while (!line.empty() && line.back() == '\\' && line[0] != '[' && at + 1 < lines.size()) {
            line.pop_back();
            line += Trim(lines[++at]);
        }
        if (!importer.Line(line, failure)) {
            return NotAScript();
        }
    }
    return failure == ERROR_SUCCESS ? Succeeded() : Failed(failure);
}

}  // namespace reg
