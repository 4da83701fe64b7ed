// The system as a user meets it from the host's shell: hlsys run with a host program, what a
// killed kernel leaves and how hlsys cleans it up, the format command's failures, and the example
// client's messages, password rule and question before it replaces a file.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>
#include <windows.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "booted_system.h"
#include "controller/controller_state.h"
#include "disk_steps.h"

namespace {

namespace fs = std::filesystem;
using system_test::BootedSystem;

struct Outcome {
    int exitCode = -1;
    std::string out;
    std::string err;
};

std::string Slurp(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// Runs a shell command line in `folder` with `input` on its standard input.
Outcome Shell(const std::string& command, const fs::path& folder = "/",
              const std::string& input = {}) {
    const fs::path streams =
        fs::temp_directory_path() / ("hl-usability-" + std::to_string(::getpid()));
    fs::create_directories(streams);
    std::ofstream(streams / "in", std::ios::binary) << input;
    const std::string line = "cd '" + folder.string() + "' && " + command + " <'" +
                             (streams / "in").string() + "' >'" + (streams / "out").string() +
                             "' 2>'" + (streams / "err").string() + "'";
    const int status = std::system(line.c_str());
    Outcome outcome{WIFEXITED(status) ? WEXITSTATUS(status) : -1, Slurp(streams / "out"),
                    Slurp(streams / "err")};
    fs::remove_all(streams);
    return outcome;
}

std::string Hlsys(const std::string& arguments) {
    return std::string(HLSYS_PATH) + " " + arguments;
}

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

TEST(HlsysRun, TakesARelativeHostPathFromTheCallersFolder) {
    BootedSystem system;
    const fs::path base = fs::temp_directory_path() / ("hl-run-" + std::to_string(::getpid()));
    fs::create_directories(base / "tools");
    fs::create_directories(base / "other");
    {
        std::ofstream script(base / "tools" / "where.sh");
        script << "#!/bin/sh\necho \"ran in $(pwd)\"\n";
    }
    fs::permissions(base / "tools" / "where.sh", fs::perms::owner_all);
    const std::string root = BootedSystem::Root().string();
    struct Case {
        const char* program;
        const char* folder;
    };
    for (const Case& c : {Case{"tools/where.sh", ""}, Case{"./where.sh", "tools"},
                          Case{"../tools/where.sh", "other"}}) {
        SCOPED_TRACE(c.program);
        const Outcome outcome = Shell(Hlsys("run " + root + " " + c.program), base / c.folder);
        EXPECT_EQ(outcome.exitCode, 0) << outcome.err;
        // Found from the caller's folder, started in the system's C: folder.
        EXPECT_EQ(outcome.out, "ran in " + (BootedSystem::DriveC()).string() + "\n");
    }
    fs::remove_all(base);
}

TEST(HlsysRun, RefusesASystemWhoseKernelIsNotRunning) {
    const std::string root = BootedSystem::Root().string();
    const Outcome outcome = Shell(Hlsys("run " + root + " /bin/echo started"));
    EXPECT_EQ(outcome.exitCode, 1);
    EXPECT_EQ(outcome.out, "");
    EXPECT_TRUE(Contains(outcome.err, "kernel of " + root + " is not running")) << outcome.err;
    EXPECT_TRUE(Contains(outcome.err, "start it with: hlsys boot " + root)) << outcome.err;
}

TEST(HlsysRun, AProgramStartedWithoutAKernelIsToldHowToStartIt) {
    // Started in the system without hlsys: its calls fail as Windows calls do, and the platform
    // says why, once.
    const std::string root = BootedSystem::Root().string();
    const Outcome outcome =
        Shell("HARBORLOCK_SYSTEM='" + root + "' " + FORMAT_PATH + " X: /FS:NTFS /Q /Y");
    EXPECT_EQ(outcome.exitCode, 4);
    EXPECT_EQ(outcome.out, "The specified drive does not exist.\n");
    const std::string notice = "format: the kernel of the system " + root +
                               " is not running; start it with: hlsys boot " + root + "\n";
    EXPECT_EQ(outcome.err, notice);
}

TEST(Crash, StatusNamesWhatAKilledKernelLeftAndShutdownCleansItUp) {
    const std::string root = BootedSystem::Root().string();
    pid_t kernel = 0;
    {
        BootedSystem system;
        kernel = system.pid();
        ControllerState state;
        ASSERT_TRUE(system_test::MountDisk(state, 'W', "C:\\left.vd", 16 << 20, "pw"));
        ASSERT_EQ(system_test::FormatDrive('W'), 0);
        ASSERT_TRUE(system_test::WriteText("W:\\file.txt", "x"));
        system.Kill();
    }
    const Outcome status = Shell(Hlsys("status " + root));
    EXPECT_EQ(status.exitCode, 0) << status.err;
    for (const std::string& line :
         {root + ": not booted\n", "hlsys shutdown " + root + " cleans it up",
          "lock of kernel " + std::to_string(kernel) + ", which has ended\n",
          std::string("socket run/kernel.sock\n"), "mount " + root + "/dev\n",
          "mount " + root + "/mnt/w\n", std::string("ntfs-3g process "),
          std::string("drive link dosdevices/w:\n")}) {
        EXPECT_TRUE(Contains(status.out, line)) << "no '" << line << "' in:\n" << status.out;
    }

    const Outcome shutdown = Shell(Hlsys("shutdown " + root));
    EXPECT_EQ(shutdown.exitCode, 0) << shutdown.err;
    EXPECT_TRUE(Contains(shutdown.out, "cleaned up")) << shutdown.out;
    EXPECT_TRUE(Contains(shutdown.out, "mount " + root + "/mnt/w\n")) << shutdown.out;
    EXPECT_FALSE(system_test::HostMounted(root + "/mnt/w"));
    EXPECT_FALSE(system_test::HostMounted(root + "/dev"));
    EXPECT_FALSE(fs::exists(fs::symlink_status(BootedSystem::Root() / "dosdevices" / "w:")));
    EXPECT_FALSE(fs::exists(BootedSystem::Root() / "run" / "kernel.sock"));

    // Nothing is left: status says so alone, and a second shutdown has nothing to do.
    EXPECT_EQ(Shell(Hlsys("status " + root)).out, root + ": not booted\n");
    EXPECT_EQ(Shell(Hlsys("shutdown " + root)).exitCode, 1);
    BootedSystem again;
    ControllerState state;
    ASSERT_TRUE(system_test::MountDisk(state, 'W', "C:\\left.vd", 0, "pw"));
    EXPECT_EQ(system_test::ReadText("W:\\file.txt"), "x");
    EXPECT_TRUE(CriticalUnmount(state, 'W'));
}

TEST(FormatCommand, SaysWhyTheFormatterFailed) {
    BootedSystem system;
    ControllerState state;
    // 256 KiB: a VaultDisk may be that small, an NTFS volume may not.
    ASSERT_TRUE(system_test::MountDisk(state, 'S', "C:\\tiny.vd", 262144, "pw"));
    const Outcome outcome = Shell(std::string(FORMAT_PATH) + " S: /FS:NTFS /Q /Y");
    EXPECT_EQ(outcome.exitCode, 4);
    EXPECT_TRUE(Contains(outcome.out, "Format failed (error ")) << outcome.out;
    EXPECT_TRUE(Contains(outcome.out, "Device is too small")) << outcome.out;
    // Its complaints about a file that is no block device are not the reason.
    EXPECT_FALSE(Contains(outcome.out, "block device")) << outcome.out;
    EXPECT_TRUE(CriticalUnmount(state, 'S'));
}

class ExampleClient : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        ASSERT_EQ(
            Shell(Hlsys("install " + BootedSystem::Root().string() + " --devices 4")).exitCode, 0);
    }
    static Outcome Vaultdisk(const std::string& arguments, const std::string& input = {}) {
        return Shell(std::string(VAULTDISK_PATH) + " " + arguments, "/", input);
    }

    BootedSystem system;
};

TEST_F(ExampleClient, PasswordsHaveFourToFortyCharacters) {
    struct Case {
        std::size_t length;
        bool accepted;
    };
    for (const Case& c : {Case{0, false}, Case{3, false}, Case{4, true}, Case{40, true},
                          Case{41, false}, Case{100, false}}) {
        SCOPED_TRACE(c.length);
        const std::string name = "pw" + std::to_string(c.length) + ".vd";
        const Outcome created =
            Vaultdisk("create P: 'C:\\" + name + "' 16777216", std::string(c.length, 'p') + "\n");
        EXPECT_FALSE(Contains(created.err, "0x")) << created.err;
        if (c.accepted) {
            EXPECT_EQ(created.exitCode, 0) << created.err;
            EXPECT_EQ(Vaultdisk("close P:").exitCode, 0);
            // The same rule when it is opened: all of the password is the key, none cut off.
            EXPECT_EQ(
                Vaultdisk("open P: 'C:\\" + name + "'", std::string(c.length, 'p') + "\n").exitCode,
                0);
            EXPECT_EQ(Vaultdisk("close P:").exitCode, 0);
        } else {
            EXPECT_EQ(created.exitCode, 1);
            EXPECT_TRUE(Contains(created.err, "a password has 4 to 40 characters; this one has " +
                                                  std::to_string(c.length) + "\n"))
                << created.err;
            EXPECT_EQ(system_test::DosTarget("P:"), "");
            EXPECT_FALSE(fs::exists(BootedSystem::DriveC() / name));
        }
    }
    // A password cut to 40 characters would open a disk made with its first 40.
    const Outcome longer = Vaultdisk("open P: 'C:\\pw40.vd'", std::string(40, 'p') + "q\n");
    EXPECT_EQ(longer.exitCode, 1);
    EXPECT_EQ(system_test::DosTarget("P:"), "");
}

TEST_F(ExampleClient, ControllerCodesAreToldByTheProductsMessages) {
    ASSERT_EQ(Vaultdisk("create X: 'C:\\msg.vd' 16777216", "right pass\n").exitCode, 0);
    const Outcome inUse = Vaultdisk("open X: 'C:\\msg.vd'", "right pass\n");
    EXPECT_EQ(inUse.exitCode, 1);
    EXPECT_EQ(inUse.err,
              "vaultdisk: opening the VaultDisk failed: The VaultDisk is already mounted\r\nor "
              "selected driveletter already in use.\n");
    ASSERT_EQ(Vaultdisk("close X:").exitCode, 0);
    const Outcome wrong = Vaultdisk("open Y: 'C:\\msg.vd'", "wrong pass\n");
    EXPECT_EQ(wrong.exitCode, 1);
    EXPECT_EQ(wrong.err, "vaultdisk: opening the VaultDisk failed: Incorrect password.\n");
    EXPECT_EQ(system_test::DosTarget("Y:"), "");
}

TEST_F(ExampleClient, AsksBeforeItReplacesAFile) {
    const fs::path kept = BootedSystem::DriveC() / "kept.vd";
    const std::string content(262144 + 8192, 'k');
    std::ofstream(kept, std::ios::binary) << content;
    // No, or a password where the answer belongs: the file stays as it was.
    for (const char* input : {"n\nsome password\n", "some password\n", ""}) {
        SCOPED_TRACE(input);
        const Outcome refused = Vaultdisk("create R: 'C:\\kept.vd' 262144", input);
        EXPECT_EQ(refused.exitCode, 1);
        EXPECT_TRUE(Contains(refused.out, "C:\\kept.vd already exists")) << refused.out;
        EXPECT_TRUE(Contains(refused.out, "Replace it (y/N)? ")) << refused.out;
        EXPECT_TRUE(Contains(refused.out, "not replaced")) << refused.out;
        EXPECT_EQ(Slurp(kept), content);
        EXPECT_EQ(system_test::DosTarget("R:"), "");
    }
    const Outcome replaced = Vaultdisk("create R: 'C:\\kept.vd' 262144", "y\nsome password\n");
    EXPECT_EQ(replaced.exitCode, 0) << replaced.err;
    EXPECT_NE(Slurp(kept), content);
    EXPECT_EQ(Vaultdisk("close R:").exitCode, 0);
    // A new file is made without a question.
    const Outcome fresh = Vaultdisk("create R: 'C:\\fresh.vd' 262144", "some password\n");
    EXPECT_EQ(fresh.exitCode, 0) << fresh.err;
    EXPECT_FALSE(Contains(fresh.out, "Replace")) << fresh.out;
    EXPECT_EQ(Vaultdisk("close R:").exitCode, 0);
}

}  // namespace
