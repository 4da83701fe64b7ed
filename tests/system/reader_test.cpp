// VDReader driven through a pseudo-terminal as a user would: its texts, the password prompt,
// the read-only mount and the unmount choices.
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <windows.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "booted_system.h"
#include "controller/kv_operations.h"
#include "disk_steps.h"

namespace {

using system_test::BootedSystem;

// What to type once the output so far ends with (or contains) `after`.
struct Step {
    std::string after;
    std::string keys;
};

// Whether the program reads single keys now: its terminal has echo and line editing off (the
// master side of a pseudo-terminal sees the settings of its slave).
bool KeysAwaited(int terminal) {
    termios settings{};
    return ::tcgetattr(terminal, &settings) == 0 && (settings.c_lflag & (ECHO | ICANON)) == 0;
}

// Runs the installed VDReader with `args` on a terminal, typing each step's keys when its text
// has appeared; returns everything it printed.
std::string RunReader(const std::vector<std::string>& args, const std::vector<Step>& steps = {}) {
    int terminal = -1;
    const pid_t child = ::forkpty(&terminal, nullptr, nullptr, nullptr);
    if (child == 0) {
        std::vector<char*> argv;
        std::string program =
            (BootedSystem::DriveC() / "Program Files" / "Harborlock" / "VDReader.exe").string();
        argv.push_back(program.data());
        std::vector<std::string> copies = args;
        for (auto& arg : copies) {
            argv.push_back(arg.data());
        }
        argv.push_back(nullptr);
        ::execv(program.c_str(), argv.data());
        std::_Exit(127);
    }
    std::string output;
    std::size_t next = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (std::chrono::steady_clock::now() < deadline) {
        if (next < steps.size() && output.find(steps[next].after) != std::string::npos &&
            KeysAwaited(terminal)) {
            (void)!::write(terminal, steps[next].keys.data(), steps[next].keys.size());
            ++next;
        }
        pollfd fd{terminal, POLLIN, 0};
        if (::poll(&fd, 1, 100) > 0) {
            char buffer[4096];
            const ssize_t got = ::read(terminal, buffer, sizeof(buffer));
            if (got <= 0) {
                break;
            }
            output.append(buffer, static_cast<std::size_t>(got));
        }
    }
    ::close(terminal);
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "exit status " << status;
    // The terminal turns every newline into CR LF.
    std::string text;
    for (std::size_t i = 0; i < output.size(); ++i) {
        if (!(output[i] == '\r' && i + 1 < output.size() && output[i + 1] == '\n')) {
            text += output[i];
        }
    }
    return text;
}

const char kUsage[] =
    "VaultDisk reader. Opens a VaultDisk in read-only mode.\n"
    "usage:\n"
    "\tVDReader.exe /[open|close] <filename> Z:\n"
    "where:\n"
    "\t<filename> \tis path to VaultDisk file (*.vd);\n"
    "\tZ: \t\tis unused drive letter.\n"
    "Examples:\n"
    "VDReader.exe /open C:\\disk_000.vd M:  - opens the corresponding VaultDisk.\n"
    "VDReader.exe /close M:                - closes currently opened VaultDisk.\n";

const char kPrompt[] = "\nenter your secret password (min 4, max 40 symbols) -> ";

class Reader : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        const std::string install = std::string(HLSYS_PATH) + " install " +
                                    BootedSystem::Root().string() + " --devices 4 >/dev/null";
        ASSERT_EQ(std::system(install.c_str()), 0);
    }

    // A formatted disk with one file, left unmounted.
    void MakeDisk(const char* file) {
        KvOperations kv;
        ASSERT_EQ(kv.CreateCryptedDisk('K', 16 << 20, file, "material", "right pass"), S_OK);
        ASSERT_EQ(system_test::FormatDrive('K'), 0);
        ASSERT_TRUE(system_test::WriteText("K:\\inside.txt", "inside"));
        ASSERT_EQ(kv.UmountDisk('K', 1), S_OK);
    }

    BootedSystem system;
};

TEST_F(Reader, BadCommandLinesPrintTheUsage) {
    EXPECT_EQ(RunReader({"/open", "C:\\disk_000.vd"}), kUsage);
    EXPECT_EQ(RunReader({"/OPEN", "C:\\disk_000.vd", "M:"}), kUsage);
    EXPECT_EQ(RunReader({}), kUsage);
    EXPECT_EQ(RunReader({"/crit_close", "c:"}),
              "Unsafe unmounting of drive c: ...Could not unmount disk C:.\n");
    EXPECT_EQ(RunReader({"/close", "M:"}), "\nTrying to safely unmount drive M: ...\n");
}

TEST_F(Reader, PasswordPromptStarsEscapeAndLength) {
    EXPECT_EQ(RunReader({"/open", "\\\\server\\share\\d.vd", "M:"}, {{kPrompt, "\x1b"}}),
              std::string("\nTrying to open the VaultDisk \\??\\UNC\\server\\share\\d.vd...\n") +
                  kPrompt + "\nCancelled.\n");
    // a, b, c, X, Backspace, Enter: "abc" is too short; five stars were printed.
    EXPECT_EQ(RunReader({"/open", "C:\\x.vd", "M:"}, {{kPrompt, "abcX\x7f\r"}, {"[Y/N] -> ", "n"}}),
              std::string("\nTrying to open the VaultDisk \\??\\C:\\x.vd...\n") + kPrompt +
                  "*****incorrect password length, please try again [Y/N] -> n\n\nCancelled.\n");
    // 41 characters are one too many: refused, not cut to 40.
    EXPECT_EQ(RunReader({"/open", "C:\\x.vd", "M:"},
                        {{kPrompt, std::string(41, 'a') + "\r"}, {"[Y/N] -> ", "n"}}),
              std::string("\nTrying to open the VaultDisk \\??\\C:\\x.vd...\n") + kPrompt +
                  std::string(41, '*') +
                  "incorrect password length, please try again [Y/N] -> n\n\nCancelled.\n");
}

TEST_F(Reader, WrongPasswordThenAReadOnlyMount) {
    MakeDisk("C:\\disk_000.vd");
    const std::string wrong =
        RunReader({"/open", "C:\\disk_000.vd", "M:"}, {{kPrompt, "wrong pass\r"}});
    EXPECT_EQ(wrong, std::string("\nTrying to open the VaultDisk \\??\\C:\\disk_000.vd...\n") +
                         kPrompt + "**********\nVaultDisk mounting failed: Incorrect password..\n");
    EXPECT_EQ(system_test::DosTarget("m:"), "");

    RunReader({"/open", "C:\\disk_000.vd", "M:"}, {{kPrompt, "right pass\r"}});
    EXPECT_EQ(system_test::ReadText("M:\\inside.txt"), "inside");
    HANDLE denied = CreateFileA("M:\\new.txt", GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    EXPECT_EQ(denied, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_WRITE_PROTECT));
    EXPECT_EQ(RunReader({"/close", "M:"}), "\nTrying to safely unmount drive M: ...\n");
    EXPECT_EQ(system_test::DosTarget("m:"), "");
}

TEST_F(Reader, CloseWithAFileOpenOffersRetryAbortUnsafe) {
    MakeDisk("C:\\busy.vd");
    RunReader({"/open", "C:\\busy.vd", "N:"}, {{kPrompt, "right pass\r"}});
    ASSERT_EQ(system_test::ReadText("N:\\inside.txt"),
              "inside");  // the file system mounts on first use
    const std::string host = (BootedSystem::Root() / "mnt" / "n" / "inside.txt").string();
    auto holder = std::make_unique<system_test::FileHolder>(host);
    ASSERT_TRUE(holder->Holding());
    const char kChoice[] = "Retry (R) / Abort (A) / Perfom Unsafe Unmount (U) -> ";
    EXPECT_EQ(
        RunReader({"/close", "N:"}, {{kChoice, "a"}}),
        std::string("\nTrying to safely unmount drive N: ...\n") + kChoice + "a\nCancelled.\n");
    EXPECT_EQ(RunReader({"/close", "N:"}, {{kChoice, "u"}}),
              std::string("\nTrying to safely unmount drive N: ...\n") + kChoice +
                  "u\nUnsafe unmounting...\n");
    EXPECT_EQ(system_test::DosTarget("N:"), "");
    holder.reset();
}

TEST_F(Reader, Windows2000PausesBeforeEachRequest) {
    // The system says 5.0 and waits one percent of each wait.
    std::ofstream(BootedSystem::Root() / "run" / "sleep-percent") << "1\n";
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion",
                              0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(
        RegSetValueExA(key, "CurrentVersion", 0, REG_SZ, reinterpret_cast<const BYTE*>("5.0"), 4),
        ERROR_SUCCESS);
    const std::string output = RunReader({"/close", "M:"});
    RegSetValueExA(key, "CurrentVersion", 0, REG_SZ, reinterpret_cast<const BYTE*>("5.1"), 4);
    RegCloseKey(key);
    std::remove((BootedSystem::Root() / "run" / "sleep-percent").c_str());
    EXPECT_EQ(output, "\nTrying to safely unmount drive M: ...\n\nwait, please." +
                          std::string(60, '.') + "\n");
}

}  // namespace
