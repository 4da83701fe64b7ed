// Two ordinary accounts on one system: a disk one of them mounted is that user's alone, through
// its volume, its drive letter, its surface file, its file system and its container.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <windows.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "booted_system.h"
#include "controller/controller_state.h"
#include "disk_steps.h"
#include "win32/system_calls.h"

namespace {

namespace fs = std::filesystem;
using system_test::BootedSystem;
using system_test::DosTarget;
using system_test::ReadText;

constexpr uid_t kOwner = 52001;
constexpr uid_t kIntruder = 52002;
constexpr LONGLONG kDiskBytes = 16 << 20;
constexpr const char* kSecret = "owner's eyes only";

// Runs `steps` in a child process that has become `user` (group the same number, no
// supplementary groups) and hands back the numbers it reported; empty when it could not run.
std::vector<long> RunAs(uid_t user, const std::function<std::vector<long>()>& steps) {
    int channel[2];
    if (::pipe(channel) != 0) {
        return {};
    }
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(channel[0]);
        std::vector<long> results;
        if (::setgroups(0, nullptr) == 0 && ::setgid(user) == 0 && ::setuid(user) == 0) {
            results = steps();
        }
        const auto bytes = static_cast<ssize_t>(results.size() * sizeof(long));
        const bool sent =
            ::write(channel[1], results.data(), results.size() * sizeof(long)) == bytes;
        ::_exit(sent ? 0 : 2);
    }
    ::close(channel[1]);
    std::vector<long> results;
    long value = 0;
    while (::read(channel[0], &value, sizeof(value)) == sizeof(value)) {
        results.push_back(value);
    }
    ::close(channel[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? results : std::vector<long>{};
}

// A folder of drive C: that belongs to `user`, for its containers.
void GiveFolder(const char* name, uid_t user) {
    const fs::path folder = BootedSystem::DriveC() / name;
    fs::create_directories(folder);
    ASSERT_EQ(::chown(folder.c_str(), user, user), 0);
}

HANDLE OpenVolumeFor(char letter, DWORD access) {
    const char path[] = {'\\', '\\', '.', '\\', letter, ':', '\0'};
    return CreateFileA(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                       FILE_FLAG_NO_BUFFERING, nullptr);
}

// The Win32 error of a call that returned `ok`: 0 for success.
long Outcome(BOOL ok) {
    return ok ? 0 : static_cast<long>(GetLastError());
}

long OpenOutcome(char letter, DWORD access) {
    HANDLE volume = OpenVolumeFor(letter, access);
    const long outcome = volume == INVALID_HANDLE_VALUE ? static_cast<long>(GetLastError()) : 0;
    CloseHandle(volume);
    return outcome;
}

long Control(char letter, DWORD code, void* input, DWORD inputLength, void* output,
             DWORD outputLength) {
    // A handle without data access: the one any user can still open on a volume.
    HANDLE volume = OpenVolumeFor(letter, 0);
    if (volume == INVALID_HANDLE_VALUE) {
        return -static_cast<long>(GetLastError());
    }
    DWORD returned = 0;
    const long outcome = Outcome(DeviceIoControl(volume, code, input, inputLength, output,
                                                 outputLength, &returned, nullptr));
    CloseHandle(volume);
    return outcome;
}

long Transfer(char letter, bool write) {
    HANDLE volume = OpenVolumeFor(letter, 0);
    if (volume == INVALID_HANDLE_VALUE) {
        return -static_cast<long>(GetLastError());
    }
    std::vector<char> sector(4096, 0);
    DWORD moved = 0;
    const long outcome = Outcome(write ? WriteFile(volume, sector.data(), 4096, &moved, nullptr)
                                       : ReadFile(volume, sector.data(), 4096, &moved, nullptr));
    CloseHandle(volume);
    return outcome;
}

// errno of opening a host file for reading, 0 when it opened.
long HostOpen(const fs::path& path) {
    const int fd = ::open(path.c_str(), O_RDONLY);
    if (fd < 0) {
        return errno;
    }
    ::close(fd);
    return 0;
}

struct Attack {
    const char* name;
    std::function<long()> run;
    long refusal;  // what it must get
};

TEST(Users, AnotherUsersDiskRefusesEveryAttack) {
    BootedSystem system;
    GiveFolder("owner", kOwner);
    GiveFolder("intruder", kIntruder);
    const fs::path root = BootedSystem::Root();

    // The owner creates, formats and fills a disk, and leaves it mounted.
    const std::vector<long> made = RunAs(kOwner, [] {
        ControllerState state;
        const bool mounted =
            system_test::MountDisk(state, 'X', "C:\\owner\\vault.vd", kDiskBytes, "ownerpw");
        const bool formatted = mounted && system_test::FormatDrive('X') == 0;
        const bool written = formatted && system_test::WriteText("X:\\secret.txt", kSecret);
        const long error = written ? 0 : static_cast<long>(GetLastError());
        return std::vector<long>{mounted, formatted, written, error};
    });
    ASSERT_EQ(made, (std::vector<long>{1, 1, 1, 0}));
    ASSERT_EQ(DosTarget("X:"), "\\Device\\Harddisk\\VaultDisk0");

    // What the host shows of it belongs to the owner, with nothing for others.
    struct stat info {};
    ASSERT_EQ(::stat((root / "drive_c" / "owner" / "vault.vd").c_str(), &info), 0);
    EXPECT_EQ(info.st_uid, kOwner);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    ASSERT_EQ(::stat((root / "dev" / "VaultDisk0").c_str(), &info), 0);
    EXPECT_EQ(info.st_uid, kOwner);
    EXPECT_EQ(info.st_gid, kOwner);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    ASSERT_EQ(::stat((root / "mnt" / "x" / "secret.txt").c_str(), &info), 0);
    EXPECT_EQ(info.st_uid, kOwner);
    EXPECT_EQ(info.st_mode & 077, 0u);
    ASSERT_EQ(::stat((root / "mnt" / "x").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 077, 0u);

    VD_SET_KEY_REQUEST setKey{};
    VD_CHANGE_KEY_REQUEST changeKey{};
    VD_OPEN_FILE_INFORMATION query{};
    std::memcpy(setKey.UserKey, "stolen", 6);
    std::memcpy(changeKey.OldUserKey, "ownerpw", 7);
    std::memcpy(changeKey.NewUserKey, "stolen", 6);
    const std::vector<Attack> attacks = {
        {"open the volume for reading", [] { return OpenOutcome('X', GENERIC_READ); },
         ERROR_ACCESS_DENIED},
        {"open the volume for writing", [] { return OpenOutcome('X', GENERIC_WRITE); },
         ERROR_ACCESS_DENIED},
        {"open the disk through a letter of its own",
         [] {
             if (!DefineDosDeviceA(DDD_RAW_TARGET_PATH, "Z:", "\\Device\\Harddisk\\VaultDisk0")) {
                 return -static_cast<long>(GetLastError());
             }
             const long outcome = OpenOutcome('Z', GENERIC_READ | GENERIC_WRITE);
             DefineDosDeviceA(DDD_REMOVE_DEFINITION, "Z:", nullptr);
             return outcome;
         },
         ERROR_ACCESS_DENIED},
        {"read a sector", [] { return Transfer('X', false); }, ERROR_ACCESS_DENIED},
        {"zero the boot sector", [] { return Transfer('X', true); }, ERROR_ACCESS_DENIED},
        {"query the container",
         [&] { return Control('X', IOCTL_VD_QUERY_FILE, nullptr, 0, &query, sizeof(query)); },
         ERROR_ACCESS_DENIED},
        {"close its media",
         [] { return Control('X', IOCTL_VD_CLOSE_FILE, nullptr, 0, nullptr, 0); },
         ERROR_ACCESS_DENIED},
        {"re-key it",
         [&] { return Control('X', IOCTL_VD_SET_KEY, &setKey, sizeof(setKey), nullptr, 0); },
         ERROR_ACCESS_DENIED},
        {"change its password",
         [&] {
             return Control('X', IOCTL_VD_CHANGE_KEY, &changeKey, sizeof(changeKey), nullptr, 0);
         },
         ERROR_ACCESS_DENIED},
        {"lock it", [] { return Control('X', FSCTL_LOCK_VOLUME, nullptr, 0, nullptr, 0); },
         ERROR_ACCESS_DENIED},
        {"dismount it", [] { return Control('X', FSCTL_DISMOUNT_VOLUME, nullptr, 0, nullptr, 0); },
         ERROR_ACCESS_DENIED},
        {"unlock it", [] { return Control('X', FSCTL_UNLOCK_VOLUME, nullptr, 0, nullptr, 0); },
         ERROR_ACCESS_DENIED},
        {"reformat it", [] { return static_cast<long>(hl::win32::FormatVolume('X', "")); },
         ERROR_ACCESS_DENIED},
        {"remove its letter",
         [] { return Outcome(DefineDosDeviceA(DDD_REMOVE_DEFINITION, "X:", nullptr)); },
         ERROR_ACCESS_DENIED},
        {"redefine its letter",
         [] {
             return Outcome(
                 DefineDosDeviceA(DDD_RAW_TARGET_PATH, "X:", "\\Device\\Harddisk\\VaultDisk1"));
         },
         ERROR_ACCESS_DENIED},
        {"read its file through the letter",
         [] {
             HANDLE file = CreateFileA("X:\\secret.txt", GENERIC_READ, FILE_SHARE_READ, nullptr,
                                       OPEN_EXISTING, 0, nullptr);
             const long outcome =
                 file == INVALID_HANDLE_VALUE ? static_cast<long>(GetLastError()) : 0;
             CloseHandle(file);
             return outcome;
         },
         ERROR_ACCESS_DENIED},
        {"read the surface file", [&] { return HostOpen(root / "dev" / "VaultDisk0"); }, EACCES},
        {"read the mounted file", [&] { return HostOpen(root / "mnt" / "x" / "secret.txt"); },
         EACCES},
        {"list the mounted folder", [&] { return HostOpen(root / "mnt" / "x"); }, EACCES},
        {"read the container", [&] { return HostOpen(root / "drive_c" / "owner" / "vault.vd"); },
         EACCES},
        {"mount another disk on its letter",
         [] {
             ControllerState state;
             return system_test::MountDisk(state, 'X', "C:\\intruder\\over.vd", 1 << 20, "mine")
                        ? 0L
                        : static_cast<long>(state.LastError);
         },
         static_cast<long>(KV_E_LETTER_IN_USE)},
        {"unmount it through the controller",
         [] {
             ControllerState state;
             return SafeUnmount(state, 'X') ? 0L : static_cast<long>(state.LastError);
         },
         static_cast<long>(KV_E_ALREADY_UNMOUNTED)},
        {"take it down by force",
         [] {
             ControllerState state;
             return CriticalUnmount(state, 'X') ? 0L : static_cast<long>(state.LastError);
         },
         static_cast<long>(KV_E_ALREADY_UNMOUNTED)},
    };
    const std::vector<long> outcomes = RunAs(kIntruder, [&] {
        std::vector<long> results;
        for (const Attack& attack : attacks) {
            results.push_back(attack.run());
        }
        return results;
    });
    ASSERT_EQ(outcomes.size(), attacks.size());
    for (std::size_t i = 0; i < attacks.size(); ++i) {
        EXPECT_EQ(outcomes[i], attacks[i].refusal) << attacks[i].name;
    }
    EXPECT_EQ(DosTarget("X:"), "\\Device\\Harddisk\\VaultDisk0");

    // The intruder still has disks of its own, on a free device.
    const std::vector<long> own = RunAs(kIntruder, [] {
        ControllerState state;
        const bool mounted =
            system_test::MountDisk(state, 'Y', "C:\\intruder\\own.vd", 1 << 20, "mine");
        const bool onDevice1 = DosTarget("Y:") == "\\Device\\Harddisk\\VaultDisk1";
        const long opened = OpenOutcome('Y', GENERIC_READ | GENERIC_WRITE);
        const bool unmounted = SafeUnmount(state, 'Y');
        return std::vector<long>{mounted, onDevice1, opened, unmounted};
    });
    EXPECT_EQ(own, (std::vector<long>{1, 1, 0, 1}));

    // The owner still does everything, and the password still opens the disk.
    const std::vector<long> owner = RunAs(kOwner, [] {
        std::vector<long> results;
        results.push_back(ReadText("X:\\secret.txt") == kSecret);
        HANDLE volume = OpenVolumeFor('X', GENERIC_READ | GENERIC_WRITE);
        VD_OPEN_FILE_INFORMATION record{};
        DWORD returned = 0;
        results.push_back(Outcome(DeviceIoControl(volume, IOCTL_VD_QUERY_FILE, nullptr, 0, &record,
                                                  sizeof(record), &returned, nullptr)));
        std::vector<char> sector(4096);
        results.push_back(Outcome(ReadFile(volume, sector.data(), 4096, &returned, nullptr)));
        CloseHandle(volume);
        ControllerState state;
        results.push_back(SafeUnmount(state, 'X'));
        results.push_back(system_test::MountDisk(state, 'X', "C:\\owner\\vault.vd", 0, "ownerpw"));
        results.push_back(ReadText("X:\\secret.txt") == kSecret);
        results.push_back(SafeUnmount(state, 'X'));
        return results;
    });
    EXPECT_EQ(owner, (std::vector<long>{1, 0, 0, 1, 1, 1, 1}));
}

// A lock is the handle's: closing the handle ends it, as Windows ends it, so a client that locks
// and goes away leaves no volume that nobody can mount.
TEST(Users, AVolumeLockEndsWithItsHandle) {
    BootedSystem system;
    GiveFolder("owner", kOwner);
    const std::vector<long> results = RunAs(kOwner, [] {
        std::vector<long> steps;
        ControllerState state;
        steps.push_back(
            system_test::MountDisk(state, 'L', "C:\\owner\\locked.vd", kDiskBytes, "ownerpw") &&
            system_test::FormatDrive('L') == 0 && system_test::WriteText("L:\\kept.txt", "kept"));
        HANDLE volume = OpenVolumeFor('L', GENERIC_READ | GENERIC_WRITE);
        DWORD returned = 0;
        steps.push_back(Outcome(DeviceIoControl(volume, FSCTL_LOCK_VOLUME, nullptr, 0, nullptr, 0,
                                                &returned, nullptr)));
        steps.push_back(Outcome(DeviceIoControl(volume, FSCTL_DISMOUNT_VOLUME, nullptr, 0, nullptr,
                                                0, &returned, nullptr)));
        CloseHandle(volume);
        steps.push_back(ReadText("L:\\kept.txt") == "kept");
        steps.push_back(SafeUnmount(state, 'L'));
        return steps;
    });
    EXPECT_EQ(results, (std::vector<long>{1, 0, 0, 1, 1}));
}

}  // namespace
