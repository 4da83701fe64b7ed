// The Win32 registry calls on a system root of their own, checked against Windows' semantics.
#include <gtest/gtest.h>
#include <shlwapi.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <windows.h>

#include <array>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "registry/store.h"

namespace {

namespace fs = std::filesystem;

// One system root for the program, in /tmp and open to every user so that a child running
// as nobody reaches it too.
class SystemRootEnvironment : public ::testing::Environment {
public:
    static fs::path root;
    void SetUp() override {
        std::string pattern = "/tmp/win32-registry-XXXXXX";
        root = ::mkdtemp(pattern.data());
        ::chmod(root.c_str(), 0755);
        fs::create_directories(root / "drive_c");
        fs::create_directories(root / "dosdevices");
        fs::create_directory_symlink("../drive_c", root / "dosdevices" / "c:");
        std::unique_ptr<registry::Store> store;
        ASSERT_EQ(registry::Store::Open(root / "registry", store), registry::Result::Ok);
        ::setenv("HARBORLOCK_SYSTEM", root.c_str(), 1);
    }
    void TearDown() override { fs::remove_all(root); }
};
fs::path SystemRootEnvironment::root;
const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new SystemRootEnvironment);

constexpr uid_t kNobody = 65534;

// A key handle that closes itself.
class Key {
public:
    Key() = default;
    explicit Key(HKEY handle) : handle_(handle) {}
    ~Key() {
        if (handle_ != nullptr) {
            RegCloseKey(handle_);
        }
    }
    Key(const Key&) = delete;
    Key& operator=(const Key&) = delete;
    HKEY get() const { return handle_; }
    PHKEY out() { return &handle_; }

private:
    HKEY handle_ = nullptr;
};

// Each test works below a key of its own in the machine hive, removed afterwards.
class Win32Registry : public ::testing::Test {
protected:
    void SetUp() override {
        if (::geteuid() != 0) {
            GTEST_SKIP() << "the machine hive, the privileges and acting as nobody are root's";
        }
        path_ = std::string("Software\\Tests\\") +
                ::testing::UnitTest::GetInstance()->current_test_info()->name();
        ASSERT_EQ(
            RegCreateKeyExA(HKEY_LOCAL_MACHINE, path_.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                            KEY_ALL_ACCESS, nullptr, key_.out(), nullptr),
            ERROR_SUCCESS);
    }
    void TearDown() override {
        if (!path_.empty()) {
            SHDeleteKeyA(HKEY_LOCAL_MACHINE, path_.c_str());
        }
    }

    HKEY key() const { return key_.get(); }
    const std::string& path() const { return path_; }

    void Set(const char* name, DWORD type, const std::string& data) {
        ASSERT_EQ(RegSetValueExA(key(), name, 0, type, reinterpret_cast<const BYTE*>(data.data()),
                                 static_cast<DWORD>(data.size())),
                  ERROR_SUCCESS);
    }

    // The value exactly as the store holds it, as the kernel would read it.
    std::vector<uint8_t> Stored(const char* name, uint32_t& type) {
        std::unique_ptr<registry::Store> store;
        EXPECT_EQ(registry::Store::Open(SystemRootEnvironment::root / "registry", store),
                  registry::Result::Ok);
        std::vector<uint8_t> data;
        EXPECT_EQ(
            store->QueryValue({0, "root"}, {registry::Root::LocalMachine, path_}, name, type, data),
            registry::Result::Ok);
        return data;
    }

private:
    std::string path_;
    Key key_;
};

std::vector<uint8_t> Utf16Bytes(std::u16string_view text) {
    std::vector<uint8_t> bytes;
    for (char16_t unit : text) {
        bytes.push_back(static_cast<uint8_t>(unit & 0xFF));
        bytes.push_back(static_cast<uint8_t>(unit >> 8));
    }
    return bytes;
}

TEST_F(Win32Registry, MissingKeysAndValues) {
    Key opened;
    EXPECT_EQ(RegOpenKeyExA(key(), "Absent", 0, KEY_READ, opened.out()), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, ("\\" + path()).c_str(), 0, KEY_READ, opened.out()),
              ERROR_BAD_PATHNAME);
    EXPECT_EQ(RegQueryValueExA(key(), "Absent", nullptr, nullptr, nullptr, nullptr),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegDeleteValueA(key(), "Absent"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegDeleteKeyA(key(), "Absent"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(SHDeleteKeyA(key(), "Absent"), ERROR_FILE_NOT_FOUND);

    // A trailing backslash and another spelling name the same key.
    std::string upper = path();
    for (char& c : upper) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    Key same;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, (upper + "\\").c_str(), 0, KEY_READ, same.out()),
              ERROR_SUCCESS);
    Set("Here", REG_DWORD, std::string("\x01\x00\x00\x00", 4));
    DWORD value = 0;
    DWORD size = sizeof(value);
    EXPECT_EQ(RegQueryValueExA(same.get(), "HERE", nullptr, nullptr,
                               reinterpret_cast<BYTE*>(&value), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(value, 1u);
}

TEST_F(Win32Registry, QueryValueSizesAndShortBuffers) {
    struct Case {
        const char* name;
        DWORD type;
        std::string data;  // as given to RegSetValueExA, and returned by RegQueryValueExA
    };
    const Case cases[] = {
        {"Text", REG_SZ, std::string("abc\0", 4)},
        {"Unterminated", REG_SZ, "ab"},  // returned as stored, without a terminator
        {"Letter", REG_SZ, "X"},         // one character, one byte: a drive letter alone
        {"", REG_SZ, std::string("default\0", 8)},
        {"Empty", REG_SZ, ""},
        {"Paths", REG_MULTI_SZ, std::string("a\0bc\0\0", 6)},
        {"Number", REG_DWORD, std::string("\x2A\x00\x00\x00", 4)},
        {"Blob", REG_BINARY, std::string("\x00\xFF\x80\x01\x02", 5)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Set(c.name, c.type, c.data);
        const auto size = static_cast<DWORD>(c.data.size());

        DWORD type = 0;
        DWORD needed = 12345;
        ASSERT_EQ(RegQueryValueExA(key(), c.name, nullptr, &type, nullptr, &needed), ERROR_SUCCESS);
        EXPECT_EQ(type, c.type);
        EXPECT_EQ(needed, size);

        std::vector<char> buffer(size + 4, '#');
        DWORD length = size;
        ASSERT_EQ(RegQueryValueExA(key(), c.name, nullptr, nullptr,
                                   reinterpret_cast<BYTE*>(buffer.data()), &length),
                  ERROR_SUCCESS);
        EXPECT_EQ(length, size);
        EXPECT_EQ(std::string(buffer.data(), length), c.data);
        EXPECT_EQ(buffer[size], '#');  // nothing written past the data

        if (size > 0) {
            length = size - 1;
            EXPECT_EQ(RegQueryValueExA(key(), c.name, nullptr, &type,
                                       reinterpret_cast<BYTE*>(buffer.data()), &length),
                      ERROR_MORE_DATA);
            EXPECT_EQ(length, size);
        }
    }
    // The default value answers to a null name as well as to "".
    DWORD needed = 0;
    EXPECT_EQ(RegQueryValueExA(key(), nullptr, nullptr, nullptr, nullptr, &needed), ERROR_SUCCESS);
    EXPECT_EQ(needed, 8u);
    char buffer[4];
    EXPECT_EQ(
        RegQueryValueExA(key(), "Text", nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), nullptr),
        ERROR_INVALID_PARAMETER);
}

TEST_F(Win32Registry, StringsAreUtf16InTheStoreAndAnsiAtTheCalls) {
    // e-acute, the euro sign (0x80) and Y-diaeresis (0x9F) of the Windows-1252 code page.
    const std::string ansi("Caf\xE9 \x80\x9F", 7);
    const std::u16string wide = u"Caf\u00E9 \u20AC\u0178";
    struct Case {
        const char* name;
        DWORD type;
        std::string ansi;
        std::u16string wide;
    };
    const Case cases[] = {
        {"Sz", REG_SZ, ansi + '\0', wide + u'\0'},
        {"Expand", REG_EXPAND_SZ, "%windir%\\" + ansi + '\0', u"%windir%\\" + wide + u'\0'},
        {"Multi", REG_MULTI_SZ, ansi + '\0' + "x" + '\0' + '\0',
         wide + u'\0' + u"x" + u'\0' + u'\0'},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Set(c.name, c.type, c.ansi);
        uint32_t type = 0;
        EXPECT_EQ(Stored(c.name, type), Utf16Bytes(c.wide));
        EXPECT_EQ(type, c.type);
        std::vector<char> back(64);
        DWORD size = static_cast<DWORD>(back.size());
        ASSERT_EQ(RegQueryValueExA(key(), c.name, nullptr, nullptr,
                                   reinterpret_cast<BYTE*>(back.data()), &size),
                  ERROR_SUCCESS);
        EXPECT_EQ(std::string(back.data(), size), c.ansi);
    }

    // What the kernel writes in UTF-16 reads back in ANSI, '?' where the code page has no
    // character; other types are never converted.
    std::unique_ptr<registry::Store> store;
    ASSERT_EQ(registry::Store::Open(SystemRootEnvironment::root / "registry", store),
              registry::Result::Ok);
    const registry::KeyPath here{registry::Root::LocalMachine, path()};
    ASSERT_EQ(store->SetValue({0, "root"}, here, "FromKernel", REG_SZ,
                              Utf16Bytes(std::u16string(u"\u4E2D\u00E9\u0000", 3))),
              registry::Result::Ok);
    char text[8] = {};
    DWORD size = sizeof(text);
    ASSERT_EQ(RegQueryValueExA(key(), "FromKernel", nullptr, nullptr, reinterpret_cast<BYTE*>(text),
                               &size),
              ERROR_SUCCESS);
    EXPECT_EQ(size, 3u);
    EXPECT_STREQ(text, "?\xE9");

    const std::string raw("\xE9\x00\x80\x00", 4);
    Set("Raw", REG_BINARY, raw);
    Set("Number", REG_DWORD, std::string("\x80\x00\x00\x00", 4));
    Set("Big", REG_QWORD, std::string("\x01\x02\x03\x04\x05\x06\x07\x08", 8));
    uint32_t type = 0;
    EXPECT_EQ(Stored("Raw", type), std::vector<uint8_t>(raw.begin(), raw.end()));
    EXPECT_EQ(Stored("Number", type), (std::vector<uint8_t>{0x80, 0, 0, 0}));
    EXPECT_EQ(Stored("Big", type), (std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7, 8}));
    EXPECT_EQ(type, static_cast<uint32_t>(REG_QWORD));
}

TEST_F(Win32Registry, EnumerationAndKeyInformation) {
    for (const char* name : {"Beta", "alpha", "Gamma"}) {
        Key child;
        ASSERT_EQ(RegCreateKeyA(key(), name, child.out()), ERROR_SUCCESS);
    }
    Set("Second", REG_SZ, std::string("two\0", 4));
    Set("first", REG_BINARY, "1234567890");

    char name[16];
    DWORD length = sizeof(name);
    FILETIME written{};
    ASSERT_EQ(RegEnumKeyExA(key(), 0, name, &length, nullptr, nullptr, nullptr, &written),
              ERROR_SUCCESS);
    EXPECT_STREQ(name, "alpha");
    EXPECT_EQ(length, 5u);  // without the terminator
    EXPECT_NE(written.dwHighDateTime, 0u);
    ASSERT_EQ(RegEnumKeyA(key(), 2, name, sizeof(name)), ERROR_SUCCESS);
    EXPECT_STREQ(name, "Gamma");
    EXPECT_EQ(RegEnumKeyA(key(), 3, name, sizeof(name)), ERROR_NO_MORE_ITEMS);
    length = 5;  // "alpha" needs six with its terminator
    EXPECT_EQ(RegEnumKeyExA(key(), 0, name, &length, nullptr, nullptr, nullptr, nullptr),
              ERROR_MORE_DATA);

    // Values come in the order they were set.
    DWORD type = 0;
    BYTE data[16];
    DWORD dataSize = sizeof(data);
    length = sizeof(name);
    ASSERT_EQ(RegEnumValueA(key(), 1, name, &length, nullptr, &type, data, &dataSize),
              ERROR_SUCCESS);
    EXPECT_STREQ(name, "first");
    EXPECT_EQ(length, 5u);
    EXPECT_EQ(type, static_cast<DWORD>(REG_BINARY));
    EXPECT_EQ(dataSize, 10u);
    length = sizeof(name);
    ASSERT_EQ(RegEnumValueA(key(), 0, name, &length, nullptr, nullptr, nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_STREQ(name, "Second");
    length = sizeof(name);
    EXPECT_EQ(RegEnumValueA(key(), 2, name, &length, nullptr, nullptr, nullptr, nullptr),
              ERROR_NO_MORE_ITEMS);

    DWORD subkeys = 0;
    DWORD maxSubkey = 0;
    DWORD values = 0;
    DWORD maxName = 0;
    DWORD maxData = 0;
    ASSERT_EQ(RegQueryInfoKeyA(key(), nullptr, nullptr, nullptr, &subkeys, &maxSubkey, nullptr,
                               &values, &maxName, &maxData, nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(subkeys, 3u);
    EXPECT_EQ(maxSubkey, 5u);
    EXPECT_EQ(values, 2u);
    EXPECT_EQ(maxName, 6u);
    EXPECT_GE(maxData, 10u);  // enough for any value's data through these calls
}

TEST_F(Win32Registry, KeysWithSubkeysNeedTheShellToDelete) {
    Key deep;
    DWORD disposition = 0;
    ASSERT_EQ(RegCreateKeyExA(key(), "Tree\\Branch\\Leaf", 0, nullptr, REG_OPTION_NON_VOLATILE,
                              KEY_WRITE, nullptr, deep.out(), &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_CREATED_NEW_KEY));
    Key again;
    ASSERT_EQ(RegCreateKeyExA(key(), "TREE\\branch", 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_READ,
                              nullptr, again.out(), &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));

    EXPECT_EQ(RegDeleteKeyA(key(), "Tree"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteKeyA(key(), "Tree\\Branch\\Leaf"), ERROR_SUCCESS);
    EXPECT_EQ(SHDeleteKeyA(key(), "Tree"), ERROR_SUCCESS);
    Key gone;
    EXPECT_EQ(RegOpenKeyExA(key(), "Tree", 0, KEY_READ, gone.out()), ERROR_FILE_NOT_FOUND);
    // The predefined keys stay.
    EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, ""), ERROR_ACCESS_DENIED);
}

TEST_F(Win32Registry, HandlesRightsAndDeletedKeys) {
    HKEY bogus = reinterpret_cast<HKEY>(static_cast<uintptr_t>(0x7777));
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExA(bogus, "x", nullptr, nullptr, nullptr, &size), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegCloseKey(nullptr), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegSetValueExA(HKEY_DYN_DATA, "x", 0, REG_SZ, nullptr, 0), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegCloseKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);  // harmless, and it stays usable
    Key still;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, path().c_str(), 0, KEY_READ, still.out()),
              ERROR_SUCCESS);

    // A file handle is no key.
    HANDLE file = CreateFileA("C:\\not-a-key.txt", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    EXPECT_EQ(RegCloseKey(reinterpret_cast<HKEY>(file)), ERROR_INVALID_HANDLE);
    EXPECT_TRUE(CloseHandle(file));

    HKEY reader = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, path().c_str(), 0, KEY_READ, &reader),
              ERROR_SUCCESS);
    const BYTE one[4] = {1, 0, 0, 0};
    EXPECT_EQ(RegSetValueExA(reader, "x", 0, REG_DWORD, one, 4), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteValueA(reader, "x"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegCloseKey(reader), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(reader), ERROR_INVALID_HANDLE);

    Key writer;
    ASSERT_EQ(RegOpenKeyExA(key(), nullptr, 0, KEY_SET_VALUE, writer.out()), ERROR_SUCCESS);
    EXPECT_EQ(RegSetValueExA(writer.get(), "x", 0, REG_DWORD, one, 4), ERROR_SUCCESS);
    EXPECT_EQ(RegQueryValueExA(writer.get(), "x", nullptr, nullptr, nullptr, &size),
              ERROR_ACCESS_DENIED);
    char name[8];
    EXPECT_EQ(RegEnumKeyA(writer.get(), 0, name, sizeof(name)), ERROR_ACCESS_DENIED);

    // A handle outlives its key: every later call on it says the key was deleted.
    Key doomed;
    ASSERT_EQ(RegCreateKeyExA(key(), "Doomed", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, doomed.out(),
                              nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegDeleteKeyA(key(), "Doomed"), ERROR_SUCCESS);
    EXPECT_EQ(RegSetValueExA(doomed.get(), "x", 0, REG_DWORD, one, 4), ERROR_KEY_DELETED);
    EXPECT_EQ(RegQueryValueExA(doomed.get(), "x", nullptr, nullptr, nullptr, &size),
              ERROR_KEY_DELETED);
    EXPECT_EQ(RegEnumKeyA(doomed.get(), 0, name, sizeof(name)), ERROR_KEY_DELETED);
    Key orphan;
    EXPECT_EQ(RegCreateKeyExA(doomed.get(), "Child", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              orphan.out(), nullptr),
              ERROR_KEY_DELETED);
    EXPECT_EQ(RegOpenKeyExA(key(), "Doomed", 0, KEY_READ, orphan.out()), ERROR_FILE_NOT_FOUND);
}

TEST_F(Win32Registry, ClassesRootWritesGoWhereTheKeyLives) {
    // A class only the machine knows: writes through the merged view land in the machine's tree.
    Key machineClass;
    ASSERT_EQ(RegCreateKeyA(HKEY_CLASSES_ROOT, ".hltest", machineClass.out()), ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(machineClass.get(), "", 0, REG_SZ,
                             reinterpret_cast<const BYTE*>("machine"), 8),
              ERROR_SUCCESS);
    Key viaMachine;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Classes\\.hltest", 0, KEY_READ,
                            viaMachine.out()),
              ERROR_SUCCESS);

    // Once the user's tree has the class, the merged view reads and writes the user's key.
    Key userClass;
    ASSERT_EQ(RegCreateKeyA(HKEY_CURRENT_USER, "Software\\Classes\\.hltest", userClass.out()),
              ERROR_SUCCESS);
    Key merged;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, ".hltest", 0, KEY_ALL_ACCESS, merged.out()),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(merged.get(), "", 0, REG_SZ, reinterpret_cast<const BYTE*>("user"), 5),
              ERROR_SUCCESS);
    char text[16];
    DWORD size = sizeof(text);
    ASSERT_EQ(RegQueryValueExA(userClass.get(), "", nullptr, nullptr, reinterpret_cast<BYTE*>(text),
                               &size),
              ERROR_SUCCESS);
    EXPECT_STREQ(text, "user");
    size = sizeof(text);
    ASSERT_EQ(RegQueryValueExA(viaMachine.get(), "", nullptr, nullptr,
                               reinterpret_cast<BYTE*>(text), &size),
              ERROR_SUCCESS);
    EXPECT_STREQ(text, "machine");

    EXPECT_EQ(SHDeleteKeyA(HKEY_CURRENT_USER, "Software\\Classes\\.hltest"), ERROR_SUCCESS);
    EXPECT_EQ(SHDeleteKeyA(HKEY_LOCAL_MACHINE, "Software\\Classes\\.hltest"), ERROR_SUCCESS);
}

// Enables or disables one privilege; the last error tells whether the account holds it.
DWORD AdjustPrivilege(const char* name, bool enable) {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) {
        return GetLastError();
    }
    TOKEN_PRIVILEGES privileges{};
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = enable ? SE_PRIVILEGE_ENABLED : 0;
    DWORD result = ERROR_SUCCESS;
    if (!LookupPrivilegeValueA(nullptr, name, &privileges.Privileges[0].Luid) ||
        !AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr)) {
        result = GetLastError();
    } else {
        result = GetLastError();  // ERROR_NOT_ALL_ASSIGNED when the account lacks it
    }
    CloseHandle(token);
    return result;
}

// Windows' results for strings whose length leaves out the terminator: the size reported is
// the data as stored; RegQueryValueExA and RegEnumValueA add a terminator after it only when
// the buffer has room for one, and never write past the buffer.
TEST_F(Win32Registry, StringsWithoutTerminatorReadBackAsOnWindows) {
    struct Case {
        const char* name;
        DWORD type;
        std::string given;  // the bytes and length given to RegSetValueExA
    };
    const Case cases[] = {
        {"Partial", REG_SZ, "FullStrin"},
        {"LastDriveLetter", REG_SZ, "X"},  // one byte, no terminator
        {"Expand", REG_EXPAND_SZ, "%x%"},
        {"Multi", REG_MULTI_SZ, std::string("a\0b", 3)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Set(c.name, c.type, c.given);
        const auto size = static_cast<DWORD>(c.given.size());
        DWORD needed = 0;
        ASSERT_EQ(RegQueryValueExA(key(), c.name, nullptr, nullptr, nullptr, &needed),
                  ERROR_SUCCESS);
        EXPECT_EQ(needed, size);

        for (const bool enumerate : {false, true}) {
            SCOPED_TRACE(enumerate ? "RegEnumValueA" : "RegQueryValueExA");
            // Exactly the size: no terminator, the byte after left alone.
            for (const DWORD room : {size, size + 1}) {
                std::vector<unsigned char> buffer(size + 4, 0xBD);
                DWORD length = room;
                LONG result = ERROR_SUCCESS;
                if (enumerate) {
                    char name[32];
                    DWORD nameLength = sizeof(name);
                    DWORD index = 0;
                    do {
                        nameLength = sizeof(name);
                        result = RegEnumValueA(key(), index++, name, &nameLength, nullptr, nullptr,
                                               nullptr, nullptr);
                    } while (result == ERROR_SUCCESS && std::strcmp(name, c.name) != 0);
                    ASSERT_EQ(result, ERROR_SUCCESS);
                    nameLength = sizeof(name);
                    result = RegEnumValueA(key(), index - 1, name, &nameLength, nullptr, nullptr,
                                           buffer.data(), &length);
                } else {
                    result =
                        RegQueryValueExA(key(), c.name, nullptr, nullptr, buffer.data(), &length);
                }
                ASSERT_EQ(result, ERROR_SUCCESS);
                EXPECT_EQ(length, size);
                EXPECT_EQ(std::string(buffer.begin(), buffer.begin() + size), c.given);
                EXPECT_EQ(buffer[size], room > size ? 0 : 0xBD);
                EXPECT_EQ(buffer[size + 1], 0xBD);
            }
        }
        // One byte short: ERROR_MORE_DATA with the size, the buffer untouched.
        std::vector<unsigned char> buffer(size + 1, 0xBD);
        DWORD length = size - 1;
        EXPECT_EQ(RegQueryValueExA(key(), c.name, nullptr, nullptr, buffer.data(), &length),
                  ERROR_MORE_DATA);
        EXPECT_EQ(length, size);
        EXPECT_EQ(buffer[0], 0xBD);
    }

    // The drive letter read as the tray program reads it: into two bytes, the first taken.
    char letter[2] = {'#', '#'};
    DWORD length = sizeof(letter);
    ASSERT_EQ(RegQueryValueExA(key(), "LastDriveLetter", nullptr, nullptr,
                               reinterpret_cast<BYTE*>(letter), &length),
              ERROR_SUCCESS);
    EXPECT_EQ(length, 1u);
    EXPECT_EQ(std::string(letter, sizeof(letter)), std::string("X\0", 2));

    // A terminated string keeps its size, terminator included; a short buffer is refused.
    const char full[] = "FullString";
    Set("Full", REG_SZ, std::string(full, sizeof(full)));
    char text[sizeof(full)];
    length = sizeof(full) - 1;
    EXPECT_EQ(
        RegQueryValueExA(key(), "Full", nullptr, nullptr, reinterpret_cast<BYTE*>(text), &length),
        ERROR_MORE_DATA);
    EXPECT_EQ(length, sizeof(full));
}

TEST_F(Win32Registry, QueryValueCornerCases) {
    // A missing value: a size asked for alone becomes 0; next to a buffer it is left alone.
    DWORD type = 0xDEADBEEF;
    DWORD size = 0xDEADBEEF;
    EXPECT_EQ(RegQueryValueExA(key(), "Missing", nullptr, &type, nullptr, &size),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(size, 0u);
    BYTE buffer[10];
    size = sizeof(buffer);
    EXPECT_EQ(RegQueryValueExA(key(), "Missing", nullptr, &type, buffer, &size),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(size, sizeof(buffer));

    // Type and size in one variable: the size is taken before the type is written.
    Set("Four", REG_BINARY, "1234");
    DWORD both = 4;
    ASSERT_EQ(RegQueryValueExA(key(), "Four", nullptr, &both, buffer, &both), ERROR_SUCCESS);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 4), "1234");
    EXPECT_EQ(both, 4u);
}

// RegEnumValueA of the value "Test" = "foobar" (7 bytes): when the name or the data does not
// fit, Windows writes neither, leaves the name count alone and gives the data size and type.
TEST_F(Win32Registry, EnumValueWithShortBuffersWritesNothing) {
    Set("Test", REG_SZ, std::string("foobar", 7));
    struct Case {
        const char* what;
        DWORD nameCount;
        DWORD dataCount;
        LONG result;
        DWORD nameAfter;
    };
    const Case cases[] = {
        {"both short", 2, 2, ERROR_MORE_DATA, 2},
        {"name short", 3, 20, ERROR_MORE_DATA, 3},
        {"name without room for its terminator", 4, 20, ERROR_MORE_DATA, 4},
        {"no name room", 0, 20, ERROR_MORE_DATA, 0},
        {"data short", 20, 2, ERROR_MORE_DATA, 20},
        {"both fit", 20, 20, ERROR_SUCCESS, 4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        char name[20];
        char data[20];
        std::memset(name, 'x', sizeof(name));
        std::memset(data, 'x', sizeof(data));
        DWORD nameCount = c.nameCount;
        DWORD dataCount = c.dataCount;
        DWORD type = 1234;
        EXPECT_EQ(RegEnumValueA(key(), 0, name, &nameCount, nullptr, &type,
                                reinterpret_cast<BYTE*>(data), &dataCount),
                  c.result);
        EXPECT_EQ(nameCount, c.nameAfter);
        EXPECT_EQ(dataCount, 7u);
        EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
        if (c.result == ERROR_SUCCESS) {
            EXPECT_STREQ(name, "Test");
            EXPECT_STREQ(data, "foobar");
        } else {
            EXPECT_EQ(std::string(name, sizeof(name)), std::string(sizeof(name), 'x'));
            EXPECT_EQ(std::string(data, sizeof(data)), std::string(sizeof(data), 'x'));
        }
    }
}

TEST_F(Win32Registry, KeyClassesAreKeptReportedAndSaved) {
    const char subkeyClass[] = "subkey class";
    Key subkey;
    ASSERT_EQ(RegCreateKeyExA(key(), "subkey", 0, const_cast<char*>(subkeyClass), 0, KEY_ALL_ACCESS,
                              nullptr, subkey.out(), nullptr),
              ERROR_SUCCESS);
    Key subsubkey;
    ASSERT_EQ(RegCreateKeyExA(subkey.get(), "subsubkey", 0, const_cast<char*>("subsubkey class"), 0,
                              KEY_ALL_ACCESS, nullptr, subsubkey.out(), nullptr),
              ERROR_SUCCESS);
    // Opening it again with another class changes nothing.
    Key again;
    ASSERT_EQ(RegCreateKeyExA(key(), "subkey", 0, const_cast<char*>("other"), 0, KEY_ALL_ACCESS,
                              nullptr, again.out(), nullptr),
              ERROR_SUCCESS);

    DWORD length = 0;
    DWORD maxClass = 0;
    ASSERT_EQ(RegQueryInfoKeyA(subkey.get(), nullptr, &length, nullptr, nullptr, nullptr, &maxClass,
                               nullptr, nullptr, nullptr, nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(length, std::strlen(subkeyClass));
    EXPECT_EQ(maxClass, std::strlen("subsubkey class"));

    // Windows' answers for buffers of every size.
    struct Case {
        DWORD room;
        LONG result;
        DWORD lengthAfter;
        std::string written;  // what the buffer holds afterwards, up to its first 0x55
    };
    const Case cases[] = {
        {0, ERROR_SUCCESS, 0, ""},
        {1, ERROR_MORE_DATA, 0, std::string(1, '\0')},
        {sizeof(subkeyClass) - 1, ERROR_MORE_DATA, sizeof(subkeyClass) - 2,
         std::string("subkey clas") + '\0'},
        {sizeof(subkeyClass), ERROR_SUCCESS, sizeof(subkeyClass) - 1,
         std::string(subkeyClass, sizeof(subkeyClass))},
        {0xDEADBEEF, ERROR_SUCCESS, sizeof(subkeyClass) - 1,
         std::string(subkeyClass, sizeof(subkeyClass))},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.room);
        char buffer[32];
        std::memset(buffer, 0x55, sizeof(buffer));
        length = c.room;
        EXPECT_EQ(RegQueryInfoKeyA(subkey.get(), buffer, &length, nullptr, nullptr, nullptr,
                                   nullptr, nullptr, nullptr, nullptr, nullptr, nullptr),
                  c.result);
        EXPECT_EQ(length, c.lengthAfter);
        EXPECT_EQ(std::string(buffer, c.written.size()), c.written);
        EXPECT_EQ(buffer[c.written.size()], 0x55);
    }
    char buffer[32];
    EXPECT_EQ(RegQueryInfoKeyA(subkey.get(), buffer, nullptr, nullptr, nullptr, nullptr, nullptr,
                               nullptr, nullptr, nullptr, nullptr, nullptr),
              ERROR_INVALID_PARAMETER);

    // RegEnumKeyExA gives the class with the name, or nothing when either does not fit.
    char name[32];
    DWORD nameLength = sizeof(name);
    char keyClass[32];
    DWORD classLength = sizeof(keyClass);
    ASSERT_EQ(RegEnumKeyExA(key(), 0, name, &nameLength, nullptr, keyClass, &classLength, nullptr),
              ERROR_SUCCESS);
    EXPECT_STREQ(keyClass, subkeyClass);
    EXPECT_EQ(classLength, std::strlen(subkeyClass));
    nameLength = sizeof(name);
    classLength = 5;
    std::memset(keyClass, 0x55, sizeof(keyClass));
    EXPECT_EQ(RegEnumKeyExA(key(), 0, name, &nameLength, nullptr, keyClass, &classLength, nullptr),
              ERROR_MORE_DATA);
    EXPECT_EQ(keyClass[0], 0x55);

    // The classes survive a save and a restore.
    ASSERT_EQ(AdjustPrivilege(SE_BACKUP_NAME, true), static_cast<DWORD>(ERROR_SUCCESS));
    ASSERT_EQ(AdjustPrivilege(SE_RESTORE_NAME, true), static_cast<DWORD>(ERROR_SUCCESS));
    ::unlink((SystemRootEnvironment::root / "drive_c" / "classes.hiv").c_str());
    ASSERT_EQ(RegSaveKeyA(key(), "C:\\classes.hiv", nullptr), ERROR_SUCCESS);
    ASSERT_EQ(SHDeleteKeyA(key(), "subkey"), ERROR_SUCCESS);
    ASSERT_EQ(RegRestoreKeyA(key(), "C:\\classes.hiv", REG_FORCE_RESTORE), ERROR_SUCCESS);
    EXPECT_EQ(AdjustPrivilege(SE_RESTORE_NAME, false), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(AdjustPrivilege(SE_BACKUP_NAME, false), static_cast<DWORD>(ERROR_SUCCESS));
    Key restored;
    ASSERT_EQ(RegOpenKeyExA(key(), "subkey", 0, KEY_READ, restored.out()), ERROR_SUCCESS);
    classLength = sizeof(keyClass);
    ASSERT_EQ(RegQueryInfoKeyA(restored.get(), keyClass, &classLength, nullptr, nullptr, nullptr,
                               &maxClass, nullptr, nullptr, nullptr, nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_STREQ(keyClass, subkeyClass);
    EXPECT_EQ(maxClass, std::strlen("subsubkey class"));
}

TEST_F(Win32Registry, ValuesEnumerateInTheOrderFirstSetAndKeepItThroughSaveAndRestore) {
    for (const char* name : {"A", "C", "D", "B"}) {
        Set(name, REG_DWORD, std::string(4, '\0'));
    }
    Set("C", REG_SZ, std::string("again", 6));  // keeps its place
    const auto names = [&] {
        std::string all;
        char name[8];
        DWORD length = sizeof(name);
        for (DWORD i = 0; RegEnumValueA(key(), i, name, &length, nullptr, nullptr, nullptr,
                                        nullptr) == ERROR_SUCCESS;
             ++i, length = sizeof(name)) {
            all += name;
        }
        return all;
    };
    EXPECT_EQ(names(), "ACDB");

    ASSERT_EQ(AdjustPrivilege(SE_BACKUP_NAME, true), static_cast<DWORD>(ERROR_SUCCESS));
    ASSERT_EQ(AdjustPrivilege(SE_RESTORE_NAME, true), static_cast<DWORD>(ERROR_SUCCESS));
    ::unlink((SystemRootEnvironment::root / "drive_c" / "order.hiv").c_str());
    ASSERT_EQ(RegSaveKeyA(key(), "C:\\order.hiv", nullptr), ERROR_SUCCESS);
    ASSERT_EQ(RegDeleteValueA(key(), "A"), ERROR_SUCCESS);
    Set("A", REG_DWORD, std::string(4, '\0'));  // deleted and set again: last
    EXPECT_EQ(names(), "CDBA");
    ASSERT_EQ(RegRestoreKeyA(key(), "C:\\order.hiv", REG_FORCE_RESTORE), ERROR_SUCCESS);
    EXPECT_EQ(AdjustPrivilege(SE_RESTORE_NAME, false), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(AdjustPrivilege(SE_BACKUP_NAME, false), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(names(), "ACDB");
}

TEST_F(Win32Registry, FlushAnswersForTheKeyItFlushes) {
    EXPECT_EQ(RegFlushKey(key()), ERROR_SUCCESS);
    EXPECT_EQ(RegFlushKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
    Key doomed;
    ASSERT_EQ(RegCreateKeyA(key(), "Doomed", doomed.out()), ERROR_SUCCESS);
    ASSERT_EQ(RegDeleteKeyA(key(), "Doomed"), ERROR_SUCCESS);
    EXPECT_EQ(RegFlushKey(doomed.get()), ERROR_KEY_DELETED);
}

// What Windows shows through HKEY_CLASSES_ROOT when the user's and the machine's trees both
// have a class: the user's values first, then the machine's the user lacks; subkeys of both;
// new subkeys in the machine's tree; and a handle opened on the user's key that outlives it.
TEST_F(Win32Registry, ClassesRootMergesValuesAndKeepsToTheUsersKey) {
    const char* const kUserKey = "Software\\Classes\\HlMergeTest";
    const char* const kMachineKey = "Software\\Classes\\HlMergeTest";
    SHDeleteKeyA(HKEY_CURRENT_USER, kUserKey);
    SHDeleteKeyA(HKEY_LOCAL_MACHINE, kMachineKey);
    Key user;
    ASSERT_EQ(RegCreateKeyA(HKEY_CURRENT_USER, kUserKey, user.out()), ERROR_SUCCESS);
    Key classes;
    ASSERT_EQ(RegOpenKeyA(HKEY_CLASSES_ROOT, "HlMergeTest", classes.out()), ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(user.get(), "X", 0, REG_SZ, reinterpret_cast<const BYTE*>("AA"), 3),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(user.get(), "Y", 0, REG_SZ, reinterpret_cast<const BYTE*>("B"), 2),
              ERROR_SUCCESS);
    Key machine;
    ASSERT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, kMachineKey, machine.out()), ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(machine.get(), "X", 0, REG_SZ, reinterpret_cast<const BYTE*>("AB"), 3),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(machine.get(), "Z", 0, REG_SZ, reinterpret_cast<const BYTE*>("C"), 2),
              ERROR_SUCCESS);

    const auto values = [](HKEY handle) {
        std::string all;
        char name[8];
        char data[8];
        DWORD length = sizeof(name);
        DWORD size = sizeof(data);
        LONG result = ERROR_SUCCESS;
        for (DWORD i = 0;
             (result = RegEnumValueA(handle, i, name, &length, nullptr, nullptr,
                                     reinterpret_cast<BYTE*>(data), &size)) == ERROR_SUCCESS;
             ++i, length = sizeof(name), size = sizeof(data)) {
            all += std::string(name) + "=" + data + ";";
        }
        return result == ERROR_NO_MORE_ITEMS ? all : "error " + std::to_string(result);
    };
    EXPECT_EQ(values(classes.get()), "X=AA;Y=B;Z=C;");
    DWORD count = 0;
    ASSERT_EQ(RegQueryInfoKeyA(classes.get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                               &count, nullptr, nullptr, nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(count, 3u);

    // A new subkey through the merged view lands in the machine's tree.
    Key created;
    ASSERT_EQ(RegCreateKeyA(classes.get(), "Sub", created.out()), ERROR_SUCCESS);
    Key probe;
    EXPECT_EQ(RegOpenKeyExA(machine.get(), "Sub", 0, KEY_READ, probe.out()), ERROR_SUCCESS);
    Key absent;
    EXPECT_EQ(RegOpenKeyExA(user.get(), "Sub", 0, KEY_READ, absent.out()), ERROR_FILE_NOT_FOUND);

    // The handle was opened on the user's key: once that is deleted, the key is gone for it.
    ASSERT_EQ(SHDeleteKeyA(HKEY_CURRENT_USER, kUserKey), ERROR_SUCCESS);
    char name[8];
    DWORD length = sizeof(name);
    EXPECT_EQ(RegEnumValueA(classes.get(), 0, name, &length, nullptr, nullptr, nullptr, nullptr),
              ERROR_KEY_DELETED);
    EXPECT_EQ(RegEnumKeyA(classes.get(), 0, name, sizeof(name)), ERROR_KEY_DELETED);
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExA(classes.get(), "Z", nullptr, nullptr, nullptr, &size),
              ERROR_KEY_DELETED);
    EXPECT_EQ(RegSetValueExA(classes.get(), "W", 0, REG_SZ, reinterpret_cast<const BYTE*>(""), 1),
              ERROR_KEY_DELETED);
    EXPECT_EQ(RegFlushKey(classes.get()), ERROR_KEY_DELETED);
    // Opened again, it is the machine's key.
    Key reopened;
    ASSERT_EQ(RegOpenKeyA(HKEY_CLASSES_ROOT, "HlMergeTest", reopened.out()), ERROR_SUCCESS);
    EXPECT_EQ(values(reopened.get()), "X=AB;Z=C;");

    // A handle opened on the machine's key follows a user's key that appears later.
    Key later;
    ASSERT_EQ(RegCreateKeyA(HKEY_CURRENT_USER, kUserKey, later.out()), ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(reopened.get(), "X", 0, REG_SZ, reinterpret_cast<const BYTE*>("U"), 2),
              ERROR_SUCCESS);
    size = sizeof(name);
    ASSERT_EQ(
        RegQueryValueExA(later.get(), "X", nullptr, nullptr, reinterpret_cast<BYTE*>(name), &size),
        ERROR_SUCCESS);
    EXPECT_STREQ(name, "U");

    EXPECT_EQ(SHDeleteKeyA(HKEY_CURRENT_USER, kUserKey), ERROR_SUCCESS);
    EXPECT_EQ(SHDeleteKeyA(HKEY_LOCAL_MACHINE, kMachineKey), ERROR_SUCCESS);
}

TEST_F(Win32Registry, SaveAndRestoreNeedTheirPrivileges) {
    Set("Kept", REG_SZ, std::string("before\0", 7));
    Key sub;
    ASSERT_EQ(RegCreateKeyA(key(), "Sub", sub.out()), ERROR_SUCCESS);
    const char* file = "C:\\saved.hiv";
    EXPECT_EQ(RegSaveKeyA(key(), file, nullptr), ERROR_PRIVILEGE_NOT_HELD);  // held, not enabled

    ASSERT_EQ(AdjustPrivilege(SE_BACKUP_NAME, true), static_cast<DWORD>(ERROR_SUCCESS));
    ASSERT_EQ(RegSaveKeyA(key(), file, nullptr), ERROR_SUCCESS);
    EXPECT_TRUE(fs::exists(SystemRootEnvironment::root / "drive_c" / "saved.hiv"));
    EXPECT_EQ(RegSaveKeyA(key(), file, nullptr), ERROR_ALREADY_EXISTS);

    Set("Kept", REG_SZ, std::string("after\0", 6));
    Set("Added", REG_DWORD, std::string(4, '\0'));
    ASSERT_EQ(RegDeleteKeyA(key(), "Sub"), ERROR_SUCCESS);
    EXPECT_EQ(RegRestoreKeyA(key(), file, REG_FORCE_RESTORE), ERROR_PRIVILEGE_NOT_HELD);
    ASSERT_EQ(AdjustPrivilege(SE_RESTORE_NAME, true), static_cast<DWORD>(ERROR_SUCCESS));
    ASSERT_EQ(RegRestoreKeyA(key(), file, REG_FORCE_RESTORE), ERROR_SUCCESS);

    char text[16];
    DWORD size = sizeof(text);
    ASSERT_EQ(
        RegQueryValueExA(key(), "Kept", nullptr, nullptr, reinterpret_cast<BYTE*>(text), &size),
        ERROR_SUCCESS);
    EXPECT_STREQ(text, "before");
    EXPECT_EQ(RegQueryValueExA(key(), "Added", nullptr, nullptr, nullptr, &size),
              ERROR_FILE_NOT_FOUND);
    Key restored;
    EXPECT_EQ(RegOpenKeyExA(key(), "Sub", 0, KEY_READ, restored.out()), ERROR_SUCCESS);

    std::ofstream(SystemRootEnvironment::root / "drive_c" / "garbage.hiv") << "not a hive";
    EXPECT_EQ(RegRestoreKeyA(key(), "C:\\garbage.hiv", REG_FORCE_RESTORE), ERROR_REGISTRY_CORRUPT);
    EXPECT_EQ(RegRestoreKeyA(key(), "C:\\missing.hiv", REG_FORCE_RESTORE), ERROR_FILE_NOT_FOUND);

    EXPECT_EQ(AdjustPrivilege(SE_RESTORE_NAME, false), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(AdjustPrivilege(SE_BACKUP_NAME, false), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(RegRestoreKeyA(key(), file, REG_FORCE_RESTORE), ERROR_PRIVILEGE_NOT_HELD);
    EXPECT_EQ(AdjustPrivilege("SeNoSuchPrivilege", true),
              static_cast<DWORD>(ERROR_NO_SUCH_PRIVILEGE));
}

// What a process of an ordinary account gets, each result in order.
std::vector<LONG> AsNobody(const std::string& path) {
    std::vector<LONG> results;
    results.push_back(static_cast<LONG>(AdjustPrivilege(SE_BACKUP_NAME, true)));
    results.push_back(RegSaveKeyA(HKEY_LOCAL_MACHINE, "C:\\nobody.hiv", nullptr));
    Key reader;
    results.push_back(RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, reader.out()));
    Key writer;
    results.push_back(RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_WRITE, writer.out()));
    results.push_back(RegSetValueExA(reader.get(), "x", 0, REG_SZ, nullptr, 0));
    results.push_back(RegSetValueExA(HKEY_LOCAL_MACHINE, "x", 0, REG_SZ, nullptr, 0));
    Key created;
    results.push_back(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\ByNobody", 0, nullptr, 0,
                                      KEY_ALL_ACCESS, nullptr, created.out(), nullptr));
    results.push_back(SHDeleteKeyA(HKEY_LOCAL_MACHINE, path.c_str()));
    // Opened for the most it may have: reading only.
    Key most;
    results.push_back(RegOpenKeyA(HKEY_LOCAL_MACHINE, path.c_str(), most.out()));
    results.push_back(RegSetValueExA(most.get(), "x", 0, REG_SZ, nullptr, 0));
    return results;
}

TEST_F(Win32Registry, OrdinaryAccountsNeitherSaveNorWriteTheMachine) {
    int channel[2];
    ASSERT_EQ(::pipe(channel), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(channel[0]);
        std::vector<LONG> results;
        if (::setgid(kNobody) == 0 && ::setuid(kNobody) == 0) {
            results = AsNobody(path());
        }
        const ssize_t written = ::write(channel[1], results.data(), results.size() * sizeof(LONG));
        ::_exit(written < 0 ? 2 : 0);
    }
    ::close(channel[1]);
    std::array<LONG, 16> results{};
    const ssize_t bytes = ::read(channel[0], results.data(), sizeof(results));
    ::close(channel[0]);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_EQ(bytes, static_cast<ssize_t>(10 * sizeof(LONG)));
    const std::array<LONG, 10> expected = {
        ERROR_NOT_ALL_ASSIGNED, ERROR_PRIVILEGE_NOT_HELD, ERROR_SUCCESS,       ERROR_ACCESS_DENIED,
        ERROR_ACCESS_DENIED,    ERROR_ACCESS_DENIED,      ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED,
        ERROR_SUCCESS,          ERROR_ACCESS_DENIED,
    };
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(results[i], expected[i]) << "check " << i;
    }
    Key untouched;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, path().c_str(), 0, KEY_READ, untouched.out()),
              ERROR_SUCCESS);
}

}  // namespace
