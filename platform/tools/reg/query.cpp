// reg query KeyName [/v ValueName | /ve] [/s]
#include <cstdio>
#include <optional>

#include "reg.h"

namespace reg {
namespace {

struct Options {
    KeyName key;
    std::optional<std::string> value;  // "" for the default value
    bool recursive = false;
};

bool ParseOptions(const Arguments& arguments, Options& options) {
    for (std::size_t i = 1; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (IsSwitch(argument, "v") && i + 1 < arguments.size() && !options.value) {
            options.value = arguments[++i];
        } else if (IsSwitch(argument, "ve") && !options.value) {
            options.value = "";
        } else if (IsSwitch(argument, "s") && !options.recursive) {
            options.recursive = true;
        } else {
            return false;
        }
    }
    return true;
}

void PrintValue(const Value& value) {
    std::printf("    %s\t%s\t%s\n", value.name.empty() ? "<NO NAME>" : value.name.c_str(),
                TypeName(value.type).c_str(), FormatData(value.type, value.data).c_str());
}

// Prints one key (and with `recursive` its subtree); `found` tells whether the value asked
// for was seen anywhere.
LONG QueryKey(HKEY key, const std::string& name, const Options& options, bool& found) {
    std::vector<Value> values;
    if (LONG result = ReadValues(key, values); result != ERROR_SUCCESS) {
        return result;
    }
    bool shown = false;
    for (const Value& value : values) {
        if (options.value && !SameText(value.name, *options.value)) {
            continue;
        }
        if (!shown) {
            std::printf("%s\n", name.c_str());
            shown = true;
        }
        PrintValue(value);
        found = true;
    }
    if (!options.value && !shown) {
        std::printf("%s\n", name.c_str());
        shown = true;
    }
    if (shown) {
        std::printf("\n");
    }
    if (options.value && !options.recursive) {
        return ERROR_SUCCESS;
    }
    std::vector<std::string> subkeys;
    if (LONG result = ReadSubkeys(key, subkeys); result != ERROR_SUCCESS) {
        return result;
    }
    for (const std::string& subkey : subkeys) {
        const std::string subkeyName = name + "\\" + subkey;
        if (!options.recursive) {
            std::printf("%s\n", subkeyName.c_str());
            continue;
        }
        HKEY child = nullptr;
        if (LONG result = RegOpenKeyExA(key, subkey.c_str(), 0, KEY_READ, &child);
            result != ERROR_SUCCESS) {
            return result;
        }
        const LONG result = QueryKey(child, subkeyName, options, found);
        RegCloseKey(child);
        if (result != ERROR_SUCCESS) {
            return result;
        }
    }
    return ERROR_SUCCESS;
}

}  // namespace

int Query(const Arguments& arguments) {
    Options options;
    if (arguments.empty() || !ParseOptions(arguments, options)) {
        return InvalidSyntax("QUERY");
    }
    if (!ParseKeyName(arguments[0], options.key)) {
        return InvalidKeyName("QUERY");
    }
    HKEY key = nullptr;
    if (LONG result = RegOpenKeyExA(options.key.root, options.key.path.c_str(), 0, KEY_READ, &key);
        result != ERROR_SUCCESS) {
        return Failed(result);
    }
    std::printf("\n! REG.EXE VERSION 3.0\n\n");
    bool found = false;
    const LONG result = QueryKey(key, options.key.Full(), options, found);
    RegCloseKey(key);
    if (result != ERROR_SUCCESS) {
        return Failed(result);
    }
    if (options.value && !found) {
        return Failed(ERROR_FILE_NOT_FOUND);
    }
    return kSuccess;
}

}  // namespace reg
