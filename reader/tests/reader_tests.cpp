// VDReader's command line, console questions and controller calls, against the real controller
// operations and driver in a kernel hosted by the test.
#include <unistd.h>
#include <windows.h>

#include <string>
#include <vector>

#include "common/kv_messages.h"
#include "controller/kv_operations.h"
#include "direct_system.h"
#include "reader/reader_commands.h"

namespace reader_test {
namespace {

using controller_test::DirectSystem;

constexpr LONGLONG kSize = 1 << 20;
const std::string kMaterial(VD_KEY_MATERIAL_SIZE, 'k');
constexpr char kPassword[] = "pass1234";

// The controller object the reader is given: the controller's own operations, counted, with
// safe unmounts that can be made to find the volume busy.
class Controller : public IKvObject {
public:
    STDMETHODIMP QueryInterface(REFIID, void** object) override {
        *object = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 1; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
        return E_NOTIMPL;
    }
    STDMETHODIMP Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*,
                        UINT*) override {
        return E_NOTIMPL;
    }

    STDMETHODIMP CreateCryptedDisk(char letter, LONGLONG size, char* file, char* material,
                                   char* key) override {
        calls.push_back("create");
        return operations.CreateCryptedDisk(letter, size, file, material, key);
    }
    STDMETHODIMP OpenCryptedDisk(char letter, char* file, char* key) override {
        calls.push_back(std::string("open ") + letter + " " + file);
        return operations.OpenCryptedDisk(letter, file, key);
    }
    STDMETHODIMP UmountDisk(char letter, char safe) override {
        calls.push_back(std::string(safe != 0 ? "safe " : "critical ") + letter);
        if (safe != 0 && busyUnmounts > 0) {
            --busyUnmounts;
            return KV_E_LOCK_FAILED;
        }
        return operations.UmountDisk(letter, safe);
    }
    STDMETHODIMP ChangePassword(char letter, char* file, char* oldKey, char* newKey) override {
        calls.push_back("change");
        return operations.ChangePassword(letter, file, oldKey, newKey);
    }
    STDMETHODIMP GetMountedVolumeInfo(char letter, char* file, LONGLONG* size) override {
        return operations.GetMountedVolumeInfo(letter, file, size);
    }
    STDMETHODIMP GetUsedDrive(char* letter) override { return operations.GetUsedDrive(letter); }
    STDMETHODIMP UnmountPossible(char letter) override {
        return operations.UnmountPossible(letter);
    }

    KvOperations operations;
    std::vector<std::string> calls;
    int busyUnmounts = 0;
};

// What a letter names, or "" when it names nothing.
std::string TargetOf(char letter) {
    const char name[] = {letter, ':', 0};
    char target[256] = {};
    return QueryDosDeviceA(name, target, sizeof(target)) != 0 ? target : "";
}

class Reader : public DirectSystem {
protected:
    // Runs the reader with `arguments`, the console giving `keys` and then nothing more.
    HRESULT Run(std::vector<std::string> arguments, const std::string& keys = "") {
        arguments.insert(arguments.begin(), "VDReader.exe");
        std::vector<char*> argv;
        for (std::string& argument : arguments) {
            argv.push_back(argument.data());
        }
        argv.push_back(nullptr);
        int pipeFds[2];
        EXPECT_EQ(::pipe(pipeFds), 0);
        EXPECT_EQ(::write(pipeFds[1], keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
        ::close(pipeFds[1]);
        const int savedInput = ::dup(STDIN_FILENO);
        ::dup2(pipeFds[0], STDIN_FILENO);
        ::close(pipeFds[0]);
        ::testing::internal::CaptureStdout();
        const HRESULT result =
            RunReader(&controller_, static_cast<int>(arguments.size()), argv.data());
        output_ = ::testing::internal::GetCapturedStdout();
        ::dup2(savedInput, STDIN_FILENO);
        ::close(savedInput);
        return result;
    }

    // A container made by the controller, unmounted again.
    std::string MakeContainer() {
        const std::string file = FreshContainer("disk.vd");
        KvOperations operations;
        EXPECT_EQ(
            operations.CreateCryptedDisk('Q', kSize, file.c_str(), kMaterial.c_str(), kPassword),
            S_OK);
        EXPECT_EQ(operations.UmountDisk('Q', 1), S_OK);
        return file;
    }

    // The text the reader shows for a controller code.
    static std::string Text(HRESULT code) {
        for (const KvMessage& message : kKvMessages) {
            if (message.number == KvMessageNumber(code)) {
                return message.text;
            }
        }
        return "";
    }

    Controller controller_;
    std::string output_;
};

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// ---- The command line ----

struct UsageCase {
    const char* label;
    std::vector<std::string> arguments;
};

void PrintTo(const UsageCase& c, std::ostream* out) {
    *out << c.label;
}

class BadArguments : public Reader, public ::testing::WithParamInterface<UsageCase> {};

TEST_P(BadArguments, ShowTheUsageAndCallNothing) {
    EXPECT_EQ(Run(GetParam().arguments, std::string(kPassword) + "\r"), kReaderUsage);
    EXPECT_TRUE(Contains(output_, "usage:\n\tVDReader.exe /[open|close] <filename> Z:\n"))
        << output_;
    EXPECT_EQ(controller_.calls, std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BadArguments,
    ::testing::Values(UsageCase{"None", {}}, UsageCase{"UnknownSwitch", {"/mount", "M:"}},
                      UsageCase{"OpenWithoutLetter", {"/open", "C:\\disk.vd"}},
                      UsageCase{"OpenWithTooMuch", {"/open", "C:\\disk.vd", "M:", "N:"}},
                      UsageCase{"CloseWithoutLetter", {"/close"}},
                      UsageCase{"CloseWithTooMuch", {"/close", "M:", "N:"}},
                      UsageCase{"CriticalCloseWithoutLetter", {"/crit_close"}},
                      UsageCase{"SwitchInOtherCase", {"/OPEN", "C:\\disk.vd", "M:"}}),
    [](const auto& test) { return std::string(test.param.label); });

// ---- /open ----

TEST_F(Reader, OpenMountsReadOnlyAfterThePassword) {
    const std::string file = MakeContainer();
    EXPECT_EQ(Run({"/open", file, "M:"}, std::string(kPassword) + "\r"), S_OK);
    EXPECT_EQ(controller_.calls, std::vector<std::string>{"open m \\??\\" + file});
    EXPECT_TRUE(Contains(output_, "\nTrying to open the VaultDisk \\??\\" + file + "...\n"))
        << output_;
    EXPECT_TRUE(Contains(output_, "enter your secret password (min 4, max 40 symbols) -> ********"))
        << output_;
    EXPECT_EQ(TargetOf('M'), "\\Device\\Harddisk\\VaultDisk0");
    // The lower-case letter the reader passes made the mount read-only.
    HANDLE volume = CreateFileA("\\\\.\\M:", GENERIC_READ | GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING, 0, NULL);
    ASSERT_NE(volume, INVALID_HANDLE_VALUE);
    std::vector<char> sector(VD_SECTOR_SIZE);
    DWORD done = 0;
    EXPECT_FALSE(WriteFile(volume, sector.data(), VD_SECTOR_SIZE, &done, NULL));
    EXPECT_EQ(GetLastError(), ERROR_WRITE_PROTECT);
    CloseHandle(volume);
}

struct PasswordCase {
    const char* label;
    std::string keys;
    HRESULT result;
    bool mounted;
    const char* shown;  // a part of the output
};

void PrintTo(const PasswordCase& c, std::ostream* out) {
    *out << c.label;
}

class Password : public Reader, public ::testing::WithParamInterface<PasswordCase> {};

TEST_P(Password, IsAskedUntilItFitsOrTheUserGivesUp) {
    const PasswordCase& c = GetParam();
    const std::string file = MakeContainer();
    EXPECT_EQ(Run({"/open", file, "M:"}, c.keys), c.result);
    EXPECT_EQ(TargetOf('M').empty(), !c.mounted);
    EXPECT_TRUE(Contains(output_, c.shown)) << output_;
    if (c.result == kReaderCancelled) {
        EXPECT_EQ(controller_.calls, std::vector<std::string>{});
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Password,
    ::testing::Values(PasswordCase{"Escape", "pass\x1b", kReaderCancelled, false, "\nCancelled.\n"},
                      PasswordCase{"EndOfInput", "pass", kReaderCancelled, false, "\nCancelled.\n"},
                      PasswordCase{"BackspaceCorrects", "passX\b1234\r", S_OK, true, "******"},
                      PasswordCase{"TooShortThenNo", "abc\rn", kReaderCancelled, false,
                                   "incorrect password length, please try again [Y/N] -> n\n"},
                      PasswordCase{"TooShortThenYes", std::string("abc\ry") + "pass1234\r", S_OK,
                                   true, "[Y/N] -> y\n"},
                      PasswordCase{"TooLongThenEnd", std::string(41, 'p') + "\r", kReaderCancelled,
                                   false, "[Y/N] -> \n"},
                      PasswordCase{"Wrong", "pass12345\r", KV_E_WRONG_PASSWORD, false,
                                   "\nVaultDisk mounting failed: Incorrect password..\n"}),
    [](const auto& test) { return std::string(test.param.label); });

TEST_F(Reader, OpenOnALetterInUseSaysSo) {
    const std::string file = MakeContainer();
    EXPECT_EQ(Run({"/open", file, "C:"}, std::string(kPassword) + "\r"), KV_E_LETTER_IN_USE);
    EXPECT_TRUE(Contains(output_, "VaultDisk mounting failed: " + Text(KV_E_LETTER_IN_USE) + ".\n"))
        << output_;
}

// ---- /close and /crit_close ----

struct CloseCase {
    const char* label;
    std::vector<std::string> arguments;
    int busyUnmounts;
    std::string keys;
    HRESULT result;
    std::vector<std::string> calls;
    bool stillMounted;
};

void PrintTo(const CloseCase& c, std::ostream* out) {
    *out << c.label;
}

class Close : public Reader, public ::testing::WithParamInterface<CloseCase> {};

TEST_P(Close, TakesTheDiskDownAsAsked) {
    const CloseCase& c = GetParam();
    const std::string file = MakeContainer();
    ASSERT_EQ(controller_.operations.OpenCryptedDisk('m', file.c_str(), kPassword), S_OK);
    controller_.busyUnmounts = c.busyUnmounts;
    EXPECT_EQ(Run(c.arguments, c.keys), c.result);
    EXPECT_EQ(controller_.calls, c.calls);
    EXPECT_EQ(!TargetOf('M').empty(), c.stillMounted);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Close,
    ::testing::Values(
        CloseCase{"Safe", {"/close", "M:"}, 0, "", S_OK, {"safe M"}, false},
        CloseCase{"BusyThenRetry", {"/close", "M:"}, 1, "r", S_OK, {"safe M", "safe M"}, false},
        CloseCase{"BusyThenUnsafe",
                  {"/close", "M:"},
                  2,
                  "ru",
                  S_OK,
                  {"safe M", "safe M", "critical M"},
                  false},
        CloseCase{"BusyThenAbort", {"/close", "M:"}, 1, "a", kReaderCancelled, {"safe M"}, true},
        CloseCase{"BusyAtEndOfInput", {"/close", "M:"}, 1, "", kReaderCancelled, {"safe M"}, true},
        CloseCase{"OtherLetterSaysNothing", {"/close", "N:"}, 0, "", S_OK, {"safe N"}, true},
        CloseCase{"Critical", {"/crit_close", "M:"}, 5, "", S_OK, {"critical M"}, false},
        CloseCase{"CriticalNeverC", {"/crit_close", "c:"}, 0, "", S_OK, {}, true},
        CloseCase{"CriticalOtherLetter",
                  {"/crit_close", "N:"},
                  0,
                  "",
                  KV_E_ALREADY_UNMOUNTED,
                  {"critical N"},
                  true}),
    [](const auto& test) { return std::string(test.param.label); });

TEST_F(Reader, CloseOfALetterThatIsNotMountedIsSilent) {
    EXPECT_EQ(Run({"/close", "N:"}), S_OK);
    EXPECT_EQ(output_, "\nTrying to safely unmount drive N: ...\n");
}

TEST_F(Reader, CriticalCloseReportsWhatFailed) {
    EXPECT_EQ(Run({"/crit_close", "N:"}), KV_E_ALREADY_UNMOUNTED);
    EXPECT_EQ(output_, "Unsafe unmounting of drive N: ...\nVaultDisk unsafe unmounting failed: " +
                           Text(KV_E_ALREADY_UNMOUNTED) + ".\n");
}

TEST_F(Reader, BusyVolumeOffersRetryAbortOrUnsafe) {
    const std::string file = MakeContainer();
    ASSERT_EQ(controller_.operations.OpenCryptedDisk('m', file.c_str(), kPassword), S_OK);
    controller_.busyUnmounts = 1;
    EXPECT_EQ(Run({"/close", "M:"}, "a"), kReaderCancelled);
    EXPECT_EQ(output_,
              "\nTrying to safely unmount drive M: ...\n"
              "Retry (R) / Abort (A) / Perfom Unsafe Unmount (U) -> a\nCancelled.\n");
    EXPECT_EQ(controller_.operations.UmountDisk('M', 1), S_OK);
}

}  // namespace
}  // namespace reader_test
