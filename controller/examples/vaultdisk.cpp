// vaultdisk: a small example client of the controller component KvObject, until the tray
// program exists. Passwords are read from the first line of standard input, never from the
// command line.
//
//   vaultdisk create X: FILE BYTES     a new container, mounted on X: (unformatted)
//   vaultdisk open X: FILE             an existing container; a lower-case letter mounts read-only
//   vaultdisk close X: [/force]        the safe unmount, or the critical one
//   vaultdisk write PATH TEXT          TEXT into the file PATH (any Windows path)
//   vaultdisk type PATH                the file's content to standard output

// This source defines the module's interface identifiers.
#define INITGUID

#include <windows.h>
#include <objbase.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>

#include "common/interfaces/harborlock_interfaces.h"

namespace {

const size_t kPasswordBytes = 40;
const size_t kMaterialBytes = 4500;

int Usage() {
    std::fputs(
        "usage: vaultdisk create X: FILE BYTES | open X: FILE | close X: [/force] | write PATH "
        "TEXT | type PATH\n",
        stderr);
    return 2;
}

int Report(const char* what, HRESULT code) {
    std::fprintf(stderr, "vaultdisk: %s failed (0x%08lX)\n", what,
                 static_cast<unsigned long>(code));
    return 1;
}

// The first line of standard input, at most 40 bytes, zero-terminated.
bool ReadPassword(char (&password)[kPasswordBytes + 1]) {
    // A buffered stream would keep its own copy of the line after this one is wiped.
    std::setvbuf(stdin, NULL, _IONBF, 0);
    char line[128] = {};
    if (std::fgets(line, sizeof(line), stdin) == nullptr) {
        return false;
    }
    line[std::strcspn(line, "\r\n")] = 0;
    std::memset(password, 0, sizeof(password));
    std::strncpy(password, line, kPasswordBytes);
    SecureZeroMemory(line, sizeof(line));
    return true;
}

// Runs one call on a controller object made for it.
template <typename Call>
int WithController(Call call) {
    if (FAILED(CoInitializeEx(NULL, COINIT_APARTMENTTHREADED))) {
        return Report("starting the component model", E_FAIL);
    }
    IKvObject* controller = NULL;
    const HRESULT created = CoCreateInstance(CLSID_KvObject, NULL, CLSCTX_INPROC_SERVER,
                                             IID_IKvObject, reinterpret_cast<void**>(&controller));
    int result = 0;
    if (FAILED(created)) {
        result = Report("creating the controller (is Harborlock installed?)", created);
    } else {
        result = call(controller);
        controller->Release();
    }
    CoUninitialize();
    return result;
}

int Create(char letter, char* file, LONGLONG bytes) {
    char password[kPasswordBytes + 1];
    if (!ReadPassword(password)) {
        return Usage();
    }
    // Key material is a C string for the controller: random bytes without a zero among them.
    static char material[kMaterialBytes + 1];
    std::random_device random;
    for (size_t i = 0; i < kMaterialBytes; ++i) {
        material[i] = static_cast<char>(1 + random() % 255);
    }
    material[kMaterialBytes] = 0;
    const int result = WithController([&](IKvObject* controller) {
        const HRESULT hr = controller->CreateCryptedDisk(letter, bytes, file, material, password);
        if (FAILED(hr)) {
            return Report("creating the VaultDisk", hr);
        }
        std::printf("%s: created and mounted on %c:\n", file, letter);
        return 0;
    });
    SecureZeroMemory(material, sizeof(material));
    SecureZeroMemory(password, sizeof(password));
    return result;
}

int Open(char letter, char* file) {
    char password[kPasswordBytes + 1];
    if (!ReadPassword(password)) {
        return Usage();
    }
    const int result = WithController([&](IKvObject* controller) {
        const HRESULT hr = controller->OpenCryptedDisk(letter, file, password);
        if (FAILED(hr)) {
            return Report("opening the VaultDisk (wrong password?)", hr);
        }
        std::printf("%s: mounted on %c:%s\n", file, letter,
                    letter >= 'a' && letter <= 'z' ? " read-only" : "");
        return 0;
    });
    SecureZeroMemory(password, sizeof(password));
    return result;
}

int Close(char letter, bool force) {
    return WithController([&](IKvObject* controller) {
        const HRESULT hr = controller->UmountDisk(letter, force ? 0 : 1);
        if (FAILED(hr)) {
            return Report("unmounting", hr);
        }
        std::printf("%c: unmounted\n", letter);
        return 0;
    });
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
