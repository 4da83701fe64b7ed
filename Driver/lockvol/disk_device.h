// The disk device of lockvol: its extension and the routines the rest of the driver calls.
#pragma once

#include <ntifs.h>

#include "format/key_schedule.h"
#include "lockvol/lockvol_ioctl.h"

#define LOCKVOL_POOL_TAG 0x6C6F764C  // "Lvol" in pool dumps

// Enough for "\Device\Harddisk\VaultDisk" and any 32-bit number.
#define VD_DEVICE_NAME_CHARS 40

struct DiskDeviceExtension {
    BOOLEAN MediaPresent;
    BOOLEAN KeyBlockPresent;
    vdformat::KeySchedule KeySchedule;
    HANDLE FileHandle;
    ANSI_STRING FileName;
    LARGE_INTEGER FileSize;
    BOOLEAN ReadOnly;
    // The caller's security while the worker opens the file it asked for; NULL otherwise.
    PSECURITY_CLIENT_CONTEXT ClientSecurity;
    LIST_ENTRY RequestQueue;
    KSPIN_LOCK QueueLock;  // also guards StopWorker, so nothing is queued after the worker's end
    KEVENT RequestEvent;
    PVOID WorkerThread;
    BOOLEAN StopWorker;
    // Guards the open-file state that dispatch routines read while the worker changes it:
    // MediaPresent, KeyBlockPresent, FileName, FileSize, ReadOnly.
    KSPIN_LOCK StateLock;
    ULONG DeviceNumber;
    // Counts the containers opened on the device; a handle remembers the count it was opened at
    // (in its file object's FsContext2), under StateLock.
    ULONG MediaGeneration;
};

// The disk seen through the device: the file without its header, never negative.
inline LONGLONG DataAreaSize(LONGLONG FileSize) {
    return FileSize > VD_HEADER_SIZE ? FileSize - VD_HEADER_SIZE : 0;
}

// What a dispatch routine sees of the open file, taken under StateLock.
struct MediaState {
    BOOLEAN MediaPresent;
    BOOLEAN KeyBlockPresent;
    BOOLEAN ReadOnly;
    LONGLONG FileSize;
    ULONG Generation;

    bool Ready() const { return MediaPresent && KeyBlockPresent; }
    LONGLONG DataArea() const { return DataAreaSize(FileSize); }
};

inline DiskDeviceExtension* DiskExtension(PDEVICE_OBJECT DeviceObject) {
    return static_cast<DiskDeviceExtension*>(DeviceObject->DeviceExtension);
}

MediaState QueryMediaState(DiskDeviceExtension* Extension);

// A handle opened before the container now open arrived belongs to someone who was never let
// in to it (the disk admitted everybody then): it serves nothing but another open-file.
bool OpenedOnOtherMedia(const MediaState& State, PIRP Irp);
// The handle that opened the container sees it.
void AdmitToCurrentMedia(DiskDeviceExtension* Extension, PIRP Irp);

NTSTATUS CreateDiskDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceNumber);
PDEVICE_OBJECT DeleteDiskDevice(PDEVICE_OBJECT DeviceObject);

// "\Device\Harddisk\VaultDisk<n>" into a buffer of VD_DEVICE_NAME_CHARS characters.
void FormatDiskDeviceName(ULONG DeviceNumber, PWCHAR Buffer, PUNICODE_STRING Name);

NTSTATUS CompleteRequest(PIRP Irp, NTSTATUS Status, ULONG_PTR Information);
// Hands a request to the worker; FALSE when the device is being deleted.
BOOLEAN QueueRequest(DiskDeviceExtension* Extension, PIRP Irp);

// Dispatch routines.
NTSTATUS DiskCreateClose(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS DiskReadWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS DiskDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS DiskFlushBuffers(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// The standard disk and storage requests of a ready device, answered at once.
NTSTATUS AnswerStandardRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp, const MediaState& State);

// While a container is open the disk admits only the user who asked for it and the local
// system; without one it admits everybody.
NTSTATUS RestrictDiskToClient(PDEVICE_OBJECT DeviceObject, PACCESS_TOKEN ClientToken);
void OpenDiskToEveryone(PDEVICE_OBJECT DeviceObject);

// The private requests, in the worker.
NTSTATUS ServeOpenFile(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS ServeCloseFile(DiskDeviceExtension* Extension);
NTSTATUS ServeSetKey(DiskDeviceExtension* Extension, PIRP Irp);
NTSTATUS ServeOpenKey(DiskDeviceExtension* Extension, PIRP Irp);
NTSTATUS ServeChangeKey(DiskDeviceExtension* Extension, PIRP Irp);

// The caller's security, captured with an open-file request and carried by it.
NTSTATUS CaptureClientSecurity(PIRP Irp);
void ReleaseRequestSecurity(PIRP Irp);
