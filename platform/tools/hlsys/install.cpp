// install: puts what has been built into a system, as the product's installer would: the
// driver into C:\WINDOWS\system32\drivers with its service key, the programs and components
// into C:\Program Files\Harborlock under their Windows names, the components registered with
// regsvr32, and the machine-wide install folder.
#include <sys/wait.h>
#include <unistd.h>
#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "commands.h"

namespace hlsys {
namespace {

namespace fs = std::filesystem;

constexpr const char* kServiceKey = "SYSTEM\\CurrentControlSet\\Services\\Lockvol";

bool SetString(HKEY key, const char* name, const char* text) {
    return RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                          static_cast<DWORD>(std::strlen(text) + 1)) == ERROR_SUCCESS;
}

bool SetDword(HKEY key, const char* name, DWORD value) {
    return RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                          sizeof(value)) == ERROR_SUCCESS;
}

constexpr const char* kInstallFolder = "C:\\Program Files\\Harborlock";
constexpr const char* kMachineKey = "Software\\Brightfern Inc\\Harborlock\\CurrentVersion";

// A built file and the Windows name it is installed under.
struct Deliverable {
    const char* built;
    const char* windowsName;
    bool component;  // registered with regsvr32
};

constexpr Deliverable kDeliverables[] = {
    {HLCONTROLLER_PATH, "HLController.dll", true},
    {VDREADER_PATH, "VDReader.exe", false},
};

bool WriteInstallFolder() {
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kMachineKey, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                        nullptr, &key, nullptr) != ERROR_SUCCESS) {
        return false;
    }
    const bool ok = SetString(key, "WorkDir", kInstallFolder);
    RegCloseKey(key);
    return ok;
}

// Runs the system's regsvr32 on a module, as a program of the system.
bool Register(const std::string& windowsPath) {
    const pid_t child = ::fork();
    if (child == 0) {
        ::execl(REGSVR32_PATH, REGSVR32_PATH, "/s", windowsPath.c_str(), static_cast<char*>(nullptr));
        std::_Exit(127);
    }
    int status = 0;
    return child > 0 && ::waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// The values the driver service installer writes.
bool WriteServiceKey(DWORD devices) {
    HKEY service = nullptr;
    HKEY parameters = nullptr;
    bool ok = RegCreateKeyExA(HKEY_LOCAL_MACHINE, kServiceKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                              KEY_ALL_ACCESS, nullptr, &service, nullptr) == ERROR_SUCCESS;
    ok = ok && SetString(service, "ImagePath", "\\SystemRoot\\system32\\drivers\\lockvol.sys") &&
         SetDword(service, "ErrorControl", 1) && SetDword(service, "Start", 1) &&
         SetDword(service, "Type", 1);
    ok = ok && RegCreateKeyExA(service, "Parameters", 0, nullptr, REG_OPTION_NON_VOLATILE,
                               KEY_ALL_ACCESS, nullptr, &parameters, nullptr) == ERROR_SUCCESS;
    ok = ok && SetDword(parameters, "NumberOfDevices", devices);
    if (parameters != nullptr) {
        RegCloseKey(parameters);
    }
    if (service != nullptr) {
        RegCloseKey(service);
    }
    return ok;
}

}  // namespace

int Install(const Arguments& args) {
    if (args.empty() || args.size() == 2 || args.size() > 3 ||
        (args.size() == 3 && args[1] != "--devices")) {
        return Usage("install");
    }
    const fs::path root = fs::absolute(args[0]);
    const DWORD devices =
        args.size() == 3 ? static_cast<DWORD>(std::strtoul(args[2].c_str(), nullptr, 10)) : 1;
    if (!fs::is_directory(root / "drive_c" / "WINDOWS" / "system32" / "drivers")) {
        return Fail(root.string() + " is not a system root (hlsys init makes one)");
    }
    ::setenv("HARBORLOCK_SYSTEM", root.c_str(), 1);
    std::error_code error;
    const fs::path driver = root / "drive_c" / "WINDOWS" / "system32" / "drivers" / "lockvol.sys";
    fs::copy_file(LOCKVOL_PATH, driver, fs::copy_options::overwrite_existing, error);
    if (error) {
        return Fail("cannot copy the driver to " + driver.string() + ": " + error.message());
    }
    if (!WriteServiceKey(devices)) {
        return Fail("cannot write the driver's service key");
    }
    const fs::path folder = root / "drive_c" / "Program Files" / "Harborlock";
    fs::create_directories(folder, error);
    for (const Deliverable& deliverable : kDeliverables) {
        fs::copy_file(deliverable.built, folder / deliverable.windowsName, fs::copy_options::overwrite_existing,
                      error);
        if (error) {
            return Fail(std::string("cannot install ") + deliverable.windowsName + ": " + error.message());
        }
        const std::string windowsPath = std::string(kInstallFolder) + "\\" + deliverable.windowsName;
        if (deliverable.component && !Register(windowsPath)) {
            return Fail("regsvr32 could not register " + windowsPath);
        }
    }
    if (!WriteInstallFolder()) {
        return Fail("cannot write the install folder into the machine's settings");
    }
    std::printf("%s: installed lockvol.sys with %u device(s) (it loads at the next boot), "
                "HLController.dll and VDReader.exe in %s\n",
                root.c_str(), static_cast<unsigned>(devices), kInstallFolder);
    return 0;
}

}  // namespace hlsys
