// install: puts what has been built into a system, as the product's installer would, following
// the product's manifest (HLSYS_MANIFEST): the driver into C:\WINDOWS\system32\drivers with its
// service key, the programs and components into the install folder, the components registered
// with regsvr32, and the machine-wide install folder setting. It knows no product names itself.
#include <windows.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>

#include "commands.h"

namespace hlsys {
namespace {

namespace fs = std::filesystem;

bool SetString(HKEY key, const char* name, const char* text) {
    return RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                          static_cast<DWORD>(std::strlen(text) + 1)) == ERROR_SUCCESS;
}

bool SetDword(HKEY key, const char* name, DWORD value) {
    return RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                          sizeof(value)) == ERROR_SUCCESS;
}

// One section of the manifest: its name and its "name = value" lines.
struct Section {
    std::string name;
    std::map<std::string, std::string> values;

    const std::string& operator[](const std::string& key) const {
        static const std::string none;
        auto found = values.find(key);
        return found == values.end() ? none : found->second;
    }
};

std::string Trim(const std::string& text) {
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

// The manifest's sections in order; ';' starts a comment line.
bool ReadManifest(const char* path, std::vector<Section>& sections) {
    std::ifstream in(path);
    if (!in) {
        return false;
    }
    std::string line;
    while (std::getline(in, line)) {
        line = Trim(line);
        if (line.empty() || line[0] == ';') {
            continue;
        }
        if (line.front() == '[' && line.back() == ']') {
            sections.push_back({line.substr(1, line.size() - 2), {}});
        } else if (const auto equals = line.find('=');
                   equals != std::string::npos && !sections.empty()) {
            sections.back().values[Trim(line.substr(0, equals))] = Trim(line.substr(equals + 1));
        } else {
            return false;
        }
    }
    return true;
}

const Section* Find(const std::vector<Section>& sections, const std::string& name) {
    for (const Section& section : sections) {
        if (section.name == name) {
            return &section;
        }
    }
    return nullptr;
}

// The host folder of a Windows path on drive C: ("C:\Program Files\X" -> drive_c/Program Files/X).
bool HostPathOnDriveC(const fs::path& root, const std::string& windowsPath, fs::path& host) {
    if (windowsPath.size() < 3 || (windowsPath[0] != 'C' && windowsPath[0] != 'c') ||
        windowsPath.compare(1, 2, ":\\") != 0) {
        return false;
    }
    std::string rest = windowsPath.substr(3);
    for (char& c : rest) {
        if (c == '\\') {
            c = '/';
        }
    }
    host = root / "drive_c" / rest;
    return true;
}

bool WriteInstallFolder(const Section& folder) {
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, folder["key"].c_str(), 0, nullptr,
                        REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &key,
                        nullptr) != ERROR_SUCCESS) {
        return false;
    }
    const bool ok = SetString(key, folder["value"].c_str(), folder["path"].c_str());
    RegCloseKey(key);
    return ok;
}

// Runs the system's regsvr32 on a module, as a program of the system.
bool Register(const std::string& windowsPath) {
    const pid_t child = ::fork();
    if (child == 0) {
        ::execl(REGSVR32_PATH, REGSVR32_PATH, "/s", windowsPath.c_str(),
                static_cast<char*>(nullptr));
        std::_Exit(127);
    }
    int status = 0;
    return child > 0 && ::waitpid(child, &status, 0) == child && WIFEXITED(status) &&
           WEXITSTATUS(status) == 0;
}

// The values the driver service installer writes: a kernel driver started with the system.
bool WriteServiceKey(const Section& driver, DWORD devices) {
    const std::string keyPath = "SYSTEM\\CurrentControlSet\\Services\\" + driver["service"];
    const std::string imagePath = "\\SystemRoot\\system32\\drivers\\" + driver["file"];
    HKEY service = nullptr;
    HKEY parameters = nullptr;
    bool ok =
        RegCreateKeyExA(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_ALL_ACCESS, nullptr, &service, nullptr) == ERROR_SUCCESS;
    ok = ok && SetString(service, "ImagePath", imagePath.c_str()) &&
         SetDword(service, "ErrorControl", 1) && SetDword(service, "Start", 1) &&
         SetDword(service, "Type", 1);
    ok = ok && RegCreateKeyExA(service, "Parameters", 0, nullptr, REG_OPTION_NON_VOLATILE,
                               KEY_ALL_ACCESS, nullptr, &parameters, nullptr) == ERROR_SUCCESS;
    ok = ok && SetDword(parameters, driver["devices"].c_str(), devices);
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
#ifndef HLSYS_MANIFEST
    return Fail("this build has no product to install");
#else
    std::vector<Section> manifest;
    if (!ReadManifest(HLSYS_MANIFEST, manifest)) {
        return Fail(std::string("cannot read the product's manifest ") + HLSYS_MANIFEST);
    }
    const Section* driver = Find(manifest, "driver");
    const Section* folder = Find(manifest, "folder");
    const fs::path root = fs::absolute(args[0]);
    fs::path installFolder;
    if (driver == nullptr || folder == nullptr ||
        !HostPathOnDriveC(root, (*folder)["path"], installFolder)) {
        return Fail(std::string("the product's manifest ") + HLSYS_MANIFEST +
                    " needs a [driver] and a [folder] on drive C:");
    }
    const DWORD devices =
        args.size() == 3 ? static_cast<DWORD>(std::strtoul(args[2].c_str(), nullptr, 10)) : 1;
    if (!fs::is_directory(root / "drive_c" / "WINDOWS" / "system32" / "drivers")) {
        return Fail(root.string() + " is not a system root (hlsys init makes one)");
    }
    ::setenv("HARBORLOCK_SYSTEM", root.c_str(), 1);
    std::error_code error;
    const fs::path driverFile =
        root / "drive_c" / "WINDOWS" / "system32" / "drivers" / (*driver)["file"];
    fs::copy_file((*driver)["built"], driverFile, fs::copy_options::overwrite_existing, error);
    if (error) {
        return Fail("cannot copy the driver to " + driverFile.string() + ": " + error.message());
    }
    if (!WriteServiceKey(*driver, devices)) {
        return Fail("cannot write the driver's service key");
    }
    fs::create_directories(installFolder, error);
    std::string installed;
    for (const Section& module : manifest) {
        if (module.name != "module") {
            continue;
        }
        fs::copy_file(module["built"], installFolder / module["file"],
                      fs::copy_options::overwrite_existing, error);
        if (error) {
            return Fail("cannot install " + module["file"] + ": " + error.message());
        }
        const std::string windowsPath = (*folder)["path"] + "\\" + module["file"];
        if (module["register"] == "yes" && !Register(windowsPath)) {
            return Fail("regsvr32 could not register " + windowsPath);
        }
        installed += (installed.empty() ? "" : ", ") + module["file"];
    }
    if (!WriteInstallFolder(*folder)) {
        return Fail("cannot write the install folder into the machine's settings");
    }
    std::printf("%s: installed %s with %u device(s) (it loads at the next boot), %s in %s\n",
                root.c_str(), (*driver)["file"].c_str(), static_cast<unsigned>(devices),
                installed.c_str(), (*folder)["path"].c_str());
    return 0;
#endif
}

}  // namespace hlsys
