// Passwords and key material after they were used, looked for the way an attacker who can read
// a process's memory would: every readable mapping of the kernel daemon and of the client (this
// program, which runs the controller in-process) is searched through /proc/PID/mem.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>
#include <windows.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "booted_system.h"
#include "controller/kv_operations.h"

namespace {

using system_test::BootedSystem;

// The secrets exist in this program only masked, so that searching its own memory cannot find
// the test's own needles; the plain text is made for each call and wiped right after it.
constexpr unsigned char kMask = 0xA5;

template <std::size_t N>
struct Masked {
    std::array<unsigned char, N - 1> bytes{};
    consteval explicit Masked(const char (&text)[N]) {
        for (std::size_t i = 0; i + 1 < N; ++i) {
            bytes[i] = static_cast<unsigned char>(text[i]) ^ kMask;
        }
    }
};

constexpr Masked kFirstPassword("Harbor-Alpha-Secret-7391");
constexpr Masked kSecondPassword("Lock-Bravo-Changed-2846");
constexpr Masked kKeyMaterial("Key-Material-Gamma-5521-of-the-new-disk");

// A secret in plain text for one call; wiped when it goes.
class Plain {
public:
    template <std::size_t N>
    explicit Plain(const Masked<N>& secret) {
        for (std::size_t i = 0; i < secret.bytes.size(); ++i) {
            text_[i] = static_cast<char>(secret.bytes[i] ^ kMask);
        }
    }
    ~Plain() { SecureZeroMemory(text_, sizeof(text_)); }
    Plain(const Plain&) = delete;
    Plain& operator=(const Plain&) = delete;
    char* get() { return text_; }

private:
    char text_[64] = {};
};

// What is searched for: a masked run of bytes.
struct Needle {
    const char* what;
    std::vector<unsigned char> masked;
};

// The start and the end of each secret, so that a partial copy is found too.
template <std::size_t N>
void AddNeedles(std::vector<Needle>& needles, const char* what, const Masked<N>& secret) {
    constexpr std::size_t kRun = 16;
    static_assert(N - 1 >= kRun);
    const auto& b = secret.bytes;
    needles.push_back({what, {b.begin(), b.begin() + kRun}});
    needles.push_back({what, {b.end() - kRun, b.end()}});
}

std::size_t CountIn(const unsigned char* data, std::size_t size, const Needle& needle) {
    const std::size_t length = needle.masked.size();
    const unsigned char first = needle.masked[0] ^ kMask;
    std::size_t hits = 0;
    for (std::size_t at = 0; at + length <= size;) {
        const void* found = std::memchr(data + at, first, size - length + 1 - at);
        if (found == nullptr) {
            break;
        }
        at = static_cast<const unsigned char*>(found) - data;
        std::size_t i = 1;
        while (i < length && (data[at + i] ^ kMask) == needle.masked[i]) {
            ++i;
        }
        hits += i == length ? 1 : 0;
        ++at;
    }
    return hits;
}

struct Region {
    std::uintptr_t begin = 0;
    std::uintptr_t end = 0;
    std::string name;
};

std::vector<Region> ReadableRegions(pid_t pid) {
    // The sanitisers reserve shadow areas of terabytes that never hold program data.
    constexpr std::uintptr_t kLargest = std::uintptr_t{1} << 32;
    std::vector<Region> regions;
    std::ifstream maps("/proc/" + std::to_string(pid) + "/maps");
    std::string line;
    while (std::getline(maps, line)) {
        std::istringstream fields(line);
        std::string range, permissions, offset, device, inode, name;
        fields >> range >> permissions >> offset >> device >> inode;
        std::getline(fields >> std::ws, name);
        Region region;
        region.begin = std::stoull(range.substr(0, range.find('-')), nullptr, 16);
        region.end = std::stoull(range.substr(range.find('-') + 1), nullptr, 16);
        region.name = name;
        if (permissions[0] != 'r' || region.end - region.begin > kLargest || name == "[vvar]" ||
            name == "[vsyscall]") {
            continue;
        }
        regions.push_back(region);
    }
    return regions;
}

// How often each needle occurs in the memory of `pid`, with where, for the message.
std::string Scan(pid_t pid, const std::vector<Needle>& needles, std::size_t& scannedBytes) {
    const int mem = ::open(("/proc/" + std::to_string(pid) + "/mem").c_str(), O_RDONLY);
    if (mem < 0) {
        return "cannot open the memory of " + std::to_string(pid);
    }
    std::size_t overlap = 0;
    for (const Needle& needle : needles) {
        overlap = std::max(overlap, needle.masked.size() - 1);
    }
    constexpr std::size_t kChunk = 1 << 20;
    std::vector<unsigned char> buffer(kChunk + overlap);
    std::ostringstream report;
    scannedBytes = 0;
    for (const Region& region : ReadableRegions(pid)) {
        std::size_t carried = 0;
        for (std::uintptr_t at = region.begin; at < region.end;) {
            const std::size_t want = std::min<std::uintptr_t>(kChunk, region.end - at);
            const ssize_t got = ::pread(mem, buffer.data() + carried, want, static_cast<off_t>(at));
            if (got <= 0) {
                break;  // a guard page or a mapping that went away meanwhile
            }
            const std::size_t size = carried + static_cast<std::size_t>(got);
            for (const Needle& needle : needles) {
                if (const std::size_t hits = CountIn(buffer.data(), size, needle)) {
                    report << needle.what << " x" << hits << " near 0x" << std::hex << at
                           << std::dec << " in '" << region.name << "'; ";
                }
            }
            scannedBytes += static_cast<std::size_t>(got);
            carried = std::min(overlap, size);
            std::memmove(buffer.data(), buffer.data() + size - carried, carried);
            at += static_cast<std::uintptr_t>(got);
        }
    }
    SecureZeroMemory(buffer.data(), buffer.size());
    ::close(mem);
    return report.str();
}

TEST(Secrets, NoPasswordOrKeyMaterialStaysInTheDaemonOrTheClient) {
    BootedSystem system;
    constexpr char kFile[] = "C:\\secrets.vd";
    constexpr LONGLONG kDiskBytes = 1 << 20;
    {
        KvOperations kv;
        {
            Plain material(kKeyMaterial);
            Plain password(kFirstPassword);
            ASSERT_EQ(kv.CreateCryptedDisk('S', kDiskBytes, kFile, material.get(), password.get()),
                      S_OK);
        }
        ASSERT_EQ(kv.UmountDisk('S', 1), S_OK);
        {
            Plain password(kFirstPassword);
            ASSERT_EQ(kv.OpenCryptedDisk('S', kFile, password.get()), S_OK);
        }
        ASSERT_EQ(kv.UmountDisk('S', 1), S_OK);
        {
            Plain oldPassword(kFirstPassword);
            Plain newPassword(kSecondPassword);
            ASSERT_EQ(kv.ChangePassword('S', kFile, oldPassword.get(), newPassword.get()), S_OK);
        }
        {
            // The old password no longer opens it; the refusal is a path of its own.
            Plain password(kFirstPassword);
            ASSERT_EQ(kv.OpenCryptedDisk('S', kFile, password.get()), KV_E_WRONG_PASSWORD);
        }
        {
            Plain password(kSecondPassword);
            ASSERT_EQ(kv.OpenCryptedDisk('S', kFile, password.get()), S_OK);
        }
        ASSERT_EQ(kv.UmountDisk('S', 1), S_OK);
    }

    std::vector<Needle> needles;
    AddNeedles(needles, "first password", kFirstPassword);
    AddNeedles(needles, "second password", kSecondPassword);
    AddNeedles(needles, "key material", kKeyMaterial);
    std::size_t scanned = 0;
    EXPECT_EQ(Scan(system.pid(), needles, scanned), "") << "in the kernel daemon";
    EXPECT_GT(scanned, std::size_t{1} << 20);  // the scan did read the daemon's memory
    EXPECT_EQ(Scan(::getpid(), needles, scanned), "") << "in the client";
    EXPECT_GT(scanned, std::size_t{1} << 20);
}

// The scan itself finds a secret that is there, and no more once it is wiped.
TEST(Secrets, TheMemoryScanFindsASecretThatIsThere) {
    std::vector<Needle> needles;
    AddNeedles(needles, "first password", kFirstPassword);
    Plain password(kFirstPassword);
    std::size_t scanned = 0;
    EXPECT_NE(Scan(::getpid(), needles, scanned), "");
    SecureZeroMemory(password.get(), 64);
    EXPECT_EQ(Scan(::getpid(), needles, scanned), "");
}

}  // namespace
