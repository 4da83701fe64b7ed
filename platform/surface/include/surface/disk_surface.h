#pragma once

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
    std::vector<std::string> DeviceNames() const;
    // Open files of the device's surface file (by any process).
    int OpenCount(std::string_view name) const;

    const std::filesystem::path& Root() const;
    std::filesystem::path DevicePath(std::string_view name) const;

    struct State;  // the implementation's

private:
    std::unique_ptr<State> state_;
};

// Unmounts whatever is mounted at <root>/dev and below <root>/mnt, and kills the ntfs-3g processes
// that served volumes of that root's surface. Returns false when a mount could not be removed.
bool CleanStaleMounts(const std::filesystem::path& root);

}  // namespace surface
