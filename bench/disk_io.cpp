// disk_io: the file operations the mounted-disk benchmark times, one per run, each printing one
// figure on standard output (the script drops the caches between runs and computes the ratios).
//
//   disk_io write FILE MIB      sequential 1 MiB writes, fsync included     -> MB/s
//   disk_io read FILE           sequential 1 MiB reads of the whole file    -> MB/s
//   disk_io random FILE COUNT   4 KiB reads at distinct random offsets      -> reads/s
//   disk_io cipher              the sector cipher and SHA-1 levels this processor gets
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "format/implementation.h"

namespace {

constexpr std::size_t kChunk = 1 << 20;
constexpr std::size_t kBlock = 4096;

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

int Fail(const char* what, const char* path) {
    std::fprintf(stderr, "disk_io: %s %s: %s\n", what, path, std::strerror(errno));
    return 1;
}

int Short(const char* what, const char* path) {
    std::fprintf(stderr, "disk_io: %s less than asked on %s (disk full?)\n", what, path);
    return 1;
}

// Aligned so that the same buffer serves O_DIRECT.
std::unique_ptr<char, decltype(&std::free)> Buffer(std::size_t size) {
    return {static_cast<char*>(std::aligned_alloc(kBlock, size)), &std::free};
}

int Write(const char* path, std::size_t mebibytes) {
    const int fd = ::open(path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) {
        return Fail("cannot create", path);
    }
    auto buffer = Buffer(kChunk);
    std::mt19937_64 random(42);  // incompressible, in case anything below ever compresses
    for (std::size_t i = 0; i < kChunk / 8; ++i) {
        reinterpret_cast<std::uint64_t*>(buffer.get())[i] = random();
    }
    const auto start = Clock::now();
    for (std::size_t i = 0; i < mebibytes; ++i) {
        buffer.get()[0] = static_cast<char>(i);
        const ssize_t written = ::write(fd, buffer.get(), kChunk);
        if (written != static_cast<ssize_t>(kChunk)) {
            return written < 0 ? Fail("cannot write", path) : Short("wrote", path);
        }
    }
    if (::fsync(fd) != 0) {
        return Fail("cannot flush", path);
    }
    const double seconds = SecondsSince(start);
    ::close(fd);
    std::printf("%.1f\n", static_cast<double>(mebibytes * kChunk) / 1e6 / seconds);
    return 0;
}

int Read(const char* path) {
    const int fd = ::open(path, O_RDONLY);
    if (fd < 0) {
        return Fail("cannot open", path);
    }
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    auto buffer = Buffer(kChunk);
    std::size_t total = 0;
    const auto start = Clock::now();
    for (;;) {
        const ssize_t got = ::read(fd, buffer.get(), kChunk);
        if (got < 0) {
            return Fail("cannot read", path);
        }
        if (got == 0) {
            break;
        }
        total += static_cast<std::size_t>(got);
    }
    const double seconds = SecondsSince(start);
    ::close(fd);
    std::printf("%.1f\n", static_cast<double>(total) / 1e6 / seconds);
    return 0;
}

// O_DIRECT where the file system takes it; otherwise the caches the script dropped and no
// read-ahead, and since no offset repeats, every read still reaches the disk below.
int Random(const char* path, std::size_t count) {
    int fd = ::open(path, O_RDONLY | O_DIRECT);
    if (fd < 0) {
        fd = ::open(path, O_RDONLY);
    }
    if (fd < 0) {
        return Fail("cannot open", path);
    }
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_RANDOM);
    struct stat status {};
    ::fstat(fd, &status);
    std::vector<std::size_t> blocks(static_cast<std::size_t>(status.st_size) / kBlock);
    std::iota(blocks.begin(), blocks.end(), std::size_t{0});
    std::shuffle(blocks.begin(), blocks.end(), std::mt19937_64(7));
    blocks.resize(std::min(count, blocks.size()));
    auto buffer = Buffer(kBlock);
    const auto start = Clock::now();
    for (const std::size_t block : blocks) {
        const ssize_t got = ::pread(fd, buffer.get(), kBlock, static_cast<off_t>(block * kBlock));
        if (got != static_cast<ssize_t>(kBlock)) {
            return got < 0 ? Fail("cannot read", path) : Short("read", path);
        }
    }
    const double seconds = SecondsSince(start);
    ::close(fd);
    std::printf("%.0f\n", static_cast<double>(blocks.size()) / seconds);
    return 0;
}

int Usage() {
    std::fputs("usage: disk_io write FILE MIB | read FILE | random FILE COUNT | cipher\n", stderr);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string command = argc > 1 ? argv[1] : "";
    if (command == "write" && argc == 4) {
        return Write(argv[2], std::strtoull(argv[3], nullptr, 10));
    }
    if (command == "read" && argc == 3) {
        return Read(argv[2]);
    }
    if (command == "random" && argc == 4) {
        return Random(argv[2], std::strtoull(argv[3], nullptr, 10));
    }
    if (command == "cipher" && argc == 2) {
        std::printf("sector cipher %s, SHA-1 %s\n", vdformat::CipherImplementationName(),
                    vdformat::Sha1ImplementationName());
        return 0;
    }
    return Usage();
}
