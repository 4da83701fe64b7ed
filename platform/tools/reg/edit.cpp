// reg add KeyName [/v ValueName | /ve] [/t Type] [/s Separator] [/d Data] [/f]
// reg delete KeyName [/v ValueName | /ve | /va] [/f]
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <optional>

#include "reg.h"

namespace reg {
namespace {

struct AddOptions {
    KeyName key;
    std::optional<std::string> value;
    DWORD type = REG_SZ;
    bool typed = false;
    std::optional<std::string> separator;
    std::optional<std::string> data;
    bool force = false;
};

bool ParseAdd(const Arguments& arguments, AddOptions& options) {
    for (std::size_t i = 1; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        const bool hasNext = i + 1 < arguments.size();
        if (IsSwitch(argument, "v") && hasNext && !options.value) {
            options.value = arguments[++i];
        } else if (IsSwitch(argument, "ve") && !options.value) {
            options.value = "";
        } else if (IsSwitch(argument, "t") && hasNext && !options.typed) {
            if (!TypeFromName(arguments[++i], options.type)) {
                return false;
            }
            options.typed = true;
        } else if (IsSwitch(argument, "s") && hasNext && !options.separator) {
            options.separator = arguments[++i];
            if (options.separator->size() != 1) {
                return false;
            }
        } else if (IsSwitch(argument, "d") && hasNext && !options.data) {
            options.data = arguments[++i];
        } else if (IsSwitch(argument, "f")) {
            options.force = true;
        } else {
            return false;
        }
    }
    return true;
}

bool ParseNumber(const std::string& text, unsigned long long limit, unsigned long long& number) {
    if (text.empty()) {
        number = 0;
        return true;
    }
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const std::string digits = hex ? text.substr(2) : text;
    if (digits.empty()) {
        return false;
    }
    for (char c : digits) {
        if (hex ? !std::isxdigit(static_cast<unsigned char>(c))
                : !std::isdigit(static_cast<unsigned char>(c))) {
            return false;
        }
    }
    errno = 0;
    number = std::strtoull(digits.c_str(), nullptr, hex ? 16 : 10);
    return errno == 0 && number <= limit;
}

// The bytes that `/d` gives a value of the type asked for.
bool Encode(const AddOptions& options, std::vector<BYTE>& bytes) {
    const std::string data = options.data.value_or("");
    bytes.clear();
    switch (options.type) {
        case REG_SZ:
        case REG_EXPAND_SZ:
            bytes.assign(data.begin(), data.end());
            bytes.push_back(0);
            return true;
        case REG_MULTI_SZ: {
            // Strings separated by the separator, or by the two characters "\0".
            const std::string separator = options.separator.value_or("\\0");
            std::size_t start = 0;
            while (start < data.size()) {
                std::size_t end = data.find(separator, start);
                if (end == std::string::npos) {
                    end = data.size();
                }
                if (end == start) {
                    return false;  // an empty string would end the list early
                }
                bytes.insert(bytes.end(), data.begin() + static_cast<std::ptrdiff_t>(start),
                             data.begin() + static_cast<std::ptrdiff_t>(end));
                bytes.push_back(0);
                start = end + separator.size();
            }
            bytes.push_back(0);
            return true;
        }
        case REG_DWORD:
        case REG_DWORD_BIG_ENDIAN:
        case REG_QWORD: {
            const bool wide = options.type == REG_QWORD;
            unsigned long long number = 0;
            if (!ParseNumber(data, wide ? ~0ull : 0xFFFFFFFFull, number)) {
                return false;
            }
            const int size = wide ? 8 : 4;
            for (int i = 0; i < size; ++i) {
                bytes.push_back(static_cast<BYTE>(number >> (8 * i)));
            }
            if (options.type == REG_DWORD_BIG_ENDIAN) {
                std::swap(bytes[0], bytes[3]);
                std::swap(bytes[1], bytes[2]);
            }
            return true;
        }
        default:
            // Binary and the other types: hexadecimal digits, two per byte.
            if (data.size() % 2 != 0) {
                return false;
            }
            for (std::size_t i = 0; i < data.size(); i += 2) {
                if (!std::isxdigit(static_cast<unsigned char>(data[i])) ||
                    !std::isxdigit(static_cast<unsigned char>(data[i + 1]))) {
                    return false;
                }
                bytes.push_back(
                    static_cast<BYTE>(std::strtoul(data.substr(i, 2).c_str(), nullptr, 16)));
            }
            return true;
    }
}

bool ValueExists(HKEY key, const std::string& name) {
    return RegQueryValueExA(key, name.c_str(), nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
}

LONG DeleteAllValues(HKEY key) {
    std::vector<Value> values;
    if (LONG result = ReadValues(key, values); result != ERROR_SUCCESS) {
        return result;
    }
    for (const Value& value : values) {
        if (LONG result = RegDeleteValueA(key, value.name.c_str()); result != ERROR_SUCCESS) {
            return result;
        }
    }
    return ERROR_SUCCESS;
}

int Cancelled() {
    std::printf("The operation was cancelled by the user.\n");
    return kFailure;
}

}  // namespace

int Add(const Arguments& arguments) {
    AddOptions options;
    if (arguments.empty() || !ParseAdd(arguments, options)) {
        return InvalidSyntax("ADD");
    }
    if (!ParseKeyName(arguments[0], options.key) || options.key.path.empty()) {
        return InvalidKeyName("ADD");
    }
    if (!options.value && (options.typed || options.data)) {
        options.value = "";  // data without a name is the default value's
    }
    std::vector<BYTE> bytes;
    if (options.value && !Encode(options, bytes)) {
        return InvalidSyntax("ADD");
    }
    HKEY key = nullptr;
    if (LONG result =
            RegCreateKeyExA(options.key.root, options.key.path.c_str(), 0, nullptr,
                            REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &key, nullptr);
        result != ERROR_SUCCESS) {
        return Failed(result);
    }
    LONG result = ERROR_SUCCESS;
    if (options.value) {
        if (!options.force && ValueExists(key, *options.value) &&
            !Confirm("Value " + (options.value->empty() ? "<NO NAME>" : *options.value) +
                     " exists, overwrite(Y/N)? ")) {
            RegCloseKey(key);
            return Cancelled();
        }
        result = RegSetValueExA(key, options.value->c_str(), 0, options.type, bytes.data(),
                                static_cast<DWORD>(bytes.size()));
    }
    RegCloseKey(key);
    return result == ERROR_SUCCESS ? Succeeded() : Failed(result);
}

int Delete(const Arguments& arguments) {
    if (arguments.empty()) {
        return InvalidSyntax("DELETE");
    }
    KeyName name;
    std::optional<std::string> value;
    bool allValues = false;
    bool force = false;
    for (std::size_t i = 1; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        const bool chosen = value || allValues;
        if (IsSwitch(argument, "v") && i + 1 < arguments.size() && !chosen) {
            value = arguments[++i];
        } else if (IsSwitch(argument, "ve") && !chosen) {
            value = "";
        } else if (IsSwitch(argument, "va") && !chosen) {
            allValues = true;
        } else if (IsSwitch(argument, "f")) {
            force = true;
        } else {
            return InvalidSyntax("DELETE");
        }
    }
    if (!ParseKeyName(arguments[0], name) || name.path.empty()) {
        return InvalidKeyName("DELETE");
    }
    if (!value && !allValues) {
        // The key itself, with everything below it. Nothing is asked about a missing key.
        HKEY key = nullptr;
        if (LONG result = RegOpenKeyExA(name.root, name.path.c_str(), 0, KEY_READ, &key);
            result != ERROR_SUCCESS) {
            return Failed(result);
        }
        RegCloseKey(key);
        if (!force && !Confirm("Permanently delete the registry key " + name.Full() + " (Y/N)? ")) {
            return Cancelled();
        }
        const LONG result = SHDeleteKeyA(name.root, name.path.c_str());
        return result == ERROR_SUCCESS ? Succeeded() : Failed(result);
    }
    HKEY key = nullptr;
    if (LONG result =
            RegOpenKeyExA(name.root, name.path.c_str(), 0, KEY_READ | KEY_SET_VALUE, &key);
        result != ERROR_SUCCESS) {
        return Failed(result);
    }
    LONG result = ERROR_SUCCESS;
    if (allValues) {
        if (force ||
            Confirm("Delete all values under the registry key " + name.Full() + " (Y/N)? ")) {
            result = DeleteAllValues(key);
        } else {
            RegCloseKey(key);
            return Cancelled();
        }
    } else if (!ValueExists(key, *value)) {
        result = ERROR_FILE_NOT_FOUND;
    } else if (force || Confirm("Delete the registry value " +
                                (value->empty() ? "<NO NAME>" : *value) + " (Y/N)? ")) {
        result = RegDeleteValueA(key, value->c_str());
    } else {
        RegCloseKey(key);
        return Cancelled();
    }
    RegCloseKey(key);
    return result == ERROR_SUCCESS ? Succeeded() : Failed(result);
}

}  // namespace reg
