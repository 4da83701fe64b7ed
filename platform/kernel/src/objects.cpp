// The object manager: the namespace of directories, links and named objects, and handles.
#include "kernel/text.h"
#include "system.h"

struct _OBJECT_TYPE {
    hl::kernel::ObjectKind kind;
};

namespace {
_OBJECT_TYPE g_threadTypeObject{hl::kernel::ObjectKind::Thread};
_OBJECT_TYPE g_fileTypeObject{hl::kernel::ObjectKind::File};
_OBJECT_TYPE g_deviceTypeObject{hl::kernel::ObjectKind::Device};
_OBJECT_TYPE g_driverTypeObject{hl::kernel::ObjectKind::Driver};
_OBJECT_TYPE g_tokenTypeObject{hl::kernel::ObjectKind::Token};
_OBJECT_TYPE g_eventTypeObject{hl::kernel::ObjectKind::Event};
POBJECT_TYPE g_threadType = &g_threadTypeObject;
POBJECT_TYPE g_fileType = &g_fileTypeObject;
POBJECT_TYPE g_deviceType = &g_deviceTypeObject;
POBJECT_TYPE g_driverType = &g_driverTypeObject;
POBJECT_TYPE g_tokenType = &g_tokenTypeObject;
POBJECT_TYPE g_eventType = &g_eventTypeObject;
}  // namespace

extern "C" {
POBJECT_TYPE* PsThreadType = &g_threadType;
POBJECT_TYPE* IoFileObjectType = &g_fileType;
POBJECT_TYPE* ExEventObjectType = &g_eventType;
POBJECT_TYPE* IoDeviceObjectType = &g_deviceType;
POBJECT_TYPE* IoDriverObjectType = &g_driverType;
POBJECT_TYPE* SeTokenObjectType = &g_tokenType;
}

namespace hl::kernel {

namespace {

constexpr int kMaxReparse = 32;

std::pair<std::u16string_view, std::u16string_view> SplitLeaf(std::u16string_view path) {
    auto cut = path.rfind(u'\\');
    if (cut == std::u16string_view::npos) {
        return {std::u16string_view{}, path};
    }
    return {cut == 0 ? path.substr(0, 1) : path.substr(0, cut), path.substr(cut + 1)};
}

}  // namespace

const char* KindName(ObjectKind kind) {
    switch (kind) {
        case ObjectKind::Directory:
            return "directory";
        case ObjectKind::SymbolicLink:
            return "symbolic link";
        case ObjectKind::Device:
            return "device";
        case ObjectKind::Driver:
            return "driver";
        case ObjectKind::File:
            return "file";
        case ObjectKind::Key:
            return "key";
        case ObjectKind::Thread:
            return "thread";
        case ObjectKind::Token:
            return "token";
        case ObjectKind::HostFolder:
            return "host folder";
        case ObjectKind::ShareTable:
            return "share table";
        case ObjectKind::RegistryRoot:
            return "registry";
        case ObjectKind::Event:
            return "event";
    }
    return "object";
}

Object::Object(ObjectKind kind) : kind_(kind) {
    Sys().objects.RegisterLive(this);
}

Object::~Object() {
    if (System* system = CurrentSystem()) {
        system->objects.UnregisterLive(this);
    }
}

long Object::Release() {
    long left = refs_.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (left == 0) {
        delete this;
    } else if (left < 0) {
        BugCheck("an object was dereferenced more often than referenced");
    }
    return left;
}

bool Object::TryAddRef() {
    long count = refs_.load();
    while (count > 0) {
        if (refs_.compare_exchange_weak(count, count + 1)) {
            return true;
        }
    }
    return false;
}

void ObjectManager::Boot() {
    rootDirectory = MakeObject<Directory>();
    for (auto name : {u"\\Device", u"\\Driver", u"\\??", u"\\ObjectTypes", u"\\BaseNamedObjects"}) {
        Insert(name, MakeObject<Directory>().get(), true);
    }
    Insert(u"\\GLOBAL??", MakeObject<SymbolicLink>(u"\\??").get(), true);
    Insert(u"\\DosDevices", MakeObject<SymbolicLink>(u"\\??").get(), true);
    Insert(u"\\Registry", MakeObject<RegistryRoot>().get(), true);
    Insert(u"\\Device\\Mup", MakeObject<ShareTable>().get(), true);
    Insert(u"\\??\\UNC", MakeObject<SymbolicLink>(u"\\Device\\Mup").get(), true);
    Insert(u"\\SystemRoot", MakeObject<SymbolicLink>(Sys().config.systemRoot).get(), true);
}

void ObjectManager::Shutdown() {
    std::unordered_map<std::uintptr_t, HandleEntry> handles;
    {
        std::lock_guard guard(handleLock_);
        handles.swap(handles_);
    }
    if (!handles.empty()) {
        BugCheck(std::to_string(handles.size()) + " handles were left open at shutdown");
    }
    handles.clear();
    // Directories own their entries: empty them from the leaves up.
    std::vector<Ref<Object>> pending;
    {
        std::lock_guard guard(lock);
        pending.emplace_back(rootDirectory);
        rootDirectory.reset();
    }
    while (!pending.empty()) {
        Ref<Object> object = std::move(pending.back());
        pending.pop_back();
        if (object->kind() == ObjectKind::Directory) {
            std::map<std::u16string, Ref<Object>> entries;
            {
                std::lock_guard guard(lock);
                entries.swap(static_cast<Directory*>(object.get())->entries);
            }
            for (auto& [name, child] : entries) {
                child->parent = nullptr;
                pending.push_back(std::move(child));
            }
        }
    }
}

NTSTATUS ObjectManager::Resolve(std::u16string_view path, bool followFinal, Lookup& out) {
    std::lock_guard guard(lock);
    return ResolveLocked(path, followFinal, out);
}

NTSTATUS ObjectManager::ResolveLocked(std::u16string_view path, bool followFinal, Lookup& out) {
    std::u16string current(path);
    for (int reparse = 0;; ++reparse) {
        if (reparse > kMaxReparse) {
            return STATUS_TOO_MANY_LINKS;
        }
        if (current.empty() || current[0] != u'\\') {
            return STATUS_OBJECT_PATH_SYNTAX_BAD;
        }
        Directory* directory = rootDirectory.get();
        std::size_t position = 1;
        bool relinked = false;
        while (position < current.size()) {
            std::size_t end = current.find(u'\\', position);
            bool last = end == std::u16string::npos;
            std::u16string component =
                current.substr(position, last ? std::u16string::npos : end - position);
            if (component.empty()) {
                return STATUS_OBJECT_NAME_INVALID;
            }
            auto found = directory->entries.find(Upcase(component));
            if (found == directory->entries.end()) {
                if (!last) {
                    return STATUS_OBJECT_PATH_NOT_FOUND;
                }
                out.parent = Ref<Directory>(directory);
                out.leaf = component;
                return STATUS_OBJECT_NAME_NOT_FOUND;
            }
            Object* child = found->second.get();
            std::u16string rest = last ? std::u16string() : current.substr(end + 1);
            if (child->kind() == ObjectKind::SymbolicLink && (!last || followFinal)) {
                std::u16string target = static_cast<SymbolicLink*>(child)->target;
                current = last ? target : target + u"\\" + rest;
                relinked = true;
                break;
            }
            if (child->kind() == ObjectKind::Directory && !last) {
                directory = static_cast<Directory*>(child);
                position = end + 1;
                continue;
            }
            out.object = Ref<Object>(child);
            out.remaining = rest;
            out.trailingSeparator = !last;
            if (child->kind() == ObjectKind::Directory && !rest.empty()) {
                return STATUS_OBJECT_NAME_INVALID;
            }
            return STATUS_SUCCESS;
        }
        if (!relinked) {
            out.object = Ref<Object>(directory);
            return STATUS_SUCCESS;
        }
    }
}

NTSTATUS ObjectManager::Insert(std::u16string_view path, Object* object, bool permanent) {
    Ref<Object> existing;
    NTSTATUS status = InsertOrOpen(path, object, permanent, existing);
    return existing ? STATUS_OBJECT_NAME_COLLISION : status;
}

NTSTATUS ObjectManager::InsertOrOpen(std::u16string_view path, Object* object, bool permanent,
                                     Ref<Object>& existing) {
    auto [parentPath, leaf] = SplitLeaf(path);
    if (parentPath.empty() || leaf.empty()) {
        return STATUS_OBJECT_NAME_INVALID;
    }
    std::lock_guard guard(lock);
    Lookup parent;
    NTSTATUS status = ResolveLocked(parentPath, true, parent);
    if (status == STATUS_OBJECT_NAME_NOT_FOUND) {
        return STATUS_OBJECT_PATH_NOT_FOUND;
    }
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (parent.object->kind() != ObjectKind::Directory) {
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    auto* directory = static_cast<Directory*>(parent.object.get());
    std::u16string key = Upcase(leaf);
    auto found = directory->entries.find(key);
    if (found != directory->entries.end()) {
        existing = found->second;
        return STATUS_OBJECT_NAME_COLLISION;
    }
    object->name = std::u16string(leaf);
    object->parent = directory;
    object->permanent = permanent;
    directory->entries.emplace(std::move(key), Ref<Object>(object));
    return STATUS_SUCCESS;
}

void ObjectManager::Remove(Object* object) {
    Ref<Object> keep(object);
    std::lock_guard guard(lock);
    RemoveLocked(object);
}

void ObjectManager::RemoveLocked(Object* object) {
    Directory* directory = object->parent;
    if (!directory) {
        return;
    }
    object->parent = nullptr;
    auto found = directory->entries.find(Upcase(object->name));
    if (found != directory->entries.end() && found->second.get() == object) {
        Ref<Object> dropped = std::move(found->second);
        directory->entries.erase(found);
    }
}

std::u16string ObjectManager::FullName(Object* object) {
    std::lock_guard guard(lock);
    if (object == rootDirectory.get()) {
        return u"\\";
    }
    std::u16string name;
    for (Object* at = object; at && at != rootDirectory.get(); at = at->parent) {
        name = u"\\" + at->name + name;
    }
    return name;
}

NTSTATUS ObjectManager::CreateHandle(Object* object, ACCESS_MASK granted, HANDLE& handle) {
    std::lock_guard guard(handleLock_);
    std::uintptr_t value = nextHandle_;
    nextHandle_ += 4;
    object->handleCount.fetch_add(1);
    handles_.emplace(value, HandleEntry{Ref<Object>(object), granted});
    handle = reinterpret_cast<HANDLE>(value);
    return STATUS_SUCCESS;
}

NTSTATUS ObjectManager::ReferenceHandle(HANDLE handle, HandleEntry& entry) {
    if (handle == NtCurrentThread()) {
        entry.object = Ref<Object>(Sys().threads.Current());
        entry.granted = THREAD_ALL_ACCESS;
        return STATUS_SUCCESS;
    }
    std::lock_guard guard(handleLock_);
    auto found = handles_.find(reinterpret_cast<std::uintptr_t>(handle));
    if (found == handles_.end()) {
        return STATUS_INVALID_HANDLE;
    }
    entry = found->second;
    return STATUS_SUCCESS;
}

NTSTATUS ObjectManager::CloseHandle(HANDLE handle) {
    HandleEntry entry;
    {
        std::lock_guard guard(handleLock_);
        auto found = handles_.find(reinterpret_cast<std::uintptr_t>(handle));
        if (found == handles_.end()) {
            return STATUS_INVALID_HANDLE;
        }
        entry = std::move(found->second);
        handles_.erase(found);
    }
    if (entry.object->handleCount.fetch_sub(1) == 1) {
        std::lock_guard guard(lock);
        if (!entry.object->permanent) {
            RemoveLocked(entry.object.get());
        }
    }
    return STATUS_SUCCESS;
}

std::size_t ObjectManager::HandleCount() {
    std::lock_guard guard(handleLock_);
    return handles_.size();
}

void ObjectManager::RegisterLive(Object* object) {
    std::lock_guard guard(liveLock_);
    live_.insert(object);
}

void ObjectManager::UnregisterLive(Object* object) {
    std::lock_guard guard(liveLock_);
    live_.erase(object);
}

Ref<Object> ObjectManager::FromPointer(const void* pointer) {
    std::lock_guard guard(liveLock_);
    auto found = live_.find(static_cast<Object*>(const_cast<void*>(pointer)));
    if (found == live_.end() || !(*found)->TryAddRef()) {
        return {};
    }
    return Ref<Object>::Adopt(*found);
}

std::size_t ObjectManager::LiveCount() {
    std::lock_guard guard(liveLock_);
    return live_.size();
}

NTSTATUS ObjectManager::NameFrom(POBJECT_ATTRIBUTES attributes, Ref<Object>& root,
                                 std::u16string& name) {
    if (!attributes) {
        return STATUS_INVALID_PARAMETER;
    }
    std::u16string relative;
    if (attributes->ObjectName) {
        const UNICODE_STRING& text = *attributes->ObjectName;
        if ((text.Length & 1) || text.Length > text.MaximumLength ||
            (text.Length && !text.Buffer)) {
            return STATUS_OBJECT_NAME_INVALID;
        }
        relative = ToU16(&text);
    }
    if (!attributes->RootDirectory) {
        if (relative.empty() || relative[0] != u'\\') {
            return STATUS_OBJECT_PATH_SYNTAX_BAD;
        }
        name = std::move(relative);
        return STATUS_SUCCESS;
    }
    if (!relative.empty() && relative[0] == u'\\') {
        return STATUS_OBJECT_PATH_SYNTAX_BAD;
    }
    HandleEntry entry;
    NTSTATUS status = ReferenceHandle(attributes->RootDirectory, entry);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (entry.object->kind() == ObjectKind::Directory) {
        std::u16string base = FullName(entry.object.get());
        name = relative.empty() ? base : (base == u"\\" ? base : base + u"\\") + relative;
        return STATUS_SUCCESS;
    }
    root = entry.object;
    name = std::move(relative);
    return STATUS_SUCCESS;
}

}  // namespace hl::kernel

using namespace hl::kernel;

namespace {

template <class T>
NTSTATUS CreateNamed(PHANDLE handle, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes,
                     Ref<T> object, ObjectKind kind) {
    if (!handle) {
        return STATUS_INVALID_PARAMETER;
    }
    Ref<hl::kernel::Object> root;
    std::u16string name;
    NTSTATUS status = Sys().objects.NameFrom(attributes, root, name);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (root) {
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    const bool permanent = attributes->Attributes & OBJ_PERMANENT;
    Ref<hl::kernel::Object> existing;
    status = Sys().objects.InsertOrOpen(name, object.get(), permanent, existing);
    if (existing) {
        if (!(attributes->Attributes & OBJ_OPENIF)) {
            return STATUS_OBJECT_NAME_COLLISION;
        }
        if (existing->kind() != kind) {
            return STATUS_OBJECT_TYPE_MISMATCH;
        }
        Sys().objects.CreateHandle(existing.get(), access, *handle);
        return STATUS_OBJECT_NAME_EXISTS;
    }
    if (!NT_SUCCESS(status)) {
        return status;
    }
    return Sys().objects.CreateHandle(object.get(), access, *handle);
}

NTSTATUS OpenNamed(PHANDLE handle, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes,
                   ObjectKind kind) {
    if (!handle) {
        return STATUS_INVALID_PARAMETER;
    }
    Ref<hl::kernel::Object> root;
    std::u16string name;
    NTSTATUS status = Sys().objects.NameFrom(attributes, root, name);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (root) {
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    Lookup found;
    status = Sys().objects.Resolve(name, kind != ObjectKind::SymbolicLink, found);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (found.object->kind() != kind || !found.remaining.empty()) {
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    return Sys().objects.CreateHandle(found.object.get(), access, *handle);
}

}  // namespace

extern "C" {

NTSTATUS ZwCreateDirectoryObject(PHANDLE DirectoryHandle, ACCESS_MASK DesiredAccess,
                                 POBJECT_ATTRIBUTES ObjectAttributes) {
    return CreateNamed(DirectoryHandle, DesiredAccess, ObjectAttributes, MakeObject<Directory>(),
                       ObjectKind::Directory);
}

NTSTATUS ZwOpenDirectoryObject(PHANDLE DirectoryHandle, ACCESS_MASK DesiredAccess,
                               POBJECT_ATTRIBUTES ObjectAttributes) {
    return OpenNamed(DirectoryHandle, DesiredAccess, ObjectAttributes, ObjectKind::Directory);
}

NTSTATUS ZwCreateSymbolicLinkObject(PHANDLE LinkHandle, ACCESS_MASK DesiredAccess,
                                    POBJECT_ATTRIBUTES ObjectAttributes,
                                    PUNICODE_STRING LinkTarget) {
    if (!LinkTarget) {
        return STATUS_INVALID_PARAMETER;
    }
    return CreateNamed(LinkHandle, DesiredAccess, ObjectAttributes,
                       MakeObject<SymbolicLink>(ToU16(LinkTarget)), ObjectKind::SymbolicLink);
}

NTSTATUS ZwOpenSymbolicLinkObject(PHANDLE LinkHandle, ACCESS_MASK DesiredAccess,
                                  POBJECT_ATTRIBUTES ObjectAttributes) {
    return OpenNamed(LinkHandle, DesiredAccess, ObjectAttributes, ObjectKind::SymbolicLink);
}

NTSTATUS ZwQuerySymbolicLinkObject(HANDLE LinkHandle, PUNICODE_STRING LinkTarget,
                                   PULONG ReturnedLength) {
    HandleEntry entry;
    NTSTATUS status = Sys().objects.ReferenceHandle(LinkHandle, entry);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (entry.object->kind() != ObjectKind::SymbolicLink) {
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    const std::u16string& target = static_cast<SymbolicLink*>(entry.object.get())->target;
    const auto bytes = static_cast<ULONG>(target.size() * sizeof(WCHAR));
    if (ReturnedLength) {
        *ReturnedLength = bytes;
    }
    if (!LinkTarget || LinkTarget->MaximumLength < bytes) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    std::memcpy(LinkTarget->Buffer, target.data(), bytes);
    LinkTarget->Length = static_cast<USHORT>(bytes);
    if (LinkTarget->MaximumLength >= bytes + sizeof(WCHAR)) {
        LinkTarget->Buffer[target.size()] = 0;
    }
    return STATUS_SUCCESS;
}

NTSTATUS ZwMakeTemporaryObject(HANDLE Handle) {
    HandleEntry entry;
    NTSTATUS status = Sys().objects.ReferenceHandle(Handle, entry);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    std::lock_guard guard(Sys().objects.lock);
    entry.object->permanent = false;
    return STATUS_SUCCESS;
}

NTSTATUS ZwClose(HANDLE Handle) {
    return Sys().objects.CloseHandle(Handle);
}

NTSTATUS IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName) {
    if (!SymbolicLinkName || !DeviceName) {
        return STATUS_INVALID_PARAMETER;
    }
    auto link = MakeObject<SymbolicLink>(ToU16(DeviceName));
    return Sys().objects.Insert(ToU16(SymbolicLinkName), link.get(), true);
}

NTSTATUS IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName) {
    if (!SymbolicLinkName) {
        return STATUS_INVALID_PARAMETER;
    }
    Lookup found;
    NTSTATUS status = Sys().objects.Resolve(ToU16(SymbolicLinkName), false, found);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (found.object->kind() != ObjectKind::SymbolicLink || !found.remaining.empty()) {
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    Sys().objects.Remove(found.object.get());
    return STATUS_SUCCESS;
}

NTSTATUS ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess,
                                   POBJECT_TYPE ObjectType, KPROCESSOR_MODE AccessMode,
                                   PVOID* Object, POBJECT_HANDLE_INFORMATION HandleInformation) {
    if (!Object) {
        return STATUS_INVALID_PARAMETER;
    }
    *Object = nullptr;
    HandleEntry entry;
    NTSTATUS status = Sys().objects.ReferenceHandle(Handle, entry);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (ObjectType && ObjectType->kind != entry.object->kind()) {
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    if (AccessMode != KernelMode && (entry.granted & DesiredAccess) != DesiredAccess) {
        return STATUS_ACCESS_DENIED;
    }
    if (HandleInformation) {
        HandleInformation->HandleAttributes = 0;
        HandleInformation->GrantedAccess = entry.granted;
    }
    *Object = entry.object.Detach();
    return STATUS_SUCCESS;
}

LONG_PTR ObfReferenceObject(PVOID Object) {
    Ref<hl::kernel::Object> object = Sys().objects.FromPointer(Object);
    if (!object) {
        BugCheck("ObReferenceObject on something that is not an object");
        return 0;
    }
    object->AddRef();
    return object->RefCount() - 1;
}

LONG_PTR ObfDereferenceObject(PVOID Object) {
    Ref<hl::kernel::Object> object = Sys().objects.FromPointer(Object);
    if (!object) {
        BugCheck("ObDereferenceObject on something that is not an object, or already freed");
        return 0;
    }
    long left = object->Release();  // the caller's reference; ours keeps the object alive
    object.reset();
    return left - 1;
}

}  // extern "C"
