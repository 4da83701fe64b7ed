#include "disk_steps.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>

namespace system_test {

bool MountDisk(ControllerState& state, char letter, const char* file, LONGLONG size,
               const char* password, bool readOnly) {
    memset(&state.SetKeyRecord, 0, sizeof(state.SetKeyRecord));
    memset(&state.OpenKeyRecord, 0, sizeof(state.OpenKeyRecord));
    for (size_t i = 0; i < sizeof(state.SetKeyRecord.KeyMaterial); ++i) {
        state.SetKeyRecord.KeyMaterial[i] =
            static_cast<UCHAR>(i * 31 + static_cast<unsigned char>(letter));
    }
    strncpy(reinterpret_cast<char*>(state.SetKeyRecord.UserKey), password, VD_USER_KEY_SIZE);
    strncpy(reinterpret_cast<char*>(state.OpenKeyRecord.UserKey), password, VD_USER_KEY_SIZE);
    state.ReadOnlyMount = readOnly;
    SetContainerFile(state, file, size);
    HANDLE volume = MountContainer(state, letter);
    if (volume == INVALID_HANDLE_VALUE) {
        return false;
    }
    DWORD returned = 0;
    const BOOL keyed =
        size != 0 ? DeviceIoControl(volume, IOCTL_VD_SET_KEY, &state.SetKeyRecord,
                                    sizeof(state.SetKeyRecord), nullptr, 0, &returned, nullptr)
                  : DeviceIoControl(volume, IOCTL_VD_OPEN_KEY, &state.OpenKeyRecord,
                                    sizeof(state.OpenKeyRecord), nullptr, 0, &returned, nullptr);
    CloseHandle(volume);
    if (!keyed) {
        CriticalUnmount(state, letter);
    }
    return keyed != FALSE;
}

int FormatDrive(char letter, const char* answer) {
    const std::string command =
        std::string(FORMAT_PATH) + " " + letter + ": /FS:NTFS /Q >/dev/null";
    FILE* pipe = ::popen(command.c_str(), "w");
    if (pipe == nullptr) {
        return -1;
    }
    std::fputs(answer, pipe);
    const int status = ::pclose(pipe);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool WriteText(const std::string& path, const std::string& text) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD written = 0;
    const BOOL ok =
        file != INVALID_HANDLE_VALUE &&
        WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    CloseHandle(file);
    return ok && written == text.size();
}

std::string ReadText(const std::string& path) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return "<error " + std::to_string(GetLastError()) + ">";
    }
    char buffer[256] = {};
    DWORD read = 0;
    ReadFile(file, buffer, sizeof(buffer) - 1, &read, nullptr);
    CloseHandle(file);
    return std::string(buffer, read);
}

std::string DosTarget(const char* name) {
    char target[512] = {};
    return QueryDosDeviceA(name, target, sizeof(target)) != 0 ? std::string(target) : std::string();
}

bool HostMounted(const std::string& folder) {
    std::ifstream mounts("/proc/mounts");
    std::string line;
    while (std::getline(mounts, line)) {
        if (line.find(" " + folder + " ") != std::string::npos) {
            return true;
        }
    }
    return false;
}

FileHolder::FileHolder(const std::string& hostPath) {
    int ready[2];
    if (::pipe(ready) != 0) {
        return;
    }
    pid_ = ::fork();
    if (pid_ == 0) {
        std::ifstream held(hostPath);
        (void)!::write(ready[1], held ? "y" : "n", 1);
        ::pause();
        std::_Exit(0);
    }
    char answer = 'n';
    holding_ = pid_ > 0 && ::read(ready[0], &answer, 1) == 1 && answer == 'y';
    ::close(ready[0]);
    ::close(ready[1]);
}

FileHolder::~FileHolder() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
}

}  // namespace system_test
