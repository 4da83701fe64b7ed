// The store shared by several processes: concurrent writers, a writer killed mid-transaction,
// and callers without the right to write.
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <set>

#include "registry/store.h"
#include "test_support.h"

namespace registry {
namespace {

using testing::Bytes;
using testing::kRoot;
using testing::ScratchFolder;

// Runs `body` in a child process; its result is the child's exit code, -1 when it was killed.
// A child reports the number of the first check that failed, 0 when all held.
int RunChild(const std::function<int()>& body) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::_exit(body());
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string IntegrityCheck(const std::filesystem::path& hive) {
    sqlite3* db = nullptr;
    std::string verdict = "cannot open";
    if (sqlite3_open_v2(hive.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &statement, nullptr) ==
                SQLITE_OK &&
            sqlite3_step(statement) == SQLITE_ROW) {
            verdict = reinterpret_cast<const char*>(sqlite3_column_text(statement, 0));
        }
        sqlite3_finalize(statement);
    }
    sqlite3_close(db);
    return verdict;
}

std::string Text(const Store& store, const Caller& caller, const KeyPath& key,
                 std::string_view name) {
    uint32_t type = 0;
    std::vector<uint8_t> data;
    if (const_cast<Store&>(store).QueryValue(caller, key, name, type, data) != Result::Ok) {
        return "<missing>";
    }
    return {data.begin(), data.end()};
}

TEST(RegistryProcesses, WritersInSeveralProcessesLoseNothing) {
    ScratchFolder folder;
    std::unique_ptr<Store> store;
    ASSERT_EQ(Store::Open(folder.registry(), store), Result::Ok);
    constexpr int kChildren = 4;
    constexpr int kValues = 40;
    const KeyPath shared{Root::LocalMachine, "Software\\Procs\\Shared"};

    std::vector<pid_t> children;
    for (int c = 0; c < kChildren; ++c) {
        const pid_t pid = ::fork();
        if (pid == 0) {
            std::unique_ptr<Store> own;
            if (Store::Open(folder.registry(), own) != Result::Ok) {
                ::_exit(1);
            }
            for (int i = 0; i < kValues; ++i) {
                const std::string text = std::to_string(c) + ":" + std::to_string(i);
                const KeyPath key{Root::LocalMachine, "Software\\Procs\\P" + std::to_string(c) +
                                                          "\\K" + std::to_string(i % 5)};
                if (own->CreateKey(kRoot, key) != Result::Ok ||
                    own->SetValue(kRoot, key, "v" + std::to_string(i), kRegSz, Bytes(text)) !=
                        Result::Ok) {
                    ::_exit(2);
                }
                if (own->CreateKey(kRoot, shared) != Result::Ok ||
                    own->SetValue(kRoot, shared, "v" + std::to_string(i), kRegSz, Bytes(text)) !=
                        Result::Ok) {
                    ::_exit(3);
                }
            }
            ::_exit(0);
        }
        children.push_back(pid);
    }
    for (const pid_t pid : children) {
        int status = 0;
        ::waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }

    for (int c = 0; c < kChildren; ++c) {
        for (int i = 0; i < kValues; ++i) {
            const KeyPath key{Root::LocalMachine, "Software\\Procs\\P" + std::to_string(c) + "\\K" +
                                                      std::to_string(i % 5)};
            EXPECT_EQ(Text(*store, kRoot, key, "v" + std::to_string(i)),
                      std::to_string(c) + ":" + std::to_string(i));
        }
    }
    // Each shared value holds one writer's text for its index, whole.
    for (int i = 0; i < kValues; ++i) {
        const std::string text = Text(*store, kRoot, shared, "v" + std::to_string(i));
        const auto colon = text.find(':');
        ASSERT_NE(colon, std::string::npos) << text;
        EXPECT_EQ(text.substr(colon + 1), std::to_string(i));
    }
    KeyInfo info;
    ASSERT_EQ(store->QueryInfo(kRoot, shared, info), Result::Ok);
    EXPECT_EQ(info.values, static_cast<uint32_t>(kValues));
    store.reset();
    EXPECT_EQ(IntegrityCheck(folder.registry() / "machine.hive"), "ok");
}

// A value's data: its index repeated, so that a torn write shows.
std::vector<uint8_t> Pattern(uint32_t index) {
    std::vector<uint8_t> data(24 * 1024);
    for (size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<uint8_t>((index * 31 + i) & 0xFF);
    }
    return data;
}

TEST(RegistryProcesses, WriterKilledMidTransactionLeavesAConsistentHive) {
    ScratchFolder folder;
    const KeyPath log{Root::LocalMachine, "Software\\Log"};
    const KeyPath swapped{Root::LocalMachine, "Software\\Swapped"};
    const auto fileA = folder.path() / "a";
    const auto fileB = folder.path() / "b";
    {
        std::unique_ptr<Store> store;
        ASSERT_EQ(Store::Open(folder.registry(), store), Result::Ok);
        ASSERT_EQ(store->CreateKey(kRoot, log), Result::Ok);
        // Two trees of twenty keys each, told apart by the first letter of every name.
        for (const auto& [file, tag] : {std::pair{fileA, "A"}, std::pair{fileB, "B"}}) {
            const Result cleared = store->DeleteTree(kRoot, swapped);
            ASSERT_TRUE(cleared == Result::Ok || cleared == Result::NotFound);
            for (int k = 0; k < 20; ++k) {
                const KeyPath key{swapped.root, swapped.path + "\\" + tag + std::to_string(k)};
                ASSERT_EQ(store->CreateKey(kRoot, key), Result::Ok);
                ASSERT_EQ(store->SetValue(kRoot, key, "Tag", kRegSz, Bytes(tag)), Result::Ok);
            }
            ASSERT_EQ(store->SaveKey(kRoot, swapped, file), Result::Ok);
        }
    }

    int reports[2];
    ASSERT_EQ(::pipe(reports), 0);
    const pid_t writer = ::fork();
    if (writer == 0) {
        ::close(reports[0]);
        std::unique_ptr<Store> store;
        if (Store::Open(folder.registry(), store) != Result::Ok) {
            ::_exit(1);
        }
        for (uint32_t i = 0;; ++i) {
            if (store->SetValue(kRoot, log, "v" + std::to_string(i), kRegBinary, Pattern(i)) !=
                    Result::Ok ||
                store->RestoreKey(kRoot, swapped, i % 2 ? fileA : fileB) != Result::Ok) {
                ::_exit(2);
            }
            if (::write(reports[1], &i, sizeof i) != sizeof i) {
                ::_exit(3);
            }
        }
    }
    ::close(reports[1]);
    std::set<uint32_t> committed;
    uint32_t index = 0;
    while (committed.size() < 25 && ::read(reports[0], &index, sizeof index) == sizeof index) {
        committed.insert(index);
    }
    ::kill(writer, SIGKILL);
    int status = 0;
    ::waitpid(writer, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the writer stopped by itself: " << status;
    while (::read(reports[0], &index, sizeof index) == sizeof index) {
        committed.insert(index);
    }
    ::close(reports[0]);

    std::unique_ptr<Store> store;
    ASSERT_EQ(Store::Open(folder.registry(), store), Result::Ok);
    for (const uint32_t i : committed) {
        uint32_t type = 0;
        std::vector<uint8_t> data;
        ASSERT_EQ(store->QueryValue(kRoot, log, "v" + std::to_string(i), type, data), Result::Ok)
            << i;
        EXPECT_EQ(data, Pattern(i)) << i;
    }
    // Whatever else made it in is whole as well.
    Value value;
    for (uint32_t i = 0; store->EnumValue(kRoot, log, i, value) == Result::Ok; ++i) {
        EXPECT_EQ(value.data, Pattern(static_cast<uint32_t>(std::stoul(value.name.substr(1)))))
            << value.name;
    }
    // The swapped key holds one of the two trees entirely.
    std::set<std::string> names;
    std::string name;
    for (uint32_t i = 0; store->EnumKey(kRoot, swapped, i, name) == Result::Ok; ++i) {
        names.insert(name.substr(0, 1));
        EXPECT_EQ(Text(*store, kRoot, {swapped.root, swapped.path + "\\" + name}, "Tag"),
                  name.substr(0, 1));
    }
    KeyInfo info;
    ASSERT_EQ(store->QueryInfo(kRoot, swapped, info), Result::Ok);
    EXPECT_EQ(info.subkeys, 20u);
    EXPECT_EQ(names.size(), 1u);
    store.reset();
    EXPECT_EQ(IntegrityCheck(folder.registry() / "machine.hive"), "ok");
}

constexpr uint32_t kNobody = 65534;

// Checks, as the user nobody, what a caller without administrator rights may do.
int CheckAsNobody(const std::filesystem::path& registry) {
    if (::setgid(kNobody) != 0 || ::setuid(kNobody) != 0) {
        return 100;
    }
    std::unique_ptr<Store> store;
    if (Store::Open(registry, store) != Result::Ok) {
        return 1;
    }
    const Caller self = Caller::Process();
    if (self.uid != kNobody) {
        return 2;
    }
    const Caller nobody{kNobody, "nobody"};
    const KeyPath shared{Root::LocalMachine, "Software\\Shared"};
    if (Text(*store, nobody, shared, "Greeting") != "hello") {
        return 3;
    }
    if (store->SetValue(nobody, shared, "Greeting", kRegSz, Bytes("hacked")) !=
        Result::AccessDenied) {
        return 4;
    }
    if (store->CreateKey(nobody, {Root::LocalMachine, "Software\\New"}) != Result::AccessDenied) {
        return 5;
    }
    if (store->DeleteTree(nobody, shared) != Result::AccessDenied) {
        return 6;
    }
    // Claiming to be root changes nothing: the files themselves refuse this process.
    if (store->SetValue(kRoot, shared, "Greeting", kRegSz, Bytes("hacked")) !=
        Result::AccessDenied) {
        return 7;
    }
    if (store->SetValue(nobody, {Root::Users, ".DEFAULT"}, "x", kRegSz, {}) !=
        Result::AccessDenied) {
        return 8;
    }
    if (store->OpenKey(nobody, {Root::Users, "root\\Software"}) != Result::AccessDenied ||
        store->OpenKey(kRoot, {Root::Users, "root\\Software"}) != Result::AccessDenied) {
        return 9;
    }
    const KeyPath own{Root::CurrentUser, "Software\\Mine"};
    if (store->CreateKey(nobody, own) != Result::Ok ||
        store->SetValue(nobody, own, "Kept", kRegSz, Bytes("yes")) != Result::Ok ||
        Text(*store, nobody, own, "Kept") != "yes") {
        return 10;
    }
    if (store->CreateKey(nobody, {Root::ClassesRoot, "NoSuchClass"}) != Result::AccessDenied) {
        return 11;
    }
    if (store->RestoreKey(kRoot, shared, registry / "default.hive") != Result::AccessDenied) {
        return 12;
    }
    if (Text(*store, nobody, shared, "Greeting") != "hello") {
        return 13;
    }
    return 0;
}

TEST(RegistryProcesses, OnlyAdministratorsWriteTheMachineHiveButEveryoneReadsIt) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "acting as nobody needs root";
    }
    ScratchFolder folder;
    std::unique_ptr<Store> store;
    ASSERT_EQ(Store::Open(folder.registry(), store), Result::Ok);
    ASSERT_EQ(store->EnsureUserHive("nobody", kNobody), Result::Ok);
    struct stat machine {};
    struct stat user {};
    ASSERT_EQ(::stat((folder.registry() / "machine.hive").c_str(), &machine), 0);
    ASSERT_EQ(::stat((folder.registry() / "users/nobody/user.hive").c_str(), &user), 0);
    EXPECT_EQ(machine.st_mode & 0777, 0644u);
    EXPECT_EQ(user.st_uid, kNobody);
    EXPECT_EQ(user.st_mode & 0777, 0600u);
    const KeyPath shared{Root::LocalMachine, "Software\\Shared"};
    ASSERT_EQ(store->CreateKey(kRoot, shared), Result::Ok);
    ASSERT_EQ(store->SetValue(kRoot, shared, "Greeting", kRegSz, Bytes("hello")), Result::Ok);
    ASSERT_EQ(store->CreateKey(kRoot, {Root::CurrentUser, "Software"}), Result::Ok);

    // While this process holds the hives open, and again once nobody else does.
    EXPECT_EQ(RunChild([&] { return CheckAsNobody(folder.registry()); }), 0);
    store.reset();
    EXPECT_EQ(RunChild([&] { return CheckAsNobody(folder.registry()); }), 0);

    ASSERT_EQ(Store::Open(folder.registry(), store), Result::Ok);
    EXPECT_EQ(Text(*store, kRoot, shared, "Greeting"), "hello");
    EXPECT_EQ(Text(*store, kRoot, {Root::Users, "nobody\\Software\\Mine"}, "Kept"), "yes");
    EXPECT_EQ(store->SetValue(kRoot, shared, "After", kRegSz, {}), Result::Ok);
    store.reset();
    EXPECT_EQ(IntegrityCheck(folder.registry() / "machine.hive"), "ok");
}

// Every read of a reader without write access sees one whole version of the value.
int ReadAsNobody(const std::filesystem::path& registry, const KeyPath& key, int reads) {
    if (::setgid(kNobody) != 0 || ::setuid(kNobody) != 0) {
        return 100;
    }
    std::unique_ptr<Store> store;
    if (Store::Open(registry, store) != Result::Ok) {
        return 1;
    }
    for (int i = 0; i < reads; ++i) {
        uint32_t type = 0;
        std::vector<uint8_t> data;
        if (store->QueryValue({kNobody, "nobody"}, key, "Version", type, data) != Result::Ok) {
            return 2;
        }
        if (data.size() != 8192 || data != std::vector<uint8_t>(8192, data[0])) {
            return 3;
        }
    }
    return 0;
}

TEST(RegistryProcesses, ReadersWithoutWriteAccessSeeWholeValuesWhileRootWrites) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "acting as nobody needs root";
    }
    ScratchFolder folder;
    std::unique_ptr<Store> store;
    ASSERT_EQ(Store::Open(folder.registry(), store), Result::Ok);
    const KeyPath key{Root::LocalMachine, "Software\\Versioned"};
    ASSERT_EQ(store->CreateKey(kRoot, key), Result::Ok);
    ASSERT_EQ(store->SetValue(kRoot, key, "Version", kRegBinary, std::vector<uint8_t>(8192, 0)),
              Result::Ok);

    std::vector<pid_t> readers;
    for (int r = 0; r < 2; ++r) {
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::_exit(ReadAsNobody(folder.registry(), key, 300));
        }
        readers.push_back(pid);
    }
    for (int i = 1; i <= 300; ++i) {
        ASSERT_EQ(store->SetValue(kRoot, key, "Version", kRegBinary,
                                  std::vector<uint8_t>(8192, static_cast<uint8_t>(i))),
                  Result::Ok);
    }
    for (const pid_t pid : readers) {
        int status = 0;
        ::waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status)) << status;
        EXPECT_EQ(WEXITSTATUS(status), 0);
    }
}

// A process that may not write a hive of the first version reads it as it is; the first
// process that may write it upgrades it.
TEST(RegistryProcesses, HivesOfTheFirstVersionAreReadByThoseWhoCannotUpgradeThem) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "acting as nobody needs root";
    }
    ScratchFolder folder;
    std::filesystem::create_directories(folder.registry());
    ::chmod(folder.registry().c_str(), 0755);
    for (const char* name : {"machine.hive", "default.hive"}) {
        testing::WriteVersion1Hive(folder.registry() / name, "DELETE");
        ::chmod((folder.registry() / name).c_str(), 0644);
    }
    const KeyPath old{Root::LocalMachine, "Software\\Old"};
    EXPECT_EQ(
        RunChild([&] {
            if (::setgid(kNobody) != 0 || ::setuid(kNobody) != 0) {
                return 100;
            }
            std::unique_ptr<Store> store;
            if (Store::Open(folder.registry(), store) != Result::Ok) {
                return 1;
            }
            const Caller nobody{kNobody, "nobody"};
            Value first;
            if (store->EnumValue(nobody, old, 0, first) != Result::Ok || first.name != "Alpha") {
                return 2;
            }
            KeyInfo info;
            if (store->QueryInfo(nobody, old, info) != Result::Ok || info.values != 2 ||
                !info.keyClass.empty()) {
                return 3;
            }
            return store->SetValue(nobody, old, "x", kRegSz, {}) == Result::AccessDenied ? 0 : 4;
        }),
        0);
    EXPECT_EQ(testing::UserVersion(folder.registry() / "machine.hive"), 1);

    std::unique_ptr<Store> store;
    ASSERT_EQ(Store::Open(folder.registry(), store), Result::Ok);
    EXPECT_EQ(testing::UserVersion(folder.registry() / "machine.hive"), 2);
    EXPECT_EQ(Text(*store, kRoot, old, "beta"), std::string("b\0", 2));
}

}  // namespace
}  // namespace registry
