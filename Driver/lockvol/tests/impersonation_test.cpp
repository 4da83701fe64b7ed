// The container is opened with the rights of the user who asked for it, not the driver's.
#include <gtest/gtest.h>

#include "lockvol_system.h"

namespace lockvol_test {
namespace {

using hl::kernel::CallerIdentity;
using hl::kernel::ScopedCaller;

const CallerIdentity kOwner{1000, 1000, {}};
const CallerIdentity kOther{1001, 1001, {}};

TEST(ImpersonationTest, TheContainerOpensWithTheCallersRights) {
    LockvolSystem system(1);
    ASSERT_EQ(system.Load(), STATUS_SUCCESS);
    std::filesystem::permissions(system.driveC(), std::filesystem::perms::all);
    const std::filesystem::path file = system.HostFile("private.vd");

    {
        // Created by the owner, so the owner's file.
        ScopedCaller owner(kOwner);
        auto disk = system.OpenDisk(0);
        ASSERT_EQ(OpenFile(*disk, "\\??\\C:\\private.vd", kMiB).status, STATUS_SUCCESS);
        ASSERT_EQ(CloseFile(*disk).status, STATUS_SUCCESS);
    }
    ASSERT_TRUE(std::filesystem::exists(file));
    std::filesystem::permissions(
        file, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);

    {
        ScopedCaller other(kOther);
        auto disk = system.OpenDisk(0);
        EXPECT_EQ(OpenFile(*disk, "\\??\\C:\\private.vd", 0).status, STATUS_ACCESS_DENIED);
        VD_OPEN_FILE_INFORMATION record;
        EXPECT_EQ(QueryFile(*disk, record).status, STATUS_NO_MEDIA_IN_DEVICE);
        // Nor may another user create a container where only the owner may write.
        std::filesystem::permissions(system.driveC(), std::filesystem::perms::owner_all |
                                                          std::filesystem::perms::group_read |
                                                          std::filesystem::perms::group_exec |
                                                          std::filesystem::perms::others_read |
                                                          std::filesystem::perms::others_exec);
        EXPECT_EQ(OpenFile(*disk, "\\??\\C:\\other.vd", kMiB).status, STATUS_ACCESS_DENIED);
    }
    {
        ScopedCaller owner(kOwner);
        auto disk = system.OpenDisk(0);
        ASSERT_EQ(OpenFile(*disk, "\\??\\C:\\private.vd", 0).status, STATUS_SUCCESS);
        VD_OPEN_FILE_INFORMATION record;
        EXPECT_EQ(QueryFile(*disk, record).status, STATUS_SUCCESS);
        ASSERT_EQ(CloseFile(*disk).status, STATUS_SUCCESS);
    }
}

// Were the refusal ignored, the worker would open the file with the system's rights: a container
// only root may touch, or a new one created where the caller may not write.
TEST(ImpersonationTest, ARefusedImpersonationFailsTheOpen) {
    LockvolSystem system(1);
    ASSERT_EQ(system.Load(), STATUS_SUCCESS);
    WriteContainer(system.HostFile("root.vd"), kMiB, 3);
    std::filesystem::permissions(
        system.HostFile("root.vd"),
        std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    ScopedCaller owner(kOwner);
    auto disk = system.OpenDisk(0);
    for (const auto& [name, size] :
         {std::pair{"\\??\\C:\\root.vd", LONGLONG{0}}, std::pair{"\\??\\C:\\created.vd", kMiB}}) {
        SCOPED_TRACE(name);
        system.kernel().faults().impersonation.FailNth(1, STATUS_NO_MEMORY);
        EXPECT_EQ(OpenFile(*disk, name, size).status, STATUS_NO_MEMORY);
        system.kernel().faults().impersonation.Clear();
        VD_OPEN_FILE_INFORMATION record;
        EXPECT_EQ(QueryFile(*disk, record).status, STATUS_NO_MEDIA_IN_DEVICE);
    }
    EXPECT_FALSE(std::filesystem::exists(system.HostFile("created.vd")));
    // Granted, the caller meets the file's own permissions.
    EXPECT_EQ(OpenFile(*disk, "\\??\\C:\\root.vd", 0).status, STATUS_ACCESS_DENIED);
}

// While a container is open the disk is its user's: nobody else opens it for data access, not
// even a handle with the disk's own name; without one, and after a failed open, it is anyone's.
TEST(ImpersonationTest, AMountedDiskAdmitsOnlyItsUser) {
    LockvolSystem system(1);
    ASSERT_EQ(system.Load(), STATUS_SUCCESS);
    std::filesystem::permissions(system.driveC(), std::filesystem::perms::all);
    const auto openAs = [&](const CallerIdentity& who, ACCESS_MASK access) {
        ScopedCaller caller(who);
        std::unique_ptr<hl::kernel::DeviceFile> file;
        return system.kernel().OpenDevice(DiskName(0), access, file);
    };

    std::unique_ptr<hl::kernel::DeviceFile> disk;
    {
        ScopedCaller owner(kOwner);
        disk = system.OpenDisk(0);
        // A failed open leaves the disk free.
        EXPECT_EQ(OpenFile(*disk, "\\??\\C:\\missing.vd", 0).status, STATUS_NO_SUCH_FILE);
    }
    // A handle taken while the disk was free...
    std::unique_ptr<hl::kernel::DeviceFile> early;
    {
        ScopedCaller other(kOther);
        ASSERT_EQ(system.kernel().OpenDevice(DiskName(0), GENERIC_READ | GENERIC_WRITE, early),
                  STATUS_SUCCESS);
    }
    {
        ScopedCaller owner(kOwner);
        ASSERT_EQ(OpenFile(*disk, "\\??\\C:\\mine.vd", kMiB).status, STATUS_SUCCESS);
        ASSERT_EQ(SetKey(*disk, KeyMaterialFrom(7), MakePassword("mine")).status, STATUS_SUCCESS);
    }
    // ...serves nothing of the container that came after it.
    {
        ScopedCaller other(kOther);
        Bytes data;
        VD_OPEN_FILE_INFORMATION record;
        EXPECT_EQ(ReadDisk(*early, 0, 4096, data).status, STATUS_VOLUME_DISMOUNTED);
        EXPECT_EQ(WriteDisk(*early, 0, Bytes(4096, 0)).status, STATUS_VOLUME_DISMOUNTED);
        EXPECT_EQ(QueryFile(*early, record).status, STATUS_VOLUME_DISMOUNTED);
        EXPECT_EQ(SetKey(*early, KeyMaterialFrom(8), MakePassword("stolen")).status,
                  STATUS_VOLUME_DISMOUNTED);
        EXPECT_EQ(CloseFile(*early).status, STATUS_VOLUME_DISMOUNTED);
        EXPECT_EQ(OpenFile(*early, "\\??\\C:\\mine.vd", 0).status, STATUS_INVALID_DEVICE_REQUEST);
    }
    {
        ScopedCaller owner(kOwner);
        Bytes data;
        EXPECT_EQ(ReadDisk(*disk, 0, 4096, data).status, STATUS_SUCCESS);
    }
    hl::kernel::CallerIdentity found;
    ASSERT_TRUE(system.kernel().DeviceOwner(disk->Device(), found));
    EXPECT_EQ(found.uid, kOwner.uid);
    EXPECT_EQ(found.gid, kOwner.gid);
    EXPECT_EQ(openAs(kOther, GENERIC_READ), STATUS_ACCESS_DENIED);
    EXPECT_EQ(openAs(kOther, GENERIC_WRITE), STATUS_ACCESS_DENIED);
    EXPECT_EQ(openAs(kOwner, GENERIC_READ | GENERIC_WRITE), STATUS_SUCCESS);
    EXPECT_EQ(openAs({0, 0, {}}, GENERIC_READ | GENERIC_WRITE), STATUS_SUCCESS);
    // A handle without data access may still be had, and does nothing.
    {
        ScopedCaller other(kOther);
        std::unique_ptr<hl::kernel::DeviceFile> bare;
        ASSERT_EQ(system.kernel().OpenDevice(DiskName(0), 0, bare), STATUS_SUCCESS);
        EXPECT_EQ(CloseFile(*bare).status, STATUS_ACCESS_DENIED);
    }
    {
        ScopedCaller owner(kOwner);
        ASSERT_EQ(CloseFile(*disk).status, STATUS_SUCCESS);
    }
    EXPECT_EQ(openAs(kOther, GENERIC_READ | GENERIC_WRITE), STATUS_SUCCESS);
    EXPECT_TRUE(system.kernel().Diagnostics().empty());
}

}  // namespace
}  // namespace lockvol_test
