// A component built as components are: one class of a dual interface, its class factory and its
// self-registration.

// This source defines the module's interface identifiers.
#define INITGUID

#include <cctype>
#include <string>

#include "com/registration.h"
#include "com/server.h"
#include "test_interface.h"

namespace {

class TestObject final : public hl::com::DispatchObject<ITestObject> {
public:
    STDMETHODIMP SetName(char* sName) override {
        ++calls_;
        if (sName == nullptr) {
            return E_POINTER;
        }
        name_ = sName;
        return S_OK;
    }
    STDMETHODIMP GetName(char* sBuffer) override {
        ++calls_;
        if (sBuffer == nullptr) {
            return E_POINTER;
        }
        name_.copy(sBuffer, MAX_PATH - 1);
        sBuffer[std::min<std::size_t>(name_.size(), MAX_PATH - 1)] = '\0';
        return S_OK;
    }
    STDMETHODIMP GetNamePointer(char** psName) override {
        ++calls_;
        if (psName == nullptr) {
            return E_POINTER;
        }
        *psName = name_.data();
        return S_OK;
    }
    STDMETHODIMP SetLetter(char cLetter) override {
        ++calls_;
        if (!std::isalpha(static_cast<unsigned char>(cLetter))) {
            return E_INVALIDARG;
        }
        letter_ = cLetter;
        return S_OK;
    }
    STDMETHODIMP GetLetter(char* pcLetter) override {
        ++calls_;
        if (pcLetter == nullptr) {
            return E_POINTER;
        }
        *pcLetter = letter_;
        return S_OK;
    }
    STDMETHODIMP Sum(char cLetter, LONGLONG llValue, LONG lValue, ULONG dwValue,
                     LONGLONG* pllSum) override {
        ++calls_;
        if (pllSum == nullptr) {
            return E_POINTER;
        }
        last_ = dwValue;
        *pllSum = static_cast<unsigned char>(cLetter) + llValue + lValue + dwValue;
        return S_OK;
    }
    STDMETHODIMP GetCounters(LONG* plCalls, ULONG* pdwLast) override {
        ++calls_;
        if (plCalls == nullptr || pdwLast == nullptr) {
            return E_POINTER;
        }
        *plCalls = calls_;
        *pdwLast = last_;
        return S_OK;
    }
    STDMETHODIMP GetSize(LONGLONG* pllSize) override {
        ++calls_;
        if (pllSize == nullptr) {
            return E_POINTER;
        }
        *pllSize = (LONGLONG{1} << 40) + static_cast<LONGLONG>(name_.size());
        return S_OK;
    }
    STDMETHODIMP Reset() override {
        calls_ = 0;
        last_ = 0;
        name_.clear();
        letter_ = 0;
        return S_OK;
    }

private:
    LONG calls_ = 0;
    ULONG last_ = 0;
    std::string name_;
    char letter_ = 0;
};

constexpr hl::com::ClassRegistration kClasses[] = {
    {CLSID_TestObject, "TestObject Class", "ComTests.TestObject.1", "ComTests.TestObject",
     "Apartment"},
};
constexpr hl::com::TypeLibRegistration kTypeLib = {LIBID_TestLib, 1, 0, "Test 1.0 Type Library"};
constexpr hl::com::InterfaceRegistration kInterfaces[] = {
    {IID_ITestObject, "ITestObject"},
};
constexpr hl::com::AppRegistration kApp = {APPID_Test, "TestComponent"};
constexpr hl::com::ServerRegistration kServer = {kClasses, &kTypeLib, kInterfaces, &kApp};

}  // namespace

STDAPI DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv) {
    if (ppv == nullptr) {
        return E_POINTER;
    }
    *ppv = nullptr;
    if (!IsEqualCLSID(rclsid, CLSID_TestObject)) {
        return CLASS_E_CLASSNOTAVAILABLE;
    }
    return hl::com::CreateClassObject<TestObject>(riid, ppv);
}

STDAPI DllCanUnloadNow() {
    return hl::com::CanUnloadNow();
}

STDAPI DllRegisterServer() {
    return hl::com::RegisterServer(kServer);
}

STDAPI DllUnregisterServer() {
    return hl::com::UnregisterServer(kServer);
}
