// The registry store: persistent Windows-style keys and values, one SQLite file per hive.
//
// Kernel mode (the Zw registry services) and user mode (the Reg* calls) share this store. It
// speaks no Windows types: names are UTF-8, values are (type number, raw bytes) exactly as the
// caller gave them, and every call returns a Result that each side maps to its own codes:
//
//   Result            NTSTATUS                         Win32 error
//   ----------------  -------------------------------  ---------------------------
//   Ok                STATUS_SUCCESS                   ERROR_SUCCESS
//   NotFound          STATUS_OBJECT_NAME_NOT_FOUND     ERROR_FILE_NOT_FOUND
//   NoMoreItems       STATUS_NO_MORE_ENTRIES           ERROR_NO_MORE_ITEMS
//   AccessDenied      STATUS_ACCESS_DENIED             ERROR_ACCESS_DENIED
//   HasSubkeys        STATUS_CANNOT_DELETE             ERROR_ACCESS_DENIED (as RegDeleteKey on NT)
//   InvalidParameter  STATUS_INVALID_PARAMETER         ERROR_INVALID_PARAMETER
//   AlreadyExists     STATUS_OBJECT_NAME_COLLISION     ERROR_ALREADY_EXISTS
//   BadHiveFile       STATUS_REGISTRY_CORRUPT          ERROR_REGISTRY_CORRUPT
//   CorruptHive       STATUS_REGISTRY_CORRUPT          ERROR_BADDB
//   Busy              STATUS_REGISTRY_IO_FAILED        ERROR_REGISTRY_IO_FAILED
//   IoError           STATUS_REGISTRY_IO_FAILED        ERROR_REGISTRY_IO_FAILED
//
// Names of keys and values are compared without regard to case (upper-cased the way Windows
// upper-cases registry names: ASCII, Latin-1, Latin Extended-A, basic Greek and Cyrillic,
// full-width Latin) and kept as first written. Subkeys enumerate in case-insensitive name order,
// values in the order they were first set (a value deleted and set again comes last), as
// Windows keeps them. The default value of a key is the value named "". A key may have a class,
// a text given when it is created.
//
// Every call is safe from several threads at once; several processes may open the same folder.
// A Store must not be carried across fork(): a child process opens its own.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace registry {

enum class Result {
    Ok,
    NotFound,          // the key, value or hive does not exist
    NoMoreItems,       // an enumeration index at or past the end
    AccessDenied,      // the caller, or this process, may not do this
    HasSubkeys,        // DeleteKey of a key that still has subkeys
    InvalidParameter,  // a malformed name or path
    AlreadyExists,     // SaveKey to a file that already exists
    BadHiveFile,       // a file to restore is not a hive file (garbage, another schema, damaged)
    CorruptHive,       // a hive of the store itself is not a sound hive file
    Busy,              // another process held the hive locked beyond the busy timeout
    IoError,           // the host file system failed
};

// A short English name of the result, for logs and test messages.
const char* ToString(Result result);

// The value types the system knows by name; any other number is kept as raw bytes as well.
inline constexpr uint32_t kRegNone = 0;
inline constexpr uint32_t kRegSz = 1;
inline constexpr uint32_t kRegExpandSz = 2;
inline constexpr uint32_t kRegBinary = 3;
inline constexpr uint32_t kRegDword = 4;
inline constexpr uint32_t kRegMultiSz = 7;
inline constexpr uint32_t kRegQword = 11;

// The predefined keys.
//   LocalMachine   the machine hive
//   Users          its subkeys are the loaded hives: ".DEFAULT" (the default user) and each
//                  user by name; the root itself holds no values and takes no new keys
//   CurrentUser    the hive of the caller's user (Caller::user)
//   ClassesRoot    machine "Software\Classes" merged with the caller's "Software\Classes":
//                  a key present in the user's tree is read from there, otherwise from the
//                  machine's; subkeys enumerate as the union of both, values as the user's
//                  followed by the machine's that the user's key lacks; value writes go to
//                  the user's key when it already exists there, otherwise to the machine's;
//                  a new key always goes to the machine's tree
//   CurrentConfig  machine "System\CurrentControlSet\Hardware Profiles\Current"
enum class Root { LocalMachine, Users, CurrentUser, ClassesRoot, CurrentConfig };

// A key: a predefined root and a path below it, components separated by '\'. The empty path is
// the root itself; one trailing '\' is accepted; empty components are not.
struct KeyPath {
    Root root = Root::LocalMachine;
    std::string path;
};

// Translates the kernel's absolute names, case-insensitively:
//   \REGISTRY\MACHINE[\path]        -> {LocalMachine, path}
//   \REGISTRY\USER[\name[\path]]    -> {Users, name\path}
// InvalidParameter when the name does not start with "\REGISTRY\", NotFound for another child
// of \REGISTRY.
Result ParseNtPath(std::string_view ntPath, KeyPath& key);

// Who a call is made for. The machine hive and the default user's hive are read by everyone and
// written only by uid 0; a user's hive is read and written by its owner and by uid 0. The
// kernel, running as root, passes its client's identity; user mode passes Caller::Process().
struct Caller {
    uint32_t uid = 0;
    std::string user;  // names the hive of CurrentUser

    // The effective uid of this process and its user name.
    static Caller Process();
    // A uid and its user name from the host's user database (the decimal uid when it has none).
    static Caller ForUid(uint32_t uid);
};

struct Value {
    std::string name;
    uint32_t type = kRegNone;
    std::vector<uint8_t> data;
};

// Name lengths count UTF-16 code units, as Windows reports them; data lengths count bytes.
struct KeyInfo {
    uint32_t subkeys = 0;
    uint32_t maxSubkeyNameLength = 0;
    uint32_t values = 0;
    uint32_t maxValueNameLength = 0;
    uint32_t maxValueDataLength = 0;
    uint64_t lastWriteTime = 0;   // 100-nanosecond intervals since 1601-01-01 UTC
    std::string keyClass;         // the key's own class, "" when it has none
    uint32_t maxClassLength = 0;  // the longest class of a subkey
};

class Store {
public:
    // Opens the hives in `folder` (a system root's "registry/"). When this process may, it
    // creates the folder and the machine and default-user hives that are missing.
    static Result Open(const std::filesystem::path& folder, std::unique_ptr<Store>& store);

    ~Store();
    Store(const Store&) = delete;
    Store& operator=(const Store&) = delete;

    // Creates the key and any missing keys above it; `created` tells whether the key is new.
    // A new key gets the class `keyClass`; an existing key keeps its own.
    Result CreateKey(const Caller& caller, const KeyPath& key, bool* created = nullptr,
                     std::string_view keyClass = {});
    // Ok when the key exists and the caller may read it.
    Result OpenKey(const Caller& caller, const KeyPath& key);
    // Deletes a key that has no subkeys (HasSubkeys otherwise) together with its values.
    Result DeleteKey(const Caller& caller, const KeyPath& key);
    // Deletes a key with all its subkeys and values.
    Result DeleteTree(const Caller& caller, const KeyPath& key);

    Result SetValue(const Caller& caller, const KeyPath& key, std::string_view name, uint32_t type,
                    std::span<const uint8_t> data);
    Result QueryValue(const Caller& caller, const KeyPath& key, std::string_view name,
                      uint32_t& type, std::vector<uint8_t>& data);
    Result DeleteValue(const Caller& caller, const KeyPath& key, std::string_view name);

    // For a key below ClassesRoot: whether the merged view finds it in the caller's own tree.
    // NotFound when it is in neither tree.
    Result ClassesKeyIsUsers(const Caller& caller, const KeyPath& key, bool& users);

    // The index-th subkey (in name order) or value (in the order set); NoMoreItems past the end.
    Result EnumKey(const Caller& caller, const KeyPath& key, uint32_t index, std::string& name);
    Result EnumValue(const Caller& caller, const KeyPath& key, uint32_t index, Value& value);
    Result QueryInfo(const Caller& caller, const KeyPath& key, KeyInfo& info);

    // Writes the key, its values and its whole subtree to a new standalone hive file (the same
    // format, the key as its root); AlreadyExists when the file exists. The file appears whole
    // or not at all.
    Result SaveKey(const Caller& caller, const KeyPath& key, const std::filesystem::path& file);
    // Replaces the existing key's values and subtree by the contents of a hive file, in one
    // transaction, and gives the key the saved key's class; BadHiveFile when the file is not a
    // sound hive file. Files of every schema version the store has written are read.
    Result RestoreKey(const Caller& caller, const KeyPath& key, const std::filesystem::path& file);

    // Creates the hive of `user`, owned by `uid` and seeded with the default user's hive, unless
    // it exists. A caller's hive is also created on its first use when this process may.
    Result EnsureUserHive(const std::string& user, uint32_t uid);

private:
    struct Impl;
    explicit Store(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

}  // namespace registry
