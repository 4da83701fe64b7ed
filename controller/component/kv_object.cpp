// HLController: the in-process server of the controller object KvObject.

// This source defines the module's interface identifiers.
#define INITGUID

#include <windows.h>
#include <objbase.h>
#include <olectl.h>
#include <shlwapi.h>

#include "com/registration.h"
#include "com/server.h"
#include "common/interfaces/harborlock_typeinfo.h"
#include "controller/kv_operations.h"

namespace {

// {10A28041-CBF5-4AE0-A86B-1E0499F87470}
DEFINE_GUID(APPID_KvController, 0x10A28041, 0xCBF5, 0x4AE0, 0xA8, 0x6B, 0x1E, 0x04, 0x99, 0xF8,
            0x74, 0x70);

class KvObject : public hl::com::DispatchObject<IKvObject> {
public:
    STDMETHODIMP CreateCryptedDisk(char drive_letter, LONGLONG filesize, char* filename,
                                   char* cryptokey, char* userkey) override {
        return operations_.CreateCryptedDisk(drive_letter, filesize, filename, cryptokey, userkey);
    }
    STDMETHODIMP OpenCryptedDisk(char drive_letter, char* filename, char* userkey) override {
        return operations_.OpenCryptedDisk(drive_letter, filename, userkey);
    }
    STDMETHODIMP UmountDisk(char drive_letter, char safe) override {
        return operations_.UmountDisk(drive_letter, safe);
    }
    STDMETHODIMP ChangePassword(char drive_letter, char* filename, char* olduserkey,
                                char* newuserkey) override {
        return operations_.ChangePassword(drive_letter, filename, olduserkey, newuserkey);
    }
    STDMETHODIMP GetMountedVolumeInfo(char cDriveLetter, char* filename,
                                      LONGLONG* lVolumeSize) override {
        return operations_.GetMountedVolumeInfo(cDriveLetter, filename, lVolumeSize);
    }
    STDMETHODIMP GetUsedDrive(char* drive_letter) override {
        return operations_.GetUsedDrive(drive_letter);
    }
    STDMETHODIMP UnmountPossible(char drive_letter) override {
        return operations_.UnmountPossible(drive_letter);
    }

private:
    KvOperations operations_;
};

const hl::com::ClassRegistration kClasses[] = {
    {CLSID_KvObject, "KvObject Class", "KvController.KvObject.1", "KvController.KvObject",
     "Apartment"},
};
const hl::com::TypeLibRegistration kTypeLib = {LIBID_KvControllerLib, 1, 0,
                                               "KvController 1.0 Type Library"};
const hl::com::InterfaceRegistration kInterfaces[] = {{IID_IKvObject, "IKvObject"}};
const hl::com::AppRegistration kApp = {APPID_KvController, "KvController"};
const hl::com::ServerRegistration kServer = {kClasses, &kTypeLib, kInterfaces, &kApp};

}  // namespace

STDAPI DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv) {
    if (ppv == NULL) {
        return E_POINTER;
    }
    if (!IsEqualCLSID(rclsid, CLSID_KvObject)) {
        *ppv = NULL;
        return CLASS_E_CLASSNOTAVAILABLE;
    }
    return hl::com::CreateClassObject<KvObject>(riid, ppv);
}

STDAPI DllCanUnloadNow(void) {
    return hl::com::CanUnloadNow();
}

namespace {

const char kProgrammableKey[] = "CLSID\\{33F4D31F-85B2-484E-A884-4C057C74A9E1}\\Programmable";
const char kAppIdModuleKey[] = "AppID\\KvController.DLL";
const char kAppIdText[] = "{10A28041-CBF5-4AE0-A86B-1E0499F87470}";

// The two keys beyond the common ones: the class is programmable, and the module's name leads
// to its AppID.
bool RegisterExtras() {
    HKEY key = NULL;
    if (RegCreateKeyExA(HKEY_CLASSES_ROOT, kProgrammableKey, 0, NULL, REG_OPTION_NON_VOLATILE,
                        KEY_ALL_ACCESS, NULL, &key, NULL) != ERROR_SUCCESS) {
        return false;
    }
    RegCloseKey(key);
    if (RegCreateKeyExA(HKEY_CLASSES_ROOT, kAppIdModuleKey, 0, NULL, REG_OPTION_NON_VOLATILE,
                        KEY_ALL_ACCESS, NULL, &key, NULL) != ERROR_SUCCESS) {
        return false;
    }
    const LONG written = RegSetValueExA(
        key, "AppID", 0, REG_SZ, reinterpret_cast<const BYTE*>(kAppIdText), sizeof(kAppIdText));
    RegCloseKey(key);
    return written == ERROR_SUCCESS;
}

}  // namespace

STDAPI DllRegisterServer(void) {
    const HRESULT hr = hl::com::RegisterServer(kServer);
    if (FAILED(hr)) {
        return hr;
    }
    return RegisterExtras() ? S_OK : SELFREG_E_CLASS;
}

STDAPI DllUnregisterServer(void) {
    SHDeleteKeyA(HKEY_CLASSES_ROOT, kAppIdModuleKey);
    return hl::com::UnregisterServer(kServer);
}
