#include <gtest/gtest.h>
#include <sqlite3.h>
#include <unistd.h>

#include <fstream>
#include <thread>

#include "registry/store.h"
#include "test_support.h"

namespace registry {
namespace {

using testing::Bytes;
using testing::kRoot;
using testing::ScratchFolder;
using testing::UserVersion;
using testing::WriteVersion1Hive;

const KeyPath kMachineSoftware{Root::LocalMachine, "Software\\Vendor\\Product"};

class RegistryStore : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(Store::Open(folder_.registry(), store_), Result::Ok); }

    std::vector<std::string> Subkeys(const Caller& caller, const KeyPath& key) {
        std::vector<std::string> names;
        std::string name;
        for (uint32_t i = 0; store_->EnumKey(caller, key, i, name) == Result::Ok; ++i) {
            names.push_back(name);
        }
        return names;
    }

    std::vector<std::string> ValueNames(const Caller& caller, const KeyPath& key) {
        std::vector<std::string> names;
        Value value;
        for (uint32_t i = 0; store_->EnumValue(caller, key, i, value) == Result::Ok; ++i) {
            names.push_back(value.name);
        }
        return names;
    }

    std::string ReadString(const Caller& caller, const KeyPath& key, std::string_view name) {
        uint32_t type = 0;
        std::vector<uint8_t> data;
        if (store_->QueryValue(caller, key, name, type, data) != Result::Ok) {
            return "<missing>";
        }
        return {data.begin(), data.end()};
    }

    void WriteString(const Caller& caller, const KeyPath& key, std::string_view name,
                     std::string_view text) {
        ASSERT_EQ(store_->CreateKey(caller, key), Result::Ok);
        ASSERT_EQ(store_->SetValue(caller, key, name, kRegSz, Bytes(text)), Result::Ok);
    }

    ScratchFolder folder_;
    std::unique_ptr<Store> store_;
};

TEST_F(RegistryStore, CreateKeyMakesMissingParentsAndTellsWhetherItIsNew) {
    bool created = false;
    ASSERT_EQ(store_->CreateKey(kRoot, kMachineSoftware, &created), Result::Ok);
    EXPECT_TRUE(created);
    EXPECT_EQ(store_->OpenKey(kRoot, {Root::LocalMachine, "Software\\Vendor"}), Result::Ok);
    ASSERT_EQ(store_->CreateKey(kRoot, kMachineSoftware, &created), Result::Ok);
    EXPECT_FALSE(created);
    EXPECT_EQ(store_->OpenKey(kRoot, {Root::LocalMachine, "Software\\Vendor\\Other"}),
              Result::NotFound);
}

TEST_F(RegistryStore, NamesMatchWithoutCaseAndKeepTheirFirstSpelling) {
    ASSERT_EQ(store_->CreateKey(kRoot, {Root::LocalMachine, "Software\\Caf\xC3\xA9 Noir"}),
              Result::Ok);
    bool created = true;
    ASSERT_EQ(
        store_->CreateKey(kRoot, {Root::LocalMachine, "SOFTWARE\\CAF\xC3\x89 NOIR"}, &created),
        Result::Ok);
    EXPECT_FALSE(created);
    EXPECT_EQ(store_->OpenKey(kRoot, {Root::LocalMachine, "software\\caf\xC3\xA9 noir"}),
              Result::Ok);
    EXPECT_EQ(Subkeys(kRoot, {Root::LocalMachine, "Software"}),
              (std::vector<std::string>{"Caf\xC3\xA9 Noir", "Classes"}));

    const KeyPath key{Root::LocalMachine, "Software\\Caf\xC3\xA9 Noir"};
    ASSERT_EQ(store_->SetValue(kRoot, key, "LastUsedVDrive", kRegSz, Bytes("X")), Result::Ok);
    ASSERT_EQ(store_->SetValue(kRoot, key, "LASTUSEDVDRIVE", kRegSz, Bytes("Y")), Result::Ok);
    EXPECT_EQ(ReadString(kRoot, key, "lastusedvdrive"), "Y");
    EXPECT_EQ(ValueNames(kRoot, key), std::vector<std::string>{"LastUsedVDrive"});
}

TEST_F(RegistryStore, ValuesKeepTypeAndBytesExactly) {
    ASSERT_EQ(store_->CreateKey(kRoot, kMachineSoftware), Result::Ok);
    const std::vector<uint8_t> utf16 = {'x', 0, 0, 0};
    const struct {
        const char* name;
        uint32_t type;
        std::vector<uint8_t> data;
    } cases[] = {
        {"", kRegSz, Bytes(std::string_view("default\0", 8))},
        {"Path", kRegExpandSz, Bytes(std::string_view("%SystemRoot%\\x\0", 15))},
        {"Blob", kRegBinary, {0x00, 0xFF, 0x00, 0x7F}},
        {"Number", kRegDword, {0x04, 0x00, 0x00, 0x00}},
        {"List", kRegMultiSz, Bytes(std::string_view("a\0bc\0\0", 6))},
        {"Big", kRegQword, {1, 2, 3, 4, 5, 6, 7, 8}},
        {"Wide", kRegSz, utf16},
        {"Unknown", 0xDEADBEEF, {0x42}},
        {"Empty", kRegBinary, {}},
        {"NoneType", kRegNone, {}},
    };
    for (const auto& c : cases) {
        ASSERT_EQ(store_->SetValue(kRoot, kMachineSoftware, c.name, c.type, c.data), Result::Ok);
    }
    for (const auto& c : cases) {
        uint32_t type = 0;
        std::vector<uint8_t> data{0x99};
        ASSERT_EQ(store_->QueryValue(kRoot, kMachineSoftware, c.name, type, data), Result::Ok)
            << c.name;
        EXPECT_EQ(type, c.type) << c.name;
        EXPECT_EQ(data, c.data) << c.name;
    }
    // The default value is also reached through an empty view.
    uint32_t defaultType = 0;
    std::vector<uint8_t> defaultData;
    ASSERT_EQ(
        store_->SetValue(kRoot, kMachineSoftware, std::string_view(), kRegDword, cases[3].data),
        Result::Ok);
    ASSERT_EQ(store_->QueryValue(kRoot, kMachineSoftware, "", defaultType, defaultData),
              Result::Ok);
    EXPECT_EQ(defaultType, kRegDword);
    EXPECT_EQ(store_->DeleteValue(kRoot, kMachineSoftware, std::string_view()), Result::Ok);
    EXPECT_EQ(store_->QueryValue(kRoot, kMachineSoftware, "", defaultType, defaultData),
              Result::NotFound);

    // Rewriting a value may change its type.
    ASSERT_EQ(store_->SetValue(kRoot, kMachineSoftware, "Number", kRegQword, cases[5].data),
              Result::Ok);
    uint32_t type = 0;
    std::vector<uint8_t> data;
    ASSERT_EQ(store_->QueryValue(kRoot, kMachineSoftware, "number", type, data), Result::Ok);
    EXPECT_EQ(type, kRegQword);
    EXPECT_EQ(data, cases[5].data);
}

// Windows enumerates subkeys in name order and values in the order they were first set.
TEST_F(RegistryStore, SubkeysEnumerateInNameOrderValuesInTheOrderSet) {
    const KeyPath parent{Root::LocalMachine, "Software\\Order"};
    for (const char* name : {"beta", "Alpha", "gamma", "ALPHA2", "_under", "Delta"}) {
        ASSERT_EQ(store_->CreateKey(kRoot, {parent.root, parent.path + "\\" + name}), Result::Ok);
        ASSERT_EQ(
            store_->SetValue(kRoot, parent, name, kRegDword, std::vector<uint8_t>{1, 0, 0, 0}),
            Result::Ok);
    }
    EXPECT_EQ(Subkeys(kRoot, parent),
              (std::vector<std::string>{"Alpha", "ALPHA2", "beta", "Delta", "gamma", "_under"}));
    EXPECT_EQ(ValueNames(kRoot, parent),
              (std::vector<std::string>{"beta", "Alpha", "gamma", "ALPHA2", "_under", "Delta"}));

    std::string name;
    Value value;
    EXPECT_EQ(store_->EnumKey(kRoot, parent, 6, name), Result::NoMoreItems);
    EXPECT_EQ(store_->EnumValue(kRoot, parent, 6, value), Result::NoMoreItems);
    ASSERT_EQ(store_->EnumValue(kRoot, parent, 5, value), Result::Ok);
    EXPECT_EQ(value.name, "Delta");
    EXPECT_EQ(value.type, kRegDword);

    // Written again, a value keeps its place; deleted and set again, it comes last.
    ASSERT_EQ(store_->SetValue(kRoot, parent, "BETA", kRegSz, Bytes("x")), Result::Ok);
    ASSERT_EQ(store_->DeleteValue(kRoot, parent, "gamma"), Result::Ok);
    ASSERT_EQ(store_->SetValue(kRoot, parent, "Gamma", kRegSz, Bytes("y")), Result::Ok);
    EXPECT_EQ(ValueNames(kRoot, parent),
              (std::vector<std::string>{"beta", "Alpha", "ALPHA2", "_under", "Delta", "Gamma"}));
    EXPECT_EQ(store_->EnumKey(kRoot, {parent.root, "Software\\Missing"}, 0, name),
              Result::NotFound);
}

TEST_F(RegistryStore, QueryInfoCountsAndMeasuresInUtf16Units) {
    const KeyPath key{Root::LocalMachine, "Software\\Info"};
    const int64_t before = 116444736000000000;  // 1970 as a FILETIME count
    ASSERT_EQ(store_->CreateKey(kRoot, {key.root, key.path + "\\\xC3\xA9t\xC3\xA9"}), Result::Ok);
    ASSERT_EQ(store_->CreateKey(kRoot, {key.root, key.path + "\\ab"}), Result::Ok);
    ASSERT_EQ(store_->SetValue(kRoot, key, "\xF0\x9F\x98\x80", kRegBinary, std::vector<uint8_t>(9)),
              Result::Ok);
    ASSERT_EQ(store_->SetValue(kRoot, key, "", kRegSz, Bytes("ab")), Result::Ok);
    KeyInfo info;
    ASSERT_EQ(store_->QueryInfo(kRoot, key, info), Result::Ok);
    EXPECT_EQ(info.subkeys, 2u);
    EXPECT_EQ(info.maxSubkeyNameLength, 3u);
    EXPECT_EQ(info.values, 2u);
    EXPECT_EQ(info.maxValueNameLength, 2u);
    EXPECT_EQ(info.maxValueDataLength, 9u);
    EXPECT_GT(info.lastWriteTime, static_cast<uint64_t>(before));
}

TEST_F(RegistryStore, DeletionOfValuesKeysAndSubtrees) {
    const KeyPath top{Root::LocalMachine, "Software\\Tree"};
    for (const char* path : {"A\\A1\\A11", "A\\A2", "B"}) {
        const KeyPath key{top.root, top.path + "\\" + path};
        WriteString(kRoot, key, "v", path);
    }
    const KeyPath a{top.root, top.path + "\\A"};
    EXPECT_EQ(store_->DeleteKey(kRoot, a), Result::HasSubkeys);
    EXPECT_EQ(store_->OpenKey(kRoot, a), Result::Ok);

    const KeyPath a2{top.root, top.path + "\\A\\A2"};
    EXPECT_EQ(store_->DeleteValue(kRoot, a2, "V"), Result::Ok);
    EXPECT_EQ(store_->DeleteValue(kRoot, a2, "v"), Result::NotFound);
    EXPECT_EQ(store_->DeleteKey(kRoot, a2), Result::Ok);
    EXPECT_EQ(store_->OpenKey(kRoot, a2), Result::NotFound);

    EXPECT_EQ(store_->DeleteTree(kRoot, a), Result::Ok);
    EXPECT_EQ(store_->OpenKey(kRoot, a), Result::NotFound);
    EXPECT_EQ(store_->OpenKey(kRoot, {top.root, top.path + "\\A\\A1\\A11"}), Result::NotFound);
    EXPECT_EQ(Subkeys(kRoot, top), std::vector<std::string>{"B"});
    EXPECT_EQ(ReadString(kRoot, {top.root, top.path + "\\B"}, "v"), "B");
    // A re-created key starts empty: nothing of the old subtree survives.
    ASSERT_EQ(store_->CreateKey(kRoot, {top.root, top.path + "\\A\\A1"}), Result::Ok);
    EXPECT_TRUE(Subkeys(kRoot, {top.root, top.path + "\\A\\A1"}).empty());
    EXPECT_EQ(ReadString(kRoot, {top.root, top.path + "\\A\\A1\\A11"}, "v"), "<missing>");

    EXPECT_EQ(store_->DeleteTree(kRoot, a), Result::Ok);
    EXPECT_EQ(store_->DeleteTree(kRoot, a), Result::NotFound);
    // Predefined keys and hive roots stay.
    for (const Root root : {Root::LocalMachine, Root::ClassesRoot, Root::CurrentConfig,
                            Root::CurrentUser, Root::Users}) {
        EXPECT_EQ(store_->DeleteTree(kRoot, {root, ""}), Result::AccessDenied);
        EXPECT_EQ(store_->DeleteKey(kRoot, {root, ""}), Result::AccessDenied);
    }
    EXPECT_EQ(store_->OpenKey(kRoot, {Root::LocalMachine, "Software\\Classes"}), Result::Ok);
    EXPECT_EQ(store_->DeleteKey(kRoot, {Root::Users, ".DEFAULT"}), Result::AccessDenied);
}

TEST_F(RegistryStore, MalformedNamesAreRefused) {
    EXPECT_EQ(store_->CreateKey(kRoot, {Root::LocalMachine, "Software\\\\Twice"}),
              Result::InvalidParameter);
    EXPECT_EQ(store_->CreateKey(kRoot, {Root::LocalMachine, "\\Leading"}),
              Result::InvalidParameter);
    EXPECT_EQ(store_->OpenKey(kRoot, {Root::LocalMachine, "Bad\xC3"}), Result::InvalidParameter);
    EXPECT_EQ(store_->SetValue(kRoot, {Root::LocalMachine, "Software"}, "\xFF", kRegSz, {}),
              Result::InvalidParameter);
    EXPECT_EQ(store_->CreateKey(kRoot, {Root::CurrentUser, "x"}, nullptr), Result::Ok);
    EXPECT_EQ(store_->CreateKey({0, "../escape"}, {Root::CurrentUser, "x"}),
              Result::InvalidParameter);
}

TEST(RegistryNtPaths, TranslateToRootsWithoutRegardToCase) {
    const struct {
        const char* ntPath;
        Result result;
        Root root;
        const char* path;
    } cases[] = {
        {"\\REGISTRY\\MACHINE\\System\\CurrentControlSet\\Services\\Lockvol", Result::Ok,
         Root::LocalMachine, "System\\CurrentControlSet\\Services\\Lockvol"},
        {"\\Registry\\Machine", Result::Ok, Root::LocalMachine, ""},
        {"\\registry\\user\\alice\\Software", Result::Ok, Root::Users, "alice\\Software"},
        {"\\REGISTRY\\USER", Result::Ok, Root::Users, ""},
        {"\\REGISTRY\\OTHER\\x", Result::NotFound, Root::LocalMachine, ""},
        {"\\REGISTRY", Result::NotFound, Root::LocalMachine, ""},
        {"\\REGISTRYX\\MACHINE", Result::InvalidParameter, Root::LocalMachine, ""},
        {"\\??\\C:\\x", Result::InvalidParameter, Root::LocalMachine, ""},
    };
    for (const auto& c : cases) {
        KeyPath key;
        EXPECT_EQ(ParseNtPath(c.ntPath, key), c.result) << c.ntPath;
        if (c.result == Result::Ok) {
            EXPECT_EQ(key.root, c.root) << c.ntPath;
            EXPECT_EQ(key.path, c.path) << c.ntPath;
        }
    }
}

TEST(RegistryCaller, NamesComeFromTheUserDatabase) {
    EXPECT_EQ(Caller::ForUid(0).user, "root");
    EXPECT_EQ(Caller::ForUid(3999999).user, "3999999");
    EXPECT_EQ(Caller::Process().uid, static_cast<uint32_t>(::geteuid()));
}

TEST_F(RegistryStore, CurrentConfigIsTheCurrentHardwareProfile) {
    WriteString(kRoot, {Root::CurrentConfig, "Software\\Fonts"}, "LogPixels", "96");
    EXPECT_EQ(ReadString(kRoot,
                         {Root::LocalMachine,
                          "System\\CurrentControlSet\\Hardware Profiles\\Current\\Software\\Fonts"},
                         "LogPixels"),
              "96");
}

TEST_F(RegistryStore, EachUserHasAHiveSeenAsCurrentUserAndUnderUsers) {
    const Caller alice{0, "alice"};
    const Caller bob{0, "bob"};
    WriteString(kRoot, {Root::Users, ".DEFAULT\\Software\\Seed"}, "From", "default");
    WriteString(alice, {Root::CurrentUser, "Software\\Harborlock"}, "LastDriveLetter", "X");
    WriteString(bob, {Root::CurrentUser, "Software\\Harborlock"}, "LastDriveLetter", "Y");

    EXPECT_EQ(ReadString(kRoot, {Root::Users, "ALICE\\Software\\Harborlock"}, "LastDriveLetter"),
              "X");
    EXPECT_EQ(ReadString(kRoot, {Root::Users, "bob\\Software\\Harborlock"}, "LastDriveLetter"),
              "Y");
    // A new user's hive starts as a copy of the default user's.
    EXPECT_EQ(ReadString(alice, {Root::CurrentUser, "Software\\Seed"}, "From"), "default");
    EXPECT_EQ(Subkeys(kRoot, {Root::Users, ""}),
              (std::vector<std::string>{".DEFAULT", "alice", "bob"}));
    EXPECT_EQ(store_->OpenKey(kRoot, {Root::Users, "carol"}), Result::NotFound);
    EXPECT_EQ(store_->CreateKey(kRoot, {Root::Users, "carol\\Software"}), Result::AccessDenied);
    EXPECT_EQ(store_->SetValue(kRoot, {Root::Users, ""}, "x", kRegSz, {}), Result::AccessDenied);
    KeyInfo info;
    ASSERT_EQ(store_->QueryInfo(kRoot, {Root::Users, ""}, info), Result::Ok);
    EXPECT_EQ(info.subkeys, 3u);
    EXPECT_EQ(info.maxSubkeyNameLength, 8u);
}

TEST_F(RegistryStore, ClassesRootMergesUserAndMachineClasses) {
    const Caller alice{0, "alice"};
    WriteString(kRoot, {Root::LocalMachine, "Software\\Classes\\.txt"}, "", "txtfile");
    WriteString(kRoot, {Root::LocalMachine, "Software\\Classes\\.txt\\ShellNew"}, "NullFile", "");
    WriteString(kRoot, {Root::LocalMachine, "Software\\Classes\\CLSID"}, "", "machine");
    WriteString(alice, {Root::CurrentUser, "Software\\Classes\\.txt"}, "", "alicetext");
    WriteString(alice, {Root::CurrentUser, "Software\\Classes\\.txt\\OpenWith"}, "", "");
    WriteString(alice, {Root::CurrentUser, "Software\\Classes\\.own"}, "", "own");

    // The user's key hides the machine's values; subkeys come from both.
    EXPECT_EQ(ReadString(alice, {Root::ClassesRoot, ".TXT"}, ""), "alicetext");
    EXPECT_EQ(ReadString(alice, {Root::ClassesRoot, "CLSID"}, ""), "machine");
    EXPECT_EQ(Subkeys(alice, {Root::ClassesRoot, ""}),
              (std::vector<std::string>{".own", ".txt", "CLSID"}));
    EXPECT_EQ(Subkeys(alice, {Root::ClassesRoot, ".txt"}),
              (std::vector<std::string>{"OpenWith", "ShellNew"}));
    KeyInfo info;
    ASSERT_EQ(store_->QueryInfo(alice, {Root::ClassesRoot, ".txt"}, info), Result::Ok);
    EXPECT_EQ(info.subkeys, 2u);
    // Values enumerate as the user's, then the machine's that the user's key lacks.
    WriteString(alice, {Root::CurrentUser, "Software\\Classes\\.txt"}, "Y", "user");
    WriteString(kRoot, {Root::LocalMachine, "Software\\Classes\\.txt"}, "Z", "machine");
    WriteString(kRoot, {Root::LocalMachine, "Software\\Classes\\.txt"}, "y", "hidden");
    EXPECT_EQ(ValueNames(alice, {Root::ClassesRoot, ".txt"}),
              (std::vector<std::string>{"", "Y", "Z"}));
    ASSERT_EQ(store_->QueryInfo(alice, {Root::ClassesRoot, ".txt"}, info), Result::Ok);
    EXPECT_EQ(info.values, 3u);
    Value third;
    ASSERT_EQ(store_->EnumValue(alice, {Root::ClassesRoot, ".txt"}, 2, third), Result::Ok);
    EXPECT_EQ(std::string(third.data.begin(), third.data.end()), "machine");
    // Without a user hive the view is the machine's alone.
    EXPECT_EQ(ReadString({0, "nobody"}, {Root::ClassesRoot, ".txt"}, ""), "txtfile");

    // New keys go to the machine's tree, even below a key only the user has, as on Windows;
    // a key the user has is opened there.
    ASSERT_EQ(store_->CreateKey(alice, {Root::ClassesRoot, "NewClass\\Shell"}), Result::Ok);
    EXPECT_EQ(store_->OpenKey(kRoot, {Root::LocalMachine, "Software\\Classes\\NewClass\\Shell"}),
              Result::Ok);
    ASSERT_EQ(store_->CreateKey(alice, {Root::ClassesRoot, ".own\\Sub"}), Result::Ok);
    EXPECT_EQ(store_->OpenKey(kRoot, {Root::LocalMachine, "Software\\Classes\\.own\\Sub"}),
              Result::Ok);
    EXPECT_EQ(store_->OpenKey(kRoot, {Root::Users, "alice\\Software\\Classes\\.own\\Sub"}),
              Result::NotFound);
    bool created = true;
    ASSERT_EQ(store_->CreateKey(alice, {Root::ClassesRoot, ".OWN"}, &created), Result::Ok);
    EXPECT_FALSE(created);
    bool users = false;
    EXPECT_EQ(store_->ClassesKeyIsUsers(alice, {Root::ClassesRoot, ".own"}, users), Result::Ok);
    EXPECT_TRUE(users);
    EXPECT_EQ(store_->ClassesKeyIsUsers(alice, {Root::ClassesRoot, "CLSID"}, users), Result::Ok);
    EXPECT_FALSE(users);
    EXPECT_EQ(store_->ClassesKeyIsUsers(alice, {Root::ClassesRoot, ".none"}, users),
              Result::NotFound);
    ASSERT_EQ(store_->SetValue(alice, {Root::ClassesRoot, "CLSID"}, "Written", kRegSz, {}),
              Result::Ok);
    EXPECT_NE(ReadString(kRoot, {Root::LocalMachine, "Software\\Classes\\CLSID"}, "Written"),
              "<missing>");
    ASSERT_EQ(store_->SetValue(alice, {Root::ClassesRoot, ".txt"}, "Written", kRegSz, {}),
              Result::Ok);
    EXPECT_EQ(ReadString(kRoot, {Root::LocalMachine, "Software\\Classes\\.txt"}, "Written"),
              "<missing>");
    EXPECT_NE(ReadString(alice, {Root::CurrentUser, "Software\\Classes\\.txt"}, "Written"),
              "<missing>");
}

class RegistrySaveRestore : public RegistryStore {
protected:
    void SetUp() override {
        RegistryStore::SetUp();
        WriteString(kRoot, key_, "", "top");
        WriteString(kRoot, {key_.root, key_.path + "\\Child"}, "Name", "child");
        WriteString(kRoot, {key_.root, key_.path + "\\Child\\Grand"}, "Name", "grand");
        ASSERT_EQ(store_->SetValue(kRoot, key_, "Raw", 0x7777, {}), Result::Ok);
    }

    // Every key below `key` with its values, as "path|name|type|data" lines in order.
    std::vector<std::string> Dump(const KeyPath& key, const std::string& prefix = "") {
        std::vector<std::string> lines;
        Value value;
        for (uint32_t i = 0; store_->EnumValue(kRoot, key, i, value) == Result::Ok; ++i) {
            lines.push_back(prefix + "|" + value.name + "|" + std::to_string(value.type) + "|" +
                            std::string(value.data.begin(), value.data.end()));
        }
        for (const std::string& subkey : Subkeys(kRoot, key)) {
            const auto below = Dump({key.root, key.path + "\\" + subkey}, prefix + "\\" + subkey);
            lines.push_back(prefix + "\\" + subkey);
            lines.insert(lines.end(), below.begin(), below.end());
        }
        return lines;
    }

    const KeyPath key_{Root::LocalMachine, "Software\\Swapped"};
};

TEST_F(RegistrySaveRestore, RestoreReplacesTheKeyWithTheSavedContent) {
    const auto saved = Dump(key_);
    const auto file = folder_.path() / "Swapped_hive";
    ASSERT_EQ(store_->SaveKey(kRoot, key_, file), Result::Ok);

    WriteString(kRoot, {key_.root, key_.path + "\\Extra"}, "New", "new");
    ASSERT_EQ(store_->SetValue(kRoot, key_, "", kRegSz, Bytes("changed")), Result::Ok);
    ASSERT_EQ(store_->DeleteTree(kRoot, {key_.root, key_.path + "\\Child"}), Result::Ok);
    ASSERT_NE(Dump(key_), saved);

    ASSERT_EQ(store_->RestoreKey(kRoot, key_, file), Result::Ok);
    EXPECT_EQ(Dump(key_), saved);

    // The same file restores into another key, even in another hive.
    const KeyPath other{Root::CurrentUser, "Software\\Copy"};
    ASSERT_EQ(store_->CreateKey(kRoot, other), Result::Ok);
    WriteString(kRoot, {other.root, other.path + "\\Stale"}, "x", "x");
    ASSERT_EQ(store_->RestoreKey(kRoot, other, file), Result::Ok);
    KeyInfo info;
    ASSERT_EQ(store_->QueryInfo(kRoot, other, info), Result::Ok);
    EXPECT_EQ(info.subkeys, 1u);
    EXPECT_EQ(ReadString(kRoot, {other.root, other.path + "\\Child\\Grand"}, "Name"), "grand");
    EXPECT_EQ(store_->OpenKey(kRoot, {other.root, other.path + "\\Stale"}), Result::NotFound);
}

TEST_F(RegistrySaveRestore, SavedFileIsOneMarkedSqliteFileAndIsNeverOverwritten) {
    const auto file = folder_.path() / "saved";
    ASSERT_EQ(store_->SaveKey(kRoot, key_, file), Result::Ok);
    EXPECT_FALSE(std::filesystem::exists(file.string() + "-wal"));
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    sqlite3_stmt* statement = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db, "PRAGMA application_id", -1, &statement, nullptr), SQLITE_OK);
    ASSERT_EQ(sqlite3_step(statement), SQLITE_ROW);
    EXPECT_EQ(sqlite3_column_int(statement, 0), 0x484C5247);
    sqlite3_finalize(statement);
    sqlite3_close(db);

    const auto size = std::filesystem::file_size(file);
    ASSERT_EQ(store_->SetValue(kRoot, key_, "More", kRegBinary, std::vector<uint8_t>(50000)),
              Result::Ok);
    EXPECT_EQ(store_->SaveKey(kRoot, key_, file), Result::AlreadyExists);
    EXPECT_EQ(std::filesystem::file_size(file), size);
    EXPECT_EQ(store_->SaveKey(kRoot, {key_.root, key_.path + "\\Missing"}, folder_.path() / "m"),
              Result::NotFound);
    EXPECT_FALSE(std::filesystem::exists(folder_.path() / "m"));
    EXPECT_EQ(store_->RestoreKey(kRoot, key_, folder_.path() / "absent"), Result::NotFound);
}

// Writes `bytes` to a file.
void WriteFile(const std::filesystem::path& file, const std::string& bytes) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << bytes;
}

void Execute(const std::filesystem::path& file, const char* sql) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(file.c_str(), &db), SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
    sqlite3_close(db);
}

TEST_F(RegistrySaveRestore, FilesThatAreNotSoundHivesAreRefusedAndChangeNothing) {
    const auto dir = folder_.path();
    const auto good = dir / "good";
    ASSERT_EQ(store_->SetValue(kRoot, key_, "Bulk", kRegBinary, std::vector<uint8_t>(40000, 7)),
              Result::Ok);
    ASSERT_EQ(store_->SaveKey(kRoot, key_, good), Result::Ok);
    std::string goodBytes;
    {
        std::ifstream in(good, std::ios::binary);
        goodBytes.assign(std::istreambuf_iterator<char>(in), {});
    }

    WriteFile(dir / "garbage", std::string(8192, '\x5A'));
    WriteFile(dir / "empty", "");
    WriteFile(dir / "truncated", goodBytes.substr(0, goodBytes.size() / 2));
    std::string flipped = goodBytes;
    for (size_t i = 4096; i < flipped.size(); i += 7) {
        flipped[i] = static_cast<char>(~flipped[i]);
    }
    WriteFile(dir / "damaged", flipped);
    Execute(dir / "foreign", "CREATE TABLE keys(a, b); INSERT INTO keys VALUES(1, 2)");
    Execute(dir / "lookalike",
            "PRAGMA application_id=1212961351; PRAGMA user_version=1; CREATE TABLE keys(id)");
    // Sibling names that differ only in case, hidden from the file's own index.
    std::filesystem::copy_file(good, dir / "dupnames");
    Execute(dir / "dupnames",
            "DROP INDEX keys_by_name; INSERT INTO keys(parent, name, fold, written, class) "
            "SELECT parent, upper(name), X'00' || fold, written, class FROM keys"
            " WHERE parent IS NOT NULL;"
            "CREATE UNIQUE INDEX keys_by_name ON keys(parent, fold)");
    std::filesystem::copy_file(good, dir / "badname");
    Execute(dir / "badname", "UPDATE keys SET name = 'a\\b' WHERE parent IS NOT NULL");

    const auto before = Dump(key_);
    for (const char* name : {"garbage", "empty", "truncated", "damaged", "foreign", "lookalike",
                             "badname", "dupnames"}) {
        EXPECT_EQ(store_->RestoreKey(kRoot, key_, dir / name), Result::BadHiveFile) << name;
        EXPECT_EQ(Dump(key_), before) << name;
    }
    EXPECT_EQ(store_->RestoreKey(kRoot, key_, good), Result::Ok);
}

TEST(RegistryStoreOpen, DamagedOrForeignHivesAreReportedNotUsed) {
    const struct {
        const char* what;
        std::string bytes;
    } cases[] = {
        {"garbage", std::string(4096, '\x11')},
        {"text", "REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\Software]\r\n"},
    };
    for (const auto& c : cases) {
        ScratchFolder folder;
        std::filesystem::create_directories(folder.registry());
        WriteFile(folder.registry() / "machine.hive", c.bytes);
        std::unique_ptr<Store> store;
        EXPECT_EQ(Store::Open(folder.registry(), store), Result::CorruptHive) << c.what;
        EXPECT_EQ(store, nullptr);
    }
    ScratchFolder folder;
    std::filesystem::create_directories(folder.registry());
    Execute(folder.registry() / "machine.hive", "CREATE TABLE settings(k, v)");
    std::unique_ptr<Store> store;
    EXPECT_EQ(Store::Open(folder.registry(), store), Result::CorruptHive);
}

// A key keeps the class it was created with; Windows reports it with the key and the longest
// class of its subkeys with the parent.
TEST_F(RegistryStore, KeysKeepTheClassTheyWereCreatedWith) {
    const KeyPath parent{Root::LocalMachine, "Software\\Classy"};
    const KeyPath child{parent.root, parent.path + "\\Child"};
    ASSERT_EQ(store_->CreateKey(kRoot, child, nullptr, "child class"), Result::Ok);
    ASSERT_EQ(store_->CreateKey(kRoot, {parent.root, parent.path + "\\Other"}, nullptr, "x"),
              Result::Ok);
    // Opening an existing key does not change its class.
    ASSERT_EQ(store_->CreateKey(kRoot, child, nullptr, "another"), Result::Ok);

    KeyInfo info;
    ASSERT_EQ(store_->QueryInfo(kRoot, child, info), Result::Ok);
    EXPECT_EQ(info.keyClass, "child class");
    EXPECT_EQ(info.maxClassLength, 0u);
    ASSERT_EQ(store_->QueryInfo(kRoot, parent, info), Result::Ok);
    EXPECT_EQ(info.keyClass, "");  // created on the way, without a class
    EXPECT_EQ(info.maxClassLength, 11u);
}

TEST_F(RegistrySaveRestore, ClassesAndValueOrderSurviveSaveAndRestore) {
    const KeyPath classy{key_.root, key_.path + "\\Classy"};
    ASSERT_EQ(store_->CreateKey(kRoot, classy, nullptr, "kept class"), Result::Ok);
    for (const char* name : {"zeta", "Alpha", "mid"}) {
        ASSERT_EQ(store_->SetValue(kRoot, classy, name, kRegSz, Bytes(name)), Result::Ok);
    }
    const auto saved = Dump(key_);
    const auto file = folder_.path() / "classy";
    ASSERT_EQ(store_->SaveKey(kRoot, key_, file), Result::Ok);
    ASSERT_EQ(store_->DeleteTree(kRoot, classy), Result::Ok);

    // Restored into a key of another class, a key takes the saved key's class.
    const KeyPath top{Root::LocalMachine, "Software\\ClassyTop"};
    ASSERT_EQ(store_->CreateKey(kRoot, top, nullptr, "top class"), Result::Ok);
    const auto topFile = folder_.path() / "top";
    ASSERT_EQ(store_->SaveKey(kRoot, top, topFile), Result::Ok);
    const KeyPath other{Root::LocalMachine, "Software\\Elsewhere"};
    ASSERT_EQ(store_->CreateKey(kRoot, other, nullptr, "other class"), Result::Ok);
    ASSERT_EQ(store_->RestoreKey(kRoot, other, topFile), Result::Ok);
    KeyInfo info;
    ASSERT_EQ(store_->QueryInfo(kRoot, other, info), Result::Ok);
    EXPECT_EQ(info.keyClass, "top class");

    ASSERT_EQ(store_->RestoreKey(kRoot, key_, file), Result::Ok);
    EXPECT_EQ(Dump(key_), saved);
    EXPECT_EQ(ValueNames(kRoot, classy), (std::vector<std::string>{"zeta", "Alpha", "mid"}));
    ASSERT_EQ(store_->QueryInfo(kRoot, classy, info), Result::Ok);
    EXPECT_EQ(info.keyClass, "kept class");
}

TEST(RegistryStoreOpen, HivesOfTheFirstVersionOpenAndAreUpgraded) {
    ScratchFolder folder;
    std::filesystem::create_directories(folder.registry());
    WriteVersion1Hive(folder.registry() / "machine.hive", "WAL");
    WriteVersion1Hive(folder.registry() / "default.hive", "WAL");
    std::unique_ptr<Store> store;
    ASSERT_EQ(Store::Open(folder.registry(), store), Result::Ok);
    EXPECT_EQ(UserVersion(folder.registry() / "machine.hive"), 2);

    // The values keep the order they enumerated in; new ones come after them.
    const KeyPath old{Root::LocalMachine, "Software\\Old"};
    ASSERT_EQ(store->SetValue(kRoot, old, "Added", kRegSz, Bytes("c")), Result::Ok);
    std::vector<std::string> names;
    Value value;
    for (uint32_t i = 0; store->EnumValue(kRoot, old, i, value) == Result::Ok; ++i) {
        names.push_back(value.name);
    }
    EXPECT_EQ(names, (std::vector<std::string>{"Alpha", "beta", "Added"}));
    ASSERT_EQ(store->CreateKey(kRoot, {Root::LocalMachine, "Software\\Old\\New"}, nullptr, "c"),
              Result::Ok);
    KeyInfo info;
    ASSERT_EQ(store->QueryInfo(kRoot, old, info), Result::Ok);
    EXPECT_EQ(info.keyClass, "");
    EXPECT_EQ(info.maxClassLength, 1u);

    // Opened again, the upgraded hive is simply the current version.
    store.reset();
    ASSERT_EQ(Store::Open(folder.registry(), store), Result::Ok);
    uint32_t type = 0;
    std::vector<uint8_t> data;
    EXPECT_EQ(store->QueryValue(kRoot, old, "ALPHA", type, data), Result::Ok);
    EXPECT_EQ(data, (std::vector<uint8_t>{'a', 0}));
}

TEST(RegistryStoreOpen, SavedFilesOfTheFirstVersionRestore) {
    ScratchFolder folder;
    std::unique_ptr<Store> store;
    ASSERT_EQ(Store::Open(folder.registry(), store), Result::Ok);
    const auto file = folder.path() / "old_saved";
    WriteVersion1Hive(file, "DELETE");
    const KeyPath target{Root::LocalMachine, "Software\\Restored"};
    ASSERT_EQ(store->CreateKey(kRoot, target), Result::Ok);
    ASSERT_EQ(store->RestoreKey(kRoot, target, file), Result::Ok);
    EXPECT_EQ(UserVersion(file), 1);  // a file to restore is only read

    const KeyPath old{target.root, target.path + "\\Software\\Old"};
    std::vector<std::string> names;
    Value value;
    for (uint32_t i = 0; store->EnumValue(kRoot, old, i, value) == Result::Ok; ++i) {
        names.push_back(value.name);
    }
    EXPECT_EQ(names, (std::vector<std::string>{"Alpha", "beta"}));
}

TEST_F(RegistryStore, ThreadsWritingAtOnceLoseNothing) {
    constexpr int kThreads = 6;
    constexpr int kValues = 60;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([this, t] {
            const KeyPath own{Root::LocalMachine, "Software\\Threads\\T" + std::to_string(t)};
            const KeyPath shared{Root::LocalMachine, "Software\\Threads\\Shared"};
            for (int i = 0; i < kValues; ++i) {
                const std::string text = std::to_string(t) + ":" + std::to_string(i);
                EXPECT_EQ(store_->CreateKey(kRoot, own), Result::Ok);
                EXPECT_EQ(
                    store_->SetValue(kRoot, own, "v" + std::to_string(i), kRegSz, Bytes(text)),
                    Result::Ok);
                EXPECT_EQ(store_->CreateKey(kRoot, shared), Result::Ok);
                EXPECT_EQ(
                    store_->SetValue(kRoot, shared, "v" + std::to_string(i), kRegSz, Bytes(text)),
                    Result::Ok);
                KeyInfo info;
                EXPECT_EQ(store_->QueryInfo(kRoot, shared, info), Result::Ok);
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    for (int t = 0; t < kThreads; ++t) {
        const KeyPath own{Root::LocalMachine, "Software\\Threads\\T" + std::to_string(t)};
        for (int i = 0; i < kValues; ++i) {
            EXPECT_EQ(ReadString(kRoot, own, "v" + std::to_string(i)),
                      std::to_string(t) + ":" + std::to_string(i));
        }
    }
    KeyInfo shared;
    ASSERT_EQ(store_->QueryInfo(kRoot, {Root::LocalMachine, "Software\\Threads\\Shared"}, shared),
              Result::Ok);
    EXPECT_EQ(shared.values, static_cast<uint32_t>(kValues));
    EXPECT_EQ(Subkeys(kRoot, {Root::LocalMachine, "Software\\Threads"}).size(), kThreads + 1u);
}

}  // namespace
}  // namespace registry
