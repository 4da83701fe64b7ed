// Requests meeting failures: no memory at each allocation of a path, failing host I/O.
#include <gtest/gtest.h>

#include <functional>

#include "lockvol_system.h"

namespace lockvol_test {
namespace {

bool IsOutOfMemory(NTSTATUS status) {
    return status == STATUS_INSUFFICIENT_RESOURCES || status == STATUS_NO_MEMORY;
}

class FaultTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(system_.Load(), STATUS_SUCCESS);
        disk_ = system_.OpenDisk(0);
        ASSERT_NE(disk_, nullptr);
    }

    hl::kernel::Faults& faults() { return system_.kernel().faults(); }

    // Fails the 1st, 2nd, ... pool allocation from the request on until the request no longer
    // meets a failure. Every failed attempt must fail for want of memory, leave what `unchanged`
    // checks as it was and hold no pool. Returns how many attempts failed.
    int FailEachAllocation(const std::function<IoResult()>& request,
                           const std::function<void()>& unchanged) {
        for (std::uint64_t n = 1; n < 64; ++n) {
            SCOPED_TRACE("allocation " + std::to_string(n));
            const std::size_t poolBefore = system_.kernel().PoolAllocations();
            faults().pool.FailNth(n);
            const IoResult result = request();
            const bool hit = faults().pool.Calls() >= n;
            faults().pool.Clear();
            if (!hit) {
                EXPECT_EQ(result.status, STATUS_SUCCESS);
                return static_cast<int>(n - 1);
            }
            EXPECT_TRUE(IsOutOfMemory(result.status)) << std::hex << result.status;
            EXPECT_EQ(result.information, 0u);
            EXPECT_EQ(system_.kernel().PoolAllocations(), poolBefore);
            unchanged();
            if (result.status == STATUS_SUCCESS) {
                return static_cast<int>(n);
            }
        }
        ADD_FAILURE() << "the request never got through";
        return 0;
    }

    NTSTATUS QueryStatus() {
        VD_OPEN_FILE_INFORMATION record;
        return QueryFile(*disk_, record).status;
    }

    LockvolSystem system_{1};
    std::unique_ptr<DeviceFile> disk_;
};

TEST_F(FaultTest, OpenFileWithoutMemoryLeavesTheDiskWithoutMedia) {
    WriteContainer(system_.HostFile("exists.vd"), kMiB, 1);
    const int failures =
        FailEachAllocation([&] { return OpenFile(*disk_, "\\??\\C:\\exists.vd", 0); },
                           [&] { EXPECT_EQ(QueryStatus(), STATUS_NO_MEDIA_IN_DEVICE); });
    EXPECT_GE(failures, 3) << "the security record, the name and its Unicode form";
    EXPECT_EQ(QueryStatus(), STATUS_SUCCESS);
}

TEST_F(FaultTest, SetKeyWithoutMemoryWritesNoHeader) {
    ASSERT_EQ(OpenFile(*disk_, "\\??\\C:\\new.vd", kMiB).status, STATUS_SUCCESS);
    const Bytes material = KeyMaterialFrom(3);
    const int failures = FailEachAllocation(
        [&] { return SetKey(*disk_, material, MakePassword("alpha")); },
        [&] {
            EXPECT_EQ(QueryStatus(), STATUS_NO_MEDIA_IN_DEVICE) << "still without a key block";
            EXPECT_EQ(ReadHostFile(system_.HostFile("new.vd"), 0, VD_HEADER_SIZE),
                      Bytes(VD_HEADER_SIZE, 0));
        });
    EXPECT_GE(failures, 1);
    EXPECT_EQ(QueryStatus(), STATUS_SUCCESS);
}

TEST_F(FaultTest, KeyRequestsWithoutMemoryKeepTheKeyInUse) {
    ASSERT_EQ(OpenFile(*disk_, "\\??\\C:\\vault.vd", kMiB).status, STATUS_SUCCESS);
    ASSERT_EQ(SetKey(*disk_, KeyMaterialFrom(4), MakePassword("alpha")).status, STATUS_SUCCESS);
    const Bytes plain = RandomBytes(kSector, 5);
    ASSERT_EQ(WriteDisk(*disk_, 0, plain).status, STATUS_SUCCESS);
    const Bytes header = ReadHostFile(system_.HostFile("vault.vd"), 0, VD_HEADER_SIZE);
    const auto unchanged = [&] {
        EXPECT_EQ(QueryStatus(), STATUS_SUCCESS);
        Bytes data;
        EXPECT_EQ(ReadDisk(*disk_, 0, kSector, data).status, STATUS_SUCCESS);
        EXPECT_EQ(data, plain);
        EXPECT_EQ(ReadHostFile(system_.HostFile("vault.vd"), 0, VD_HEADER_SIZE), header);
    };

    EXPECT_GE(FailEachAllocation([&] { return OpenKey(*disk_, MakePassword("alpha")); }, unchanged),
              1);
    EXPECT_GE(FailEachAllocation(
                  [&] { return ChangeKey(*disk_, MakePassword("alpha"), MakePassword("beta")); },
                  unchanged),
              1);
    EXPECT_NE(ReadHostFile(system_.HostFile("vault.vd"), 0, VD_HEADER_SIZE), header);
}

TEST_F(FaultTest, TransfersWithoutMemoryChangeNothing) {
    WriteContainer(system_.HostFile("data.vd"), kMiB, 6);
    ASSERT_EQ(OpenFile(*disk_, "\\??\\C:\\data.vd", 0).status, STATUS_SUCCESS);
    const Bytes stored = ReadHostFile(system_.HostFile("data.vd"), VD_HEADER_SIZE, 2 * kSector);
    const auto unchanged = [&] {
        EXPECT_EQ(ReadHostFile(system_.HostFile("data.vd"), VD_HEADER_SIZE, 2 * kSector), stored);
    };
    Bytes data;
    EXPECT_GE(FailEachAllocation([&] { return ReadDisk(*disk_, 0, 2 * kSector, data); }, unchanged),
              1);
    EXPECT_EQ(data, Deciphered(stored, ZeroKey()));
    const Bytes plain = RandomBytes(2 * kSector, 7);
    EXPECT_GE(FailEachAllocation([&] { return WriteDisk(*disk_, 0, plain); }, unchanged), 1);
    EXPECT_EQ(ReadHostFile(system_.HostFile("data.vd"), VD_HEADER_SIZE, 2 * kSector),
              Enciphered(plain, ZeroKey()));

    // No system address for the caller's buffer.
    for (bool write : {false, true}) {
        faults().mdlMapping.FailFrom(1);
        const IoResult result =
            write ? WriteDisk(*disk_, 0, data) : ReadDisk(*disk_, 0, kSector, data);
        faults().mdlMapping.Clear();
        EXPECT_EQ(result.status, STATUS_INSUFFICIENT_RESOURCES) << write;
        EXPECT_EQ(result.information, 0u);
    }
}

TEST_F(FaultTest, HostErrorsAreReportedNotSwallowed) {
    WriteContainer(system_.HostFile("data.vd"), kMiB, 8);
    ASSERT_EQ(OpenFile(*disk_, "\\??\\C:\\data.vd", 0).status, STATUS_SUCCESS);

    faults().fileRead.FailFrom(1, STATUS_IO_DEVICE_ERROR);
    Bytes data;
    IoResult result = ReadDisk(*disk_, 0, 2 * kSector, data);
    faults().fileRead.Clear();
    EXPECT_EQ(result.status, STATUS_IO_DEVICE_ERROR);
    EXPECT_EQ(result.information, 0u);
    EXPECT_EQ(data, Bytes(2 * kSector, 0xAA)) << "nothing is handed out";

    const Bytes stored = ReadHostFile(system_.HostFile("data.vd"), VD_HEADER_SIZE, kSector);
    faults().fileWrite.FailFrom(1, STATUS_DISK_FULL);
    result = WriteDisk(*disk_, 0, RandomBytes(kSector, 9));
    faults().fileWrite.Clear();
    EXPECT_EQ(result.status, STATUS_DISK_FULL);
    EXPECT_EQ(result.information, 0u);

    // The disk goes on serving once the host does.
    ASSERT_EQ(ReadDisk(*disk_, 0, kSector, data).status, STATUS_SUCCESS);
    EXPECT_EQ(data, Deciphered(stored, ZeroKey()));
}

// A flush takes the container file to the host's disk after the writes before it, and reports
// the host's failure.
TEST_F(FaultTest, AFlushReachesTheContainerFile) {
    WriteContainer(system_.HostFile("data.vd"), kMiB, 11);
    ASSERT_EQ(OpenFile(*disk_, "\\??\\C:\\data.vd", 0).status, STATUS_SUCCESS);
    const Bytes plain = RandomBytes(kSector, 12);
    ASSERT_EQ(WriteDisk(*disk_, 0, plain).status, STATUS_SUCCESS);

    faults().fileFlush.Clear();
    IoResult result = disk_->Flush();
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(faults().fileFlush.Calls(), 1u);
    EXPECT_EQ(ReadHostFile(system_.HostFile("data.vd"), VD_HEADER_SIZE, kSector),
              Enciphered(plain, ZeroKey()));

    faults().fileFlush.FailFrom(1, STATUS_IO_DEVICE_ERROR);
    result = disk_->Flush();
    faults().fileFlush.Clear();
    EXPECT_EQ(result.status, STATUS_IO_DEVICE_ERROR);
    EXPECT_EQ(result.information, 0u);

    ASSERT_EQ(CloseFile(*disk_).status, STATUS_SUCCESS);
    EXPECT_EQ(disk_->Flush().status, STATUS_NO_MEDIA_IN_DEVICE);
    EXPECT_EQ(faults().fileFlush.Calls(), 0u);
}

TEST_F(FaultTest, AFileCutShortUnderTheDiskFailsTheReadsPastItsEnd) {
    WriteContainer(system_.HostFile("data.vd"), kMiB, 10);
    ASSERT_EQ(OpenFile(*disk_, "\\??\\C:\\data.vd", 0).status, STATUS_SUCCESS);
    std::filesystem::resize_file(system_.HostFile("data.vd"), VD_HEADER_SIZE + kMiB - kSector);

    Bytes data;
    IoResult result = ReadDisk(*disk_, kMiB - 2 * kSector, 2 * kSector, data);
    EXPECT_EQ(result.status, STATUS_DATA_ERROR) << "half of it is missing";
    EXPECT_EQ(result.information, 0u);
    EXPECT_EQ(data, Bytes(2 * kSector, 0xAA));

    result = ReadDisk(*disk_, kMiB - kSector, kSector, data);
    EXPECT_FALSE(NT_SUCCESS(result.status)) << "wholly past the end";
    EXPECT_EQ(result.information, 0u);
    EXPECT_EQ(data, Bytes(kSector, 0xAA));
}

TEST_F(FaultTest, AFailedHeaderWriteIsTheRequestsStatus) {
    ASSERT_EQ(OpenFile(*disk_, "\\??\\C:\\new.vd", kMiB).status, STATUS_SUCCESS);
    faults().fileWrite.FailFrom(1, STATUS_DISK_FULL);
    const IoResult result = SetKey(*disk_, KeyMaterialFrom(11), MakePassword("alpha"));
    faults().fileWrite.Clear();
    EXPECT_EQ(result.status, STATUS_DISK_FULL);
    EXPECT_EQ(QueryStatus(), STATUS_NO_MEDIA_IN_DEVICE) << "still without a key block";
}

}  // namespace
}  // namespace lockvol_test
