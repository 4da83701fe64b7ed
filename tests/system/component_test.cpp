// The installed controller component through the component model: created by class
// identifier, every method called through its slot and through IDispatch::Invoke alike.

// This source defines the module's interface identifiers.
#define INITGUID

#include <windows.h>
#include <gtest/gtest.h>
#include <objbase.h>
#include <oleauto.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "booted_system.h"
#include "common/interfaces/harborlock_interfaces.h"
#include "controller/kv_result_codes.h"

namespace {

using system_test::BootedSystem;

VARIANT Char(char c) {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_I1;
    v.cVal = c;
    return v;
}

VARIANT Text(char* text) {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_LPSTR;
    v.pszVal = text;
    return v;
}

VARIANT Int64(LONGLONG value) {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_I8;
    v.llVal = value;
    return v;
}

// Invoke with the arguments in call order (COM wants them last first).
HRESULT Invoke(IDispatch* object, DISPID id, std::vector<VARIANT> arguments,
               VARIANT* result = nullptr) {
    std::vector<VARIANT> reversed(arguments.rbegin(), arguments.rend());
    DISPPARAMS params{};
    params.rgvarg = reversed.empty() ? nullptr : reversed.data();
    params.cArgs = static_cast<UINT>(reversed.size());
    return object->Invoke(id, IID_NULL, 0, DISPATCH_METHOD, &params, result, nullptr, nullptr);
}

class Component : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        const std::string install = std::string(HLSYS_PATH) + " install " +
                                    BootedSystem::Root().string() + " --devices 4 >/dev/null";
        ASSERT_EQ(std::system(install.c_str()), 0);
    }
    void SetUp() override {
        ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
        ASSERT_EQ(CoCreateInstance(CLSID_KvObject, nullptr, CLSCTX_INPROC_SERVER, IID_IKvObject,
                                   reinterpret_cast<void**>(&kv)),
                  S_OK);
    }
    void TearDown() override {
        if (kv != nullptr) {
            kv->Release();
        }
        CoUninitialize();
    }
    BootedSystem system;
    IKvObject* kv = nullptr;
};

TEST_F(Component, GetUsedDriveThroughDispidSixEqualsSlotTwelve) {
    char direct = 'q';
    ASSERT_EQ(kv->GetUsedDrive(&direct), S_OK);
    VARIANT result;
    VariantInit(&result);
    ASSERT_EQ(Invoke(kv, 6, {}, &result), S_OK);
    EXPECT_EQ(result.cVal, direct);

    char file[] = "C:\\component.vd";
    char material[] = "material";
    char password[] = "password";
    ASSERT_EQ(kv->CreateCryptedDisk('W', 16 << 20, file, material, password), S_OK);
    ASSERT_EQ(kv->GetUsedDrive(&direct), S_OK);
    EXPECT_EQ(direct, 'W');
    ASSERT_EQ(Invoke(kv, 6, {}, &result), S_OK);
    EXPECT_EQ(result.cVal, 'W');
    // The disk is taken down through Invoke, and is gone for the direct calls too.
    EXPECT_EQ(Invoke(kv, 3, {Char('W'), Char(1)}), S_OK);
    EXPECT_EQ(kv->UmountDisk('W', 1), KV_E_ALREADY_UNMOUNTED);
}

TEST_F(Component, EveryMethodAnswersAlikeBothWays) {
    char missing[] = "C:\\missing.vd";
    char badSize[] = "C:\\bad-size.vd";
    char key[] = "key";
    char name[MAX_PATH] = {};
    LONGLONG size = 0;
    VARIANT nameOut;
    VariantInit(&nameOut);
    nameOut.vt = VT_BYREF | VT_I1;
    nameOut.pcVal = name;
    VARIANT sizeOut;
    VariantInit(&sizeOut);
    sizeOut.vt = VT_BYREF | VT_I8;
    sizeOut.pllVal = &size;

    struct Case {
        const char* method;
        HRESULT direct;
        DISPID dispid;
        std::vector<VARIANT> arguments;
    };
    const Case cases[] = {
        {"CreateCryptedDisk",
         kv->CreateCryptedDisk('Q', 100000, badSize, key, key),
         1,
         {Char('Q'), Int64(100000), Text(badSize), Text(key), Text(key)}},
        {"OpenCryptedDisk",
         kv->OpenCryptedDisk('Q', missing, key),
         2,
         {Char('Q'), Text(missing), Text(key)}},
        {"UmountDisk", kv->UmountDisk('Q', 1), 3, {Char('Q'), Char(1)}},
        {"ChangePassword",
         kv->ChangePassword('Q', missing, key, key),
         4,
         {Char('Q'), Text(missing), Text(key), Text(key)}},
        {"GetMountedVolumeInfo",
         kv->GetMountedVolumeInfo('Q', name, &size),
         5,
         {Char('Q'), nameOut, sizeOut}},
        {"UnmountPossible", kv->UnmountPossible('1'), 7, {Char('1')}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.method);
        EXPECT_TRUE(FAILED(c.direct));
        EXPECT_EQ(Invoke(kv, c.dispid, c.arguments), c.direct);
    }
    EXPECT_EQ(Invoke(kv, 8, {}), DISP_E_MEMBERNOTFOUND);
    EXPECT_EQ(Invoke(kv, 3, {Char('Q')}), DISP_E_BADPARAMCOUNT);
}

}  // namespace
