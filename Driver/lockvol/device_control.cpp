// Device control: admission of the private requests and the answers to the standard ones.
#include <ntifs.h>
#include <mountdev.h>
#include <ntddcdrm.h>
#include <ntdddisk.h>
#include <ntddstor.h>

#include "lockvol/disk_device.h"

namespace {

constexpr ULONG kTracksPerCylinder = 2;
constexpr ULONG kSectorsPerTrack = 32;
constexpr int kCylinderShift = 18;  // 2 tracks of 32 sectors of 4096 bytes

struct Buffers {
    PVOID System;
    ULONG InputLength;
    ULONG OutputLength;
};

Buffers RequestBuffers(PIRP Irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    return {Irp->AssociatedIrp.SystemBuffer, stack->Parameters.DeviceIoControl.InputBufferLength,
            stack->Parameters.DeviceIoControl.OutputBufferLength};
}

template <typename Record>
Record* OutputRecord(const Buffers& Io) {
    RtlZeroMemory(Io.System, sizeof(Record));
    return static_cast<Record*>(Io.System);
}

NTSTATUS Answer(PIRP Irp, NTSTATUS Status, ULONG_PTR Information = 0) {
    return CompleteRequest(Irp, Status, Information);
}

NTSTATUS AnswerGeometry(PIRP Irp, const Buffers& Io, const MediaState& State) {
    if (Io.OutputLength < sizeof(DISK_GEOMETRY)) {
        return Answer(Irp, STATUS_BUFFER_TOO_SMALL);
    }
    DISK_GEOMETRY* geometry = OutputRecord<DISK_GEOMETRY>(Io);
    geometry->Cylinders.QuadPart = State.DataArea() >> kCylinderShift;
    geometry->MediaType = FixedMedia;
    geometry->TracksPerCylinder = kTracksPerCylinder;
    geometry->SectorsPerTrack = kSectorsPerTrack;
    geometry->BytesPerSector = VD_SECTOR_SIZE;
    return Answer(Irp, STATUS_SUCCESS, sizeof(DISK_GEOMETRY));
}

NTSTATUS AnswerPartitionInfo(PIRP Irp, const Buffers& Io, const MediaState& State) {
    if (Io.OutputLength < sizeof(PARTITION_INFORMATION)) {
        return Answer(Irp, STATUS_BUFFER_TOO_SMALL);
    }
    PARTITION_INFORMATION* partition = OutputRecord<PARTITION_INFORMATION>(Io);
    partition->PartitionLength.QuadPart = State.DataArea();
    partition->HiddenSectors = 1;
    return Answer(Irp, STATUS_SUCCESS, sizeof(PARTITION_INFORMATION));
}

NTSTATUS AnswerPartitionInfoEx(PIRP Irp, const Buffers& Io, const MediaState& State) {
    if (Io.OutputLength < sizeof(PARTITION_INFORMATION_EX)) {
        return Answer(Irp, STATUS_BUFFER_TOO_SMALL);
    }
    PARTITION_INFORMATION_EX* partition = OutputRecord<PARTITION_INFORMATION_EX>(Io);
    partition->PartitionStyle = PARTITION_STYLE_MBR;
    partition->PartitionLength.QuadPart = State.DataArea();
    partition->Mbr.HiddenSectors = 1;
    return Answer(Irp, STATUS_SUCCESS, sizeof(PARTITION_INFORMATION_EX));
}

NTSTATUS AnswerLengthInfo(PIRP Irp, const Buffers& Io, const MediaState& State) {
    if (Io.OutputLength < sizeof(GET_LENGTH_INFORMATION)) {
        return Answer(Irp, STATUS_BUFFER_TOO_SMALL);
    }
    OutputRecord<GET_LENGTH_INFORMATION>(Io)->Length.QuadPart = State.DataArea();
    return Answer(Irp, STATUS_SUCCESS, sizeof(GET_LENGTH_INFORMATION));
}

NTSTATUS AnswerVerify(PIRP Irp, const Buffers& Io, const MediaState& State) {
    if (Io.InputLength < sizeof(VERIFY_INFORMATION)) {
        return Answer(Irp, STATUS_BUFFER_TOO_SMALL);
    }
    const VERIFY_INFORMATION* verify = static_cast<const VERIFY_INFORMATION*>(Io.System);
    const LONGLONG start = verify->StartingOffset.QuadPart;
    const LONGLONG dataArea = State.DataArea();
    if (start < 0 || start > dataArea || verify->Length > dataArea - start) {
        return Answer(Irp, STATUS_INFO_LENGTH_MISMATCH);
    }
    return Answer(Irp, STATUS_SUCCESS, verify->Length);
}

// One data track, as a CD file system expects to find on any medium it is asked about.
NTSTATUS AnswerTableOfContents(PIRP Irp, const Buffers& Io) {
    if (Io.OutputLength < sizeof(CDROM_TOC)) {
        return Answer(Irp, STATUS_BUFFER_TOO_SMALL);
    }
    CDROM_TOC* toc = OutputRecord<CDROM_TOC>(Io);
    toc->FirstTrack = 1;
    toc->LastTrack = 1;
    toc->TrackData[0].Control = 4;
    return Answer(Irp, STATUS_SUCCESS, sizeof(CDROM_TOC));
}

NTSTATUS AnswerCheckVerify(PDEVICE_OBJECT DeviceObject, PIRP Irp, const Buffers& Io) {
    ULONG_PTR information = 0;
    if (Io.OutputLength >= sizeof(ULONG)) {
        *static_cast<PULONG>(Io.System) = 0;  // the media never changes under an open file
        information = sizeof(ULONG);
    }
    DeviceObject->Flags &= ~DO_VERIFY_VOLUME;
    return Answer(Irp, STATUS_SUCCESS, information);
}

NTSTATUS AnswerHotplugInfo(PIRP Irp, const Buffers& Io) {
    if (Io.OutputLength < sizeof(STORAGE_HOTPLUG_INFO)) {
        return Answer(Irp, STATUS_BUFFER_TOO_SMALL);
    }
    OutputRecord<STORAGE_HOTPLUG_INFO>(Io)->Size = sizeof(STORAGE_HOTPLUG_INFO);
    return Answer(Irp, STATUS_SUCCESS, sizeof(STORAGE_HOTPLUG_INFO));
}

NTSTATUS AnswerDeviceNumber(PIRP Irp, const Buffers& Io) {
    if (Io.OutputLength < sizeof(STORAGE_DEVICE_NUMBER)) {
        return Answer(Irp, STATUS_BUFFER_TOO_SMALL);
    }
    OutputRecord<STORAGE_DEVICE_NUMBER>(Io)->DeviceType = FILE_DEVICE_DISK;
    return Answer(Irp, STATUS_SUCCESS, sizeof(STORAGE_DEVICE_NUMBER));
}

// A 4-byte buffer asks for the length alone; anything else must hold the whole name.
NTSTATUS AnswerDeviceName(PDEVICE_OBJECT DeviceObject, PIRP Irp, const Buffers& Io) {
    WCHAR nameBuffer[VD_DEVICE_NAME_CHARS];
    UNICODE_STRING name;
    FormatDiskDeviceName(DiskExtension(DeviceObject)->DeviceNumber, nameBuffer, &name);
    const ULONG fullLength = FIELD_OFFSET(MOUNTDEV_NAME, Name) + name.Length;
    if (Io.OutputLength != sizeof(MOUNTDEV_NAME) && Io.OutputLength < fullLength) {
        return Answer(Irp, STATUS_BUFFER_TOO_SMALL);
    }
    PMOUNTDEV_NAME answer = static_cast<PMOUNTDEV_NAME>(Io.System);
    answer->NameLength = name.Length;
    if (Io.OutputLength == sizeof(MOUNTDEV_NAME)) {
        return Answer(Irp, STATUS_SUCCESS, sizeof(MOUNTDEV_NAME));
    }
    RtlCopyMemory(answer->Name, name.Buffer, name.Length);
    return Answer(Irp, STATUS_SUCCESS, fullLength);
}

NTSTATUS AnswerQueryFile(DiskDeviceExtension* Extension, PIRP Irp, const Buffers& Io) {
    if (Io.OutputLength != sizeof(VD_OPEN_FILE_INFORMATION)) {
        return Answer(Irp, STATUS_BUFFER_TOO_SMALL);
    }
    PVD_OPEN_FILE_INFORMATION info = OutputRecord<VD_OPEN_FILE_INFORMATION>(Io);
    KIRQL irql;
    KeAcquireSpinLock(&Extension->StateLock, &irql);
    if (!Extension->MediaPresent) {  // a close-file was served meanwhile
        KeReleaseSpinLock(&Extension->StateLock, irql);
        return Answer(Irp, STATUS_NO_MEDIA_IN_DEVICE);
    }
    info->FileSize.QuadPart = DataAreaSize(Extension->FileSize.QuadPart);
    info->ReadOnly = Extension->ReadOnly;
    info->FileNameLength = Extension->FileName.Length;
    RtlCopyMemory(info->FileName, Extension->FileName.Buffer, Extension->FileName.Length);
    KeReleaseSpinLock(&Extension->StateLock, irql);
    return Answer(Irp, STATUS_SUCCESS, sizeof(VD_OPEN_FILE_INFORMATION));
}

NTSTATUS QueueControlRequest(DiskDeviceExtension* Extension, PIRP Irp) {
    if (!QueueRequest(Extension, Irp)) {
        return Answer(Irp, STATUS_DEVICE_DOES_NOT_EXIST);
    }
    return STATUS_PENDING;
}

NTSTATUS QueueOpenFile(DiskDeviceExtension* Extension, PIRP Irp) {
    const NTSTATUS status = CaptureClientSecurity(Irp);
    if (!NT_SUCCESS(status)) {
        return Answer(Irp, status);
    }
    if (!QueueRequest(Extension, Irp)) {
        ReleaseRequestSecurity(Irp);
        return Answer(Irp, STATUS_DEVICE_DOES_NOT_EXIST);
    }
    return STATUS_PENDING;
}

bool AdmittedWithoutKeyBlock(ULONG Code) {
    return Code == IOCTL_VD_SET_KEY || Code == IOCTL_VD_OPEN_KEY || Code == IOCTL_VD_CLOSE_FILE;
}

}  // namespace

NTSTATUS AnswerStandardRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp, const MediaState& State) {
    const Buffers io = RequestBuffers(Irp);
    switch (IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.IoControlCode) {
        case IOCTL_DISK_GET_DRIVE_GEOMETRY:
        case IOCTL_CDROM_GET_DRIVE_GEOMETRY:
            return AnswerGeometry(Irp, io, State);
        case IOCTL_DISK_GET_PARTITION_INFO:
            return AnswerPartitionInfo(Irp, io, State);
        case IOCTL_DISK_GET_PARTITION_INFO_EX:
            return AnswerPartitionInfoEx(Irp, io, State);
        case IOCTL_DISK_GET_LENGTH_INFO:
            return AnswerLengthInfo(Irp, io, State);
        case IOCTL_DISK_VERIFY:
            return AnswerVerify(Irp, io, State);
        case IOCTL_CDROM_READ_TOC:
        case IOCTL_CDROM_GET_LAST_SESSION:
            return AnswerTableOfContents(Irp, io);
        case IOCTL_DISK_CHECK_VERIFY:
        case IOCTL_CDROM_CHECK_VERIFY:
        case IOCTL_STORAGE_CHECK_VERIFY:
        case IOCTL_STORAGE_CHECK_VERIFY2:
            return AnswerCheckVerify(DeviceObject, Irp, io);
        case IOCTL_STORAGE_GET_HOTPLUG_INFO:
            return AnswerHotplugInfo(Irp, io);
        case IOCTL_STORAGE_GET_DEVICE_NUMBER:
            return AnswerDeviceNumber(Irp, io);
        case IOCTL_MOUNTDEV_QUERY_DEVICE_NAME:
            return AnswerDeviceName(DeviceObject, Irp, io);
        case IOCTL_DISK_IS_WRITABLE:
            return Answer(Irp, State.ReadOnly ? STATUS_MEDIA_WRITE_PROTECTED : STATUS_SUCCESS);
        case IOCTL_DISK_MEDIA_REMOVAL:
        case IOCTL_STORAGE_MEDIA_REMOVAL:
            return Answer(Irp, STATUS_SUCCESS);
        case IOCTL_DISK_SET_PARTITION_INFO:
            return Answer(Irp, io.InputLength >= 1 ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER);
        default:
            return Answer(Irp, STATUS_INVALID_DEVICE_REQUEST);
    }
}

// Admission, in order: without media only open-file; without a key block only the key
// requests that can give one, and close-file; then each request by its own rules.
NTSTATUS DiskDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    DiskDeviceExtension* extension = DiskExtension(DeviceObject);
    Irp->IoStatus.Information = 0;
    const Buffers io = RequestBuffers(Irp);
    const ULONG code = IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.IoControlCode;
    const MediaState state = QueryMediaState(extension);

    if (!state.MediaPresent) {
        if (code != IOCTL_VD_OPEN_FILE) {
            return Answer(Irp, STATUS_NO_MEDIA_IN_DEVICE);
        }
        if (io.InputLength != sizeof(VD_OPEN_FILE_INFORMATION)) {
            return Answer(Irp, STATUS_INVALID_PARAMETER);
        }
        return QueueOpenFile(extension, Irp);
    }
    if (code != IOCTL_VD_OPEN_FILE && OpenedOnOtherMedia(state, Irp)) {
        return Answer(Irp, STATUS_VOLUME_DISMOUNTED);
    }
    if (!state.KeyBlockPresent && !AdmittedWithoutKeyBlock(code)) {
        return Answer(Irp, STATUS_NO_MEDIA_IN_DEVICE);
    }
    switch (code) {
        case IOCTL_VD_OPEN_FILE:
            return Answer(Irp, STATUS_INVALID_DEVICE_REQUEST);
        case IOCTL_VD_CLOSE_FILE:
            return QueueControlRequest(extension, Irp);
        case IOCTL_VD_SET_KEY:
            if (io.InputLength != sizeof(VD_SET_KEY_REQUEST)) {
                return Answer(Irp, STATUS_INVALID_PARAMETER);
            }
            return QueueControlRequest(extension, Irp);
        case IOCTL_VD_OPEN_KEY:
            if (io.InputLength != sizeof(VD_OPEN_KEY_REQUEST)) {
                return Answer(Irp, STATUS_INVALID_PARAMETER);
            }
            if (!state.KeyBlockPresent) {
                return Answer(Irp, STATUS_NO_MEDIA_IN_DEVICE);
            }
            return QueueControlRequest(extension, Irp);
        case IOCTL_VD_CHANGE_KEY:
            if (io.InputLength != sizeof(VD_CHANGE_KEY_REQUEST)) {
                return Answer(Irp, STATUS_INVALID_PARAMETER);
            }
            return QueueControlRequest(extension, Irp);
        case IOCTL_VD_QUERY_FILE:
            return AnswerQueryFile(extension, Irp, io);
        default:
            return AnswerStandardRequest(DeviceObject, Irp, state);
    }
}
