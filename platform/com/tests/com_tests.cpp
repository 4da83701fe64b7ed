// The component model on a system root of its own: creating objects of registered in-process
// servers, the failures a client sees, IDispatch driven by type information, self-registration
// and regsvr32.

// This source defines the module's interface identifiers.
#define INITGUID

#include <windows.h>
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <objbase.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "com/modules.h"
#include "registry/store.h"
#include "test_interface.h"

namespace {

namespace fs = std::filesystem;

constexpr char kComponentPath[] = "C:\\Program Files\\Tests\\TestComponent.dll";

// {6A1C2E80-...}: classes whose registration leads nowhere good.
DEFINE_GUID(CLSID_Unregistered, 0x6A1C2E80, 0x3B9D, 0x4F21, 0x9C, 0x55, 0x0D, 0x8E, 0x4B, 0x7A,
            0x1F, 0x01);
DEFINE_GUID(CLSID_MissingModule, 0x6A1C2E81, 0x3B9D, 0x4F21, 0x9C, 0x55, 0x0D, 0x8E, 0x4B, 0x7A,
            0x1F, 0x01);
DEFINE_GUID(CLSID_PlainModule, 0x6A1C2E82, 0x3B9D, 0x4F21, 0x9C, 0x55, 0x0D, 0x8E, 0x4B, 0x7A, 0x1F,
            0x01);
DEFINE_GUID(CLSID_BrokenModule, 0x6A1C2E83, 0x3B9D, 0x4F21, 0x9C, 0x55, 0x0D, 0x8E, 0x4B, 0x7A,
            0x1F, 0x01);
DEFINE_GUID(CLSID_FreeThreaded, 0x6A1C2E84, 0x3B9D, 0x4F21, 0x9C, 0x55, 0x0D, 0x8E, 0x4B, 0x7A,
            0x1F, 0x01);
DEFINE_GUID(CLSID_NotServed, 0x6A1C2E86, 0x3B9D, 0x4F21, 0x9C, 0x55, 0x0D, 0x8E, 0x4B, 0x7A, 0x1F,
            0x01);
DEFINE_GUID(CLSID_OddModel, 0x6A1C2E87, 0x3B9D, 0x4F21, 0x9C, 0x55, 0x0D, 0x8E, 0x4B, 0x7A, 0x1F,
            0x01);
DEFINE_GUID(IID_Unknown, 0x6A1C2E85, 0x3B9D, 0x4F21, 0x9C, 0x55, 0x0D, 0x8E, 0x4B, 0x7A, 0x1F,
            0x01);

bool SetDefault(const std::string& path, const char* name, const std::string& value) {
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                        &key, nullptr) != ERROR_SUCCESS) {
        return false;
    }
    const LONG result =
        RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                       static_cast<DWORD>(value.size() + 1));
    RegCloseKey(key);
    return result == ERROR_SUCCESS;
}

void RegisterClassAt(REFCLSID clsid, const std::string& module, const char* model) {
    const std::string key = "CLSID\\" + hl::com::GuidText(clsid) + "\\InprocServer32";
    ASSERT_TRUE(SetDefault(key, nullptr, module));
    if (model != nullptr) {
        ASSERT_TRUE(SetDefault(key, "ThreadingModel", model));
    }
}

HRESULT CallModuleEntry(const char* name) {
    void* module = nullptr;
    if (const HRESULT hr = hl::com::LoadServerModule(kComponentPath, module); FAILED(hr)) {
        return hr;
    }
    using Entry = HRESULT (*)();
    auto* entry = reinterpret_cast<Entry>(hl::com::ModuleExport(module, name));
    return entry == nullptr ? E_FAIL : entry();
}

// One system root for the program: drive C: with the test modules in Program Files, the
// registry with the keys every system has below HKEY_CLASSES_ROOT, and the test component
// registered by its own DllRegisterServer.
class SystemRootEnvironment : public ::testing::Environment {
public:
    static fs::path root;
    void SetUp() override {
        std::string pattern = "/tmp/com-tests-XXXXXX";
        root = ::mkdtemp(pattern.data());
        ::chmod(root.c_str(), 0755);
        const fs::path folder = root / "drive_c" / "Program Files" / "Tests";
        fs::create_directories(folder);
        fs::create_directories(root / "dosdevices");
        fs::create_directory_symlink("../drive_c", root / "dosdevices" / "c:");
        fs::copy_file(TEST_COMPONENT, folder / "TestComponent.dll");
        fs::copy_file(PLAIN_MODULE, folder / "Plain.dll");
        std::ofstream(folder / "Broken.dll") << "MZ, but no module";
        std::unique_ptr<registry::Store> store;
        ASSERT_EQ(registry::Store::Open(root / "registry", store), registry::Result::Ok);
        store.reset();
        ::setenv("HARBORLOCK_SYSTEM", root.c_str(), 1);

        for (const char* key : {"CLSID", "AppID", "TypeLib", "Interface"}) {
            HKEY handle = nullptr;
            ASSERT_EQ(RegCreateKeyA(HKEY_CLASSES_ROOT, key, &handle), ERROR_SUCCESS);
            RegCloseKey(handle);
        }
        ASSERT_EQ(CallModuleEntry("DllRegisterServer"), S_OK);
        RegisterClassAt(CLSID_MissingModule, "C:\\Program Files\\Tests\\Missing.dll", "Apartment");
        RegisterClassAt(CLSID_PlainModule, "C:\\Program Files\\Tests\\Plain.dll", "Apartment");
        RegisterClassAt(CLSID_BrokenModule, "C:\\Program Files\\Tests\\Broken.dll", "Apartment");
        RegisterClassAt(CLSID_FreeThreaded, kComponentPath, "Free");
        RegisterClassAt(CLSID_NotServed, kComponentPath, nullptr);
        RegisterClassAt(CLSID_OddModel, kComponentPath, "Sideways");
    }
    void TearDown() override { fs::remove_all(root); }
};
fs::path SystemRootEnvironment::root;
const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new SystemRootEnvironment);

// Each test runs in a single-threaded apartment, as the product's clients do.
class Com : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK); }
    void TearDown() override { CoUninitialize(); }

    static ITestObject* Create() {
        ITestObject* object = nullptr;
        EXPECT_EQ(CoCreateInstance(CLSID_TestObject, nullptr, CLSCTX_INPROC_SERVER, IID_ITestObject,
                                   reinterpret_cast<void**>(&object)),
                  S_OK);
        return object;
    }
};

// ---- Creating objects ----

TEST_F(Com, CreatesAnObjectByClassIdentifier) {
    ITestObject* object = Create();
    ASSERT_NE(object, nullptr);
    ASSERT_EQ(object->SetName(const_cast<char*>("vault")), S_OK);
    char name[MAX_PATH] = {};
    ASSERT_EQ(object->GetName(name), S_OK);
    EXPECT_STREQ(name, "vault");

    // Every interface of the object leads to the same object.
    IDispatch* dispatch = nullptr;
    IUnknown* unknown = nullptr;
    ASSERT_EQ(object->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&dispatch)), S_OK);
    ASSERT_EQ(object->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&unknown)), S_OK);
    EXPECT_EQ(static_cast<void*>(dispatch), static_cast<void*>(object));
    EXPECT_EQ(static_cast<void*>(unknown), static_cast<void*>(object));
    unknown->Release();
    dispatch->Release();
    EXPECT_EQ(object->Release(), 0u);
}

TEST_F(Com, TwoObjectsKeepTheirOwnState) {
    ITestObject* first = Create();
    ITestObject* second = Create();
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    first->SetName(const_cast<char*>("one"));
    second->SetName(const_cast<char*>("two"));
    char name[MAX_PATH] = {};
    first->GetName(name);
    EXPECT_STREQ(name, "one");
    second->Release();
    first->Release();
}

struct ActivationFailure {
    const char* what;
    const CLSID* clsid;
    const IID* iid;
    DWORD context;
    bool outer;
    HRESULT expected;
};

class ActivationFailures : public Com, public ::testing::WithParamInterface<ActivationFailure> {};

TEST_P(ActivationFailures, ReportTheirCodeAndNoObject) {
    const ActivationFailure& failure = GetParam();
    // An outer object that a server refusing aggregation never calls.
    struct Outer final : IUnknown {
        STDMETHODIMP QueryInterface(REFIID, void**) override { return E_UNEXPECTED; }
        STDMETHODIMP_(ULONG) AddRef() override { return 2; }
        STDMETHODIMP_(ULONG) Release() override { return 1; }
    } outerObject;
    void* object = reinterpret_cast<void*>(0x1);
    IUnknown* outer = failure.outer ? &outerObject : nullptr;
    EXPECT_EQ(CoCreateInstance(*failure.clsid, outer, failure.context, *failure.iid, &object),
              failure.expected);
    EXPECT_EQ(object, nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    Com, ActivationFailures,
    ::testing::Values(
        ActivationFailure{"unregistered class", &CLSID_Unregistered, &IID_ITestObject,
                          CLSCTX_INPROC_SERVER, false, REGDB_E_CLASSNOTREG},
        ActivationFailure{"missing module", &CLSID_MissingModule, &IID_ITestObject,
                          CLSCTX_INPROC_SERVER, false, static_cast<HRESULT>(0x8007007E)},
        ActivationFailure{"module without DllGetClassObject", &CLSID_PlainModule, &IID_ITestObject,
                          CLSCTX_INPROC_SERVER, false, CO_E_ERRORINDLL},
        ActivationFailure{"file that is no module", &CLSID_BrokenModule, &IID_ITestObject,
                          CLSCTX_INPROC_SERVER, false, static_cast<HRESULT>(0x800700C1)},
        ActivationFailure{"interface not supported", &CLSID_TestObject, &IID_Unknown,
                          CLSCTX_INPROC_SERVER, false, E_NOINTERFACE},
        ActivationFailure{"class factory as the object", &CLSID_TestObject, &IID_IClassFactory,
                          CLSCTX_INPROC_SERVER, false, E_NOINTERFACE},
        ActivationFailure{"an outer object", &CLSID_TestObject, &IID_ITestObject,
                          CLSCTX_INPROC_SERVER, true, CLASS_E_NOAGGREGATION},
        ActivationFailure{"no in-process context", &CLSID_TestObject, &IID_ITestObject,
                          CLSCTX_LOCAL_SERVER, false, REGDB_E_CLASSNOTREG},
        ActivationFailure{"free-threaded class in an apartment", &CLSID_FreeThreaded,
                          &IID_ITestObject, CLSCTX_INPROC_SERVER, false, CO_E_NOT_SUPPORTED},
        ActivationFailure{"unknown threading model", &CLSID_OddModel, &IID_ITestObject,
                          CLSCTX_INPROC_SERVER, false, REGDB_E_BADTHREADINGMODEL},
        ActivationFailure{"class the module does not serve", &CLSID_NotServed, &IID_ITestObject,
                          CLSCTX_INPROC_SERVER, false, CLASS_E_CLASSNOTAVAILABLE}),
    [](const auto& test) {
        std::string name = test.param.what;
        for (char& c : name) {
            if (!std::isalnum(static_cast<unsigned char>(c))) {
                c = '_';
            }
        }
        return name;
    });

// What a thread sees of CoCreateInstance, run on a thread of its own.
template <class Body>
void OnNewThread(Body body) {
    std::thread thread(body);
    thread.join();
}

TEST(ComApartments, CreationNeedsTheThreadInAnApartment) {
    OnNewThread([] {
        void* object = nullptr;
        EXPECT_EQ(CoCreateInstance(CLSID_TestObject, nullptr, CLSCTX_INPROC_SERVER, IID_ITestObject,
                                   &object),
                  CO_E_NOTINITIALIZED);
        ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
        ASSERT_EQ(CoCreateInstance(CLSID_TestObject, nullptr, CLSCTX_INPROC_SERVER, IID_ITestObject,
                                   &object),
                  S_OK);
        static_cast<ITestObject*>(object)->Release();
        CoUninitialize();
        EXPECT_EQ(CoCreateInstance(CLSID_TestObject, nullptr, CLSCTX_INPROC_SERVER, IID_ITestObject,
                                   &object),
                  CO_E_NOTINITIALIZED);
    });
}

TEST(ComApartments, JoinsAreCountedAndTheModeIsKept) {
    OnNewThread([] {
        ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
        EXPECT_EQ(CoInitialize(nullptr), S_FALSE);
        EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), RPC_E_CHANGED_MODE);
        CoUninitialize();
        void* object = nullptr;
        // One join is left.
        ASSERT_EQ(CoCreateInstance(CLSID_TestObject, nullptr, CLSCTX_INPROC_SERVER, IID_ITestObject,
                                   &object),
                  S_OK);
        static_cast<ITestObject*>(object)->Release();
        CoUninitialize();
        // Out of the apartment, the thread may choose again.
        EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
        // An apartment-model class cannot live in the multi-threaded apartment.
        EXPECT_EQ(CoCreateInstance(CLSID_TestObject, nullptr, CLSCTX_INPROC_SERVER, IID_ITestObject,
                                   &object),
                  CO_E_NOT_SUPPORTED);
        CoUninitialize();
    });
}

bool ComponentLoaded() {
    const fs::path host =
        SystemRootEnvironment::root / "drive_c" / "Program Files" / "Tests" / "TestComponent.dll";
    void* handle = ::dlopen(host.c_str(), RTLD_LAZY | RTLD_NOLOAD);
    if (handle != nullptr) {
        ::dlclose(handle);
    }
    return handle != nullptr;
}

TEST_F(Com, UnusedModulesAreUnloadedOnlyWhenTheySaySo) {
    ITestObject* object = Create();
    ASSERT_NE(object, nullptr);
    CoFreeUnusedLibraries();
    EXPECT_TRUE(ComponentLoaded()) << "an object is alive";
    object->SetName(const_cast<char*>("still here"));

    IClassFactory* factory = nullptr;
    ASSERT_EQ(CoGetClassObject(CLSID_TestObject, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                               reinterpret_cast<void**>(&factory)),
              S_OK);
    ASSERT_EQ(factory->LockServer(TRUE), S_OK);
    factory->Release();
    object->Release();
    CoFreeUnusedLibraries();
    EXPECT_TRUE(ComponentLoaded()) << "the server is locked";

    ASSERT_EQ(CoGetClassObject(CLSID_TestObject, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                               reinterpret_cast<void**>(&factory)),
              S_OK);
    factory->LockServer(FALSE);
    factory->Release();
    CoFreeUnusedLibraries();
    EXPECT_FALSE(ComponentLoaded());

    // And it comes back when needed.
    object = Create();
    ASSERT_NE(object, nullptr);
    object->Release();
}

TEST(ComApartments, LeavingTheLastApartmentUnloadsUnusedModules) {
    OnNewThread([] {
        ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
        void* object = nullptr;
        ASSERT_EQ(CoCreateInstance(CLSID_TestObject, nullptr, CLSCTX_INPROC_SERVER, IID_ITestObject,
                                   &object),
                  S_OK);
        static_cast<ITestObject*>(object)->Release();
        EXPECT_TRUE(ComponentLoaded());
        CoUninitialize();
        EXPECT_FALSE(ComponentLoaded());
    });
}

// ---- IDispatch from the type information ----

// Arguments in declaration order; Invoke gets them reversed, as COM passes them.
VARIANT Char(char c) {
    VARIANT v{};
    v.vt = VT_I1;
    v.cVal = c;
    return v;
}
VARIANT Byte(char c) {
    VARIANT v{};
    v.vt = VT_UI1;
    v.bVal = static_cast<BYTE>(c);
    return v;
}
VARIANT Text(const char* s) {
    VARIANT v{};
    v.vt = VT_LPSTR;
    v.pszVal = const_cast<char*>(s);
    return v;
}
VARIANT Chars(char* buffer) {
    VARIANT v{};
    v.vt = VT_BYREF | VT_I1;
    v.pcVal = buffer;
    return v;
}
VARIANT TextOut(char** pointer) {
    VARIANT v{};
    v.vt = VT_BYREF | VT_LPSTR;
    v.ppszVal = pointer;
    return v;
}
VARIANT I8(LONGLONG value) {
    VARIANT v{};
    v.vt = VT_I8;
    v.llVal = value;
    return v;
}
VARIANT I8Out(LONGLONG* value) {
    VARIANT v{};
    v.vt = VT_BYREF | VT_I8;
    v.pllVal = value;
    return v;
}
VARIANT I4(LONG value) {
    VARIANT v{};
    v.vt = VT_I4;
    v.lVal = value;
    return v;
}
VARIANT I4Out(LONG* value) {
    VARIANT v{};
    v.vt = VT_BYREF | VT_I4;
    v.plVal = value;
    return v;
}
VARIANT UI4(ULONG value) {
    VARIANT v{};
    v.vt = VT_UI4;
    v.ulVal = value;
    return v;
}

struct InvokeResult {
    HRESULT hr;
    VARIANT result;
    UINT argError;
};

InvokeResult Call(IDispatch* dispatch, DISPID id, std::vector<VARIANT> arguments,
                  WORD flags = DISPATCH_METHOD) {
    std::vector<VARIANT> reversed(arguments.rbegin(), arguments.rend());
    DISPPARAMS params{reversed.data(), nullptr, static_cast<UINT>(reversed.size()), 0};
    InvokeResult out{};
    out.argError = 0xFFFF;
    EXCEPINFO exception{};
    out.hr = dispatch->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params, &out.result,
                              &exception, &out.argError);
    if (out.hr == DISP_E_EXCEPTION) {
        out.hr = exception.scode;  // the method's own failure
    }
    return out;
}

// What one call left behind, compared between the two ways of calling.
struct Observation {
    HRESULT hr = E_UNEXPECTED;
    std::string text;
    LONGLONG number = 0;
    LONG calls = 0;
    ULONG last = 0;
    bool operator==(const Observation&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Observation& o) {
    return out << "hr=" << std::hex << o.hr << std::dec << " text='" << o.text
               << "' number=" << o.number << " calls=" << o.calls << " last=" << o.last;
}

struct DispatchCase {
    const char* method;
    std::function<Observation(ITestObject*)> direct;
    std::function<Observation(IDispatch*)> invoked;
};

const DispatchCase kDispatchCases[] = {
    {"SetName_GetName",
     [](ITestObject* o) {
         o->SetName(const_cast<char*>("Harbor Lock"));
         char buffer[MAX_PATH] = {};
         Observation r;
         r.hr = o->GetName(buffer);
         r.text = buffer;
         return r;
     },
     [](IDispatch* d) {
         Call(d, 1, {Text("Harbor Lock")});
         char buffer[MAX_PATH] = {};
         Observation r;
         r.hr = Call(d, 2, {Chars(buffer)}).hr;
         r.text = buffer;
         return r;
     }},
    {"SetName_by_reference",
     [](ITestObject* o) {
         Observation r;
         r.hr = o->SetName(const_cast<char*>("by reference"));
         char* name = nullptr;
         o->GetNamePointer(&name);
         r.text = name;
         return r;
     },
     [](IDispatch* d) {
         char text[] = "by reference";
         Observation r;
         r.hr = Call(d, 1, {Chars(text)}).hr;
         char* name = nullptr;
         Call(d, 3, {TextOut(&name)});
         r.text = name != nullptr ? name : "(null)";
         return r;
     }},
    {"GetNamePointer",
     [](ITestObject* o) {
         o->SetName(const_cast<char*>("owned"));
         char* name = nullptr;
         Observation r;
         r.hr = o->GetNamePointer(&name);
         r.text = name;
         return r;
     },
     [](IDispatch* d) {
         Call(d, 1, {Text("owned")});
         char* name = nullptr;
         Observation r;
         r.hr = Call(d, 3, {TextOut(&name)}).hr;
         r.text = name != nullptr ? name : "(null)";
         return r;
     }},
    {"SetLetter_GetLetter_return_value",
     [](ITestObject* o) {
         o->SetLetter('q');
         char letter = 0;
         Observation r;
         r.hr = o->GetLetter(&letter);
         r.text = std::string(1, letter);
         return r;
     },
     [](IDispatch* d) {
         Call(d, 4, {Char('q')});
         const InvokeResult got = Call(d, 5, {});
         Observation r;
         r.hr = got.hr;
         r.text = got.result.vt == VT_I1 ? std::string(1, got.result.cVal) : "(not VT_I1)";
         return r;
     }},
    {"SetLetter_refused",
     [](ITestObject* o) {
         Observation r;
         r.hr = o->SetLetter('1');
         return r;
     },
     [](IDispatch* d) {
         Observation r;
         r.hr = Call(d, 4, {Byte('1')}).hr;
         return r;
     }},
    {"Sum_every_number_kind",
     [](ITestObject* o) {
         Observation r;
         r.hr = o->Sum('A', LONGLONG{1} << 40, -5, 4000000000u, &r.number);
         return r;
     },
     [](IDispatch* d) {
         Observation r;
         r.hr = Call(d, 6,
                     {Char('A'), I8(LONGLONG{1} << 40), I4(-5), UI4(4000000000u), I8Out(&r.number)})
                    .hr;
         return r;
     }},
    {"Sum_with_a_byte_and_a_widened_number",
     [](ITestObject* o) {
         Observation r;
         r.hr = o->Sum('\xE9', 70000, 3, 2, &r.number);
         return r;
     },
     [](IDispatch* d) {
         Observation r;
         r.hr = Call(d, 6, {Byte('\xE9'), I4(70000), I4(3), UI4(2), I8Out(&r.number)}).hr;
         return r;
     }},
    {"Sum_refused_without_a_pointer",
     [](ITestObject* o) {
         Observation r;
         r.hr = o->Sum('A', 1, 2, 3, nullptr);
         return r;
     },
     [](IDispatch* d) {
         Observation r;
         r.hr = Call(d, 6, {Char('A'), I8(1), I4(2), UI4(3), I8Out(nullptr)}).hr;
         return r;
     }},
    {"GetCounters_out_and_return_value",
     [](ITestObject* o) {
         LONGLONG sum = 0;
         o->Sum('a', 0, 0, 77, &sum);
         Observation r;
         r.hr = o->GetCounters(&r.calls, &r.last);
         return r;
     },
     [](IDispatch* d) {
         LONGLONG sum = 0;
         Call(d, 6, {Char('a'), I8(0), I4(0), UI4(77), I8Out(&sum)});
         Observation r;
         const InvokeResult got = Call(d, 7, {I4Out(&r.calls)});
         r.hr = got.hr;
         r.last = got.result.vt == VT_UI4 ? got.result.ulVal : 0xDEAD;
         return r;
     }},
    {"GetSize_return_value",
     [](ITestObject* o) {
         o->SetName(const_cast<char*>("12345"));
         Observation r;
         r.hr = o->GetSize(&r.number);
         return r;
     },
     [](IDispatch* d) {
         Call(d, 1, {Text("12345")});
         const InvokeResult got = Call(d, 8, {});
         Observation r;
         r.hr = got.hr;
         r.number = got.result.vt == VT_I8 ? got.result.llVal : -1;
         return r;
     }},
    {"Reset",
     [](ITestObject* o) {
         o->SetName(const_cast<char*>("gone"));
         Observation r;
         r.hr = o->Reset();
         o->GetCounters(&r.calls, &r.last);
         char* name = nullptr;
         o->GetNamePointer(&name);
         r.text = name;
         return r;
     },
     [](IDispatch* d) {
         Call(d, 1, {Text("gone")});
         Observation r;
         r.hr = Call(d, 9, {}).hr;
         r.last = Call(d, 7, {I4Out(&r.calls)}).result.ulVal;
         char* name = nullptr;
         Call(d, 3, {TextOut(&name)});
         r.text = name != nullptr ? name : "(null)";
         return r;
     }},
};

class DispatchCases : public Com, public ::testing::WithParamInterface<DispatchCase> {};

TEST_P(DispatchCases, InvokeEqualsTheDirectCall) {
    ITestObject* direct = Create();
    ITestObject* invoked = Create();
    ASSERT_NE(direct, nullptr);
    ASSERT_NE(invoked, nullptr);
    const Observation expected = GetParam().direct(direct);
    const Observation got = GetParam().invoked(invoked);
    EXPECT_EQ(got, expected);
    invoked->Release();
    direct->Release();
}

INSTANTIATE_TEST_SUITE_P(Com, DispatchCases, ::testing::ValuesIn(kDispatchCases),
                         [](const auto& test) { return std::string(test.param.method); });

TEST(ComTypeInfo, DeclaredSlotsAreTheVirtualTableSlots) {
    EXPECT_TRUE(hl::com::SlotsAgree(hl::com::TypeInfo<ITestObject>::methods));
    using hl::com::In;
    constexpr hl::com::MethodInfo kMisplaced[] = {
        hl::com::Method<&ITestObject::Reset>("Reset", 9, 14),
    };
    EXPECT_FALSE(hl::com::SlotsAgree(kMisplaced));
}

struct DispatchFailure {
    const char* what;
    DISPID id;
    std::vector<VARIANT> arguments;
    WORD flags;
    HRESULT expected;
    UINT argError;  // the index in rgvarg of the argument at fault, for a type mismatch
};

class DispatchFailures : public Com, public ::testing::WithParamInterface<DispatchFailure> {};

TEST_P(DispatchFailures, AreRefusedBeforeTheMethodRuns) {
    const DispatchFailure& failure = GetParam();
    ITestObject* object = Create();
    ASSERT_NE(object, nullptr);
    const InvokeResult got = Call(object, failure.id, failure.arguments, failure.flags);
    EXPECT_EQ(got.hr, failure.expected);
    if (failure.expected == DISP_E_TYPEMISMATCH) {
        EXPECT_EQ(got.argError, failure.argError);
    }
    LONG calls = 0;
    ULONG last = 0;
    object->GetCounters(&calls, &last);
    EXPECT_EQ(calls, 1) << "only the counting call itself";
    object->Release();
}

LONGLONG gSink = 0;

INSTANTIATE_TEST_SUITE_P(
    Com, DispatchFailures,
    ::testing::Values(
        DispatchFailure{"unknown_DISPID", 99, {}, DISPATCH_METHOD, DISP_E_MEMBERNOTFOUND, 0},
        DispatchFailure{"DISPID_zero", 0, {}, DISPATCH_METHOD, DISP_E_MEMBERNOTFOUND, 0},
        DispatchFailure{
            "property_put", 1, {Text("x")}, DISPATCH_PROPERTYPUT, DISP_E_MEMBERNOTFOUND, 0},
        DispatchFailure{"too_few_arguments",
                        6,
                        {Char('A'), I8(1), I4(2), UI4(3)},
                        DISPATCH_METHOD,
                        DISP_E_BADPARAMCOUNT,
                        0},
        DispatchFailure{"too_many_arguments",
                        1,
                        {Text("x"), Text("y")},
                        DISPATCH_METHOD,
                        DISP_E_BADPARAMCOUNT,
                        0},
        DispatchFailure{"the_return_value_as_an_argument",
                        5,
                        {Char('x')},
                        DISPATCH_METHOD,
                        DISP_E_BADPARAMCOUNT,
                        0},
        DispatchFailure{"number_for_a_string", 1, {I4(5)}, DISPATCH_METHOD, DISP_E_TYPEMISMATCH, 0},
        DispatchFailure{
            "string_for_a_char", 4, {Text("A")}, DISPATCH_METHOD, DISP_E_TYPEMISMATCH, 0},
        DispatchFailure{"signed_for_unsigned",
                        6,
                        {Char('A'), I8(1), I4(2), I4(3), I8Out(&gSink)},
                        DISPATCH_METHOD,
                        DISP_E_TYPEMISMATCH,
                        1},
        DispatchFailure{"value_for_an_out_pointer",
                        6,
                        {Char('A'), I8(1), I4(2), UI4(3), I8(4)},
                        DISPATCH_METHOD,
                        DISP_E_TYPEMISMATCH,
                        0},
        DispatchFailure{"64_bit_for_a_long",
                        6,
                        {Char('A'), I8(1), I8(2), UI4(3), I8Out(&gSink)},
                        DISPATCH_METHOD,
                        DISP_E_TYPEMISMATCH,
                        2}),
    [](const auto& test) { return std::string(test.param.what); });

TEST_F(Com, InvokeRefusesNamedArgumentsAndForeignInterfaces) {
    ITestObject* object = Create();
    ASSERT_NE(object, nullptr);
    VARIANT argument = Text("x");
    DISPID named = 0;
    DISPPARAMS params{&argument, &named, 1, 1};
    EXPECT_EQ(object->Invoke(1, IID_NULL, 0, DISPATCH_METHOD, &params, nullptr, nullptr, nullptr),
              DISP_E_NONAMEDARGS);
    params.cNamedArgs = 0;
    EXPECT_EQ(
        object->Invoke(1, IID_ITestObject, 0, DISPATCH_METHOD, &params, nullptr, nullptr, nullptr),
        DISP_E_UNKNOWNINTERFACE);
    // Without exception information a failure comes back as the method's own code.
    VARIANT letter = Char('7');
    DISPPARAMS one{&letter, nullptr, 1, 0};
    EXPECT_EQ(object->Invoke(4, IID_NULL, 0, DISPATCH_METHOD, &one, nullptr, nullptr, nullptr),
              E_INVALIDARG);
    object->Release();
}

TEST_F(Com, GetIDsOfNamesFindsMethodsWithoutRegardToCase) {
    ITestObject* object = Create();
    ASSERT_NE(object, nullptr);
    struct Lookup {
        std::u16string name;
        DISPID id;
    };
    const Lookup lookups[] = {{u"GetName", 2},
                              {u"getname", 2},
                              {u"SUM", 6},
                              {u"reset", 9},
                              {u"GetNam", DISPID_UNKNOWN},
                              {u"GetNames", DISPID_UNKNOWN},
                              {u"", DISPID_UNKNOWN}};
    for (const Lookup& lookup : lookups) {
        std::u16string name = lookup.name;
        LPOLESTR names[] = {name.data()};
        DISPID id = 12345;
        const HRESULT hr = object->GetIDsOfNames(IID_NULL, names, 1, 0, &id);
        EXPECT_EQ(id, lookup.id) << std::string(lookup.name.begin(), lookup.name.end());
        EXPECT_EQ(hr, lookup.id == DISPID_UNKNOWN ? DISP_E_UNKNOWNNAME : S_OK);
    }
    // Parameters have no names to find.
    std::u16string method = u"SetName", parameter = u"sName";
    LPOLESTR names[] = {method.data(), parameter.data()};
    DISPID ids[2] = {0, 0};
    EXPECT_EQ(object->GetIDsOfNames(IID_NULL, names, 2, 0, ids), DISP_E_UNKNOWNNAME);
    EXPECT_EQ(ids[0], 1);
    EXPECT_EQ(ids[1], DISPID_UNKNOWN);

    UINT count = 7;
    EXPECT_EQ(object->GetTypeInfoCount(&count), S_OK);
    EXPECT_EQ(count, 0u);
    object->Release();
}

// ---- Identifiers as text ----

TEST(ComGuids, FormatAndParseRoundTrip) {
    OLECHAR text[39];
    ASSERT_EQ(StringFromGUID2(CLSID_TestObject, text, 39), 39);
    EXPECT_EQ(std::u16string(text), u"{6A1C2E70-3B9D-4F21-9C55-0D8E4B7A1F01}");
    EXPECT_EQ(StringFromGUID2(CLSID_TestObject, text, 38), 0);
    CLSID parsed{};
    ASSERT_EQ(CLSIDFromString(text, &parsed), S_OK);
    EXPECT_TRUE(IsEqualCLSID(parsed, CLSID_TestObject));
    ASSERT_EQ(CLSIDFromString(u"{6a1c2e70-3b9d-4f21-9c55-0d8e4b7a1f01}", &parsed), S_OK);
    EXPECT_TRUE(IsEqualCLSID(parsed, CLSID_TestObject));
    EXPECT_EQ(hl::com::GuidText(IID_IDispatch), "{00020400-0000-0000-C000-000000000046}");
}

TEST(ComGuids, MalformedTextIsRefused) {
    const char16_t* const kMalformed[] = {
        u"6A1C2E70-3B9D-4F21-9C55-0D8E4B7A1F01",
        u"{6A1C2E70-3B9D-4F21-9C55-0D8E4B7A1F0}",
        u"{6A1C2E70-3B9D-4F21-9C55-0D8E4B7A1F011}",
        u"{6A1C2E70-3B9D-4F21-9C550-D8E4B7A1F01}",
        u"{6A1C2E7G-3B9D-4F21-9C55-0D8E4B7A1F01}",
        u"{6A1C2E70 3B9D-4F21-9C55-0D8E4B7A1F01}",
        u"",
    };
    for (const char16_t* text : kMalformed) {
        CLSID parsed = CLSID_TestObject;
        EXPECT_EQ(CLSIDFromString(text, &parsed), CO_E_CLASSSTRING)
            << std::string(text, text + std::char_traits<char16_t>::length(text));
        EXPECT_TRUE(IsEqualCLSID(parsed, CLSID_TestObject)) << "left alone";
    }
}

// ---- Self-registration ----

// HKEY_CLASSES_ROOT as text, one line per value, in key order.
void ExportKey(HKEY parent, const std::string& path, std::vector<std::string>& lines) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(parent, path.empty() ? nullptr : path.c_str(), 0, KEY_READ, &key) !=
        ERROR_SUCCESS) {
        lines.push_back("[" + path + "] unreadable");
        return;
    }
    lines.push_back("[" + path + "]");
    for (DWORD index = 0;; ++index) {
        char name[256];
        DWORD nameSize = sizeof name;
        BYTE data[1024];
        DWORD dataSize = sizeof data;
        DWORD type = 0;
        if (RegEnumValueA(key, index, name, &nameSize, nullptr, &type, data, &dataSize) !=
            ERROR_SUCCESS) {
            break;
        }
        lines.push_back(std::string(name, nameSize) + "=" + std::to_string(type) + ":" +
                        std::string(reinterpret_cast<char*>(data), dataSize));
    }
    std::vector<std::string> subkeys;
    for (DWORD index = 0;; ++index) {
        char name[256];
        DWORD nameSize = sizeof name;
        if (RegEnumKeyExA(key, index, name, &nameSize, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS) {
            break;
        }
        subkeys.emplace_back(name, nameSize);
    }
    RegCloseKey(key);
    for (const std::string& subkey : subkeys) {
        ExportKey(HKEY_CLASSES_ROOT, path.empty() ? subkey : path + "\\" + subkey, lines);
    }
}

std::vector<std::string> ExportClasses() {
    std::vector<std::string> lines;
    ExportKey(HKEY_CLASSES_ROOT, "", lines);
    return lines;
}

std::string ReadValue(const std::string& path, const char* name) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return "(no key)";
    }
    char data[MAX_PATH] = {};
    DWORD size = sizeof data - 1;
    DWORD type = 0;
    const LONG result =
        RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(data), &size);
    RegCloseKey(key);
    return result == ERROR_SUCCESS && type == REG_SZ ? std::string(data) : "(no value)";
}

bool KeyExists(const std::string& path) {
    return ReadValue(path, nullptr) != "(no key)";
}

TEST_F(Com, RegistrationWritesTheServerKeys) {
    const std::string clsid = "CLSID\\{6A1C2E70-3B9D-4F21-9C55-0D8E4B7A1F01}";
    const std::string libid = "{6A1C2E72-3B9D-4F21-9C55-0D8E4B7A1F01}";
    const std::string iid = "Interface\\{6A1C2E71-3B9D-4F21-9C55-0D8E4B7A1F01}";
    EXPECT_EQ(ReadValue(clsid, nullptr), "TestObject Class");
    EXPECT_EQ(ReadValue(clsid, "AppID"), "{6A1C2E73-3B9D-4F21-9C55-0D8E4B7A1F01}");
    EXPECT_EQ(ReadValue(clsid + "\\InprocServer32", nullptr), kComponentPath);
    EXPECT_EQ(ReadValue(clsid + "\\InprocServer32", "ThreadingModel"), "Apartment");
    EXPECT_EQ(ReadValue(clsid + "\\ProgID", nullptr), "ComTests.TestObject.1");
    EXPECT_EQ(ReadValue(clsid + "\\VersionIndependentProgID", nullptr), "ComTests.TestObject");
    EXPECT_EQ(ReadValue(clsid + "\\TypeLib", nullptr), libid);
    EXPECT_EQ(ReadValue("ComTests.TestObject.1\\CLSID", nullptr),
              "{6A1C2E70-3B9D-4F21-9C55-0D8E4B7A1F01}");
    EXPECT_EQ(ReadValue("ComTests.TestObject\\CurVer", nullptr), "ComTests.TestObject.1");
    EXPECT_EQ(ReadValue("AppID\\{6A1C2E73-3B9D-4F21-9C55-0D8E4B7A1F01}", nullptr), "TestComponent");
    EXPECT_EQ(ReadValue("TypeLib\\" + libid + "\\1.0", nullptr), "Test 1.0 Type Library");
    EXPECT_EQ(ReadValue("TypeLib\\" + libid + "\\1.0\\0\\win32", nullptr), kComponentPath);
    EXPECT_EQ(ReadValue("TypeLib\\" + libid + "\\1.0\\HELPDIR", nullptr),
              "C:\\Program Files\\Tests");
    EXPECT_EQ(ReadValue(iid, nullptr), "ITestObject");
    EXPECT_EQ(ReadValue(iid + "\\ProxyStubClsid32", nullptr),
              "{00020424-0000-0000-C000-000000000046}");
    EXPECT_EQ(ReadValue(iid + "\\TypeLib", nullptr), libid);
    EXPECT_EQ(ReadValue(iid + "\\TypeLib", "Version"), "1.0");
}

TEST_F(Com, RegisterThenUnregisterLeavesTheRegistryAsBefore) {
    const std::vector<std::string> registered = ExportClasses();
    ASSERT_EQ(CallModuleEntry("DllUnregisterServer"), S_OK);
    const std::vector<std::string> before = ExportClasses();
    EXPECT_NE(before, registered);
    void* object = nullptr;
    EXPECT_EQ(
        CoCreateInstance(CLSID_TestObject, nullptr, CLSCTX_INPROC_SERVER, IID_ITestObject, &object),
        REGDB_E_CLASSNOTREG);

    ASSERT_EQ(CallModuleEntry("DllRegisterServer"), S_OK);
    EXPECT_EQ(ExportClasses(), registered);
    ASSERT_EQ(CallModuleEntry("DllUnregisterServer"), S_OK);
    EXPECT_EQ(ExportClasses(), before);
    // Unregistering what is not registered is no failure.
    EXPECT_EQ(CallModuleEntry("DllUnregisterServer"), S_OK);
    ASSERT_EQ(CallModuleEntry("DllRegisterServer"), S_OK);
}

// ---- regsvr32 ----

struct ProgramRun {
    int exitCode;
    std::string output;
};

ProgramRun RunRegsvr32(const std::string& arguments) {
    const std::string command = std::string("'") + REGSVR32_PROGRAM + "' " + arguments + " 2>&1";
    ProgramRun run{-1, {}};
    std::FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return run;
    }
    std::array<char, 512> buffer;
    while (std::fgets(buffer.data(), buffer.size(), pipe) != nullptr) {
        run.output += buffer.data();
    }
    const int status = ::pclose(pipe);
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

TEST(ComRegsvr32, UnregistersAndRegistersAModule) {
    const std::string module = std::string("'") + kComponentPath + "'";
    const std::string clsid = "CLSID\\{6A1C2E70-3B9D-4F21-9C55-0D8E4B7A1F01}";
    ProgramRun run = RunRegsvr32("/u " + module);
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.output,
              std::string("DllUnregisterServer in ") + kComponentPath + " succeeded.\n");
    EXPECT_FALSE(KeyExists(clsid));
    EXPECT_FALSE(KeyExists("ComTests.TestObject"));

    run = RunRegsvr32("/s " + module);
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.output, "");
    EXPECT_EQ(ReadValue(clsid + "\\InprocServer32", nullptr), kComponentPath);

    run = RunRegsvr32(module);
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.output, std::string("DllRegisterServer in ") + kComponentPath + " succeeded.\n");
}

TEST(ComRegsvr32, ReportsWhatWentWrong) {
    struct Case {
        std::string arguments;
        int exitCode;
        std::string output;
    };
    const Case cases[] = {
        {"", 1,
         "Usage: regsvr32 [/u] [/s] dllname\n/u - Unregister server\n"
         "/s - Silent; display no message boxes\n"},
        {"/x 'C:\\a.dll'", 1, ""},
        {"'C:\\Program Files\\Tests\\Missing.dll'", 3,
         "LoadLibrary(\"C:\\Program Files\\Tests\\Missing.dll\") failed - The specified module "
         "could not be found.\n"},
        {"/s 'C:\\Program Files\\Tests\\Missing.dll'", 3, ""},
        {"'C:\\Program Files\\Tests\\Plain.dll'", 5,
         "DllRegisterServer in C:\\Program Files\\Tests\\Plain.dll failed.\nReturn code was: "
         "0x80070005\n"},
        {"/u 'C:\\Program Files\\Tests\\Plain.dll'", 4,
         "C:\\Program Files\\Tests\\Plain.dll was loaded, but the DllUnregisterServer entry "
         "point was not found.\n\nThis file can not be registered.\n"},
    };
    for (const Case& c : cases) {
        const ProgramRun run = RunRegsvr32(c.arguments);
        EXPECT_EQ(run.exitCode, c.exitCode) << c.arguments;
        if (c.exitCode != 1 || !c.output.empty()) {
            EXPECT_EQ(run.output, c.output) << c.arguments;
        } else {
            EXPECT_NE(run.output.find("Usage: regsvr32"), std::string::npos) << c.arguments;
        }
    }
}

}  // namespace
