// What an in-process server module needs besides its interfaces: reference counted objects of
// a dual interface, class factories and the count that DllCanUnloadNow answers from.
#pragma once

#include <objbase.h>

#include <atomic>
#include <new>

#include "com/dispatch.h"

namespace hl::com {

// The module's live objects and server locks. Each module has its own: a module exports its
// Dll* entry points alone and keeps every other symbol to itself.
inline std::atomic<long>& ModuleReferences() {
    static std::atomic<long> count{0};
    return count;
}

inline HRESULT CanUnloadNow() {
    return ModuleReferences().load() == 0 ? S_OK : S_FALSE;
}

// Reference counting and QueryInterface for an object of one dual interface, answering for
// IUnknown, IDispatch and the interface itself.
template <class Interface>
class DispatchObject : public DispatchImpl<Interface> {
public:
    DispatchObject() { ++ModuleReferences(); }
    DispatchObject(const DispatchObject&) = delete;
    DispatchObject& operator=(const DispatchObject&) = delete;
    virtual ~DispatchObject() { --ModuleReferences(); }

    STDMETHODIMP QueryInterface(REFIID riid, void** ppvObject) override {
        if (ppvObject == nullptr) {
            return E_POINTER;
        }
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDispatch) ||
            IsEqualIID(riid, TypeInfo<Interface>::iid)) {
            *ppvObject = static_cast<Interface*>(this);
            this->AddRef();
            return S_OK;
        }
        *ppvObject = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++references_; }
    STDMETHODIMP_(ULONG) Release() override {
        const ULONG left = --references_;
        if (left == 0) {
            delete this;
        }
        return left;
    }

private:
    std::atomic<ULONG> references_{1};
};

// Creates objects of `Impl`, which is default-constructible and starts with one reference.
template <class Impl>
class ClassFactory final : public IClassFactory {
public:
    ClassFactory() { ++ModuleReferences(); }
    ClassFactory(const ClassFactory&) = delete;
    ClassFactory& operator=(const ClassFactory&) = delete;
    ~ClassFactory() { --ModuleReferences(); }

    STDMETHODIMP QueryInterface(REFIID riid, void** ppvObject) override {
        if (ppvObject == nullptr) {
            return E_POINTER;
        }
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IClassFactory)) {
            *ppvObject = static_cast<IClassFactory*>(this);
            AddRef();
            return S_OK;
        }
        *ppvObject = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++references_; }
    STDMETHODIMP_(ULONG) Release() override {
        const ULONG left = --references_;
        if (left == 0) {
            delete this;
        }
        return left;
    }
    STDMETHODIMP CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppvObject) override {
        if (ppvObject == nullptr) {
            return E_POINTER;
        }
        *ppvObject = nullptr;
        if (pUnkOuter != nullptr) {
            return CLASS_E_NOAGGREGATION;
        }
        Impl* object = new (std::nothrow) Impl();
        if (object == nullptr) {
            return E_OUTOFMEMORY;
        }
        const HRESULT hr = object->QueryInterface(riid, ppvObject);
        object->Release();
        return hr;
    }
    STDMETHODIMP LockServer(BOOL fLock) override {
        if (fLock) {
            ++ModuleReferences();
        } else {
            --ModuleReferences();
        }
        return S_OK;
    }

private:
    std::atomic<ULONG> references_{1};
};

// For DllGetClassObject: a class factory of `Impl` as `riid`.
template <class Impl>
HRESULT CreateClassObject(REFIID riid, void** ppv) {
    if (ppv == nullptr) {
        return E_POINTER;
    }
    *ppv = nullptr;
    auto* factory = new (std::nothrow) ClassFactory<Impl>();
    if (factory == nullptr) {
        return E_OUTOFMEMORY;
    }
    const HRESULT hr = factory->QueryInterface(riid, ppv);
    factory->Release();
    return hr;
}

}  // namespace hl::com
