// Shared helpers of the registry store tests: a scratch folder and byte strings.
#pragma once

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "registry/store.h"

namespace registry::testing {

// A fresh folder under /tmp, open to every user so that a child running as nobody can read it.
class ScratchFolder {
public:
    ScratchFolder() {
        // /tmp rather than $TMPDIR, which may sit below a folder closed to other users.
        std::error_code error;
        const std::filesystem::path base = std::filesystem::is_directory("/tmp", error)
                                               ? std::filesystem::path("/tmp")
                                               : std::filesystem::temp_directory_path();
        std::string pattern = (base / "hlreg-XXXXXX").string();
        path_ = ::mkdtemp(pattern.data());
        ::chmod(path_.c_str(), 0755);
    }
    ~ScratchFolder() {
        std::error_code error;
        std::filesystem::remove_all(path_, error);
    }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path registry() const { return path_ / "registry"; }

private:
    std::filesystem::path path_;
};

inline std::vector<uint8_t> Bytes(std::string_view text) {
    return {text.begin(), text.end()};
}

inline const Caller kRoot{0, "root"};

// A hive as the first version of the store wrote it: no key classes, values in name order.
inline void WriteVersion1Hive(const std::filesystem::path& file, const char* journalMode) {
    const std::string sql =
        std::string("PRAGMA journal_mode=") + journalMode +
        "; PRAGMA application_id=1212961351; PRAGMA user_version=1;"
        "CREATE TABLE keys(id INTEGER PRIMARY KEY, parent INTEGER, name TEXT NOT NULL, "
        "fold BLOB NOT NULL, written INTEGER NOT NULL);"
        "CREATE UNIQUE INDEX keys_by_name ON keys(parent, fold);"
        "CREATE TABLE vals(key_id INTEGER NOT NULL, name TEXT NOT NULL, fold BLOB NOT NULL, "
        "type INTEGER NOT NULL, data BLOB NOT NULL, PRIMARY KEY(key_id, fold)) WITHOUT ROWID;"
        "INSERT INTO keys VALUES(1, NULL, '', X'', 0);"
        "INSERT INTO keys VALUES(2, 1, 'Software', CAST('SOFTWARE' AS BLOB), 0);"
        "INSERT INTO keys VALUES(3, 2, 'Classes', CAST('CLASSES' AS BLOB), 0);"
        "INSERT INTO keys VALUES(4, 2, 'Old', CAST('OLD' AS BLOB), 0);"
        "INSERT INTO vals VALUES(4, 'beta', CAST('BETA' AS BLOB), 1, X'6200');"
        "INSERT INTO vals VALUES(4, 'Alpha', CAST('ALPHA' AS BLOB), 1, X'6100');";
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(file.c_str(), &db), SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK)
        << sqlite3_errmsg(db);
    sqlite3_close(db);
}

inline int64_t UserVersion(const std::filesystem::path& file) {
    sqlite3* db = nullptr;
    int64_t version = -1;
    if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare_v2(db, "PRAGMA user_version", -1, &statement, nullptr) == SQLITE_OK &&
            sqlite3_step(statement) == SQLITE_ROW) {
            version = sqlite3_column_int64(statement, 0);
        }
        sqlite3_finalize(statement);
    }
    sqlite3_close(db);
    return version;
}

}  // namespace registry::testing
