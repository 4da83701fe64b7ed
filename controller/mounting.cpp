#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "controller/controller_state.h"

namespace {

const DWORD kLockTries = 8;
const DWORD kLockRetryMilliseconds = 250;
const DWORD kDeviceListCharacters = 204800;
const DWORD kTargetCharacters = 256;
const unsigned kControllerDevices = 4;

// " :" with the letter in place of the blank.
void DosName(char letter, char (&name)[3]) {
    name[0] = letter;
    name[1] = ':';
    name[2] = 0;
}

BOOL RemoveLetter(char letter) {
    char name[3];
    DosName(letter, name);
    return DefineDosDeviceA(DDD_REMOVE_DEFINITION, name, NULL);
}

BOOL SendControl(HANDLE volume, DWORD code, LPVOID input, DWORD inputLength) {
    DWORD returned = 0;
    return DeviceIoControl(volume, code, input, inputLength, NULL, 0, &returned, NULL);
}

// The device number of a disk-device target, or -1 when the target is not one of ours: the
// driver names its disks with the number in plain decimal digits and nothing after it, so a sign,
// a space, a leading zero or an empty number names some other object.
int DiskDeviceNumber(const char* target) {
    const size_t prefixLength = strlen(VD_DEVICE_NAME_PREFIX);
    if (strncmp(target, VD_DEVICE_NAME_PREFIX, prefixLength) != 0) {
        return -1;
    }
    const char* number = target + prefixLength;
    if (number[0] == 'C' && number[1] == 'd') {
        return -1;
    }
    const size_t digits = strlen(number);
    if (digits == 0 || digits > 9 || (number[0] == '0' && digits > 1) ||
        strspn(number, "0123456789") != digits) {
        return -1;
    }
    return static_cast<int>(strtoul(number, NULL, 10));
}

// Closes the volume handle and removes the letter's definition: the end of every unmount.
BOOL ReleaseLetter(ControllerState& state, HANDLE volume, char letter) {
    CloseHandle(volume);
    if (!RemoveLetter(letter)) {
        state.LastError = KV_E_DEFINE_DOS_DEVICE;
        return FALSE;
    }
    return TRUE;
}

BOOL FailWith(ControllerState& state, HANDLE volume, HRESULT error) {
    CloseHandle(volume);
    state.LastError = error;
    return FALSE;
}

}  // namespace

void SetContainerFile(ControllerState& state, const char* fileName, LONGLONG fileSize) {
    VD_OPEN_FILE_INFORMATION& record = state.OpenFileRecord;
    memset(&record, 0, sizeof(record));
    if (fileName == NULL) {
        return;
    }
    const size_t length = strlen(fileName);
    if (length < 2 || length >= MAX_PATH) {
        return;
    }
    char ntName[MAX_PATH + 8];
    if (fileName[0] == '\\' && fileName[1] == '\\') {
        snprintf(ntName, sizeof(ntName), "\\??\\UNC%s", fileName + 1);
    } else if (fileName[0] == '\\') {
        snprintf(ntName, sizeof(ntName), "%s", fileName);
    } else {
        snprintf(ntName, sizeof(ntName), "\\??\\%s", fileName);
    }
    const size_t ntLength = strlen(ntName);
    if (ntLength > VD_MAX_FILE_NAME_LENGTH) {
        return;
    }
    memcpy(record.FileName, ntName, ntLength + 1);
    record.FileNameLength = static_cast<USHORT>(ntLength);
    record.FileSize.QuadPart = fileSize;
}

HANDLE OpenVolume(char letter) {
    char path[] = "\\\\.\\ :";
    path[4] = letter;
    return CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                       OPEN_EXISTING, FILE_FLAG_NO_BUFFERING, NULL);
}

BOOL ScanDevices(ControllerState& state, char* deviceName) {
    state.UsedDriveLetter = 0;
    char slots[kControllerDevices] = {0, 0, 0, 0};

    std::vector<char> names(kDeviceListCharacters, 0);
    QueryDosDeviceA(NULL, names.data(), kDeviceListCharacters - 1);
    for (const char* name = names.data(); *name != 0; name += strlen(name) + 1) {
        if (name[1] != ':') {
            continue;
        }
        char target[kTargetCharacters] = {0};
        if (QueryDosDeviceA(name, target, kTargetCharacters - 1) == 0) {
            continue;
        }
        const int number = DiskDeviceNumber(target);
        if (number >= 0 && number < static_cast<int>(kControllerDevices)) {
            slots[number] = name[0];
        }
    }
    for (unsigned device = 0; device < kControllerDevices; ++device) {
        if (slots[device] == 0) {
            sprintf(deviceName, VD_DEVICE_NAME_FORMAT, device);
            return TRUE;
        }
        state.UsedDriveLetter = slots[device];
    }
    return FALSE;
}

HANDLE MountContainer(ControllerState& state, char letter) {
    state.LastError = S_OK;
    HANDLE volume = OpenVolume(letter);
    // A volume that refuses this user is still a volume on the letter: another user's disk.
    const bool taken = volume != INVALID_HANDLE_VALUE || GetLastError() == ERROR_ACCESS_DENIED;
    if (volume != INVALID_HANDLE_VALUE) {
        CloseHandle(volume);
    }
    if (taken) {
        state.LastError = KV_E_LETTER_IN_USE;
        return INVALID_HANDLE_VALUE;
    }
    char deviceName[64];
    if (!ScanDevices(state, deviceName)) {
        state.LastError = KV_E_NO_FREE_DEVICE;
        return INVALID_HANDLE_VALUE;
    }
    char dosName[3];
    DosName(letter, dosName);
    if (!DefineDosDeviceA(DDD_RAW_TARGET_PATH, dosName, deviceName)) {
        state.LastError = KV_E_DEFINE_DOS_DEVICE;
        return INVALID_HANDLE_VALUE;
    }
    volume = OpenVolume(letter);
    if (volume == INVALID_HANDLE_VALUE) {
        RemoveLetter(letter);
        state.LastError = KV_E_VOLUME_ACCESS;
        return INVALID_HANDLE_VALUE;
    }
    state.OpenFileRecord.ReadOnly = state.ReadOnlyMount ? 1 : 0;
    if (!SendControl(volume, IOCTL_VD_OPEN_FILE, &state.OpenFileRecord,
                     sizeof(state.OpenFileRecord))) {
        CloseHandle(volume);
        RemoveLetter(letter);
        state.LastError = KV_E_MOUNT_FAILED;
        return INVALID_HANDLE_VALUE;
    }
    return volume;
}

BOOL SafeUnmount(ControllerState& state, char letter) {
    state.LastError = S_OK;
    HANDLE volume = OpenVolume(letter);
    if (volume == INVALID_HANDLE_VALUE) {
        state.LastError = KV_E_ALREADY_UNMOUNTED;
        return FALSE;
    }
    BOOL locked = FALSE;
    for (DWORD attempt = 1; attempt <= kLockTries && !locked; ++attempt) {
        locked = SendControl(volume, FSCTL_LOCK_VOLUME, NULL, 0);
        if (!locked && attempt < kLockTries) {
            Sleep(kLockRetryMilliseconds);
        }
    }
    if (!locked) {
        return FailWith(state, volume, KV_E_LOCK_FAILED);
    }
    // The lock has flushed the file system; the driver's file closes before the dismount.
    if (!SendControl(volume, IOCTL_VD_CLOSE_FILE, NULL, 0)) {
        return FailWith(state, volume, KV_E_CLOSE_FAILED);
    }
    if (!SendControl(volume, FSCTL_DISMOUNT_VOLUME, NULL, 0)) {
        return FailWith(state, volume, KV_E_DISMOUNT_FAILED);
    }
    if (!SendControl(volume, FSCTL_UNLOCK_VOLUME, NULL, 0)) {
        return FailWith(state, volume, KV_E_UNLOCK_FAILED);
    }
    return ReleaseLetter(state, volume, letter);
}

BOOL CriticalUnmount(ControllerState& state, char letter) {
    state.LastError = S_OK;
    HANDLE volume = OpenVolume(letter);
    if (volume == INVALID_HANDLE_VALUE) {
        state.LastError = KV_E_ALREADY_UNMOUNTED;
        return FALSE;
    }
    SendControl(volume, FSCTL_LOCK_VOLUME, NULL, 0);
    SendControl(volume, IOCTL_VD_CLOSE_FILE, NULL, 0);
    SendControl(volume, FSCTL_DISMOUNT_VOLUME, NULL, 0);
    SendControl(volume, FSCTL_UNLOCK_VOLUME, NULL, 0);
    return ReleaseLetter(state, volume, letter);
}
