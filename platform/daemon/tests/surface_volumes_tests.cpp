// The kernel's disks on the surface: what a host program's transfers cost the disk, and how the
// surface learns of new media. The kernel's test driver stands in for a disk driver.
#include <fcntl.h>
#include <unistd.h>

#include <vector>

#include "kernel_fixture.h"
#include "surface_volumes.h"
#include "test_driver.h"

namespace hl::kernel::testing {
namespace {

constexpr const char* kServiceKey = "System\\CurrentControlSet\\Services\\KernelTest";
constexpr std::size_t kSector = 4096;

class SurfaceVolumesTest : public KernelTest {
protected:
    void SetUp() override {
        KernelTest::SetUp();
        if (HasFatalFailure()) {
            return;
        }
        if (geteuid() != 0 || !std::filesystem::exists("/dev/fuse")) {
            GTEST_SKIP() << "needs root and FUSE for the surface";
        }
        const std::filesystem::path image = drive_ / "WINDOWS/system32/DRIVERS/kerneltest.sys";
        std::filesystem::create_directories(image.parent_path());
        std::filesystem::copy_file(TEST_DRIVER_IMAGE, image);
        SetMachineValue(kServiceKey, "ImagePath", REG_EXPAND_SZ,
                        Utf16Bytes(u"\\SystemRoot\\System32\\drivers\\kerneltest.sys"));
        ASSERT_EQ(kernel_->LoadDriver(u"KernelTest"), STATUS_SUCCESS);
        ASSERT_EQ(kernel_->OpenDevice(TEST_DEVICE_NAME, GENERIC_READ | GENERIC_WRITE, disk_),
                  STATUS_SUCCESS);
        std::string error;
        volumes_ = hl::daemon::SurfaceVolumes::Start(root_, *kernel_, error);
        ASSERT_NE(volumes_, nullptr) << error;
    }

    void TearDown() override {
        volumes_.reset();  // its handle on the disk goes before the kernel
        disk_.reset();
        KernelTest::TearDown();
    }

    TEST_DISK_COUNTS Counts() {
        TEST_DISK_COUNTS counts{};
        EXPECT_EQ(disk_->DeviceControl(IOCTL_TEST_DISK_COUNTS, nullptr, 0, &counts, sizeof(counts))
                      .status,
                  STATUS_SUCCESS);
        return counts;
    }

    std::filesystem::path SurfaceFile() const { return root_ / "dev" / "KernelTest0"; }

    std::unique_ptr<DeviceFile> disk_;
    std::unique_ptr<hl::daemon::SurfaceVolumes> volumes_;
};

TEST_F(SurfaceVolumesTest, TransfersCostNoStateRequestsAndFsyncFlushesTheDisk) {
    const int fd = open(SurfaceFile().c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(fd, 0) << errno;
    const TEST_DISK_COUNTS before = Counts();
    std::vector<unsigned char> sector(kSector);
    for (std::size_t n = 0; n < 16; ++n) {
        const off_t offset = static_cast<off_t>(n * kSector + kSector / 2);
        ASSERT_EQ(pread(fd, sector.data(), sector.size(), offset),
                  static_cast<ssize_t>(sector.size()));
        EXPECT_EQ(sector[1], static_cast<unsigned char>((offset + 1) & 0xFF));
        ASSERT_EQ(pwrite(fd, sector.data(), sector.size(), offset),
                  static_cast<ssize_t>(sector.size()));
    }
    EXPECT_EQ(Counts().StateRequests, before.StateRequests)
        << "the surface asked the disk for its state during transfers";
    EXPECT_EQ(Counts().Flushes, before.Flushes);
    ASSERT_EQ(fsync(fd), 0);
    EXPECT_EQ(Counts().Flushes, before.Flushes + 1) << "fsync reaches the disk as a flush";
    close(fd);
}

TEST_F(SurfaceVolumesTest, NewMediaIsLearnedAfterARequestToTheDisk) {
    EXPECT_EQ(std::filesystem::file_size(SurfaceFile()), TEST_DISK_LENGTH);
    const LONGLONG length = 2 * TEST_DISK_LENGTH;
    ASSERT_EQ(
        disk_->DeviceControl(IOCTL_TEST_SET_LENGTH, &length, sizeof(length), nullptr, 0).status,
        STATUS_SUCCESS);
    const TEST_DISK_COUNTS before = Counts();
    volumes_->DeviceRequestCompleted(disk_->Device());
    EXPECT_EQ(std::filesystem::file_size(SurfaceFile()), static_cast<std::uintmax_t>(length));
    EXPECT_EQ(Counts().StateRequests, before.StateRequests + 2) << "length and writability";
}

}  // namespace
}  // namespace hl::kernel::testing
