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
#include <memory>
#include <string>

#include "booted_system.h"
#include "controller/controller_state.h"
#include "disk_steps.h"
#include "win32/system_calls.h"

namespace {

using system_test::BootedSystem;
using system_test::HostMounted;
using system_test::ReadText;
using system_test::WriteText;

bool Mount(ControllerState& state, char letter, const char* file, LONGLONG size,
           const char* password) {
    return system_test::MountDisk(state, letter, file, size, password);
}

int Format(const char* drive, const char* answer) {
    return system_test::FormatDrive(drive[0], answer);
}

constexpr LONGLONG kDiskBytes = 16 << 20;

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
    EXPECT_FALSE(HostMounted((BootedSystem::Root() / "mnt" / "x").string()));
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
    auto holder = std::make_unique<system_test::FileHolder>(host);
    ASSERT_TRUE(holder->Holding());

    EXPECT_FALSE(SafeUnmount(state, 'X'));
    EXPECT_EQ(state.LastError, KV_E_LOCK_FAILED);
    EXPECT_EQ(ReadText("X:\\held.txt"), "held");  // still mounted and usable

    EXPECT_TRUE(CriticalUnmount(state, 'X')) << std::hex << state.LastError;
    char target[256];
    EXPECT_EQ(QueryDosDeviceA("X:", target, sizeof(target)), 0u);
    EXPECT_FALSE(HostMounted((BootedSystem::Root() / "mnt" / "x").string()));
    holder.reset();

    // The device is free again, and the file written before the unmount is there.
    ASSERT_TRUE(Mount(state, 'X', "C:\\busy.vd", 0, "pass"));
    EXPECT_EQ(ReadText("X:\\held.txt"), "held");
    EXPECT_TRUE(SafeUnmount(state, 'X'));
}

}  // namespace
