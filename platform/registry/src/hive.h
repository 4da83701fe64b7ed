// One hive: a SQLite file holding a tree of keys and their values.
#pragma once

#include <sqlite3.h>
#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "names.h"
#include "registry/store.h"

namespace registry::detail {

// Marks every hive file: application_id 'HLRG' and the schema version. Version 1 had neither
// key classes nor the order in which values were first set; its files are still read, and a
// hive of the store is upgraded when it is first opened by a process that may write it.
inline constexpr int32_t kApplicationId = 0x484C5247;
inline constexpr int32_t kSchemaVersion = 2;

// A detached copy of a subtree; keys[0] is its top, parents come before their children.
struct TreeKey {
    int64_t id = 0;
    int64_t parent = 0;
    std::string name;
    int64_t written = 0;
    std::string keyClass;
};
struct TreeValue {
    int64_t key = 0;
    std::string name;
    uint32_t type = 0;
    std::vector<uint8_t> data;
};
// Values are in the order they were first set, key by key.
struct Tree {
    std::vector<TreeKey> keys;
    std::vector<TreeValue> values;
};

// A subkey as enumeration and key information see it.
struct Subkey {
    std::string name;
    uint32_t classLength = 0;  // UTF-16 units
};

// Ownership and mode of a new file; nullopt keeps the creator's.
struct FileRights {
    mode_t mode = 0644;
    std::optional<uid_t> owner;
};

// Writes a tree as a new hive file; AlreadyExists when `file` exists. The file is built aside
// and linked into place, so it appears whole or not at all. A `live` file is a store hive
// (write-ahead log); otherwise it is one self-contained file for saving and copying.
Result WriteHiveFile(const std::filesystem::path& file, const Tree& tree, bool live,
                     const FileRights& rights);
// Reads and checks a standalone hive file; BadHiveFile unless it is a sound one.
Result ReadHiveFile(const std::filesystem::path& file, Tree& tree);

// The current time as a FILETIME count.
int64_t Now();

class Hive {
public:
    static Result Open(const std::filesystem::path& file, std::unique_ptr<Hive>& hive);
    ~Hive();
    Hive(const Hive&) = delete;
    Hive& operator=(const Hive&) = delete;

    uid_t Owner() const { return owner_; }

    // A new key gets `keyClass`; keys created above it on the way, and an existing key, keep
    // theirs.
    Result CreateKey(const Names& path, bool* created, std::string_view keyClass);
    Result KeyExists(const Names& path);
    Result DeleteKey(const Names& path, bool withSubtree);
    Result SetValue(const Names& path, std::string_view name, uint32_t type,
                    std::span<const uint8_t> data);
    Result QueryValue(const Names& path, std::string_view name, uint32_t& type,
                      std::vector<uint8_t>& data);
    Result DeleteValue(const Names& path, std::string_view name);
    Result EnumKey(const Names& path, uint32_t index, std::string& name);
    Result Subkeys(const Names& path, std::vector<Subkey>& subkeys);
    Result EnumValue(const Names& path, uint32_t index, Value& value);
    // Every value of the key, in enumeration order.
    Result Values(const Names& path, std::vector<Value>& values);
    Result QueryInfo(const Names& path, KeyInfo& info);
    Result ReadTree(const Names& path, Tree& tree);
    Result ReplaceTree(const Names& path, const Tree& tree);

private:
    Hive(sqlite3* db, int64_t root, uid_t owner) : db_(db), root_(root), owner_(owner) {}
    Result Find(const Names& path, int64_t& id);
    // Runs body(id) for the key at `path` in one transaction under the hive's lock; a write is
    // committed when the body returns Ok.
    template <typename Body>
    Result WithKey(const Names& path, bool write, Body&& body);

    std::mutex mutex_;
    sqlite3* db_;
    int64_t root_;
    uid_t owner_;
};

}  // namespace registry::detail
