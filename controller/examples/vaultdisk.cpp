// vaultdisk: a small example client of the controller component KvObject, until the tray
// program exists. Passwords (4 to 40 characters) are read from the first line of standard input,
// never from the command line.
//
//   vaultdisk create X: FILE BYTES     a new container, mounted on X: (unformatted); when FILE
//                                      exists, a line answering y before the password replaces it
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
#include "common/kv_messages.h"
#include "common/password_rule.h"

namespace {

const size_t kPasswordBytes = kMaxPasswordLength;
const size_t kMaterialBytes = 4500;
const size_t kLineBytes = 1024;

int Usage() {
    std::fputs(
        "usage: vaultdisk create X: FILE BYTES | open X: FILE | close X: [/force] | write PATH "
        "TEXT | type PATH\n",
        stderr);
    return 2;
}

// A controller code is told by the product's own message for it; other codes by number.
int Report(const char* what, HRESULT code) {
    const UINT message = KvMessageNumber(code);
    if (message != 0) {
        std::fprintf(stderr, "vaultdisk: %s failed: %s\n", what, KvMessageText(message));
    } else {
        std::fprintf(stderr, "vaultdisk: %s failed (0x%08X)\n", what,
                     static_cast<unsigned>(static_cast<ULONG>(code)));
    }
    return 1;
}

// The first line of standard input as a password of 4 to 40 characters, zero-terminated. False,
// having said why, when there is none or it breaks the rule.
bool ReadPassword(char (&password)[kPasswordBytes + 1]) {
    char line[kLineBytes] = {};
    if (std::fgets(line, sizeof(line), stdin) == nullptr) {
        std::fputs("vaultdisk: no password on the standard input\n", stderr);
        return false;
    }
    const size_t length = std::strcspn(line, "\r\n");
    const bool whole = line[length] != 0 || std::feof(stdin);
    std::memset(password, 0, sizeof(password));
    if (!whole || !PasswordLengthAllowed(length)) {
        std::fprintf(stderr,
                     "vaultdisk: a password has %zu to %zu characters; this one has %s%zu\n",
                     kMinPasswordLength, kMaxPasswordLength, whole ? "" : "more than ", length);
        SecureZeroMemory(line, sizeof(line));
        return false;
    }
    std::memcpy(password, line, length);
    SecureZeroMemory(line, sizeof(line));
    return true;
}

// Whether the file exists (or is there but cannot be opened).
bool Exists(const char* file) {
    const char* dosPath = std::strncmp(file, "\\??\\", 4) == 0 ? file + 4 : file;
    HANDLE handle = CreateFileA(dosPath, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                                OPEN_EXISTING, 0, NULL);
    if (handle != INVALID_HANDLE_VALUE) {
        CloseHandle(handle);
        return true;
    }
    const DWORD error = GetLastError();
    return error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND;
}

// Asks before a new container replaces an existing file: its contents would be lost for good.
bool MayReplace(const char* file) {
    std::printf(
        "%s already exists; a new VaultDisk replaces it and its contents are lost.\n"
        "Replace it (y/N)? ",
        file);
    std::fflush(stdout);
    char answer[16] = {};
    const bool yes = std::fgets(answer, sizeof(answer), stdin) != nullptr &&
                     (answer[0] == 'y' || answer[0] == 'Y');
    std::printf("%s\n", yes ? "" : "\nnot replaced");
    return yes;
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
    if (Exists(file) && !MayReplace(file)) {
        return 1;
    }
    char password[kPasswordBytes + 1];
    if (!ReadPassword(password)) {
        return 1;
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
        return 1;
    }
    const int result = WithController([&](IKvObject* controller) {
        const HRESULT hr = controller->OpenCryptedDisk(letter, file, password);
        if (FAILED(hr)) {
            return Report("opening the VaultDisk", hr);
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
