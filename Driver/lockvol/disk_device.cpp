// The disk device: creation and deletion, create/close, read/write and the request worker.
#include "lockvol/disk_device.h"

#include <span>

#include "format/secure_wipe.h"
#include "format/unit_cipher.h"

namespace {

// What a worker says about requests it will never serve: the device is going away.
constexpr NTSTATUS kDeviceGone = STATUS_DEVICE_DOES_NOT_EXIST;

bool IsWrite(PIO_STACK_LOCATION Stack) {
    return Stack->MajorFunction == IRP_MJ_WRITE;
}

ULONG TransferLength(PIO_STACK_LOCATION Stack) {
    return IsWrite(Stack) ? Stack->Parameters.Write.Length : Stack->Parameters.Read.Length;
}

// Whole sectors at a sector-aligned offset, inside the data area.
bool TransferInRange(const MediaState& State, LONGLONG Offset, ULONG Length) {
    if (Offset < 0 || Offset % VD_SECTOR_SIZE != 0 || Length % VD_SECTOR_SIZE != 0) {
        return false;
    }
    const LONGLONG dataArea = State.DataArea();
    return Length <= dataArea && Offset <= dataArea - static_cast<LONGLONG>(Length);
}

PVOID CallerBuffer(PIRP Irp) {
    if (Irp->MdlAddress == nullptr) {
        return nullptr;
    }
    return MmGetSystemAddressForMdlSafe(Irp->MdlAddress, NormalPagePriority);
}

// The host moved fewer bytes than asked without saying why: the sectors are not all there.
NTSTATUS HostTransferStatus(NTSTATUS Status, const IO_STATUS_BLOCK& IoStatus, ULONG Length) {
    if (NT_SUCCESS(Status) && IoStatus.Information != Length) {
        return STATUS_DATA_ERROR;
    }
    return Status;
}

std::span<std::uint8_t> Sectors(PVOID Buffer, ULONG Length) {
    return {static_cast<std::uint8_t*>(Buffer), Length};
}

// A failed host read or write fails the request with the host's status and hands out nothing:
// the caller must not take unread or unwritten sectors for its data.
NTSTATUS ReadSectors(DiskDeviceExtension* Extension, PIRP Irp, PIO_STACK_LOCATION Stack) {
    const MediaState state = QueryMediaState(Extension);
    if (!state.Ready()) {
        return STATUS_NO_MEDIA_IN_DEVICE;  // a close-file was served before this read
    }
    PVOID target = CallerBuffer(Irp);
    if (target == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    const ULONG length = Stack->Parameters.Read.Length;
    const LONGLONG offset = Stack->Parameters.Read.ByteOffset.QuadPart;
    if (!TransferInRange(state, offset, length)) {
        return STATUS_INVALID_PARAMETER;
    }
    PVOID buffer = ExAllocatePoolWithTag(PagedPool, length, LOCKVOL_POOL_TAG);
    if (buffer == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    LARGE_INTEGER fileOffset;
    fileOffset.QuadPart = VD_HEADER_SIZE + offset;
    NTSTATUS status = ZwReadFile(Extension->FileHandle, nullptr, nullptr, nullptr, &Irp->IoStatus,
                                 buffer, length, &fileOffset, nullptr);
    status = HostTransferStatus(status, Irp->IoStatus, length);
    if (NT_SUCCESS(status)) {
        vdformat::DecipherSectors(Sectors(buffer, length), Extension->KeySchedule);
        RtlCopyMemory(target, buffer, length);
    } else {
        Irp->IoStatus.Information = 0;
    }
    vdformat::SecureWipe(buffer, length);
    ExFreePoolWithTag(buffer, LOCKVOL_POOL_TAG);
    return status;
}

NTSTATUS WriteSectors(DiskDeviceExtension* Extension, PIRP Irp, PIO_STACK_LOCATION Stack) {
    const MediaState state = QueryMediaState(Extension);
    if (!state.Ready()) {
        return STATUS_NO_MEDIA_IN_DEVICE;
    }
    if (state.ReadOnly) {
        return STATUS_MEDIA_WRITE_PROTECTED;
    }
    const ULONG length = Stack->Parameters.Write.Length;
    const LONGLONG offset = Stack->Parameters.Write.ByteOffset.QuadPart;
    if (!TransferInRange(state, offset, length)) {
        return STATUS_INVALID_PARAMETER;
    }
    PVOID source = CallerBuffer(Irp);
    if (source == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    PVOID buffer = ExAllocatePoolWithTag(PagedPool, length, LOCKVOL_POOL_TAG);
    if (buffer == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlCopyMemory(buffer, source, length);
    vdformat::EncipherSectors(Sectors(buffer, length), Extension->KeySchedule);
    LARGE_INTEGER fileOffset;
    fileOffset.QuadPart = VD_HEADER_SIZE + offset;
    NTSTATUS status = ZwWriteFile(Extension->FileHandle, nullptr, nullptr, nullptr, &Irp->IoStatus,
                                  buffer, length, &fileOffset, nullptr);
    status = HostTransferStatus(status, Irp->IoStatus, length);
    if (!NT_SUCCESS(status)) {
        Irp->IoStatus.Information = 0;
    }
    ExFreePoolWithTag(buffer, LOCKVOL_POOL_TAG);
    return status;
}

// Every write the worker has completed went to the container through the host's cache; the
// flush takes it to the host's disk.
NTSTATUS FlushContainer(DiskDeviceExtension* Extension, PIRP Irp) {
    const MediaState state = QueryMediaState(Extension);
    if (!state.Ready()) {
        return STATUS_NO_MEDIA_IN_DEVICE;
    }
    const NTSTATUS status = ZwFlushBuffersFile(Extension->FileHandle, &Irp->IoStatus);
    Irp->IoStatus.Information = 0;
    return status;
}

NTSTATUS ServeControlRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp, PIO_STACK_LOCATION Stack) {
    DiskDeviceExtension* extension = DiskExtension(DeviceObject);
    switch (Stack->Parameters.DeviceIoControl.IoControlCode) {
        case IOCTL_VD_OPEN_FILE:
            return ServeOpenFile(DeviceObject, Irp);
        case IOCTL_VD_CLOSE_FILE: {
            const NTSTATUS status = ServeCloseFile(extension);
            if (NT_SUCCESS(status)) {
                OpenDiskToEveryone(DeviceObject);  // the disk is free for any user again
            }
            return status;
        }
        case IOCTL_VD_SET_KEY:
            return ServeSetKey(extension, Irp);
        case IOCTL_VD_OPEN_KEY:
            return ServeOpenKey(extension, Irp);
        case IOCTL_VD_CHANGE_KEY:
            return ServeChangeKey(extension, Irp);
        default:
            return STATUS_DRIVER_INTERNAL_ERROR;
    }
}

void ServeRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    DiskDeviceExtension* extension = DiskExtension(DeviceObject);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    Irp->IoStatus.Information = 0;
    NTSTATUS status = STATUS_DRIVER_INTERNAL_ERROR;
    if (stack->MajorFunction == IRP_MJ_READ && stack->Parameters.Read.Length != 0) {
        status = ReadSectors(extension, Irp, stack);
    } else if (stack->MajorFunction == IRP_MJ_WRITE && stack->Parameters.Write.Length != 0) {
        status = WriteSectors(extension, Irp, stack);
    } else if (stack->MajorFunction == IRP_MJ_DEVICE_CONTROL) {
        status = ServeControlRequest(DeviceObject, Irp, stack);
    } else if (stack->MajorFunction == IRP_MJ_FLUSH_BUFFERS) {
        status = FlushContainer(extension, Irp);
    }
    Irp->IoStatus.Status = status;
    IoCompleteRequest(Irp, NT_SUCCESS(status) ? IO_DISK_INCREMENT : IO_NO_INCREMENT);
}

PIRP NextQueuedRequest(DiskDeviceExtension* Extension) {
    PLIST_ENTRY entry =
        ExInterlockedRemoveHeadList(&Extension->RequestQueue, &Extension->QueueLock);
    return entry == nullptr ? nullptr : CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
}

bool WorkerMustStop(DiskDeviceExtension* Extension) {
    KIRQL irql;
    KeAcquireSpinLock(&Extension->QueueLock, &irql);
    const bool stop = Extension->StopWorker;
    KeReleaseSpinLock(&Extension->QueueLock, irql);
    return stop;
}

// At deletion every request still queued is completed, none is dropped, and the container is
// closed with its key wiped, so nothing of it outlives the device.
void RetireDevice(DiskDeviceExtension* Extension) {
    while (PIRP irp = NextQueuedRequest(Extension)) {
        ReleaseRequestSecurity(irp);
        CompleteRequest(irp, kDeviceGone, 0);
    }
    if (QueryMediaState(Extension).MediaPresent) {
        ServeCloseFile(Extension);
    }
    vdformat::SecureWipeObject(Extension->KeySchedule);
}

VOID DiskWorkerThread(PVOID Context) {
    PDEVICE_OBJECT device = static_cast<PDEVICE_OBJECT>(Context);
    DiskDeviceExtension* extension = DiskExtension(device);
    KeSetPriorityThread(KeGetCurrentThread(), LOW_REALTIME_PRIORITY);
    // One wake-up may stand for several requests: drain the queue each time.
    for (;;) {
        KeWaitForSingleObject(&extension->RequestEvent, Executive, KernelMode, FALSE, nullptr);
        PIRP irp;
        while (!WorkerMustStop(extension) && (irp = NextQueuedRequest(extension)) != nullptr) {
            ServeRequest(device, irp);
        }
        if (WorkerMustStop(extension)) {
            break;
        }
    }
    RetireDevice(extension);
    PsTerminateSystemThread(STATUS_SUCCESS);
}

void StopWorker(DiskDeviceExtension* Extension) {
    KIRQL irql;
    KeAcquireSpinLock(&Extension->QueueLock, &irql);
    Extension->StopWorker = TRUE;
    KeReleaseSpinLock(&Extension->QueueLock, irql);
    KeSetEvent(&Extension->RequestEvent, IO_NO_INCREMENT, FALSE);
}

}  // namespace

MediaState QueryMediaState(DiskDeviceExtension* Extension) {
    KIRQL irql;
    KeAcquireSpinLock(&Extension->StateLock, &irql);
    const MediaState state{Extension->MediaPresent, Extension->KeyBlockPresent, Extension->ReadOnly,
                           Extension->FileSize.QuadPart, Extension->MediaGeneration};
    KeReleaseSpinLock(&Extension->StateLock, irql);
    return state;
}

void FormatDiskDeviceName(ULONG DeviceNumber, PWCHAR Buffer, PUNICODE_STRING Name) {
    static constexpr WCHAR kPrefix[] = L"" VD_DEVICE_NAME_PREFIX;
    USHORT length = 0;
    for (WCHAR c : std::span(kPrefix, sizeof(kPrefix) / sizeof(WCHAR) - 1)) {
        Buffer[length++] = c;
    }
    WCHAR digits[10];
    USHORT count = 0;
    do {
        digits[count++] = static_cast<WCHAR>(L'0' + DeviceNumber % 10);
        DeviceNumber /= 10;
    } while (DeviceNumber != 0);
    while (count != 0) {
        Buffer[length++] = digits[--count];
    }
    Buffer[length] = 0;
    Name->Buffer = Buffer;
    Name->Length = static_cast<USHORT>(length * sizeof(WCHAR));
    Name->MaximumLength = static_cast<USHORT>(VD_DEVICE_NAME_CHARS * sizeof(WCHAR));
}

NTSTATUS CompleteRequest(PIRP Irp, NTSTATUS Status, ULONG_PTR Information) {
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = Information;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

BOOLEAN QueueRequest(DiskDeviceExtension* Extension, PIRP Irp) {
    KIRQL irql;
    KeAcquireSpinLock(&Extension->QueueLock, &irql);
    if (Extension->StopWorker) {
        KeReleaseSpinLock(&Extension->QueueLock, irql);
        return FALSE;
    }
    IoMarkIrpPending(Irp);
    InsertTailList(&Extension->RequestQueue, &Irp->Tail.Overlay.ListEntry);
    KeReleaseSpinLock(&Extension->QueueLock, irql);
    KeSetEvent(&Extension->RequestEvent, IO_NO_INCREMENT, FALSE);
    return TRUE;
}

bool OpenedOnOtherMedia(const MediaState& State, PIRP Irp) {
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(Irp)->FileObject;
    return State.MediaPresent && file != nullptr &&
           reinterpret_cast<ULONG_PTR>(file->FsContext2) != State.Generation;
}

void AdmitToCurrentMedia(DiskDeviceExtension* Extension, PIRP Irp) {
    if (PFILE_OBJECT file = IoGetCurrentIrpStackLocation(Irp)->FileObject) {
        file->FsContext2 =
            reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(QueryMediaState(Extension).Generation));
    }
}

NTSTATUS DiskCreateClose(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    if (IoGetCurrentIrpStackLocation(Irp)->MajorFunction == IRP_MJ_CREATE) {
        AdmitToCurrentMedia(DiskExtension(DeviceObject), Irp);
    }
    Irp->IoStatus.Status = STATUS_SUCCESS;
    Irp->IoStatus.Information = FILE_OPENED;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

NTSTATUS DiskReadWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    DiskDeviceExtension* extension = DiskExtension(DeviceObject);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    const MediaState state = QueryMediaState(extension);
    if (!state.Ready()) {
        return CompleteRequest(Irp, STATUS_NO_MEDIA_IN_DEVICE, 0);
    }
    if (OpenedOnOtherMedia(state, Irp)) {
        return CompleteRequest(Irp, STATUS_VOLUME_DISMOUNTED, 0);
    }
    if (TransferLength(stack) == 0) {
        return CompleteRequest(Irp, STATUS_SUCCESS, 0);
    }
    // A device opened read-only is write-protected, so a file system mounts it read-only.
    if (IsWrite(stack) && state.ReadOnly) {
        return CompleteRequest(Irp, STATUS_MEDIA_WRITE_PROTECTED, 0);
    }
    if (!QueueRequest(extension, Irp)) {
        return CompleteRequest(Irp, kDeviceGone, 0);
    }
    return STATUS_PENDING;
}

// Queued behind the writes it must follow, so the worker flushes after serving them.
NTSTATUS DiskFlushBuffers(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    DiskDeviceExtension* extension = DiskExtension(DeviceObject);
    const MediaState state = QueryMediaState(extension);
    if (!state.Ready()) {
        return CompleteRequest(Irp, STATUS_NO_MEDIA_IN_DEVICE, 0);
    }
    if (OpenedOnOtherMedia(state, Irp)) {
        return CompleteRequest(Irp, STATUS_VOLUME_DISMOUNTED, 0);
    }
    if (!QueueRequest(extension, Irp)) {
        return CompleteRequest(Irp, kDeviceGone, 0);
    }
    return STATUS_PENDING;
}

NTSTATUS CreateDiskDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceNumber) {
    WCHAR nameBuffer[VD_DEVICE_NAME_CHARS];
    UNICODE_STRING name;
    FormatDiskDeviceName(DeviceNumber, nameBuffer, &name);

    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(DriverObject, sizeof(DiskDeviceExtension), &name,
                                     FILE_DEVICE_DISK, 0, FALSE, &device);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    device->Flags |= DO_DIRECT_IO;
    DiskDeviceExtension* extension = DiskExtension(device);
    RtlZeroMemory(extension, sizeof(*extension));
    extension->DeviceNumber = DeviceNumber;
    InitializeListHead(&extension->RequestQueue);
    KeInitializeSpinLock(&extension->QueueLock);
    KeInitializeSpinLock(&extension->StateLock);
    KeInitializeEvent(&extension->RequestEvent, SynchronizationEvent, FALSE);

    HANDLE thread = nullptr;
    status = PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
                                  DiskWorkerThread, device);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(device);
        return status;
    }
    status = ObReferenceObjectByHandle(thread, THREAD_ALL_ACCESS, nullptr, KernelMode,
                                       &extension->WorkerThread, nullptr);
    if (!NT_SUCCESS(status)) {
        // The worker still runs on this device: it must be gone before the device is.
        StopWorker(extension);
        ZwWaitForSingleObject(thread, FALSE, nullptr);
        ZwClose(thread);
        IoDeleteDevice(device);
        return status;
    }
    ZwClose(thread);
    return STATUS_SUCCESS;
}

PDEVICE_OBJECT DeleteDiskDevice(PDEVICE_OBJECT DeviceObject) {
    DiskDeviceExtension* extension = DiskExtension(DeviceObject);
    StopWorker(extension);
    KeWaitForSingleObject(extension->WorkerThread, Executive, KernelMode, FALSE, nullptr);
    ObDereferenceObject(extension->WorkerThread);
    extension->WorkerThread = nullptr;
    vdformat::SecureWipeObject(extension->KeySchedule);
    PDEVICE_OBJECT next = DeviceObject->NextDevice;
    IoDeleteDevice(DeviceObject);
    return next;
}
