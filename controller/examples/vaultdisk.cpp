// vaultdisk: a small example client of the controller's mounting steps, until the tray program
// exists. Passwords are read from the first line of standard input, never from the command line.
//
//   vaultdisk create X: FILE BYTES     a new container, mounted on X: (unformatted)
//   vaultdisk open X: FILE             an existing container; a lower-case letter mounts read-only
//   vaultdisk close X: [/force]        the safe unmount, or the critical one
//   vaultdisk write PATH TEXT          TEXT into the file PATH (any Windows path)
//   vaultdisk type PATH                the file's content to standard output
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>

#include "controller/controller_state.h"

namespace {

int Usage() {
    std::fputs(
        "usage: vaultdisk create X: FILE BYTES | open X: FILE | close X: [/force] | write PATH "
        "TEXT | type PATH\n",
        stderr);
    return 2;
}

// The message numbers the product's programs show for the controller's codes.
int Report(const char* what, HRESULT code) {
    std::fprintf(stderr, "vaultdisk: %s failed (0x%08lX)\n", what,
                 static_cast<unsigned long>(code));
    return 1;
}

bool ReadPassword(UCHAR (&key)[VD_USER_KEY_SIZE]) {
    char line[128] = {};
    if (std::fgets(line, sizeof(line), stdin) == nullptr) {
        return false;
    }
    line[std::strcspn(line, "\r\n")] = 0;
    std::memset(key, 0, sizeof(key));
    std::memcpy(key, line, std::min<size_t>(std::strlen(line), sizeof(key)));
    volatile char* wipe = line;
    for (size_t i = 0; i < sizeof(line); ++i) {
        wipe[i] = 0;
    }
    return true;
}

bool SendKey(HANDLE volume, DWORD code, void* record, DWORD length) {
    DWORD returned = 0;
    return DeviceIoControl(volume, code, record, length, NULL, 0, &returned, NULL) != FALSE;
}

int Create(char letter, const char* file, LONGLONG bytes) {
    ControllerState state;
    if (!ReadPassword(state.SetKeyRecord.UserKey)) {
        return Usage();
    }
    std::random_device random;
    for (UCHAR& b : state.SetKeyRecord.KeyMaterial) {
        b = static_cast<UCHAR>(random());
    }
    state.ReadOnlyMount = false;
    SetContainerFile(state, file, bytes);
    HANDLE volume = MountContainer(state, letter);
    if (volume == INVALID_HANDLE_VALUE) {
        return Report("mounting", state.LastError);
    }
    const bool keyed =
        SendKey(volume, IOCTL_VD_SET_KEY, &state.SetKeyRecord, sizeof(state.SetKeyRecord));
    CloseHandle(volume);
    std::memset(&state.SetKeyRecord, 0, sizeof(state.SetKeyRecord));
    if (!keyed) {
        CriticalUnmount(state, letter);
        return Report("creating the key", state.LastError);
    }
    std::printf("%s: created and mounted on %c:\n", file, letter);
    return 0;
}

int Open(char letter, const char* file) {
    ControllerState state;
    if (!ReadPassword(state.OpenKeyRecord.UserKey)) {
        return Usage();
    }
    state.ReadOnlyMount = letter >= 'a' && letter <= 'z';
    SetContainerFile(state, file, 0);
    HANDLE volume = MountContainer(state, letter);
    if (volume == INVALID_HANDLE_VALUE) {
        return Report("mounting", state.LastError);
    }
    const bool keyed =
        SendKey(volume, IOCTL_VD_OPEN_KEY, &state.OpenKeyRecord, sizeof(state.OpenKeyRecord));
    CloseHandle(volume);
    std::memset(&state.OpenKeyRecord, 0, sizeof(state.OpenKeyRecord));
    if (!keyed) {
        CriticalUnmount(state, letter);
        return Report("opening (wrong password?)", KV_E_WRONG_PASSWORD);
    }
    std::printf("%s: mounted on %c:%s\n", file, letter, state.ReadOnlyMount ? " read-only" : "");
    return 0;
}

int Close(char letter, bool force) {
    ControllerState state;
    const BOOL done = force ? CriticalUnmount(state, letter) : SafeUnmount(state, letter);
    if (!done) {
        return Report("unmounting", state.LastError);
    }
    std::printf("%c: unmounted\n", letter);
    return 0;
}

int Write(const char* path, const char* text) {
    HANDLE file =
        CreateFileA(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) {
        return Report(path, HRESULT_FROM_WIN32(GetLastError()));
    }
    DWORD written = 0;
    const BOOL ok = WriteFile(file, text, static_cast<DWORD>(std::strlen(text)), &written, NULL);
    CloseHandle(file);
    return ok ? 0 : Report(path, HRESULT_FROM_WIN32(GetLastError()));
}

int Type(const char* path) {
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    if (file == INVALID_HANDLE_VALUE) {
        return Report(path, HRESULT_FROM_WIN32(GetLastError()));
    }
    char buffer[4096];
    DWORD read = 0;
    while (ReadFile(file, buffer, sizeof(buffer), &read, NULL) && read > 0) {
        std::fwrite(buffer, 1, read, stdout);
    }
    CloseHandle(file);
    std::printf("\n");
    return 0;
}

bool IsDrive(const char* text) {
    return text[0] != 0 && text[1] == ':' && text[2] == 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        return Usage();
    }
    const std::string command = argv[1];
    if (command == "create" && argc == 5 && IsDrive(argv[2])) {
        return Create(argv[2][0], argv[3], std::strtoll(argv[4], nullptr, 10));
    }
    if (command == "open" && argc == 4 && IsDrive(argv[2])) {
        return Open(argv[2][0], argv[3]);
    }
    if (command == "close" && (argc == 3 || argc == 4) && IsDrive(argv[2])) {
        return Close(argv[2][0], argc == 4 && std::strcmp(argv[3], "/force") == 0);
    }
    if (command == "write" && argc == 4) {
        return Write(argv[2], argv[3]);
    }
    if (command == "type" && argc == 3) {
        return Type(argv[2]);
    }
    return Usage();
}
