// The dual interface of the test component, with one method of every parameter kind.
#pragma once

#include <objbase.h>

#include "com/dispatch.h"

// {6A1C2E70-3B9D-4F21-9C55-0D8E4B7A1F01}
DEFINE_GUID(CLSID_TestObject, 0x6A1C2E70, 0x3B9D, 0x4F21, 0x9C, 0x55, 0x0D, 0x8E, 0x4B, 0x7A, 0x1F,
            0x01);
// {6A1C2E71-3B9D-4F21-9C55-0D8E4B7A1F01}
DEFINE_GUID(IID_ITestObject, 0x6A1C2E71, 0x3B9D, 0x4F21, 0x9C, 0x55, 0x0D, 0x8E, 0x4B, 0x7A, 0x1F,
            0x01);
// {6A1C2E72-3B9D-4F21-9C55-0D8E4B7A1F01}
DEFINE_GUID(LIBID_TestLib, 0x6A1C2E72, 0x3B9D, 0x4F21, 0x9C, 0x55, 0x0D, 0x8E, 0x4B, 0x7A, 0x1F,
            0x01);
// {6A1C2E73-3B9D-4F21-9C55-0D8E4B7A1F01}
DEFINE_GUID(APPID_Test, 0x6A1C2E73, 0x3B9D, 0x4F21, 0x9C, 0x55, 0x0D, 0x8E, 0x4B, 0x7A, 0x1F, 0x01);

interface ITestObject : public IDispatch {
    // Keeps a copy of the name; E_POINTER for null.
    STDMETHOD(SetName)(char* sName) PURE;
    // Copies the name into a buffer of MAX_PATH characters.
    STDMETHOD(GetName)(char* sBuffer) PURE;
    // The object's own copy of the name.
    STDMETHOD(GetNamePointer)(char** psName) PURE;
    // E_INVALIDARG for anything but a letter.
    STDMETHOD(SetLetter)(char cLetter) PURE;
    STDMETHOD(GetLetter)(char* pcLetter) PURE;
    // The letter's code plus the three numbers.
    STDMETHOD(Sum)
    (char cLetter, LONGLONG llValue, LONG lValue, ULONG dwValue, LONGLONG* pllSum) PURE;
    // How many calls the object has had, and its last unsigned number.
    STDMETHOD(GetCounters)(LONG* plCalls, ULONG* pdwLast) PURE;
    STDMETHOD(GetSize)(LONGLONG* pllSize) PURE;
    STDMETHOD(Reset)() PURE;
};

template <>
struct hl::com::TypeInfo<ITestObject> {
    static constexpr const IID& iid = IID_ITestObject;
    static constexpr MethodInfo methods[] = {
        Method<&ITestObject::SetName, In<char*>>("SetName", 1, 7),
        Method<&ITestObject::GetName, Out<char*>>("GetName", 2, 8),
        Method<&ITestObject::GetNamePointer, Out<char**>>("GetNamePointer", 3, 9),
        Method<&ITestObject::SetLetter, In<char>>("SetLetter", 4, 10),
        Method<&ITestObject::GetLetter, RetVal<char*>>("GetLetter", 5, 11),
        Method<&ITestObject::Sum, In<char>, In<LONGLONG>, In<LONG>, In<ULONG>, Out<LONGLONG*>>(
            "Sum", 6, 12),
        Method<&ITestObject::GetCounters, Out<LONG*>, RetVal<ULONG*>>("GetCounters", 7, 13),
        Method<&ITestObject::GetSize, RetVal<LONGLONG*>>("GetSize", 8, 14),
        Method<&ITestObject::Reset>("Reset", 9, 15),
    };
};
