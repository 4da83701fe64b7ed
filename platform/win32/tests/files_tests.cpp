// The Win32 file calls on a system root without a running kernel: host drive C: and shares.
#include <gtest/gtest.h>
#include <windows.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "internal.h"
#include "registry/store.h"

namespace {

namespace fs = std::filesystem;

// One system root for the whole program: the process finds it through its environment.
class SystemRootEnvironment : public ::testing::Environment {
public:
    static fs::path root;
    void SetUp() override {
        root = fs::temp_directory_path() / ("win32-tests-" + std::to_string(::getpid()));
        fs::create_directories(root / "drive_c" / "Documents and Settings" / "Tester");
        fs::create_directories(root / "dosdevices" / "unc" / "Server");
        fs::create_directories(root / "share");
        fs::create_directory_symlink("../drive_c", root / "dosdevices" / "c:");
        fs::create_directory_symlink("../../../share",
                                     root / "dosdevices" / "unc" / "Server" / "Public");
        ::setenv("HARBORLOCK_SYSTEM", root.c_str(), 1);
    }
    void TearDown() override { fs::remove_all(root); }
};
fs::path SystemRootEnvironment::root;
const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new SystemRootEnvironment);

fs::path DriveC() {
    return SystemRootEnvironment::root / "drive_c";
}

HANDLE Open(const char* path, DWORD access, DWORD disposition,
            DWORD flags = FILE_ATTRIBUTE_NORMAL) {
    return CreateFileA(path, access, FILE_SHARE_READ, nullptr, disposition, flags, nullptr);
}

TEST(OpenFiles, DispositionsAndTheirErrors) {
    HANDLE created = Open("C:\\new.txt", GENERIC_WRITE, CREATE_NEW);
    ASSERT_NE(created, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
    CloseHandle(created);

    EXPECT_EQ(Open("C:\\new.txt", GENERIC_WRITE, CREATE_NEW), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_EXISTS));

    HANDLE always = Open("C:\\NEW.TXT", GENERIC_WRITE, CREATE_ALWAYS);
    ASSERT_NE(always, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    CloseHandle(always);
    EXPECT_FALSE(
        fs::exists(DriveC() / "NEW.TXT"));  // the existing name was matched, not a twin made

    EXPECT_EQ(Open("C:\\missing.txt", GENERIC_READ, OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(Open("C:\\no folder\\missing.txt", GENERIC_READ, OPEN_EXISTING),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(Open("C:\\bad|name.txt", GENERIC_WRITE, CREATE_ALWAYS), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_NAME));
    EXPECT_EQ(Open("C:\\new.txt", GENERIC_READ, TRUNCATE_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST(OpenFiles, NamesMatchWithoutRegardToCaseAndTrailingDots) {
    std::ofstream(DriveC() / "Documents and Settings" / "Tester" / "Notes.txt") << "hello";
    HANDLE file = Open("c:/DOCUMENTS AND SETTINGS\\tester\\.\\..\\Tester\\notes.TXT.", GENERIC_READ,
                       OPEN_EXISTING);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    char buffer[16] = {};
    DWORD read = 0;
    ASSERT_TRUE(ReadFile(file, buffer, sizeof(buffer), &read, nullptr));
    EXPECT_EQ(read, 5u);
    EXPECT_STREQ(buffer, "hello");
    CloseHandle(file);
}

TEST(OpenFiles, FoldersNeedBackupSemantics) {
    EXPECT_EQ(Open("C:\\Documents and Settings", GENERIC_READ, OPEN_EXISTING),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    HANDLE folder =
        Open("C:\\Documents and Settings", GENERIC_READ, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
    ASSERT_NE(folder, INVALID_HANDLE_VALUE);
    char byte;
    DWORD read;
    EXPECT_FALSE(ReadFile(folder, &byte, 1, &read, nullptr));
    EXPECT_TRUE(CloseHandle(folder));
    EXPECT_FALSE(CloseHandle(folder));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST(Files, WritePositionAndSize) {
    HANDLE file = Open("C:\\data.bin", GENERIC_READ | GENERIC_WRITE, CREATE_ALWAYS);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(file, "0123456789", 10, &written, nullptr));
    EXPECT_EQ(written, 10u);
    LARGE_INTEGER size{};
    ASSERT_TRUE(GetFileSizeEx(file, &size));
    EXPECT_EQ(size.QuadPart, 10);
    LARGE_INTEGER move{};
    move.QuadPart = -4;
    LARGE_INTEGER now{};
    ASSERT_TRUE(SetFilePointerEx(file, move, &now, FILE_END));
    EXPECT_EQ(now.QuadPart, 6);
    char tail[8] = {};
    DWORD read = 0;
    ASSERT_TRUE(ReadFile(file, tail, sizeof(tail), &read, nullptr));
    EXPECT_EQ(read, 4u);
    EXPECT_STREQ(tail, "6789");
    move.QuadPart = -100;
    EXPECT_FALSE(SetFilePointerEx(file, move, nullptr, FILE_CURRENT));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NEGATIVE_SEEK));
    CloseHandle(file);
}

TEST(Paths, NetworkSharesAndDevicesWithoutAKernel) {
    HANDLE shared = Open("\\\\server\\PUBLIC\\report.txt", GENERIC_WRITE, CREATE_NEW);
    ASSERT_NE(shared, INVALID_HANDLE_VALUE);
    CloseHandle(shared);
    EXPECT_TRUE(fs::exists(SystemRootEnvironment::root / "share" / "report.txt"));
    EXPECT_EQ(Open("\\\\elsewhere\\x\\a.txt", GENERIC_READ, OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BAD_NETPATH));
    EXPECT_EQ(GetDriveTypeA("\\\\server\\public\\"), static_cast<UINT>(DRIVE_REMOTE));

    // Without a booted kernel there is no device to open and no drive but the host's.
    EXPECT_EQ(Open("\\\\.\\X:", GENERIC_READ, OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(Open("X:\\file.txt", GENERIC_READ, OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_FALSE(DefineDosDeviceA(DDD_RAW_TARGET_PATH, "X:", "\\Device\\Harddisk\\VaultDisk0"));
}

TEST(Paths, LongPathsAreRefused) {
    const std::string longName = "C:\\" + std::string(260, 'a');
    EXPECT_EQ(Open(longName.c_str(), GENERIC_WRITE, CREATE_ALWAYS), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE));
}

TEST(Text, AnsiCodePageAtTheHostBoundary) {
    // 0x80 is the euro sign in Windows-1252; 0xE9 is e-acute.
    EXPECT_EQ(hl::win32::AnsiToUtf8("\x80\xE9"), "\xE2\x82\xAC\xC3\xA9");
    EXPECT_EQ(hl::win32::Utf16ToAnsi(u"\u20AC\u00E9\u4E00"), "\x80\xE9?");
    EXPECT_TRUE(hl::win32::NamesEqual("\xC3\xA9t\xC3\xA9", "\xC3\x89T\xC3\x89"));
    HANDLE file = Open("C:\\caf\xE9.txt", GENERIC_WRITE, CREATE_NEW);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    CloseHandle(file);
    EXPECT_TRUE(fs::exists(DriveC() / "caf\xC3\xA9.txt"));
    EXPECT_NE(Open("C:\\CAF\xC9.TXT", GENERIC_READ, OPEN_EXISTING), INVALID_HANDLE_VALUE);
}

TEST(SystemInfo, VersionFromTheRegistryWithXpAsDefault) {
    OSVERSIONINFOA info{};
    info.dwOSVersionInfoSize = sizeof(info);
    ASSERT_TRUE(GetVersionExA(&info));
    EXPECT_EQ(info.dwMajorVersion, 5u);
    EXPECT_EQ(info.dwMinorVersion, 1u);
    EXPECT_EQ(info.dwPlatformId, static_cast<DWORD>(VER_PLATFORM_WIN32_NT));

    std::unique_ptr<registry::Store> store;
    ASSERT_EQ(registry::Store::Open(SystemRootEnvironment::root / "registry", store),
              registry::Result::Ok);
    const std::u16string text = u"5.0";
    const registry::KeyPath key{registry::Root::LocalMachine,
                                "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion"};
    ASSERT_EQ(store->CreateKey(registry::Caller::Process(), key), registry::Result::Ok);
    ASSERT_EQ(store->SetValue(registry::Caller::Process(), key, "CurrentVersion", registry::kRegSz,
                              std::span(reinterpret_cast<const std::uint8_t*>(text.c_str()),
                                        (text.size() + 1) * 2)),
              registry::Result::Ok);
    ASSERT_TRUE(GetVersionExA(&info));
    EXPECT_EQ(info.dwMajorVersion, 5u);
    EXPECT_EQ(info.dwMinorVersion, 0u);
    info.dwOSVersionInfoSize = 4;
    EXPECT_FALSE(GetVersionExA(&info));
}

// A host error reaches a Win32 caller as its NT status would: the kernel's table, then
// the status-to-error table. Something else holding a file is a sharing violation.
TEST(Errors, HostErrorsThroughTheStatusTable) {
    const struct {
        int error;
        DWORD win32;
    } cases[] = {
        {0, ERROR_SUCCESS},
        {ENOENT, ERROR_FILE_NOT_FOUND},
        {ENOTDIR, ERROR_PATH_NOT_FOUND},
        {EACCES, ERROR_ACCESS_DENIED},
        {EISDIR, ERROR_ACCESS_DENIED},
        {ENOSPC, ERROR_DISK_FULL},
        {EDQUOT, ERROR_DISK_FULL},
        {EROFS, ERROR_WRITE_PROTECT},
        {ENOMEDIUM, ERROR_NOT_READY},
        {ENAMETOOLONG, ERROR_FILENAME_EXCED_RANGE},
        {EMFILE, ERROR_TOO_MANY_OPEN_FILES},
        {EBUSY, ERROR_SHARING_VIOLATION},
        {ETXTBSY, ERROR_SHARING_VIOLATION},
        {EBADF, ERROR_INVALID_HANDLE},
        {ENOTEMPTY, ERROR_DIR_NOT_EMPTY},
        {EIO, ERROR_IO_DEVICE},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(hl::win32::Win32ErrorFromErrno(c.error), c.win32) << c.error;
    }
}

}  // namespace
