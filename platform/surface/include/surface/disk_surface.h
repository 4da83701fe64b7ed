#pragma once

#include <sys/types.h>

#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "surface/block_device.h"

namespace surface {

enum class SurfaceResult {
    Ok,
    AlreadyRunning,
    NotRunning,
    MountFailed,
    InvalidName,
    NameInUse,
    NotFound,
};

// The FUSE file system at <root>/dev: one regular file per registered disk device. Its requests are
// served by worker threads of the calling process.
class DiskSurface {
public:
    explicit DiskSurface(std::filesystem::path root);
    ~DiskSurface();  // stops
    DiskSurface(const DiskSurface&) = delete;
    DiskSurface& operator=(const DiskSurface&) = delete;

    // Cleans up mounts left under <root> by a killed owner, then mounts <root>/dev.
    SurfaceResult Start();
    // Unmounts <root>/dev after the workers have finished their requests. Volumes mounted from the
    // surface files must have been dismounted first.
    void Stop();
    bool Running() const;

    SurfaceResult AddDevice(std::shared_ptr<BlockDevice> device);
    // Waits for the device's requests in flight; later requests on open files fail with ENXIO.
    SurfaceResult RemoveDevice(std::string_view name);
    std::shared_ptr<BlockDevice> Find(std::string_view name) const;
    // The surface serves a device by the state it learned of it (length, write protection, owner)
    // and learns it anew only here, when the device's media may have changed, and when a request
    // meets a media change. NotFound for an unknown device.
    SurfaceResult Refresh(std::string_view name);
    // What the surface last learned of the device; no media for an unknown one.
    DeviceState KnownState(std::string_view name) const;
    std::vector<std::string> DeviceNames() const;
    // Open files of the device's surface file (by any process).
    int OpenCount(std::string_view name) const;

    const std::filesystem::path& Root() const;
    std::filesystem::path DevicePath(std::string_view name) const;

    struct State;  // the implementation's

private:
    std::unique_ptr<State> state_;
};

// What a killed owner of a surface can leave behind: the ntfs-3g processes that served volumes of
// the root's surface, and the mounts at <root>/dev and below <root>/mnt.
struct StaleMounts {
    std::vector<pid_t> servers;
    std::vector<std::string> mountPoints;
    bool empty() const { return servers.empty() && mountPoints.empty(); }
};
StaleMounts FindStaleMounts(const std::filesystem::path& root);

// Unmounts whatever is mounted at <root>/dev and below <root>/mnt, and kills the ntfs-3g processes
// that served volumes of that root's surface. Returns false when a mount could not be removed.
bool CleanStaleMounts(const std::filesystem::path& root);

}  // namespace surface
