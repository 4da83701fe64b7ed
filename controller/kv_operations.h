// The seven operations of the controller object, over its instance state. The component wraps
// them in its dual interface; they are written here without it so that they can be used and
// tested on their own.
#pragma once

#include <windows.h>

#include "controller/controller_state.h"

class KvOperations {
public:
    HRESULT CreateCryptedDisk(char driveLetter, LONGLONG fileSize, const char* fileName,
                              const char* cryptoKey, const char* userKey);
    HRESULT OpenCryptedDisk(char driveLetter, const char* fileName, const char* userKey);
    HRESULT UmountDisk(char driveLetter, char safe);
    HRESULT ChangePassword(char driveLetter, const char* fileName, const char* oldUserKey,
                           const char* newUserKey);
    // `fileName` receives the NT name of the mounted file (a buffer of 260 bytes).
    HRESULT GetMountedVolumeInfo(char driveLetter, char* fileName, LONGLONG* volumeSize);
    HRESULT GetUsedDrive(char* driveLetter);
    HRESULT UnmountPossible(char driveLetter);

    const ControllerState& state() const { return state_; }

private:
    // Mounts the container of OpenFileRecord on the letter and sends a key request with
    // `record`, which is wiped afterwards: S_OK, S_FALSE when the driver refused the key, or the
    // failed mounting step's code.
    HRESULT MountWithKey(char driveLetter, DWORD code, void* record, DWORD recordSize);

    ControllerState state_;
};
