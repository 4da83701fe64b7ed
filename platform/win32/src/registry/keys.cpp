#include "keys.h"

#include <unistd.h>

#include <mutex>
#include <system_error>
#include <vector>

namespace hl::win32::reg {
namespace {

namespace fs = std::filesystem;

constexpr REGSAM kWriteRights =
    KEY_SET_VALUE | KEY_CREATE_SUB_KEY | KEY_CREATE_LINK | DELETE | WRITE_DAC | WRITE_OWNER;

struct ProcessStore {
    std::mutex mutex;
    pid_t owner = 0;
    std::unique_ptr<registry::Store> store;
    // Stores a parent process opened: closing their connections here would act on the
    // parent's locks and files, so they are kept, unused, for the life of the process.
    std::vector<std::unique_ptr<registry::Store>>* inherited = nullptr;
};

ProcessStore& Shared() {
    static ProcessStore shared;
    return shared;
}

struct Predefined {
    HKEY handle;
    registry::Root root;
};

const Predefined kPredefined[] = {
    {HKEY_CLASSES_ROOT, registry::Root::ClassesRoot},
    {HKEY_CURRENT_USER, registry::Root::CurrentUser},
    {HKEY_LOCAL_MACHINE, registry::Root::LocalMachine},
    {HKEY_USERS, registry::Root::Users},
    {HKEY_CURRENT_CONFIG, registry::Root::CurrentConfig},
};

std::string_view FirstComponent(std::string_view path) {
    return path.substr(0, path.find('\\'));
}

REGSAM MapGeneric(REGSAM desired) {
    REGSAM mapped = desired & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL |
                                KEY_WOW64_32KEY | KEY_WOW64_64KEY);
    if (desired & GENERIC_READ) {
        mapped |= KEY_READ;
    }
    if (desired & GENERIC_WRITE) {
        mapped |= KEY_WRITE;
    }
    if (desired & GENERIC_EXECUTE) {
        mapped |= KEY_EXECUTE;
    }
    if (desired & GENERIC_ALL) {
        mapped |= KEY_ALL_ACCESS;
    }
    return mapped;
}

}  // namespace

registry::Store* Store() {
    ProcessStore& shared = Shared();
    std::lock_guard lock(shared.mutex);
    if (shared.store && shared.owner != ::getpid()) {
        if (shared.inherited == nullptr) {
            shared.inherited = new std::vector<std::unique_ptr<registry::Store>>;
        }
        shared.inherited->push_back(std::move(shared.store));
    }
    if (!shared.store && SystemRoot()) {
        // Only a system that exists: a mistyped root must not grow a registry.
        const fs::path folder = *SystemRoot() / "registry";
        std::error_code error;
        if (fs::is_directory(folder, error) &&
            registry::Store::Open(folder, shared.store) == registry::Result::Ok) {
            shared.owner = ::getpid();
        }
    }
    return shared.store.get();
}

registry::Caller Caller() {
    static std::mutex mutex;
    static std::optional<registry::Caller> cached;
    std::lock_guard lock(mutex);
    if (!cached || cached->uid != ::geteuid()) {
        cached = registry::Caller::Process();
    }
    return *cached;
}

LONG ToError(registry::Result result) {
    using registry::Result;
    switch (result) {
        case Result::Ok:
            return ERROR_SUCCESS;
        case Result::NotFound:
            return ERROR_FILE_NOT_FOUND;
        case Result::NoMoreItems:
            return ERROR_NO_MORE_ITEMS;
        case Result::AccessDenied:
        case Result::HasSubkeys:
            return ERROR_ACCESS_DENIED;
        case Result::InvalidParameter:
            return ERROR_INVALID_PARAMETER;
        case Result::AlreadyExists:
            return ERROR_ALREADY_EXISTS;
        case Result::BadHiveFile:
            return ERROR_REGISTRY_CORRUPT;
        case Result::CorruptHive:
            return ERROR_BADDB;
        case Result::Busy:
        case Result::IoError:
            return ERROR_REGISTRY_IO_FAILED;
    }
    return ERROR_REGISTRY_IO_FAILED;
}

LONG Lookup(HKEY handle, KeyRef& ref) {
    for (const Predefined& predefined : kPredefined) {
        if (handle == predefined.handle) {
            ref = {{predefined.root, ""}, KEY_ALL_ACCESS, true};
            return ERROR_SUCCESS;
        }
    }
    const auto open = LookupHandleAs<OpenKey>(reinterpret_cast<HANDLE>(handle));
    if (!open) {
        return ERROR_INVALID_HANDLE;
    }
    ref = {open->key, open->rights, false, open->userClasses};
    return ERROR_SUCCESS;
}

LONG Below(const KeyRef& parent, const char* subKey, registry::KeyPath& key) {
    key = parent.key;
    if (subKey == nullptr || *subKey == 0) {
        return ERROR_SUCCESS;
    }
    if (*subKey == '\\') {
        return ERROR_BAD_PATHNAME;
    }
    std::string sub = NameToStore(subKey);
    if (sub.back() == '\\') {
        sub.pop_back();
    }
    key.path = key.path.empty() ? sub : key.path + "\\" + sub;
    return ERROR_SUCCESS;
}

bool MayWrite(const registry::KeyPath& key) {
    const registry::Caller caller = Caller();
    if (caller.uid == 0) {
        return true;
    }
    switch (key.root) {
        case registry::Root::CurrentUser:
            return true;
        case registry::Root::Users:
            return NamesEqual(FirstComponent(key.path), caller.user);
        case registry::Root::ClassesRoot: {
            // The merged view writes to the user's tree exactly when the key is there.
            registry::Store* store = Store();
            const std::string userPath =
                key.path.empty() ? "Software\\Classes" : "Software\\Classes\\" + key.path;
            return store != nullptr && store->OpenKey(caller, {registry::Root::CurrentUser,
                                                               userPath}) == registry::Result::Ok;
        }
        case registry::Root::LocalMachine:
        case registry::Root::CurrentConfig:
            break;
    }
    return false;
}

LONG Grant(const registry::KeyPath& key, REGSAM desired, REGSAM& granted) {
    REGSAM rights = MapGeneric(desired);
    if (rights & MAXIMUM_ALLOWED) {
        granted = (rights & ~MAXIMUM_ALLOWED) | (MayWrite(key) ? KEY_ALL_ACCESS : KEY_READ);
        return ERROR_SUCCESS;
    }
    if ((rights & kWriteRights) != 0 && !MayWrite(key)) {
        return ERROR_ACCESS_DENIED;
    }
    granted = rights;
    return ERROR_SUCCESS;
}

HKEY Insert(registry::KeyPath key, REGSAM rights) {
    bool userClasses = false;
    registry::Store* store = Store();
    if (store != nullptr && key.root == registry::Root::ClassesRoot && !key.path.empty() &&
        store->ClassesKeyIsUsers(Caller(), key, userClasses) != registry::Result::Ok) {
        userClasses = false;
    }
    return reinterpret_cast<HKEY>(
        InsertHandle(std::make_shared<OpenKey>(std::move(key), rights, userClasses)));
}

LONG Alive(const KeyRef& ref) {
    if (!ref.userClasses) {
        return ERROR_SUCCESS;
    }
    registry::Store* store = Store();
    if (store == nullptr) {
        return ERROR_FILE_NOT_FOUND;
    }
    bool users = false;
    const registry::Result found = store->ClassesKeyIsUsers(Caller(), ref.key, users);
    if (found == registry::Result::NotFound || (found == registry::Result::Ok && !users)) {
        return ERROR_KEY_DELETED;
    }
    return ToError(found);
}

LONG KeyGone(const KeyRef& ref) {
    return ref.predefined ? ERROR_FILE_NOT_FOUND : ERROR_KEY_DELETED;
}

std::string NameToStore(std::string_view ansi) {
    return AnsiToUtf8(ansi);
}

std::string NameFromStore(std::string_view utf8) {
    return Utf16ToAnsi(Utf8ToUtf16(utf8));
}

}  // namespace hl::win32::reg
