// Creating objects of in-process servers: HKEY_CLASSES_ROOT\CLSID\{...}\InprocServer32 names
// the module by its Windows path and its threading model; the module is a shared object
// entered through DllGetClassObject.
#include <dlfcn.h>
#include <objbase.h>
#include <strings.h>
#include <windows.h>

#include <filesystem>
#include <map>
#include <mutex>
#include <string>

#include "com/modules.h"
#include "internal.h"
#include "win32/system_calls.h"

namespace hl::com {

namespace {

struct LoadedModule {
    void* handle = nullptr;
    std::string windowsPath;
};

// Modules by host path, loaded once per process.
struct ModuleTable {
    std::mutex mutex;
    std::map<std::string, LoadedModule> modules;
};

ModuleTable& Modules() {
    static auto* table = new ModuleTable;
    return *table;
}

// A value of a key as text; false when it is missing or not a string.
bool ReadString(HKEY key, const char* name, std::string& text) {
    DWORD type = 0;
    DWORD size = 0;
    if (RegQueryValueExA(key, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ)) {
        return false;
    }
    std::string data(size, '\0');
    if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &size) !=
        ERROR_SUCCESS) {
        return false;
    }
    data.resize(size);
    while (!data.empty() && data.back() == '\0') {
        data.pop_back();
    }
    text = data;
    return true;
}

struct ServerEntry {
    std::string module;
    std::string threadingModel;
    bool hasThreadingModel = false;
};

HRESULT FindServer(REFCLSID clsid, ServerEntry& entry) {
    const std::string path = "CLSID\\" + GuidText(clsid) + "\\InprocServer32";
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return REGDB_E_CLASSNOTREG;
    }
    const bool found = ReadString(key, nullptr, entry.module) && !entry.module.empty();
    entry.hasThreadingModel = ReadString(key, "ThreadingModel", entry.threadingModel);
    RegCloseKey(key);
    return found ? S_OK : REGDB_E_CLASSNOTREG;
}

bool SameText(const std::string& a, const char* b) {
    return ::strcasecmp(a.c_str(), b) == 0;
}

// Whether an object of this threading model can live in the caller's apartment; no proxy
// exists to reach another apartment.
HRESULT CheckThreadingModel(const ServerEntry& entry, Apartment apartment) {
    if (entry.hasThreadingModel &&
        (SameText(entry.threadingModel, "Both") || SameText(entry.threadingModel, "Neutral"))) {
        return S_OK;
    }
    if (!entry.hasThreadingModel || SameText(entry.threadingModel, "Apartment")) {
        return apartment == Apartment::SingleThreaded ? S_OK : CO_E_NOT_SUPPORTED;
    }
    if (SameText(entry.threadingModel, "Free")) {
        return apartment == Apartment::MultiThreaded ? S_OK : CO_E_NOT_SUPPORTED;
    }
    return REGDB_E_BADTHREADINGMODEL;
}

}  // namespace

HRESULT LoadServerModule(const std::string& windowsPath, void*& module) {
    module = nullptr;
    std::string host;
    if (const DWORD failure = hl::win32::HostPathOf(windowsPath, host); failure != ERROR_SUCCESS) {
        const bool missing = failure == ERROR_FILE_NOT_FOUND || failure == ERROR_PATH_NOT_FOUND;
        return HRESULT_FROM_WIN32(missing ? ERROR_MOD_NOT_FOUND : failure);
    }
    std::error_code error;
    if (!std::filesystem::is_regular_file(host, error)) {
        return HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND);
    }
    ModuleTable& table = Modules();
    std::lock_guard lock(table.mutex);
    if (auto found = table.modules.find(host); found != table.modules.end()) {
        module = found->second.handle;
        return S_OK;
    }
    void* handle = ::dlopen(host.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        return HRESULT_FROM_WIN32(ERROR_BAD_EXE_FORMAT);
    }
    table.modules[host] = {handle, windowsPath};
    module = handle;
    return S_OK;
}

void* ModuleExport(void* module, const char* name) {
    return module == nullptr ? nullptr : ::dlsym(module, name);
}

std::string ModuleWindowsPath(const void* addressInModule) {
    Dl_info info{};
    if (::dladdr(addressInModule, &info) == 0 || info.dli_fname == nullptr) {
        return {};
    }
    ModuleTable& table = Modules();
    std::lock_guard lock(table.mutex);
    for (const auto& [host, loaded] : table.modules) {
        std::error_code error;
        if (host == info.dli_fname || std::filesystem::equivalent(host, info.dli_fname, error)) {
            return loaded.windowsPath;
        }
    }
    return {};
}

}  // namespace hl::com

extern "C" {

HRESULT STDAPICALLTYPE CoGetClassObject(REFCLSID rclsid, DWORD dwClsContext, LPVOID pvReserved,
                                        REFIID riid, LPVOID* ppv) {
    using namespace hl::com;
    if (ppv == nullptr) {
        return E_INVALIDARG;
    }
    *ppv = nullptr;
    if (pvReserved != nullptr) {
        return E_INVALIDARG;
    }
    const Apartment apartment = CurrentApartment();
    if (apartment == Apartment::None) {
        return CO_E_NOTINITIALIZED;
    }
    if ((dwClsContext & CLSCTX_INPROC_SERVER) == 0) {
        return REGDB_E_CLASSNOTREG;
    }
    ServerEntry entry;
    if (const HRESULT hr = FindServer(rclsid, entry); FAILED(hr)) {
        return hr;
    }
    if (const HRESULT hr = CheckThreadingModel(entry, apartment); FAILED(hr)) {
        return hr;
    }
    void* module = nullptr;
    if (const HRESULT hr = LoadServerModule(entry.module, module); FAILED(hr)) {
        return hr;
    }
    auto* getClassObject =
        reinterpret_cast<LPFNGETCLASSOBJECT>(ModuleExport(module, "DllGetClassObject"));
    if (getClassObject == nullptr) {
        return CO_E_ERRORINDLL;
    }
    return getClassObject(rclsid, riid, ppv);
}

HRESULT STDAPICALLTYPE CoCreateInstance(REFCLSID rclsid, LPUNKNOWN pUnkOuter, DWORD dwClsContext,
                                        REFIID riid, LPVOID* ppv) {
    if (ppv == nullptr) {
        return E_POINTER;
    }
    *ppv = nullptr;
    IClassFactory* factory = nullptr;
    HRESULT hr = CoGetClassObject(rclsid, dwClsContext, nullptr, IID_IClassFactory,
                                  reinterpret_cast<void**>(&factory));
    if (FAILED(hr)) {
        return hr;
    }
    hr = factory->CreateInstance(pUnkOuter, riid, ppv);
    factory->Release();
    return hr;
}

// Unloads each module whose DllCanUnloadNow says it holds no objects.
void STDAPICALLTYPE CoFreeUnusedLibraries(void) {
    using namespace hl::com;
    ModuleTable& table = Modules();
    std::lock_guard lock(table.mutex);
    for (auto it = table.modules.begin(); it != table.modules.end();) {
        auto* canUnload =
            reinterpret_cast<LPFNCANUNLOADNOW>(::dlsym(it->second.handle, "DllCanUnloadNow"));
        if (canUnload != nullptr && canUnload() == S_OK) {
            ::dlclose(it->second.handle);
            it = table.modules.erase(it);
        } else {
            ++it;
        }
    }
}

}  // extern "C"
