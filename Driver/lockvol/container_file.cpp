// The container file of a device: open-file under the caller's identity, close-file, and the key
// requests over the file's header. Everything here runs in the device's worker, except the
// security capture, which runs in the caller's thread.
#include <span>

#include "format/container_header.h"
#include "format/secure_wipe.h"
#include "lockvol/disk_device.h"

namespace {

constexpr ULONG kContainerOpenOptions = FILE_NON_DIRECTORY_FILE | FILE_RANDOM_ACCESS |
                                        FILE_NO_INTERMEDIATE_BUFFERING |
                                        FILE_SYNCHRONOUS_IO_NONALERT;

LARGE_INTEGER ByteOffset(std::uint64_t Offset) {
    LARGE_INTEGER at;
    at.QuadPart = static_cast<LONGLONG>(Offset);
    return at;
}

// The header operations reach the open file, pool memory and the tick count through this.
class ContainerFilePort final : public vdformat::ContainerPort {
public:
    explicit ContainerFilePort(HANDLE File) : file_(File) {}

    bool ReadAt(std::uint64_t Offset, void* Buffer, std::size_t Length) noexcept override {
        IO_STATUS_BLOCK io{};
        LARGE_INTEGER at = ByteOffset(Offset);
        const NTSTATUS status = ZwReadFile(file_, nullptr, nullptr, nullptr, &io, Buffer,
                                           static_cast<ULONG>(Length), &at, nullptr);
        return NT_SUCCESS(status) && io.Information == Length;
    }

    std::int32_t WriteAt(std::uint64_t Offset, const void* Buffer,
                         std::size_t Length) noexcept override {
        IO_STATUS_BLOCK io{};
        LARGE_INTEGER at = ByteOffset(Offset);
        const NTSTATUS status =
            ZwWriteFile(file_, nullptr, nullptr, nullptr, &io, const_cast<void*>(Buffer),
                        static_cast<ULONG>(Length), &at, nullptr);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        return io.Information == Length ? STATUS_SUCCESS : STATUS_DATA_ERROR;
    }

    void* Allocate(std::size_t Bytes) noexcept override {
        return ExAllocatePoolWithTag(PagedPool, Bytes, LOCKVOL_POOL_TAG);
    }

    void Free(void* Memory) noexcept override {
        if (Memory != nullptr) {
            ExFreePoolWithTag(Memory, LOCKVOL_POOL_TAG);
        }
    }

    std::uint32_t TickCount() noexcept override {
        LARGE_INTEGER ticks;
        KeQueryTickCount(&ticks);
        return static_cast<std::uint32_t>(ticks.QuadPart);
    }

private:
    HANDLE file_;
};

// The header operations work on this copy of the key; the device takes it over only for the
// outcomes that give it a key, so a request that fails for want of memory changes nothing.
class ScratchKey {
public:
    ScratchKey()
        : key_(static_cast<vdformat::KeySchedule*>(
              ExAllocatePoolWithTag(PagedPool, sizeof(vdformat::KeySchedule), LOCKVOL_POOL_TAG))) {}
    ScratchKey(const ScratchKey&) = delete;
    ScratchKey& operator=(const ScratchKey&) = delete;
    ~ScratchKey() {
        if (key_ != nullptr) {
            vdformat::SecureWipeObject(*key_);
            ExFreePoolWithTag(key_, LOCKVOL_POOL_TAG);
        }
    }

    explicit operator bool() const { return key_ != nullptr; }
    vdformat::KeySchedule& operator*() { return *key_; }

    void HandTo(DiskDeviceExtension* Extension) {
        RtlCopyMemory(&Extension->KeySchedule, key_, sizeof(vdformat::KeySchedule));
    }

private:
    vdformat::KeySchedule* key_;
};

NTSTATUS HeaderStatus(const vdformat::HeaderOutcome& Outcome) {
    switch (Outcome.result) {
        case vdformat::HeaderResult::Ok:
            return STATUS_SUCCESS;
        case vdformat::HeaderResult::WrongPassword:
            return STATUS_WRONG_PASSWORD_CORE;
        case vdformat::HeaderResult::InsufficientResources:
            return STATUS_INSUFFICIENT_RESOURCES;
        case vdformat::HeaderResult::WriteFailed:
            return NT_SUCCESS(Outcome.writeStatus) ? STATUS_DATA_ERROR : Outcome.writeStatus;
    }
    return STATUS_DRIVER_INTERNAL_ERROR;
}

void SetKeyBlockPresent(DiskDeviceExtension* Extension) {
    KIRQL irql;
    KeAcquireSpinLock(&Extension->StateLock, &irql);
    Extension->KeyBlockPresent = TRUE;
    KeReleaseSpinLock(&Extension->StateLock, irql);
}

template <typename Request>
const Request& RequestRecord(PIRP Irp) {
    return *static_cast<const Request*>(Irp->AssociatedIrp.SystemBuffer);
}

// A key request's record, in the request's system buffer: wiped there before the request is
// completed, whatever became of it, so no password outlives its request.
template <typename Request>
class KeyRecord {
public:
    explicit KeyRecord(PIRP Irp)
        : record_(static_cast<Request*>(Irp->AssociatedIrp.SystemBuffer)) {}
    KeyRecord(const KeyRecord&) = delete;
    KeyRecord& operator=(const KeyRecord&) = delete;
    ~KeyRecord() { vdformat::SecureWipeObject(*record_); }
    const Request* operator->() const { return record_; }

private:
    Request* record_;
};

vdformat::UserKey AsUserKey(const UCHAR (&Key)[VD_USER_KEY_SIZE]) {
    return vdformat::UserKey(Key, VD_USER_KEY_SIZE);
}

bool IsOpenFileRequest(PIRP Irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    return stack->MajorFunction == IRP_MJ_DEVICE_CONTROL &&
           stack->Parameters.DeviceIoControl.IoControlCode == IOCTL_VD_OPEN_FILE;
}

void FreeClientSecurity(PSECURITY_CLIENT_CONTEXT Security) {
    if (Security == nullptr) {
        return;
    }
    SeDeleteClientSecurity(Security);
    ExFreePoolWithTag(Security, LOCKVOL_POOL_TAG);
}

PSECURITY_CLIENT_CONTEXT TakeRequestSecurity(PIRP Irp) {
    PVOID security = Irp->Tail.Overlay.DriverContext[0];
    Irp->Tail.Overlay.DriverContext[0] = nullptr;
    return static_cast<PSECURITY_CLIENT_CONTEXT>(security);
}

NTSTATUS CopyFileName(const VD_OPEN_FILE_INFORMATION& Info, PANSI_STRING Name) {
    const USHORT length = Info.FileNameLength;
    PCHAR buffer =
        static_cast<PCHAR>(ExAllocatePoolWithTag(PagedPool, length + 1u, LOCKVOL_POOL_TAG));
    if (buffer == nullptr) {
        return STATUS_NO_MEMORY;
    }
    RtlCopyMemory(buffer, Info.FileName, length);
    buffer[length] = '\0';
    Name->Buffer = buffer;
    Name->Length = length;
    Name->MaximumLength = static_cast<USHORT>(length + 1u);
    return STATUS_SUCCESS;
}

NTSTATUS CreateContainerHandle(PUNICODE_STRING Name, ULONG Disposition,
                               PLARGE_INTEGER AllocationSize, PHANDLE File,
                               PIO_STATUS_BLOCK IoStatus) {
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, Name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    return ZwCreateFile(File, GENERIC_READ | GENERIC_WRITE, &attributes, IoStatus, AllocationSize,
                        FILE_ATTRIBUTE_NORMAL, 0, Disposition, kContainerOpenOptions, nullptr, 0);
}

NTSTATUS SizeNewContainer(HANDLE File, LARGE_INTEGER FileSize) {
    IO_STATUS_BLOCK io;
    FILE_END_OF_FILE_INFORMATION endOfFile;
    endOfFile.EndOfFile = FileSize;
    NTSTATUS status =
        ZwSetInformationFile(File, &io, &endOfFile, sizeof(endOfFile), FileEndOfFileInformation);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    FILE_BASIC_INFORMATION basic;
    RtlZeroMemory(&basic, sizeof(basic));  // zero times stay as they are
    basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    ZwSetInformationFile(File, &io, &basic, sizeof(basic), FileBasicInformation);
    return STATUS_SUCCESS;
}

// Opens an existing container, or creates a missing one of the asked size. Only a file that
// was there already carries a key block.
NTSTATUS OpenOrCreateContainer(PUNICODE_STRING Name, const VD_OPEN_FILE_INFORMATION& Info,
                               PHANDLE File, BOOLEAN* KeyBlockPresent) {
    IO_STATUS_BLOCK io;
    NTSTATUS status = CreateContainerHandle(Name, FILE_OPEN, nullptr, File, &io);
    *KeyBlockPresent = status == STATUS_SUCCESS;
    if (NT_SUCCESS(status)) {
        return status;
    }
    if (status != STATUS_OBJECT_NAME_NOT_FOUND && status != STATUS_NO_SUCH_FILE) {
        return status;
    }
    if (Info.ReadOnly || Info.FileSize.QuadPart == 0) {
        return STATUS_NO_SUCH_FILE;
    }
    LARGE_INTEGER fileSize;
    fileSize.QuadPart = Info.FileSize.QuadPart + VD_HEADER_SIZE;
    status = CreateContainerHandle(Name, FILE_OPEN_IF, &fileSize, File, &io);
    if (!NT_SUCCESS(status) || io.Information != FILE_CREATED) {
        return status;
    }
    status = SizeNewContainer(*File, fileSize);
    if (!NT_SUCCESS(status)) {
        ZwClose(*File);
    }
    return status;
}

// Takes the open file into the device: its size, its alignment and the open-file's flags.
NTSTATUS AdoptContainer(PDEVICE_OBJECT DeviceObject, HANDLE File, const ANSI_STRING& Name,
                        BOOLEAN ReadOnly, BOOLEAN KeyBlockPresent) {
    IO_STATUS_BLOCK io;
    FILE_BASIC_INFORMATION basic;
    FILE_STANDARD_INFORMATION standard;
    FILE_ALIGNMENT_INFORMATION alignment;
    NTSTATUS status =
        ZwQueryInformationFile(File, &io, &basic, sizeof(basic), FileBasicInformation);
    if (NT_SUCCESS(status)) {
        status =
            ZwQueryInformationFile(File, &io, &standard, sizeof(standard), FileStandardInformation);
    }
    if (NT_SUCCESS(status)) {
        status = ZwQueryInformationFile(File, &io, &alignment, sizeof(alignment),
                                        FileAlignmentInformation);
    }
    if (!NT_SUCCESS(status)) {
        ZwClose(File);
        return status;
    }
    DeviceObject->AlignmentRequirement = alignment.AlignmentRequirement;
    if (ReadOnly) {
        DeviceObject->Characteristics |= FILE_READ_ONLY_DEVICE;
    } else {
        DeviceObject->Characteristics &= ~static_cast<ULONG>(FILE_READ_ONLY_DEVICE);
    }
    DiskDeviceExtension* extension = DiskExtension(DeviceObject);
    KIRQL irql;
    KeAcquireSpinLock(&extension->StateLock, &irql);
    extension->FileHandle = File;
    extension->FileName = Name;
    extension->FileSize = standard.EndOfFile;
    extension->ReadOnly = ReadOnly;
    extension->KeyBlockPresent = KeyBlockPresent;
    extension->MediaPresent = TRUE;
    ++extension->MediaGeneration;
    KeReleaseSpinLock(&extension->StateLock, irql);
    return STATUS_SUCCESS;
}

NTSTATUS OpenContainer(PDEVICE_OBJECT DeviceObject, const VD_OPEN_FILE_INFORMATION& Info) {
    const LONGLONG dataSize = Info.FileSize.QuadPart;
    if (dataSize < 0 || dataSize % VD_SIZE_GRANULE != 0) {
        return STATUS_PARTITION_FAILURE;
    }
    if (Info.FileNameLength > VD_MAX_FILE_NAME_LENGTH) {
        return STATUS_INVALID_PARAMETER;  // the name would run past the record
    }
    ANSI_STRING name;
    NTSTATUS status = CopyFileName(Info, &name);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    UNICODE_STRING unicodeName;
    status = RtlAnsiStringToUnicodeString(&unicodeName, &name, TRUE);
    if (NT_SUCCESS(status)) {
        HANDLE file = nullptr;
        BOOLEAN keyBlockPresent = FALSE;
        status = OpenOrCreateContainer(&unicodeName, Info, &file, &keyBlockPresent);
        RtlFreeUnicodeString(&unicodeName);
        if (NT_SUCCESS(status)) {
            status = AdoptContainer(DeviceObject, file, name, Info.ReadOnly, keyBlockPresent);
        }
    }
    if (!NT_SUCCESS(status)) {
        ExFreePoolWithTag(name.Buffer, LOCKVOL_POOL_TAG);
    }
    return status;
}

}  // namespace

NTSTATUS CaptureClientSecurity(PIRP Irp) {
    PSECURITY_CLIENT_CONTEXT security = static_cast<PSECURITY_CLIENT_CONTEXT>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(SECURITY_CLIENT_CONTEXT), LOCKVOL_POOL_TAG));
    if (security == nullptr) {
        return STATUS_NO_MEMORY;
    }
    SECURITY_QUALITY_OF_SERVICE quality;
    RtlZeroMemory(&quality, sizeof(quality));
    quality.Length = sizeof(quality);
    quality.ImpersonationLevel = SecurityImpersonation;
    quality.ContextTrackingMode = SECURITY_STATIC_TRACKING;
    quality.EffectiveOnly = FALSE;
    const NTSTATUS status = SeCreateClientSecurity(PsGetCurrentThread(), &quality, FALSE, security);
    if (!NT_SUCCESS(status)) {
        ExFreePoolWithTag(security, LOCKVOL_POOL_TAG);
        return status;
    }
    // Carried by the request itself: a second open-file queued behind this one cannot release
    // the context the worker is about to impersonate.
    Irp->Tail.Overlay.DriverContext[0] = security;
    return STATUS_SUCCESS;
}

void ReleaseRequestSecurity(PIRP Irp) {
    if (!IsOpenFileRequest(Irp)) {
        return;
    }
    if (PSECURITY_CLIENT_CONTEXT security = TakeRequestSecurity(Irp)) {
        FreeClientSecurity(security);
    }
}

NTSTATUS ServeOpenFile(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    DiskDeviceExtension* extension = DiskExtension(DeviceObject);
    extension->ClientSecurity = TakeRequestSecurity(Irp);
    NTSTATUS status = STATUS_INVALID_DEVICE_REQUEST;  // an earlier open-file of the queue won
    if (!QueryMediaState(extension).MediaPresent) {
        // The disk is the caller's before its media arrives: nobody else gets in meanwhile.
        status = RestrictDiskToClient(DeviceObject, extension->ClientSecurity->ClientToken);
        if (NT_SUCCESS(status)) {
            // Without the caller's identity the file would be opened with the system's rights.
            status = SeImpersonateClientEx(extension->ClientSecurity, nullptr);
            if (NT_SUCCESS(status)) {
                status =
                    OpenContainer(DeviceObject, RequestRecord<VD_OPEN_FILE_INFORMATION>(Irp));
            }
            PsRevertToSelf();
        }
        if (NT_SUCCESS(status)) {
            AdmitToCurrentMedia(extension, Irp);
        }
        if (!NT_SUCCESS(status)) {
            OpenDiskToEveryone(DeviceObject);
        }
    }
    // The handle carries the caller's rights from now on; the token is not kept beyond the open.
    FreeClientSecurity(extension->ClientSecurity);
    extension->ClientSecurity = nullptr;
    return status;
}

NTSTATUS ServeCloseFile(DiskDeviceExtension* Extension) {
    KIRQL irql;
    KeAcquireSpinLock(&Extension->StateLock, &irql);
    if (!Extension->MediaPresent) {
        KeReleaseSpinLock(&Extension->StateLock, irql);
        return STATUS_NO_MEDIA_IN_DEVICE;  // a second close-file queued behind the first
    }
    HANDLE file = Extension->FileHandle;
    PCHAR name = Extension->FileName.Buffer;
    Extension->FileHandle = nullptr;
    RtlZeroMemory(&Extension->FileName, sizeof(Extension->FileName));
    Extension->KeyBlockPresent = FALSE;
    Extension->MediaPresent = FALSE;
    KeReleaseSpinLock(&Extension->StateLock, irql);

    ZwClose(file);
    ExFreePoolWithTag(name, LOCKVOL_POOL_TAG);
    // The data key leaves with its container.
    vdformat::SecureWipeObject(Extension->KeySchedule);
    return STATUS_SUCCESS;
}

NTSTATUS ServeSetKey(DiskDeviceExtension* Extension, PIRP Irp) {
    const KeyRecord<VD_SET_KEY_REQUEST> request(Irp);
    const MediaState state = QueryMediaState(Extension);
    if (!state.MediaPresent) {
        return STATUS_NO_MEDIA_IN_DEVICE;
    }
    // A new header would make the data of an existing container unreadable.
    if (state.ReadOnly) {
        return STATUS_MEDIA_WRITE_PROTECTED;
    }
    ScratchKey key;
    if (!key) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    ContainerFilePort port(Extension->FileHandle);
    const vdformat::HeaderOutcome outcome = vdformat::CreateHeader(
        port, vdformat::KeyMaterial(request->KeyMaterial, VD_KEY_MATERIAL_SIZE),
        AsUserKey(request->UserKey), *key);
    // The new data key is the device's once it exists, even if its header could not be written.
    if (outcome.result == vdformat::HeaderResult::Ok ||
        outcome.result == vdformat::HeaderResult::WriteFailed) {
        key.HandTo(Extension);
    }
    if (outcome.result == vdformat::HeaderResult::Ok) {
        SetKeyBlockPresent(Extension);
    }
    return HeaderStatus(outcome);
}

// A wrong password leaves the key in use as it was: a mounted volume must not be switched to a
// key that deciphers it into garbage and then enciphers its next writes wrongly.
NTSTATUS ServeOpenKey(DiskDeviceExtension* Extension, PIRP Irp) {
    const KeyRecord<VD_OPEN_KEY_REQUEST> request(Irp);
    if (!QueryMediaState(Extension).MediaPresent) {
        return STATUS_NO_MEDIA_IN_DEVICE;
    }
    ScratchKey key;
    if (!key) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    ContainerFilePort port(Extension->FileHandle);
    const vdformat::HeaderOutcome outcome =
        vdformat::OpenHeader(port, AsUserKey(request->UserKey), *key);
    if (outcome.result == vdformat::HeaderResult::Ok) {
        key.HandTo(Extension);
        SetKeyBlockPresent(Extension);
    }
    return HeaderStatus(outcome);
}

NTSTATUS ServeChangeKey(DiskDeviceExtension* Extension, PIRP Irp) {
    const KeyRecord<VD_CHANGE_KEY_REQUEST> request(Irp);
    if (!QueryMediaState(Extension).MediaPresent) {
        return STATUS_NO_MEDIA_IN_DEVICE;
    }
    ScratchKey key;
    if (!key) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    ContainerFilePort port(Extension->FileHandle);
    const vdformat::HeaderOutcome outcome = vdformat::ChangeHeader(
        port, AsUserKey(request->OldUserKey), AsUserKey(request->NewUserKey), *key);
    // Once the old password has opened the header the key is the container's own data key.
    if (outcome.result == vdformat::HeaderResult::Ok ||
        outcome.result == vdformat::HeaderResult::WriteFailed) {
        key.HandTo(Extension);
        SetKeyBlockPresent(Extension);
    }
    return HeaderStatus(outcome);
}
