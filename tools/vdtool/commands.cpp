#include "commands.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "container_file.h"
#include "format/secure_wipe.h"
#include "format/unit_cipher.h"
#include "password.h"

namespace vdtool {
namespace {

using vdformat::HeaderOutcome;
using vdformat::HeaderResult;
using vdformat::KeySchedule;
using vdformat::kSectorBytes;

constexpr std::size_t kChunkSectors = 256;  // 1 MiB a transfer

int Fail(const std::string& message) {
    std::fprintf(stderr, "vdtool: %s\n", message.c_str());
    return kExitFailure;
}

int Report(const HeaderOutcome& outcome, const std::string& path) {
    switch (outcome.result) {
        case HeaderResult::Ok:
            return kExitOk;
        case HeaderResult::WrongPassword:
            std::fprintf(stderr, "vdtool: %s: wrong password\n", path.c_str());
            return kExitWrongPassword;
        case HeaderResult::InsufficientResources:
            return Fail("out of memory");
        case HeaderResult::WriteFailed:
            return Fail(path +
                        ": writing the header failed: " + std::strerror(outcome.writeStatus));
    }
    return kExitFailure;
}

// An open container whose data key is known, wiped when done.
struct UnlockedContainer {
    ContainerFile file;
    KeySchedule dataKey{};
    unsigned salt = 0;
    ~UnlockedContainer() { vdformat::SecureWipeObject(dataKey); }
};

int Unlock(const std::string& path, bool writable, const std::string& passwordFile,
           UnlockedContainer& container) {
    std::string error;
    if (!container.file.Open(path, writable, error)) {
        return Fail(error);
    }
    Password password;
    if (!ReadPassword({passwordFile, false, "Password: "}, password, error)) {
        return Fail(error);
    }
    const HeaderOutcome outcome =
        vdformat::OpenHeader(container.file, password.Key(), container.dataKey);
    container.salt = outcome.salt;
    return Report(outcome, path);
}

bool WriteAllTo(int fd, const std::uint8_t* data, std::size_t length) {
    while (length > 0) {
        const ssize_t written = ::write(fd, data, length);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return false;
        }
        data += written;
        length -= static_cast<std::size_t>(written);
    }
    return true;
}

// Reads until `length` bytes or the end of input; returns the count read, or -1 on error.
long long ReadUpTo(int fd, std::uint8_t* data, std::size_t length) {
    std::size_t done = 0;
    while (done < length) {
        const ssize_t got = ::read(fd, data + done, length - done);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            return -1;
        }
        if (got == 0) {
            break;
        }
        done += static_cast<std::size_t>(got);
    }
    return static_cast<long long>(done);
}

class Progress {
public:
    Progress(const char* what, std::uint64_t total)
        : what_(what), total_(total), shown_(::isatty(STDERR_FILENO) != 0) {}
    void Advance(std::uint64_t done) {
        const unsigned percent = total_ == 0 ? 100 : static_cast<unsigned>(100 * done / total_);
        if (shown_ && percent != last_) {
            std::fprintf(stderr, "\r%s: %3u%%", what_, percent);
            last_ = percent;
        }
    }
    ~Progress() {
        if (shown_) {
            std::fputc('\n', stderr);
        }
    }

private:
    const char* what_;
    std::uint64_t total_;
    bool shown_;
    unsigned last_ = 1000;
};

// Deciphers sectors [first, first + count) to `fd`.
int CopyOut(UnlockedContainer& c, std::uint64_t first, std::uint64_t count, int fd,
            const char* what) {
    std::vector<std::uint8_t> buffer(kChunkSectors * kSectorBytes);
    Progress progress(what, count);
    for (std::uint64_t done = 0; done < count;) {
        const std::size_t sectors =
            static_cast<std::size_t>(std::min<std::uint64_t>(kChunkSectors, count - done));
        const std::size_t bytes = sectors * kSectorBytes;
        if (!c.file.ReadAt(vdformat::kDataAreaOffset + (first + done) * kSectorBytes, buffer.data(),
                           bytes)) {
            return Fail("reading the container failed");
        }
        vdformat::DecipherSectors(std::span(buffer.data(), bytes), c.dataKey);
        if (!WriteAllTo(fd, buffer.data(), bytes)) {
            vdformat::SecureWipe(buffer.data(), buffer.size());
            return Fail(std::string("writing the output failed: ") + std::strerror(errno));
        }
        done += sectors;
        progress.Advance(done);
    }
    vdformat::SecureWipe(buffer.data(), buffer.size());
    return kExitOk;
}

// Enciphers whole sectors from `fd` into the container from sector `first` on, at most `limit`.
int CopyIn(UnlockedContainer& c, std::uint64_t first, std::uint64_t limit, int fd,
           std::uint64_t expectedBytes, const char* what) {
    std::vector<std::uint8_t> buffer(kChunkSectors * kSectorBytes);
    Progress progress(what, expectedBytes / kSectorBytes);
    std::uint64_t done = 0;
    while (true) {
        const long long got = ReadUpTo(fd, buffer.data(), buffer.size());
        if (got < 0) {
            return Fail(std::string("reading the input failed: ") + std::strerror(errno));
        }
        if (got == 0) {
            break;
        }
        const auto bytes = static_cast<std::size_t>(got);
        if (bytes % kSectorBytes != 0) {
            return Fail(
                "the input is not a whole number of 4096-byte sectors; nothing after sector " +
                std::to_string(first + done) + " was written");
        }
        const std::uint64_t sectors = bytes / kSectorBytes;
        if (done + sectors > limit) {
            return Fail(
                "the input is larger than the room in the container; nothing after sector " +
                std::to_string(first + done) + " was written");
        }
        vdformat::EncipherSectors(std::span(buffer.data(), bytes), c.dataKey);
        if (c.file.WriteAt(vdformat::kDataAreaOffset + (first + done) * kSectorBytes, buffer.data(),
                           bytes) != 0) {
            return Fail(std::string("writing the container failed: ") + std::strerror(errno));
        }
        done += sectors;
        progress.Advance(done);
    }
    vdformat::SecureWipe(buffer.data(), buffer.size());
    return kExitOk;
}

bool FillRandom(std::uint8_t* data, std::size_t length) {
    while (length > 0) {
        const ssize_t got = ::getrandom(data, length, 0);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return false;
        }
        data += got;
        length -= static_cast<std::size_t>(got);
    }
    return true;
}

// Closes a descriptor that the command opened itself.
struct OwnedFd {
    int fd = -1;
    ~OwnedFd() {
        if (fd >= 0) {
            ::close(fd);
        }
    }
};

}  // namespace

int RunCreate(const Options& o) {
    const std::string& path = o.operands[0];
    if (!o.size) {
        return Fail("create needs --size BYTES");
    }
    if (*o.size == 0 || *o.size % vdformat::kSizeGranule != 0) {
        return Fail("the size " + std::to_string(*o.size) +
                    " is not a positive multiple of 262,144 bytes");
    }
    Password password;
    std::string error;
    if (!ReadPassword({o.passwordFile, true, "New password: "}, password, error)) {
        return Fail(error);
    }
    ContainerFile file;
    if (!file.Create(path, *o.size, error)) {
        return Fail(error);
    }
    std::array<std::uint8_t, vdformat::kKeyMaterialBytes> material{};
    vdformat::WipeOnExit wipeMaterial(material);
    if (!FillRandom(material.data(), material.size())) {
        file.Discard();
        return Fail("the system's random source failed");
    }
    KeySchedule dataKey{};
    vdformat::WipeOnExit wipeKey(dataKey);
    const HeaderOutcome outcome =
        vdformat::CreateHeader(file, vdformat::KeyMaterial(material), password.Key(), dataKey);
    if (outcome.result != HeaderResult::Ok) {
        file.Discard();
        return Report(outcome, path);
    }
    std::printf("%s: created, %llu bytes of data (%llu sectors), header salt %u\n", path.c_str(),
                static_cast<unsigned long long>(file.DataBytes()),
                static_cast<unsigned long long>(file.SectorCount()), outcome.salt);
    if (file.Sparse()) {
        std::printf("%s: the file is sparse: its data area takes disk space only as it is "
                    "written, and writes fail when the disk is full\n",
                    path.c_str());
    }
    return kExitOk;
}

int RunCheck(const Options& o) {
    UnlockedContainer c;
    const int result = Unlock(o.operands[0], false, o.passwordFile, c);
    if (result == kExitOk) {
        std::printf("%s: the password is right (header salt %u); %llu bytes of data\n",
                    o.operands[0].c_str(), c.salt,
                    static_cast<unsigned long long>(c.file.DataBytes()));
    }
    return result;
}

int RunPasswd(const Options& o) {
    const std::string& path = o.operands[0];
    ContainerFile file;
    std::string error;
    if (!file.Open(path, true, error)) {
        return Fail(error);
    }
    Password oldPassword;
    Password newPassword;
    if (!ReadPassword({o.passwordFile, false, "Current password: "}, oldPassword, error) ||
        !ReadPassword({o.newPasswordFile, true, "New password: "}, newPassword, error)) {
        return Fail(error);
    }
    KeySchedule dataKey{};
    vdformat::WipeOnExit wipeKey(dataKey);
    const HeaderOutcome outcome =
        vdformat::ChangeHeader(file, oldPassword.Key(), newPassword.Key(), dataKey);
    if (outcome.result == HeaderResult::Ok) {
        std::printf("%s: password changed (header salt %u)\n", path.c_str(), outcome.salt);
    }
    return Report(outcome, path);
}

int RunRead(const Options& o) {
    if (!o.sector) {
        return Fail("read needs --sector K");
    }
    UnlockedContainer c;
    if (const int result = Unlock(o.operands[0], false, o.passwordFile, c); result != kExitOk) {
        return result;
    }
    const std::uint64_t count = o.count.value_or(1);
    if (*o.sector >= c.file.SectorCount() || count > c.file.SectorCount() - *o.sector) {
        return Fail("sectors " + std::to_string(*o.sector) + " to " +
                    std::to_string(*o.sector + count - 1) + " lie beyond the last sector, " +
                    std::to_string(c.file.SectorCount() - 1));
    }
    return CopyOut(c, *o.sector, count, STDOUT_FILENO, "read");
}

int RunWrite(const Options& o) {
    if (!o.sector) {
        return Fail("write needs --sector K");
    }
    UnlockedContainer c;
    if (const int result = Unlock(o.operands[0], true, o.passwordFile, c); result != kExitOk) {
        return result;
    }
    if (*o.sector >= c.file.SectorCount()) {
        return Fail("sector " + std::to_string(*o.sector) + " lies beyond the last sector, " +
                    std::to_string(c.file.SectorCount() - 1));
    }
    return CopyIn(c, *o.sector, c.file.SectorCount() - *o.sector, STDIN_FILENO, 0, "write");
}

int RunExport(const Options& o) {
    UnlockedContainer c;
    if (const int result = Unlock(o.operands[0], false, o.passwordFile, c); result != kExitOk) {
        return result;
    }
    const std::string& output = o.operands[1];
    OwnedFd out{::open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600)};
    if (out.fd < 0) {
        return Fail(output + ": " + std::strerror(errno));
    }
    struct stat status {};
    const bool regular = ::fstat(out.fd, &status) == 0 && S_ISREG(status.st_mode);
    const int result = CopyOut(c, 0, c.file.SectorCount(), out.fd, "export");
    if (result != kExitOk && regular) {
        // Half an image of plaintext is of no use and should not lie about.
        ::unlink(output.c_str());
        std::fprintf(stderr, "vdtool: %s removed\n", output.c_str());
    }
    return result;
}

int RunImport(const Options& o) {
    OwnedFd in{::open(o.operands[1].c_str(), O_RDONLY | O_CLOEXEC)};
    if (in.fd < 0) {
        return Fail(o.operands[1] + ": " + std::strerror(errno));
    }
    const off_t inputBytes = ::lseek(in.fd, 0, SEEK_END);
    ::lseek(in.fd, 0, SEEK_SET);
    UnlockedContainer c;
    if (const int result = Unlock(o.operands[0], true, o.passwordFile, c); result != kExitOk) {
        return result;
    }
    if (inputBytes >= 0 && static_cast<std::uint64_t>(inputBytes) > c.file.DataBytes()) {
        return Fail(o.operands[1] + " holds " + std::to_string(inputBytes) +
                    " bytes, more than the container's " + std::to_string(c.file.DataBytes()));
    }
    if (inputBytes >= 0 && inputBytes % static_cast<off_t>(kSectorBytes) != 0) {
        return Fail(o.operands[1] + " is not a whole number of 4096-byte sectors");
    }
    return CopyIn(c, 0, c.file.SectorCount(), in.fd,
                  static_cast<std::uint64_t>(std::max<off_t>(inputBytes, 0)), "import");
}

}  // namespace vdtool
