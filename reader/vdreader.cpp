// VDReader: mounts a VaultDisk read-only from the console, and takes it down again, through
// one instance of the disk controller.

// This source defines the module's interface identifiers.
#define INITGUID

#include <windows.h>
#include <conio.h>
#include <objbase.h>
#include <stdio.h>
#include <string.h>

#include "common/interfaces/harborlock_interfaces.h"
#include "controller/kv_result_codes.h"
#include "reader/string_table.h"

namespace {

const HRESULT kUsage = 87;
const HRESULT kCancelled = 1;
const int kEscape = 27;
const int kEnter = '\r';
const int kBackspace = 8;
const size_t kPathBytes = 264;
const size_t kLineBytes = 1024;

void PrintUsage() {
    printf("VaultDisk reader. Opens a VaultDisk in read-only mode.\n");
    printf("usage:\n");
    printf("\tVDReader.exe /[open|close] <filename> Z:\n");
    printf("where:\n");
    printf("\t<filename> \tis path to VaultDisk file (*.vd);\n");
    printf("\tZ: \t\tis unused drive letter.\n");
    printf("Examples:\n");
    printf("VDReader.exe /open C:\\disk_000.vd M:  - opens the corresponding VaultDisk.\n");
    printf("VDReader.exe /close M:                - closes currently opened VaultDisk.\n");
}

// The message number of a controller code, or 0 when it is none of them.
UINT MessageNumber(HRESULT result) {
    const ULONG code = static_cast<ULONG>(result);
    if (code >= 0x83FF0000 && code <= 0x83FF000A) {
        return 160 + (code - 0x83FF0000);
    }
    if (code >= 0x83FF000C && code <= 0x83FF000E) {
        return 171 + (code - 0x83FF000C);
    }
    return 0;
}

void Report(const char* title, HRESULT result) {
    if (result == kUsage) {
        PrintUsage();
        return;
    }
    const UINT number = MessageNumber(result);
    if (number != 0) {
        printf("\n%s: %s.\n", title, LoadMessage(number));
    }
}

// Thirty seconds before each mount or unmount request on Windows 2000.
void Windows2000Pause() {
    OSVERSIONINFOA version;
    memset(&version, 0, sizeof(version));
    version.dwOSVersionInfoSize = sizeof(version);
    if (!GetVersionExA(&version) || version.dwMajorVersion != 5 || version.dwMinorVersion != 0) {
        return;
    }
    printf("\nwait, please.");
    fflush(stdout);
    for (int i = 0; i < 60; ++i) {
        Sleep(500);
        printf(".");
        fflush(stdout);
    }
    printf("\n");
}

int ReadKey() {
    fflush(stdout);
    return _getch();
}

// The answer to a one-key question, echoed; at the end of input there is no key to show, and
// the answer is no.
int ReadAnswer() {
    const int key = ReadKey();
    if (key < 0) {
        printf("\n");
    } else {
        printf("%c\n", key);
    }
    return key;
}

// Reads a password of `minimum` to `maximum` characters into the 40-byte user key; false when
// the user cancelled.
bool ReadPassword(int minimum, int maximum, char (&userKey)[40]) {
    char line[kLineBytes];
    for (;;) {
        printf("\nenter your secret password (min %d, max %d symbols) -> ", minimum, maximum);
        size_t length = 0;
        for (;;) {
            const int key = ReadKey();
            if (key == kEscape || key < 0) {
                SecureZeroMemory(line, sizeof(line));
                return false;
            }
            if (key == kEnter) {
                break;
            }
            if (key == kBackspace) {
                if (length > 0) {
                    --length;
                }
            } else if (length < kLineBytes - 1) {
                line[length++] = static_cast<char>(key);
            }
            printf("*");
        }
        if (length >= static_cast<size_t>(minimum) && length <= static_cast<size_t>(maximum)) {
            memset(userKey, 0, sizeof(userKey));
            memcpy(userKey, line, length);
            SecureZeroMemory(line, sizeof(line));
            return true;
        }
        printf("incorrect password length, please try again [Y/N] -> ");
        const int answer = ReadAnswer();
        if (answer != 'Y' && answer != 'y') {
            SecureZeroMemory(line, sizeof(line));
            return false;
        }
    }
}

// The NT form of a container name, as the driver takes it.
void NtPath(const char* name, char (&path)[kPathBytes]) {
    if (name[0] == '\\' && name[1] == '\\') {
        snprintf(path, kPathBytes, "\\??\\UNC%s", name + 1);
    } else if (name[0] == '\\') {
        snprintf(path, kPathBytes, "%s", name);
    } else {
        snprintf(path, kPathBytes, "\\??\\%s", name);
    }
    path[kPathBytes - 1] = 0;
}

HRESULT Open(IKvObject* controller, int argc, char** argv) {
    if (argc != 4) {
        return kUsage;
    }
    char path[kPathBytes];
    NtPath(argv[2], path);
    char letter = argv[argc - 1][0];
    if (letter >= 'A' && letter <= 'Z') {
        letter = static_cast<char>(letter - 'A' + 'a');  // always a read-only mount
    }
    printf("\nTrying to open the VaultDisk %s...\n", path);
    char userKey[40];
    if (!ReadPassword(4, 40, userKey)) {
        printf("\nCancelled.\n");
        return kCancelled;
    }
    Windows2000Pause();
    const HRESULT result = controller->OpenCryptedDisk(letter, path, userKey);
    SecureZeroMemory(userKey, sizeof(userKey));
    if (result != S_OK) {
        Report("VaultDisk mounting failed", result);
    }
    return result;
}

HRESULT Close(IKvObject* controller, int argc, char** argv) {
    if (argc != 3) {
        return kUsage;
    }
    const char letter = argv[2][0];
    printf("\nTrying to safely unmount drive %c: ...\n", letter);
    Windows2000Pause();
    HRESULT result = controller->UmountDisk(letter, 1);
    while (FAILED(result)) {
        if (result != KV_E_LOCK_FAILED) {
            return S_OK;  // nothing is reported
        }
        printf("Retry (R) / Abort (A) / Perfom Unsafe Unmount (U) -> ");
        const int key = ReadAnswer();
        if (key == 'R' || key == 'r') {
            printf("\nTrying to safely unmount drive %c: ...\n", letter);
            Windows2000Pause();
            result = controller->UmountDisk(letter, 1);
        } else if (key == 'U' || key == 'u') {
            printf("Unsafe unmounting...\n");
            result = controller->UmountDisk(letter, 0);
            break;
        } else {
            printf("Cancelled.\n");
            return kCancelled;
        }
    }
    if (result != S_OK) {
        Report("VaultDisk unmounting failed", result);
    }
    return result;
}

HRESULT CriticalClose(IKvObject* controller, int argc, char** argv) {
    if (argc != 3) {
        return kUsage;
    }
    const char letter = argv[2][0];
    printf("Unsafe unmounting of drive %c: ...", letter);
    if (letter == 'C' || letter == 'c') {
        printf("Could not unmount disk C:.\n");
        return S_OK;
    }
    Windows2000Pause();
    const HRESULT result = controller->UmountDisk(letter, 0);
    if (result != S_OK) {
        Report("VaultDisk unsafe unmounting failed", result);
    }
    return result;
}

bool HasSwitch(int argc, char** argv, const char* name) {
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], name) == 0) {
            return true;
        }
    }
    return false;
}

void Run(IKvObject* controller, int argc, char** argv) {
    HRESULT result = kUsage;
    if (HasSwitch(argc, argv, "/open")) {
        result = Open(controller, argc, argv);
    } else if (HasSwitch(argc, argv, "/close")) {
        result = Close(controller, argc, argv);
    } else if (HasSwitch(argc, argv, "/crit_close")) {
        result = CriticalClose(controller, argc, argv);
    }
    if (result == kUsage) {
        PrintUsage();
    }
}

}  // namespace

int main(int argc, char** argv) {
    CoInitializeEx(NULL, COINIT_APARTMENTTHREADED);
    IKvObject* controller = NULL;
    const HRESULT created = CoCreateInstance(CLSID_KvObject, NULL, CLSCTX_INPROC_SERVER,
                                             IID_IKvObject, reinterpret_cast<void**>(&controller));
    if (FAILED(created) || controller == NULL) {
        printf("Could not launch program - Harborlock is not installed!\n");
    } else {
        Run(controller, argc, argv);
        controller->Release();
    }
    CoUninitialize();
    return 0;
}
