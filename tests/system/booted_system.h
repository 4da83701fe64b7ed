// A private system in a temporary root: made, booted and shut down by the tests. The test
// program itself belongs to the system (its HARBORLOCK_SYSTEM names the root), so every Win32
// call it makes reaches that system's kernel.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>

namespace system_test {

class BootedSystem {
public:
    // The root is made once per test program; each test boots and shuts down its kernel.
    static const std::filesystem::path& Root();
    static std::filesystem::path DriveC() { return Root() / "drive_c"; }

    BootedSystem();   // boots; fails the test when the kernel does not serve
    ~BootedSystem();  // shuts down and checks that nothing is left behind

    void Restart();
    void Kill();  // SIGKILL, as a crash would
    pid_t pid() const { return pid_; }

private:
    void Boot();
    void Shutdown();
    pid_t pid_ = -1;
};

}  // namespace system_test
