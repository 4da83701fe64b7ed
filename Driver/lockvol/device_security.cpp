// Who may open a disk: while a container is open, only the user who asked for it (and the local
// system); without one, everybody, so that any user can mount a disk on a free device.
#include "lockvol/disk_device.h"

namespace {

// S-1-5-18, the local system.
struct LocalSystemSid {
    SID Sid;

    LocalSystemSid() {
        const SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
        Sid.Revision = SID_REVISION;
        Sid.SubAuthorityCount = 1;
        Sid.IdentifierAuthority = nt;
        Sid.SubAuthority[0] = SECURITY_LOCAL_SYSTEM_RID;
    }
};

ULONG AllowedAceSize(PSID Sid) {
    return static_cast<ULONG>(sizeof(ACCESS_ALLOWED_ACE) - sizeof(ULONG)) + RtlLengthSid(Sid);
}

NTSTATUS SetDeviceSecurity(PDEVICE_OBJECT DeviceObject, PSID Owner, PSID Group, PACL Dacl) {
    SECURITY_DESCRIPTOR descriptor;
    NTSTATUS status = RtlCreateSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
    if (NT_SUCCESS(status)) {
        status = RtlSetOwnerSecurityDescriptor(&descriptor, Owner, FALSE);
    }
    if (NT_SUCCESS(status)) {
        status = RtlSetGroupSecurityDescriptor(&descriptor, Group, FALSE);
    }
    if (NT_SUCCESS(status)) {
        status = RtlSetDaclSecurityDescriptor(&descriptor, Dacl != nullptr, Dacl, FALSE);
    }
    if (NT_SUCCESS(status)) {
        status = ObSetSecurityObjectByPointer(
            DeviceObject,
            OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
            &descriptor);
    }
    return status;
}

}  // namespace

NTSTATUS RestrictDiskToClient(PDEVICE_OBJECT DeviceObject, PACCESS_TOKEN ClientToken) {
    PTOKEN_USER user = nullptr;
    PTOKEN_PRIMARY_GROUP group = nullptr;
    NTSTATUS status =
        SeQueryInformationToken(ClientToken, TokenUser, reinterpret_cast<PVOID*>(&user));
    if (NT_SUCCESS(status)) {
        status = SeQueryInformationToken(ClientToken, TokenPrimaryGroup,
                                         reinterpret_cast<PVOID*>(&group));
    }
    PACL dacl = nullptr;
    LocalSystemSid system;
    if (NT_SUCCESS(status)) {
        const ULONG size = static_cast<ULONG>(sizeof(ACL)) + AllowedAceSize(user->User.Sid) +
                           AllowedAceSize(&system.Sid);
        dacl = static_cast<PACL>(ExAllocatePoolWithTag(PagedPool, size, LOCKVOL_POOL_TAG));
        status = dacl == nullptr ? STATUS_INSUFFICIENT_RESOURCES
                                 : RtlCreateAcl(dacl, size, ACL_REVISION);
    }
    if (NT_SUCCESS(status)) {
        status = RtlAddAccessAllowedAce(dacl, ACL_REVISION, FILE_ALL_ACCESS, user->User.Sid);
    }
    if (NT_SUCCESS(status)) {
        status = RtlAddAccessAllowedAce(dacl, ACL_REVISION, FILE_ALL_ACCESS, &system.Sid);
    }
    if (NT_SUCCESS(status)) {
        status = SetDeviceSecurity(DeviceObject, user->User.Sid, group->PrimaryGroup, dacl);
    }
    if (dacl != nullptr) {
        ExFreePoolWithTag(dacl, LOCKVOL_POOL_TAG);
    }
    if (group != nullptr) {
        ExFreePool(group);
    }
    if (user != nullptr) {
        ExFreePool(user);
    }
    return status;
}

void OpenDiskToEveryone(PDEVICE_OBJECT DeviceObject) {
    LocalSystemSid system;
    // Nothing here allocates: with valid arguments it cannot fail.
    SetDeviceSecurity(DeviceObject, &system.Sid, &system.Sid, nullptr);
}
