// Time and the version the system reports.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <thread>

#include "internal.h"
#include "registry/store.h"

namespace hl::win32 {
namespace {

// A REG_SZ of the machine's CurrentVersion key, as the kernel stores it (UTF-16LE).
std::string VersionValue(registry::Store& store, const char* name) {
    std::uint32_t type = 0;
    std::vector<std::uint8_t> data;
    const registry::KeyPath key{registry::Root::LocalMachine,
                                "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion"};
    if (store.QueryValue(registry::Caller::Process(), key, name, type, data) !=
            registry::Result::Ok ||
        type != registry::kRegSz) {
        return {};
    }
    std::u16string text(data.size() / 2, u'\0');
    std::memcpy(text.data(), data.data(), text.size() * 2);
    while (!text.empty() && text.back() == 0) {
        text.pop_back();
    }
    return Utf16ToAnsi(text);
}

}  // namespace
}  // namespace hl::win32

using namespace hl::win32;

namespace hl::win32 {
namespace {

// Tests of long waits shorten them for a whole system: run/sleep-percent in its root holds the
// share of every wait that is really waited.
unsigned SleepPercent() {
    static const unsigned percent = [] {
        unsigned value = 100;
        if (SystemRoot()) {
            if (FILE* file = std::fopen((*SystemRoot() / "run" / "sleep-percent").c_str(), "r")) {
                if (std::fscanf(file, "%u", &value) != 1 || value > 100) {
                    value = 100;
                }
                std::fclose(file);
            }
        }
        return value;
    }();
    return percent;
}

}  // namespace
}  // namespace hl::win32

extern "C" void WINAPI Sleep(DWORD dwMilliseconds) {
    const auto scaled = static_cast<std::uint64_t>(dwMilliseconds) * SleepPercent() / 100;
    std::this_thread::sleep_for(std::chrono::milliseconds(scaled));
}

extern "C" DWORD WINAPI GetTickCount(void) {
    const auto since = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<DWORD>(std::chrono::duration_cast<std::chrono::milliseconds>(since).count());
}

extern "C" BOOL WINAPI GetVersionExA(LPOSVERSIONINFOA info) {
    if (info == nullptr || info->dwOSVersionInfoSize < sizeof(OSVERSIONINFOA)) {
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    // Windows XP unless the system says otherwise.
    std::string version = "5.1";
    std::string build = "2600";
    std::string servicePack;
    std::unique_ptr<registry::Store> store;
    if (SystemRoot() &&
        registry::Store::Open(*SystemRoot() / "registry", store) == registry::Result::Ok) {
        if (std::string v = VersionValue(*store, "CurrentVersion"); !v.empty()) {
            version = v;
        }
        if (std::string b = VersionValue(*store, "CurrentBuildNumber"); !b.empty()) {
            build = b;
        }
        servicePack = VersionValue(*store, "CSDVersion");
    }
    const std::size_t dot = version.find('.');
    info->dwMajorVersion = static_cast<DWORD>(std::strtoul(version.c_str(), nullptr, 10));
    info->dwMinorVersion =
        dot == std::string::npos
            ? 0
            : static_cast<DWORD>(std::strtoul(version.c_str() + dot + 1, nullptr, 10));
    info->dwBuildNumber = static_cast<DWORD>(std::strtoul(build.c_str(), nullptr, 10));
    info->dwPlatformId = VER_PLATFORM_WIN32_NT;
    std::memset(info->szCSDVersion, 0, sizeof(info->szCSDVersion));
    std::strncpy(info->szCSDVersion, servicePack.c_str(), sizeof(info->szCSDVersion) - 1);
    return TRUE;
}
