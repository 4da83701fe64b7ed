// VDReader driven through a pseudo-terminal as a user would: its texts, the password prompt,
// the read-only mount and the unmount choices; and a typed non-ASCII password that is the same
// key in VDReader, the example client and vdtool.
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
#include <iterator>
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

std::string Slurp(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// Runs a host command line with `input` as its standard input; its exit code and what it
// printed on standard output and error.
struct Outcome {
    int exitCode;
    std::string output;
};

Outcome RunHost(const std::string& command, const std::string& input = "") {
    const auto folder = BootedSystem::Root() / "run";
    std::ofstream(folder / "input.txt", std::ios::binary) << input;
    const std::string line = command + " <'" + (folder / "input.txt").string() + "' >'" +
                             (folder / "output.txt").string() + "' 2>&1";
    const int status = std::system(line.c_str());
    Outcome outcome{WIFEXITED(status) ? WEXITSTATUS(status) : -1, Slurp(folder / "output.txt")};
    std::filesystem::remove(folder / "input.txt");
    std::filesystem::remove(folder / "output.txt");
    return outcome;
}

std::string Quoted(const std::string& text) {
    return "'" + text + "'";
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
    {
        // The host sees the file as soon as VDReader has returned, before any Windows program
        // looks.
        std::ifstream onHost(BootedSystem::Root() / "dosdevices" / "m:" / "inside.txt");
        EXPECT_EQ(std::string(std::istreambuf_iterator<char>(onHost), {}), "inside");
    }
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
    ASSERT_EQ(system_test::ReadText("N:\\inside.txt"), "inside");
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

namespace {

// "cafépw" as the host's terminal and files hold it, and as Windows programs see it.
const char kCafeUtf8[] = "caf\xC3\xA9pw";
const char kCafeAnsi[] = "caf\xE9pw";

TEST_F(Reader, ANonAsciiPasswordAndFileNameAreTheSameInEveryTool) {
    // vdtool makes the container on drive C: under a name that is not ASCII either.
    const auto container = BootedSystem::DriveC() / "caf\xC3\xA9.vd";
    std::ofstream(BootedSystem::Root() / "run" / "pw", std::ios::binary) << kCafeUtf8 << "\n";
    ASSERT_EQ(RunHost(std::string(VDTOOL_PATH) + " create " + Quoted(container.string()) +
                      " --size 16777216 --password-file " +
                      Quoted((BootedSystem::Root() / "run" / "pw").string()))
                  .exitCode,
              0);

    // Typed in VDReader on a UTF-8 terminal.
    const std::string reader = RunReader({"/open", "C:\\caf\xC3\xA9.vd", "M:"},
                                         {{kPrompt, std::string(kCafeUtf8) + "\r"}});
    EXPECT_EQ(reader, std::string("\nTrying to open the VaultDisk \\??\\C:\\caf\xC3\xA9.vd...\n") +
                          kPrompt + "******");
    EXPECT_NE(system_test::DosTarget("m:"), "");
    EXPECT_EQ(RunReader({"/close", "M:"}), "\nTrying to safely unmount drive M: ...\n");
    EXPECT_EQ(system_test::DosTarget("m:"), "");

    // Given to the example client on its standard input.
    const std::string client = std::string(VAULTDISK_PATH);
    const Outcome open =
        RunHost(client + " open N: 'C:\\caf\xC3\xA9.vd'", std::string(kCafeUtf8) + "\n");
    EXPECT_EQ(open.exitCode, 0) << open.output;
    EXPECT_EQ(open.output, "C:\\caf\xC3\xA9.vd: mounted on N:\n");
    EXPECT_EQ(RunHost(client + " close N:").exitCode, 0);

    // And the other way: a container the example client makes opens in vdtool.
    const Outcome create = RunHost(client + " create O: 'C:\\new \xE2\x82\xAC.vd' 16777216",
                                   std::string(kCafeUtf8) + "\n");
    EXPECT_EQ(create.exitCode, 0) << create.output;
    EXPECT_EQ(RunHost(client + " close O:").exitCode, 0);
    const auto created = BootedSystem::DriveC() / "new \xE2\x82\xAC.vd";
    ASSERT_TRUE(std::filesystem::exists(created));
    EXPECT_EQ(RunHost(std::string(VDTOOL_PATH) + " check " + Quoted(created.string()) +
                      " --password-file " + Quoted((BootedSystem::Root() / "run" / "pw").string()))
                  .exitCode,
              0);
    // The controller's own key is the code page's bytes.
    KvOperations kv;
    EXPECT_EQ(kv.OpenCryptedDisk('P', "C:\\new \x80.vd", kCafeAnsi), S_OK);
    EXPECT_EQ(kv.UmountDisk('P', 0), S_OK);
    std::filesystem::remove(BootedSystem::Root() / "run" / "pw");
}

TEST_F(Reader, CursorKeysArePartOfAPasswordAsOnWindows) {
    // Up arrow reaches the program as 0xE0 'H' and is typed into the password, as Windows does;
    // it does not cancel the prompt as a bare Escape would.
    KvOperations kv;
    ASSERT_EQ(kv.CreateCryptedDisk('K', 16 << 20, "C:\\arrow.vd", "material", "ab\xE0Hcd"), S_OK);
    ASSERT_EQ(kv.UmountDisk('K', 1), S_OK);
    const std::string output =
        RunReader({"/open", "C:\\arrow.vd", "M:"}, {{kPrompt, "ab\x1b[Acd\r"}});
    EXPECT_EQ(output, std::string("\nTrying to open the VaultDisk \\??\\C:\\arrow.vd...\n") +
                          kPrompt + "******");
    EXPECT_NE(system_test::DosTarget("m:"), "");
    EXPECT_EQ(kv.UmountDisk('M', 0), S_OK);
}

TEST_F(Reader, TheEndOfInputIsNoKey) {
    const std::string program =
        (BootedSystem::DriveC() / "Program Files" / "Harborlock" / "VDReader.exe").string();
    const std::string trying = "\nTrying to open the VaultDisk \\??\\C:\\x.vd...\n";
    // A password cut off by the end of input is cancelled.
    const Outcome cut = RunHost(Quoted(program) + " /open 'C:\\x.vd' M:", "abcd");
    EXPECT_EQ(cut.exitCode, 0);
    EXPECT_EQ(cut.output, trying + kPrompt + "****\nCancelled.\n");
    // A one-key question at the end of input shows no key and is answered no.
    const Outcome answer = RunHost(Quoted(program) + " /open 'C:\\x.vd' M:", "ab\r");
    EXPECT_EQ(answer.output, trying + kPrompt +
                                 "**incorrect password length, please try again [Y/N] -> \n"
                                 "\nCancelled.\n");
    EXPECT_EQ(answer.output.find('\xFF'), std::string::npos);
    EXPECT_EQ(answer.output.find("\xC3\xBF"), std::string::npos);
}

}  // namespace
