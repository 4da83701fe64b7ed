// Key names on the command line and in .reg files, and the tool's messages.
#include <cctype>
#include <cstdio>
#include <iostream>

#include "reg.h"

namespace reg {
namespace {

struct RootName {
    const char* shortName;
    const char* longName;
    HKEY root;
};

const RootName kRoots[] = {
    {"HKLM", "HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE},
    {"HKCU", "HKEY_CURRENT_USER", HKEY_CURRENT_USER},
    {"HKCR", "HKEY_CLASSES_ROOT", HKEY_CLASSES_ROOT},
    {"HKU", "HKEY_USERS", HKEY_USERS},
    {"HKCC", "HKEY_CURRENT_CONFIG", HKEY_CURRENT_CONFIG},
};

bool Parse(const std::string& text, bool shortNames, KeyName& key) {
    const std::size_t separator = text.find('\\');
    const std::string root = text.substr(0, separator);
    std::string path = separator == std::string::npos ? "" : text.substr(separator + 1);
    while (!path.empty() && path.back() == '\\') {
        path.pop_back();
    }
    if (!path.empty() && path.front() == '\\') {
        return false;
    }
    for (const RootName& candidate : kRoots) {
        if ((shortNames && SameText(root, candidate.shortName)) ||
            SameText(root, candidate.longName)) {
            key = {candidate.root, candidate.longName, path};
            return true;
        }
    }
    return false;
}

const char* ErrorText(LONG error) {
    switch (error) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
            return "The system was unable to find the specified registry key or value.";
        case ERROR_ACCESS_DENIED:
            return "Access is denied.";
        case ERROR_INVALID_HANDLE:
            return "The handle is invalid.";
        case ERROR_INVALID_PARAMETER:
            return "The parameter is incorrect.";
        case ERROR_BAD_PATHNAME:
            return "The specified path is invalid.";
        case ERROR_KEY_DELETED:
            return "Illegal operation attempted on a registry key that has been marked for "
                   "deletion.";
        case ERROR_BADDB:
        case ERROR_REGISTRY_CORRUPT:
            return "The configuration registry database is corrupt.";
        case ERROR_REGISTRY_IO_FAILED:
            return "An I/O operation initiated by the registry failed unrecoverably.";
        case ERROR_PRIVILEGE_NOT_HELD:
            return "A required privilege is not held by the client.";
        default:
            return nullptr;
    }
}

}  // namespace

bool SameText(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::toupper(static_cast<unsigned char>(a[i])) !=
            std::toupper(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return true;
}

bool IsSwitch(const std::string& argument, const char* name) {
    return argument.size() >= 2 && (argument[0] == '/' || argument[0] == '-') &&
           SameText(argument.substr(1), name);
}

bool ParseKeyName(const std::string& text, KeyName& key) {
    return Parse(text, true, key);
}

bool ParseRootedName(const std::string& text, KeyName& key) {
    return Parse(text, false, key);
}

int Succeeded() {
    std::printf("The operation completed successfully.\n");
    return kSuccess;
}

int Failed(LONG error) {
    if (const char* text = ErrorText(error)) {
        std::fprintf(stderr, "ERROR: %s\n", text);
    } else {
        std::fprintf(stderr, "ERROR: The operation failed (error %ld).\n",
                     static_cast<long>(error));
    }
    return kFailure;
}

int InvalidSyntax(const std::string& operation) {
    std::fprintf(stderr, "ERROR: Invalid syntax.\nType \"REG %s /?\" for usage.\n",
                 operation.c_str());
    return kFailure;
}

int InvalidKeyName(const std::string& operation) {
    std::fprintf(stderr, "ERROR: Invalid key name.\nType \"REG %s /?\" for usage.\n",
                 operation.c_str());
    return kFailure;
}

bool Confirm(const std::string& question) {
    std::printf("%s", question.c_str());
    std::fflush(stdout);
    std::string answer;
    if (!std::getline(std::cin, answer)) {
        return false;
    }
    return !answer.empty() && std::toupper(static_cast<unsigned char>(answer[0])) == 'Y';
}

}  // namespace reg
