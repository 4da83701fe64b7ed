#include "controller/kv_operations.h"

#include <string.h>

namespace {

const DWORD kProbeDelayMilliseconds = 500;
const DWORD kProbeTries = 6;
const DWORD kProbeRetryMilliseconds = 250;

// A lower-case letter asks for a read-only mount.
bool IsLowerCase(char c) {
    return c >= 'a' && c <= 'z';
}

bool IsLetter(char c) {
    return (c >= 'A' && c <= 'Z') || IsLowerCase(c);
}

// The bytes of a C string up to its first zero, at most `size`, into a zeroed field.
void CopyKey(UCHAR* field, size_t size, const char* text) {
    memset(field, 0, size);
    const size_t length = strnlen(text, size);
    memcpy(field, text, length);
}

BOOL Control(HANDLE volume, DWORD code, void* input, DWORD inputLength, void* output = NULL,
             DWORD outputLength = 0) {
    DWORD returned = 0;
    return DeviceIoControl(volume, code, input, inputLength, output, outputLength, &returned, NULL);
}

// Tries a volume request up to `tries` times, `pause` milliseconds apart.
BOOL Retry(HANDLE volume, DWORD code, DWORD tries, DWORD pause) {
    for (DWORD attempt = 1; attempt <= tries; ++attempt) {
        if (Control(volume, code, NULL, 0)) {
            return TRUE;
        }
        if (attempt < tries) {
            Sleep(pause);
        }
    }
    return FALSE;
}

}  // namespace

HRESULT KvOperations::MountWithKey(char driveLetter, DWORD code, void* record, DWORD recordSize) {
    HANDLE volume = MountContainer(state_, driveLetter);
    if (volume == INVALID_HANDLE_VALUE) {
        SecureZeroMemory(record, recordSize);
        return state_.LastError;
    }
    const BOOL keyed = Control(volume, code, record, recordSize);
    CloseHandle(volume);
    SecureZeroMemory(record, recordSize);
    return keyed ? S_OK : S_FALSE;
}

HRESULT KvOperations::CreateCryptedDisk(char driveLetter, LONGLONG fileSize, const char* fileName,
                                        const char* cryptoKey, const char* userKey) {
    if (fileName == NULL || cryptoKey == NULL || userKey == NULL) {
        return E_POINTER;
    }
    state_.ReadOnlyMount = IsLowerCase(driveLetter);
    SetContainerFile(state_, fileName, fileSize);
    VD_SET_KEY_REQUEST& record = state_.SetKeyRecord;
    CopyKey(record.KeyMaterial, sizeof(record.KeyMaterial), cryptoKey);
    CopyKey(record.UserKey, sizeof(record.UserKey), userKey);
    const HRESULT mounted = MountWithKey(driveLetter, IOCTL_VD_SET_KEY, &record, sizeof(record));
    if (mounted != S_FALSE) {
        return mounted;
    }
    // A creation the driver refused is not a success, whatever the unmount after it did.
    return CriticalUnmount(state_, driveLetter) ? KV_E_MOUNT_FAILED : state_.LastError;
}

HRESULT KvOperations::OpenCryptedDisk(char driveLetter, const char* fileName, const char* userKey) {
    if (fileName == NULL || userKey == NULL) {
        return E_POINTER;
    }
    state_.ReadOnlyMount = IsLowerCase(driveLetter);
    SetContainerFile(state_, fileName, 0);
    VD_OPEN_KEY_REQUEST& record = state_.OpenKeyRecord;
    CopyKey(record.UserKey, sizeof(record.UserKey), userKey);
    const HRESULT mounted = MountWithKey(driveLetter, IOCTL_VD_OPEN_KEY, &record, sizeof(record));
    if (mounted != S_FALSE) {
        return mounted;
    }
    CriticalUnmount(state_, driveLetter);
    return KV_E_WRONG_PASSWORD;
}

HRESULT KvOperations::UmountDisk(char driveLetter, char safe) {
    const BOOL done =
        safe != 0 ? SafeUnmount(state_, driveLetter) : CriticalUnmount(state_, driveLetter);
    return done ? S_OK : state_.LastError;
}

HRESULT KvOperations::ChangePassword(char driveLetter, const char* fileName, const char* oldUserKey,
                                     const char* newUserKey) {
    if (fileName == NULL || oldUserKey == NULL || newUserKey == NULL) {
        return E_POINTER;
    }
    SetContainerFile(state_, fileName, 0);
    CopyKey(state_.ChangeKeyRecord.OldUserKey, sizeof(state_.ChangeKeyRecord.OldUserKey),
            oldUserKey);
    CopyKey(state_.ChangeKeyRecord.NewUserKey, sizeof(state_.ChangeKeyRecord.NewUserKey),
            newUserKey);
    bool mountedHere = false;
    HANDLE volume = OpenVolume(driveLetter);
    if (volume == INVALID_HANDLE_VALUE) {
        volume = MountContainer(state_, driveLetter);
        if (volume == INVALID_HANDLE_VALUE) {
            SecureZeroMemory(&state_.ChangeKeyRecord, sizeof(state_.ChangeKeyRecord));
            return state_.LastError;
        }
        mountedHere = true;
    }
    const BOOL changed = Control(volume, IOCTL_VD_CHANGE_KEY, &state_.ChangeKeyRecord,
                                 sizeof(state_.ChangeKeyRecord));
    CloseHandle(volume);
    SecureZeroMemory(&state_.ChangeKeyRecord, sizeof(state_.ChangeKeyRecord));
    const bool unmounted =
        !mountedHere || SafeUnmount(state_, driveLetter) || CriticalUnmount(state_, driveLetter);
    if (!unmounted) {
        return state_.LastError;
    }
    return changed ? S_OK : KV_E_CHANGE_PASSWORD_FAILED;
}

HRESULT KvOperations::GetMountedVolumeInfo(char driveLetter, char* fileName, LONGLONG* volumeSize) {
    if (!IsLetter(driveLetter)) {
        return E_INVALIDARG;
    }
    if (fileName == NULL && volumeSize == NULL) {
        return E_POINTER;
    }
    HANDLE volume = OpenVolume(driveLetter);
    if (volume == INVALID_HANDLE_VALUE) {
        return KV_E_NOT_MOUNTED;
    }
    VD_OPEN_FILE_INFORMATION& record = state_.OpenFileRecord;
    if (!Control(volume, IOCTL_VD_QUERY_FILE, NULL, 0, &record, sizeof(record))) {
        CloseHandle(volume);
        return KV_E_QUERY_FAILED;
    }
    if (volumeSize != NULL) {
        *volumeSize = record.FileSize.QuadPart;
    }
    if (fileName != NULL) {
        const USHORT length =
            record.FileNameLength < MAX_PATH ? record.FileNameLength : MAX_PATH - 1;
        memcpy(fileName, record.FileName, length);
        fileName[length] = 0;
    }
    CloseHandle(volume);
    return S_OK;
}

HRESULT KvOperations::GetUsedDrive(char* driveLetter) {
    if (driveLetter == NULL) {
        return E_POINTER;
    }
    char deviceName[64];
    ScanDevices(state_, deviceName);
    *driveLetter = state_.UsedDriveLetter;
    return S_OK;
}

HRESULT KvOperations::UnmountPossible(char driveLetter) {
    if (!IsLetter(driveLetter)) {
        return E_INVALIDARG;
    }
    HANDLE volume = OpenVolume(driveLetter);
    if (volume == INVALID_HANDLE_VALUE) {
        return KV_E_ALREADY_UNMOUNTED;
    }
    Sleep(kProbeDelayMilliseconds);
    if (!Retry(volume, FSCTL_LOCK_VOLUME, kProbeTries, kProbeRetryMilliseconds)) {
        CloseHandle(volume);
        return KV_E_LOCK_FAILED;
    }
    if (!Retry(volume, FSCTL_UNLOCK_VOLUME, kProbeTries, kProbeRetryMilliseconds)) {
        CloseHandle(volume);
        return KV_E_UNLOCK_FAILED;
    }
    CloseHandle(volume);
    return S_OK;
}
