// The kernel hosted in the test process: the Win32 calls of the process reach it through the
// daemon's own session, without a socket; its volumes stay raw.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <windows.h>
#include <winioctl.h>

#include <filesystem>
#include <random>
#include <string>

#include "daemon/direct_host.h"

namespace {

namespace fs = std::filesystem;
using hl::daemon::DirectKernelHost;

// One root for the program, made on first use: Win32 calls read HARBORLOCK_SYSTEM once.
struct ProgramRoot {
    ProgramRoot() {
        std::random_device random;
        path = fs::temp_directory_path() /
               ("hl-direct-host-" + std::to_string(random()) + std::to_string(random()));
        fs::create_directories(path / "drive_c");
        fs::create_directories(path / "registry");
        ::setenv("HARBORLOCK_SYSTEM", path.c_str(), 1);
    }
    ~ProgramRoot() {
        std::error_code ignored;
        fs::remove_all(path, ignored);
    }
    fs::path path;
};

const fs::path& Root() {
    static const ProgramRoot root;
    return root.path;
}

std::unique_ptr<DirectKernelHost> Boot() {
    std::string error;
    auto host = DirectKernelHost::Boot(Root(), error);
    EXPECT_NE(host, nullptr) << error;
    return host;
}

std::string TargetOf(const char* name) {
    char target[256] = {};
    return QueryDosDeviceA(name, target, sizeof(target)) != 0 ? target : "";
}

TEST(DirectHost, LettersAreTheKernels) {
    auto host = Boot();
    ASSERT_NE(host, nullptr);
    char names[64] = {};
    ASSERT_NE(QueryDosDeviceA(NULL, names, sizeof(names)), 0u);
    EXPECT_STREQ(names, "C:");
    EXPECT_EQ(TargetOf("C:"), "\\Device\\HarddiskVolume1");

    ASSERT_TRUE(DefineDosDeviceA(DDD_RAW_TARGET_PATH, "M:", "\\Device\\Null"));
    EXPECT_EQ(TargetOf("M:"), "\\Device\\Null");
    EXPECT_FALSE(DefineDosDeviceA(DDD_RAW_TARGET_PATH, "C:", "\\Device\\Null"));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    ASSERT_TRUE(DefineDosDeviceA(DDD_REMOVE_DEFINITION, "M:", NULL));
    EXPECT_EQ(TargetOf("M:"), "");
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

// A letter's file system is never mounted here: opening a file on it fails the Windows way.
TEST(DirectHost, VolumesStayRaw) {
    auto host = Boot();
    ASSERT_NE(host, nullptr);
    ASSERT_TRUE(DefineDosDeviceA(DDD_RAW_TARGET_PATH, "M:", "\\Device\\Null"));
    HANDLE file = CreateFileA("M:\\file.txt", GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL);
    EXPECT_EQ(file, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_UNRECOGNIZED_VOLUME);
}

// The host drive C: is the system's folder, and the session's volume rules hold for it.
TEST(DirectHost, SystemDriveIsAlwaysInUse) {
    auto host = Boot();
    ASSERT_NE(host, nullptr);
    HANDLE file = CreateFileA("C:\\note.txt", GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    CloseHandle(file);
    EXPECT_TRUE(fs::exists(Root() / "drive_c" / "note.txt"));

    HANDLE volume = CreateFileA("\\\\.\\C:", GENERIC_READ | GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING, 0, NULL);
    ASSERT_NE(volume, INVALID_HANDLE_VALUE);
    DWORD returned = 0;
    EXPECT_FALSE(DeviceIoControl(volume, FSCTL_LOCK_VOLUME, NULL, 0, NULL, 0, &returned, NULL));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    CloseHandle(volume);
}

// Handles of a host that went are dead, as those of a restarted daemon are; without a host (and
// with no daemon) there is no kernel.
TEST(DirectHost, HandlesEndWithTheHost) {
    auto host = Boot();
    ASSERT_NE(host, nullptr);
    HANDLE volume = CreateFileA("\\\\.\\C:", GENERIC_READ | GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING, 0, NULL);
    ASSERT_NE(volume, INVALID_HANDLE_VALUE);
    host.reset();

    EXPECT_EQ(CreateFileA("\\\\.\\C:", GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);

    host = Boot();
    ASSERT_NE(host, nullptr);
    DWORD returned = 0;
    EXPECT_FALSE(DeviceIoControl(volume, FSCTL_UNLOCK_VOLUME, NULL, 0, NULL, 0, &returned, NULL));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    CloseHandle(volume);
}

TEST(DirectHost, RootWithoutASystemDoesNotBoot) {
    std::string error;
    EXPECT_EQ(DirectKernelHost::Boot(Root() / "nothing", error), nullptr);
    EXPECT_NE(error.find("is not a system root"), std::string::npos) << error;
}

}  // namespace
