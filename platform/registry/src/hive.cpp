#include "hive.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <map>
#include <utility>

namespace registry::detail {
namespace {

namespace fs = std::filesystem;

// The schema, compared word for word with what a file holds: anything else is not a hive.
// Sorted by name, as CheckSchema reads them.
constexpr const char* kSchema[] = {
    "CREATE TABLE keys(id INTEGER PRIMARY KEY, parent INTEGER, name TEXT NOT NULL, "
    "fold BLOB NOT NULL, written INTEGER NOT NULL, class TEXT NOT NULL)",
    "CREATE UNIQUE INDEX keys_by_name ON keys(parent, fold)",
    "CREATE TABLE vals(key_id INTEGER NOT NULL, name TEXT NOT NULL, fold BLOB NOT NULL, "
    "type INTEGER NOT NULL, data BLOB NOT NULL, seq INTEGER NOT NULL, "
    "PRIMARY KEY(key_id, fold)) WITHOUT ROWID",
    "CREATE INDEX vals_in_order ON vals(key_id, seq)",
};

// Version 1: no key classes, and values enumerated in name order.
constexpr const char* kSchemaVersion1[] = {
    "CREATE TABLE keys(id INTEGER PRIMARY KEY, parent INTEGER, name TEXT NOT NULL, "
    "fold BLOB NOT NULL, written INTEGER NOT NULL)",
    "CREATE UNIQUE INDEX keys_by_name ON keys(parent, fold)",
    "CREATE TABLE vals(key_id INTEGER NOT NULL, name TEXT NOT NULL, fold BLOB NOT NULL, "
    "type INTEGER NOT NULL, data BLOB NOT NULL, PRIMARY KEY(key_id, fold)) WITHOUT ROWID",
};

// What version 1 lacks, as the queries of this file expect it: keys without a class, values in
// the name order version 1 enumerated them in. Temporary views shadow the tables for one
// connection that may not change the file.
constexpr const char* kVersion1Views =
    "CREATE TEMP VIEW keys AS SELECT id, parent, name, fold, written, '' AS class FROM main.keys;"
    "CREATE TEMP VIEW vals AS SELECT key_id, name, fold, type, data,"
    " row_number() OVER (PARTITION BY key_id ORDER BY fold) AS seq FROM main.vals";

// Version 1 to 2, table by table; the caller holds the write transaction.
constexpr const char* kUpgradeFromVersion1 =
    "DROP INDEX keys_by_name;"
    "ALTER TABLE keys RENAME TO keys_version1;"
    "ALTER TABLE vals RENAME TO vals_version1;";
constexpr const char* kCopyFromVersion1 =
    "INSERT INTO keys(id, parent, name, fold, written, class)"
    " SELECT id, parent, name, fold, written, '' FROM keys_version1;"
    "INSERT INTO vals(key_id, name, fold, type, data, seq)"
    " SELECT key_id, name, fold, type, data,"
    " row_number() OVER (PARTITION BY key_id ORDER BY fold) FROM vals_version1;"
    "DROP TABLE vals_version1;"
    "DROP TABLE keys_version1;";

constexpr int kBusyTimeoutMs = 10000;
// Windows refuses keys deeper than 512 levels; the guard only bounds walks of foreign files.
constexpr size_t kMaxDepth = 512;
constexpr int kWalkGuard = 4096;

Result FromErrno(int error) {
    switch (error) {
        case 0:
            return Result::Ok;
        case EACCES:
        case EPERM:
        case EROFS:
            return Result::AccessDenied;
        case ENOENT:
        case ENOTDIR:
            return Result::NotFound;
        case EEXIST:
            return Result::AlreadyExists;
        default:
            return Result::IoError;
    }
}

// How a SQLite failure reads for a hive of the store.
Result FromSqlite(int rc) {
    switch (rc & 0xFF) {
        case SQLITE_OK:
        case SQLITE_ROW:
        case SQLITE_DONE:
            return Result::Ok;
        case SQLITE_BUSY:
        case SQLITE_LOCKED:
            return Result::Busy;
        case SQLITE_READONLY:
        case SQLITE_PERM:
        case SQLITE_AUTH:
            return Result::AccessDenied;
        case SQLITE_CORRUPT:
        case SQLITE_NOTADB:
        case SQLITE_ERROR:  // our statements fail only on a schema that is not ours
        case SQLITE_SCHEMA:
        case SQLITE_MISMATCH:
        case SQLITE_CONSTRAINT:
        case SQLITE_FORMAT:
        case SQLITE_RANGE:
            return Result::CorruptHive;
        default:
            return Result::IoError;
    }
}

// The same for a file that is being restored: damage there is the file's fault.
Result FromSqliteForFile(int rc) {
    // A file that needs a journal or log it does not carry is no standalone hive either.
    const int primary = rc & 0xFF;
    if (FromSqlite(rc) == Result::CorruptHive || rc == SQLITE_IOERR_SHORT_READ ||
        primary == SQLITE_READONLY || primary == SQLITE_CANTOPEN) {
        return Result::BadHiveFile;
    }
    return FromSqlite(rc);
}

Result OpenError(sqlite3* db, int rc) {
    const int error = db ? sqlite3_system_errno(db) : 0;
    if ((rc & 0xFF) == SQLITE_CANTOPEN && error != 0) {
        return FromErrno(error);
    }
    return FromSqlite(rc);
}

class Statement {
public:
    Statement(sqlite3* db, const char* sql) {
        rc_ = sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr);
    }
    ~Statement() { sqlite3_finalize(stmt_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    int Error() const { return rc_; }

    Statement& Bind(int index, int64_t number) {
        Keep(rc_ == SQLITE_OK ? sqlite3_bind_int64(stmt_, index, number) : rc_);
        return *this;
    }
    Statement& BindNull(int index) {
        Keep(rc_ == SQLITE_OK ? sqlite3_bind_null(stmt_, index) : rc_);
        return *this;
    }
    // Empty text is "", never NULL, even from a default-constructed view.
    Statement& BindText(int index, std::string_view text) {
        const char* chars = text.empty() ? "" : text.data();
        Keep(rc_ == SQLITE_OK ? sqlite3_bind_text(stmt_, index, chars,
                                                  static_cast<int>(text.size()), SQLITE_TRANSIENT)
                              : rc_);
        return *this;
    }
    // Empty data is a zero-length blob, never NULL.
    Statement& BindBlob(int index, std::span<const uint8_t> bytes) {
        if (rc_ != SQLITE_OK) {
            return *this;
        }
        Keep(bytes.empty() ? sqlite3_bind_zeroblob(stmt_, index, 0)
                           : sqlite3_bind_blob(stmt_, index, bytes.data(),
                                               static_cast<int>(bytes.size()), SQLITE_TRANSIENT));
        return *this;
    }
    Statement& BindFold(int index, std::string_view name) {
        const std::string folded = Fold(name);
        return BindBlob(index, {reinterpret_cast<const uint8_t*>(folded.data()), folded.size()});
    }

    // SQLITE_ROW, SQLITE_DONE or the error that stopped it.
    int Step() {
        if (rc_ != SQLITE_OK) {
            return rc_;
        }
        const int rc = sqlite3_step(stmt_);
        if (rc != SQLITE_ROW && rc != SQLITE_DONE) {
            rc_ = rc;
        }
        return rc;
    }
    // Runs a statement that returns no rows.
    int Run() {
        const int rc = Step();
        return rc == SQLITE_DONE ? SQLITE_OK : (rc == SQLITE_ROW ? SQLITE_OK : rc);
    }
    void Reset() {
        if (rc_ == SQLITE_OK) {
            sqlite3_reset(stmt_);
        }
    }

    int64_t Int(int column) const { return sqlite3_column_int64(stmt_, column); }
    bool IsNull(int column) const { return sqlite3_column_type(stmt_, column) == SQLITE_NULL; }
    std::string Text(int column) const {
        const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, column));
        return text ? std::string(text, static_cast<size_t>(sqlite3_column_bytes(stmt_, column)))
                    : std::string();
    }
    std::vector<uint8_t> Blob(int column) const {
        const auto* bytes = static_cast<const uint8_t*>(sqlite3_column_blob(stmt_, column));
        const auto size = static_cast<size_t>(sqlite3_column_bytes(stmt_, column));
        return bytes ? std::vector<uint8_t>(bytes, bytes + size) : std::vector<uint8_t>();
    }

private:
    void Keep(int rc) { rc_ = rc; }

    sqlite3_stmt* stmt_ = nullptr;
    int rc_ = SQLITE_OK;
};

int Exec(sqlite3* db, const char* sql) {
    return sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
}

// A transaction that rolls back unless committed.
class Transaction {
public:
    Transaction(sqlite3* db, bool write) : db_(db) {
        rc_ = Exec(db, write ? "BEGIN IMMEDIATE" : "BEGIN");
        open_ = rc_ == SQLITE_OK;
    }
    ~Transaction() {
        if (open_) {
            Exec(db_, "ROLLBACK");
        }
    }
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;

    int Error() const { return rc_; }
    int Commit() {
        const int rc = Exec(db_, "COMMIT");
        if (rc == SQLITE_OK) {
            open_ = false;
        }
        return rc;
    }

private:
    sqlite3* db_;
    int rc_;
    bool open_;
};

// Closes a connection that is not (yet) owned by a Hive.
struct Connection {
    sqlite3* db = nullptr;
    ~Connection() { sqlite3_close(db); }
    sqlite3* Release() { return std::exchange(db, nullptr); }
};

int PragmaNumber(sqlite3* db, const char* sql, int64_t& number) {
    Statement query(db, sql);
    const int rc = query.Step();
    if (rc != SQLITE_ROW) {
        return rc == SQLITE_DONE ? SQLITE_CORRUPT : rc;
    }
    number = query.Int(0);
    return SQLITE_OK;
}

std::string SchemaScript(const char* const* statements, size_t count) {
    std::string script;
    for (size_t i = 0; i < count; ++i) {
        script += statements[i];
        script += ";";
    }
    return script;
}

// Checks the marker and the schema of either version and finds the root key. SQLITE_NOTADB
// when the file is a database of some other kind.
int CheckSchema(sqlite3* db, int64_t& root, int64_t& version) {
    int64_t applicationId = 0;
    if (int rc = PragmaNumber(db, "PRAGMA application_id", applicationId); rc != SQLITE_OK) {
        return rc;
    }
    if (int rc = PragmaNumber(db, "PRAGMA user_version", version); rc != SQLITE_OK) {
        return rc;
    }
    if (applicationId != kApplicationId || (version != 1 && version != kSchemaVersion)) {
        return SQLITE_NOTADB;
    }
    Statement schema(db,
                     "SELECT sql FROM main.sqlite_schema WHERE name NOT LIKE 'sqlite_%' "
                     "ORDER BY name");
    std::vector<std::string> found;
    int rc = SQLITE_OK;
    while ((rc = schema.Step()) == SQLITE_ROW) {
        found.push_back(schema.Text(0));
    }
    if (rc != SQLITE_DONE) {
        return rc;
    }
    const std::vector<std::string> expected =
        version == 1
            ? std::vector<std::string>(std::begin(kSchemaVersion1), std::end(kSchemaVersion1))
            : std::vector<std::string>(std::begin(kSchema), std::end(kSchema));
    if (found != expected) {
        return SQLITE_NOTADB;
    }
    Statement roots(db, "SELECT id FROM main.keys WHERE parent IS NULL LIMIT 2");
    if ((rc = roots.Step()) != SQLITE_ROW) {
        return rc == SQLITE_DONE ? SQLITE_CORRUPT : rc;
    }
    root = roots.Int(0);
    rc = roots.Step();
    return rc == SQLITE_DONE ? SQLITE_OK : (rc == SQLITE_ROW ? SQLITE_CORRUPT : rc);
}

// Makes a version 1 file readable through this connection: upgraded in place when `upgrade`,
// otherwise seen through views.
int AdaptVersion1(sqlite3* db, bool upgrade, int64_t& root) {
    if (!upgrade) {
        return Exec(db, kVersion1Views);
    }
    int rc = Exec(db, "BEGIN IMMEDIATE");
    if (rc != SQLITE_OK) {
        return rc;
    }
    int64_t version = 0;
    // Another process may have upgraded the file since it was checked.
    rc = CheckSchema(db, root, version);
    if (rc == SQLITE_OK && version == 1) {
        const std::string script = std::string(kUpgradeFromVersion1) +
                                   SchemaScript(kSchema, std::size(kSchema)) + kCopyFromVersion1 +
                                   "PRAGMA user_version=" + std::to_string(kSchemaVersion);
        rc = Exec(db, script.c_str());
    }
    if (rc == SQLITE_OK) {
        rc = Exec(db, "COMMIT");
    }
    if (rc != SQLITE_OK) {
        Exec(db, "ROLLBACK");
        return rc;
    }
    return CheckSchema(db, root, version);
}

void Configure(sqlite3* db) {
    sqlite3_busy_timeout(db, kBusyTimeoutMs);
    // The log and its index stay when the last connection closes, so that readers without
    // write access to the folder can always open the hive.
    int persist = 1;
    sqlite3_file_control(db, "main", SQLITE_FCNTL_PERSIST_WAL, &persist);
    Exec(db, "PRAGMA synchronous=NORMAL; PRAGMA journal_size_limit=1048576");
}

int ReadSubtree(sqlite3* db, int64_t top, Tree& tree) {
    tree = {};
    Statement keys(db,
                   "WITH RECURSIVE sub(id, parent, name, written, class, depth) AS ("
                   " SELECT id, parent, name, written, class, 0 FROM keys WHERE id = ?1"
                   " UNION ALL"
                   " SELECT keys.id, keys.parent, keys.name, keys.written, keys.class,"
                   " sub.depth + 1 FROM keys JOIN sub ON keys.parent = sub.id"
                   " WHERE sub.depth < ?2)"
                   " SELECT id, parent, name, written, class FROM sub ORDER BY depth, id");
    keys.Bind(1, top).Bind(2, kWalkGuard);
    int rc = SQLITE_OK;
    while ((rc = keys.Step()) == SQLITE_ROW) {
        tree.keys.push_back({keys.Int(0), keys.Int(1), keys.Text(2), keys.Int(3), keys.Text(4)});
    }
    if (rc != SQLITE_DONE) {
        return rc;
    }
    Statement values(db, "SELECT name, type, data FROM vals WHERE key_id = ?1 ORDER BY seq");
    for (const TreeKey& key : tree.keys) {
        values.Reset();
        values.Bind(1, key.id);
        while ((rc = values.Step()) == SQLITE_ROW) {
            const int64_t type = values.Int(1);
            if (type < 0 || type > UINT32_MAX) {
                return SQLITE_MISMATCH;
            }
            tree.values.push_back(
                {key.id, values.Text(0), static_cast<uint32_t>(type), values.Blob(2)});
        }
        if (rc != SQLITE_DONE) {
            return rc;
        }
    }
    return SQLITE_OK;
}

// Inserts the tree below `target`, which takes the place of the tree's top.
int InsertSubtree(sqlite3* db, int64_t target, const Tree& tree) {
    std::map<int64_t, int64_t> ids{{tree.keys.at(0).id, target}};
    Statement key(
        db, "INSERT INTO keys(parent, name, fold, written, class) VALUES(?1, ?2, ?3, ?4, ?5)");
    for (size_t i = 1; i < tree.keys.size(); ++i) {
        const TreeKey& source = tree.keys[i];
        const auto parent = ids.find(source.parent);
        if (parent == ids.end()) {
            return SQLITE_CORRUPT;
        }
        key.Reset();
        key.Bind(1, parent->second).BindText(2, source.name).BindFold(3, source.name);
        if (int rc = key.Bind(4, source.written).BindText(5, source.keyClass).Run();
            rc != SQLITE_OK) {
            return rc;
        }
        ids[source.id] = sqlite3_last_insert_rowid(db);
    }
    // The tree's order is the order the values were set in; one running number keeps it.
    Statement value(db,
                    "INSERT INTO vals(key_id, name, fold, type, data, seq)"
                    " VALUES(?1, ?2, ?3, ?4, ?5, ?6)");
    int64_t seq = 0;
    for (const TreeValue& source : tree.values) {
        const auto owner = ids.find(source.key);
        if (owner == ids.end()) {
            return SQLITE_CORRUPT;
        }
        value.Reset();
        value.Bind(1, owner->second).BindText(2, source.name).BindFold(3, source.name);
        value.Bind(4, source.type).BindBlob(5, source.data).Bind(6, ++seq);
        if (int rc = value.Run(); rc != SQLITE_OK) {
            return rc;
        }
    }
    return SQLITE_OK;
}

// Deletes everything below `id`, and `id` itself with its values when `withTop`.
int DeleteSubtree(sqlite3* db, int64_t id, bool withTop) {
    Statement values(db,
                     "WITH RECURSIVE sub(id) AS (SELECT id FROM keys WHERE parent = ?1"
                     " UNION ALL SELECT keys.id FROM keys JOIN sub ON keys.parent = sub.id)"
                     " DELETE FROM vals WHERE key_id IN sub");
    if (int rc = values.Bind(1, id).Run(); rc != SQLITE_OK) {
        return rc;
    }
    Statement keys(db,
                   "WITH RECURSIVE sub(id) AS (SELECT id FROM keys WHERE parent = ?1"
                   " UNION ALL SELECT keys.id FROM keys JOIN sub ON keys.parent = sub.id)"
                   " DELETE FROM keys WHERE id IN sub");
    if (int rc = keys.Bind(1, id).Run(); rc != SQLITE_OK) {
        return rc;
    }
    Statement ownValues(db, "DELETE FROM vals WHERE key_id = ?1");
    if (int rc = ownValues.Bind(1, id).Run(); rc != SQLITE_OK) {
        return rc;
    }
    if (!withTop) {
        return SQLITE_OK;
    }
    Statement self(db, "DELETE FROM keys WHERE id = ?1");
    return self.Bind(1, id).Run();
}

int Touch(sqlite3* db, int64_t id) {
    Statement touch(db, "UPDATE keys SET written = ?2 WHERE id = ?1");
    return touch.Bind(1, id).Bind(2, Now()).Run();
}

// Creates `file` from `temporary` without ever replacing an existing file.
Result Publish(const fs::path& temporary, const fs::path& file) {
    if (::link(temporary.c_str(), file.c_str()) == 0) {
        ::unlink(temporary.c_str());
        return Result::Ok;
    }
    if (errno == EEXIST) {
        return Result::AlreadyExists;
    }
    // File systems without hard links: rename, refusing to replace.
    if (::renameat2(AT_FDCWD, temporary.c_str(), AT_FDCWD, file.c_str(), RENAME_NOREPLACE) == 0) {
        return Result::Ok;
    }
    if (errno != EINVAL && errno != ENOSYS) {
        return FromErrno(errno);
    }
    std::error_code error;
    if (fs::exists(file, error)) {
        return Result::AlreadyExists;
    }
    return ::rename(temporary.c_str(), file.c_str()) == 0 ? Result::Ok : FromErrno(errno);
}

void SyncFolder(const fs::path& folder) {
    const int fd = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

int WriteTree(sqlite3* db, const Tree& tree) {
    const std::string setup = "PRAGMA application_id=" + std::to_string(kApplicationId) +
                              "; PRAGMA user_version=" + std::to_string(kSchemaVersion) + ";" +
                              SchemaScript(kSchema, std::size(kSchema));
    if (int rc = Exec(db, setup.c_str()); rc != SQLITE_OK) {
        return rc;
    }
    Transaction transaction(db, true);
    if (transaction.Error() != SQLITE_OK) {
        return transaction.Error();
    }
    const TreeKey& top = tree.keys.at(0);
    Statement root(db,
                   "INSERT INTO keys(id, parent, name, fold, written, class)"
                   " VALUES(?1, NULL, '', ?2, ?3, ?4)");
    root.Bind(1, top.id).BindFold(2, "").Bind(3, top.written).BindText(4, top.keyClass);
    if (int rc = root.Run(); rc != SQLITE_OK) {
        return rc;
    }
    if (int rc = InsertSubtree(db, top.id, tree); rc != SQLITE_OK) {
        return rc;
    }
    return transaction.Commit();
}

}  // namespace

int64_t Now() {
    constexpr int64_t kUnixEpochAsFileTime = 116444736000000000;
    const auto sinceEpoch = std::chrono::system_clock::now().time_since_epoch();
    return kUnixEpochAsFileTime +
           std::chrono::duration_cast<std::chrono::nanoseconds>(sinceEpoch).count() / 100;
}

Result WriteHiveFile(const fs::path& file, const Tree& tree, bool live, const FileRights& rights) {
    if (tree.keys.empty()) {
        return Result::InvalidParameter;
    }
    std::error_code error;
    if (fs::exists(fs::symlink_status(file, error))) {
        return Result::AlreadyExists;
    }
    static std::atomic<unsigned> counter{0};
    const fs::path temporary =
        file.parent_path() / ("." + file.filename().string() + ".tmp-" +
                              std::to_string(::getpid()) + "-" + std::to_string(counter++));
    struct Cleanup {
        const fs::path& path;
        void Remove() const {
            for (const char* suffix : {"", "-journal", "-wal", "-shm"}) {
                ::unlink((path.string() + suffix).c_str());
            }
        }
        ~Cleanup() { Remove(); }
    } cleanup{temporary};
    cleanup.Remove();  // a leftover of a crashed writer by the same name must not be reused

    {
        Connection connection;
        const int rc = sqlite3_open_v2(temporary.c_str(), &connection.db,
                                       SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
        if (rc != SQLITE_OK) {
            return OpenError(connection.db, rc);
        }
        if (int written = WriteTree(connection.db, tree); written != SQLITE_OK) {
            return FromSqlite(written);
        }
        if (live && Exec(connection.db, "PRAGMA journal_mode=WAL") != SQLITE_OK) {
            return Result::IoError;
        }
    }
    if (::chmod(temporary.c_str(), rights.mode) != 0) {
        return FromErrno(errno);
    }
    if (rights.owner && *rights.owner != ::geteuid() &&
        ::chown(temporary.c_str(), *rights.owner, static_cast<gid_t>(-1)) != 0) {
        return FromErrno(errno);
    }
    const Result published = Publish(temporary, file);
    if (published == Result::Ok) {
        SyncFolder(file.parent_path());
    }
    return published;
}

Result ReadHiveFile(const fs::path& file, Tree& tree) {
    std::error_code error;
    if (!fs::is_regular_file(file, error)) {
        return fs::exists(file, error) ? Result::BadHiveFile : Result::NotFound;
    }
    Connection connection;
    int rc = sqlite3_open_v2(file.c_str(), &connection.db, SQLITE_OPEN_READONLY, nullptr);
    if (rc != SQLITE_OK) {
        const Result result = OpenError(connection.db, rc);
        return result == Result::IoError ? Result::BadHiveFile : result;
    }
    sqlite3_busy_timeout(connection.db, kBusyTimeoutMs);
    int64_t root = 0;
    int64_t version = 0;
    if ((rc = CheckSchema(connection.db, root, version)) != SQLITE_OK) {
        return FromSqliteForFile(rc);
    }
    if (version == 1 && (rc = AdaptVersion1(connection.db, false, root)) != SQLITE_OK) {
        return FromSqliteForFile(rc);
    }
    Statement check(connection.db, "PRAGMA integrity_check(1)");
    if ((rc = check.Step()) != SQLITE_ROW) {
        return FromSqliteForFile(rc);
    }
    if (check.Text(0) != "ok") {
        return Result::BadHiveFile;
    }
    if ((rc = ReadSubtree(connection.db, root, tree)) != SQLITE_OK) {
        return FromSqliteForFile(rc);
    }
    for (size_t i = 1; i < tree.keys.size(); ++i) {
        if (!IsValidKeyName(tree.keys[i].name)) {
            return Result::BadHiveFile;
        }
    }
    for (const TreeValue& value : tree.values) {
        if (!IsValidValueName(value.name)) {
            return Result::BadHiveFile;
        }
    }
    return Result::Ok;
}

Result Hive::Open(const fs::path& file, std::unique_ptr<Hive>& hive) {
    Connection connection;
    // SQLite falls back to a read-only connection when this process may not write the file.
    int rc = sqlite3_open_v2(file.c_str(), &connection.db, SQLITE_OPEN_READWRITE, nullptr);
    if (rc != SQLITE_OK) {
        return OpenError(connection.db, rc);
    }
    Configure(connection.db);
    int64_t root = 0;
    int64_t version = 0;
    rc = CheckSchema(connection.db, root, version);
    if (rc == SQLITE_OK && version == 1) {
        rc = AdaptVersion1(connection.db, sqlite3_db_readonly(connection.db, "main") == 0, root);
    }
    if (rc != SQLITE_OK) {
        const Result result = FromSqlite(rc);
        return result == Result::AccessDenied ? Result::AccessDenied
               : result == Result::Busy       ? Result::Busy
               : result == Result::IoError    ? Result::IoError
                                              : Result::CorruptHive;
    }
    struct stat status {};
    if (::stat(file.c_str(), &status) != 0) {
        return FromErrno(errno);
    }
    hive.reset(new Hive(connection.Release(), root, status.st_uid));
    return Result::Ok;
}

Hive::~Hive() {
    sqlite3_close(db_);
}

Result Hive::Find(const Names& path, int64_t& id) {
    id = root_;
    Statement child(db_, "SELECT id FROM keys WHERE parent = ?1 AND fold = ?2");
    for (const std::string& name : path) {
        child.Reset();
        const int rc = child.Bind(1, id).BindFold(2, name).Step();
        if (rc == SQLITE_DONE) {
            return Result::NotFound;
        }
        if (rc != SQLITE_ROW) {
            return FromSqlite(rc);
        }
        id = child.Int(0);
    }
    return Result::Ok;
}

template <typename Body>
Result Hive::WithKey(const Names& path, bool write, Body&& body) {
    std::lock_guard lock(mutex_);
    Transaction transaction(db_, write);
    if (transaction.Error() != SQLITE_OK) {
        return FromSqlite(transaction.Error());
    }
    int64_t id = 0;
    if (Result found = Find(path, id); found != Result::Ok) {
        return found;
    }
    const Result result = body(id);
    if (result != Result::Ok || !write) {
        return result;
    }
    return FromSqlite(transaction.Commit());
}

Result Hive::CreateKey(const Names& path, bool* created, std::string_view keyClass) {
    if (path.size() > kMaxDepth) {
        return Result::InvalidParameter;
    }
    bool isNew = false;
    const Result result = WithKey({}, true, [&](int64_t root) {
        Statement child(db_, "SELECT id FROM keys WHERE parent = ?1 AND fold = ?2");
        Statement insert(db_,
                         "INSERT INTO keys(parent, name, fold, written, class)"
                         " VALUES(?1, ?2, ?3, ?4, ?5)");
        int64_t id = root;
        for (size_t level = 0; level < path.size(); ++level) {
            const std::string& name = path[level];
            child.Reset();
            int rc = child.Bind(1, id).BindFold(2, name).Step();
            isNew = rc == SQLITE_DONE;
            if (rc == SQLITE_ROW) {
                id = child.Int(0);
                continue;
            }
            if (rc != SQLITE_DONE) {
                return FromSqlite(rc);
            }
            insert.Reset();
            const bool last = level + 1 == path.size();
            insert.Bind(1, id).BindText(2, name).BindFold(3, name).Bind(4, Now());
            rc = insert.BindText(5, last ? keyClass : std::string_view()).Run();
            if (rc == SQLITE_OK) {
                rc = Touch(db_, id);
            }
            if (rc != SQLITE_OK) {
                return FromSqlite(rc);
            }
            id = sqlite3_last_insert_rowid(db_);
        }
        return Result::Ok;
    });
    if (result == Result::Ok && created) {
        *created = isNew;
    }
    return result;
}

Result Hive::KeyExists(const Names& path) {
    return WithKey(path, false, [](int64_t) { return Result::Ok; });
}

Result Hive::DeleteKey(const Names& path, bool withSubtree) {
    if (path.empty()) {
        return Result::AccessDenied;  // a hive's root stays
    }
    return WithKey(path, true, [&](int64_t id) {
        if (!withSubtree) {
            Statement subkey(db_, "SELECT 1 FROM keys WHERE parent = ?1 LIMIT 1");
            const int rc = subkey.Bind(1, id).Step();
            if (rc != SQLITE_DONE) {
                return rc == SQLITE_ROW ? Result::HasSubkeys : FromSqlite(rc);
            }
        }
        Statement parent(db_, "SELECT parent FROM keys WHERE id = ?1");
        if (int rc = parent.Bind(1, id).Step(); rc != SQLITE_ROW) {
            return FromSqlite(rc == SQLITE_DONE ? SQLITE_CORRUPT : rc);
        }
        const int64_t parentId = parent.Int(0);
        int rc = DeleteSubtree(db_, id, true);
        if (rc == SQLITE_OK) {
            rc = Touch(db_, parentId);
        }
        return FromSqlite(rc);
    });
}

Result Hive::SetValue(const Names& path, std::string_view name, uint32_t type,
                      std::span<const uint8_t> data) {
    return WithKey(path, true, [&](int64_t id) {
        // A value written again, under any case, keeps the name it was first given and its
        // place in the enumeration; a new one comes last.
        Statement set(db_,
                      "INSERT INTO vals(key_id, name, fold, type, data, seq)"
                      " SELECT ?1, ?2, ?3, ?4, ?5, coalesce(max(seq), 0) + 1"
                      " FROM vals WHERE key_id = ?1"
                      " ON CONFLICT(key_id, fold) DO UPDATE SET type = excluded.type,"
                      " data = excluded.data");
        set.Bind(1, id).BindText(2, name).BindFold(3, name).Bind(4, type).BindBlob(5, data);
        int rc = set.Run();
        if (rc == SQLITE_OK) {
            rc = Touch(db_, id);
        }
        return FromSqlite(rc);
    });
}

Result Hive::QueryValue(const Names& path, std::string_view name, uint32_t& type,
                        std::vector<uint8_t>& data) {
    return WithKey(path, false, [&](int64_t id) {
        Statement query(db_, "SELECT type, data FROM vals WHERE key_id = ?1 AND fold = ?2");
        const int rc = query.Bind(1, id).BindFold(2, name).Step();
        if (rc != SQLITE_ROW) {
            return rc == SQLITE_DONE ? Result::NotFound : FromSqlite(rc);
        }
        type = static_cast<uint32_t>(query.Int(0));
        data = query.Blob(1);
        return Result::Ok;
    });
}

Result Hive::DeleteValue(const Names& path, std::string_view name) {
    return WithKey(path, true, [&](int64_t id) {
        Statement erase(db_, "DELETE FROM vals WHERE key_id = ?1 AND fold = ?2");
        if (int rc = erase.Bind(1, id).BindFold(2, name).Run(); rc != SQLITE_OK) {
            return FromSqlite(rc);
        }
        if (sqlite3_changes(db_) == 0) {
            return Result::NotFound;
        }
        return FromSqlite(Touch(db_, id));
    });
}

Result Hive::EnumKey(const Names& path, uint32_t index, std::string& name) {
    return WithKey(path, false, [&](int64_t id) {
        Statement subkey(db_,
                         "SELECT name FROM keys WHERE parent = ?1 ORDER BY fold LIMIT 1 OFFSET ?2");
        const int rc = subkey.Bind(1, id).Bind(2, index).Step();
        if (rc != SQLITE_ROW) {
            return rc == SQLITE_DONE ? Result::NoMoreItems : FromSqlite(rc);
        }
        name = subkey.Text(0);
        return Result::Ok;
    });
}

Result Hive::Subkeys(const Names& path, std::vector<Subkey>& subkeys) {
    return WithKey(path, false, [&](int64_t id) {
        subkeys.clear();
        Statement query(db_, "SELECT name, class FROM keys WHERE parent = ?1 ORDER BY fold");
        query.Bind(1, id);
        int rc = SQLITE_OK;
        while ((rc = query.Step()) == SQLITE_ROW) {
            subkeys.push_back({query.Text(0), static_cast<uint32_t>(Utf16Length(query.Text(1)))});
        }
        return rc == SQLITE_DONE ? Result::Ok : FromSqlite(rc);
    });
}

Result Hive::EnumValue(const Names& path, uint32_t index, Value& value) {
    return WithKey(path, false, [&](int64_t id) {
        Statement query(db_,
                        "SELECT name, type, data FROM vals WHERE key_id = ?1 ORDER BY seq"
                        " LIMIT 1 OFFSET ?2");
        const int rc = query.Bind(1, id).Bind(2, index).Step();
        if (rc != SQLITE_ROW) {
            return rc == SQLITE_DONE ? Result::NoMoreItems : FromSqlite(rc);
        }
        value.name = query.Text(0);
        value.type = static_cast<uint32_t>(query.Int(1));
        value.data = query.Blob(2);
        return Result::Ok;
    });
}

Result Hive::Values(const Names& path, std::vector<Value>& values) {
    return WithKey(path, false, [&](int64_t id) {
        values.clear();
        Statement query(db_, "SELECT name, type, data FROM vals WHERE key_id = ?1 ORDER BY seq");
        query.Bind(1, id);
        int rc = SQLITE_OK;
        while ((rc = query.Step()) == SQLITE_ROW) {
            values.push_back({query.Text(0), static_cast<uint32_t>(query.Int(1)), query.Blob(2)});
        }
        return rc == SQLITE_DONE ? Result::Ok : FromSqlite(rc);
    });
}

Result Hive::QueryInfo(const Names& path, KeyInfo& info) {
    return WithKey(path, false, [&](int64_t id) {
        info = {};
        const auto longest = [](uint32_t& longestSoFar, std::string_view name) {
            longestSoFar = std::max(longestSoFar, static_cast<uint32_t>(Utf16Length(name)));
        };
        Statement subkeys(db_, "SELECT name, class FROM keys WHERE parent = ?1");
        subkeys.Bind(1, id);
        int rc = SQLITE_OK;
        while ((rc = subkeys.Step()) == SQLITE_ROW) {
            ++info.subkeys;
            longest(info.maxSubkeyNameLength, subkeys.Text(0));
            longest(info.maxClassLength, subkeys.Text(1));
        }
        if (rc != SQLITE_DONE) {
            return FromSqlite(rc);
        }
        Statement values(db_,
                         "SELECT name, length(CAST(data AS BLOB)) FROM vals WHERE key_id = ?1");
        values.Bind(1, id);
        while ((rc = values.Step()) == SQLITE_ROW) {
            ++info.values;
            longest(info.maxValueNameLength, values.Text(0));
            info.maxValueDataLength =
                std::max(info.maxValueDataLength, static_cast<uint32_t>(values.Int(1)));
        }
        if (rc != SQLITE_DONE) {
            return FromSqlite(rc);
        }
        Statement self(db_, "SELECT written, class FROM keys WHERE id = ?1");
        if ((rc = self.Bind(1, id).Step()) != SQLITE_ROW) {
            return FromSqlite(rc == SQLITE_DONE ? SQLITE_CORRUPT : rc);
        }
        info.lastWriteTime = static_cast<uint64_t>(self.Int(0));
        info.keyClass = self.Text(1);
        return Result::Ok;
    });
}

Result Hive::ReadTree(const Names& path, Tree& tree) {
    return WithKey(path, false, [&](int64_t id) { return FromSqlite(ReadSubtree(db_, id, tree)); });
}

Result Hive::ReplaceTree(const Names& path, const Tree& tree) {
    if (tree.keys.empty()) {
        return Result::InvalidParameter;
    }
    return WithKey(path, true, [&](int64_t id) {
        if (int rc = DeleteSubtree(db_, id, false); rc != SQLITE_OK) {
            return FromSqlite(rc);
        }
        if (int rc = InsertSubtree(db_, id, tree); rc != SQLITE_OK) {
            // Names that clash without regard to case surface here as constraint failures.
            return FromSqliteForFile(rc);
        }
        // The key takes the class of the key that was saved.
        Statement setClass(db_, "UPDATE keys SET class = ?2 WHERE id = ?1");
        if (int rc = setClass.Bind(1, id).BindText(2, tree.keys[0].keyClass).Run();
            rc != SQLITE_OK) {
            return FromSqlite(rc);
        }
        return FromSqlite(Touch(db_, id));
    });
}

}  // namespace registry::detail
