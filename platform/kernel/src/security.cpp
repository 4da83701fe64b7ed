// Client security: tokens captured from a client thread, impersonation and revert. While a
// thread impersonates, its host file-system identity is the client's (per-thread fsuid, fsgid
// and supplementary groups, set with raw system calls: glibc's wrappers change every thread).
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstring>

#include "system.h"

namespace hl::kernel {

CallerIdentity EffectiveIdentity(Thread* thread) {
    std::lock_guard guard(thread->lock);
    if (thread->impersonation) {
        return thread->impersonation->identity;
    }
    if (thread->caller) {
        return *thread->caller;
    }
    return CallerIdentity{};
}

// The supplementary groups of the calling thread, sorted.
static std::vector<gid_t> ThreadGroups() {
    const long count = syscall(SYS_getgroups, 0, nullptr);
    std::vector<gid_t> groups(count > 0 ? static_cast<std::size_t>(count) : 0);
    const long got = syscall(SYS_getgroups, groups.size(), groups.data());
    groups.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
    std::sort(groups.begin(), groups.end());
    return groups;
}

bool ApplyHostIdentity(const CallerIdentity& identity) {
    std::vector<gid_t> groups(identity.groups.begin(), identity.groups.end());
    std::sort(groups.begin(), groups.end());
    // A kernel hosted by an unprivileged process serves that process alone: its groups are
    // already the caller's, and it could not set them.
    if (groups != ThreadGroups() && syscall(SYS_setgroups, groups.size(), groups.data()) != 0) {
        return false;
    }
    syscall(SYS_setfsgid, identity.gid);
    syscall(SYS_setfsuid, identity.uid);
    // setfsuid and setfsgid report the previous value, never an error: ask again.
    const auto uid = static_cast<uid_t>(syscall(SYS_setfsuid, -1));
    const auto gid = static_cast<gid_t>(syscall(SYS_setfsgid, -1));
    return uid == identity.uid && gid == identity.gid;
}

void RestoreHostIdentity() {
    const std::vector<gid_t>& groups = Sys().hostGroups;
    syscall(SYS_setgroups, groups.size(), groups.data());
    syscall(SYS_setfsgid, getegid());
    syscall(SYS_setfsuid, geteuid());
}

namespace {

constexpr std::uint8_t kUnixAuthority = 22;  // S-1-22-1-<uid> users, S-1-22-2-<gid> groups
constexpr std::uint8_t kNtAuthority = 5;

std::vector<std::uint8_t> MakeSid(std::uint8_t authority, std::initializer_list<ULONG> rids) {
    std::vector<std::uint8_t> sid(8 + rids.size() * sizeof(ULONG));
    sid[0] = SID_REVISION;
    sid[1] = static_cast<std::uint8_t>(rids.size());
    sid[7] = authority;
    std::size_t at = 8;
    for (ULONG rid : rids) {
        std::memcpy(sid.data() + at, &rid, sizeof(rid));
        at += sizeof(rid);
    }
    return sid;
}

std::vector<std::uint8_t> UserSid(std::uint32_t uid) {
    return uid == 0 ? MakeSid(kNtAuthority, {SECURITY_LOCAL_SYSTEM_RID})
                    : MakeSid(kUnixAuthority, {1, uid});
}

std::vector<std::uint8_t> GroupSid(std::uint32_t gid) {
    return MakeSid(kUnixAuthority, {2, gid});
}

bool ValidSid(const void* sid) {
    const auto* bytes = static_cast<const std::uint8_t*>(sid);
    return bytes != nullptr && bytes[0] == SID_REVISION && bytes[1] <= SID_MAX_SUB_AUTHORITIES;
}

ULONG SidLength(const void* sid) {
    return static_cast<ULONG>(8 + static_cast<const std::uint8_t*>(sid)[1] * sizeof(ULONG));
}

std::vector<std::uint8_t> SidBytes(const void* sid) {
    const auto* bytes = static_cast<const std::uint8_t*>(sid);
    return {bytes, bytes + SidLength(sid)};
}

bool SameSid(const std::uint8_t* sid, std::size_t room, const std::vector<std::uint8_t>& other) {
    return room >= other.size() && ValidSid(sid) && SidLength(sid) == other.size() &&
           std::memcmp(sid, other.data(), other.size()) == 0;
}

// The id a host SID stands for: S-1-22-<kind>-<id>, or the local system as id 0.
std::optional<std::uint32_t> IdOfSid(const std::vector<std::uint8_t>& sid, ULONG kind) {
    if (sid.empty()) {
        return std::nullopt;
    }
    if (sid == MakeSid(kNtAuthority, {SECURITY_LOCAL_SYSTEM_RID})) {
        return 0;
    }
    ULONG rids[2];
    if (sid.size() != 16 || sid[1] != 2 || sid[7] != kUnixAuthority) {
        return std::nullopt;
    }
    std::memcpy(rids, sid.data() + 8, sizeof(rids));
    return rids[0] == kind ? std::optional<std::uint32_t>(rids[1]) : std::nullopt;
}

}  // namespace

NTSTATUS CheckDeviceAccess(DeviceObj& device, const CallerIdentity& identity, ACCESS_MASK desired) {
    desired = MapFileAccess(desired) &
              ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL | MAXIMUM_ALLOWED);
    if (identity.uid == 0 || desired == 0) {
        return STATUS_SUCCESS;
    }
    std::vector<std::vector<std::uint8_t>> sids{UserSid(identity.uid), GroupSid(identity.gid)};
    for (std::uint32_t group : identity.groups) {
        sids.push_back(GroupSid(group));
    }
    std::lock_guard guard(device.securityLock);
    const ObjectSecurity& security = device.security;
    if (!security.daclPresent) {
        return STATUS_SUCCESS;
    }
    ACCESS_MASK granted = 0;
    ACCESS_MASK denied = 0;
    if (security.owner == sids[0]) {
        granted |= READ_CONTROL | WRITE_DAC;  // an owner may always read and change the DACL
    }
    // The ACEs in their order: the first that decides a right decides it.
    const std::vector<std::uint8_t>& dacl = security.dacl;
    std::size_t at = sizeof(ACL);
    ACL header;
    std::memcpy(&header, dacl.data(), sizeof(header));
    for (USHORT ace = 0; ace < header.AceCount && at + sizeof(ACE_HEADER) <= dacl.size(); ++ace) {
        ACCESS_ALLOWED_ACE entry{};
        std::memcpy(&entry, dacl.data() + at, std::min(sizeof(entry), dacl.size() - at));
        const std::size_t size = entry.Header.AceSize;
        if (size < sizeof(ACCESS_ALLOWED_ACE) - sizeof(ULONG) || at + size > dacl.size()) {
            break;
        }
        const std::uint8_t* sid = dacl.data() + at + offsetof(ACCESS_ALLOWED_ACE, SidStart);
        const std::size_t room = size - offsetof(ACCESS_ALLOWED_ACE, SidStart);
        const bool matches = std::any_of(sids.begin(), sids.end(), [&](const auto& candidate) {
            return SameSid(sid, room, candidate);
        });
        const ACCESS_MASK mask = MapFileAccess(entry.Mask);
        if (matches && entry.Header.AceType == ACCESS_ALLOWED_ACE_TYPE) {
            granted |= mask & ~denied;
        } else if (matches && entry.Header.AceType == ACCESS_DENIED_ACE_TYPE) {
            denied |= mask & ~granted;
        }
        at += size;
    }
    return (desired & ~granted) == 0 ? STATUS_SUCCESS : STATUS_ACCESS_DENIED;
}

bool Kernel::DeviceOwner(PDEVICE_OBJECT device, CallerIdentity& owner) {
    DeviceObj* target = DeviceFromObject(device);
    if (!target) {
        return false;
    }
    std::lock_guard guard(target->securityLock);
    const auto uid = IdOfSid(target->security.owner, 1);
    if (!uid) {
        return false;
    }
    owner = CallerIdentity{};
    owner.uid = *uid;
    owner.gid = IdOfSid(target->security.group, 2).value_or(0);
    return true;
}

}  // namespace hl::kernel

using namespace hl::kernel;

namespace {

Token* TokenFrom(PACCESS_TOKEN token, Ref<hl::kernel::Object>& keep) {
    keep = Sys().objects.FromPointer(token);
    if (!keep || keep->kind() != ObjectKind::Token) {
        return nullptr;
    }
    return static_cast<Token*>(keep.get());
}

}  // namespace

extern "C" {

NTSTATUS SeCreateClientSecurity(PETHREAD ClientThread,
                                PSECURITY_QUALITY_OF_SERVICE ClientSecurityQos,
                                BOOLEAN RemoteSession, PSECURITY_CLIENT_CONTEXT ClientContext) {
    if (!ClientSecurityQos || !ClientContext) {
        return STATUS_INVALID_PARAMETER;
    }
    Ref<hl::kernel::Object> object = Sys().objects.FromPointer(ClientThread);
    if (!object || object->kind() != ObjectKind::Thread) {
        BugCheck("SeCreateClientSecurity with something that is not a thread");
        return STATUS_INVALID_PARAMETER;
    }
    auto* client = static_cast<Thread*>(object.get());
    SECURITY_IMPERSONATION_LEVEL level = ClientSecurityQos->ImpersonationLevel;
    {
        std::lock_guard guard(client->lock);
        if (client->impersonation) {
            if (client->impersonation->level < SecurityImpersonation) {
                return STATUS_BAD_IMPERSONATION_LEVEL;
            }
            level = std::min(level, client->impersonation->level);
        }
    }
    // Static tracking and dynamic alike capture the identity now: the host has no later view.
    auto token = MakeObject<Token>(EffectiveIdentity(client), TokenImpersonation, level);
    std::memset(ClientContext, 0, sizeof(*ClientContext));
    ClientContext->SecurityQos = *ClientSecurityQos;
    ClientContext->ClientToken = static_cast<hl::kernel::Object*>(token.Detach());
    ClientContext->DirectlyAccessClientToken = FALSE;
    ClientContext->DirectAccessEffectiveOnly = ClientSecurityQos->EffectiveOnly;
    ClientContext->ServerIsRemote = RemoteSession;
    return STATUS_SUCCESS;
}

NTSTATUS SeImpersonateClientEx(PSECURITY_CLIENT_CONTEXT ClientContext, PETHREAD ServerThread) {
    if (!ClientContext) {
        return STATUS_INVALID_PARAMETER;
    }
    Thread* current = Sys().threads.Current();
    if (ServerThread && reinterpret_cast<hl::kernel::Object*>(ServerThread) != current) {
        BugCheck("impersonation of a client by a thread other than the caller is not supported");
        return STATUS_NOT_SUPPORTED;
    }
    Ref<hl::kernel::Object> keep;
    Token* token = TokenFrom(ClientContext->ClientToken, keep);
    if (!token) {
        BugCheck("SeImpersonateClient with a context that holds no token (deleted?)");
        return STATUS_NO_TOKEN;
    }
    // A refusal as Windows gives it: the thread goes on as it was, and only the result says so.
    if (Sys().faults.impersonation.ShouldFail()) {
        return Sys().faults.impersonation.Status();
    }
    const bool applied = ApplyHostIdentity(token->identity);
    std::lock_guard guard(current->lock);
    current->impersonation = Ref<Token>(token);
    current->impersonationBroken = !applied;
    if (!applied) {
        RestoreHostIdentity();
        return STATUS_PRIVILEGE_NOT_HELD;
    }
    return STATUS_SUCCESS;
}

VOID SeImpersonateClient(PSECURITY_CLIENT_CONTEXT ClientContext, PETHREAD ServerThread) {
    SeImpersonateClientEx(ClientContext, ServerThread);
}

VOID PsRevertToSelf(VOID) {
    Thread* current = Sys().threads.Current();
    Ref<Token> dropped;
    {
        std::lock_guard guard(current->lock);
        dropped = std::move(current->impersonation);
        current->impersonation.reset();
        current->impersonationBroken = false;
    }
    RestoreHostIdentity();
}

TOKEN_TYPE SeTokenType(PACCESS_TOKEN Token) {
    Ref<hl::kernel::Object> keep;
    hl::kernel::Token* token = TokenFrom(Token, keep);
    return token ? token->type : TokenPrimary;
}

VOID PsDereferencePrimaryToken(PACCESS_TOKEN PrimaryToken) {
    ObfDereferenceObject(PrimaryToken);
}

VOID PsDereferenceImpersonationToken(PACCESS_TOKEN ImpersonationToken) {
    ObfDereferenceObject(ImpersonationToken);
}

NTSTATUS SeQueryInformationToken(PACCESS_TOKEN Token, TOKEN_INFORMATION_CLASS TokenInformationClass,
                                 PVOID* TokenInformation) {
    if (!TokenInformation) {
        return STATUS_INVALID_PARAMETER;
    }
    *TokenInformation = nullptr;
    Ref<hl::kernel::Object> keep;
    hl::kernel::Token* token = TokenFrom(Token, keep);
    if (!token) {
        BugCheck("SeQueryInformationToken with something that is not a token");
        return STATUS_INVALID_PARAMETER;
    }
    std::vector<std::uint8_t> sid;
    std::size_t head = 0;
    if (TokenInformationClass == TokenUser) {
        sid = UserSid(token->identity.uid);
        head = sizeof(TOKEN_USER);
    } else if (TokenInformationClass == TokenPrimaryGroup) {
        sid = GroupSid(token->identity.gid);
        head = sizeof(TOKEN_PRIMARY_GROUP);
    } else {
        return STATUS_INVALID_INFO_CLASS;
    }
    auto* block =
        static_cast<std::uint8_t*>(ExAllocatePoolWithTag(PagedPool, head + sid.size(), 0));
    if (!block) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    std::memset(block, 0, head);
    std::memcpy(block + head, sid.data(), sid.size());
    if (TokenInformationClass == TokenUser) {
        reinterpret_cast<PTOKEN_USER>(block)->User.Sid = block + head;
    } else {
        reinterpret_cast<PTOKEN_PRIMARY_GROUP>(block)->PrimaryGroup = block + head;
    }
    *TokenInformation = block;
    return STATUS_SUCCESS;
}

ULONG NTAPI RtlLengthSid(PSID Sid) {
    return ValidSid(Sid) ? SidLength(Sid) : 0;
}

BOOLEAN NTAPI RtlValidSid(PSID Sid) {
    return ValidSid(Sid);
}

BOOLEAN NTAPI RtlEqualSid(PSID Sid1, PSID Sid2) {
    return ValidSid(Sid1) && ValidSid(Sid2) && SidLength(Sid1) == SidLength(Sid2) &&
           std::memcmp(Sid1, Sid2, SidLength(Sid1)) == 0;
}

NTSTATUS NTAPI RtlCopySid(ULONG DestinationSidLength, PSID DestinationSid, PSID SourceSid) {
    if (!ValidSid(SourceSid) || !DestinationSid) {
        return STATUS_INVALID_SID;
    }
    if (DestinationSidLength < SidLength(SourceSid)) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    std::memmove(DestinationSid, SourceSid, SidLength(SourceSid));
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlCreateAcl(PACL Acl, ULONG AclLength, ULONG AclRevision) {
    if (!Acl || AclLength < sizeof(ACL) || AclLength > 0xFFFF) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    if (AclRevision != ACL_REVISION) {
        return STATUS_INVALID_PARAMETER;
    }
    std::memset(Acl, 0, sizeof(ACL));
    Acl->AclRevision = static_cast<UCHAR>(AclRevision);
    Acl->AclSize = static_cast<USHORT>(AclLength & ~3u);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlAddAccessAllowedAce(PACL Acl, ULONG AceRevision, ACCESS_MASK AccessMask,
                                      PSID Sid) {
    if (!Acl || Acl->AclRevision != ACL_REVISION) {
        return STATUS_INVALID_ACL;
    }
    if (AceRevision != ACL_REVISION) {
        return STATUS_REVISION_MISMATCH;
    }
    if (!ValidSid(Sid)) {
        return STATUS_INVALID_SID;
    }
    // The ACEs lie one after another behind the header.
    auto* base = reinterpret_cast<std::uint8_t*>(Acl);
    std::size_t used = sizeof(ACL);
    for (USHORT ace = 0; ace < Acl->AceCount; ++ace) {
        used += reinterpret_cast<PACE_HEADER>(base + used)->AceSize;
    }
    const std::size_t size = offsetof(ACCESS_ALLOWED_ACE, SidStart) + SidLength(Sid);
    if (used + size > Acl->AclSize) {
        return STATUS_ALLOTTED_SPACE_EXCEEDED;
    }
    auto* entry = reinterpret_cast<PACCESS_ALLOWED_ACE>(base + used);
    entry->Header.AceType = ACCESS_ALLOWED_ACE_TYPE;
    entry->Header.AceFlags = 0;
    entry->Header.AceSize = static_cast<USHORT>(size);
    entry->Mask = AccessMask;
    std::memcpy(&entry->SidStart, Sid, SidLength(Sid));
    ++Acl->AceCount;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlCreateSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor,
                                           ULONG Revision) {
    if (Revision != SECURITY_DESCRIPTOR_REVISION) {
        return STATUS_UNKNOWN_REVISION;
    }
    if (!SecurityDescriptor) {
        return STATUS_INVALID_PARAMETER;
    }
    std::memset(SecurityDescriptor, 0, sizeof(SECURITY_DESCRIPTOR));
    static_cast<PISECURITY_DESCRIPTOR>(SecurityDescriptor)->Revision = SECURITY_DESCRIPTOR_REVISION;
    return STATUS_SUCCESS;
}

namespace {

PISECURITY_DESCRIPTOR AbsoluteDescriptor(PSECURITY_DESCRIPTOR descriptor) {
    auto* sd = static_cast<PISECURITY_DESCRIPTOR>(descriptor);
    return sd && sd->Revision == SECURITY_DESCRIPTOR_REVISION && !(sd->Control & SE_SELF_RELATIVE)
               ? sd
               : nullptr;
}

void SetDefaulted(PISECURITY_DESCRIPTOR sd, SECURITY_DESCRIPTOR_CONTROL flag, BOOLEAN on) {
    sd->Control =
        static_cast<SECURITY_DESCRIPTOR_CONTROL>(on ? sd->Control | flag : sd->Control & ~flag);
}

}  // namespace

NTSTATUS NTAPI RtlSetOwnerSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor, PSID Owner,
                                             BOOLEAN OwnerDefaulted) {
    PISECURITY_DESCRIPTOR sd = AbsoluteDescriptor(SecurityDescriptor);
    if (!sd) {
        return STATUS_INVALID_SECURITY_DESCR;
    }
    sd->Owner = Owner;
    SetDefaulted(sd, SE_OWNER_DEFAULTED, OwnerDefaulted);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlSetGroupSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor, PSID Group,
                                             BOOLEAN GroupDefaulted) {
    PISECURITY_DESCRIPTOR sd = AbsoluteDescriptor(SecurityDescriptor);
    if (!sd) {
        return STATUS_INVALID_SECURITY_DESCR;
    }
    sd->Group = Group;
    SetDefaulted(sd, SE_GROUP_DEFAULTED, GroupDefaulted);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlSetDaclSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor,
                                            BOOLEAN DaclPresent, PACL Dacl, BOOLEAN DaclDefaulted) {
    PISECURITY_DESCRIPTOR sd = AbsoluteDescriptor(SecurityDescriptor);
    if (!sd) {
        return STATUS_INVALID_SECURITY_DESCR;
    }
    SetDefaulted(sd, SE_DACL_PRESENT, DaclPresent);
    sd->Dacl = DaclPresent ? Dacl : nullptr;
    SetDefaulted(sd, SE_DACL_DEFAULTED, DaclPresent && DaclDefaulted);
    return STATUS_SUCCESS;
}

NTSTATUS ObSetSecurityObjectByPointer(PVOID Object, SECURITY_INFORMATION SecurityInformation,
                                      PSECURITY_DESCRIPTOR SecurityDescriptor) {
    PISECURITY_DESCRIPTOR sd = AbsoluteDescriptor(SecurityDescriptor);
    if (!sd) {
        return STATUS_INVALID_SECURITY_DESCR;
    }
    DeviceObj* device = DeviceFromObject(static_cast<PDEVICE_OBJECT>(Object));
    if (!device) {
        BugCheck("ObSetSecurityObjectByPointer on something that is not a device object");
        return STATUS_INVALID_PARAMETER;
    }
    ObjectSecurity changed;
    {
        std::lock_guard guard(device->securityLock);
        changed = device->security;
    }
    if (SecurityInformation & OWNER_SECURITY_INFORMATION) {
        if (!ValidSid(sd->Owner)) {
            return STATUS_INVALID_SECURITY_DESCR;  // an object always has an owner
        }
        changed.owner = SidBytes(sd->Owner);
    }
    if (SecurityInformation & GROUP_SECURITY_INFORMATION) {
        changed.group = ValidSid(sd->Group) ? SidBytes(sd->Group) : std::vector<std::uint8_t>{};
    }
    if (SecurityInformation & DACL_SECURITY_INFORMATION) {
        changed.daclPresent = (sd->Control & SE_DACL_PRESENT) && sd->Dacl;
        changed.dacl.clear();
        if (changed.daclPresent) {
            if (sd->Dacl->AclRevision != ACL_REVISION || sd->Dacl->AclSize < sizeof(ACL)) {
                return STATUS_INVALID_ACL;
            }
            const auto* bytes = reinterpret_cast<const std::uint8_t*>(sd->Dacl);
            changed.dacl.assign(bytes, bytes + sd->Dacl->AclSize);
        }
    }
    std::lock_guard guard(device->securityLock);
    device->security = std::move(changed);
    return STATUS_SUCCESS;
}

}  // extern "C"
