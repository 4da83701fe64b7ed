// Start-up and unload of lockvol: the device count, the device directory and the devices.
#include "lockvol/disk_device.h"
#include "lockvol/renames.h"

namespace {

constexpr ULONG kDefaultNumberOfDevices = 4;
// Far more than the controller binds; a damaged value must not make start-up create devices and
// worker threads by the billion.
constexpr ULONG kMaximumNumberOfDevices = 64;
constexpr WCHAR kParametersSuffix[] = L"\\Parameters";

// Open while the driver is loaded; being temporary, the directory goes when it is closed.
HANDLE DeviceDirectory = nullptr;

// One direct read of "NumberOfDevices" into `Count`, filled with `Filling` first. The type check
// keeps a string or binary data out of the 32-bit number.
NTSTATUS QueryNumberOfDevices(PCWSTR Path, ULONG Filling, PULONG Count) {
    *Count = Filling;
    RTL_QUERY_REGISTRY_TABLE query[2];
    RtlZeroMemory(query, sizeof(query));
    query[0].Flags =
        RTL_QUERY_REGISTRY_DIRECT | RTL_QUERY_REGISTRY_REQUIRED | RTL_QUERY_REGISTRY_TYPECHECK;
    query[0].Name = const_cast<PWSTR>(L"NumberOfDevices");
    query[0].EntryContext = Count;
    query[0].DefaultType = (REG_DWORD << RTL_QUERY_REGISTRY_TYPECHECK_SHIFT) | REG_NONE;
    return RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, Path, query, nullptr, nullptr);
}

NTSTATUS ReadNumberOfDevices(PUNICODE_STRING RegistryPath, PULONG NumberOfDevices) {
    UNICODE_STRING parameters;
    parameters.Length = 0;
    parameters.MaximumLength =
        static_cast<USHORT>(RegistryPath->Length + sizeof(kParametersSuffix));
    parameters.Buffer = static_cast<PWCH>(
        ExAllocatePoolWithTag(PagedPool, parameters.MaximumLength, LOCKVOL_POOL_TAG));
    if (parameters.Buffer == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlCopyUnicodeString(&parameters, RegistryPath);
    RtlAppendUnicodeToString(&parameters, kParametersSuffix);
    parameters.Buffer[parameters.Length / sizeof(WCHAR)] = 0;

    // A direct read copies a value of up to four bytes as it stands, however short it is. Over
    // two fillings only a whole 32-bit number reads the same; both fillings are also sizes too
    // small for a longer value, which is therefore refused.
    ULONG count = 0;
    ULONG check = 0;
    NTSTATUS status = QueryNumberOfDevices(parameters.Buffer, 0, &count);
    if (NT_SUCCESS(status)) {
        status = QueryNumberOfDevices(parameters.Buffer, MAXULONG, &check);
    }
    *NumberOfDevices = NT_SUCCESS(status) && count == check ? count : kDefaultNumberOfDevices;
    if (*NumberOfDevices > kMaximumNumberOfDevices) {
        *NumberOfDevices = kMaximumNumberOfDevices;
    }
    ExFreePoolWithTag(parameters.Buffer, LOCKVOL_POOL_TAG);
    return STATUS_SUCCESS;
}

NTSTATUS CreateDeviceDirectory() {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"" VD_DEVICE_DIRECTORY_NAME);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_PERMANENT, nullptr, nullptr);
    const NTSTATUS status =
        ZwCreateDirectoryObject(&DeviceDirectory, DIRECTORY_ALL_ACCESS, &attributes);
    if (NT_SUCCESS(status)) {
        ZwMakeTemporaryObject(DeviceDirectory);
    }
    return status;
}

void CloseDeviceDirectory() {
    ZwClose(DeviceDirectory);
    DeviceDirectory = nullptr;
}

VOID LockvolUnload(PDRIVER_OBJECT DriverObject) {
    PDEVICE_OBJECT device = DriverObject->DeviceObject;
    while (device != nullptr) {
        device = DeleteDiskDevice(device);
    }
    CloseDeviceDirectory();
}

}  // namespace

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    ULONG numberOfDevices = 0;
    NTSTATUS status = ReadNumberOfDevices(RegistryPath, &numberOfDevices);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = CreateDeviceDirectory();
    if (!NT_SUCCESS(status)) {
        return status;
    }

    USHORT devicesCreated = 0;
    for (ULONG n = 0; n < numberOfDevices; ++n) {
        status = CreateDiskDevice(DriverObject, n);
        if (NT_SUCCESS(status)) {
            ++devicesCreated;
        }
    }
    if (devicesCreated == 0) {
        CloseDeviceDirectory();
        return status;
    }

    DriverObject->MajorFunction[IRP_MJ_CREATE] = DiskCreateClose;
    DriverObject->MajorFunction[IRP_MJ_CLOSE] = DiskCreateClose;
    DriverObject->MajorFunction[IRP_MJ_READ] = DiskReadWrite;
    DriverObject->MajorFunction[IRP_MJ_WRITE] = DiskReadWrite;
    DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DiskDeviceControl;
    DriverObject->MajorFunction[IRP_MJ_FLUSH_BUFFERS] = DiskFlushBuffers;
    DriverObject->DriverUnload = LockvolUnload;

    StartRenames(RegistryPath);
    return STATUS_SUCCESS;
}
