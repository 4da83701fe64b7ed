// The I/O manager: driver and device objects, IRPs and their completion, MDLs, and the
// synchronous requests the host sends to devices.
#include <cstdlib>

#include "system.h"

namespace hl::kernel {

namespace {

constexpr CCHAR kMaxStack = 8;
constexpr CSHORT kIoTypeDevice = 3;
constexpr CSHORT kIoTypeFile = 5;
constexpr CSHORT kIoTypeIrp = 6;

}  // namespace

// A system buffer holds a copy of what the request carries, passwords and key records included,
// so it is wiped before it is freed.
struct SystemBuffer {
    void* data = nullptr;
    std::size_t size = 0;

    void Allocate(std::size_t bytes) {
        data = bytes ? std::calloc(bytes, 1) : nullptr;
        size = data ? bytes : 0;
    }
    void Release() {
        if (data) {
            RtlSecureZeroMemory(data, size);
            std::free(data);
        }
        data = nullptr;
        size = 0;
    }
};

struct IrpBlock {
    IRP irp;
    IO_STACK_LOCATION stack[kMaxStack];
    std::atomic<std::int32_t> done{0};
    CCHAR boost = 0;
    bool completed = false;        // under the I/O manager's lock
    DriverObj* target = nullptr;   // compared, never followed
    SystemBuffer abandonedBuffer;  // a system buffer the driver may still hold
};

void FreeMdls(PIRP irp) {
    for (PMDL mdl = irp->MdlAddress; mdl;) {
        PMDL following = mdl->Next;
        IoFreeMdl(mdl);
        mdl = following;
    }
    irp->MdlAddress = nullptr;
}

ACCESS_MASK MapFileAccess(ACCESS_MASK access) {
    if (access & GENERIC_READ) {
        access |= FILE_GENERIC_READ;
    }
    if (access & GENERIC_WRITE) {
        access |= FILE_GENERIC_WRITE;
    }
    if (access & GENERIC_EXECUTE) {
        access |= FILE_GENERIC_EXECUTE;
    }
    if (access & (GENERIC_ALL | MAXIMUM_ALLOWED)) {
        access |= FILE_ALL_ACCESS;
    }
    return access &
           ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL | MAXIMUM_ALLOWED);
}

DeviceObj::~DeviceObj() {
    std::free(extension);
}

DeviceObj* DeviceFromObject(PDEVICE_OBJECT device) {
    if (!device) {
        return nullptr;
    }
    Ref<Object> object = Sys().objects.FromPointer(device->DeviceObjectExtension);
    if (!object || object->kind() != ObjectKind::Device ||
        &static_cast<DeviceObj*>(object.get())->object != device) {
        return nullptr;
    }
    return static_cast<DeviceObj*>(object.get());
}

DriverObj* DriverFromObject(PDRIVER_OBJECT driver) {
    if (!driver) {
        return nullptr;
    }
    Ref<Object> object = Sys().objects.FromPointer(driver->DriverSection);
    if (!object || object->kind() != ObjectKind::Driver ||
        &static_cast<DriverObj*>(object.get())->object != driver) {
        return nullptr;
    }
    return static_cast<DriverObj*>(object.get());
}

NTSTATUS InvalidDeviceRequest(PDEVICE_OBJECT device, PIRP irp) {
    UNREFERENCED_PARAMETER(device);
    irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    irp->IoStatus.Information = 0;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

IoManager::~IoManager() {
    for (auto& [irp, block] : irps_) {
        block->abandonedBuffer.Release();
        FreeMdls(irp);
        delete block;
    }
}

PIRP IoManager::AllocateIrp(CCHAR stackSize) {
    if (stackSize < 1 || stackSize > kMaxStack) {
        BugCheck("IoAllocateIrp with a stack size of " + std::to_string(stackSize));
        return nullptr;
    }
    auto* block = new IrpBlock{};
    IRP& irp = block->irp;
    irp.Type = kIoTypeIrp;
    irp.Size = static_cast<USHORT>(sizeof(IRP) + stackSize * sizeof(IO_STACK_LOCATION));
    irp.StackCount = stackSize;
    irp.CurrentLocation = static_cast<CHAR>(stackSize + 1);
    irp.Tail.Overlay.CurrentStackLocation = &block->stack[stackSize];
    InitializeListHead(&irp.ThreadListEntry);
    InitializeListHead(&irp.Tail.Overlay.ListEntry);
    std::lock_guard guard(lock_);
    irps_.emplace(&irp, block);
    return &irp;
}

void IoManager::FreeIrp(PIRP irp) {
    IrpBlock* block = nullptr;
    {
        std::lock_guard guard(lock_);
        auto found = irps_.find(irp);
        if (found == irps_.end()) {
            BugCheck("IoFreeIrp on an IRP that is not allocated");
            return;
        }
        block = found->second;
        irps_.erase(found);
    }
    delete block;
}

void IoManager::Complete(PIRP irp, CCHAR boost) {
    IrpBlock* block = nullptr;
    {
        std::lock_guard guard(lock_);
        auto found = irps_.find(irp);
        if (found == irps_.end()) {
            BugCheck(
                "MULTIPLE_IRP_COMPLETE_REQUESTS: IoCompleteRequest on an IRP that is no "
                "longer allocated (completed twice?)");
            return;
        }
        block = found->second;
        if (block->completed) {
            BugCheck("MULTIPLE_IRP_COMPLETE_REQUESTS: an IRP was completed twice");
            return;
        }
        block->completed = true;
        block->boost = boost;
    }
    if (irp->IoStatus.Status == STATUS_PENDING) {
        BugCheck("IoCompleteRequest with the status STATUS_PENDING");
    }
    const NTSTATUS status = irp->IoStatus.Status;
    while (irp->CurrentLocation <= irp->StackCount) {
        PIO_STACK_LOCATION stack = irp->Tail.Overlay.CurrentStackLocation;
        irp->PendingReturned = (stack->Control & SL_PENDING_RETURNED) != 0;
        const PIO_COMPLETION_ROUTINE routine = stack->CompletionRoutine;
        const UCHAR control = stack->Control;
        PVOID context = stack->Context;
        irp->CurrentLocation++;
        irp->Tail.Overlay.CurrentStackLocation++;
        const bool invoke = routine && ((NT_SUCCESS(status) && (control & SL_INVOKE_ON_SUCCESS)) ||
                                        (!NT_SUCCESS(status) && (control & SL_INVOKE_ON_ERROR)) ||
                                        (irp->Cancel && (control & SL_INVOKE_ON_CANCEL)));
        if (invoke) {
            PDEVICE_OBJECT device = irp->CurrentLocation <= irp->StackCount
                                        ? irp->Tail.Overlay.CurrentStackLocation->DeviceObject
                                        : nullptr;
            if (routine(device, irp, context) == STATUS_MORE_PROCESSING_REQUIRED) {
                std::lock_guard guard(lock_);
                block->completed = false;  // its owner has taken it back
                return;
            }
        } else if (irp->PendingReturned && irp->CurrentLocation <= irp->StackCount) {
            IoMarkIrpPending(irp);
        }
    }
    block->done.store(1);
    WakeWord(block->done, true);
}

NTSTATUS IoManager::Call(PDEVICE_OBJECT device, PIRP irp) {
    DeviceObj* target = DeviceFromObject(device);
    if (!target) {
        BugCheck("IoCallDriver to something that is not a device object");
        return STATUS_INVALID_PARAMETER;
    }
    if (--irp->CurrentLocation <= 0) {
        BugCheck("NO_MORE_IRP_STACK_LOCATIONS: IoCallDriver without a free stack location");
        return STATUS_INVALID_PARAMETER;
    }
    irp->Tail.Overlay.CurrentStackLocation--;
    PIO_STACK_LOCATION stack = irp->Tail.Overlay.CurrentStackLocation;
    stack->DeviceObject = device;
    if (stack->MajorFunction > IRP_MJ_MAXIMUM_FUNCTION) {
        BugCheck("IoCallDriver with an unknown major function");
        return STATUS_INVALID_PARAMETER;
    }
    {
        std::lock_guard guard(lock_);
        auto found = irps_.find(irp);
        if (found != irps_.end()) {
            found->second->target = target->driver.get();
        }
    }
    PDRIVER_DISPATCH dispatch = device->DriverObject->MajorFunction[stack->MajorFunction];
    return (dispatch ? dispatch : InvalidDeviceRequest)(device, irp);
}

void IoManager::AbandonRequestsOf(PDRIVER_OBJECT driver) {
    DriverObj* gone = DriverFromObject(driver);
    std::vector<PIRP> orphans;
    {
        std::lock_guard guard(lock_);
        for (auto& [irp, block] : irps_) {
            if (!block->completed && block->target == gone) {
                orphans.push_back(irp);
            }
        }
    }
    if (!orphans.empty()) {
        BugCheck(std::to_string(orphans.size()) +
                 " requests were never completed by their driver; completed at its unload "
                 "with STATUS_NO_SUCH_DEVICE");
    }
    for (PIRP irp : orphans) {
        irp->IoStatus.Status = STATUS_NO_SUCH_DEVICE;
        irp->IoStatus.Information = 0;
        Complete(irp, IO_NO_INCREMENT);
    }
}

std::size_t IoManager::InFlight() {
    std::lock_guard guard(lock_);
    return irps_.size();
}

IoResult IoManager::Send(DeviceObj& device, PFILE_OBJECT file, const Request& request) {
    // A request never enters a driver that is being unloaded: its image may be gone.
    DriverObj& driver = *device.driver;
    driver.dispatching.fetch_add(1);
    if (driver.unloaded.load()) {
        driver.dispatching.fetch_sub(1);
        return {STATUS_NO_SUCH_DEVICE, 0, 0};
    }
    return SendToDriver(device, file, request);
}

IoResult IoManager::SendToDriver(DeviceObj& device, PFILE_OBJECT file, const Request& request) {
    DEVICE_OBJECT& target = device.object;
    PIRP irp = AllocateIrp(target.StackSize);
    if (!irp) {
        device.driver->dispatching.fetch_sub(1);
        return {STATUS_INSUFFICIENT_RESOURCES, 0, 0};
    }
    IrpBlock* block;
    {
        std::lock_guard guard(lock_);
        block = irps_.at(irp);
    }
    irp->RequestorMode = UserMode;
    irp->Flags = IRP_SYNCHRONOUS_API;
    irp->Tail.Overlay.Thread = PsGetCurrentThread();
    irp->Tail.Overlay.OriginalFileObject = file;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = request.major;
    next->FileObject = file;

    IO_SECURITY_CONTEXT security{};
    SystemBuffer systemBuffer;
    const bool isRead = request.major == IRP_MJ_READ;
    const ULONG method = METHOD_FROM_CTL_CODE(request.code);
    switch (request.major) {
        case IRP_MJ_READ:
        case IRP_MJ_WRITE: {
            next->Parameters.Read.Length = request.length;
            next->Parameters.Read.ByteOffset.QuadPart = request.offset;
            void* buffer = isRead ? request.output : const_cast<void*>(request.writeData);
            if (request.length == 0) {
                break;
            }
            if (target.Flags & DO_BUFFERED_IO) {
                systemBuffer.Allocate(request.length);
                if (!isRead) {
                    std::memcpy(systemBuffer.data, buffer, request.length);
                }
                irp->AssociatedIrp.SystemBuffer = systemBuffer.data;
                irp->Flags |=
                    IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER | (isRead ? IRP_INPUT_OPERATION : 0);
            } else if (target.Flags & DO_DIRECT_IO) {
                PMDL mdl = IoAllocateMdl(buffer, request.length, FALSE, FALSE, irp);
                MmProbeAndLockPages(mdl, UserMode, isRead ? IoWriteAccess : IoReadAccess);
            } else {
                irp->UserBuffer = buffer;
            }
            break;
        }
        case IRP_MJ_DEVICE_CONTROL:
        case IRP_MJ_INTERNAL_DEVICE_CONTROL: {
            next->Parameters.DeviceIoControl.IoControlCode = request.code;
            next->Parameters.DeviceIoControl.InputBufferLength = request.inputLength;
            next->Parameters.DeviceIoControl.OutputBufferLength = request.outputLength;
            if (method == METHOD_BUFFERED) {
                const ULONG size = std::max(request.inputLength, request.outputLength);
                systemBuffer.Allocate(size);
                if (request.inputLength) {
                    std::memcpy(systemBuffer.data, request.input, request.inputLength);
                }
                irp->UserBuffer = request.output;
            } else if (method == METHOD_NEITHER) {
                next->Parameters.DeviceIoControl.Type3InputBuffer =
                    const_cast<void*>(request.input);
                irp->UserBuffer = request.output;
            } else {
                if (request.inputLength) {
                    systemBuffer.Allocate(request.inputLength);
                    std::memcpy(systemBuffer.data, request.input, request.inputLength);
                }
                if (request.outputLength) {
                    PMDL mdl =
                        IoAllocateMdl(request.output, request.outputLength, FALSE, FALSE, irp);
                    MmProbeAndLockPages(mdl, UserMode,
                                        method == METHOD_OUT_DIRECT ? IoWriteAccess : IoReadAccess);
                }
            }
            irp->AssociatedIrp.SystemBuffer = systemBuffer.data;
            break;
        }
        case IRP_MJ_CREATE:
            security.DesiredAccess = request.code;
            next->Parameters.Create.SecurityContext = &security;
            next->Parameters.Create.Options = static_cast<ULONG>(FILE_OPEN) << 24;
            next->Parameters.Create.ShareAccess = FILE_SHARE_READ | FILE_SHARE_WRITE;
            break;
        default:
            break;
    }

    const NTSTATUS returned = Call(&target, irp);
    device.driver->dispatching.fetch_sub(1);
    bool completed;
    {
        std::lock_guard guard(lock_);
        completed = block->completed;
    }
    if (returned == STATUS_PENDING) {
        WaitWord(block->done, false, nullptr);
        if (!irp->PendingReturned) {
            BugCheck("a dispatch routine returned STATUS_PENDING without IoMarkIrpPending");
        }
    } else if (!completed) {
        BugCheck("a dispatch routine returned " + HexStatus(returned) +
                 " without completing the IRP; the IRP is abandoned");
        block->abandonedBuffer = systemBuffer;
        return {STATUS_DRIVER_INTERNAL_ERROR, 0, 0};
    } else {
        WaitWord(block->done, false, nullptr);  // completion routines have finished
        if (returned != irp->IoStatus.Status) {
            BugCheck("a dispatch routine returned " + HexStatus(returned) +
                     " but completed the IRP with " + HexStatus(irp->IoStatus.Status));
        }
    }

    IoResult result{irp->IoStatus.Status, irp->IoStatus.Information, block->boost};
    if (!NT_ERROR(result.status) && systemBuffer.data) {
        ULONG room = 0;
        if (request.major == IRP_MJ_READ) {
            room = request.length;
        } else if (request.major == IRP_MJ_DEVICE_CONTROL && method == METHOD_BUFFERED) {
            room = request.outputLength;
        }
        ULONG_PTR copy = result.information;
        if (room && copy > room) {
            BugCheck("a request's information count exceeds its output buffer");
            copy = room;
        }
        if (room && copy) {
            std::memcpy(request.output, systemBuffer.data, copy);
        }
    }
    systemBuffer.Release();
    FreeMdls(irp);
    FreeIrp(irp);
    return result;
}

// ---------------------------------------------------------------------------------------------
// The host's handle on a device

struct DeviceFile::State {
    Ref<DeviceObj> device;
    FILE_OBJECT file{};
    ACCESS_MASK granted = 0;
    std::u16string fileName;
};

DeviceFile::DeviceFile(std::unique_ptr<State> state) : state_(std::move(state)) {}

DeviceFile::~DeviceFile() {
    IoManager::Request request;
    request.major = IRP_MJ_CLEANUP;
    Sys().io.Send(*state_->device, &state_->file, request);
    request.major = IRP_MJ_CLOSE;
    Sys().io.Send(*state_->device, &state_->file, request);
    state_->device->opens.fetch_sub(1);
}

PDEVICE_OBJECT DeviceFile::Device() const {
    return &state_->device->object;
}

ACCESS_MASK DeviceFile::GrantedAccess() const {
    return state_->granted;
}

IoResult DeviceFile::Read(void* buffer, ULONG length, LONGLONG offset) {
    if (!(state_->granted & FILE_READ_DATA)) {
        return {STATUS_ACCESS_DENIED, 0, 0};
    }
    IoManager::Request request;
    request.major = IRP_MJ_READ;
    request.output = buffer;
    request.length = length;
    request.offset = offset;
    return Sys().io.Send(*state_->device, &state_->file, request);
}

IoResult DeviceFile::Write(const void* buffer, ULONG length, LONGLONG offset) {
    if (!(state_->granted & (FILE_WRITE_DATA | FILE_APPEND_DATA))) {
        return {STATUS_ACCESS_DENIED, 0, 0};
    }
    IoManager::Request request;
    request.major = IRP_MJ_WRITE;
    request.writeData = buffer;
    request.length = length;
    request.offset = offset;
    return Sys().io.Send(*state_->device, &state_->file, request);
}

IoResult DeviceFile::Flush() {
    if (!(state_->granted & (FILE_WRITE_DATA | FILE_APPEND_DATA))) {
        return {STATUS_ACCESS_DENIED, 0, 0};
    }
    IoManager::Request request;
    request.major = IRP_MJ_FLUSH_BUFFERS;
    return Sys().io.Send(*state_->device, &state_->file, request);
}

IoResult DeviceFile::DeviceControl(ULONG code, const void* input, ULONG inputLength, void* output,
                                   ULONG outputLength) {
    const ULONG required = (code >> 14) & 3;
    if (((required & FILE_READ_ACCESS) && !(state_->granted & FILE_READ_DATA)) ||
        ((required & FILE_WRITE_ACCESS) && !(state_->granted & FILE_WRITE_DATA))) {
        return {STATUS_ACCESS_DENIED, 0, 0};
    }
    if ((inputLength && !input) || (outputLength && !output)) {
        return {STATUS_INVALID_PARAMETER, 0, 0};
    }
    IoManager::Request request;
    request.major = IRP_MJ_DEVICE_CONTROL;
    request.code = code;
    request.input = input;
    request.inputLength = inputLength;
    request.output = output;
    request.outputLength = outputLength;
    return Sys().io.Send(*state_->device, &state_->file, request);
}

NTSTATUS Kernel::OpenDevice(std::u16string_view ntName, ACCESS_MASK access,
                            std::unique_ptr<DeviceFile>& file) {
    Lookup found;
    NTSTATUS status = system_->objects.Resolve(ntName, true, found);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    Ref<DeviceObj> device = As<DeviceObj>(found.object, ObjectKind::Device);
    if (!device) {
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    if (device->deleted.load() || (device->object.Flags & DO_DEVICE_INITIALIZING)) {
        return STATUS_NO_SUCH_DEVICE;
    }
    if ((device->object.Flags & DO_EXCLUSIVE) && device->opens.load() > 0) {
        return STATUS_ACCESS_DENIED;
    }
    status = CheckDeviceAccess(*device, EffectiveIdentity(system_->threads.Current()), access);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    auto state = std::make_unique<DeviceFile::State>();
    state->device = device;
    state->granted = MapFileAccess(access);
    state->fileName = found.remaining;
    FILE_OBJECT& object = state->file;
    object.Type = kIoTypeFile;
    object.Size = sizeof(FILE_OBJECT);
    object.DeviceObject = &device->object;
    object.ReadAccess = (state->granted & FILE_READ_DATA) != 0;
    object.WriteAccess = (state->granted & (FILE_WRITE_DATA | FILE_APPEND_DATA)) != 0;
    object.FileName.Buffer = state->fileName.data();
    object.FileName.Length = static_cast<USHORT>(state->fileName.size() * sizeof(WCHAR));
    object.FileName.MaximumLength = object.FileName.Length;

    IoManager::Request request;
    request.major = IRP_MJ_CREATE;
    request.code = state->granted;
    IoResult result = system_->io.Send(*device, &object, request);
    if (!NT_SUCCESS(result.status)) {
        return result.status;
    }
    device->opens.fetch_add(1);
    file.reset(new DeviceFile(std::move(state)));
    return result.status;
}

}  // namespace hl::kernel

using namespace hl::kernel;

extern "C" {

NTSTATUS IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                        PUNICODE_STRING DeviceName, DEVICE_TYPE DeviceType,
                        ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                        PDEVICE_OBJECT* DeviceObject) {
    if (!DeviceObject) {
        return STATUS_INVALID_PARAMETER;
    }
    *DeviceObject = nullptr;
    DriverObj* driver = DriverFromObject(DriverObject);
    if (!driver) {
        BugCheck("IoCreateDevice with something that is not a driver object");
        return STATUS_INVALID_PARAMETER;
    }
    if (Sys().faults.deviceCreation.ShouldFail()) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    auto device = MakeObject<DeviceObj>();
    device->driver = Ref<DriverObj>(driver);
    if (DeviceExtensionSize) {
        const SIZE_T rounded = (DeviceExtensionSize + 15) / 16 * 16;
        device->extension = std::aligned_alloc(16, rounded);
        if (!device->extension) {
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        std::memset(device->extension, 0, rounded);
    }
    DEVICE_OBJECT& object = device->object;
    object.Type = kIoTypeDevice;
    object.Size = static_cast<USHORT>(sizeof(DEVICE_OBJECT) + DeviceExtensionSize);
    object.DriverObject = DriverObject;
    object.Flags = DO_DEVICE_INITIALIZING | (Exclusive ? DO_EXCLUSIVE : 0) |
                   (DeviceName ? DO_DEVICE_HAS_NAME : 0);
    object.Characteristics = DeviceCharacteristics;
    object.DeviceType = DeviceType;
    object.StackSize = 1;
    object.AlignmentRequirement = FILE_BYTE_ALIGNMENT;
    object.SectorSize = (DeviceType == FILE_DEVICE_DISK || DeviceType == FILE_DEVICE_VIRTUAL_DISK)
                            ? 512
                            : (DeviceType == FILE_DEVICE_CD_ROM ? 2048 : 0);
    object.DeviceExtension = device->extension;
    object.DeviceObjectExtension = static_cast<hl::kernel::Object*>(device.get());
    KeInitializeEvent(&object.DeviceLock, SynchronizationEvent, TRUE);
    if (DeviceName) {
        NTSTATUS status = Sys().objects.Insert(ToU16(DeviceName), device.get(), true);
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }
    {
        std::lock_guard guard(Sys().driverLock);
        object.NextDevice = DriverObject->DeviceObject;
        DriverObject->DeviceObject = &object;
    }
    *DeviceObject = &object;
    device.Detach();  // the driver's device list holds it until IoDeleteDevice
    return STATUS_SUCCESS;
}

VOID IoDeleteDevice(PDEVICE_OBJECT DeviceObject) {
    DeviceObj* device = DeviceFromObject(DeviceObject);
    if (!device) {
        BugCheck("IoDeleteDevice on something that is not a device object (deleted twice?)");
        return;
    }
    if (device->deleted.exchange(true)) {
        BugCheck("IoDeleteDevice on a device that was already deleted");
        return;
    }
    {
        std::lock_guard guard(Sys().driverLock);
        PDEVICE_OBJECT* link = &DeviceObject->DriverObject->DeviceObject;
        while (*link && *link != DeviceObject) {
            link = &(*link)->NextDevice;
        }
        if (*link) {
            *link = DeviceObject->NextDevice;
        }
    }
    Sys().objects.Remove(device);
    device->Release();
}

NTSTATUS IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    return Sys().io.Call(DeviceObject, Irp);
}

VOID IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost) {
    Sys().io.Complete(Irp, PriorityBoost);
}

PIRP IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota) {
    UNREFERENCED_PARAMETER(ChargeQuota);
    return Sys().io.AllocateIrp(StackSize);
}

VOID IoFreeIrp(PIRP Irp) {
    Sys().io.FreeIrp(Irp);
}

PMDL IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer, BOOLEAN ChargeQuota,
                   PIRP Irp) {
    UNREFERENCED_PARAMETER(ChargeQuota);
    const auto address = reinterpret_cast<ULONG_PTR>(VirtualAddress);
    const ULONG_PTR offset = address & (PAGE_SIZE - 1);
    const ULONG_PTR pages = (offset + Length + PAGE_SIZE - 1) / PAGE_SIZE;
    const SIZE_T size = sizeof(MDL) + pages * sizeof(ULONG_PTR);
    auto* mdl = static_cast<PMDL>(std::calloc(1, size));
    if (!mdl) {
        return nullptr;
    }
    mdl->Size = static_cast<CSHORT>(size);
    mdl->StartVa = reinterpret_cast<PVOID>(address - offset);
    mdl->ByteOffset = static_cast<ULONG>(offset);
    mdl->ByteCount = Length;
    if (Irp) {
        if (!SecondaryBuffer || !Irp->MdlAddress) {
            Irp->MdlAddress = mdl;
        } else {
            PMDL last = Irp->MdlAddress;
            while (last->Next) {
                last = last->Next;
            }
            last->Next = mdl;
        }
    }
    return mdl;
}

VOID IoFreeMdl(PMDL Mdl) {
    std::free(Mdl);
}

VOID MmBuildMdlForNonPagedPool(PMDL MemoryDescriptorList) {
    MemoryDescriptorList->MappedSystemVa = MmGetMdlVirtualAddress(MemoryDescriptorList);
    MemoryDescriptorList->MdlFlags |= MDL_SOURCE_IS_NONPAGED_POOL;
}

VOID MmProbeAndLockPages(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode,
                         LOCK_OPERATION Operation) {
    UNREFERENCED_PARAMETER(AccessMode);
    MemoryDescriptorList->MdlFlags |= MDL_PAGES_LOCKED;
    if (Operation != IoReadAccess) {
        MemoryDescriptorList->MdlFlags |= MDL_WRITE_OPERATION;
    }
}

VOID MmUnlockPages(PMDL MemoryDescriptorList) {
    MemoryDescriptorList->MdlFlags &= ~(MDL_PAGES_LOCKED | MDL_MAPPED_TO_SYSTEM_VA);
}

PVOID MmMapLockedPagesSpecifyCache(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode,
                                   MEMORY_CACHING_TYPE CacheType, PVOID RequestedAddress,
                                   ULONG BugCheckOnFailure, ULONG Priority) {
    UNREFERENCED_PARAMETER(AccessMode);
    UNREFERENCED_PARAMETER(CacheType);
    UNREFERENCED_PARAMETER(RequestedAddress);
    UNREFERENCED_PARAMETER(BugCheckOnFailure);
    UNREFERENCED_PARAMETER(Priority);
    if (!(MemoryDescriptorList->MdlFlags & (MDL_PAGES_LOCKED | MDL_SOURCE_IS_NONPAGED_POOL))) {
        BugCheck("MmMapLockedPagesSpecifyCache on an MDL whose pages are not locked");
        return nullptr;
    }
    if (Sys().faults.mdlMapping.ShouldFail()) {
        return nullptr;
    }
    MemoryDescriptorList->MappedSystemVa = MmGetMdlVirtualAddress(MemoryDescriptorList);
    MemoryDescriptorList->MdlFlags |= MDL_MAPPED_TO_SYSTEM_VA;
    return MemoryDescriptorList->MappedSystemVa;
}

VOID MmUnmapLockedPages(PVOID BaseAddress, PMDL MemoryDescriptorList) {
    UNREFERENCED_PARAMETER(BaseAddress);
    MemoryDescriptorList->MdlFlags &= ~MDL_MAPPED_TO_SYSTEM_VA;
}

}  // extern "C"
