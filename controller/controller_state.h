// What one controller object holds between its calls, and the mounting steps its methods are
// built from. The steps keep no handle: the system's drive-letter definitions are the only
// record of what is mounted.
#pragma once

#include <windows.h>
#include <winioctl.h>

#include "Driver/lockvol/lockvol_ioctl.h"
#include "controller/kv_result_codes.h"

struct ControllerState {
    HRESULT LastError = S_OK;
    VD_OPEN_FILE_INFORMATION OpenFileRecord = {};
    VD_SET_KEY_REQUEST SetKeyRecord = {};
    VD_OPEN_KEY_REQUEST OpenKeyRecord = {};
    VD_CHANGE_KEY_REQUEST ChangeKeyRecord = {};
    bool ReadOnlyMount = false;
    char UsedDriveLetter = 0;
};

// Fills OpenFileRecord with the NT form of `fileName` and `fileSize`; leaves it empty when the
// name is missing or too long.
void SetContainerFile(ControllerState& state, const char* fileName, LONGLONG fileSize);

// The volume on `letter` ("\\.\X:"), or INVALID_HANDLE_VALUE.
HANDLE OpenVolume(char letter);

// Copies the name of the first disk device no letter is bound to into `deviceName` (at least
// 64 bytes) and returns TRUE; FALSE when all four are bound. Sets UsedDriveLetter.
BOOL ScanDevices(ControllerState& state, char* deviceName);

// Binds `letter` to a free disk device and sends open-file; the open volume, or
// INVALID_HANDLE_VALUE with LastError set.
HANDLE MountContainer(ControllerState& state, char letter);

// Take a disk down: the safe way gives up while files are open on it, the critical way does not.
BOOL SafeUnmount(ControllerState& state, char letter);
BOOL CriticalUnmount(ControllerState& state, char letter);
