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

}  // namespace
}  // namespace lockvol_test
