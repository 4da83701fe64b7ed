// boot, shutdown and status: the kernel daemon of a system root.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include "commands.h"
#include "leftovers.h"
#include "protocol/channel.h"
#include "win32/system_calls.h"

namespace hlsys {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

std::string KernelProgram() {
    const char* chosen = std::getenv("HARBORLOCK_KERNEL");
    return chosen != nullptr && *chosen != 0 ? chosen : HLKERNEL_PATH;
}

// Makes this process a program of the system at `root` before its first Win32 call.
void JoinSystem(const fs::path& root) {
    ::setenv("HARBORLOCK_SYSTEM", fs::absolute(root).c_str(), 1);
}

// The root's lock, taken so that no kernel boots while a dead one's leftovers go.
class RootLock {
public:
    explicit RootLock(const fs::path& root)
        : fd_(::open((root / "run" / "kernel.lock").c_str(), O_RDWR | O_CLOEXEC)) {
        held_ = fd_ >= 0 && ::flock(fd_, LOCK_EX | LOCK_NB) == 0;
    }
    ~RootLock() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    RootLock(const RootLock&) = delete;
    RootLock& operator=(const RootLock&) = delete;
    // False when a kernel holds it (or there is no lock file: nothing ever booted).
    bool held() const { return held_; }
    int fd() const { return fd_; }

private:
    int fd_;
    bool held_ = false;
};

// After a crash: removes what the dead kernel left, as the next boot would.
int CleanUpAfterCrash(const fs::path& root) {
    const RootLock lock(root);
    const hl::daemon::Leftovers leftovers = hl::daemon::FindLeftovers(root);
    if (!lock.held() || leftovers.empty()) {
        return Fail(root.string() + " is not booted");
    }
    const bool clean = hl::daemon::CleanLeftovers(root);
    hl::daemon::ClearLockOwner(lock.fd());
    std::printf("%s: not booted; cleaned up after a kernel that ended without shutting down:\n",
                root.c_str());
    for (const std::string& line : leftovers.Describe()) {
        std::printf("  %s\n", line.c_str());
    }
    return clean ? 0 : Fail("a mount below " + root.string() + " could not be removed");
}

std::string LogTail(const fs::path& log) {
    std::ifstream in(log);
    std::string line;
    std::string last;
    while (std::getline(in, line)) {
        last = line;
    }
    return last;
}

}  // namespace

bool KernelRunning(const fs::path& root) {
    const int fd = ::open((root / "run" / "kernel.lock").c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    const bool held = ::flock(fd, LOCK_EX | LOCK_NB) != 0;
    ::close(fd);
    return held;
}

int Boot(const Arguments& args) {
    if (args.size() != 1) {
        return Usage("boot");
    }
    const fs::path root = fs::absolute(args[0]);
    if (!fs::is_directory(root / "drive_c") || !fs::is_directory(root / "registry")) {
        return Fail(root.string() + " is not a system root (hlsys init makes one)");
    }
    if (KernelRunning(root)) {
        return Fail("a kernel already serves " + root.string());
    }
    const fs::path log = root / "run" / "kernel.log";
    const std::string program = KernelProgram();
    const pid_t child = ::fork();
    if (child == 0) {
        ::setsid();
        const int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        const int in = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        ::dup2(in, STDIN_FILENO);
        ::dup2(out, STDOUT_FILENO);
        ::dup2(out, STDERR_FILENO);
        ::execl(program.c_str(), program.c_str(), root.c_str(), static_cast<char*>(nullptr));
        std::_Exit(127);
    }
    for (auto waited = 0ms; waited < 30s; waited += 20ms) {
        int status = 0;
        if (::waitpid(child, &status, WNOHANG) == child) {
            return Fail("the kernel ended at boot: " + LogTail(log));
        }
        // Asked on the socket itself: a program's calls would complain that nothing serves yet.
        if (const int fd = hl::protocol::Channel::Connect((root / "run" / "kernel.sock").c_str());
            fd >= 0) {
            ::close(fd);
            std::printf("%s: booted (kernel %d)\n", root.c_str(), child);
            return 0;
        }
        std::this_thread::sleep_for(20ms);
    }
    ::kill(child, SIGKILL);
    return Fail("the kernel did not start serving in time: " + LogTail(log));
}

int Shutdown(const Arguments& args) {
    if (args.size() != 1) {
        return Usage("shutdown");
    }
    const fs::path root = fs::absolute(args[0]);
    if (!KernelRunning(root)) {
        return CleanUpAfterCrash(root);
    }
    JoinSystem(root);
    if (const DWORD error = hl::win32::ShutdownSystem(); error != ERROR_SUCCESS) {
        return Fail("the kernel refused to shut down (error " + std::to_string(error) + ")");
    }
    for (auto waited = 0ms; waited < 60s; waited += 20ms) {
        if (!KernelRunning(root)) {
            std::printf("%s: shut down\n", root.c_str());
            return 0;
        }
        std::this_thread::sleep_for(20ms);
    }
    return Fail("the kernel is still running");
}

int Status(const Arguments& args) {
    if (args.size() != 1) {
        return Usage("status");
    }
    const fs::path root = fs::absolute(args[0]);
    if (!KernelRunning(root)) {
        std::printf("%s: not booted\n", root.c_str());
        const hl::daemon::Leftovers leftovers = hl::daemon::FindLeftovers(root);
        if (!leftovers.empty()) {
            std::printf(
                "  left behind by a kernel that ended without shutting down "
                "(hlsys shutdown %s cleans it up):\n",
                root.c_str());
            for (const std::string& line : leftovers.Describe()) {
                std::printf("    %s\n", line.c_str());
            }
        }
        return 0;
    }
    JoinSystem(root);
    std::vector<std::string> lines;
    if (const DWORD error = hl::win32::SystemStatus(lines); error != ERROR_SUCCESS) {
        return Fail("the kernel does not answer (error " + std::to_string(error) + ")");
    }
    std::printf("%s: booted\n", root.c_str());
    for (const std::string& line : lines) {
        std::printf("  %s\n", line.c_str());
    }
    return 0;
}

}  // namespace hlsys
