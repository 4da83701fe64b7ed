// The kernel of a system hosted inside the calling process, for tests that need no daemon, no
// FUSE and no root: the system's drivers load as the daemon loads them, and this process's Win32
// calls (CreateFileA, DeviceIoControl, DefineDosDeviceA, QueryDosDeviceA, ...) reach it directly,
// as requests of the kernel protocol answered by a session of its own. Disk volumes stay raw:
// no file system is mounted on them.
#pragma once

#include <filesystem>
#include <memory>
#include <string>

namespace hl::kernel {
class Kernel;
}

namespace hl::daemon {

class SystemDaemon;

class DirectKernelHost {
public:
    // Boots the kernel of the system at `root` (a drive_c and a registry folder at least), loads
    // the drivers its service keys start with the system and points this process's Win32 calls
    // at it. nullptr, with `error` saying why, when the system cannot boot. One host per process
    // at a time.
    static std::unique_ptr<DirectKernelHost> Boot(const std::filesystem::path& root,
                                                  std::string& error);
    // Win32 calls go back to the daemon's socket (handles of this kernel die), then the kernel
    // unloads its drivers and shuts down.
    ~DirectKernelHost();
    DirectKernelHost(const DirectKernelHost&) = delete;
    DirectKernelHost& operator=(const DirectKernelHost&) = delete;

    hl::kernel::Kernel& kernel();

private:
    explicit DirectKernelHost(std::unique_ptr<SystemDaemon> system);
    std::unique_ptr<SystemDaemon> system_;
};

}  // namespace hl::daemon
