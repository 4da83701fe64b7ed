// The three component interfaces of Harborlock and their identifiers: the disk controller
// (IKvObject), the script engine (IScripterObject) and the mount hook object (IKvShlExt). This is
// the single definition that components and their clients share. Each is a dual interface: the
// methods follow IUnknown's three and IDispatch's four, so the first own method is slot 7, and
// its DISPIDs count from 1 in slot order.
#pragma once

#include <oaidl.h>
#include <objbase.h>
#include <windows.h>

// {33F4D31F-85B2-484E-A884-4C057C74A9E1}
DEFINE_GUID(CLSID_KvObject, 0x33F4D31F, 0x85B2, 0x484E, 0xA8, 0x84, 0x4C, 0x05, 0x7C, 0x74, 0xA9,
            0xE1);
// {08BE68B9-6828-46F7-B155-53EF6433D178}
DEFINE_GUID(IID_IKvObject, 0x08BE68B9, 0x6828, 0x46F7, 0xB1, 0x55, 0x53, 0xEF, 0x64, 0x33, 0xD1,
            0x78);
// {C37709CB-36A0-4B7A-9D7B-EF87B66C2702}, version 1.0
DEFINE_GUID(LIBID_KvControllerLib, 0xC37709CB, 0x36A0, 0x4B7A, 0x9D, 0x7B, 0xEF, 0x87, 0xB6, 0x6C,
            0x27, 0x02);

// {6BB31C9D-634F-4A99-9794-19D7CEC1BCE3}
DEFINE_GUID(CLSID_ScripterObject, 0x6BB31C9D, 0x634F, 0x4A99, 0x97, 0x94, 0x19, 0xD7, 0xCE, 0xC1,
            0xBC, 0xE3);
// {17DDE840-4240-464A-B068-5B7EFAF49B17}
DEFINE_GUID(IID_IScripterObject, 0x17DDE840, 0x4240, 0x464A, 0xB0, 0x68, 0x5B, 0x7E, 0xFA, 0xF4,
            0x9B, 0x17);
// {728A5870-68E8-4B6B-813A-C514970AB919}, version 1.0
DEFINE_GUID(LIBID_ScripterLib, 0x728A5870, 0x68E8, 0x4B6B, 0x81, 0x3A, 0xC5, 0x14, 0x97, 0x0A, 0xB9,
            0x19);

// {B38D7B36-9344-4424-9EE1-1399E951FB1F}
DEFINE_GUID(CLSID_KvShlExt, 0xB38D7B36, 0x9344, 0x4424, 0x9E, 0xE1, 0x13, 0x99, 0xE9, 0x51, 0xFB,
            0x1F);
// {224EFCA5-FE59-4975-8B1D-6D2EC3AAF285}
DEFINE_GUID(IID_IKvShlExt, 0x224EFCA5, 0xFE59, 0x4975, 0x8B, 0x1D, 0x6D, 0x2E, 0xC3, 0xAA, 0xF2,
            0x85);
// {239A8720-D7F6-4C5D-BB17-26D6DE233C07}, version 1.0
DEFINE_GUID(LIBID_KvEXTLib, 0x239A8720, 0xD7F6, 0x4C5D, 0xBB, 0x17, 0x26, 0xD6, 0xDE, 0x23, 0x3C,
            0x07);

// The disk controller ("IKvObject Interface"); results and codes: controller/kv_result_codes.h.
interface IKvObject : public IDispatch {
    STDMETHOD(CreateCryptedDisk)
    (char drive_letter, LONGLONG filesize, char* filename, char* cryptokey,
     char* userkey) PURE;                                                               // DISPID 1
    STDMETHOD(OpenCryptedDisk)(char drive_letter, char* filename, char* userkey) PURE;  // DISPID 2
    STDMETHOD(UmountDisk)(char drive_letter, char safe) PURE;                           // DISPID 3
    STDMETHOD(ChangePassword)
    (char drive_letter, char* filename, char* olduserkey,
     char* newuserkey) PURE;  // DISPID 4
    STDMETHOD(GetMountedVolumeInfo)
    (char cDriveLetter, char* filename, LONGLONG* lVolumeSize) PURE;  // 5
    STDMETHOD(GetUsedDrive)(char* drive_letter) PURE;                 // DISPID 6, out retval
    STDMETHOD(UnmountPossible)(char drive_letter) PURE;               // DISPID 7
};

// The script engine ("IScripterObject Interface").
interface IScripterObject : public IDispatch {
    STDMETHOD(RunScript)(char* sFullPath, LONG lSafetyParam, ULONG dwState) PURE;  // DISPID 1
    STDMETHOD(GetLogFilename)(char** psFilename) PURE;                             // DISPID 2
    STDMETHOD(GetScannedDirsSize)(LONGLONG* plSize) PURE;                          // DISPID 3
    STDMETHOD(ResetLog)() PURE;                                                    // DISPID 4
};

// The mount hook object ("IKvShlExt Interface").
interface IKvShlExt : public IDispatch {
    STDMETHOD(OnMount)() PURE;                   // DISPID 1
    STDMETHOD(OnUnmount)() PURE;                 // DISPID 2
    STDMETHOD(AddSwapdir)(char* sDir) PURE;      // DISPID 3
    STDMETHOD(RemoveSwapdir)(char* sDir) PURE;   // DISPID 4
    STDMETHOD(EnableSwapdir)(char* sDir) PURE;   // DISPID 5
    STDMETHOD(DisableSwapdir)(char* sDir) PURE;  // DISPID 6
};
