// Sector reads and writes through a disk: the cipher, the range checks, write protection.
#include <ntddk.h>
#include <gtest/gtest.h>
#include <ntdddisk.h>

#include "lockvol_system.h"

namespace lockvol_test {
namespace {

Bytes StoredSectors(LockvolSystem& system, const char* file, LONGLONG offset, std::size_t length) {
    return ReadHostFile(system.HostFile(file), VD_HEADER_SIZE + offset, length);
}

// A disk opened on an existing container: ready at once, with the zero key of a fresh device.
class TransferTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(system_.Load(), STATUS_SUCCESS);
        WriteContainer(system_.HostFile("data.vd"), kMiB, 21);
        disk_ = system_.OpenDisk(0);
        ASSERT_NE(disk_, nullptr);
        ASSERT_EQ(OpenFile(*disk_, "\\??\\C:\\data.vd", 0).status, STATUS_SUCCESS);
    }

    Bytes Stored(LONGLONG offset, std::size_t length) {
        return StoredSectors(system_, "data.vd", offset, length);
    }

    LockvolSystem system_{2};
    std::unique_ptr<DeviceFile> disk_;
};

TEST_F(TransferTest, ReadsAreTheDecipheredFileSectors) {
    for (const auto& [offset, length] : {std::pair<LONGLONG, ULONG>{0, kSector},
                                         {64 * kSector, 8 * kSector},
                                         {kMiB - 2 * kSector, 2 * kSector}}) {
        SCOPED_TRACE(offset);
        Bytes data;
        const IoResult result = ReadDisk(*disk_, offset, length, data);
        ASSERT_EQ(result.status, STATUS_SUCCESS);
        EXPECT_EQ(result.information, length);
        EXPECT_EQ(data, Deciphered(Stored(offset, length), ZeroKey()));
    }
}

TEST_F(TransferTest, WritesStoreTheEncipheredSectorsAndNothingElse) {
    const Bytes before = Stored(0, kMiB);
    const Bytes plain = RandomBytes(2 * kSector, 22);
    const LONGLONG offset = kMiB - 2 * kSector;
    const IoResult result = WriteDisk(*disk_, offset, plain);
    ASSERT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.information, plain.size());
    EXPECT_EQ(Stored(offset, plain.size()), Enciphered(plain, ZeroKey()));
    EXPECT_EQ(Stored(0, static_cast<std::size_t>(offset)),
              Bytes(before.begin(), before.begin() + offset));
    EXPECT_EQ(ReadHostFile(system_.HostFile("data.vd"), 0, VD_HEADER_SIZE).size(),
              std::size_t{VD_HEADER_SIZE});

    Bytes back;
    ASSERT_EQ(ReadDisk(*disk_, offset, 2 * kSector, back).status, STATUS_SUCCESS);
    EXPECT_EQ(back, plain);
}

// The worker gives a disk's boost to what it served well; refusals get none.
TEST_F(TransferTest, SuccessfulTransfersCompleteWithTheDiskBoost) {
    Bytes data;
    EXPECT_EQ(ReadDisk(*disk_, 0, kSector, data).priorityBoost, IO_DISK_INCREMENT);
    EXPECT_EQ(WriteDisk(*disk_, 0, data).priorityBoost, IO_DISK_INCREMENT);
    EXPECT_EQ(ReadDisk(*disk_, kMiB, kSector, data).priorityBoost, IO_NO_INCREMENT);
    EXPECT_EQ(ReadDisk(*disk_, 0, 0, data).priorityBoost, IO_NO_INCREMENT);
    VD_OPEN_FILE_INFORMATION record;
    EXPECT_EQ(QueryFile(*disk_, record).priorityBoost, IO_NO_INCREMENT);
}

struct RangeCase {
    const char* what;
    LONGLONG offset;
    ULONG length;
    NTSTATUS status;
};

TEST_F(TransferTest, OnlyWholeSectorsInsideTheDataAreaTransfer) {
    const std::vector<RangeCase> cases = {
        {"512 bytes", 0, 512, STATUS_INVALID_PARAMETER},
        {"at 2048", 2048, kSector, STATUS_INVALID_PARAMETER},
        {"half a sector at 2048", 2048, 2048, STATUS_INVALID_PARAMETER},
        {"sector and a half", 0, kSector + 2048, STATUS_INVALID_PARAMETER},
        {"before the start", -kSector, kSector, STATUS_INVALID_PARAMETER},
        {"last sector", kMiB - kSector, kSector, STATUS_SUCCESS},
        {"one sector further", kMiB, kSector, STATUS_INVALID_PARAMETER},
        {"across the end", kMiB - kSector, 2 * kSector, STATUS_INVALID_PARAMETER},
        {"far beyond", 1LL << 62, kSector, STATUS_INVALID_PARAMETER},
        {"nothing", 0, 0, STATUS_SUCCESS},
        {"nothing, unaligned", 2049, 0, STATUS_SUCCESS},
    };
    const Bytes fileBefore = Stored(0, kMiB);
    for (const RangeCase& c : cases) {
        SCOPED_TRACE(c.what);
        Bytes data;
        IoResult read = ReadDisk(*disk_, c.offset, c.length, data);
        EXPECT_EQ(read.status, c.status);
        EXPECT_EQ(read.information, c.status == STATUS_SUCCESS ? c.length : 0u);
        if (c.status != STATUS_SUCCESS) {
            EXPECT_EQ(data, Bytes(c.length, 0xAA)) << "a refused read hands out nothing";
        }
        IoResult write = WriteDisk(*disk_, c.offset, data);
        EXPECT_EQ(write.status, c.status);
        EXPECT_EQ(write.information, c.status == STATUS_SUCCESS ? c.length : 0u);
    }
    // The successful rows wrote back what they had read.
    EXPECT_EQ(Stored(0, kMiB), fileBefore);
}

TEST_F(TransferTest, DisksThatAreNotReadyRefuseTransfers) {
    auto noMedia = system_.OpenDisk(1);
    Bytes data;
    EXPECT_EQ(ReadDisk(*noMedia, 0, kSector, data).status, STATUS_NO_MEDIA_IN_DEVICE);
    EXPECT_EQ(ReadDisk(*noMedia, 0, 0, data).status, STATUS_NO_MEDIA_IN_DEVICE);
    EXPECT_EQ(WriteDisk(*noMedia, 0, Bytes(kSector)).status, STATUS_NO_MEDIA_IN_DEVICE);

    ASSERT_EQ(OpenFile(*noMedia, "\\??\\C:\\new.vd", kMiB).status, STATUS_SUCCESS);
    EXPECT_EQ(ReadDisk(*noMedia, 0, kSector, data).status, STATUS_NO_MEDIA_IN_DEVICE);
    EXPECT_EQ(WriteDisk(*noMedia, 0, Bytes(kSector)).status, STATUS_NO_MEDIA_IN_DEVICE);
    EXPECT_EQ(ReadHostFile(system_.HostFile("new.vd"), VD_HEADER_SIZE, kSector), Bytes(kSector));
}

TEST_F(TransferTest, AReadOnlyOpenIsWriteProtected) {
    ASSERT_EQ(CloseFile(*disk_).status, STATUS_SUCCESS);
    ASSERT_EQ(OpenFile(*disk_, "\\??\\C:\\data.vd", 0, true).status, STATUS_SUCCESS);
    const Bytes before = Stored(0, 4 * kSector);

    const IoResult write = WriteDisk(*disk_, 0, RandomBytes(4 * kSector, 23));
    EXPECT_EQ(write.status, STATUS_MEDIA_WRITE_PROTECTED);
    EXPECT_EQ(write.information, 0u);
    EXPECT_EQ(Stored(0, 4 * kSector), before);

    Bytes data;
    ASSERT_EQ(ReadDisk(*disk_, 0, 4 * kSector, data).status, STATUS_SUCCESS);
    EXPECT_EQ(data, Deciphered(before, ZeroKey()));

    VD_OPEN_FILE_INFORMATION record;
    ASSERT_EQ(QueryFile(*disk_, record).status, STATUS_SUCCESS);
    EXPECT_EQ(record.ReadOnly, 1);
}

// A file shorter than its header has no data area: an empty disk, not a negative one.
TEST(ShortFileTest, AFileShorterThanTheHeaderIsAnEmptyDisk) {
    LockvolSystem system(1);
    ASSERT_EQ(system.Load(), STATUS_SUCCESS);
    WriteHostFile(system.HostFile("tiny.vd"), RandomBytes(100, 1));
    auto disk = system.OpenDisk(0);
    ASSERT_EQ(OpenFile(*disk, "\\??\\C:\\tiny.vd", 0).status, STATUS_SUCCESS);

    Bytes length;
    ASSERT_EQ(Control(*disk, IOCTL_DISK_GET_LENGTH_INFO, {}, 8, &length).status, STATUS_SUCCESS);
    EXPECT_EQ(length, Bytes(8, 0));
    VD_OPEN_FILE_INFORMATION record;
    ASSERT_EQ(QueryFile(*disk, record).status, STATUS_SUCCESS);
    EXPECT_EQ(record.FileSize.QuadPart, 0);
    Bytes data;
    EXPECT_EQ(ReadDisk(*disk, 0, kSector, data).status, STATUS_INVALID_PARAMETER);
}

}  // namespace
}  // namespace lockvol_test
