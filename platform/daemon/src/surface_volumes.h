// The volumes of the kernel's disk devices on the host: each disk device is a file of the FUSE
// surface at <root>/dev, and the file system on a bound letter is mounted with ntfs-3g.
#pragma once

#include <map>
#include <memory>
#include <string>

#include "kernel/kernel.h"
#include "surface/disk_surface.h"
#include "surface/mount_manager.h"
#include "volumes.h"

namespace hl::daemon {

class SurfaceVolumes : public Volumes {
public:
    // Starts the surface (cleaning up after a daemon that was killed) and serves every disk
    // device the kernel has; nullptr when the surface cannot be started.
    static std::unique_ptr<SurfaceVolumes> Start(const std::filesystem::path& root,
                                                 hl::kernel::Kernel& kernel, std::string& error);
    ~SurfaceVolumes() override;

    void LetterBound(char letter, const std::u16string& deviceName) override;
    void LetterRemoved(char letter) override;
    void DeviceRequestCompleted(PDEVICE_OBJECT device) override;
    NTSTATUS HostPath(char letter, std::string& path) override;
    NTSTATUS Lock(char letter, pid_t requester) override;
    NTSTATUS Dismount(char letter) override;
    NTSTATUS Unlock(char letter) override;
    NTSTATUS Format(char letter, pid_t requester, const std::string& label,
                    std::string& reason) override;
    std::vector<std::string> Describe() override;

    surface::MountManager& mounts() { return *mounts_; }

private:
    SurfaceVolumes(hl::kernel::Kernel& kernel, std::filesystem::path root);
    hl::kernel::Kernel& kernel_;
    std::unique_ptr<surface::DiskSurface> surface_;
    std::unique_ptr<surface::MountManager> mounts_;
    std::map<PDEVICE_OBJECT, std::string> surfaceNames_;  // set at start, read-only after
};

}  // namespace hl::daemon
