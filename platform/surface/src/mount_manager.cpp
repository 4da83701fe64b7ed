#include "surface/mount_manager.h"

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <thread>

#include "host.h"

namespace surface {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr auto kMountTimeout = 30s;
constexpr auto kExitTimeout = 30s;
constexpr auto kTerminateGrace = 5s;
constexpr auto kReleaseTimeout = 10s;

std::optional<char> Normalize(char letter) {
    const char lower = static_cast<char>(std::tolower(static_cast<unsigned char>(letter)));
    if (lower < 'a' || lower > 'z') {
        return std::nullopt;
    }
    return lower;
}

std::string Program(std::initializer_list<const char*> candidates) {
    for (const char* candidate : candidates) {
        if (access(candidate, X_OK) == 0) {
            return candidate;
        }
    }
    return *candidates.begin();
}

// What mkntfs said, without its complaints that the device is a file, which it always makes:
// the lines that give the reason, joined.
std::string MkntfsReason(const std::string& said) {
    std::string reason;
    std::size_t start = 0;
    while (start < said.size()) {
        std::size_t end = said.find('\n', start);
        if (end == std::string::npos) {
            end = said.size();
        }
        const std::string line = said.substr(start, end - start);
        start = end + 1;
        if (line.empty() || line.ends_with(" is not a block device.") ||
            line == "mkntfs forced anyway.") {
            continue;
        }
        reason += (reason.empty() ? "" : " ") + line;
    }
    return reason;
}

bool HoldsNtfs(const std::array<unsigned char, kSectorSize>& sector) {
    const unsigned bytesPerSector = sector[11] | (sector[12] << 8);
    const bool sizeValid = bytesPerSector >= 256 && bytesPerSector <= 4096 &&
                           (bytesPerSector & (bytesPerSector - 1)) == 0;
    return std::memcmp(sector.data() + 3, "NTFS    ", 8) == 0 && sector[510] == 0x55 &&
           sector[511] == 0xAA && sizeValid;
}

bool IsBelow(const std::string& path, const std::string& folder) {
    return path.starts_with(folder) && (path.size() == folder.size() || path[folder.size()] == '/');
}

// Whether any path the process holds (open files, working and root folder, mapped files) lies on
// the volume.
bool ProcessUses(pid_t pid, const std::string& mountPath) {
    const fs::path process = "/proc/" + std::to_string(pid);
    for (const char* link : {"cwd", "root"}) {
        if (const auto target = host::ReadLink(process / link);
            target && IsBelow(*target, mountPath)) {
            return true;
        }
    }
    std::error_code error;
    for (const auto& fd : fs::directory_iterator(process / "fd", error)) {
        if (const auto target = host::ReadLink(fd.path()); target && IsBelow(*target, mountPath)) {
            return true;
        }
    }
    for (const auto& mapped : fs::directory_iterator(process / "map_files", error)) {
        if (const auto target = host::ReadLink(mapped.path());
            target && IsBelow(*target, mountPath)) {
            return true;
        }
    }
    return false;
}

bool Alive(pid_t child) {
    const auto status = host::WaitChild(child, 0ms);
    return !status.has_value();
}

// A FUSE mount whose server has gone answers ENOTCONN.
bool Serving(const fs::path& mountPath) {
    struct stat attributes {};
    return stat(mountPath.c_str(), &attributes) == 0 || errno != ENOTCONN;
}

}  // namespace

MountManager::MountManager(DiskSurface& surface)
    : surface_(surface), root_(host::Canonical(surface.Root())) {}

MountManager::~MountManager() {
    std::lock_guard lock(mutex_);
    for (auto& [letter, volume] : volumes_) {
        DismountLocked(letter, volume);
        unlink(LinkPath(letter).c_str());
    }
    volumes_.clear();
}

fs::path MountManager::MountPath(char letter) const {
    return root_ / "mnt" / std::string(1, Normalize(letter).value_or('?'));
}

fs::path MountManager::LinkPath(char letter) const {
    return root_ / "dosdevices" / (std::string(1, Normalize(letter).value_or('?')) + ":");
}

MountManager::Volume* MountManager::Find(char letter) {
    const auto found = volumes_.find(letter);
    return found == volumes_.end() ? nullptr : &found->second;
}

template <class Action>
VolumeResult MountManager::OnVolume(char letter, Action action) {
    const auto normalized = Normalize(letter);
    if (!normalized) {
        return VolumeResult::InvalidLetter;
    }
    std::lock_guard lock(mutex_);
    Volume* volume = Find(*normalized);
    if (!volume) {
        return VolumeResult::NotBound;
    }
    return action(*normalized, *volume);
}

VolumeResult MountManager::Bind(char letter, std::string_view deviceName) {
    const auto normalized = Normalize(letter);
    if (!normalized) {
        return VolumeResult::InvalidLetter;
    }
    std::lock_guard lock(mutex_);
    if (Find(*normalized)) {
        return VolumeResult::AlreadyBound;
    }
    if (!surface_.Find(deviceName)) {
        return VolumeResult::DeviceNotFound;
    }
    // The link dangles until the volume is mounted: paths on a raw or unmounted letter are not
    // found, and nothing written through them can land in the host folder.
    std::error_code error;
    fs::create_directories(root_ / "dosdevices", error);
    const fs::path link = LinkPath(*normalized);
    const fs::path staging = link.string() + ".new";
    unlink(staging.c_str());
    const std::string target = "../mnt/" + std::string(1, *normalized);
    if (symlink(target.c_str(), staging.c_str()) != 0 ||
        rename(staging.c_str(), link.c_str()) != 0) {
        unlink(staging.c_str());
        return VolumeResult::DeviceError;
    }
    const auto bound = volumes_.emplace(*normalized, Volume{.device = std::string(deviceName)});
    MountArrived(*normalized, bound.first->second);
    return VolumeResult::Ok;
}

void MountManager::MediaChanged(std::string_view deviceName) {
    surface_.Refresh(deviceName);
    std::lock_guard lock(mutex_);
    for (auto& [letter, volume] : volumes_) {
        if (volume.device == deviceName) {
            MountArrived(letter, volume);
        }
    }
}

// Raw volumes and devices without media are looked at again at the next change; a volume whose
// server has died is left to its next use.
void MountManager::MountArrived(char letter, Volume& volume) {
    if (volume.server == 0 && !volume.locked) {
        MountLocked(letter, volume);
    }
}

// Two servers on one device would each write it as if it were theirs alone.
bool MountManager::MountedElsewhere(char letter, const Volume& volume) const {
    for (const auto& [other, bound] : volumes_) {
        if (other != letter && bound.device == volume.device && bound.server != 0) {
            return true;
        }
    }
    return false;
}

VolumeResult MountManager::Unbind(char letter) {
    return OnVolume(letter, [&](char normalized, Volume& volume) -> VolumeResult {
        DismountLocked(normalized, volume);
        unlink(LinkPath(normalized).c_str());
        volumes_.erase(normalized);
        return VolumeResult::Ok;
    });
}

VolumeResult MountManager::EnsureMounted(char letter) {
    return OnVolume(letter, [&](char normalized, Volume& volume) -> VolumeResult {
        ForgetDeadServer(normalized, volume);
        if (volume.server != 0) {
            return VolumeResult::Ok;
        }
        if (volume.locked) {
            return VolumeResult::Locked;
        }
        return MountLocked(normalized, volume);
    });
}

// A volume whose ntfs-3g has died or stopped serving counts as not mounted.
void MountManager::ForgetDeadServer(char letter, Volume& volume) {
    if (volume.server == 0) {
        return;
    }
    const bool alive = Alive(volume.server);  // reaps it when it has died
    if (alive && Serving(MountPath(letter))) {
        return;
    }
    if (alive) {
        host::Terminate(volume.server, kTerminateGrace);
    }
    Unshield(letter, volume);
    volume.server = 0;
    umount2(MountPath(letter).c_str(), MNT_DETACH);
    rmdir(MountPath(letter).c_str());
}

VolumeResult MountManager::MountLocked(char letter, Volume& volume) {
    const auto device = surface_.Find(volume.device);
    if (!device) {
        return VolumeResult::DeviceNotFound;
    }
    if (MountedElsewhere(letter, volume)) {
        return VolumeResult::InUse;
    }
    DeviceState state = surface_.KnownState(volume.device);
    std::array<unsigned char, kSectorSize> boot{};
    IoResult read = IoResult::NoMedia;
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (!state.mediaPresent) {
            return VolumeResult::NoMedia;
        }
        if (state.length < kSectorSize) {
            return VolumeResult::Raw;
        }
        read = device->ReadSectors(0, boot.data(), boot.size());
        if (read != IoResult::MediaChanged) {
            break;
        }
        surface_.Refresh(volume.device);
        state = surface_.KnownState(volume.device);
    }
    switch (read) {
        case IoResult::Ok:
            break;
        case IoResult::NoMedia:
            return VolumeResult::NoMedia;
        default:
            return VolumeResult::DeviceError;
    }
    if (!HoldsNtfs(boot)) {
        return VolumeResult::Raw;
    }

    const fs::path mountPath = MountPath(letter);
    std::error_code error;
    if (host::IsMountPoint(mountPath)) {
        umount2(mountPath.c_str(), MNT_DETACH);
    }
    fs::create_directories(mountPath, error);
    // Served to every process, yet its files are the device owner's alone.
    std::string options = "no_detach,big_writes,allow_other,uid=" + std::to_string(state.ownerUid) +
                          ",gid=" + std::to_string(state.ownerGid) + ",umask=077";
    if (state.writeProtected) {
        options += ",ro";
    }
    const auto server = host::Spawn({Program({"/usr/bin/ntfs-3g", "/bin/ntfs-3g"}), "-o", options,
                                     (root_ / "dev" / volume.device).string(), mountPath.string()},
                                    host::Output::Silent);  // with no_detach it chats on stderr
    if (!server) {
        rmdir(mountPath.c_str());
        return VolumeResult::MountFailed;
    }
    const auto deadline = std::chrono::steady_clock::now() + kMountTimeout;
    while (!host::IsMountPoint(mountPath)) {
        if (!Alive(*server) || std::chrono::steady_clock::now() >= deadline) {
            host::Terminate(*server, kTerminateGrace);
            rmdir(mountPath.c_str());
            return VolumeResult::MountFailed;
        }
        std::this_thread::sleep_for(5ms);
    }
    volume.server = *server;
    volume.readOnly = state.writeProtected;
    return VolumeResult::Ok;
}

VolumeResult MountManager::Dismount(char letter) {
    return OnVolume(letter, [&](char normalized, Volume& volume) -> VolumeResult {
        return DismountLocked(normalized, volume);
    });
}

// Files still open lose their unwritten data, as on Windows: the mount is detached from the tree
// and ntfs-3g is told to finish.
VolumeResult MountManager::DismountLocked(char letter, Volume& volume) {
    const fs::path mountPath = MountPath(letter);
    Unshield(letter, volume);
    if (volume.server != 0) {
        if (umount2(mountPath.c_str(), 0) == 0) {
            if (!host::WaitChild(volume.server, kExitTimeout)) {
                host::Terminate(volume.server, kTerminateGrace);
            }
        } else {
            umount2(mountPath.c_str(), MNT_DETACH);
            host::Terminate(volume.server, kTerminateGrace);
        }
        volume.server = 0;
        const auto deadline = std::chrono::steady_clock::now() + kReleaseTimeout;
        while (surface_.OpenCount(volume.device) > 0 &&
               std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(2ms);
        }
    }
    volume.readOnly = false;
    rmdir(mountPath.c_str());
    return VolumeResult::Ok;
}

VolumeResult MountManager::Lock(char letter, pid_t requester) {
    return OnVolume(letter, [&](char normalized, Volume& volume) -> VolumeResult {
        if (volume.locked) {
            return VolumeResult::Locked;
        }
        ForgetDeadServer(normalized, volume);
        if (volume.server != 0) {
            if (InUseByOthers(normalized, volume, requester)) {
                return VolumeResult::InUse;
            }
            if (!Flush(normalized)) {
                return VolumeResult::DeviceError;
            }
        }
        // A locked volume is on disk: the device takes its writes to its own stable storage.
        if (const auto device = surface_.Find(volume.device)) {
            IoResult flushed = device->Flush();
            if (flushed == IoResult::MediaChanged) {
                surface_.Refresh(volume.device);
                flushed = device->Flush();
            }
            if (flushed == IoResult::DeviceError || flushed == IoResult::MediaChanged) {
                return VolumeResult::DeviceError;
            }
        }
        if (volume.server != 0) {
            Shield(normalized, volume);
        }
        volume.locked = true;
        volume.lockOwner = requester;
        return VolumeResult::Ok;
    });
}

VolumeResult MountManager::Unlock(char letter) {
    return OnVolume(letter, [&](char normalized, Volume& volume) -> VolumeResult {
        if (!volume.locked) {
            return VolumeResult::NotLocked;
        }
        Unshield(normalized, volume);
        volume.locked = false;
        volume.lockOwner = 0;
        return VolumeResult::Ok;
    });
}

bool MountManager::InUseByOthers(char letter, const Volume& volume, pid_t requester) const {
    const std::string mountPath = MountPath(letter).string();
    for (const pid_t pid : host::Processes()) {
        if (pid != requester && pid != volume.server && ProcessUses(pid, mountPath)) {
            return true;
        }
    }
    return false;
}

// ntfs-3g writes through to the surface when files close; the fsync asks it for the rest
// (inode and device sync) before the lock is granted.
bool MountManager::Flush(char letter) const {
    const int fd = open(MountPath(letter).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    fsync(fd);
    syncfs(fd);
    close(fd);
    return true;
}

// New opens by path find an empty, read-only folder; files already open stay usable. Without the
// shield (no tmpfs) the lock still holds, it just does not refuse opens.
void MountManager::Shield(char letter, Volume& volume) {
    const fs::path mountPath = MountPath(letter);
    volume.shielded = mount("hllocked", mountPath.c_str(), "tmpfs",
                            MS_RDONLY | MS_NOSUID | MS_NODEV | MS_NOEXEC, "mode=0555,size=4k") == 0;
}

void MountManager::Unshield(char letter, Volume& volume) {
    if (volume.shielded) {
        umount2(MountPath(letter).c_str(), MNT_DETACH);
        volume.shielded = false;
    }
}

VolumeResult MountManager::Format(char letter, pid_t requester, std::string_view label,
                                  std::string* reason) {
    return OnVolume(letter, [&](char normalized, Volume& volume) -> VolumeResult {
        if (volume.locked) {
            return VolumeResult::Locked;
        }
        const auto device = surface_.Find(volume.device);
        if (!device) {
            return VolumeResult::DeviceNotFound;
        }
        const DeviceState state = surface_.KnownState(volume.device);
        if (!state.mediaPresent) {
            return VolumeResult::NoMedia;
        }
        if (state.writeProtected) {
            return VolumeResult::WriteProtected;
        }
        if (MountedElsewhere(normalized, volume)) {
            return VolumeResult::InUse;
        }
        ForgetDeadServer(normalized, volume);
        if (volume.server != 0) {
            if (InUseByOthers(normalized, volume, requester)) {
                return VolumeResult::InUse;
            }
            DismountLocked(normalized, volume);
        }
        if (surface_.OpenCount(volume.device) > 0) {
            return VolumeResult::InUse;  // someone writes the raw device
        }
        std::vector<std::string> command = {
            Program({"/usr/sbin/mkntfs", "/sbin/mkntfs", "/usr/bin/mkntfs"}),
            "--quick",
            "--force",
            "--quiet",
            "--sector-size",
            "4096",
            "--cluster-size",
            "4096",
            "--partition-start",
            "0",
            "--heads",
            "0",
            "--sectors-per-track",
            "0"};
        if (!label.empty()) {
            command.insert(command.end(), {"--label", std::string(label)});
        }
        command.push_back(surface_.DevicePath(volume.device).string());
        std::string said;
        if (host::RunCapturing(command, said) != 0) {
            if (reason != nullptr) {
                *reason = MkntfsReason(said);
            }
            return VolumeResult::FormatFailed;
        }
        return MountLocked(normalized, volume);
    });
}

void MountManager::DismountAll() {
    std::lock_guard lock(mutex_);
    for (auto& [letter, volume] : volumes_) {
        DismountLocked(letter, volume);
    }
}

std::optional<VolumeInfo> MountManager::Query(char letter) const {
    const auto normalized = Normalize(letter);
    if (!normalized) {
        return std::nullopt;
    }
    std::lock_guard lock(mutex_);
    const auto found = volumes_.find(*normalized);
    if (found == volumes_.end()) {
        return std::nullopt;
    }
    const Volume& volume = found->second;
    return VolumeInfo{.device = volume.device,
                      .mounted = volume.server != 0,
                      .readOnly = volume.readOnly,
                      .locked = volume.locked,
                      .lockOwner = volume.lockOwner};
}

}  // namespace surface
