#include "system_daemon.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstring>

#include "kernel/text.h"
#include "kernel_session.h"
#include "leftovers.h"
#include "surface_volumes.h"

namespace hl::daemon {
namespace {

namespace fs = std::filesystem;

constexpr const char* kServicesKey = "SYSTEM\\CurrentControlSet\\Services";
constexpr std::uint32_t kKernelDriver = 1;
constexpr std::uint32_t kLastSystemStart = 2;  // boot, system and automatic starts

using hl::kernel::Utf16ToUtf8;

std::u16string AsciiToUtf16(std::string_view text) {
    return hl::kernel::Utf8ToUtf16(text);
}

bool ReadDword(registry::Store& store, const registry::KeyPath& key, const char* name,
               std::uint32_t& value) {
    std::uint32_t type = 0;
    std::vector<std::uint8_t> data;
    if (store.QueryValue(registry::Caller{}, key, name, type, data) != registry::Result::Ok ||
        type != registry::kRegDword || data.size() != sizeof(value)) {
        return false;
    }
    std::memcpy(&value, data.data(), sizeof(value));
    return true;
}

char Upper(char c) {
    return static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
}

}  // namespace

SystemDaemon::SystemDaemon(fs::path root)
    : root_(std::move(root)), volumes_(std::make_unique<NoVolumes>()) {}

SystemDaemon::~SystemDaemon() {
    Stop();
    if (lockFd_ >= 0) {
        ClearLockOwner(lockFd_);  // a lock file naming a process is one a kernel left behind
        ::close(lockFd_);
    }
}

char SystemDaemon::DriveLetterOf(std::u16string_view ntName) {
    if (ntName.size() == 6 && ntName.substr(0, 4) == u"\\??\\" && ntName[5] == u':' &&
        ntName[4] < 0x80 && std::isalpha(static_cast<int>(ntName[4]))) {
        return Upper(static_cast<char>(ntName[4]));
    }
    return 0;
}

bool SystemDaemon::TakeLock(std::string& error) {
    fs::create_directories(root_ / "run");
    lockFd_ = ::open((root_ / "run" / "kernel.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (lockFd_ < 0 || ::flock(lockFd_, LOCK_EX | LOCK_NB) != 0) {
        error = "another kernel already serves " + root_.string();
        if (lockFd_ >= 0) {
            ::close(lockFd_);  // the lock file is the other kernel's
            lockFd_ = -1;
        }
        return false;
    }
    const std::string pid = std::to_string(::getpid()) + "\n";
    (void)!::ftruncate(lockFd_, 0);
    (void)!::pwrite(lockFd_, pid.data(), pid.size(), 0);
    return true;
}

bool SystemDaemon::Boot(std::string& error, const BootOptions& options) {
    if (!fs::is_directory(root_ / "drive_c") || !fs::is_directory(root_ / "registry")) {
        error = root_.string() + " is not a system root (run hlsys init first)";
        return false;
    }
    if (!TakeLock(error)) {
        return false;
    }
    CleanLeftovers(root_);
    if (registry::Store::Open(root_ / "registry", store_) != registry::Result::Ok) {
        error = "the hives in " + (root_ / "registry").string() + " cannot be opened";
        return false;
    }
    hl::kernel::KernelConfig config;
    config.registry = store_.get();
    if (!NT_SUCCESS(hl::kernel::Kernel::Boot(config, kernel_))) {
        error = "the kernel did not boot";
        return false;
    }
    MapHostDrives();
    LoadSystemDrivers();
    std::string surfaceError;
    if (!options.surface) {
        // Volumes stay raw: a letter's file system is never mounted.
    } else if (auto surface = SurfaceVolumes::Start(root_, *kernel_, surfaceError)) {
        volumes_ = std::move(surface);
    } else {
        // The drivers still serve their devices; only their file systems stay out of reach.
        std::fprintf(stderr, "hlkernel: %s; volumes will not be mounted\n", surfaceError.c_str());
    }
    if (!options.listen) {
        return true;
    }
    server_ = std::make_unique<Server>(
        root_ / "run" / "kernel.sock",
        [this](const PeerIdentity& peer) { return std::make_unique<KernelSession>(*this, peer); });
    if (!server_->Listen()) {
        error = "cannot listen on " + (root_ / "run" / "kernel.sock").string() + ": " +
                std::strerror(errno);
        return false;
    }
    return true;
}

void SystemDaemon::MapHostDrives() {
    std::error_code ignored;
    fs::create_directories(root_ / "dosdevices", ignored);
    // Drive C: is the system's own fixed drive.
    const fs::path link = root_ / "dosdevices" / "c:";
    fs::remove(link, ignored);
    fs::create_directory_symlink("../drive_c", link, ignored);
    kernel_->MapDrive(u"C:", root_ / "drive_c");
    hostDrives_['C'] = root_ / "drive_c";
    for (const auto& server : fs::directory_iterator(root_ / "dosdevices" / "unc", ignored)) {
        for (const auto& share : fs::directory_iterator(server.path(), ignored)) {
            kernel_->AddShare(AsciiToUtf16(server.path().filename().string()),
                              AsciiToUtf16(share.path().filename().string()),
                              fs::canonical(share.path(), ignored));
        }
    }
}

void SystemDaemon::LoadSystemDrivers() {
    const registry::KeyPath services{registry::Root::LocalMachine, kServicesKey};
    std::string name;
    for (std::uint32_t index = 0;
         store_->EnumKey(registry::Caller{}, services, index, name) == registry::Result::Ok;
         ++index) {
        const registry::KeyPath service{registry::Root::LocalMachine,
                                        std::string(kServicesKey) + "\\" + name};
        std::uint32_t type = 0;
        std::uint32_t start = 0;
        if (!ReadDword(*store_, service, "Type", type) ||
            !ReadDword(*store_, service, "Start", start) || type != kKernelDriver ||
            start > kLastSystemStart) {
            continue;
        }
        const std::u16string serviceName = AsciiToUtf16(name);
        if (NT_SUCCESS(kernel_->LoadDriver(serviceName))) {
            loadedDrivers_.push_back(serviceName);
        }
    }
}

void SystemDaemon::Run() {
    if (server_) {
        server_->Run();
    }
}

void SystemDaemon::RequestStop() {
    if (server_) {
        server_->RequestStop();
    }
}

void SystemDaemon::Stop() {
    if (server_) {
        server_->Stop();
    }
    std::vector<char> letters;
    {
        std::lock_guard lock(letterMutex_);
        for (const auto& [letter, target] : boundLetters_) {
            letters.push_back(letter);
        }
        boundLetters_.clear();
        letterOwners_.clear();
    }
    for (char letter : letters) {
        volumes_->LetterRemoved(letter);
        RefreshDosDevicesLink(letter, false);
    }
    volumes_.reset();
    kernel_.reset();  // unloads the drivers
    server_.reset();
    store_.reset();
}

bool SystemDaemon::IsHostDrive(char letter) const {
    std::lock_guard lock(letterMutex_);
    return hostDrives_.count(Upper(letter)) != 0;
}

void SystemDaemon::RefreshDosDevicesLink(char letter, bool bound) {
    // The mount manager points the link at the mounted file system; here it only goes away.
    if (!bound) {
        std::error_code ignored;
        fs::remove(root_ / "dosdevices" / std::string{static_cast<char>(std::tolower(letter)), ':'},
                   ignored);
    }
}

NTSTATUS SystemDaemon::DefineDosDevice(std::uint32_t caller, std::uint32_t flags,
                                       const std::u16string& name, const std::u16string& target) {
    constexpr std::uint32_t kRawTargetPath = 0x1;
    constexpr std::uint32_t kRemoveDefinition = 0x2;
    constexpr std::uint32_t kExactMatchOnRemove = 0x4;
    const char letter = DriveLetterOf(u"\\??\\" + name);
    if (letter == 0) {
        return STATUS_OBJECT_NAME_INVALID;  // only drive letters are defined on this system
    }
    std::u16string linkName = u"\\??\\" + name;
    linkName[4] = static_cast<char16_t>(letter);
    UNICODE_STRING link;
    RtlInitUnicodeString(&link, reinterpret_cast<PCWSTR>(linkName.c_str()));

    std::unique_lock lock(letterMutex_);
    if (hostDrives_.count(letter) != 0) {
        return STATUS_ACCESS_DENIED;
    }
    const auto owner = letterOwners_.find(letter);
    if (caller != 0 && owner != letterOwners_.end() && owner->second != caller) {
        return STATUS_ACCESS_DENIED;
    }
    if ((flags & kRemoveDefinition) != 0) {
        const auto bound = boundLetters_.find(letter);
        if (bound == boundLetters_.end()) {
            return STATUS_OBJECT_NAME_NOT_FOUND;
        }
        if ((flags & kExactMatchOnRemove) != 0 && !target.empty() && target != bound->second) {
            return STATUS_OBJECT_NAME_NOT_FOUND;
        }
        boundLetters_.erase(bound);
        letterOwners_.erase(letter);
        const NTSTATUS status = IoDeleteSymbolicLink(&link);
        lock.unlock();
        volumes_->LetterRemoved(letter);
        RefreshDosDevicesLink(letter, false);
        return status;
    }
    if (target.empty()) {
        return STATUS_INVALID_PARAMETER;
    }
    if (boundLetters_.count(letter) != 0) {
        return STATUS_OBJECT_NAME_COLLISION;  // one definition per letter on this system
    }
    // Without the raw flag the target is a DOS path, which names an NT path under \??.
    const std::u16string ntTarget = (flags & kRawTargetPath) != 0 ? target : u"\\??\\" + target;
    UNICODE_STRING targetString;
    RtlInitUnicodeString(&targetString, reinterpret_cast<PCWSTR>(ntTarget.c_str()));
    const NTSTATUS status = IoCreateSymbolicLink(&link, &targetString);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    boundLetters_[letter] = ntTarget;
    letterOwners_[letter] = caller;
    lock.unlock();
    volumes_->LetterBound(letter, ntTarget);
    return STATUS_SUCCESS;
}

NTSTATUS SystemDaemon::QueryDosDevice(const std::u16string& name,
                                      std::vector<std::u16string>& names) {
    std::lock_guard lock(letterMutex_);
    names.clear();
    if (name.empty()) {
        for (const auto& [letter, folder] : hostDrives_) {
            names.push_back({static_cast<char16_t>(letter), u':'});
        }
        for (const auto& [letter, target] : boundLetters_) {
            names.push_back({static_cast<char16_t>(letter), u':'});
        }
        return STATUS_SUCCESS;
    }
    const char letter = DriveLetterOf(u"\\??\\" + name);
    if (letter != 0 && hostDrives_.count(letter) != 0) {
        // Host drives answer as the volumes Windows would name; their folders stay private.
        names.push_back(u"\\Device\\HarddiskVolume" + AsciiToUtf16(std::to_string(letter - 'B')));
        return STATUS_SUCCESS;
    }
    const auto bound = boundLetters_.find(letter);
    if (letter == 0 || bound == boundLetters_.end()) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    names.push_back(bound->second);
    return STATUS_SUCCESS;
}

std::vector<std::string> SystemDaemon::Status() {
    std::vector<std::string> lines;
    for (const auto& driver : loadedDrivers_) {
        lines.push_back("driver " + Utf16ToUtf8(driver));
    }
    {
        std::lock_guard lock(letterMutex_);
        for (const auto& [letter, folder] : hostDrives_) {
            lines.push_back(std::string("drive ") + letter + ": host folder " + folder.string());
        }
        for (const auto& [letter, target] : boundLetters_) {
            lines.push_back(std::string("drive ") + letter + ": " + Utf16ToUtf8(target));
        }
    }
    for (auto& line : volumes_->Describe()) {
        lines.push_back("volume " + line);
    }
    return lines;
}

}  // namespace hl::daemon
