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
#include <set>
#include <string>

#include "booted_system.h"
#include "controller/controller_state.h"
#include "controller/kv_operations.h"
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

// What host programs find under the letter's dosdevices link, read without any Windows call: the
// names at its top, or nothing when the link leads nowhere.
std::set<std::string> HostListing(char letter) {
    std::set<std::string> names;
    std::error_code error;
    const auto link = BootedSystem::Root() / "dosdevices" / (std::string(1, letter) + ":");
    for (const auto& entry : std::filesystem::directory_iterator(link, error)) {
        names.insert(entry.path().filename().string());
    }
    return names;
}

std::string HostText(char letter, const char* name) {
    std::ifstream in(BootedSystem::Root() / "dosdevices" / (std::string(1, letter) + ":") / name);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// A disk is there for the host when the controller returns, as Windows mounts an arriving volume;
// a new disk has no file system to mount until it is formatted.
TEST(Volumes, AnOpenedDiskIsVisibleToTheHostAtOnce) {
    BootedSystem system;
    const std::string mountPoint = (BootedSystem::Root() / "mnt" / "x").string();
    KvOperations kv;
    ASSERT_EQ(kv.CreateCryptedDisk('X', kDiskBytes, "C:\\seen.vd", "material", "pass"), S_OK);
    EXPECT_FALSE(HostMounted(mountPoint)) << "a new disk stays raw";
    EXPECT_TRUE(HostListing('x').empty());
    ASSERT_EQ(Format("X:", "Y\n"), 0);
    EXPECT_TRUE(HostMounted(mountPoint));
    ASSERT_TRUE(WriteText("X:\\seen.txt", "seen by the host"));
    ASSERT_EQ(kv.UmountDisk('X', 1), S_OK);
    EXPECT_TRUE(HostListing('x').empty());

    ASSERT_EQ(kv.OpenCryptedDisk('X', "C:\\seen.vd", "pass"), S_OK);
    EXPECT_TRUE(HostMounted(mountPoint));
    EXPECT_EQ(HostListing('x').count("seen.txt"), 1u);
    EXPECT_EQ(HostText('x', "seen.txt"), "seen by the host");
    ASSERT_EQ(kv.UmountDisk('X', 1), S_OK);

    // A wrong password mounts nothing; the mounting steps with a read-only open mount read-only.
    EXPECT_EQ(kv.OpenCryptedDisk('X', "C:\\seen.vd", "wrong"), KV_E_WRONG_PASSWORD);
    EXPECT_FALSE(HostMounted(mountPoint));
    ControllerState state;
    ASSERT_TRUE(system_test::MountDisk(state, 'y', "C:\\seen.vd", 0, "pass", true));
    EXPECT_EQ(HostText('y', "seen.txt"), "seen by the host");
    EXPECT_FALSE(std::ofstream(BootedSystem::Root() / "dosdevices" / "y:" / "new.txt").is_open());
    EXPECT_TRUE(SafeUnmount(state, 'y')) << std::hex << state.LastError;
    EXPECT_TRUE(HostListing('y').empty());
}

}  // namespace
