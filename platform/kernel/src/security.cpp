// Client security: tokens captured from a client thread, impersonation and revert. While a
// thread impersonates, its host file-system identity is the client's (per-thread fsuid, fsgid
// and supplementary groups, set with raw system calls: glibc's wrappers change every thread).
#include <sys/syscall.h>
#include <unistd.h>

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

bool ApplyHostIdentity(const CallerIdentity& identity) {
    std::vector<gid_t> groups(identity.groups.begin(), identity.groups.end());
    if (syscall(SYS_setgroups, groups.size(), groups.data()) != 0) {
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

}  // extern "C"
