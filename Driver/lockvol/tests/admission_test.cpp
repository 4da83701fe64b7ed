// Which control requests each device state admits, and what the standard requests answer.
#include <ntddk.h>
#include <gtest/gtest.h>
#include <mountdev.h>
#include <ntddcdrm.h>
#include <ntdddisk.h>
#include <ntddstor.h>

#include <cstring>
#include <fstream>

#include "lockvol_system.h"

namespace lockvol_test {
namespace {

constexpr LONGLONG kGiB = 1LL << 30;
constexpr ULONG kUnknownPrivateCode = 0x8000E018;
constexpr ULONG kUnknownCode = 0x00220000;

enum class Disk { NoMedia, NewFile, Ready, ReadyBig, ReadyReadOnly };

Bytes Zeros(std::size_t length) {
    return Bytes(length, 0);
}

Bytes Verify(LONGLONG offset, ULONG length) {
    VERIFY_INFORMATION verify;
    std::memset(&verify, 0, sizeof(verify));
    verify.StartingOffset.QuadPart = offset;
    verify.Length = length;
    Bytes input(sizeof(verify));
    std::memcpy(input.data(), &verify, sizeof(verify));
    return input;
}

// Four disks in the states a request can meet, plus a read-only one.
class AdmissionTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(system_.Load(), STATUS_SUCCESS);
        WriteContainer(system_.HostFile("ready.vd"), kMiB, 1);
        WriteContainer(system_.HostFile("readonly.vd"), kMiB, 2);
        { std::ofstream big(system_.HostFile("big.vd"), std::ios::binary); }
        std::filesystem::resize_file(system_.HostFile("big.vd"), 4 * kGiB + VD_HEADER_SIZE);

        for (ULONG n = 0; n < 5; ++n) {
            disks_.push_back(system_.OpenDisk(n));
            ASSERT_NE(disks_.back(), nullptr);
        }
        ASSERT_EQ(OpenFile(disk(Disk::Ready), "\\??\\C:\\ready.vd", 0).status, STATUS_SUCCESS);
        ASSERT_EQ(OpenFile(disk(Disk::ReadyBig), "\\??\\C:\\big.vd", 0).status, STATUS_SUCCESS);
        ASSERT_EQ(OpenFile(disk(Disk::NewFile), "\\??\\C:\\new.vd", kMiB).status, STATUS_SUCCESS);
        ASSERT_EQ(OpenFile(disk(Disk::ReadyReadOnly), "\\??\\C:\\readonly.vd", 0, true).status,
                  STATUS_SUCCESS);
    }

    DeviceFile& disk(Disk which) {
        switch (which) {
            case Disk::Ready:
                return *disks_[0];
            case Disk::ReadyBig:
                return *disks_[1];
            case Disk::NoMedia:
                return *disks_[2];
            case Disk::NewFile:
                return *disks_[3];
            case Disk::ReadyReadOnly:
                return *disks_[4];
        }
        return *disks_[0];
    }

    LockvolSystem system_{5};
    std::vector<std::unique_ptr<DeviceFile>> disks_;
};

struct AdmissionCase {
    Disk disk;
    const char* request;
    ULONG code;
    Bytes input;
    ULONG outputLength;
    NTSTATUS status;
    ULONG_PTR information;
};

// Every request here is refused or answered at once, so no row changes a disk's state.
TEST_F(AdmissionTest, EachStateAdmitsItsRequestsInOrder) {
    constexpr ULONG_PTR kQueryRecord = sizeof(VD_OPEN_FILE_INFORMATION);
    const std::vector<AdmissionCase> cases = {
        // Without media only open-file, with its exact record, goes on.
        {Disk::NoMedia, "open-file 279", IOCTL_VD_OPEN_FILE, Zeros(279), 0,
         STATUS_INVALID_PARAMETER, 0},
        {Disk::NoMedia, "open-file 281", IOCTL_VD_OPEN_FILE, Zeros(281), 0,
         STATUS_INVALID_PARAMETER, 0},
        {Disk::NoMedia, "close-file", IOCTL_VD_CLOSE_FILE, {}, 0, STATUS_NO_MEDIA_IN_DEVICE, 0},
        {Disk::NoMedia, "query", IOCTL_VD_QUERY_FILE, {}, 280, STATUS_NO_MEDIA_IN_DEVICE, 0},
        {Disk::NoMedia, "set-key", IOCTL_VD_SET_KEY, Zeros(4540), 0, STATUS_NO_MEDIA_IN_DEVICE, 0},
        {Disk::NoMedia, "open-key", IOCTL_VD_OPEN_KEY, Zeros(40), 0, STATUS_NO_MEDIA_IN_DEVICE, 0},
        {Disk::NoMedia, "change-key", IOCTL_VD_CHANGE_KEY, Zeros(80), 0, STATUS_NO_MEDIA_IN_DEVICE,
         0},
        {Disk::NoMedia,
         "geometry",
         IOCTL_DISK_GET_DRIVE_GEOMETRY,
         {},
         24,
         STATUS_NO_MEDIA_IN_DEVICE,
         0},
        {Disk::NoMedia,
         "check-verify",
         IOCTL_DISK_CHECK_VERIFY,
         {},
         4,
         STATUS_NO_MEDIA_IN_DEVICE,
         0},
        {Disk::NoMedia, "unknown", kUnknownCode, {}, 0, STATUS_NO_MEDIA_IN_DEVICE, 0},

        // A new file without a key block: only set-key, open-key and close-file go on, and
        // open-key then finds no key block.
        {Disk::NewFile, "open-file", IOCTL_VD_OPEN_FILE, Zeros(280), 0, STATUS_NO_MEDIA_IN_DEVICE,
         0},
        {Disk::NewFile, "open-file 279", IOCTL_VD_OPEN_FILE, Zeros(279), 0,
         STATUS_NO_MEDIA_IN_DEVICE, 0},
        {Disk::NewFile, "query", IOCTL_VD_QUERY_FILE, {}, 280, STATUS_NO_MEDIA_IN_DEVICE, 0},
        {Disk::NewFile, "change-key", IOCTL_VD_CHANGE_KEY, Zeros(80), 0, STATUS_NO_MEDIA_IN_DEVICE,
         0},
        {Disk::NewFile, "change-key 79", IOCTL_VD_CHANGE_KEY, Zeros(79), 0,
         STATUS_NO_MEDIA_IN_DEVICE, 0},
        {Disk::NewFile, "open-key", IOCTL_VD_OPEN_KEY, Zeros(40), 0, STATUS_NO_MEDIA_IN_DEVICE, 0},
        {Disk::NewFile, "open-key 39", IOCTL_VD_OPEN_KEY, Zeros(39), 0, STATUS_INVALID_PARAMETER,
         0},
        {Disk::NewFile, "set-key 4539", IOCTL_VD_SET_KEY, Zeros(4539), 0, STATUS_INVALID_PARAMETER,
         0},
        {Disk::NewFile, "set-key 4541", IOCTL_VD_SET_KEY, Zeros(4541), 0, STATUS_INVALID_PARAMETER,
         0},
        {Disk::NewFile,
         "geometry",
         IOCTL_DISK_GET_DRIVE_GEOMETRY,
         {},
         24,
         STATUS_NO_MEDIA_IN_DEVICE,
         0},
        {Disk::NewFile, "unknown", kUnknownCode, {}, 0, STATUS_NO_MEDIA_IN_DEVICE, 0},

        // Ready: the private requests by their own rules.
        {Disk::Ready, "open-file", IOCTL_VD_OPEN_FILE, Zeros(280), 0, STATUS_INVALID_DEVICE_REQUEST,
         0},
        {Disk::Ready, "open-file 279", IOCTL_VD_OPEN_FILE, Zeros(279), 0,
         STATUS_INVALID_DEVICE_REQUEST, 0},
        {Disk::Ready, "set-key 4539", IOCTL_VD_SET_KEY, Zeros(4539), 0, STATUS_INVALID_PARAMETER,
         0},
        {Disk::Ready, "set-key 4541", IOCTL_VD_SET_KEY, Zeros(4541), 0, STATUS_INVALID_PARAMETER,
         0},
        {Disk::Ready, "open-key 39", IOCTL_VD_OPEN_KEY, Zeros(39), 0, STATUS_INVALID_PARAMETER, 0},
        {Disk::Ready, "open-key 41", IOCTL_VD_OPEN_KEY, Zeros(41), 0, STATUS_INVALID_PARAMETER, 0},
        {Disk::Ready, "change-key 79", IOCTL_VD_CHANGE_KEY, Zeros(79), 0, STATUS_INVALID_PARAMETER,
         0},
        {Disk::Ready, "change-key 81", IOCTL_VD_CHANGE_KEY, Zeros(81), 0, STATUS_INVALID_PARAMETER,
         0},
        {Disk::Ready, "query 279", IOCTL_VD_QUERY_FILE, {}, 279, STATUS_BUFFER_TOO_SMALL, 0},
        {Disk::Ready, "query 300", IOCTL_VD_QUERY_FILE, {}, 300, STATUS_BUFFER_TOO_SMALL, 0},
        {Disk::Ready, "query 280", IOCTL_VD_QUERY_FILE, {}, 280, STATUS_SUCCESS, kQueryRecord},
        {Disk::Ready,
         "unknown private",
         kUnknownPrivateCode,
         {},
         0,
         STATUS_INVALID_DEVICE_REQUEST,
         0},
        {Disk::Ready, "unknown", kUnknownCode, {}, 0, STATUS_INVALID_DEVICE_REQUEST, 0},

        // Ready: the standard requests.
        {Disk::Ready,
         "geometry 23",
         IOCTL_DISK_GET_DRIVE_GEOMETRY,
         {},
         23,
         STATUS_BUFFER_TOO_SMALL,
         0},
        {Disk::Ready, "geometry 24", IOCTL_DISK_GET_DRIVE_GEOMETRY, {}, 24, STATUS_SUCCESS, 24},
        {Disk::Ready, "geometry 64", IOCTL_DISK_GET_DRIVE_GEOMETRY, {}, 64, STATUS_SUCCESS, 24},
        {Disk::Ready,
         "cd geometry 23",
         IOCTL_CDROM_GET_DRIVE_GEOMETRY,
         {},
         23,
         STATUS_BUFFER_TOO_SMALL,
         0},
        {Disk::Ready, "cd geometry 24", IOCTL_CDROM_GET_DRIVE_GEOMETRY, {}, 24, STATUS_SUCCESS, 24},
        {Disk::ReadyBig, "geometry 24", IOCTL_DISK_GET_DRIVE_GEOMETRY, {}, 24, STATUS_SUCCESS, 24},
        {Disk::Ready,
         "partition 31",
         IOCTL_DISK_GET_PARTITION_INFO,
         {},
         31,
         STATUS_BUFFER_TOO_SMALL,
         0},
        {Disk::Ready, "partition 32", IOCTL_DISK_GET_PARTITION_INFO, {}, 32, STATUS_SUCCESS, 32},
        {Disk::Ready,
         "partition ex 143",
         IOCTL_DISK_GET_PARTITION_INFO_EX,
         {},
         143,
         STATUS_BUFFER_TOO_SMALL,
         0},
        {Disk::Ready,
         "partition ex 144",
         IOCTL_DISK_GET_PARTITION_INFO_EX,
         {},
         144,
         STATUS_SUCCESS,
         144},
        {Disk::Ready, "length 7", IOCTL_DISK_GET_LENGTH_INFO, {}, 7, STATUS_BUFFER_TOO_SMALL, 0},
        {Disk::Ready, "length 8", IOCTL_DISK_GET_LENGTH_INFO, {}, 8, STATUS_SUCCESS, 8},
        {Disk::Ready, "verify short input", IOCTL_DISK_VERIFY, Zeros(15), 0,
         STATUS_BUFFER_TOO_SMALL, 0},
        {Disk::Ready, "verify whole disk", IOCTL_DISK_VERIFY, Verify(0, kMiB), 0, STATUS_SUCCESS,
         kMiB},
        {Disk::Ready, "verify last sector", IOCTL_DISK_VERIFY, Verify(kMiB - kSector, kSector), 0,
         STATUS_SUCCESS, kSector},
        {Disk::Ready, "verify past the end", IOCTL_DISK_VERIFY, Verify(kMiB - kSector, 2 * kSector),
         0, STATUS_INFO_LENGTH_MISMATCH, 0},
        {Disk::Ready, "verify after the end", IOCTL_DISK_VERIFY, Verify(kMiB + kSector, 0), 0,
         STATUS_INFO_LENGTH_MISMATCH, 0},
        {Disk::Ready, "verify before the start", IOCTL_DISK_VERIFY, Verify(-kSector, kSector), 0,
         STATUS_INFO_LENGTH_MISMATCH, 0},
        {Disk::ReadyBig, "verify end of 4 GiB", IOCTL_DISK_VERIFY,
         Verify(4 * kGiB - kSector, kSector), 0, STATUS_SUCCESS, kSector},
        {Disk::ReadyBig, "verify past 4 GiB", IOCTL_DISK_VERIFY, Verify(4 * kGiB, kSector), 0,
         STATUS_INFO_LENGTH_MISMATCH, 0},
        {Disk::Ready, "toc 803", IOCTL_CDROM_READ_TOC, {}, 803, STATUS_BUFFER_TOO_SMALL, 0},
        {Disk::Ready, "toc 804", IOCTL_CDROM_READ_TOC, {}, 804, STATUS_SUCCESS, 804},
        {Disk::Ready,
         "last session 803",
         IOCTL_CDROM_GET_LAST_SESSION,
         {},
         803,
         STATUS_BUFFER_TOO_SMALL,
         0},
        {Disk::Ready,
         "last session 804",
         IOCTL_CDROM_GET_LAST_SESSION,
         {},
         804,
         STATUS_SUCCESS,
         804},
        {Disk::Ready, "disk check-verify 0", IOCTL_DISK_CHECK_VERIFY, {}, 0, STATUS_SUCCESS, 0},
        {Disk::Ready, "disk check-verify 3", IOCTL_DISK_CHECK_VERIFY, {}, 3, STATUS_SUCCESS, 0},
        {Disk::Ready, "disk check-verify 4", IOCTL_DISK_CHECK_VERIFY, {}, 4, STATUS_SUCCESS, 4},
        {Disk::Ready, "cd check-verify 0", IOCTL_CDROM_CHECK_VERIFY, {}, 0, STATUS_SUCCESS, 0},
        {Disk::Ready, "cd check-verify 4", IOCTL_CDROM_CHECK_VERIFY, {}, 4, STATUS_SUCCESS, 4},
        {Disk::Ready,
         "storage check-verify 0",
         IOCTL_STORAGE_CHECK_VERIFY,
         {},
         0,
         STATUS_SUCCESS,
         0},
        {Disk::Ready,
         "storage check-verify 4",
         IOCTL_STORAGE_CHECK_VERIFY,
         {},
         4,
         STATUS_SUCCESS,
         4},
        {Disk::Ready,
         "storage check-verify2 0",
         IOCTL_STORAGE_CHECK_VERIFY2,
         {},
         0,
         STATUS_SUCCESS,
         0},
        {Disk::Ready,
         "storage check-verify2 4",
         IOCTL_STORAGE_CHECK_VERIFY2,
         {},
         4,
         STATUS_SUCCESS,
         4},
        {Disk::Ready,
         "hotplug 7",
         IOCTL_STORAGE_GET_HOTPLUG_INFO,
         {},
         7,
         STATUS_BUFFER_TOO_SMALL,
         0},
        {Disk::Ready, "hotplug 8", IOCTL_STORAGE_GET_HOTPLUG_INFO, {}, 8, STATUS_SUCCESS, 8},
        {Disk::Ready,
         "device number 11",
         IOCTL_STORAGE_GET_DEVICE_NUMBER,
         {},
         11,
         STATUS_BUFFER_TOO_SMALL,
         0},
        {Disk::Ready,
         "device number 12",
         IOCTL_STORAGE_GET_DEVICE_NUMBER,
         {},
         12,
         STATUS_SUCCESS,
         12},
        {Disk::Ready,
         "device name 2",
         IOCTL_MOUNTDEV_QUERY_DEVICE_NAME,
         {},
         2,
         STATUS_BUFFER_TOO_SMALL,
         0},
        {Disk::Ready, "device name 4", IOCTL_MOUNTDEV_QUERY_DEVICE_NAME, {}, 4, STATUS_SUCCESS, 4},
        {Disk::Ready,
         "device name 20",
         IOCTL_MOUNTDEV_QUERY_DEVICE_NAME,
         {},
         20,
         STATUS_BUFFER_TOO_SMALL,
         0},
        {Disk::Ready,
         "device name 55",
         IOCTL_MOUNTDEV_QUERY_DEVICE_NAME,
         {},
         55,
         STATUS_BUFFER_TOO_SMALL,
         0},
        {Disk::Ready,
         "device name 56",
         IOCTL_MOUNTDEV_QUERY_DEVICE_NAME,
         {},
         56,
         STATUS_SUCCESS,
         56},
        {Disk::Ready,
         "device name 100",
         IOCTL_MOUNTDEV_QUERY_DEVICE_NAME,
         {},
         100,
         STATUS_SUCCESS,
         56},
        {Disk::Ready, "is writable", IOCTL_DISK_IS_WRITABLE, {}, 0, STATUS_SUCCESS, 0},
        {Disk::ReadyReadOnly,
         "is writable",
         IOCTL_DISK_IS_WRITABLE,
         {},
         0,
         STATUS_MEDIA_WRITE_PROTECTED,
         0},
        {Disk::ReadyReadOnly,
         "geometry",
         IOCTL_DISK_GET_DRIVE_GEOMETRY,
         {},
         24,
         STATUS_SUCCESS,
         24},
        {Disk::Ready, "disk media removal", IOCTL_DISK_MEDIA_REMOVAL, Zeros(1), 0, STATUS_SUCCESS,
         0},
        {Disk::Ready, "storage media removal", IOCTL_STORAGE_MEDIA_REMOVAL, Zeros(1), 0,
         STATUS_SUCCESS, 0},
        {Disk::Ready,
         "set partition 0",
         IOCTL_DISK_SET_PARTITION_INFO,
         {},
         0,
         STATUS_INVALID_PARAMETER,
         0},
        {Disk::Ready, "set partition 1", IOCTL_DISK_SET_PARTITION_INFO, Zeros(1), 0, STATUS_SUCCESS,
         0},
    };
    for (const AdmissionCase& c : cases) {
        SCOPED_TRACE(c.request);
        const IoResult result = Control(disk(c.disk), c.code, c.input, c.outputLength);
        EXPECT_EQ(result.status, c.status);
        EXPECT_EQ(result.information, c.information);
    }
}

template <typename Record>
Record Answer(DeviceFile& disk, ULONG code, ULONG outputLength = sizeof(Record)) {
    Bytes output;
    EXPECT_EQ(Control(disk, code, {}, outputLength, &output).status, STATUS_SUCCESS);
    Record record;
    std::memcpy(&record, output.data(), sizeof(record));
    return record;
}

TEST_F(AdmissionTest, GeometryAndLengthDescribeTheDataArea) {
    struct Expected {
        Disk disk;
        LONGLONG dataArea;
    };
    for (const Expected& e : {Expected{Disk::Ready, kMiB}, Expected{Disk::ReadyBig, 4 * kGiB}}) {
        SCOPED_TRACE(e.dataArea);
        for (ULONG code : {IOCTL_DISK_GET_DRIVE_GEOMETRY, IOCTL_CDROM_GET_DRIVE_GEOMETRY}) {
            const auto geometry = Answer<DISK_GEOMETRY>(disk(e.disk), code);
            EXPECT_EQ(geometry.Cylinders.QuadPart, e.dataArea / 262144);
            EXPECT_EQ(geometry.MediaType, FixedMedia);
            EXPECT_EQ(geometry.TracksPerCylinder, 2u);
            EXPECT_EQ(geometry.SectorsPerTrack, 32u);
            EXPECT_EQ(geometry.BytesPerSector, 4096u);
        }
        EXPECT_EQ(Answer<GET_LENGTH_INFORMATION>(disk(e.disk), IOCTL_DISK_GET_LENGTH_INFO)
                      .Length.QuadPart,
                  e.dataArea);

        const auto partition =
            Answer<PARTITION_INFORMATION>(disk(e.disk), IOCTL_DISK_GET_PARTITION_INFO);
        EXPECT_EQ(partition.StartingOffset.QuadPart, 0);
        EXPECT_EQ(partition.PartitionLength.QuadPart, e.dataArea);
        EXPECT_EQ(partition.HiddenSectors, 1u);
        EXPECT_EQ(partition.PartitionNumber, 0u);
        EXPECT_EQ(partition.PartitionType, 0);
        EXPECT_FALSE(partition.BootIndicator);
        EXPECT_FALSE(partition.RecognizedPartition);
        EXPECT_FALSE(partition.RewritePartition);

        const auto partitionEx =
            Answer<PARTITION_INFORMATION_EX>(disk(e.disk), IOCTL_DISK_GET_PARTITION_INFO_EX);
        EXPECT_EQ(partitionEx.PartitionStyle, PARTITION_STYLE_MBR);
        EXPECT_EQ(partitionEx.StartingOffset.QuadPart, 0);
        EXPECT_EQ(partitionEx.PartitionLength.QuadPart, e.dataArea);
        EXPECT_EQ(partitionEx.PartitionNumber, 0u);
        EXPECT_FALSE(partitionEx.RewritePartition);
        EXPECT_EQ(partitionEx.Mbr.PartitionType, 0);
        EXPECT_FALSE(partitionEx.Mbr.BootIndicator);
        EXPECT_FALSE(partitionEx.Mbr.RecognizedPartition);
        EXPECT_EQ(partitionEx.Mbr.HiddenSectors, 1u);
    }
}

TEST_F(AdmissionTest, StorageAnswersDescribeAFixedDisk) {
    DeviceFile& ready = disk(Disk::Ready);
    for (ULONG code : {IOCTL_CDROM_READ_TOC, IOCTL_CDROM_GET_LAST_SESSION}) {
        Bytes toc;
        ASSERT_EQ(Control(ready, code, {}, sizeof(CDROM_TOC), &toc).status, STATUS_SUCCESS);
        Bytes expected(sizeof(CDROM_TOC), 0);
        expected[FIELD_OFFSET(CDROM_TOC, FirstTrack)] = 1;
        expected[FIELD_OFFSET(CDROM_TOC, LastTrack)] = 1;
        CDROM_TOC* record = reinterpret_cast<CDROM_TOC*>(expected.data());
        record->TrackData[0].Control = 4;
        EXPECT_EQ(toc, expected);
    }

    const auto hotplug = Answer<STORAGE_HOTPLUG_INFO>(ready, IOCTL_STORAGE_GET_HOTPLUG_INFO);
    EXPECT_EQ(hotplug.Size, sizeof(STORAGE_HOTPLUG_INFO));
    EXPECT_FALSE(hotplug.MediaRemovable);
    EXPECT_FALSE(hotplug.MediaHotplug);
    EXPECT_FALSE(hotplug.DeviceHotplug);
    EXPECT_FALSE(hotplug.WriteCacheEnableOverride);

    const auto number = Answer<STORAGE_DEVICE_NUMBER>(ready, IOCTL_STORAGE_GET_DEVICE_NUMBER);
    EXPECT_EQ(number.DeviceType, static_cast<DEVICE_TYPE>(FILE_DEVICE_DISK));
    EXPECT_EQ(number.DeviceNumber, 0u);
    EXPECT_EQ(number.PartitionNumber, 0u);

    Bytes changeCount;
    ASSERT_EQ(Control(ready, IOCTL_DISK_CHECK_VERIFY, {}, 4, &changeCount).status, STATUS_SUCCESS);
    EXPECT_EQ(changeCount, Zeros(4));
}

TEST_F(AdmissionTest, CheckVerifyClearsTheVerifyFlag) {
    for (ULONG outputLength : {0u, 4u}) {
        disk(Disk::Ready).Device()->Flags |= DO_VERIFY_VOLUME;
        EXPECT_EQ(Control(disk(Disk::Ready), IOCTL_STORAGE_CHECK_VERIFY, {}, outputLength).status,
                  STATUS_SUCCESS);
        EXPECT_EQ(disk(Disk::Ready).Device()->Flags & DO_VERIFY_VOLUME, 0u) << outputLength;
    }
}

TEST_F(AdmissionTest, DeviceNameIsTheDisksOwn) {
    const std::u16string expectedName = u"\\Device\\Harddisk\\VaultDisk4";
    const ULONG nameBytes = static_cast<ULONG>(expectedName.size() * sizeof(char16_t));
    ASSERT_EQ(nameBytes, 54u);

    Bytes lengthOnly;
    ASSERT_EQ(
        Control(disk(Disk::ReadyReadOnly), IOCTL_MOUNTDEV_QUERY_DEVICE_NAME, {}, 4, &lengthOnly)
            .status,
        STATUS_SUCCESS);
    EXPECT_EQ(reinterpret_cast<const MOUNTDEV_NAME*>(lengthOnly.data())->NameLength, nameBytes);

    Bytes full;
    ASSERT_EQ(
        Control(disk(Disk::ReadyReadOnly), IOCTL_MOUNTDEV_QUERY_DEVICE_NAME, {}, 56, &full).status,
        STATUS_SUCCESS);
    const MOUNTDEV_NAME* name = reinterpret_cast<const MOUNTDEV_NAME*>(full.data());
    EXPECT_EQ(name->NameLength, nameBytes);
    EXPECT_EQ(std::u16string(name->Name, name->Name + expectedName.size()), expectedName);
}

TEST_F(AdmissionTest, ReadOnlyOpenMakesAReadOnlyDevice) {
    EXPECT_NE(disk(Disk::ReadyReadOnly).Device()->Characteristics & FILE_READ_ONLY_DEVICE, 0u);
    EXPECT_EQ(disk(Disk::Ready).Device()->Characteristics & FILE_READ_ONLY_DEVICE, 0u);

    // The flag belongs to the open, not to the device: a writable open clears it again.
    ASSERT_EQ(CloseFile(disk(Disk::ReadyReadOnly)).status, STATUS_SUCCESS);
    ASSERT_EQ(OpenFile(disk(Disk::ReadyReadOnly), "\\??\\C:\\readonly.vd", 0).status,
              STATUS_SUCCESS);
    EXPECT_EQ(disk(Disk::ReadyReadOnly).Device()->Characteristics & FILE_READ_ONLY_DEVICE, 0u);
    EXPECT_EQ(Control(disk(Disk::ReadyReadOnly), IOCTL_DISK_IS_WRITABLE, {}, 0).status,
              STATUS_SUCCESS);
}

}  // namespace
}  // namespace lockvol_test
