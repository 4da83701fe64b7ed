// hlsys status and shutdown on a root whose kernel died without shutting down: what it left is
// named, then removed under the root's lock. (The system tests kill a real kernel with its mounts.)
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <fstream>

#include "test_support/programs.h"

namespace {

namespace fs = std::filesystem;
using tools::testing::Outcome;

Outcome Hlsys(const std::vector<std::string>& arguments) {
    return tools::testing::Run(HLSYS_PROGRAM, arguments, {}, "/");
}

// A process id that is no process any more.
pid_t DeadProcess() {
    const pid_t child = ::fork();
    if (child == 0) {
        ::_exit(0);
    }
    ::waitpid(child, nullptr, 0);
    return child;
}

// A socket file that nobody listens on, as a killed kernel leaves its own.
void DeadSocket(const fs::path& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_EQ(::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)), 0);
    ::close(fd);
}

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

TEST(HlsysLeftovers, StatusNamesThemAndShutdownRemovesThem) {
    tools::testing::ScratchFolder scratch;
    const fs::path root = scratch.path() / "system";
    ASSERT_EQ(Hlsys({"init", root.string()}).exitCode, 0);
    // A clean root has nothing to report and nothing to clean.
    EXPECT_EQ(Hlsys({"status", root.string()}).out, root.string() + ": not booted\n");
    EXPECT_EQ(Hlsys({"shutdown", root.string()}).exitCode, 1);

    const pid_t dead = DeadProcess();
    std::ofstream(root / "run" / "kernel.lock") << dead << "\n";
    DeadSocket(root / "run" / "kernel.sock");
    fs::create_directories(root / "dosdevices");
    fs::create_symlink("../mnt/x", root / "dosdevices" / "x:");

    const Outcome status = Hlsys({"status", root.string()});
    EXPECT_EQ(status.exitCode, 0);
    for (const std::string& line :
         {"lock of kernel " + std::to_string(dead) + ", which has ended\n",
          std::string("socket run/kernel.sock\n"), std::string("drive link dosdevices/x:\n"),
          "hlsys shutdown " + root.string() + " cleans it up"}) {
        EXPECT_TRUE(Contains(status.out, line)) << "no '" << line << "' in:\n" << status.out;
    }
    EXPECT_FALSE(Contains(status.out, "mount ")) << status.out;

    const Outcome shutdown = Hlsys({"shutdown", root.string()});
    EXPECT_EQ(shutdown.exitCode, 0) << shutdown.err;
    EXPECT_TRUE(Contains(shutdown.out, "cleaned up")) << shutdown.out;
    EXPECT_FALSE(fs::exists(fs::symlink_status(root / "run" / "kernel.sock")));
    EXPECT_FALSE(fs::exists(fs::symlink_status(root / "dosdevices" / "x:")));
    EXPECT_TRUE(fs::exists(fs::symlink_status(root / "dosdevices" / "c:")));
    EXPECT_EQ(fs::file_size(root / "run" / "kernel.lock"), 0u);
    EXPECT_EQ(Hlsys({"status", root.string()}).out, root.string() + ": not booted\n");
    EXPECT_EQ(Hlsys({"shutdown", root.string()}).exitCode, 1);
}

}  // namespace
