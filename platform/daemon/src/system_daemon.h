// One system's kernel daemon: boots the kernel for a system root, keeps its drive letters and
// serves the system's programs over run/kernel.sock.
#pragma once

#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "kernel/kernel.h"
#include "registry/store.h"
#include "server.h"
#include "volumes.h"

namespace hl::daemon {

// What a boot brings up besides the kernel, its host drives and its drivers.
struct BootOptions {
    bool surface = true;  // disk devices on the FUSE surface, their file systems mounted
    bool listen = true;   // programs served over run/kernel.sock
};

class SystemDaemon {
public:
    explicit SystemDaemon(std::filesystem::path root);
    ~SystemDaemon();
    SystemDaemon(const SystemDaemon&) = delete;
    SystemDaemon& operator=(const SystemDaemon&) = delete;

    // Takes the system's lock (a second daemon on the same root is refused), opens the hives,
    // boots the kernel with the host drives and the drivers that start with the system, and
    // starts listening. On failure `error` says why.
    bool Boot(std::string& error, const BootOptions& options = {});
    // Serves until a shutdown request or Stop.
    void Run();
    void Stop();

    // Drive letters, as the sessions see them. A letter belongs to the user who defined it:
    // nobody else but the superuser removes or replaces it.
    NTSTATUS DefineDosDevice(std::uint32_t caller, std::uint32_t flags, const std::u16string& name,
                             const std::u16string& target);
    NTSTATUS QueryDosDevice(const std::u16string& name, std::vector<std::u16string>& names);
    bool IsHostDrive(char letter) const;
    // The letter of "\??\X:", or 0 for other names.
    static char DriveLetterOf(std::u16string_view ntName);

    hl::kernel::Kernel& kernel() { return *kernel_; }
    Volumes& volumes() { return *volumes_; }
    const std::filesystem::path& root() const { return root_; }
    std::vector<std::string> Status();
    void RequestStop();

    // Replaces the volume manager (the disk surface installs itself after boot).
    void SetVolumes(std::unique_ptr<Volumes> volumes) { volumes_ = std::move(volumes); }

private:
    bool TakeLock(std::string& error);
    void MapHostDrives();
    void LoadSystemDrivers();
    void RefreshDosDevicesLink(char letter, bool bound);

    std::filesystem::path root_;
    int lockFd_ = -1;
    std::unique_ptr<registry::Store> store_;
    std::unique_ptr<hl::kernel::Kernel> kernel_;
    std::unique_ptr<Volumes> volumes_;
    std::unique_ptr<Server> server_;
    std::vector<std::u16string> loadedDrivers_;

    mutable std::mutex letterMutex_;
    std::map<char, std::u16string> boundLetters_;  // upper-case letter -> target NT name
    std::map<char, std::uint32_t> letterOwners_;   // upper-case letter -> uid that defined it
    std::map<char, std::filesystem::path> hostDrives_;
};

}  // namespace hl::daemon
