#include "surface/disk_surface.h"

#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstdlib>
#include <numeric>
#include <thread>

#include "memory_device.h"
#include "root_fixture.h"

namespace surface::testing {
namespace {

constexpr std::size_t kSectors = 64;
constexpr std::size_t kDeviceBytes = kSectors * kSectorSize;

std::vector<unsigned char> Pattern(std::size_t size, unsigned seed) {
    std::vector<unsigned char> bytes(size);
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<unsigned char>((i * 131 + seed * 7 + i / 4096) & 0xff);
    }
    return bytes;
}

class File {
public:
    File(const fs::path& path, int flags)
        : fd_(open(path.c_str(), flags | O_CLOEXEC)), error_(errno) {}
    ~File() {
        if (fd_ >= 0) {
            close(fd_);
        }
    }
    File(const File&) = delete;
    File& operator=(const File&) = delete;
    bool Open() const { return fd_ >= 0; }
    int OpenError() const { return error_; }
    int fd() const { return fd_; }

    // Bytes transferred, or -errno.
    long Read(void* buffer, std::size_t length, std::uint64_t offset) const {
        const ssize_t done = pread(fd_, buffer, length, static_cast<off_t>(offset));
        return done < 0 ? -errno : done;
    }
    long Write(const void* buffer, std::size_t length, std::uint64_t offset) const {
        const ssize_t done = pwrite(fd_, buffer, length, static_cast<off_t>(offset));
        return done < 0 ? -errno : done;
    }

private:
    int fd_;
    int error_;
};

class DiskSurfaceTest : public RootFixture {
protected:
    void SetUp() override {
        RootFixture::SetUp();
        if (IsSkipped() || HasFatalFailure()) {
            return;
        }
        surface_ = std::make_unique<DiskSurface>(root_);
        ASSERT_EQ(surface_->Start(), SurfaceResult::Ok);
        device_ = std::make_shared<MemoryDevice>("VaultDisk0", kSectors);
        device_->Fill(Pattern(kDeviceBytes, 1));
        ASSERT_EQ(surface_->AddDevice(device_), SurfaceResult::Ok);
    }
    void TearDown() override {
        if (surface_) {
            surface_->Stop();
            EXPECT_EQ(device_->misaligned, 0)
                << "the surface sent a request that is not whole sectors";
        }
        CheckNothingLeft();
    }
    fs::path DevicePath() const { return surface_->DevicePath("VaultDisk0"); }
    // What the daemon does when a request to the device may have changed its media.
    void MediaChanged() { ASSERT_EQ(surface_->Refresh("VaultDisk0"), SurfaceResult::Ok); }

    std::unique_ptr<DiskSurface> surface_;
    std::shared_ptr<MemoryDevice> device_;
};

TEST_F(DiskSurfaceTest, FileSizeIsTheDeviceLengthAndZeroWithoutMedia) {
    struct stat attributes {};
    ASSERT_EQ(stat(DevicePath().c_str(), &attributes), 0);
    EXPECT_TRUE(S_ISREG(attributes.st_mode));
    EXPECT_EQ(static_cast<std::size_t>(attributes.st_size), kDeviceBytes);
    EXPECT_EQ(attributes.st_mode & 0777, 0600u);

    device_->noMedia = true;
    MediaChanged();
    ASSERT_EQ(stat(DevicePath().c_str(), &attributes), 0);
    EXPECT_EQ(attributes.st_size, 0);

    device_->noMedia = false;
    MediaChanged();
    File file(DevicePath(), O_RDONLY);
    ASSERT_TRUE(file.Open());
    EXPECT_EQ(lseek(file.fd(), 0, SEEK_END), static_cast<off_t>(kDeviceBytes));
}

// The file belongs to the device's owner; a file opened by one owner serves nothing once the
// device has passed to another (a disk mounted by someone else on the same device).
TEST_F(DiskSurfaceTest, TheFileIsItsDevicesOwnersAlone) {
    constexpr uid_t kFirst = 52011;
    constexpr uid_t kSecond = 52012;
    fs::permissions(root_, fs::perms::others_exec, fs::perm_options::add);  // for the users
    device_->ownerUid = kFirst;
    device_->ownerGid = kFirst;
    MediaChanged();
    struct stat attributes {};
    ASSERT_EQ(stat(DevicePath().c_str(), &attributes), 0);
    EXPECT_EQ(attributes.st_uid, kFirst);
    EXPECT_EQ(attributes.st_gid, kFirst);
    EXPECT_EQ(attributes.st_mode & 0777, 0600u);

    int toChild[2];
    int fromChild[2];
    ASSERT_EQ(pipe(toChild), 0);
    ASSERT_EQ(pipe(fromChild), 0);
    const pid_t child = fork();
    if (child == 0) {
        long results[4] = {-1, -1, -1, -1};
        if (setgroups(0, nullptr) == 0 && setgid(kFirst) == 0 && setuid(kFirst) == 0) {
            File file(DevicePath(), O_RDWR);
            char sector[kSectorSize];
            results[0] = file.Open() ? file.Read(sector, kSectorSize, 0) : -file.OpenError();
            char go = 0;
            (void)!write(fromChild[1], "r", 1);
            (void)!read(toChild[0], &go, 1);
            results[1] = file.Read(sector, kSectorSize, 0);
            results[2] = file.Write(sector, kSectorSize, 0);
            File again(DevicePath(), O_RDONLY);
            results[3] = again.Open() ? 0 : -again.OpenError();
        }
        (void)!write(fromChild[1], results, sizeof(results));
        _exit(0);
    }
    char ready = 0;
    ASSERT_EQ(read(fromChild[0], &ready, 1), 1);
    device_->ownerUid = kSecond;
    device_->ownerGid = kSecond;
    MediaChanged();
    ASSERT_EQ(write(toChild[1], "g", 1), 1);
    long results[4] = {};
    EXPECT_EQ(read(fromChild[0], results, sizeof(results)), static_cast<ssize_t>(sizeof(results)));
    waitpid(child, nullptr, 0);
    for (int fd : {toChild[0], toChild[1], fromChild[0], fromChild[1]}) {
        close(fd);
    }
    EXPECT_EQ(results[0], static_cast<long>(kSectorSize)) << "the owner reads";
    EXPECT_EQ(results[1], -EACCES) << "a file kept open serves no later owner's disk";
    EXPECT_EQ(results[2], -EACCES);
    EXPECT_EQ(results[3], -EACCES) << "nor does a new open";
    File root(DevicePath(), O_RDONLY);
    EXPECT_TRUE(root.Open()) << "root always reaches the device";
}

struct Range {
    std::uint64_t offset;
    std::size_t length;
};

const Range kRanges[] = {
    {0, kSectorSize},                                   // one whole sector
    {3 * kSectorSize, 5 * kSectorSize},                 // several whole sectors
    {1, 10},                                            // inside the first sector
    {kSectorSize - 1, 2},                               // across a sector boundary
    {4000, 3 * kSectorSize + 17},                       // partial head, whole middle, partial tail
    {2 * kSectorSize, kSectorSize + 1},                 // aligned start, partial tail
    {2 * kSectorSize - 7, 7},                           // partial head ending on a boundary
    {kDeviceBytes - kSectorSize - 3, 3 + kSectorSize},  // up to the very end
};

TEST_F(DiskSurfaceTest, ReadsReturnTheDeviceBytesOfAnyRange) {
    const auto expected = Pattern(kDeviceBytes, 1);
    File file(DevicePath(), O_RDONLY);
    ASSERT_TRUE(file.Open());
    for (const auto& range : kRanges) {
        std::vector<unsigned char> buffer(range.length);
        ASSERT_EQ(file.Read(buffer.data(), buffer.size(), range.offset),
                  static_cast<long>(range.length))
            << "at " << range.offset;
        EXPECT_TRUE(std::equal(buffer.begin(), buffer.end(),
                               expected.begin() + static_cast<long>(range.offset)))
            << "at " << range.offset << " length " << range.length;
    }
    std::vector<unsigned char> tail(100);
    EXPECT_EQ(file.Read(tail.data(), tail.size(), kDeviceBytes - 5), 5)
        << "a read stops at the end";
    EXPECT_EQ(file.Read(tail.data(), tail.size(), kDeviceBytes), 0);
}

TEST_F(DiskSurfaceTest, WritesChangeExactlyTheirBytes) {
    auto expected = Pattern(kDeviceBytes, 1);
    File file(DevicePath(), O_RDWR);
    ASSERT_TRUE(file.Open());
    unsigned seed = 10;
    for (const auto& range : kRanges) {
        const auto data = Pattern(range.length, ++seed);
        ASSERT_EQ(file.Write(data.data(), data.size(), range.offset),
                  static_cast<long>(range.length))
            << "at " << range.offset;
        std::copy(data.begin(), data.end(), expected.begin() + static_cast<long>(range.offset));
        ASSERT_TRUE(device_->Contents() == expected)
            << "after writing at " << range.offset << " length " << range.length;
    }
}

TEST_F(DiskSurfaceTest, WritesAtTheEndAreCutAndBeyondItRefused) {
    File file(DevicePath(), O_RDWR);
    ASSERT_TRUE(file.Open());
    const std::vector<unsigned char> data(100, 0xAB);
    EXPECT_EQ(file.Write(data.data(), data.size(), kDeviceBytes - 10), 10);
    EXPECT_EQ(device_->Contents().back(), 0xAB);
    EXPECT_EQ(file.Write(data.data(), data.size(), kDeviceBytes), -ENOSPC);
}

TEST_F(DiskSurfaceTest, ConcurrentWritersOfNeighbouringBytesLoseNothing) {
    constexpr int kWriters = 8;
    constexpr std::size_t kBytesEach = 16;
    constexpr std::uint64_t kSectorStart = 5 * kSectorSize;
    std::vector<std::thread> writers;
    for (int writer = 0; writer < kWriters; ++writer) {
        writers.emplace_back([&, writer] {
            File file(DevicePath(), O_RDWR);
            for (int round = 1; round <= 20; ++round) {
                for (std::size_t i = 0; i < kBytesEach; ++i) {
                    // Writers interleave: byte i of writer w sits at i * kWriters + w.
                    const auto value = static_cast<unsigned char>(writer * 20 + round);
                    file.Write(&value, 1,
                               kSectorStart + i * kWriters + static_cast<std::size_t>(writer));
                }
            }
        });
    }
    for (auto& writer : writers) {
        writer.join();
    }
    const auto contents = device_->Contents();
    for (int writer = 0; writer < kWriters; ++writer) {
        for (std::size_t i = 0; i < kBytesEach; ++i) {
            EXPECT_EQ(contents[kSectorStart + i * kWriters + static_cast<std::size_t>(writer)],
                      writer * 20 + 20)
                << "writer " << writer << " byte " << i;
        }
    }
}

struct Condition {
    const char* name;
    std::atomic<bool> MemoryDevice::*flag;
    long readResult;  // 1 for success
    long writeResult;
};

TEST_F(DiskSurfaceTest, DeviceConditionsReachTheCallerAsErrors) {
    const Condition conditions[] = {
        {"no media", &MemoryDevice::noMedia, -ENOMEDIUM, -ENOMEDIUM},
        {"write-protected", &MemoryDevice::writeProtected, 1, -EROFS},
        {"device error", &MemoryDevice::failing, -EIO, -EIO},
    };
    for (const auto& condition : conditions) {
        SCOPED_TRACE(condition.name);
        (*device_.*condition.flag) = true;
        MediaChanged();
        File file(DevicePath(), O_RDWR);
        ASSERT_TRUE(file.Open()) << "opening fails with " << file.OpenError();
        unsigned char byte = 0;
        EXPECT_EQ(file.Read(&byte, 1, 10), condition.readResult);
        EXPECT_EQ(file.Write(&byte, 1, 10), condition.writeResult);
        EXPECT_EQ(file.Write(std::vector<unsigned char>(kSectorSize).data(), kSectorSize, 0),
                  condition.writeResult);
        (*device_.*condition.flag) = false;
        MediaChanged();
    }
    EXPECT_TRUE(device_->Contents() == Pattern(kDeviceBytes, 1))
        << "a refused write changed the device";
}

// A kernel disk answers its state with two control requests; transfers must not cost them.
TEST_F(DiskSurfaceTest, TransfersUseTheLearnedStateWithoutAskingTheDevice) {
    File file(DevicePath(), O_RDWR);
    ASSERT_TRUE(file.Open());
    device_->stateQueries = 0;
    for (const auto& range : kRanges) {
        std::vector<unsigned char> buffer(range.length);
        ASSERT_EQ(file.Read(buffer.data(), buffer.size(), range.offset),
                  static_cast<long>(range.length));
        ASSERT_EQ(file.Write(buffer.data(), buffer.size(), range.offset),
                  static_cast<long>(range.length));
    }
    ASSERT_EQ(fsync(file.fd()), 0);
    struct stat attributes {};
    ASSERT_EQ(fstat(file.fd(), &attributes), 0);
    EXPECT_EQ(device_->stateQueries, 0);
    EXPECT_TRUE(device_->Contents() == Pattern(kDeviceBytes, 1));
}

// New media is learned when its change is signalled, or when a transfer meets it; the
// transfer is then served by the new state.
TEST_F(DiskSurfaceTest, NewMediaIsLearnedWhenItArrives) {
    File file(DevicePath(), O_RDWR);
    ASSERT_TRUE(file.Open());
    device_->Resize(2 * kSectors);
    MediaChanged();
    EXPECT_EQ(fs::file_size(DevicePath()), 2 * kDeviceBytes);
    EXPECT_EQ(surface_->KnownState("VaultDisk0").length, 2 * kDeviceBytes);
    const auto data = Pattern(kSectorSize, 7);
    EXPECT_EQ(file.Write(data.data(), data.size(), kDeviceBytes), static_cast<long>(kSectorSize))
        << "the old end is no longer the end";

    device_->Resize(kSectors / 2);
    device_->changeMediaOnce = true;
    device_->stateQueries = 0;
    std::vector<unsigned char> buffer(kSectorSize);
    EXPECT_EQ(file.Read(buffer.data(), buffer.size(), 0), static_cast<long>(kSectorSize))
        << "tried again on the new media";
    EXPECT_EQ(device_->stateQueries, 1);
    EXPECT_EQ(fs::file_size(DevicePath()), kDeviceBytes / 2);
    EXPECT_EQ(file.Write(data.data(), data.size(), kDeviceBytes / 2), -ENOSPC);

    // Media that went away unsignalled is learned at the first transfer that meets it.
    device_->noMedia = true;
    EXPECT_EQ(file.Read(buffer.data(), buffer.size(), 0), -ENOMEDIUM);
    EXPECT_EQ(fs::file_size(DevicePath()), 0u);
    EXPECT_EQ(surface_->Refresh("VaultDisk9"), SurfaceResult::NotFound);
    device_->noMedia = false;
    device_->Resize(kSectors);
}

TEST_F(DiskSurfaceTest, DevicesComeAndGoWhileRunning) {
    auto second = std::make_shared<MemoryDevice>("VaultDisk1", 4);
    ASSERT_EQ(surface_->AddDevice(second), SurfaceResult::Ok);
    EXPECT_EQ(surface_->AddDevice(std::make_shared<MemoryDevice>("VaultDisk1", 4)),
              SurfaceResult::NameInUse);
    EXPECT_EQ(surface_->AddDevice(std::make_shared<MemoryDevice>("a/b", 4)),
              SurfaceResult::InvalidName);

    std::vector<std::string> listed;
    for (const auto& entry : fs::directory_iterator(root_ / "dev")) {
        listed.push_back(entry.path().filename().string());
    }
    std::sort(listed.begin(), listed.end());
    EXPECT_EQ(listed, (std::vector<std::string>{"VaultDisk0", "VaultDisk1"}));
    EXPECT_EQ(fs::file_size(surface_->DevicePath("VaultDisk1")), 4 * kSectorSize);

    File held(surface_->DevicePath("VaultDisk1"), O_RDWR);
    ASSERT_TRUE(held.Open());
    EXPECT_EQ(surface_->OpenCount("VaultDisk1"), 1);
    ASSERT_EQ(surface_->RemoveDevice("VaultDisk1"), SurfaceResult::Ok);
    EXPECT_EQ(surface_->RemoveDevice("VaultDisk1"), SurfaceResult::NotFound);
    EXPECT_FALSE(fs::exists(surface_->DevicePath("VaultDisk1")));
    unsigned char byte = 0;
    EXPECT_EQ(held.Read(&byte, 1, 0), -ENXIO) << "a file of a removed device";
    EXPECT_EQ(held.Write(&byte, 1, 0), -ENXIO);
}

TEST_F(DiskSurfaceTest, LargeTransfersReachTheDeviceInMegabyteChunks) {
    constexpr std::size_t kMiB = 1024 * 1024;
    auto big = std::make_shared<MemoryDevice>("VaultDisk2", 4 * kMiB / kSectorSize);
    ASSERT_EQ(surface_->AddDevice(big), SurfaceResult::Ok);
    File file(surface_->DevicePath("VaultDisk2"), O_RDWR);
    ASSERT_TRUE(file.Open());
    // Page-aligned buffers: the kernel cuts direct transfers at page boundaries of the buffer.
    const auto data = Pattern(4 * kMiB, 3);
    auto* buffer = static_cast<unsigned char*>(std::aligned_alloc(kSectorSize, data.size()));
    std::copy(data.begin(), data.end(), buffer);
    EXPECT_EQ(file.Write(buffer, data.size(), 0), static_cast<long>(data.size()));
    std::fill_n(buffer, data.size(), 0);
    EXPECT_EQ(file.Read(buffer, data.size(), 0), static_cast<long>(data.size()));
    EXPECT_TRUE(std::equal(data.begin(), data.end(), buffer));
    std::free(buffer);
    EXPECT_EQ(big->largestWrite, kMiB);
    EXPECT_EQ(big->largestRead, kMiB);
}

// A buffer off a page boundary makes the kernel cut the transfer inside sectors; the pieces,
// written at once by several workers, meet in read-modify-writes of the shared sectors.
TEST_F(DiskSurfaceTest, LargeTransferFromAnUnalignedBufferArrivesWhole) {
    constexpr std::size_t kLength = 3 * 1024 * 1024;
    auto big = std::make_shared<MemoryDevice>("VaultDisk2", kLength / kSectorSize + 1);
    ASSERT_EQ(surface_->AddDevice(big), SurfaceResult::Ok);
    File file(surface_->DevicePath("VaultDisk2"), O_RDWR);
    ASSERT_TRUE(file.Open());
    const auto data = Pattern(kLength, 5);
    auto* block =
        static_cast<unsigned char*>(std::aligned_alloc(kSectorSize, kLength + kSectorSize));
    unsigned char* buffer = block + 100;
    std::copy(data.begin(), data.end(), buffer);
    EXPECT_EQ(file.Write(buffer, kLength, kSectorSize), static_cast<long>(kLength));
    const auto contents = big->Contents();
    EXPECT_TRUE(std::equal(data.begin(), data.end(), contents.begin() + kSectorSize));
    std::fill_n(buffer, kLength, 0);
    EXPECT_EQ(file.Read(buffer, kLength, kSectorSize), static_cast<long>(kLength));
    EXPECT_TRUE(std::equal(data.begin(), data.end(), buffer));
    std::free(block);
}

TEST_F(DiskSurfaceTest, FsyncFlushesTheDevice) {
    File file(DevicePath(), O_RDWR);
    ASSERT_TRUE(file.Open());
    ASSERT_EQ(fsync(file.fd()), 0);
    EXPECT_EQ(device_->flushes, 1);
}

TEST_F(DiskSurfaceTest, StopUnmountsAndStartServesAgain) {
    EXPECT_EQ(surface_->Start(), SurfaceResult::AlreadyRunning);
    std::thread([&] { surface_->Stop(); }).join();  // any thread of the host may stop it
    EXPECT_TRUE(MountsUnder(root_).empty());
    EXPECT_FALSE(fs::exists(DevicePath()));
    ASSERT_EQ(surface_->Start(), SurfaceResult::Ok);
    EXPECT_EQ(fs::file_size(DevicePath()), kDeviceBytes)
        << "devices stay registered across a restart";
}

TEST_F(DiskSurfaceTest, StopReturnsWhenTheMountWasDetachedUnderIt) {
    File held(DevicePath(), O_RDONLY);  // keeps the detached file system alive
    ASSERT_TRUE(held.Open());
    ASSERT_EQ(umount2((root_ / "dev").c_str(), MNT_DETACH), 0);
    surface_->Stop();
    unsigned char byte = 0;
    EXPECT_EQ(held.Read(&byte, 1, 0), -ENOTCONN) << "the connection ended with the surface";
}

// A surface whose process was killed leaves a dead FUSE mount behind (ENOTCONN).
TEST_F(DiskSurfaceTest, StartCleansUpTheSurfaceOfAKilledProcess) {
    surface_->Stop();
    surface_.reset();
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t child = fork();
    if (child == 0) {
        DiskSurface doomed(root_);
        const char answer = doomed.Start() == SurfaceResult::Ok ? 1 : 0;
        (void)!write(ready[1], &answer, 1);
        for (;;) {
            pause();
        }
    }
    char answer = 0;
    ASSERT_EQ(read(ready[0], &answer, 1), 1);
    close(ready[0]);
    close(ready[1]);
    ASSERT_EQ(answer, 1);
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    struct stat attributes {};
    ASSERT_EQ(stat((root_ / "dev").c_str(), &attributes), -1);
    ASSERT_EQ(errno, ENOTCONN);

    surface_ = std::make_unique<DiskSurface>(root_);
    ASSERT_EQ(surface_->Start(), SurfaceResult::Ok);
    ASSERT_EQ(surface_->AddDevice(device_), SurfaceResult::Ok);
    EXPECT_EQ(fs::file_size(DevicePath()), kDeviceBytes);
    EXPECT_EQ(MountsUnder(root_).size(), 1u);
}

}  // namespace
}  // namespace surface::testing
