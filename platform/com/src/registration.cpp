// Self-registration: the keys below HKEY_CLASSES_ROOT that make a module's classes creatable
// and its type library and interfaces known.
#include "com/registration.h"

#include <windows.h>
#include <olectl.h>
#include <shlwapi.h>

#include <string>

#include "com/modules.h"

namespace hl::com {

namespace {

// The automation marshaller, the proxy of every dual interface.
constexpr GUID kAutomationProxy = {
    0x00020424, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

// Creates `path` and sets one string value of it (the default when `name` is null).
bool SetString(const std::string& path, const char* name, const std::string& value) {
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_WRITE, nullptr, &key, nullptr) != ERROR_SUCCESS) {
        return false;
    }
    const LONG result =
        RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                       static_cast<DWORD>(value.size() + 1));
    RegCloseKey(key);
    return result == ERROR_SUCCESS;
}

bool DeleteTree(const std::string& path) {
    const LSTATUS result = SHDeleteKeyA(HKEY_CLASSES_ROOT, path.c_str());
    return result == ERROR_SUCCESS || result == ERROR_FILE_NOT_FOUND;
}

std::string Folder(const std::string& windowsPath) {
    const auto slash = windowsPath.find_last_of('\\');
    return slash == std::string::npos ? std::string() : windowsPath.substr(0, slash);
}

bool RegisterProgId(const char* progId, const ClassRegistration& entry, const char* current) {
    if (progId == nullptr) {
        return true;
    }
    const std::string key = progId;
    return SetString(key, nullptr, entry.name) &&
           SetString(key + "\\CLSID", nullptr, GuidText(entry.clsid)) &&
           (current == nullptr || SetString(key + "\\CurVer", nullptr, current));
}

bool RegisterClass(const ClassRegistration& entry, const ServerRegistration& server,
                   const std::string& modulePath) {
    const std::string key = "CLSID\\" + GuidText(entry.clsid);
    bool ok = SetString(key, nullptr, entry.name) &&
              SetString(key + "\\InprocServer32", nullptr, modulePath) &&
              (entry.threadingModel == nullptr ||
               SetString(key + "\\InprocServer32", "ThreadingModel", entry.threadingModel));
    if (ok && entry.progId != nullptr) {
        ok = SetString(key + "\\ProgID", nullptr, entry.progId);
    }
    if (ok && entry.versionIndependentProgId != nullptr) {
        ok = SetString(key + "\\VersionIndependentProgID", nullptr, entry.versionIndependentProgId);
    }
    if (ok && server.typeLib != nullptr) {
        ok = SetString(key + "\\TypeLib", nullptr, GuidText(server.typeLib->libid));
    }
    if (ok && server.app != nullptr) {
        ok = SetString(key, "AppID", GuidText(server.app->appid));
    }
    return ok && RegisterProgId(entry.progId, entry, nullptr) &&
           RegisterProgId(entry.versionIndependentProgId, entry, entry.progId);
}

std::string Version(const TypeLibRegistration& typeLib) {
    return std::to_string(typeLib.major) + "." + std::to_string(typeLib.minor);
}

bool RegisterTypeLib(const ServerRegistration& server, const std::string& modulePath) {
    if (server.typeLib == nullptr) {
        return true;
    }
    const TypeLibRegistration& typeLib = *server.typeLib;
    const std::string key = "TypeLib\\" + GuidText(typeLib.libid) + "\\" + Version(typeLib);
    if (!SetString(key, nullptr, typeLib.name) ||
        !SetString(key + "\\0\\win32", nullptr, modulePath) ||
        !SetString(key + "\\FLAGS", nullptr, "0") ||
        !SetString(key + "\\HELPDIR", nullptr, Folder(modulePath))) {
        return false;
    }
    for (const InterfaceRegistration& entry : server.interfaces) {
        const std::string interfaceKey = "Interface\\" + GuidText(entry.iid);
        if (!SetString(interfaceKey, nullptr, entry.name) ||
            !SetString(interfaceKey + "\\ProxyStubClsid32", nullptr, GuidText(kAutomationProxy)) ||
            !SetString(interfaceKey + "\\TypeLib", nullptr, GuidText(typeLib.libid)) ||
            !SetString(interfaceKey + "\\TypeLib", "Version", Version(typeLib))) {
            return false;
        }
    }
    return true;
}

}  // namespace

HRESULT RegisterServer(const ServerRegistration& server) {
    const std::string modulePath = ModuleWindowsPath(&server);
    if (modulePath.empty()) {
        return SELFREG_E_CLASS;
    }
    for (const ClassRegistration& entry : server.classes) {
        if (!RegisterClass(entry, server, modulePath)) {
            return SELFREG_E_CLASS;
        }
    }
    if (server.app != nullptr &&
        !SetString("AppID\\" + GuidText(server.app->appid), nullptr, server.app->name)) {
        return SELFREG_E_CLASS;
    }
    return RegisterTypeLib(server, modulePath) ? S_OK : SELFREG_E_TYPELIB;
}

HRESULT UnregisterServer(const ServerRegistration& server) {
    bool ok = true;
    for (const ClassRegistration& entry : server.classes) {
        ok = DeleteTree("CLSID\\" + GuidText(entry.clsid)) && ok;
        if (entry.progId != nullptr) {
            ok = DeleteTree(entry.progId) && ok;
        }
        if (entry.versionIndependentProgId != nullptr) {
            ok = DeleteTree(entry.versionIndependentProgId) && ok;
        }
    }
    if (server.app != nullptr) {
        ok = DeleteTree("AppID\\" + GuidText(server.app->appid)) && ok;
    }
    if (server.typeLib != nullptr) {
        ok = DeleteTree("TypeLib\\" + GuidText(server.typeLib->libid)) && ok;
        for (const InterfaceRegistration& entry : server.interfaces) {
            ok = DeleteTree("Interface\\" + GuidText(entry.iid)) && ok;
        }
    }
    return ok ? S_OK : SELFREG_E_CLASS;
}

}  // namespace hl::com
