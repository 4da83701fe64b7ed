// Type information for dual interfaces and the IDispatch that it drives.
//
// An interface's owner describes each method once: its name, DISPID, vtable slot and the kind
// of every parameter, checked at compile time against the method's C++ signature:
//
//   template <> struct hl::com::TypeInfo<IThing> {
//       static constexpr const IID& iid = IID_IThing;
//       static constexpr MethodInfo methods[] = {
//           Method<&IThing::Open, In<char>, In<char*>>("Open", 1, 7),
//           Method<&IThing::GetDrive, RetVal<char*>>("GetDrive", 2, 8),
//       };
//   };
//
// and a component derives from DispatchImpl<IThing>, whose Invoke converts the variants of
// DISPPARAMS (last argument first, as COM passes them) and makes the call.
#pragma once

#include <objbase.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <tuple>
#include <type_traits>
#include <utility>

namespace hl::com {

// Parameter kinds: In<char>, In<char*> (a string the caller owns), In<LONGLONG>, In<LONG>,
// In<ULONG>; Out<char*> (a buffer the caller owns), Out<char**> (a string the component owns),
// Out<LONGLONG*>, Out<LONG*>, Out<ULONG*>; RetVal<...> for the out parameter that is the
// method's return value (it travels in Invoke's result, not in the arguments).
template <class T>
struct In {};
template <class T>
struct Out {};
template <class T>
struct RetVal {};

struct MethodInfo {
    const char* name;
    DISPID dispid;
    unsigned slot;
    UINT argumentCount;  // the arguments Invoke takes, without the return value
    // Converts the arguments and calls; DISP_E_TYPEMISMATCH when an argument does not fit,
    // otherwise S_OK with the method's own result in `methodResult`.
    HRESULT(*invoke)
    (void* object, const DISPPARAMS& params, VARIANT* result, UINT* argError,
     HRESULT& methodResult);
    std::size_t (*actualSlot)();
};

namespace detail {

inline const VARIANT& Deref(const VARIANT& value) {
    if (value.vt == (VT_BYREF | VT_VARIANT) && value.pvarVal != nullptr) {
        return *value.pvarVal;
    }
    return value;
}

template <class Kind>
struct Converter;

template <>
struct Converter<In<char>> {
    using Storage = char;
    template <class P>
    static constexpr bool accepts = std::is_same_v<P, char>;
    static bool Load(const VARIANT& v, Storage& s) {
        if (v.vt == VT_I1) {
            s = v.cVal;
        } else if (v.vt == VT_UI1) {
            s = static_cast<char>(v.bVal);
        } else {
            return false;
        }
        return true;
    }
    static char Pass(Storage& s) { return s; }
};

template <>
struct Converter<In<char*>> {
    using Storage = char*;
    template <class P>
    static constexpr bool accepts = std::is_same_v<P, char*> || std::is_same_v<P, const char*>;
    static bool Load(const VARIANT& v, Storage& s) {
        if (v.vt == VT_LPSTR) {
            s = v.pszVal;
        } else if (v.vt == (VT_BYREF | VT_I1)) {
            s = v.pcVal;
        } else {
            return false;
        }
        return true;
    }
    static char* Pass(Storage& s) { return s; }
};

template <>
struct Converter<In<LONGLONG>> {
    using Storage = LONGLONG;
    template <class P>
    static constexpr bool accepts = std::is_same_v<P, LONGLONG>;
    static bool Load(const VARIANT& v, Storage& s) {
        if (v.vt == VT_I8) {
            s = v.llVal;
        } else if (v.vt == VT_I4) {  // widening is lossless
            s = v.lVal;
        } else {
            return false;
        }
        return true;
    }
    static LONGLONG Pass(Storage& s) { return s; }
};

template <class T, VARTYPE Type, T VARIANT::*Member>
struct Scalar {
    using Storage = T;
    template <class P>
    static constexpr bool accepts = std::is_same_v<P, T>;
    static bool Load(const VARIANT& v, Storage& s) {
        if (v.vt != Type) {
            return false;
        }
        s = v.*Member;
        return true;
    }
    static T Pass(Storage& s) { return s; }
};
template <>
struct Converter<In<LONG>> : Scalar<LONG, VT_I4, &VARIANT::lVal> {};
template <>
struct Converter<In<ULONG>> : Scalar<ULONG, VT_UI4, &VARIANT::ulVal> {};

// An out parameter: a by-reference variant of one type.
template <class T, VARTYPE Type, T* VARIANT::*Member>
struct Reference {
    using Storage = T*;
    template <class P>
    static constexpr bool accepts = std::is_same_v<P, T*>;
    static bool Load(const VARIANT& v, Storage& s) {
        if (v.vt != (VT_BYREF | Type)) {
            return false;
        }
        s = v.*Member;
        return true;
    }
    static T* Pass(Storage& s) { return s; }
};
template <>
struct Converter<Out<char*>> : Reference<char, VT_I1, &VARIANT::pcVal> {
    static bool Load(const VARIANT& v, Storage& s) {
        if (v.vt == (VT_BYREF | VT_UI1)) {
            s = reinterpret_cast<char*>(v.pbVal);
            return true;
        }
        return Reference::Load(v, s);
    }
};
template <>
struct Converter<Out<char**>> : Reference<char*, VT_LPSTR, &VARIANT::ppszVal> {};
template <>
struct Converter<Out<LONGLONG*>> : Reference<LONGLONG, VT_I8, &VARIANT::pllVal> {};
template <>
struct Converter<Out<LONG*>> : Reference<LONG, VT_I4, &VARIANT::plVal> {};
template <>
struct Converter<Out<ULONG*>> : Reference<ULONG, VT_UI4, &VARIANT::pulVal> {};

// The return value: the method writes into a local, which becomes Invoke's result.
template <class T, VARTYPE Type, T VARIANT::*Member>
struct Result {
    using Storage = T;
    template <class P>
    static constexpr bool accepts = std::is_same_v<P, T*>;
    static T* Pass(Storage& s) { return &s; }
    static void Store(const Storage& s, VARIANT& result) {
        result.vt = Type;
        result.*Member = s;
    }
};
template <>
struct Converter<RetVal<char*>> : Result<char, VT_I1, &VARIANT::cVal> {};
template <>
struct Converter<RetVal<char**>> : Result<char*, VT_LPSTR, &VARIANT::pszVal> {};
template <>
struct Converter<RetVal<LONGLONG*>> : Result<LONGLONG, VT_I8, &VARIANT::llVal> {};
template <>
struct Converter<RetVal<LONG*>> : Result<LONG, VT_I4, &VARIANT::lVal> {};
template <>
struct Converter<RetVal<ULONG*>> : Result<ULONG, VT_UI4, &VARIANT::ulVal> {};

template <class Kind>
constexpr bool kIsRetVal = false;
template <class T>
constexpr bool kIsRetVal<RetVal<T>> = true;

template <class Member>
struct MemberTraits;
template <class C, class... P>
struct MemberTraits<HRESULT (STDMETHODCALLTYPE C::*)(P...)> {
    using Class = C;
    using Params = std::tuple<P...>;
};

// The Itanium C++ ABI encodes a pointer to a virtual member function as one plus the byte
// offset of its entry in the virtual table.
template <auto Member>
std::size_t SlotOf() {
    struct Representation {
        std::uintptr_t pointer;
        std::ptrdiff_t adjustment;
    };
    static_assert(sizeof(Member) == sizeof(Representation));
    Representation representation;
    const auto member = Member;
    std::memcpy(&representation, &member, sizeof(representation));
    if ((representation.pointer & 1) == 0) {
        return static_cast<std::size_t>(-1);  // not virtual
    }
    return (representation.pointer - 1) / sizeof(void*);
}

template <auto Member, class... Kinds>
struct Thunk {
    using Traits = MemberTraits<decltype(Member)>;
    using Params = typename Traits::Params;
    static_assert(std::tuple_size_v<Params> == sizeof...(Kinds),
                  "one kind for every parameter of the method");
    static constexpr std::size_t kRetVals = (std::size_t{kIsRetVal<Kinds>} + ... + 0);
    static_assert(kRetVals <= 1, "at most one return value");
    static constexpr UINT kArguments = static_cast<UINT>(sizeof...(Kinds) - kRetVals);

    template <std::size_t... I>
    static constexpr bool Accepted(std::index_sequence<I...>) {
        return (Converter<Kinds>::template accepts<std::tuple_element_t<I, Params>> && ... && true);
    }
    static_assert(Accepted(std::index_sequence_for<Kinds...>{}),
                  "a declared kind does not match the method's parameter type");

    // The position of each parameter among the arguments, in declaration order.
    static constexpr auto kPositions = [] {
        std::array<UINT, sizeof...(Kinds) + 1> positions{};
        const bool retval[] = {kIsRetVal<Kinds>..., false};
        UINT next = 0;
        for (std::size_t i = 0; i < sizeof...(Kinds); ++i) {
            positions[i] = retval[i] ? UINT(-1) : next++;
        }
        return positions;
    }();

    template <std::size_t... I>
    static HRESULT Call(void* object, const DISPPARAMS& params, VARIANT* result, UINT* argError,
                        HRESULT& methodResult, std::index_sequence<I...>) {
        std::tuple<typename Converter<Kinds>::Storage...> storage{};
        bool loaded = true;
        auto load = [&]<std::size_t K>(std::integral_constant<std::size_t, K>) {
            using Kind = std::tuple_element_t<K, std::tuple<Kinds...>>;
            if constexpr (!kIsRetVal<Kind>) {
                if (!loaded) {
                    return;
                }
                // The last argument comes first.
                const UINT index = params.cArgs - 1 - kPositions[K];
                if (!Converter<Kind>::Load(Deref(params.rgvarg[index]), std::get<K>(storage))) {
                    loaded = false;
                    if (argError != nullptr) {
                        *argError = index;
                    }
                }
            }
        };
        (load(std::integral_constant<std::size_t, I>{}), ...);
        (void)load;  // a method without parameters
        if (!loaded) {
            return DISP_E_TYPEMISMATCH;
        }
        auto* target = static_cast<typename Traits::Class*>(object);
        methodResult = (target->*Member)(Converter<Kinds>::Pass(std::get<I>(storage))...);
        if (SUCCEEDED(methodResult) && result != nullptr) {
            auto store = [&]<std::size_t K>(std::integral_constant<std::size_t, K>) {
                using Kind = std::tuple_element_t<K, std::tuple<Kinds...>>;
                if constexpr (kIsRetVal<Kind>) {
                    Converter<Kind>::Store(std::get<K>(storage), *result);
                }
            };
            (store(std::integral_constant<std::size_t, I>{}), ...);
            (void)store;
        }
        return S_OK;
    }

    static HRESULT Invoke(void* object, const DISPPARAMS& params, VARIANT* result, UINT* argError,
                          HRESULT& methodResult) {
        return Call(object, params, result, argError, methodResult,
                    std::index_sequence_for<Kinds...>{});
    }
};

}  // namespace detail

template <auto Member, class... Kinds>
constexpr MethodInfo Method(const char* name, DISPID dispid, unsigned slot) {
    using Thunk = detail::Thunk<Member, Kinds...>;
    return {name, dispid, slot, Thunk::kArguments, &Thunk::Invoke, &detail::SlotOf<Member>};
}

// Specialised by each interface's owner (see above).
template <class Interface>
struct TypeInfo;

// True when every method's declared slot is its slot in the C++ virtual table.
inline bool SlotsAgree(std::span<const MethodInfo> methods) {
    for (const MethodInfo& method : methods) {
        if (method.actualSlot() != method.slot) {
            return false;
        }
    }
    return true;
}

namespace detail {

inline bool SameName(const OLECHAR* wide, const char* name) {
    auto fold = [](unsigned c) { return c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c; };
    for (; *wide != 0 && *name != 0; ++wide, ++name) {
        if (fold(*wide) != fold(static_cast<unsigned char>(*name))) {
            return false;
        }
    }
    return *wide == 0 && *name == 0;
}

}  // namespace detail

// The IDispatch calls over a method table, for any object of the described interface. Names
// are the methods' own (without regard to case); parameters have none.
inline HRESULT DispatchGetIDsOfNames(std::span<const MethodInfo> methods, REFIID riid,
                                     LPOLESTR* rgszNames, UINT cNames, DISPID* rgDispId) {
    if (!IsEqualGUID(riid, IID_NULL)) {
        return DISP_E_UNKNOWNINTERFACE;
    }
    if (rgszNames == nullptr || rgDispId == nullptr || cNames == 0) {
        return E_INVALIDARG;
    }
    HRESULT hr = S_OK;
    for (UINT i = 0; i < cNames; ++i) {
        rgDispId[i] = DISPID_UNKNOWN;
    }
    if (rgszNames[0] != nullptr) {
        for (const MethodInfo& method : methods) {
            if (detail::SameName(rgszNames[0], method.name)) {
                rgDispId[0] = method.dispid;
            }
        }
    }
    if (rgDispId[0] == DISPID_UNKNOWN || cNames > 1) {
        hr = DISP_E_UNKNOWNNAME;
    }
    return hr;
}

// A method that fails makes Invoke fail with DISP_E_EXCEPTION and its code in the exception
// information, or, when the caller gave none, with the method's own code.
inline HRESULT DispatchInvoke(std::span<const MethodInfo> methods, void* object,
                              DISPID dispIdMember, REFIID riid, WORD wFlags,
                              DISPPARAMS* pDispParams, VARIANT* pVarResult, EXCEPINFO* pExcepInfo,
                              UINT* puArgErr) {
    if (!IsEqualGUID(riid, IID_NULL)) {
        return DISP_E_UNKNOWNINTERFACE;
    }
    const MethodInfo* found = nullptr;
    for (const MethodInfo& method : methods) {
        if (method.dispid == dispIdMember) {
            found = &method;
        }
    }
    if (found == nullptr || (wFlags & DISPATCH_METHOD) == 0) {
        return DISP_E_MEMBERNOTFOUND;
    }
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    const DISPPARAMS& params = pDispParams != nullptr ? *pDispParams : none;
    if (params.cNamedArgs != 0) {
        return DISP_E_NONAMEDARGS;
    }
    if (params.cArgs != found->argumentCount) {
        return DISP_E_BADPARAMCOUNT;
    }
    if (params.cArgs != 0 && params.rgvarg == nullptr) {
        return E_INVALIDARG;
    }
    if (pVarResult != nullptr) {
        pVarResult->vt = VT_EMPTY;
    }
    HRESULT methodResult = S_OK;
    if (const HRESULT hr = found->invoke(object, params, pVarResult, puArgErr, methodResult);
        FAILED(hr)) {
        return hr;
    }
    if (FAILED(methodResult) && pExcepInfo != nullptr) {
        *pExcepInfo = {};
        pExcepInfo->scode = methodResult;
        return DISP_E_EXCEPTION;
    }
    return methodResult;
}

template <class Interface>
class DispatchImpl : public Interface {
public:
    STDMETHODIMP GetTypeInfoCount(UINT* pctinfo) override {
        if (pctinfo == nullptr) {
            return E_POINTER;
        }
        *pctinfo = 0;
        return S_OK;
    }
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo** ppTInfo) override {
        if (ppTInfo != nullptr) {
            *ppTInfo = nullptr;
        }
        return E_NOTIMPL;
    }
    STDMETHODIMP GetIDsOfNames(REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID,
                               DISPID* rgDispId) override {
        return DispatchGetIDsOfNames(TypeInfo<Interface>::methods, riid, rgszNames, cNames,
                                     rgDispId);
    }
    STDMETHODIMP Invoke(DISPID dispIdMember, REFIID riid, LCID, WORD wFlags,
                        DISPPARAMS* pDispParams, VARIANT* pVarResult, EXCEPINFO* pExcepInfo,
                        UINT* puArgErr) override {
        return DispatchInvoke(TypeInfo<Interface>::methods, static_cast<Interface*>(this),
                              dispIdMember, riid, wFlags, pDispParams, pVarResult, pExcepInfo,
                              puArgErr);
    }
};

}  // namespace hl::com
