#include "leftovers.h"

#include <sys/file.h>
#include <unistd.h>

#include <fstream>

namespace hl::daemon {
namespace {

namespace fs = std::filesystem;

// Drive links other than the system's own C:; every other letter belongs to a volume.
std::vector<fs::path> LetterLinks(const fs::path& root) {
    std::vector<fs::path> links;
    std::error_code ignored;
    for (const auto& entry : fs::directory_iterator(root / "dosdevices", ignored)) {
        const std::string name = entry.path().filename().string();
        if (name.size() == 2 && name[1] == ':' && name != "c:") {
            links.push_back(entry.path());
        }
    }
    return links;
}

pid_t LockOwner(const fs::path& root) {
    std::ifstream lock(root / "run" / "kernel.lock");
    long pid = 0;
    return lock >> pid && pid > 0 ? static_cast<pid_t>(pid) : 0;
}

}  // namespace

std::vector<std::string> Leftovers::Describe() const {
    std::vector<std::string> lines;
    if (deadKernel != 0) {
        lines.push_back("lock of kernel " + std::to_string(deadKernel) + ", which has ended");
    }
    if (socket) {
        lines.push_back("socket run/kernel.sock");
    }
    for (const std::string& point : mounts.mountPoints) {
        lines.push_back("mount " + point);
    }
    for (const pid_t server : mounts.servers) {
        lines.push_back("ntfs-3g process " + std::to_string(server));
    }
    for (const std::string& link : letterLinks) {
        lines.push_back("drive link dosdevices/" + link);
    }
    return lines;
}

Leftovers FindLeftovers(const fs::path& root) {
    Leftovers found;
    found.deadKernel = LockOwner(root);
    std::error_code ignored;
    found.socket = fs::exists(fs::symlink_status(root / "run" / "kernel.sock", ignored));
    found.mounts = surface::FindStaleMounts(root);
    for (const fs::path& link : LetterLinks(root)) {
        found.letterLinks.push_back(link.filename().string());
    }
    return found;
}

bool CleanLeftovers(const fs::path& root) {
    std::error_code ignored;
    fs::remove(root / "run" / "kernel.sock", ignored);
    const bool unmounted = surface::CleanStaleMounts(root);
    for (const fs::path& link : LetterLinks(root)) {
        fs::remove(link, ignored);
    }
    return unmounted;
}

void ClearLockOwner(int lockFd) {
    (void)!::ftruncate(lockFd, 0);
}

}  // namespace hl::daemon
