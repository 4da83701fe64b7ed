// Volumes on a booted system: NTFS on a new VaultDisk, files through its drive letter, and the
// safe and the critical way of taking it down.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

#include "booted_system.h"
#include "controller/controller_state.h"
#include "win32/system_calls.h"

namespace {

using system_test::BootedSystem;

constexpr LONGLONG kDiskBytes = 16 << 20;

bool Mount(ControllerState& state, char letter, const char* file, LONGLONG size,
           const char* password) {
    memset(&state.SetKeyRecord, 0, sizeof(state.SetKeyRecord));
    memset(&state.OpenKeyRecord, 0, sizeof(state.OpenKeyRecord));
    for (size_t i = 0; i < 4500; ++i) {
        state.SetKeyRecord.KeyMaterial[i] = static_cast<UCHAR>(i * 13 + 1);
    }
    strncpy(reinterpret_cast<char*>(state.SetKeyRecord.UserKey), password, VD_USER_KEY_SIZE);
    strncpy(reinterpret_cast<char*>(state.OpenKeyRecord.UserKey), password, VD_USER_KEY_SIZE);
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
    return keyed != FALSE;
}

// Runs the system's format command on `drive`, answering its question with `answer`.
int Format(const char* drive, const char* answer) {
    const std::string command = std::string(FORMAT_PATH) + " " + drive + " /FS:NTFS /Q >/dev/null";
    FILE* pipe = ::popen(command.c_str(), "w");
    if (pipe == nullptr) {
        return -1;
    }
    std::fputs(answer, pipe);
    const int status = ::pclose(pipe);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool WriteText(const char* path, const std::string& text) {
    HANDLE file =
        CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD written = 0;
    const BOOL ok =
        file != INVALID_HANDLE_VALUE &&
        WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    CloseHandle(file);
    return ok && written == text.size();
}

std::string ReadText(const char* path) {
    HANDLE file =
        CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return "<error " + std::to_string(GetLastError()) + ">";
    }
    char buffer[256] = {};
    DWORD read = 0;
    ReadFile(file, buffer, sizeof(buffer) - 1, &read, nullptr);
    CloseHandle(file);
    return std::string(buffer, read);
}

bool Mounted(const std::string& folder) {
    std::ifstream mounts("/proc/mounts");
    std::string line;
    while (std::getline(mounts, line)) {
        if (line.find(" " + folder + " ") != std::string::npos) {
            return true;
        }
    }
    return false;
}

TEST(Volumes, FormattedDiskKeepsItsFilesThroughUnmountsAndRestarts) {
    BootedSystem system;
    ControllerState state;
    ASSERT_TRUE(Mount(state, 'X', "C:\\files.vd", kDiskBytes, "pass"))
        << std::hex << state.LastError;
    EXPECT_EQ(Format("X:", "N\n"), 5);  // declined: nothing happens
    EXPECT_NE(Format("C:", "Y\n"), 0);
    ASSERT_EQ(Format("X:", "Y\n"), 0);

    ASSERT_TRUE(WriteText("X:\\hello.txt", "hello vault"));
    EXPECT_EQ(ReadText("x:\\HELLO.TXT"), "hello vault");
    ASSERT_TRUE(SafeUnmount(state, 'X')) << std::hex << state.LastError;
    EXPECT_FALSE(Mounted((BootedSystem::Root() / "mnt" / "x").string()));
    EXPECT_EQ(ReadText("X:\\hello.txt").substr(0, 6), "<error");

    ASSERT_TRUE(Mount(state, 'X', "C:\\files.vd", 0, "pass"));
    EXPECT_EQ(ReadText("X:\\hello.txt"), "hello vault");
    ASSERT_TRUE(SafeUnmount(state, 'X'));

    system.Restart();
    ASSERT_TRUE(Mount(state, 'Q', "C:\\files.vd", 0, "pass")) << std::hex << state.LastError;
    EXPECT_EQ(ReadText("Q:\\hello.txt"), "hello vault");
    EXPECT_TRUE(SafeUnmount(state, 'Q'));
}

TEST(Volumes, OpenFilesBlockTheSafeUnmountButNotTheCriticalOne) {
    BootedSystem system;
    ControllerState state;
    ASSERT_TRUE(Mount(state, 'X', "C:\\busy.vd", kDiskBytes, "pass"));
    ASSERT_EQ(Format("X:", "Y\n"), 0);
    ASSERT_TRUE(WriteText("X:\\held.txt", "held"));
    std::string host;
    ASSERT_EQ(hl::win32::HostPathOf("X:\\held.txt", host), static_cast<DWORD>(ERROR_SUCCESS));

    // Another process of the host keeps the file open.
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t holder = ::fork();
    if (holder == 0) {
        std::ifstream held(host);
        (void)!::write(ready[1], "r", 1);
        ::pause();
        std::_Exit(0);
    }
    char byte;
    ASSERT_EQ(::read(ready[0], &byte, 1), 1);

    EXPECT_FALSE(SafeUnmount(state, 'X'));
    EXPECT_EQ(state.LastError, KV_E_LOCK_FAILED);
    EXPECT_EQ(ReadText("X:\\held.txt"), "held");  // still mounted and usable

    EXPECT_TRUE(CriticalUnmount(state, 'X')) << std::hex << state.LastError;
    char target[256];
    EXPECT_EQ(QueryDosDeviceA("X:", target, sizeof(target)), 0u);
    EXPECT_FALSE(Mounted((BootedSystem::Root() / "mnt" / "x").string()));
    ::kill(holder, SIGKILL);
    ::waitpid(holder, nullptr, 0);
    ::close(ready[0]);
    ::close(ready[1]);

    // The device is free again, and the file written before the unmount is there.
    ASSERT_TRUE(Mount(state, 'X', "C:\\busy.vd", 0, "pass"));
    EXPECT_EQ(ReadText("X:\\held.txt"), "held");
    EXPECT_TRUE(SafeUnmount(state, 'X'));
}

}  // namespace
