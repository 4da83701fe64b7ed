// A small kernel-mode driver for the kernel's own tests, written as NT driver code: one device
// with a request queue served by a worker thread, direct I/O reads and writes, buffered and
// direct device controls, a parameter read from its service key, and one deliberate bug. The
// device is also a small disk whose length and flush requests are counted.
#include "test_driver.h"

#include <ntdddisk.h>
#include <ntddk.h>

namespace {

constexpr ULONG kTag = 0x74736554;  // 'Test'

struct Extension {
    LIST_ENTRY Queue;
    LIST_ENTRY Held;
    KSPIN_LOCK QueueLock;
    KEVENT RequestEvent;
    PVOID Worker;
    BOOLEAN Stop;
    ULONG Magic;
    ULONG WriteSum;
    LONGLONG DiskLength;
    LONG StateRequests;
    LONG Flushes;
};

Extension* ExtensionOf(PDEVICE_OBJECT Device) {
    return static_cast<Extension*>(Device->DeviceExtension);
}

PDEVICE_OBJECT g_device = nullptr;

VOID Serve(PDEVICE_OBJECT Device, PIRP Irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    NTSTATUS status = STATUS_SUCCESS;
    Irp->IoStatus.Information = 0;
    switch (stack->MajorFunction) {
        case IRP_MJ_READ:
        case IRP_MJ_WRITE: {
            auto* buffer = static_cast<UCHAR*>(
                MmGetSystemAddressForMdlSafe(Irp->MdlAddress, NormalPagePriority));
            if (!buffer) {
                status = STATUS_INSUFFICIENT_RESOURCES;
                break;
            }
            const ULONG length = stack->Parameters.Read.Length;
            const LONGLONG offset = stack->Parameters.Read.ByteOffset.QuadPart;
            for (ULONG i = 0; i < length; ++i) {
                if (stack->MajorFunction == IRP_MJ_READ) {
                    buffer[i] = static_cast<UCHAR>((offset + i) & 0xFF);
                } else {
                    ExtensionOf(Device)->WriteSum += buffer[i];
                }
            }
            Irp->IoStatus.Information = length;
            break;
        }
        case IRP_MJ_DEVICE_CONTROL: {
            const ULONG in = stack->Parameters.DeviceIoControl.InputBufferLength;
            const ULONG out = stack->Parameters.DeviceIoControl.OutputBufferLength;
            if (out < in) {
                status = STATUS_BUFFER_TOO_SMALL;
                break;
            }
            // The echo: the system buffer holds the input, which goes back as the output.
            Irp->IoStatus.Information = in;
            break;
        }
        default:
            status = STATUS_DRIVER_INTERNAL_ERROR;
            break;
    }
    Irp->IoStatus.Status = status;
    IoCompleteRequest(Irp, NT_SUCCESS(status) ? IO_DISK_INCREMENT : IO_NO_INCREMENT);
}

VOID Worker(PVOID Context) {
    auto* device = static_cast<PDEVICE_OBJECT>(Context);
    Extension* extension = ExtensionOf(device);
    KeSetPriorityThread(KeGetCurrentThread(), LOW_REALTIME_PRIORITY);
    for (;;) {
        KeWaitForSingleObject(&extension->RequestEvent, Executive, KernelMode, FALSE, nullptr);
        if (extension->Stop) {
            PsTerminateSystemThread(STATUS_SUCCESS);
        }
        PLIST_ENTRY entry;
        while ((entry = ExInterlockedRemoveHeadList(&extension->Queue, &extension->QueueLock))) {
            Serve(device, CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry));
        }
    }
}

NTSTATUS Complete(PIRP Irp, NTSTATUS Status, ULONG_PTR Information) {
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = Information;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

NTSTATUS Queue(PDEVICE_OBJECT Device, PIRP Irp) {
    Extension* extension = ExtensionOf(Device);
    IoMarkIrpPending(Irp);
    ExInterlockedInsertTailList(&extension->Queue, &Irp->Tail.Overlay.ListEntry,
                                &extension->QueueLock);
    KeSetEvent(&extension->RequestEvent, 0, FALSE);
    return STATUS_PENDING;
}

NTSTATUS CreateClose(PDEVICE_OBJECT, PIRP Irp) {
    return Complete(Irp, STATUS_SUCCESS, FILE_OPENED);
}

NTSTATUS ReadWrite(PDEVICE_OBJECT Device, PIRP Irp) {
    if (IoGetCurrentIrpStackLocation(Irp)->Parameters.Read.Length == 0) {
        return Complete(Irp, STATUS_SUCCESS, 0);
    }
    return Queue(Device, Irp);
}

NTSTATUS FlushBuffers(PDEVICE_OBJECT Device, PIRP Irp) {
    InterlockedIncrement(&ExtensionOf(Device)->Flushes);
    return Complete(Irp, STATUS_SUCCESS, 0);
}

NTSTATUS DeviceControl(PDEVICE_OBJECT Device, PIRP Irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    const ULONG in = stack->Parameters.DeviceIoControl.InputBufferLength;
    const ULONG out = stack->Parameters.DeviceIoControl.OutputBufferLength;
    auto* buffer = static_cast<UCHAR*>(Irp->AssociatedIrp.SystemBuffer);
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
        case IOCTL_TEST_REVERSE: {
            if (out < in) {
                return Complete(Irp, STATUS_BUFFER_TOO_SMALL, 0);
            }
            for (ULONG i = 0; i < in / 2; ++i) {
                UCHAR swap = buffer[i];
                buffer[i] = buffer[in - 1 - i];
                buffer[in - 1 - i] = swap;
            }
            return Complete(Irp, STATUS_SUCCESS, in);
        }
        case IOCTL_TEST_PENDING_ECHO:
            return Queue(Device, Irp);
        case IOCTL_TEST_DOUBLE_COMPLETE:
            Irp->IoStatus.Status = STATUS_SUCCESS;
            Irp->IoStatus.Information = 0;
            IoCompleteRequest(Irp, IO_NO_INCREMENT);
            IoCompleteRequest(Irp, IO_NO_INCREMENT);
            return STATUS_SUCCESS;
        case IOCTL_TEST_MAGIC:
            if (out < sizeof(ULONG)) {
                return Complete(Irp, STATUS_BUFFER_TOO_SMALL, 0);
            }
            RtlCopyMemory(buffer, &ExtensionOf(Device)->Magic, sizeof(ULONG));
            return Complete(Irp, STATUS_SUCCESS, sizeof(ULONG));
        case IOCTL_TEST_WRITE_SUM:
            if (out < sizeof(ULONG)) {
                return Complete(Irp, STATUS_BUFFER_TOO_SMALL, 0);
            }
            RtlCopyMemory(buffer, &ExtensionOf(Device)->WriteSum, sizeof(ULONG));
            return Complete(Irp, STATUS_SUCCESS, sizeof(ULONG));
        case IOCTL_TEST_FORGET:
            return STATUS_SUCCESS;
        case IOCTL_DISK_GET_LENGTH_INFO: {
            if (out < sizeof(GET_LENGTH_INFORMATION)) {
                return Complete(Irp, STATUS_BUFFER_TOO_SMALL, 0);
            }
            InterlockedIncrement(&ExtensionOf(Device)->StateRequests);
            auto* length = static_cast<GET_LENGTH_INFORMATION*>(Irp->AssociatedIrp.SystemBuffer);
            length->Length.QuadPart = ExtensionOf(Device)->DiskLength;
            return Complete(Irp, STATUS_SUCCESS, sizeof(GET_LENGTH_INFORMATION));
        }
        case IOCTL_DISK_IS_WRITABLE:
            InterlockedIncrement(&ExtensionOf(Device)->StateRequests);
            return Complete(Irp, STATUS_SUCCESS, 0);
        case IOCTL_TEST_DISK_COUNTS: {
            if (out < sizeof(TEST_DISK_COUNTS)) {
                return Complete(Irp, STATUS_BUFFER_TOO_SMALL, 0);
            }
            TEST_DISK_COUNTS counts;
            counts.StateRequests = static_cast<ULONG>(ExtensionOf(Device)->StateRequests);
            counts.Flushes = static_cast<ULONG>(ExtensionOf(Device)->Flushes);
            RtlCopyMemory(buffer, &counts, sizeof(counts));
            return Complete(Irp, STATUS_SUCCESS, sizeof(counts));
        }
        case IOCTL_TEST_SET_LENGTH:
            if (in < sizeof(LONGLONG)) {
                return Complete(Irp, STATUS_INVALID_PARAMETER, 0);
            }
            RtlCopyMemory(&ExtensionOf(Device)->DiskLength, buffer, sizeof(LONGLONG));
            return Complete(Irp, STATUS_SUCCESS, 0);
        case IOCTL_TEST_HOLD:
            IoMarkIrpPending(Irp);
            ExInterlockedInsertTailList(&ExtensionOf(Device)->Held, &Irp->Tail.Overlay.ListEntry,
                                        &ExtensionOf(Device)->QueueLock);
            return STATUS_PENDING;
        case IOCTL_TEST_FILL_DIRECT: {
            auto* target = static_cast<UCHAR*>(
                MmGetSystemAddressForMdlSafe(Irp->MdlAddress, NormalPagePriority));
            if (!target) {
                return Complete(Irp, STATUS_INSUFFICIENT_RESOURCES, 0);
            }
            RtlFillMemory(target, out, 0xAB);
            return Complete(Irp, STATUS_SUCCESS, out);
        }
        default:
            return Complete(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
}

VOID Unload(PDRIVER_OBJECT) {
    Extension* extension = ExtensionOf(g_device);
    extension->Stop = TRUE;
    KeSetEvent(&extension->RequestEvent, 0, FALSE);
    KeWaitForSingleObject(extension->Worker, Executive, KernelMode, FALSE, nullptr);
    ObDereferenceObject(extension->Worker);
    UNICODE_STRING link;
    RtlInitUnicodeString(&link, TEST_LINK_NAME);
    IoDeleteSymbolicLink(&link);
    IoDeleteDevice(g_device);
    g_device = nullptr;
}

ULONG ReadMagic(PUNICODE_STRING RegistryPath) {
    UNICODE_STRING path;
    path.Length = 0;
    path.MaximumLength = static_cast<USHORT>(RegistryPath->Length + 24);
    path.Buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, path.MaximumLength, kTag));
    if (!path.Buffer) {
        return 0;
    }
    RtlCopyUnicodeString(&path, RegistryPath);
    RtlAppendUnicodeToString(&path, u"\\Parameters");
    ULONG magic = TEST_NO_MAGIC;
    RTL_QUERY_REGISTRY_TABLE query[2];
    RtlZeroMemory(query, sizeof(query));
    query[0].Flags = RTL_QUERY_REGISTRY_DIRECT | RTL_QUERY_REGISTRY_REQUIRED;
    query[0].Name = const_cast<PWSTR>(u"Magic");
    query[0].EntryContext = &magic;
    if (!NT_SUCCESS(
            RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, path.Buffer, query, nullptr, nullptr))) {
        magic = TEST_NO_MAGIC;
    }
    ExFreePoolWithTag(path.Buffer, kTag);
    return magic;
}

}  // namespace

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    UNICODE_STRING name = RTL_CONSTANT_STRING(u"\\Device\\KernelTest0");
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status =
        IoCreateDevice(DriverObject, sizeof(Extension), &name, FILE_DEVICE_DISK, 0, FALSE, &device);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    device->Flags |= DO_DIRECT_IO;
    Extension* extension = ExtensionOf(device);
    extension->Magic = ReadMagic(RegistryPath);
    extension->DiskLength = TEST_DISK_LENGTH;
    InitializeListHead(&extension->Queue);
    InitializeListHead(&extension->Held);
    KeInitializeSpinLock(&extension->QueueLock);
    KeInitializeEvent(&extension->RequestEvent, SynchronizationEvent, FALSE);
    HANDLE thread = nullptr;
    status =
        PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, Worker, device);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(device);
        return status;
    }
    status = ObReferenceObjectByHandle(thread, THREAD_ALL_ACCESS, *PsThreadType, KernelMode,
                                       &extension->Worker, nullptr);
    ZwClose(thread);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(device);
        return status;
    }
    UNICODE_STRING link;
    RtlInitUnicodeString(&link, TEST_LINK_NAME);
    IoCreateSymbolicLink(&link, &name);
    g_device = device;
    DriverObject->MajorFunction[IRP_MJ_CREATE] = CreateClose;
    DriverObject->MajorFunction[IRP_MJ_CLOSE] = CreateClose;
    DriverObject->MajorFunction[IRP_MJ_READ] = ReadWrite;
    DriverObject->MajorFunction[IRP_MJ_WRITE] = ReadWrite;
    DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DeviceControl;
    DriverObject->MajorFunction[IRP_MJ_FLUSH_BUFFERS] = FlushBuffers;
    DriverObject->DriverUnload = Unload;
    return STATUS_SUCCESS;
}
