// The type information of the three dual interfaces: each method's name, DISPID, vtable slot
// and parameter kinds, from which IDispatch::Invoke is driven. Checked at compile time against
// the declarations of harborlock_interfaces.h.
#pragma once

#include "com/dispatch.h"
#include "common/interfaces/harborlock_interfaces.h"

template <>
struct hl::com::TypeInfo<IKvObject> {
    static constexpr const IID& iid = IID_IKvObject;
    static constexpr MethodInfo methods[] = {
        Method<&IKvObject::CreateCryptedDisk, In<char>, In<LONGLONG>, In<char*>, In<char*>,
               In<char*>>("CreateCryptedDisk", 1, 7),
        Method<&IKvObject::OpenCryptedDisk, In<char>, In<char*>, In<char*>>("OpenCryptedDisk", 2,
                                                                            8),
        Method<&IKvObject::UmountDisk, In<char>, In<char>>("UmountDisk", 3, 9),
        Method<&IKvObject::ChangePassword, In<char>, In<char*>, In<char*>, In<char*>>(
            "ChangePassword", 4, 10),
        Method<&IKvObject::GetMountedVolumeInfo, In<char>, Out<char*>, Out<LONGLONG*>>(
            "GetMountedVolumeInfo", 5, 11),
        Method<&IKvObject::GetUsedDrive, RetVal<char*>>("GetUsedDrive", 6, 12),
        Method<&IKvObject::UnmountPossible, In<char>>("UnmountPossible", 7, 13),
    };
};

template <>
struct hl::com::TypeInfo<IScripterObject> {
    static constexpr const IID& iid = IID_IScripterObject;
    static constexpr MethodInfo methods[] = {
        Method<&IScripterObject::RunScript, In<char*>, In<LONG>, In<ULONG>>("RunScript", 1, 7),
        Method<&IScripterObject::GetLogFilename, Out<char**>>("GetLogFilename", 2, 8),
        Method<&IScripterObject::GetScannedDirsSize, Out<LONGLONG*>>("GetScannedDirsSize", 3, 9),
        Method<&IScripterObject::ResetLog>("ResetLog", 4, 10),
    };
};

template <>
struct hl::com::TypeInfo<IKvShlExt> {
    static constexpr const IID& iid = IID_IKvShlExt;
    static constexpr MethodInfo methods[] = {
        Method<&IKvShlExt::OnMount>("OnMount", 1, 7),
        Method<&IKvShlExt::OnUnmount>("OnUnmount", 2, 8),
        Method<&IKvShlExt::AddSwapdir, In<char*>>("AddSwapdir", 3, 9),
        Method<&IKvShlExt::RemoveSwapdir, In<char*>>("RemoveSwapdir", 4, 10),
        Method<&IKvShlExt::EnableSwapdir, In<char*>>("EnableSwapdir", 5, 11),
        Method<&IKvShlExt::DisableSwapdir, In<char*>>("DisableSwapdir", 6, 12),
    };
};
