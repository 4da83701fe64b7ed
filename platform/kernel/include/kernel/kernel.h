// The kernel personality as seen from its host: boot and shutdown, host drives and shares,
// drivers loaded from their service keys, and synchronous requests to devices.
//
// The kernel runs inside the host process. Its NT calls (<ntddk.h>) are free functions that
// reach the one kernel booted at a time; Kernel::Boot fails while another one runs. Everything
// the kernel holds goes away at shutdown, so tests boot a fresh kernel each time.
#pragma once

#include <ntifs.h>

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace registry {
class Store;
}

namespace hl::kernel {

class System;

// Who a request is made for: the host user and groups the client runs as.
struct CallerIdentity {
    std::uint32_t uid = 0;
    std::uint32_t gid = 0;
    std::vector<std::uint32_t> groups;  // supplementary groups
};

// Makes chosen calls fail: the nth call from the moment it is armed (counting from 1), or every
// call from the nth on. Status is what the failing call reports where a call reports one.
class FaultSwitch {
public:
    void FailNth(std::uint64_t n, NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES);
    void FailFrom(std::uint64_t n, NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES);
    void Clear();
    // Counts one call; true when this call is to fail.
    bool ShouldFail();
    // Calls counted since the switch was last armed or cleared.
    std::uint64_t Calls() const { return calls_.load(); }
    NTSTATUS Status() const { return status_.load(); }

private:
    enum Mode { kOff, kNth, kFrom };
    std::atomic<int> mode_{kOff};
    std::atomic<std::uint64_t> target_{0};
    std::atomic<std::uint64_t> calls_{0};
    std::atomic<NTSTATUS> status_{STATUS_INSUFFICIENT_RESOURCES};
};

struct Faults {
    FaultSwitch pool;            // ExAllocatePool* and the Rtl calls that allocate pool
    FaultSwitch mdlMapping;      // MmMapLockedPagesSpecifyCache
    FaultSwitch threadCreation;  // PsCreateSystemThread
    FaultSwitch deviceCreation;  // IoCreateDevice
    FaultSwitch fileRead;        // ZwReadFile (fails with the switch's status)
    FaultSwitch fileWrite;       // ZwWriteFile
    FaultSwitch fileFlush;       // ZwFlushBuffersFile, counted as it reaches fdatasync
    FaultSwitch impersonation;   // SeImpersonateClient(Ex): the thread stays as it was
};

// The outcome of a request: the IRP's final status block and the boost it was completed with.
struct IoResult {
    NTSTATUS status = STATUS_SUCCESS;
    ULONG_PTR information = 0;
    CCHAR priorityBoost = 0;
};

// What the kernel knows about one system thread.
struct SystemThreadInfo {
    PKSTART_ROUTINE startRoutine = nullptr;
    PVOID startContext = nullptr;
    KPRIORITY priority = 0;
    std::vector<KPRIORITY> priorityRequests;  // every KeSetPriorityThread, in order
    bool running = false;
};

// An open device: a file object on a device, made by Kernel::OpenDevice.
class DeviceFile {
public:
    ~DeviceFile();  // sends cleanup and close
    DeviceFile(const DeviceFile&) = delete;
    DeviceFile& operator=(const DeviceFile&) = delete;

    // Read and write at a byte offset; the buffer reaches the driver as its device asks
    // (an MDL for direct I/O, a system buffer for buffered I/O, the buffer itself otherwise).
    IoResult Read(void* buffer, ULONG length, LONGLONG offset);
    IoResult Write(const void* buffer, ULONG length, LONGLONG offset);
    // The input is copied in and the output copied back as the control code's method says.
    IoResult DeviceControl(ULONG code, const void* input, ULONG inputLength, void* output,
                           ULONG outputLength);
    // A flush-buffers request; needs write access, as NtFlushBuffersFile does.
    IoResult Flush();
    PDEVICE_OBJECT Device() const;
    ACCESS_MASK GrantedAccess() const;  // file rights, generic rights mapped

private:
    friend class Kernel;
    struct State;
    explicit DeviceFile(std::unique_ptr<State> state);
    std::unique_ptr<State> state_;
};

struct KernelConfig {
    // The store of the Zw registry services and the service loader; not owned. May be null
    // when no registry is needed (the registry then reports every key missing).
    registry::Store* registry = nullptr;
    // Where \SystemRoot points.
    std::u16string systemRoot = u"\\??\\C:\\WINDOWS";
};

class Kernel {
public:
    // Boots a kernel: the object namespace (\Device, \Driver, \??, \Registry, \SystemRoot).
    static NTSTATUS Boot(const KernelConfig& config, std::unique_ptr<Kernel>& kernel);
    // Shuts down: unloads the drivers, waits for the system threads, frees what is left and
    // diagnoses leaks. Diagnostics stay readable afterwards; the destructor shuts down too.
    void Shutdown();
    ~Kernel();
    Kernel(const Kernel&) = delete;
    Kernel& operator=(const Kernel&) = delete;

    // Host drives and shares: \??\<drive> (e.g. u"C:") becomes a link to a host folder;
    // \??\UNC\<server>\<share> reaches another.
    NTSTATUS MapDrive(std::u16string_view drive, const std::filesystem::path& folder);
    NTSTATUS AddShare(std::u16string_view server, std::u16string_view share,
                      const std::filesystem::path& folder);
    // The host file or folder an NT path names (it need not exist: its parent must).
    NTSTATUS ResolveHostPath(std::u16string_view ntPath, std::filesystem::path& hostPath);

    // The namespace, for inspection.
    bool ObjectExists(std::u16string_view ntName);  // the final link is not followed
    std::optional<std::u16string> SymbolicLinkTarget(std::u16string_view ntName);
    PDEVICE_OBJECT FindDevice(std::u16string_view ntName);  // links are followed
    // The names in a directory (links followed to it), as created; empty when it is none.
    std::vector<std::u16string> DirectoryEntries(std::u16string_view ntName);
    // The names of every named device of a type (FILE_DEVICE_DISK...), in name order.
    std::vector<std::u16string> DeviceNames(DEVICE_TYPE type);

    // Drivers: the service key \Registry\Machine\System\CurrentControlSet\Services\<name>
    // names the image (ImagePath); the loader opens it and calls its DriverEntry.
    NTSTATUS LoadDriver(std::u16string_view serviceName);
    NTSTATUS UnloadDriver(std::u16string_view serviceName);
    PDRIVER_OBJECT FindDriver(std::u16string_view serviceName);

    // Opens a device by name (links are followed), as the calling host thread's caller.
    NTSTATUS OpenDevice(std::u16string_view ntName, ACCESS_MASK access,
                        std::unique_ptr<DeviceFile>& file);
    // The host user and group that own a device, as its driver set them; false when the device
    // has no owner that is a host account.
    bool DeviceOwner(PDEVICE_OBJECT device, CallerIdentity& owner);

    // The caller identity of the calling host thread, used by its requests (a client's
    // security is captured from it); without one a thread acts as root.
    static void SetThreadCaller(const CallerIdentity& caller);
    static void ClearThreadCaller();
    static std::optional<CallerIdentity> ThreadCaller();

    Faults& faults();
    // Driver bugs the kernel caught (double completion, bad pool frees...), one line each.
    std::vector<std::string> Diagnostics() const;
    std::size_t PoolAllocations() const;  // outstanding pool blocks
    std::size_t OpenHandles() const;
    std::size_t PendingRequests() const;  // IRPs allocated and not yet freed
    std::vector<SystemThreadInfo> SystemThreads() const;

    System& system() { return *system_; }

private:
    explicit Kernel(std::unique_ptr<System> system);
    std::unique_ptr<System> system_;
};

// Sets a thread's caller identity for a scope; the one it had before comes back after it.
class ScopedCaller {
public:
    explicit ScopedCaller(const CallerIdentity& caller) : previous_(Kernel::ThreadCaller()) {
        Kernel::SetThreadCaller(caller);
    }
    ~ScopedCaller() {
        if (previous_) {
            Kernel::SetThreadCaller(*previous_);
        } else {
            Kernel::ClearThreadCaller();
        }
    }
    ScopedCaller(const ScopedCaller&) = delete;
    ScopedCaller& operator=(const ScopedCaller&) = delete;

private:
    std::optional<CallerIdentity> previous_;
};

}  // namespace hl::kernel
