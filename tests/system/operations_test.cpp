// The controller object's seven operations on a booted system, with their edge cases.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#include <windows.h>

#include <cstring>
#include <fstream>

#include "booted_system.h"
#include "controller/kv_operations.h"
#include "disk_steps.h"
#include "format/container_header.h"

namespace {

using system_test::BootedSystem;

constexpr LONGLONG kDiskBytes = 16 << 20;

// The data key a header holds, opened with `password` straight from the container file.
bool HeaderDataKey(const char* file, const char* password, vdformat::KeySchedule& key) {
    struct FilePort : vdformat::ContainerPort {
        std::vector<std::uint8_t> bytes;
        bool ReadAt(std::uint64_t offset, void* buffer, std::size_t length) noexcept override {
            if (offset + length > bytes.size()) {
                return false;
            }
            std::memcpy(buffer, bytes.data() + offset, length);
            return true;
        }
        std::int32_t WriteAt(std::uint64_t, const void*, std::size_t) noexcept override {
            return -1;
        }
        std::uint32_t TickCount() noexcept override { return 0; }
    } port;
    std::ifstream in(BootedSystem::DriveC() / file, std::ios::binary);
    port.bytes.resize(vdformat::kHeaderBytes);
    in.read(reinterpret_cast<char*>(port.bytes.data()),
            static_cast<std::streamsize>(port.bytes.size()));
    std::uint8_t userKey[vdformat::kUserKeyBytes] = {};
    std::memcpy(userKey, password, std::strlen(password));
    return vdformat::OpenHeader(port, vdformat::UserKey(userKey), key).result ==
           vdformat::HeaderResult::Ok;
}

TEST(Operations, CreateOpenQueryAndUnmount) {
    BootedSystem system;
    KvOperations kv;
    char used = 'q';
    EXPECT_EQ(kv.GetUsedDrive(&used), S_OK);
    EXPECT_EQ(used, 0);

    ASSERT_EQ(kv.CreateCryptedDisk('X', kDiskBytes, "C:\\ops.vd", "ab\0cd", "secret"), S_OK);
    EXPECT_EQ(kv.GetUsedDrive(&used), S_OK);
    EXPECT_EQ(used, 'X');
    // Key material is a C string: cut at its first zero byte, the rest zero.
    vdformat::KeySchedule stored;
    ASSERT_TRUE(HeaderDataKey("ops.vd", "secret", stored));
    vdformat::KeySchedule expected{};
    expected.Bytes()[0] = 'a';
    expected.Bytes()[1] = 'b';
    vdformat::StretchKey(vdformat::AsBytes(expected), vdformat::kDataKeySalt);
    vdformat::BuildKeySchedule(expected);
    EXPECT_EQ(std::memcmp(&stored, &expected, sizeof(stored)), 0);

    char name[MAX_PATH] = {};
    LONGLONG size = 0;
    EXPECT_EQ(kv.GetMountedVolumeInfo('X', name, &size), S_OK);
    EXPECT_STREQ(name, "\\??\\C:\\ops.vd");
    EXPECT_EQ(size, kDiskBytes);
    EXPECT_EQ(kv.GetMountedVolumeInfo('X', nullptr, &size), S_OK);
    EXPECT_EQ(kv.GetMountedVolumeInfo('1', name, &size), E_INVALIDARG);
    EXPECT_EQ(kv.GetMountedVolumeInfo('X', nullptr, nullptr), E_POINTER);
    EXPECT_EQ(kv.GetMountedVolumeInfo('Y', name, &size), KV_E_NOT_MOUNTED);
    EXPECT_EQ(kv.OpenCryptedDisk('X', "C:\\ops.vd", "secret"), KV_E_LETTER_IN_USE);
    EXPECT_EQ(kv.OpenCryptedDisk('C', "C:\\ops.vd", "secret"), KV_E_LETTER_IN_USE);
    EXPECT_EQ(kv.CreateCryptedDisk('X', kDiskBytes, nullptr, "k", "p"), E_POINTER);

    EXPECT_EQ(kv.UmountDisk('X', 1), S_OK);
    EXPECT_EQ(kv.UmountDisk('X', 1), KV_E_ALREADY_UNMOUNTED);
    EXPECT_EQ(kv.OpenCryptedDisk('X', "C:\\ops.vd", "Secret"), KV_E_WRONG_PASSWORD);
    EXPECT_EQ(system_test::DosTarget("X:"), "");

    // A lower-case letter asks for a read-only mount.
    ASSERT_EQ(kv.OpenCryptedDisk('z', "C:\\ops.vd", "secret"), S_OK);
    HANDLE volume = OpenVolume('Z');
    VD_OPEN_FILE_INFORMATION record{};
    DWORD returned = 0;
    ASSERT_TRUE(DeviceIoControl(volume, IOCTL_VD_QUERY_FILE, nullptr, 0, &record, sizeof(record),
                                &returned, nullptr));
    CloseHandle(volume);
    EXPECT_EQ(record.ReadOnly, 1);
    EXPECT_EQ(kv.UmountDisk('z', 0), S_OK);
    ASSERT_EQ(kv.OpenCryptedDisk('Z', "C:\\ops.vd", "secret"), S_OK);
    EXPECT_EQ(kv.GetMountedVolumeInfo('Z', name, &size), S_OK);
    EXPECT_EQ(kv.UmountDisk('Z', 0), S_OK);
}

TEST(Operations, CreatingOverAnExistingFileGivesItANewDataKey) {
    BootedSystem system;
    KvOperations kv;
    ASSERT_EQ(kv.CreateCryptedDisk('X', kDiskBytes, "C:\\again.vd", "first material", "one"), S_OK);
    ASSERT_EQ(kv.UmountDisk('X', 1), S_OK);
    vdformat::KeySchedule first;
    ASSERT_TRUE(HeaderDataKey("again.vd", "one", first));
    ASSERT_EQ(kv.CreateCryptedDisk('X', kDiskBytes, "C:\\again.vd", "other material", "two"), S_OK);
    ASSERT_EQ(kv.UmountDisk('X', 1), S_OK);
    vdformat::KeySchedule second;
    EXPECT_FALSE(HeaderDataKey("again.vd", "one", second));
    ASSERT_TRUE(HeaderDataKey("again.vd", "two", second));
    EXPECT_NE(std::memcmp(&first, &second, sizeof(first)), 0);

    // A lower-case letter opens the file read-only: nothing is written, the key stays.
    EXPECT_EQ(kv.CreateCryptedDisk('x', kDiskBytes, "C:\\again.vd", "third material", "three"),
              KV_E_MOUNT_FAILED);
    EXPECT_EQ(system_test::DosTarget("x:"), "");
    vdformat::KeySchedule kept;
    EXPECT_FALSE(HeaderDataKey("again.vd", "three", kept));
    ASSERT_TRUE(HeaderDataKey("again.vd", "two", kept));
    EXPECT_EQ(std::memcmp(&second, &kept, sizeof(kept)), 0);
}

TEST(Operations, ChangePasswordMountedAndNot) {
    BootedSystem system;
    KvOperations kv;
    ASSERT_EQ(kv.CreateCryptedDisk('X', kDiskBytes, "C:\\pw.vd", "material", "old"), S_OK);
    // Mounted: the disk on the letter is re-keyed, whatever file name is given.
    EXPECT_EQ(kv.ChangePassword('X', "C:\\ignored.vd", "old", "new"), S_OK);
    EXPECT_EQ(kv.ChangePassword('X', "C:\\pw.vd", "old", "newer"), KV_E_CHANGE_PASSWORD_FAILED);
    EXPECT_EQ(system_test::DosTarget("X:"), "\\Device\\Harddisk\\VaultDisk0");
    ASSERT_EQ(kv.UmountDisk('X', 1), S_OK);
    // Not mounted: mounted for the change and taken down again.
    EXPECT_EQ(kv.ChangePassword('X', "C:\\pw.vd", "new", "final"), S_OK);
    EXPECT_EQ(system_test::DosTarget("X:"), "");
    EXPECT_EQ(kv.ChangePassword('X', "C:\\pw.vd", "new", "again"), KV_E_CHANGE_PASSWORD_FAILED);
    EXPECT_EQ(system_test::DosTarget("X:"), "");
    vdformat::KeySchedule key;
    EXPECT_TRUE(HeaderDataKey("pw.vd", "final", key));
    EXPECT_EQ(kv.ChangePassword('X', "C:\\missing.vd", "a", "b"), KV_E_MOUNT_FAILED);
}

TEST(Operations, UnmountPossibleOnlyWhenNothingIsOpen) {
    BootedSystem system;
    KvOperations kv;
    EXPECT_EQ(kv.UnmountPossible('X'), KV_E_ALREADY_UNMOUNTED);
    EXPECT_EQ(kv.UnmountPossible('1'), E_INVALIDARG);
    ASSERT_EQ(kv.CreateCryptedDisk('X', kDiskBytes, "C:\\probe.vd", "m", "p"), S_OK);
    ASSERT_EQ(system_test::FormatDrive('X'), 0);
    ASSERT_TRUE(system_test::WriteText("X:\\open.txt", "x"));
    EXPECT_EQ(kv.UnmountPossible('X'), S_OK);
    const std::string host = (BootedSystem::Root() / "mnt" / "x" / "open.txt").string();
    auto holder = std::make_unique<system_test::FileHolder>(host);
    ASSERT_TRUE(holder->Holding());
    EXPECT_EQ(kv.UnmountPossible('X'), KV_E_LOCK_FAILED);
    EXPECT_EQ(kv.UmountDisk('X', 1), KV_E_LOCK_FAILED);
    EXPECT_EQ(system_test::ReadText("X:\\open.txt"), "x");
    EXPECT_EQ(kv.UmountDisk('X', 0), S_OK);
    holder.reset();
}

}  // namespace
