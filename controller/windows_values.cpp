// The user-mode constants and records the controller and its clients rely on, with the values
// and layouts of the Windows SDK. Compiled in every build and in the check against the SDK's own
// headers, so that both header sets are held to the same numbers.
#include <windows.h>
#include <oaidl.h>
#include <objbase.h>
#include <olectl.h>
#include <winioctl.h>

#include <cstddef>

#include "Driver/lockvol/lockvol_ioctl.h"

// Volume requests and the driver's own, seen from user mode.
static_assert(FSCTL_LOCK_VOLUME == 0x00090018);
static_assert(FSCTL_UNLOCK_VOLUME == 0x0009001C);
static_assert(FSCTL_DISMOUNT_VOLUME == 0x00090020);
static_assert(IOCTL_DISK_GET_DRIVE_GEOMETRY == 0x00070000);
static_assert(IOCTL_VD_OPEN_FILE == 0x8000E000);
static_assert(IOCTL_VD_QUERY_FILE == 0x80006008);
static_assert(IOCTL_VD_CHANGE_KEY == 0x8000E014);

// Result codes.
static_assert(ERROR_SUCCESS == 0);
static_assert(S_OK == 0);
static_assert(S_FALSE == 1);
static_assert(E_NOINTERFACE == (HRESULT)0x80004002);
static_assert(E_POINTER == (HRESULT)0x80004003);
static_assert(E_FAIL == (HRESULT)0x80004005);
static_assert(E_ACCESSDENIED == (HRESULT)0x80070005);
static_assert(E_OUTOFMEMORY == (HRESULT)0x8007000E);
static_assert(E_INVALIDARG == (HRESULT)0x80070057);
static_assert(CLASS_E_NOAGGREGATION == (HRESULT)0x80040110);
static_assert(CLASS_E_CLASSNOTAVAILABLE == (HRESULT)0x80040111);
static_assert(SELFREG_E_CLASS == (HRESULT)0x80040201);

// Records of the component model, as a 64-bit Windows lays them out.
static_assert(sizeof(GUID) == 16);
static_assert(offsetof(GUID, Data1) == 0);
static_assert(offsetof(GUID, Data2) == 4);
static_assert(offsetof(GUID, Data3) == 6);
static_assert(offsetof(GUID, Data4) == 8);
static_assert(sizeof(VARIANT) == 24);
static_assert(offsetof(VARIANT, vt) == 0);
static_assert(offsetof(VARIANT, lVal) == 8);
static_assert(offsetof(VARIANT, bstrVal) == 8);
static_assert(offsetof(VARIANT, byref) == 8);
static_assert(sizeof(VARTYPE) == 2);
static_assert(VT_BSTR == 8 && VT_I4 == 3 && VT_BYREF == 0x4000);
static_assert(sizeof(DISPPARAMS) == 24);
static_assert(offsetof(DISPPARAMS, rgvarg) == 0);
static_assert(offsetof(DISPPARAMS, rgdispidNamedArgs) == 8);
static_assert(offsetof(DISPPARAMS, cArgs) == 16);
static_assert(offsetof(DISPPARAMS, cNamedArgs) == 20);
static_assert(sizeof(OLECHAR) == 2);
