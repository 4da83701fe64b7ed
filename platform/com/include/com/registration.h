// Self-registration of in-process servers: what DllRegisterServer writes below
// HKEY_CLASSES_ROOT and DllUnregisterServer removes.
#pragma once

#include <objbase.h>
#include <olectl.h>

#include <span>

namespace hl::com {

struct ClassRegistration {
    CLSID clsid;
    const char* name;                      // "Thing Class"
    const char* progId;                    // "Product.Thing.1", or null
    const char* versionIndependentProgId;  // "Product.Thing", or null
    const char* threadingModel;            // "Apartment"
};

struct TypeLibRegistration {
    GUID libid;
    WORD major;
    WORD minor;
    const char* name;  // "Thing 1.0 Type Library"
};

struct InterfaceRegistration {
    IID iid;
    const char* name;  // "IThing"
};

struct AppRegistration {
    GUID appid;
    const char* name;
};

struct ServerRegistration {
    std::span<const ClassRegistration> classes;
    const TypeLibRegistration* typeLib;                 // or null
    std::span<const InterfaceRegistration> interfaces;  // described by the type library
    const AppRegistration* app;                         // or null
};

// Writes the keys of `server`, which must be data of the calling module (its location names
// the module): CLSID\{...} with InprocServer32 (the module's Windows path and threading model),
// ProgID, VersionIndependentProgID, TypeLib and AppID; the ProgIDs; AppID\{...};
// TypeLib\{...}\major.minor; Interface\{...} for the dual interfaces. S_OK, or SELFREG_E_CLASS.
HRESULT RegisterServer(const ServerRegistration& server);
// Removes every key RegisterServer writes; keys already gone are no failure.
HRESULT UnregisterServer(const ServerRegistration& server);

}  // namespace hl::com
