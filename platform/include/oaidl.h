// Automation: IDispatch and the variants its Invoke passes. Strings are the system's
// single-byte strings, so besides the Windows members a variant carries VT_LPSTR (pszVal) and a
// pointer to one (VT_BYREF | VT_LPSTR, ppszVal).
#pragma once

#include "unknwn.h"

typedef WCHAR OLECHAR;
typedef OLECHAR* LPOLESTR;
typedef const OLECHAR* LPCOLESTR;
typedef OLECHAR* BSTR;
typedef LONG DISPID;
typedef DISPID MEMBERID;
typedef DWORD LCID;
typedef unsigned short VARTYPE;
typedef short VARIANT_BOOL;
typedef LONG SCODE;

#define VARIANT_TRUE ((VARIANT_BOOL)-1)
#define VARIANT_FALSE ((VARIANT_BOOL)0)

enum VARENUM : VARTYPE {
    VT_EMPTY = 0,
    VT_NULL = 1,
    VT_I2 = 2,
    VT_I4 = 3,
    VT_BSTR = 8,
    VT_ERROR = 10,
    VT_BOOL = 11,
    VT_VARIANT = 12,
    VT_UNKNOWN = 13,
    VT_I1 = 16,
    VT_UI1 = 17,
    VT_UI2 = 18,
    VT_UI4 = 19,
    VT_I8 = 20,
    VT_UI8 = 21,
    VT_INT = 22,
    VT_UINT = 23,
    VT_HRESULT = 25,
    VT_LPSTR = 30,
    VT_BYREF = 0x4000,
    VT_TYPEMASK = 0x0FFF,
};

typedef struct tagVARIANT {
    VARTYPE vt;
    WORD wReserved1;
    WORD wReserved2;
    WORD wReserved3;
    union {
        LONGLONG llVal;
        ULONGLONG ullVal;
        LONG lVal;
        ULONG ulVal;
        INT intVal;
        UINT uintVal;
        SHORT iVal;
        USHORT uiVal;
        CHAR cVal;
        BYTE bVal;
        VARIANT_BOOL boolVal;
        SCODE scode;
        BSTR bstrVal;
        LPSTR pszVal;
        IUnknown* punkVal;
        LONGLONG* pllVal;
        ULONGLONG* pullVal;
        LONG* plVal;
        ULONG* pulVal;
        CHAR* pcVal;
        BYTE* pbVal;
        LPSTR* ppszVal;
        struct tagVARIANT* pvarVal;
        PVOID byref;
        // A record value: the widest member, which makes a variant 24 bytes on 64-bit Windows.
        __extension__ struct {
            PVOID pvRecord;
            struct IRecordInfo* pRecInfo;
        };
    };
} VARIANT, *LPVARIANT, VARIANTARG, *LPVARIANTARG;

typedef struct tagDISPPARAMS {
    VARIANTARG* rgvarg;  // the arguments, the last one first
    DISPID* rgdispidNamedArgs;
    UINT cArgs;
    UINT cNamedArgs;
} DISPPARAMS;

typedef struct tagEXCEPINFO {
    WORD wCode;
    WORD wReserved;
    BSTR bstrSource;
    BSTR bstrDescription;
    BSTR bstrHelpFile;
    DWORD dwHelpContext;
    PVOID pvReserved;
    HRESULT(STDMETHODCALLTYPE* pfnDeferredFillIn)(struct tagEXCEPINFO*);
    SCODE scode;
} EXCEPINFO, *LPEXCEPINFO;

#define DISPATCH_METHOD 0x1
#define DISPATCH_PROPERTYGET 0x2
#define DISPATCH_PROPERTYPUT 0x4
#define DISPATCH_PROPERTYPUTREF 0x8

#define DISPID_UNKNOWN (-1)
#define DISPID_VALUE (0)
#define DISPID_PROPERTYPUT (-3)

#define LOCALE_SYSTEM_DEFAULT 0x0800
#define LOCALE_USER_DEFAULT 0x0400

DEFINE_GUID(IID_IDispatch, 0x00020400, 0x0000, 0x0000, 0xC0, 0, 0, 0, 0, 0, 0, 0x46);

interface ITypeInfo;

interface IDispatch : public IUnknown {
    STDMETHOD(GetTypeInfoCount)(UINT* pctinfo) PURE;
    STDMETHOD(GetTypeInfo)(UINT iTInfo, LCID lcid, ITypeInfo** ppTInfo) PURE;
    STDMETHOD(GetIDsOfNames)
    (REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID lcid, DISPID* rgDispId) PURE;
    STDMETHOD(Invoke)
    (DISPID dispIdMember, REFIID riid, LCID lcid, WORD wFlags, DISPPARAMS* pDispParams,
     VARIANT* pVarResult, EXCEPINFO* pExcepInfo, UINT* puArgErr) PURE;
};
typedef IDispatch* LPDISPATCH;
