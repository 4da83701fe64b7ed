#include "container_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace vdtool {
namespace {

std::string Describe(const std::string& path, int error) {
    if (error == ENOENT) {
        return path + ": no such file";
    }
    return path + ": " + std::strerror(error);
}

// pread and pwrite may move fewer bytes than asked; loop until done or failed.
template <typename Transfer, typename Pointer>
bool TransferAll(Transfer transfer, int fd, Pointer buffer, std::size_t length,
                 std::uint64_t offset) {
    std::size_t done = 0;
    while (done < length) {
        const ssize_t moved =
            transfer(fd, buffer + done, length - done, static_cast<off_t>(offset + done));
        if (moved < 0 && errno == EINTR) {
            continue;
        }
        if (moved <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(moved);
    }
    return true;
}

}  // namespace

ContainerFile::~ContainerFile() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

bool ContainerFile::Open(const std::string& path, bool writable, std::string& error) {
    // Without blocking: opening a FIFO would wait for a writer, a device might act on its own.
    fd_ = ::open(path.c_str(), (writable ? O_RDWR : O_RDONLY) | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd_ < 0) {
        error = Describe(path, errno);
        return false;
    }
    struct stat status {};
    if (::fstat(fd_, &status) != 0 || !S_ISREG(status.st_mode)) {
        error = path + ": not a regular file; a container is one";
        return false;
    }
    ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) & ~O_NONBLOCK);
    fileBytes_ = static_cast<std::uint64_t>(status.st_size);
    const std::uint64_t smallest = vdformat::kHeaderBytes + vdformat::kSizeGranule;
    if (fileBytes_ < smallest) {
        error = path + ": too short to be a container (" + std::to_string(fileBytes_) +
                " bytes; a container holds at least " + std::to_string(smallest) + ")";
        return false;
    }
    if (DataBytes() % vdformat::kSectorBytes != 0) {
        error =
            path + ": not a container (its data area is not a whole number of 4096-byte sectors)";
        return false;
    }
    return true;
}

bool ContainerFile::Create(const std::string& path, std::uint64_t dataBytes, std::string& error) {
    fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd_ < 0) {
        error =
            errno == EEXIST ? path + ": already exists; not replacing it" : Describe(path, errno);
        return false;
    }
    createdPath_ = path;
    fileBytes_ = dataBytes + vdformat::kHeaderBytes;
    if (::ftruncate(fd_, static_cast<off_t>(fileBytes_)) != 0) {
        error = Describe(path, errno);
        Discard();
        return false;
    }
    return true;
}

bool ContainerFile::Sparse() const {
    struct stat status {};
    return ::fstat(fd_, &status) == 0 &&
           static_cast<std::uint64_t>(status.st_blocks) * 512 <
               static_cast<std::uint64_t>(status.st_size);
}

void ContainerFile::Discard() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    if (!createdPath_.empty()) {
        ::unlink(createdPath_.c_str());
        createdPath_.clear();
    }
}

bool ContainerFile::ReadAt(std::uint64_t offset, void* buffer, std::size_t length) noexcept {
    return TransferAll(::pread, fd_, static_cast<char*>(buffer), length, offset);
}

std::int32_t ContainerFile::WriteAt(std::uint64_t offset, const void* buffer,
                                    std::size_t length) noexcept {
    if (TransferAll(::pwrite, fd_, static_cast<const char*>(buffer), length, offset)) {
        return 0;
    }
    return errno != 0 ? errno : EIO;
}

std::uint32_t ContainerFile::TickCount() noexcept {
    const auto since = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<std::uint32_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(since).count());
}

}  // namespace vdtool
