// Zw registry services and RtlQueryRegistryValues over the registry store. Names travel as
// UTF-16 and are kept as UTF-8 in the store; value data is stored exactly as given.
#include <cstddef>

#include "kernel/text.h"
#include "system.h"

namespace hl::kernel {

NTSTATUS FromRegistry(registry::Result result) {
    using registry::Result;
    switch (result) {
        case Result::Ok:
            return STATUS_SUCCESS;
        case Result::NotFound:
            return STATUS_OBJECT_NAME_NOT_FOUND;
        case Result::NoMoreItems:
            return STATUS_NO_MORE_ENTRIES;
        case Result::AccessDenied:
            return STATUS_ACCESS_DENIED;
        case Result::HasSubkeys:
            return STATUS_CANNOT_DELETE;
        case Result::InvalidParameter:
            return STATUS_OBJECT_NAME_INVALID;
        case Result::AlreadyExists:
            return STATUS_OBJECT_NAME_COLLISION;
        case Result::BadHiveFile:
        case Result::CorruptHive:
            return STATUS_REGISTRY_CORRUPT;
        case Result::Busy:
        case Result::IoError:
            return STATUS_REGISTRY_IO_FAILED;
    }
    return STATUS_UNSUCCESSFUL;
}

// Kernel-mode callers act as root, except while impersonating a client.
registry::Caller RegistryCaller() {
    Thread* thread = Sys().threads.Current();
    std::lock_guard guard(thread->lock);
    if (thread->impersonation) {
        return registry::Caller::ForUid(thread->impersonation->identity.uid);
    }
    registry::Caller caller;
    caller.uid = 0;
    caller.user = ".DEFAULT";
    return caller;
}

namespace {

constexpr ULONG kStringTag = 0x67655251;  // 'QReg'

ACCESS_MASK MapKeyAccess(ACCESS_MASK access) {
    if (access & GENERIC_READ) {
        access |= KEY_READ;
    }
    if (access & GENERIC_WRITE) {
        access |= KEY_WRITE;
    }
    if (access & GENERIC_EXECUTE) {
        access |= KEY_EXECUTE;
    }
    if (access & (GENERIC_ALL | MAXIMUM_ALLOWED)) {
        access |= KEY_ALL_ACCESS;
    }
    return access;
}

registry::Store* Store() {
    return Sys().store;
}

NTSTATUS KeyPathFromName(std::u16string_view name, registry::KeyPath& key) {
    Lookup found;
    NTSTATUS status = Sys().objects.Resolve(name, true, found);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (found.object->kind() != ObjectKind::RegistryRoot) {
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    std::u16string remaining = found.remaining;
    if (!remaining.empty() && remaining.back() == u'\\') {
        remaining.pop_back();
    }
    registry::Result result = registry::ParseNtPath(Utf16ToUtf8(u"\\REGISTRY\\" + remaining), key);
    return result == registry::Result::InvalidParameter ? STATUS_OBJECT_NAME_INVALID
                                                        : FromRegistry(result);
}

std::string Join(const std::string& base, const std::string& relative) {
    if (relative.empty()) {
        return base;
    }
    return base.empty() ? relative : base + "\\" + relative;
}

NTSTATUS KeyPathFrom(POBJECT_ATTRIBUTES attributes, registry::KeyPath& key) {
    Ref<Object> root;
    std::u16string name;
    NTSTATUS status = Sys().objects.NameFrom(attributes, root, name);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (!root) {
        return KeyPathFromName(name, key);
    }
    if (root->kind() != ObjectKind::Key) {
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    key = static_cast<KeyObj*>(root.get())->path;
    key.path = Join(key.path, Utf16ToUtf8(name));
    return STATUS_SUCCESS;
}

Ref<KeyObj> KeyFromHandle(HANDLE handle, ACCESS_MASK needed, NTSTATUS& status) {
    HandleEntry entry;
    status = Sys().objects.ReferenceHandle(handle, entry);
    if (!NT_SUCCESS(status)) {
        return {};
    }
    Ref<KeyObj> key = As<KeyObj>(entry.object, ObjectKind::Key);
    if (!key) {
        status = STATUS_OBJECT_TYPE_MISMATCH;
        return {};
    }
    if ((entry.granted & needed) != needed) {
        status = STATUS_ACCESS_DENIED;
        return {};
    }
    return key;
}

std::string NameOf(PUNICODE_STRING name) {
    return name ? Utf16ToUtf8(ToU16(name)) : std::string();
}

std::u16string LeafName(const registry::KeyPath& key) {
    auto cut = key.path.rfind('\\');
    return Utf8ToUtf16(cut == std::string::npos ? key.path : key.path.substr(cut + 1));
}

// Fills one of the KEY_VALUE_*_INFORMATION records: the fixed part when it fits
// (STATUS_BUFFER_OVERFLOW when the rest does not), nothing when even that does not.
NTSTATUS FillValue(KEY_VALUE_INFORMATION_CLASS kind, std::u16string_view name, ULONG type,
                   const std::vector<std::uint8_t>& data, PVOID buffer, ULONG length,
                   PULONG resultLength) {
    if (!resultLength) {
        return STATUS_INVALID_PARAMETER;
    }
    const auto nameBytes = static_cast<ULONG>(name.size() * sizeof(WCHAR));
    const auto dataBytes = static_cast<ULONG>(data.size());
    auto* out = static_cast<std::uint8_t*>(buffer);
    switch (kind) {
        case KeyValueBasicInformation: {
            const ULONG fixed = offsetof(KEY_VALUE_BASIC_INFORMATION, Name);
            *resultLength = fixed + nameBytes;
            if (length < fixed) {
                return STATUS_BUFFER_TOO_SMALL;
            }
            KEY_VALUE_BASIC_INFORMATION head{0, type, nameBytes, {}};
            std::memcpy(out, &head, fixed);
            if (length < *resultLength) {
                return STATUS_BUFFER_OVERFLOW;
            }
            std::memcpy(out + fixed, name.data(), nameBytes);
            return STATUS_SUCCESS;
        }
        case KeyValueFullInformation: {
            const ULONG fixed = offsetof(KEY_VALUE_FULL_INFORMATION, Name);
            const ULONG dataOffset = (fixed + nameBytes + 3) / 4 * 4;
            *resultLength = dataOffset + dataBytes;
            if (length < fixed) {
                return STATUS_BUFFER_TOO_SMALL;
            }
            KEY_VALUE_FULL_INFORMATION head{0, type, dataOffset, dataBytes, nameBytes, {}};
            std::memcpy(out, &head, fixed);
            if (length < *resultLength) {
                return STATUS_BUFFER_OVERFLOW;
            }
            std::memcpy(out + fixed, name.data(), nameBytes);
            std::memset(out + fixed + nameBytes, 0, dataOffset - fixed - nameBytes);
            std::memcpy(out + dataOffset, data.data(), dataBytes);
            return STATUS_SUCCESS;
        }
        case KeyValuePartialInformation: {
            const ULONG fixed = offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data);
            *resultLength = fixed + dataBytes;
            if (length < fixed) {
                return STATUS_BUFFER_TOO_SMALL;
            }
            KEY_VALUE_PARTIAL_INFORMATION head{0, type, dataBytes, {}};
            std::memcpy(out, &head, fixed);
            if (length < *resultLength) {
                return STATUS_BUFFER_OVERFLOW;
            }
            std::memcpy(out + fixed, data.data(), dataBytes);
            return STATUS_SUCCESS;
        }
        default:
            return STATUS_INVALID_PARAMETER;
    }
}

// ---------------------------------------------------------------------------------------------
// RtlQueryRegistryValues

NTSTATUS QueryBase(ULONG relativeTo, PCWSTR path, registry::KeyPath& key) {
    const ULONG base = relativeTo & ~(RTL_REGISTRY_OPTIONAL | RTL_REGISTRY_HANDLE);
    if (relativeTo & RTL_REGISTRY_HANDLE) {
        NTSTATUS status;
        Ref<KeyObj> handle = KeyFromHandle(const_cast<PWSTR>(path), 0, status);
        if (handle) {
            key = handle->path;
        }
        return status;
    }
    static constexpr const char16_t* kRoots[] = {
        u"",
        u"\\Registry\\Machine\\System\\CurrentControlSet\\Services",
        u"\\Registry\\Machine\\System\\CurrentControlSet\\Control",
        u"\\Registry\\Machine\\Software\\Microsoft\\Windows NT\\CurrentVersion",
        u"\\Registry\\Machine\\Hardware\\DeviceMap",
        u"\\Registry\\User\\.DEFAULT"};
    if (base >= RTL_REGISTRY_MAXIMUM) {
        return STATUS_INVALID_PARAMETER;
    }
    std::u16string name = kRoots[base];
    std::u16string relative = ToU16(path);
    if (base == RTL_REGISTRY_ABSOLUTE) {
        name = relative;
    } else if (!relative.empty()) {
        name += (relative[0] == u'\\' ? u"" : u"\\") + relative;
    }
    return KeyPathFromName(name, key);
}

std::size_t MultiStringLength(const WCHAR* text) {
    std::size_t length = 0;
    while (text[length] || text[length + 1]) {
        ++length;
    }
    return (length + 2) * sizeof(WCHAR);
}

NTSTATUS StoreDirect(const RTL_QUERY_REGISTRY_TABLE& entry, ULONG type,
                     const std::vector<std::uint8_t>& data) {
    if (type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ) {
        auto* target = static_cast<PUNICODE_STRING>(entry.EntryContext);
        std::size_t bytes = data.size() & ~std::size_t{1};
        if (bytes > 0xFFFE) {
            return STATUS_BUFFER_OVERFLOW;
        }
        std::size_t text = bytes;
        if (type != REG_MULTI_SZ && text >= 2 && data[text - 1] == 0 && data[text - 2] == 0) {
            text -= 2;
        }
        if (!target->Buffer) {
            auto* buffer = static_cast<PWSTR>(
                Sys().pool.Allocate(PagedPool, text + sizeof(WCHAR), kStringTag));
            if (!buffer) {
                return STATUS_NO_MEMORY;
            }
            target->Buffer = buffer;
            target->MaximumLength = static_cast<USHORT>(text + sizeof(WCHAR));
        } else if (target->MaximumLength < text) {
            return STATUS_BUFFER_TOO_SMALL;
        }
        std::memcpy(target->Buffer, data.data(), text);
        target->Length = static_cast<USHORT>(text);
        if (target->MaximumLength >= text + sizeof(WCHAR)) {
            target->Buffer[text / sizeof(WCHAR)] = 0;
        }
        return STATUS_SUCCESS;
    }
    if (data.size() <= sizeof(ULONG)) {
        if (!data.empty()) {  // an empty value leaves the variable as it was
            std::memcpy(entry.EntryContext, data.data(), data.size());
        }
        return STATUS_SUCCESS;
    }
    LONG size;
    std::memcpy(&size, entry.EntryContext, sizeof size);
    const auto room = static_cast<std::size_t>(size < 0 ? -static_cast<LONGLONG>(size) : size);
    auto* out = static_cast<std::uint8_t*>(entry.EntryContext);
    if (size < 0) {
        if (data.size() > room) {
            return STATUS_BUFFER_TOO_SMALL;
        }
        std::memcpy(out, data.data(), data.size());
        return STATUS_SUCCESS;
    }
    if (data.size() + 2 * sizeof(ULONG) > room) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    const auto length = static_cast<ULONG>(data.size());
    std::memcpy(out, &length, sizeof length);
    std::memcpy(out + sizeof(ULONG), &type, sizeof type);
    std::memcpy(out + 2 * sizeof(ULONG), data.data(), data.size());
    return STATUS_SUCCESS;
}

NTSTATUS CallRoutine(const RTL_QUERY_REGISTRY_TABLE& entry, std::u16string name, ULONG type,
                     std::vector<std::uint8_t> data, PVOID context) {
    const bool expand = !(entry.Flags & RTL_QUERY_REGISTRY_NOEXPAND);
    if (type == REG_MULTI_SZ && expand) {
        // One call per string of the list, each as REG_SZ.
        std::size_t at = 0;
        const std::size_t characters = data.size() / sizeof(WCHAR);
        auto* text = reinterpret_cast<const WCHAR*>(data.data());
        while (at < characters && text[at]) {
            std::size_t end = at;
            while (end < characters && text[end]) {
                ++end;
            }
            std::vector<WCHAR> one(text + at, text + end);
            one.push_back(0);
            NTSTATUS status = entry.QueryRoutine(name.data(), REG_SZ, one.data(),
                                                 static_cast<ULONG>(one.size() * sizeof(WCHAR)),
                                                 context, entry.EntryContext);
            if (!NT_SUCCESS(status)) {
                return status;
            }
            at = end + 1;
        }
        return STATUS_SUCCESS;
    }
    if (type == REG_EXPAND_SZ && expand) {
        type = REG_SZ;  // no environment to expand from in kernel mode: passed as it is
    }
    return entry.QueryRoutine(name.data(), type, data.data(), static_cast<ULONG>(data.size()),
                              context, entry.EntryContext);
}

NTSTATUS QueryEntry(const RTL_QUERY_REGISTRY_TABLE& entry, const registry::KeyPath& key,
                    PVOID context) {
    registry::Store* store = Store();
    const registry::Caller caller = RegistryCaller();
    if (!entry.Name) {
        if (entry.Flags & RTL_QUERY_REGISTRY_DIRECT) {
            return STATUS_INVALID_PARAMETER;
        }
        if (entry.Flags & RTL_QUERY_REGISTRY_NOVALUE) {
            return entry.QueryRoutine(nullptr, REG_NONE, nullptr, 0, context, entry.EntryContext);
        }
        for (std::uint32_t index = 0;; ++index) {
            registry::Value value;
            registry::Result result = store->EnumValue(caller, key, index, value);
            if (result == registry::Result::NoMoreItems) {
                return STATUS_SUCCESS;
            }
            if (result != registry::Result::Ok) {
                return FromRegistry(result);
            }
            NTSTATUS status = CallRoutine(entry, Utf8ToUtf16(value.name), value.type,
                                          std::move(value.data), context);
            if (!NT_SUCCESS(status)) {
                return status;
            }
        }
    }
    const std::string name = Utf16ToUtf8(ToU16(entry.Name));
    // A direct query that checks the type finds it in the high byte of DefaultType: a value of
    // another type never reaches the caller's variable, whose size only the caller knows.
    const bool typeChecked =
        (entry.Flags & RTL_QUERY_REGISTRY_DIRECT) && (entry.Flags & RTL_QUERY_REGISTRY_TYPECHECK);
    const ULONG defaultType =
        typeChecked ? entry.DefaultType & ~RTL_QUERY_REGISTRY_TYPECHECK_MASK : entry.DefaultType;
    std::uint32_t type = REG_NONE;
    std::vector<std::uint8_t> data;
    registry::Result result = store->QueryValue(caller, key, name, type, data);
    if (result == registry::Result::Ok && typeChecked &&
        type != entry.DefaultType >> RTL_QUERY_REGISTRY_TYPECHECK_SHIFT) {
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    if (result == registry::Result::NotFound) {
        if (entry.Flags & RTL_QUERY_REGISTRY_REQUIRED) {
            return STATUS_OBJECT_NAME_NOT_FOUND;
        }
        if (defaultType == REG_NONE) {
            return STATUS_SUCCESS;
        }
        type = defaultType;
        std::size_t length = entry.DefaultLength;
        if (length == 0 && entry.DefaultData && (type == REG_SZ || type == REG_EXPAND_SZ)) {
            length = (ToU16(static_cast<PCWSTR>(entry.DefaultData)).size() + 1) * sizeof(WCHAR);
        } else if (length == 0 && entry.DefaultData && type == REG_MULTI_SZ) {
            length = MultiStringLength(static_cast<const WCHAR*>(entry.DefaultData));
        }
        auto* bytes = static_cast<const std::uint8_t*>(entry.DefaultData);
        data.assign(bytes, bytes + (bytes ? length : 0));
    } else if (result != registry::Result::Ok) {
        return FromRegistry(result);
    }
    NTSTATUS status = (entry.Flags & RTL_QUERY_REGISTRY_DIRECT)
                          ? StoreDirect(entry, type, data)
                          : CallRoutine(entry, ToU16(entry.Name), type, data, context);
    if (NT_SUCCESS(status) && (entry.Flags & RTL_QUERY_REGISTRY_DELETE) &&
        result == registry::Result::Ok) {
        store->DeleteValue(caller, key, name);
    }
    return status;
}

}  // namespace

}  // namespace hl::kernel

using namespace hl::kernel;

extern "C" {

NTSTATUS ZwOpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess,
                   POBJECT_ATTRIBUTES ObjectAttributes) {
    if (!KeyHandle) {
        return STATUS_INVALID_PARAMETER;
    }
    registry::KeyPath path;
    NTSTATUS status = KeyPathFrom(ObjectAttributes, path);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (!Store()) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    status = FromRegistry(Store()->OpenKey(RegistryCaller(), path));
    if (!NT_SUCCESS(status)) {
        return status;
    }
    auto key = MakeObject<KeyObj>(std::move(path));
    return Sys().objects.CreateHandle(key.get(), MapKeyAccess(DesiredAccess), *KeyHandle);
}

NTSTATUS ZwCreateKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess,
                     POBJECT_ATTRIBUTES ObjectAttributes, ULONG TitleIndex, PUNICODE_STRING Class,
                     ULONG CreateOptions, PULONG Disposition) {
    UNREFERENCED_PARAMETER(TitleIndex);
    UNREFERENCED_PARAMETER(Class);
    UNREFERENCED_PARAMETER(CreateOptions);
    if (!KeyHandle) {
        return STATUS_INVALID_PARAMETER;
    }
    registry::KeyPath path;
    NTSTATUS status = KeyPathFrom(ObjectAttributes, path);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (!Store()) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    bool created = false;
    status = FromRegistry(Store()->CreateKey(RegistryCaller(), path, &created));
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (Disposition) {
        *Disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    }
    auto key = MakeObject<KeyObj>(std::move(path));
    return Sys().objects.CreateHandle(key.get(), MapKeyAccess(DesiredAccess), *KeyHandle);
}

NTSTATUS ZwDeleteKey(HANDLE KeyHandle) {
    NTSTATUS status;
    Ref<KeyObj> key = KeyFromHandle(KeyHandle, DELETE, status);
    if (!key) {
        return status;
    }
    return FromRegistry(Store()->DeleteKey(RegistryCaller(), key->path));
}

NTSTATUS ZwFlushKey(HANDLE KeyHandle) {
    NTSTATUS status;
    Ref<KeyObj> key = KeyFromHandle(KeyHandle, 0, status);
    return key ? STATUS_SUCCESS : status;  // every write is already durable
}

NTSTATUS ZwQueryKey(HANDLE KeyHandle, KEY_INFORMATION_CLASS KeyInformationClass,
                    PVOID KeyInformation, ULONG Length, PULONG ResultLength) {
    NTSTATUS status;
    Ref<KeyObj> key = KeyFromHandle(KeyHandle, KEY_QUERY_VALUE, status);
    if (!key) {
        return status;
    }
    if (!ResultLength) {
        return STATUS_INVALID_PARAMETER;
    }
    registry::KeyInfo info;
    status = FromRegistry(Store()->QueryInfo(RegistryCaller(), key->path, info));
    if (!NT_SUCCESS(status)) {
        return status;
    }
    auto* out = static_cast<std::uint8_t*>(KeyInformation);
    const std::u16string name = LeafName(key->path);
    const auto nameBytes = static_cast<ULONG>(name.size() * sizeof(WCHAR));
    if (KeyInformationClass == KeyBasicInformation) {
        const ULONG fixed = offsetof(KEY_BASIC_INFORMATION, Name);
        *ResultLength = fixed + nameBytes;
        if (Length < fixed) {
            return STATUS_BUFFER_TOO_SMALL;
        }
        KEY_BASIC_INFORMATION head{};
        head.LastWriteTime.QuadPart = static_cast<LONGLONG>(info.lastWriteTime);
        head.NameLength = nameBytes;
        std::memcpy(out, &head, fixed);
        if (Length < *ResultLength) {
            return STATUS_BUFFER_OVERFLOW;
        }
        std::memcpy(out + fixed, name.data(), nameBytes);
        return STATUS_SUCCESS;
    }
    if (KeyInformationClass == KeyFullInformation) {
        const ULONG fixed = offsetof(KEY_FULL_INFORMATION, Class);
        *ResultLength = fixed;
        if (Length < fixed) {
            return STATUS_BUFFER_TOO_SMALL;
        }
        KEY_FULL_INFORMATION head{};
        head.LastWriteTime.QuadPart = static_cast<LONGLONG>(info.lastWriteTime);
        head.ClassOffset = 0xFFFFFFFF;
        head.SubKeys = info.subkeys;
        head.MaxNameLen = info.maxSubkeyNameLength * sizeof(WCHAR);
        head.Values = info.values;
        head.MaxValueNameLen = info.maxValueNameLength * sizeof(WCHAR);
        head.MaxValueDataLen = info.maxValueDataLength;
        std::memcpy(out, &head, fixed);
        return STATUS_SUCCESS;
    }
    return STATUS_INVALID_PARAMETER;
}

NTSTATUS ZwEnumerateKey(HANDLE KeyHandle, ULONG Index, KEY_INFORMATION_CLASS KeyInformationClass,
                        PVOID KeyInformation, ULONG Length, PULONG ResultLength) {
    NTSTATUS status;
    Ref<KeyObj> key = KeyFromHandle(KeyHandle, KEY_ENUMERATE_SUB_KEYS, status);
    if (!key) {
        return status;
    }
    if (!ResultLength) {
        return STATUS_INVALID_PARAMETER;
    }
    if (KeyInformationClass != KeyBasicInformation) {
        return STATUS_INVALID_PARAMETER;
    }
    std::string child;
    status = FromRegistry(Store()->EnumKey(RegistryCaller(), key->path, Index, child));
    if (!NT_SUCCESS(status)) {
        return status;
    }
    const std::u16string name = Utf8ToUtf16(child);
    const auto nameBytes = static_cast<ULONG>(name.size() * sizeof(WCHAR));
    const ULONG fixed = offsetof(KEY_BASIC_INFORMATION, Name);
    *ResultLength = fixed + nameBytes;
    if (Length < fixed) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    KEY_BASIC_INFORMATION head{};
    head.NameLength = nameBytes;
    auto* out = static_cast<std::uint8_t*>(KeyInformation);
    std::memcpy(out, &head, fixed);
    if (Length < *ResultLength) {
        return STATUS_BUFFER_OVERFLOW;
    }
    std::memcpy(out + fixed, name.data(), nameBytes);
    return STATUS_SUCCESS;
}

NTSTATUS ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                         KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                         PVOID KeyValueInformation, ULONG Length, PULONG ResultLength) {
    NTSTATUS status;
    Ref<KeyObj> key = KeyFromHandle(KeyHandle, KEY_QUERY_VALUE, status);
    if (!key) {
        return status;
    }
    std::uint32_t type = REG_NONE;
    std::vector<std::uint8_t> data;
    status = FromRegistry(
        Store()->QueryValue(RegistryCaller(), key->path, NameOf(ValueName), type, data));
    if (!NT_SUCCESS(status)) {
        return status;
    }
    return FillValue(KeyValueInformationClass, ToU16(ValueName), type, data, KeyValueInformation,
                     Length, ResultLength);
}

NTSTATUS ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG TitleIndex, ULONG Type,
                       PVOID Data, ULONG DataSize) {
    UNREFERENCED_PARAMETER(TitleIndex);
    if (DataSize && !Data) {
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS status;
    Ref<KeyObj> key = KeyFromHandle(KeyHandle, KEY_SET_VALUE, status);
    if (!key) {
        return status;
    }
    std::span<const std::uint8_t> bytes(static_cast<const std::uint8_t*>(Data), DataSize);
    return FromRegistry(
        Store()->SetValue(RegistryCaller(), key->path, NameOf(ValueName), Type, bytes));
}

NTSTATUS ZwDeleteValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName) {
    NTSTATUS status;
    Ref<KeyObj> key = KeyFromHandle(KeyHandle, KEY_SET_VALUE, status);
    if (!key) {
        return status;
    }
    return FromRegistry(Store()->DeleteValue(RegistryCaller(), key->path, NameOf(ValueName)));
}

NTSTATUS ZwEnumerateValueKey(HANDLE KeyHandle, ULONG Index,
                             KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                             PVOID KeyValueInformation, ULONG Length, PULONG ResultLength) {
    NTSTATUS status;
    Ref<KeyObj> key = KeyFromHandle(KeyHandle, KEY_QUERY_VALUE, status);
    if (!key) {
        return status;
    }
    registry::Value value;
    status = FromRegistry(Store()->EnumValue(RegistryCaller(), key->path, Index, value));
    if (!NT_SUCCESS(status)) {
        return status;
    }
    return FillValue(KeyValueInformationClass, Utf8ToUtf16(value.name), value.type, value.data,
                     KeyValueInformation, Length, ResultLength);
}

NTSTATUS RtlQueryRegistryValues(ULONG RelativeTo, PCWSTR Path, PRTL_QUERY_REGISTRY_TABLE QueryTable,
                                PVOID Context, PVOID Environment) {
    UNREFERENCED_PARAMETER(Environment);
    if (!QueryTable) {
        return STATUS_INVALID_PARAMETER;
    }
    registry::KeyPath base;
    NTSTATUS status = QueryBase(RelativeTo, Path, base);
    if (NT_SUCCESS(status) && !Store()) {
        status = STATUS_OBJECT_NAME_NOT_FOUND;
    }
    if (NT_SUCCESS(status)) {
        status = FromRegistry(Store()->OpenKey(RegistryCaller(), base));
    }
    if (!NT_SUCCESS(status)) {
        return (RelativeTo & RTL_REGISTRY_OPTIONAL) && status == STATUS_OBJECT_NAME_NOT_FOUND
                   ? STATUS_SUCCESS
                   : status;
    }
    registry::KeyPath current = base;
    for (PRTL_QUERY_REGISTRY_TABLE entry = QueryTable; entry->QueryRoutine || entry->Name;
         ++entry) {
        if (entry->Flags & RTL_QUERY_REGISTRY_TOPKEY) {
            current = base;
        }
        if (entry->Flags & RTL_QUERY_REGISTRY_SUBKEY) {
            current = base;
            current.path = Join(base.path, Utf16ToUtf8(ToU16(entry->Name)));
            status = FromRegistry(Store()->OpenKey(RegistryCaller(), current));
            if (!NT_SUCCESS(status)) {
                return status;
            }
            if (!entry->QueryRoutine) {
                continue;
            }
            RTL_QUERY_REGISTRY_TABLE all = *entry;
            all.Name = nullptr;
            status = QueryEntry(all, current, Context);
        } else if (!entry->QueryRoutine && !(entry->Flags & RTL_QUERY_REGISTRY_DIRECT)) {
            return STATUS_INVALID_PARAMETER;
        } else {
            status = QueryEntry(*entry, current, Context);
        }
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }
    return STATUS_SUCCESS;
}

}  // extern "C"
