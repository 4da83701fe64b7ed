// The file-system and security part of the kernel API: client security contexts,
// impersonation and the waits through handles, which the DDK declares here and not in ntddk.h.
#pragma once

#include "ntddk.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct _TOKEN_SOURCE {
    CHAR SourceName[8];
    LUID SourceIdentifier;
} TOKEN_SOURCE, *PTOKEN_SOURCE;

typedef struct _TOKEN_CONTROL {
    LUID TokenId;
    LUID AuthenticationId;
    LUID ModifiedId;
    TOKEN_SOURCE TokenSource;
} TOKEN_CONTROL, *PTOKEN_CONTROL;

typedef struct _SECURITY_CLIENT_CONTEXT {
    SECURITY_QUALITY_OF_SERVICE SecurityQos;
    PACCESS_TOKEN ClientToken;  // a referenced token object
    BOOLEAN DirectlyAccessClientToken;
    BOOLEAN DirectAccessEffectiveOnly;
    BOOLEAN ServerIsRemote;
    TOKEN_CONTROL ClientTokenControl;
} SECURITY_CLIENT_CONTEXT, *PSECURITY_CLIENT_CONTEXT;

NTKERNELAPI NTSTATUS SeCreateClientSecurity(PETHREAD ClientThread,
                                            PSECURITY_QUALITY_OF_SERVICE ClientSecurityQos,
                                            BOOLEAN RemoteSession,
                                            PSECURITY_CLIENT_CONTEXT ClientContext);
// ServerThread NULL: the current thread.
NTKERNELAPI VOID SeImpersonateClient(PSECURITY_CLIENT_CONTEXT ClientContext, PETHREAD ServerThread);
NTKERNELAPI NTSTATUS SeImpersonateClientEx(PSECURITY_CLIENT_CONTEXT ClientContext,
                                           PETHREAD ServerThread);
NTKERNELAPI TOKEN_TYPE SeTokenType(PACCESS_TOKEN Token);
NTKERNELAPI VOID PsDereferencePrimaryToken(PACCESS_TOKEN PrimaryToken);
NTKERNELAPI VOID PsDereferenceImpersonationToken(PACCESS_TOKEN ImpersonationToken);
// Releases the token the context references: a macro, so a driver imports the calls it makes.
#define SeDeleteClientSecurity(C)                              \
    {                                                          \
        if (SeTokenType((C)->ClientToken) == TokenPrimary) {   \
            PsDereferencePrimaryToken((C)->ClientToken);       \
        } else {                                               \
            PsDereferenceImpersonationToken((C)->ClientToken); \
        }                                                      \
    }
NTKERNELAPI VOID PsRevertToSelf(VOID);

// Waits on an object through a handle (a thread or an event object), as KeWaitForSingleObject.
NTSYSAPI NTSTATUS NTAPI ZwWaitForSingleObject(HANDLE Handle, BOOLEAN Alertable,
                                              PLARGE_INTEGER Timeout);

#ifdef __cplusplus
}  // extern "C"
#endif
