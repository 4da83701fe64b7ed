// VDReader: mounts a VaultDisk read-only from the console, and takes it down again, through
// one instance of the disk controller.

// This source defines the module's interface identifiers.
#define INITGUID

#include <windows.h>
#include <objbase.h>
#include <stdio.h>

#include "common/interfaces/harborlock_interfaces.h"
#include "reader/reader_commands.h"

int main(int argc, char** argv) {
    CoInitializeEx(NULL, COINIT_APARTMENTTHREADED);
    IKvObject* controller = NULL;
    const HRESULT created = CoCreateInstance(CLSID_KvObject, NULL, CLSCTX_INPROC_SERVER,
                                             IID_IKvObject, reinterpret_cast<void**>(&controller));
    if (FAILED(created) || controller == NULL) {
        printf("Could not launch program - Harborlock is not installed!\n");
    } else {
        RunReader(controller, argc, argv);
        controller->Release();
    }
    CoUninitialize();
    return 0;
}
