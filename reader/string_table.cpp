#include "reader/string_table.h"

namespace {

struct Message {
    UINT number;
    const char* text;
};

const Message kMessages[] = {
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

}  // namespace

const char* LoadMessage(UINT number) {
    for (const Message& message : kMessages) {
        if (message.number == number) {
            return message.text;
        }
    }
    return "";
}
