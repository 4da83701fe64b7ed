// The texts of the controller's result codes, by message number: the one source of the string
// tables that the controller's clients carry.
#pragma once

#include <windows.h>

struct KvMessage {
    UINT number;
    const char* text;
};

inline constexpr KvMessage kKvMessages[] = {
    {160, "The VaultDisk is already mounted\r\nor selected driveletter already in use."},
    {161, "The VaultDisk is already unmounted."},
    {162, "The VaultDisk is not mounted."},
    {163, "All devices are used."},
    {164, "DefineDosDevice() function failed."},
    {165, "Could not access the volume.\r\n\r\nMaybe, you've ran Setup and not rebooted yet."},
    {166, "Could not close the volume."},
    {167, "Could not mount the volume. Maybe, this file is locked or does not exist."},
    {168, "Could not UNmount the volume."},
    {169, "Could not lock volume for closing."},
    {170, "Could not Unlock the Volume for Closing."},
    {171, "Incorrect password."},
    {172, "Changing password failed. Maybe you entered wrong password."},
    {173, "Querying volume information failed."},
};

// The message number of a controller code, or 0 when it is none of them (0x83FF000B is unused).
inline UINT KvMessageNumber(HRESULT result) {
    const ULONG code = static_cast<ULONG>(result);
    if (code >= 0x83FF0000 && code <= 0x83FF000A) {
        return 160 + (code - 0x83FF0000);
    }
    if (code >= 0x83FF000C && code <= 0x83FF000E) {
        return 171 + (code - 0x83FF000C);
    }
    return 0;
}

// The text of a message, or "" when there is none of that number.
inline const char* KvMessageText(UINT number) {
    for (const KvMessage& message : kKvMessages) {
        if (message.number == number) {
            return message.text;
        }
    }
    return "";
}
