// What a kernel daemon that ended without shutting down (killed, crashed) leaves in its system
// root, found and removed by one piece of code for the next boot and for hlsys alike.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <vector>

#include "surface/disk_surface.h"

namespace hl::daemon {

struct Leftovers {
    pid_t deadKernel = 0;  // the process the root's lock file still names
    bool socket = false;   // run/kernel.sock, with nobody listening
    surface::StaleMounts mounts;
    std::vector<std::string> letterLinks;  // dosdevices/<letter>: of volumes that went with it

    bool empty() const {
        return deadKernel == 0 && !socket && mounts.empty() && letterLinks.empty();
    }
    // One line each, for people.
    std::vector<std::string> Describe() const;
};

// Meaningful only while no kernel holds the root's lock.
Leftovers FindLeftovers(const std::filesystem::path& root);
// Removes the socket, the mounts, their ntfs-3g processes and the drive links. The caller holds
// the root's lock, so that no kernel boots meanwhile; the lock file itself is the caller's. False
// when a mount could not be removed.
bool CleanLeftovers(const std::filesystem::path& root);
// Forgets the process named in the lock file (held by the caller) once it has gone.
void ClearLockOwner(int lockFd);

}  // namespace hl::daemon
