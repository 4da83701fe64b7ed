#include "registry/store.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <map>
#include <mutex>

#include "hive.h"
#include "names.h"

namespace registry {
namespace {

namespace fs = std::filesystem;
using detail::Hive;
using detail::Names;
using detail::SameName;

const Names kClasses = {"Software", "Classes"};
const Names kCurrentConfig = {"System", "CurrentControlSet", "Hardware Profiles", "Current"};
constexpr std::string_view kDefaultUser = ".DEFAULT";
constexpr const char* kUserHiveFile = "user.hive";

enum class Kind { Machine, DefaultUser, User };
enum class Access { Read, Write };

// One real key: a hive and a path inside it.
struct Target {
    Hive* hive = nullptr;
    Kind kind = Kind::Machine;
    Names path;
};

Names Join(const Names& prefix, const Names& rest) {
    Names joined = prefix;
    joined.insert(joined.end(), rest.begin(), rest.end());
    return joined;
}

bool Permitted(const Target& target, const Caller& caller, Access access) {
    if (caller.uid == 0) {
        return true;
    }
    if (target.kind == Kind::User) {
        return caller.uid == target.hive->Owner();
    }
    return access == Access::Read;
}

// A new hive holding the given keys, each path with all the keys above it.
detail::Tree Seed(std::initializer_list<Names> paths) {
    detail::Tree tree;
    const int64_t now = detail::Now();
    tree.keys.push_back({1, 0, "", now, ""});
    std::map<std::string, int64_t> ids{{"", 1}};
    for (const Names& path : paths) {
        std::string parentKey;
        for (const std::string& name : path) {
            const std::string key = parentKey + "\\" + detail::Fold(name);
            if (!ids.contains(key)) {
                const auto id = static_cast<int64_t>(tree.keys.size() + 1);
                tree.keys.push_back({id, ids[parentKey], name, now, ""});
                ids[key] = id;
            }
            parentKey = key;
        }
    }
    return tree;
}

bool IsValidUserName(std::string_view name) {
    return detail::IsValidKeyName(name) && name.front() != '.' &&
           name.find('/') == std::string_view::npos;
}

// Whether a user's folder holds a hive; a folder closed to this process counts, so that its
// hive is listed and refused rather than missing.
bool HoldsHive(const fs::path& userFolder) {
    std::error_code error;
    const bool present = fs::exists(userFolder / kUserHiveFile, error);
    return present || error == std::errc::permission_denied;
}

Result FromErrno(int error) {
    switch (error) {
        case EACCES:
        case EPERM:
        case EROFS:
            return Result::AccessDenied;
        case ENOENT:
            return Result::NotFound;
        default:
            return Result::IoError;
    }
}

Result MakeFolder(const fs::path& folder, mode_t mode) {
    if (::mkdir(folder.c_str(), mode) == 0) {
        return ::chmod(folder.c_str(), mode) == 0 ? Result::Ok : FromErrno(errno);
    }
    return errno == EEXIST ? Result::Ok : FromErrno(errno);
}

Result OpenOrCreate(const fs::path& file, const detail::Tree& seed,
                    const detail::FileRights& rights, std::unique_ptr<Hive>& hive) {
    std::error_code error;
    if (!fs::exists(file, error)) {
        const Result created = detail::WriteHiveFile(file, seed, true, rights);
        if (created != Result::Ok && created != Result::AlreadyExists) {
            return created;
        }
    }
    return Hive::Open(file, hive);
}

// Subkeys of both trees, the first's where both have one, in enumeration order.
std::vector<detail::Subkey> Merge(std::vector<detail::Subkey> first,
                                  const std::vector<detail::Subkey>& second) {
    for (const detail::Subkey& subkey : second) {
        const bool known = std::any_of(first.begin(), first.end(), [&](const detail::Subkey& have) {
            return SameName(have.name, subkey.name);
        });
        if (!known) {
            first.push_back(subkey);
        }
    }
    std::sort(first.begin(), first.end(), [](const detail::Subkey& a, const detail::Subkey& b) {
        return detail::Fold(a.name) < detail::Fold(b.name);
    });
    return first;
}

// Values of both keys: the first's in their order, then the second's that the first lacks.
std::vector<Value> MergeValues(std::vector<Value> first, const std::vector<Value>& second) {
    const size_t own = first.size();
    for (const Value& value : second) {
        const bool shadowed =
            std::any_of(first.begin(), first.begin() + static_cast<ptrdiff_t>(own),
                        [&](const Value& have) { return SameName(have.name, value.name); });
        if (!shadowed) {
            first.push_back(value);
        }
    }
    return first;
}

void Summarise(const std::vector<detail::Subkey>& subkeys, KeyInfo& info) {
    info.subkeys = static_cast<uint32_t>(subkeys.size());
    info.maxSubkeyNameLength = 0;
    info.maxClassLength = 0;
    for (const detail::Subkey& subkey : subkeys) {
        info.maxSubkeyNameLength = std::max(
            info.maxSubkeyNameLength, static_cast<uint32_t>(detail::Utf16Length(subkey.name)));
        info.maxClassLength = std::max(info.maxClassLength, subkey.classLength);
    }
}

void Summarise(const std::vector<Value>& values, KeyInfo& info) {
    info.values = static_cast<uint32_t>(values.size());
    info.maxValueNameLength = 0;
    info.maxValueDataLength = 0;
    for (const Value& value : values) {
        info.maxValueNameLength = std::max(info.maxValueNameLength,
                                           static_cast<uint32_t>(detail::Utf16Length(value.name)));
        info.maxValueDataLength =
            std::max(info.maxValueDataLength, static_cast<uint32_t>(value.data.size()));
    }
}

}  // namespace

const char* ToString(Result result) {
    switch (result) {
        case Result::Ok:
            return "Ok";
        case Result::NotFound:
            return "NotFound";
        case Result::NoMoreItems:
            return "NoMoreItems";
        case Result::AccessDenied:
            return "AccessDenied";
        case Result::HasSubkeys:
            return "HasSubkeys";
        case Result::InvalidParameter:
            return "InvalidParameter";
        case Result::AlreadyExists:
            return "AlreadyExists";
        case Result::BadHiveFile:
            return "BadHiveFile";
        case Result::CorruptHive:
            return "CorruptHive";
        case Result::Busy:
            return "Busy";
        case Result::IoError:
            return "IoError";
    }
    return "?";
}

Result ParseNtPath(std::string_view ntPath, KeyPath& key) {
    constexpr std::string_view kPrefix = "\\REGISTRY";
    if (ntPath.size() < kPrefix.size() || !SameName(ntPath.substr(0, kPrefix.size()), kPrefix)) {
        return Result::InvalidParameter;
    }
    std::string_view rest = ntPath.substr(kPrefix.size());
    if (!rest.empty() && rest.front() != '\\') {
        return Result::InvalidParameter;
    }
    if (!rest.empty()) {
        rest.remove_prefix(1);
    }
    const size_t separator = rest.find('\\');
    const std::string_view head = rest.substr(0, separator);
    const std::string_view tail =
        separator == std::string_view::npos ? std::string_view() : rest.substr(separator + 1);
    if (SameName(head, "MACHINE")) {
        key = {Root::LocalMachine, std::string(tail)};
    } else if (SameName(head, "USER")) {
        key = {Root::Users, std::string(tail)};
    } else {
        return Result::NotFound;
    }
    return Result::Ok;
}

Caller Caller::Process() {
    return ForUid(::geteuid());
}

Caller Caller::ForUid(uint32_t uid) {
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found) {
        return {uid, found->pw_name};
    }
    return {uid, std::to_string(uid)};
}

struct Store::Impl {
    fs::path folder;
    std::unique_ptr<Hive> machine;
    std::unique_ptr<Hive> defaultUser;
    std::mutex usersMutex;
    std::map<std::string, std::unique_ptr<Hive>> users;  // by folded name

    fs::path UsersFolder() const { return folder / "users"; }

    // The folder of an existing user hive, found without regard to case.
    std::optional<fs::path> FindUserFolder(std::string_view name) const {
        std::error_code error;
        for (const auto& entry : fs::directory_iterator(UsersFolder(), error)) {
            const std::string entryName = entry.path().filename().string();
            if (SameName(entryName, name) && HoldsHive(entry.path())) {
                return entry.path();
            }
        }
        return std::nullopt;
    }

    Result CreateUserHive(const std::string& name, uint32_t uid) {
        if (Result made = MakeFolder(UsersFolder(), 0755); made != Result::Ok) {
            return made;
        }
        const fs::path userFolder = UsersFolder() / name;
        if (Result made = MakeFolder(userFolder, 0700); made != Result::Ok) {
            return made;
        }
        if (uid != ::geteuid() && ::chown(userFolder.c_str(), uid, static_cast<gid_t>(-1)) != 0) {
            return FromErrno(errno);
        }
        // A new user starts from the default user's settings, as at a first logon on Windows.
        detail::Tree seed;
        if (defaultUser->ReadTree({}, seed) != Result::Ok) {
            seed = Seed({});
        }
        const Result written =
            detail::WriteHiveFile(userFolder / kUserHiveFile, seed, true, {0600, uid});
        return written == Result::AlreadyExists ? Result::Ok : written;
    }

    // The hive of a user; created for `creator` when missing and this process may.
    Result UserHive(std::string_view name, const Caller* creator, Hive*& hive) {
        if (!IsValidUserName(name)) {
            return Result::InvalidParameter;
        }
        std::lock_guard lock(usersMutex);
        auto& slot = users[detail::Fold(name)];
        if (!slot) {
            std::optional<fs::path> userFolder = FindUserFolder(name);
            if (!userFolder) {
                if (!creator) {
                    users.erase(detail::Fold(name));
                    return Result::NotFound;
                }
                if (Result created = CreateUserHive(std::string(name), creator->uid);
                    created != Result::Ok) {
                    users.erase(detail::Fold(name));
                    return created;
                }
                userFolder = UsersFolder() / std::string(name);
            }
            if (Result opened = Hive::Open(*userFolder / kUserHiveFile, slot);
                opened != Result::Ok) {
                users.erase(detail::Fold(name));
                return opened;
            }
        }
        hive = slot.get();
        return Result::Ok;
    }

    // The names under HKEY_USERS: the default user and every user with a hive.
    std::vector<detail::Subkey> HiveNames() const {
        std::vector<detail::Subkey> names{{std::string(kDefaultUser)}};
        std::error_code error;
        for (const auto& entry : fs::directory_iterator(UsersFolder(), error)) {
            const std::string name = entry.path().filename().string();
            if (IsValidUserName(name) && HoldsHive(entry.path())) {
                names.push_back({name});
            }
        }
        return Merge(names, {});
    }

    // Resolves a key outside the merged view and the HKEY_USERS root.
    Result Resolve(const Caller& caller, Root root, const Names& names, Target& target) {
        switch (root) {
            case Root::LocalMachine:
                target = {machine.get(), Kind::Machine, names};
                return Result::Ok;
            case Root::CurrentConfig:
                target = {machine.get(), Kind::Machine, Join(kCurrentConfig, names)};
                return Result::Ok;
            case Root::CurrentUser: {
                target = {nullptr, Kind::User, names};
                return UserHive(caller.user, &caller, target.hive);
            }
            case Root::Users: {
                const Names rest(names.begin() + 1, names.end());
                if (SameName(names.at(0), kDefaultUser)) {
                    target = {defaultUser.get(), Kind::DefaultUser, rest};
                    return Result::Ok;
                }
                target = {nullptr, Kind::User, rest};
                const bool own = SameName(names[0], caller.user);
                return UserHive(names[0], own ? &caller : nullptr, target.hive);
            }
            case Root::ClassesRoot:
                break;
        }
        return Result::InvalidParameter;
    }

    // HKEY_CLASSES_ROOT: the user's key when it exists (and the caller may read it), otherwise
    // the machine's. `userTree` is set when the user's hive is there to consult.
    Target Classes(const Caller& caller, const Names& names, std::optional<Target>& userTree) {
        userTree.reset();
        Target user{nullptr, Kind::User, Join(kClasses, names)};
        if (UserHive(caller.user, nullptr, user.hive) == Result::Ok &&
            Permitted(user, caller, Access::Read)) {
            userTree = user;
            if (user.hive->KeyExists(user.path) == Result::Ok) {
                return user;
            }
        }
        return {machine.get(), Kind::Machine, Join(kClasses, names)};
    }

    // Where a key created below HKEY_CLASSES_ROOT is: where the merged view finds it, and a
    // new one in the machine's tree, whatever tree holds its parent, as on Windows.
    Target ClassesCreation(const Caller& caller, const Names& names) {
        std::optional<Target> user;
        const Target found = Classes(caller, names, user);
        if (found.kind == Kind::User) {
            return found;
        }
        return {machine.get(), Kind::Machine, Join(kClasses, names)};
    }

    // Resolves any key except the HKEY_USERS root (see IsUsersRoot) to the key to act on.
    Result Locate(const Caller& caller, const KeyPath& key, Names& names, Target& target) {
        if (!detail::SplitKeyPath(key.path, names)) {
            return Result::InvalidParameter;
        }
        if (key.root == Root::ClassesRoot) {
            std::optional<Target> user;
            target = Classes(caller, names, user);
            return Result::Ok;
        }
        if (key.root == Root::Users && names.empty()) {
            return Result::InvalidParameter;
        }
        return Resolve(caller, key.root, names, target);
    }

    // Locates a key for reading or writing and checks the caller's right.
    Result Reach(const Caller& caller, const KeyPath& key, Access access, Target& target) {
        Names names;
        Result located = Locate(caller, key, names, target);
        if (located == Result::NotFound && access == Access::Write && key.root == Root::Users) {
            return Result::AccessDenied;  // HKEY_USERS takes no new hives by name
        }
        if (located != Result::Ok) {
            return located;
        }
        return Permitted(target, caller, access) ? Result::Ok : Result::AccessDenied;
    }

    // Subkeys of a key in the merged view.
    Result ClassesSubkeys(const Caller& caller, const KeyPath& key,
                          std::vector<detail::Subkey>& subkeys) {
        Names path;
        if (!detail::SplitKeyPath(key.path, path)) {
            return Result::InvalidParameter;
        }
        std::optional<Target> user;
        Classes(caller, path, user);
        std::vector<detail::Subkey> fromUser;
        std::vector<detail::Subkey> fromMachine;
        const Result userResult =
            user ? user->hive->Subkeys(user->path, fromUser) : Result::NotFound;
        const Result machineResult = machine->Subkeys(Join(kClasses, path), fromMachine);
        return Combine(userResult, machineResult,
                       [&] { subkeys = Merge(std::move(fromUser), fromMachine); });
    }

    // Values of a key in the merged view.
    Result ClassesValues(const Caller& caller, const KeyPath& key, std::vector<Value>& values) {
        Names path;
        if (!detail::SplitKeyPath(key.path, path)) {
            return Result::InvalidParameter;
        }
        std::optional<Target> user;
        Classes(caller, path, user);
        std::vector<Value> fromUser;
        std::vector<Value> fromMachine;
        const Result userResult =
            user ? user->hive->Values(user->path, fromUser) : Result::NotFound;
        const Result machineResult = machine->Values(Join(kClasses, path), fromMachine);
        return Combine(userResult, machineResult,
                       [&] { values = MergeValues(std::move(fromUser), fromMachine); });
    }

    // The result of reading one key from both trees: Ok when either has it.
    template <typename Merger>
    static Result Combine(Result fromUser, Result fromMachine, Merger&& merge) {
        if (fromUser != Result::Ok && fromUser != Result::NotFound) {
            return fromUser;
        }
        if (fromMachine != Result::Ok &&
            !(fromMachine == Result::NotFound && fromUser == Result::Ok)) {
            return fromMachine;
        }
        merge();
        return Result::Ok;
    }
};

namespace {

bool IsUsersRoot(const KeyPath& key) {
    Names names;
    return key.root == Root::Users && detail::SplitKeyPath(key.path, names) && names.empty();
}

// The predefined keys themselves (and the roots of hives) are never deleted.
bool IsPredefined(const KeyPath& key) {
    Names names;
    return detail::SplitKeyPath(key.path, names) &&
           (names.empty() || (key.root == Root::Users && names.size() == 1));
}

}  // namespace

Store::Store(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
Store::~Store() = default;

Result Store::Open(const fs::path& folder, std::unique_ptr<Store>& store) {
    auto impl = std::make_unique<Impl>();
    impl->folder = folder;
    std::error_code error;
    if (!fs::is_directory(folder, error)) {
        fs::create_directories(folder, error);
        if (error) {
            return FromErrno(error.value());
        }
        ::chmod(folder.c_str(), 0755);
    }
    const detail::Tree machineSeed =
        Seed({kClasses, kCurrentConfig, {"System", "CurrentControlSet", "Services"}});
    if (Result opened =
            OpenOrCreate(folder / "machine.hive", machineSeed, {0644, std::nullopt}, impl->machine);
        opened != Result::Ok) {
        return opened;
    }
    if (Result opened = OpenOrCreate(folder / "default.hive", Seed({{"Software"}}),
                                     {0644, std::nullopt}, impl->defaultUser);
        opened != Result::Ok) {
        return opened;
    }
    store.reset(new Store(std::move(impl)));
    return Result::Ok;
}

Result Store::CreateKey(const Caller& caller, const KeyPath& key, bool* created,
                        std::string_view keyClass) {
    if (created) {
        *created = false;
    }
    if (IsUsersRoot(key)) {
        return Result::Ok;
    }
    Target target;
    if (key.root == Root::ClassesRoot) {
        Names names;
        if (!detail::SplitKeyPath(key.path, names)) {
            return Result::InvalidParameter;
        }
        target = impl_->ClassesCreation(caller, names);
        if (!Permitted(target, caller, Access::Write)) {
            return Result::AccessDenied;
        }
    } else if (Result reached = impl_->Reach(caller, key, Access::Write, target);
               reached != Result::Ok) {
        return reached;
    }
    return target.hive->CreateKey(target.path, created, keyClass);
}

Result Store::OpenKey(const Caller& caller, const KeyPath& key) {
    if (IsUsersRoot(key)) {
        return Result::Ok;
    }
    Target target;
    if (Result reached = impl_->Reach(caller, key, Access::Read, target); reached != Result::Ok) {
        return reached;
    }
    return target.hive->KeyExists(target.path);
}

Result Store::ClassesKeyIsUsers(const Caller& caller, const KeyPath& key, bool& users) {
    users = false;
    if (key.root != Root::ClassesRoot) {
        return Result::InvalidParameter;
    }
    Target target;
    if (Result reached = impl_->Reach(caller, key, Access::Read, target); reached != Result::Ok) {
        return reached;
    }
    if (Result exists = target.hive->KeyExists(target.path); exists != Result::Ok) {
        return exists;
    }
    users = target.kind == Kind::User;
    return Result::Ok;
}

Result Store::DeleteKey(const Caller& caller, const KeyPath& key) {
    if (IsPredefined(key)) {
        return Result::AccessDenied;
    }
    Target target;
    if (Result reached = impl_->Reach(caller, key, Access::Write, target); reached != Result::Ok) {
        return reached;
    }
    return target.hive->DeleteKey(target.path, false);
}

Result Store::DeleteTree(const Caller& caller, const KeyPath& key) {
    if (IsPredefined(key)) {
        return Result::AccessDenied;
    }
    Target target;
    if (Result reached = impl_->Reach(caller, key, Access::Write, target); reached != Result::Ok) {
        return reached;
    }
    return target.hive->DeleteKey(target.path, true);
}

Result Store::SetValue(const Caller& caller, const KeyPath& key, std::string_view name,
                       uint32_t type, std::span<const uint8_t> data) {
    if (!detail::IsValidValueName(name) || data.size() > detail::kMaxValueDataLength) {
        return Result::InvalidParameter;
    }
    if (IsUsersRoot(key)) {
        return Result::AccessDenied;
    }
    Target target;
    if (Result reached = impl_->Reach(caller, key, Access::Write, target); reached != Result::Ok) {
        return reached;
    }
    return target.hive->SetValue(target.path, name, type, data);
}

Result Store::QueryValue(const Caller& caller, const KeyPath& key, std::string_view name,
                         uint32_t& type, std::vector<uint8_t>& data) {
    if (!detail::IsValidValueName(name)) {
        return Result::InvalidParameter;
    }
    if (IsUsersRoot(key)) {
        return Result::NotFound;
    }
    Target target;
    if (Result reached = impl_->Reach(caller, key, Access::Read, target); reached != Result::Ok) {
        return reached;
    }
    return target.hive->QueryValue(target.path, name, type, data);
}

Result Store::DeleteValue(const Caller& caller, const KeyPath& key, std::string_view name) {
    if (!detail::IsValidValueName(name)) {
        return Result::InvalidParameter;
    }
    if (IsUsersRoot(key)) {
        return Result::AccessDenied;
    }
    Target target;
    if (Result reached = impl_->Reach(caller, key, Access::Write, target); reached != Result::Ok) {
        return reached;
    }
    return target.hive->DeleteValue(target.path, name);
}

Result Store::EnumKey(const Caller& caller, const KeyPath& key, uint32_t index, std::string& name) {
    if (IsUsersRoot(key) || key.root == Root::ClassesRoot) {
        std::vector<detail::Subkey> subkeys;
        if (IsUsersRoot(key)) {
            subkeys = impl_->HiveNames();
        } else if (Result listed = impl_->ClassesSubkeys(caller, key, subkeys);
                   listed != Result::Ok) {
            return listed;
        }
        if (index >= subkeys.size()) {
            return Result::NoMoreItems;
        }
        name = subkeys[index].name;
        return Result::Ok;
    }
    Target target;
    if (Result reached = impl_->Reach(caller, key, Access::Read, target); reached != Result::Ok) {
        return reached;
    }
    return target.hive->EnumKey(target.path, index, name);
}

Result Store::EnumValue(const Caller& caller, const KeyPath& key, uint32_t index, Value& value) {
    if (IsUsersRoot(key)) {
        return Result::NoMoreItems;
    }
    if (key.root == Root::ClassesRoot) {
        std::vector<Value> values;
        if (Result listed = impl_->ClassesValues(caller, key, values); listed != Result::Ok) {
            return listed;
        }
        if (index >= values.size()) {
            return Result::NoMoreItems;
        }
        value = std::move(values[index]);
        return Result::Ok;
    }
    Target target;
    if (Result reached = impl_->Reach(caller, key, Access::Read, target); reached != Result::Ok) {
        return reached;
    }
    return target.hive->EnumValue(target.path, index, value);
}

Result Store::QueryInfo(const Caller& caller, const KeyPath& key, KeyInfo& info) {
    if (IsUsersRoot(key)) {
        info = {};
        Summarise(impl_->HiveNames(), info);
        return Result::Ok;
    }
    Target target;
    if (Result reached = impl_->Reach(caller, key, Access::Read, target); reached != Result::Ok) {
        return reached;
    }
    if (Result queried = target.hive->QueryInfo(target.path, info); queried != Result::Ok) {
        return queried;
    }
    if (key.root == Root::ClassesRoot) {
        std::vector<detail::Subkey> subkeys;
        if (Result listed = impl_->ClassesSubkeys(caller, key, subkeys); listed != Result::Ok) {
            return listed;
        }
        Summarise(subkeys, info);
        std::vector<Value> values;
        if (Result listed = impl_->ClassesValues(caller, key, values); listed != Result::Ok) {
            return listed;
        }
        Summarise(values, info);
    }
    return Result::Ok;
}

Result Store::SaveKey(const Caller& caller, const KeyPath& key, const fs::path& file) {
    if (IsUsersRoot(key)) {
        return Result::AccessDenied;
    }
    Target target;
    if (Result reached = impl_->Reach(caller, key, Access::Read, target); reached != Result::Ok) {
        return reached;
    }
    detail::Tree tree;
    if (Result read = target.hive->ReadTree(target.path, tree); read != Result::Ok) {
        return read;
    }
    // Saved keys often hold what a user keeps private: only the saver may read the file.
    return detail::WriteHiveFile(file, tree, false, {0600, std::nullopt});
}

Result Store::RestoreKey(const Caller& caller, const KeyPath& key, const fs::path& file) {
    if (IsUsersRoot(key)) {
        return Result::AccessDenied;
    }
    Target target;
    if (Result reached = impl_->Reach(caller, key, Access::Write, target); reached != Result::Ok) {
        return reached;
    }
    detail::Tree tree;
    if (Result read = detail::ReadHiveFile(file, tree); read != Result::Ok) {
        return read;
    }
    return target.hive->ReplaceTree(target.path, tree);
}

Result Store::EnsureUserHive(const std::string& user, uint32_t uid) {
    const Caller owner{uid, user};
    Hive* hive = nullptr;
    return impl_->UserHive(user, &owner, hive);
}

}  // namespace registry
