#pragma once

#include <sys/types.h>

#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "surface/disk_surface.h"

namespace surface {

enum class VolumeResult {
    Ok,
    InvalidLetter,
    NotBound,
    AlreadyBound,
    DeviceNotFound,
    NoMedia,
    Raw,  // no NTFS file system on the device
    WriteProtected,
    InUse,  // another process has something open on the volume
    Locked,
    NotLocked,
    DeviceError,
    MountFailed,
    FormatFailed,
};

struct VolumeInfo {
    std::string device;
    bool mounted = false;
    bool readOnly = false;
    bool locked = false;
    pid_t lockOwner = 0;
};

// Drive letters bound to disk devices of a surface, and the ntfs-3g volumes mounted on them at
// <root>/mnt/<letter>. <root>/dosdevices/<letter>: always points at ../mnt/<letter>, which exists
// only while the volume is mounted.
class MountManager {
public:
    explicit MountManager(DiskSurface& surface);
    ~MountManager();  // dismounts every volume and removes the links
    MountManager(const MountManager&) = delete;
    MountManager& operator=(const MountManager&) = delete;

    // Binds the letter to the device. A device that already has media with a file system gets
    // it mounted at once, as Windows mounts a volume that arrives.
    VolumeResult Bind(char letter, std::string_view deviceName);
    VolumeResult Unbind(char letter);
    // The device's media may have changed (a request to it has completed): every letter bound
    // to it whose volume is neither mounted nor locked gets the file system the device now holds
    // mounted, so host programs see it without any use of the letter. A device without media or
    // without a file system stays as it is.
    void MediaChanged(std::string_view deviceName);
    // Mounts the letter's file system unless it is mounted already; call on first use of the
    // letter.
    VolumeResult EnsureMounted(char letter);
    VolumeResult Lock(char letter, pid_t requester);
    VolumeResult Dismount(char letter);
    VolumeResult Unlock(char letter);
    // Quick NTFS format (4096-byte sectors and clusters), then mounts the new file system. When
    // mkntfs fails, `reason` (if given) receives what it said.
    VolumeResult Format(char letter, pid_t requester, std::string_view label = {},
                        std::string* reason = nullptr);
    void DismountAll();

    std::optional<VolumeInfo> Query(char letter) const;
    std::filesystem::path MountPath(char letter) const;
    std::filesystem::path LinkPath(char letter) const;

private:
    struct Volume {
        std::string device;
        pid_t server = 0;  // ntfs-3g
        bool readOnly = false;
        bool locked = false;
        pid_t lockOwner = 0;
        bool shielded = false;  // an empty read-only file system covers the mount while locked
    };

    Volume* Find(char letter);
    // Runs `action(letter, volume)` on a bound letter's volume under the lock; InvalidLetter or
    // NotBound otherwise.
    template <class Action>
    VolumeResult OnVolume(char letter, Action action);
    void ForgetDeadServer(char letter, Volume& volume);
    // Mounts a volume that is neither mounted nor locked, when its device has a file system.
    void MountArrived(char letter, Volume& volume);
    bool MountedElsewhere(char letter, const Volume& volume) const;
    VolumeResult MountLocked(char letter, Volume& volume);
    VolumeResult DismountLocked(char letter, Volume& volume);
    bool InUseByOthers(char letter, const Volume& volume, pid_t requester) const;
    bool Flush(char letter) const;
    void Shield(char letter, Volume& volume);
    void Unshield(char letter, Volume& volume);

    DiskSurface& surface_;
    std::filesystem::path root_;
    mutable std::mutex mutex_;
    std::map<char, Volume> volumes_;
};

}  // namespace surface
