// regsvr32: registers an in-process server module, or with /u unregisters it, by calling its
// DllRegisterServer or DllUnregisterServer. /s keeps it silent; the exit code tells the outcome.
#include <objbase.h>
#include <strings.h>
#include <windows.h>

#include <cstdio>
#include <string>

#include "com/modules.h"

namespace {

enum ExitCode {
    kSucceeded = 0,
    kBadArguments = 1,
    kInitializeFailed = 2,
    kLoadFailed = 3,
    kNoEntryPoint = 4,
    kCallFailed = 5,
};

struct Options {
    bool silent = false;
    bool unregister = false;
    std::string module;
};

bool IsSwitch(const char* argument, const char* name) {
    return (argument[0] == '/' || argument[0] == '-') && ::strcasecmp(argument + 1, name) == 0;
}

bool ParseArguments(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        if (IsSwitch(argv[i], "s")) {
            options.silent = true;
        } else if (IsSwitch(argv[i], "u")) {
            options.unregister = true;
        } else if (argv[i][0] == '/' || !options.module.empty()) {
            return false;
        } else {
            options.module = argv[i];
        }
    }
    return !options.module.empty();
}

std::string LoadFailureText(HRESULT hr) {
    if (hr == HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND)) {
        return "The specified module could not be found.";
    }
    if (hr == HRESULT_FROM_WIN32(ERROR_BAD_EXE_FORMAT)) {
        return "The module is not a valid Win32 application.";
    }
    char text[64];
    std::snprintf(text, sizeof text, "Error 0x%08X.", static_cast<unsigned>(hr));
    return text;
}

class Reporter {
public:
    explicit Reporter(bool silent) : silent_(silent) {}
    void Success(const std::string& text) const { Show(stdout, text); }
    void Failure(const std::string& text) const { Show(stderr, text); }

private:
    void Show(std::FILE* stream, const std::string& text) const {
        if (!silent_) {
            std::fprintf(stream, "%s\n", text.c_str());
        }
    }
    bool silent_;
};

int Run(const Options& options) {
    const Reporter report(options.silent);
    if (FAILED(CoInitialize(nullptr))) {
        report.Failure("OleInitialize failed.");
        return kInitializeFailed;
    }
    const char* entryName = options.unregister ? "DllUnregisterServer" : "DllRegisterServer";
    void* module = nullptr;
    if (const HRESULT hr = hl::com::LoadServerModule(options.module, module); FAILED(hr)) {
        report.Failure("LoadLibrary(\"" + options.module + "\") failed - " + LoadFailureText(hr));
        CoUninitialize();
        return kLoadFailed;
    }
    using Entry = HRESULT(STDAPICALLTYPE*)();
    auto* entry = reinterpret_cast<Entry>(hl::com::ModuleExport(module, entryName));
    if (entry == nullptr) {
        report.Failure(options.module + " was loaded, but the " + entryName +
                       " entry point was not found.\n\nThis file can not be registered.");
        CoUninitialize();
        return kNoEntryPoint;
    }
    const HRESULT hr = entry();
    CoUninitialize();
    if (FAILED(hr)) {
        char code[16];
        std::snprintf(code, sizeof code, "0x%08x", static_cast<unsigned>(hr));
        report.Failure(std::string(entryName) + " in " + options.module +
                       " failed.\nReturn code was: " + code);
        return kCallFailed;
    }
    report.Success(std::string(entryName) + " in " + options.module + " succeeded.");
    return kSucceeded;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!ParseArguments(argc, argv, options)) {
        if (!options.silent) {
            std::fprintf(stderr,
                         "Usage: regsvr32 [/u] [/s] dllname\n"
                         "/u - Unregister server\n"
                         "/s - Silent; display no message boxes\n");
        }
        return kBadArguments;
    }
    return Run(options);
}
