// The kernel's internals: objects and references, the namespace and handles, threads, pool,
// the I/O manager, files, keys and tokens. One System exists per booted kernel.
#pragma once

#include <ntifs.h>
#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "kernel/kernel.h"
#include "registry/store.h"

namespace hl::kernel {

enum class ObjectKind {
    Directory,
    SymbolicLink,
    Device,
    Driver,
    File,
    Key,
    Thread,
    Token,
    HostFolder,
    ShareTable,
    RegistryRoot,
    Event,  // named events: none yet, so no handle is one
};

const char* KindName(ObjectKind kind);

// A kernel object: reference counted (pointers and handles), optionally named in the namespace.
class Object {
public:
    explicit Object(ObjectKind kind);
    virtual ~Object();
    Object(const Object&) = delete;
    Object& operator=(const Object&) = delete;

    ObjectKind kind() const { return kind_; }
    void AddRef() { refs_.fetch_add(1, std::memory_order_relaxed); }
    // Returns the count left; the object is destroyed at zero.
    long Release();
    long RefCount() const { return refs_.load(); }
    // Adds a reference unless the object is already being destroyed.
    bool TryAddRef();

    // Namespace membership, guarded by the namespace lock.
    std::u16string name;
    class Directory* parent = nullptr;
    bool permanent = false;
    std::atomic<long> handleCount{0};

private:
    ObjectKind kind_;
    std::atomic<long> refs_{1};
};

// An owning pointer to an object.
template <class T>
class Ref {
public:
    Ref() = default;
    // Shares: adds a reference.
    Ref(T* p) : p_(p) {  // NOLINT(google-explicit-constructor)
        if (p_) {
            p_->AddRef();
        }
    }
    Ref(const Ref& other) : Ref(other.p_) {}
    Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    template <class U>
    Ref(const Ref<U>& other) : Ref(other.get()) {}  // NOLINT(google-explicit-constructor)
    template <class U>
    Ref(Ref<U>&& other) noexcept : p_(other.Detach()) {}  // NOLINT(google-explicit-constructor)
    ~Ref() { reset(); }
    Ref& operator=(Ref other) noexcept {
        std::swap(p_, other.p_);
        return *this;
    }
    // Takes over a reference the caller already holds.
    static Ref Adopt(T* p) {
        Ref r;
        r.p_ = p;
        return r;
    }
    T* Detach() { return std::exchange(p_, nullptr); }
    void reset() {
        if (T* p = std::exchange(p_, nullptr)) {
            p->Release();
        }
    }
    T* get() const { return p_; }
    T* operator->() const { return p_; }
    T& operator*() const { return *p_; }
    explicit operator bool() const { return p_ != nullptr; }

private:
    T* p_ = nullptr;
};

template <class T, class... Args>
Ref<T> MakeObject(Args&&... args) {
    return Ref<T>::Adopt(new T(std::forward<Args>(args)...));
}

template <class T>
Ref<T> As(const Ref<Object>& object, ObjectKind kind) {
    if (!object || object->kind() != kind) {
        return {};
    }
    return Ref<T>(static_cast<T*>(object.get()));
}

// ---------------------------------------------------------------------------------------------
// Namespace objects

class Directory : public Object {
public:
    Directory() : Object(ObjectKind::Directory) {}
    std::map<std::u16string, Ref<Object>> entries;  // by upper-cased name
};

class SymbolicLink : public Object {
public:
    explicit SymbolicLink(std::u16string linkTarget)
        : Object(ObjectKind::SymbolicLink), target(std::move(linkTarget)) {}
    std::u16string target;
};

// A host folder standing for a volume: paths below it are host files.
class HostFolder : public Object {
public:
    explicit HostFolder(std::filesystem::path folder)
        : Object(ObjectKind::HostFolder), root(std::move(folder)) {}
    std::filesystem::path root;
};

// \Device\Mup: network paths \<server>\<share>\... through a table of host folders.
class ShareTable : public Object {
public:
    ShareTable() : Object(ObjectKind::ShareTable) {}
    std::mutex lock;
    std::map<std::u16string, std::filesystem::path> shares;  // by upper-cased "SERVER\SHARE"
};

class RegistryRoot : public Object {
public:
    RegistryRoot() : Object(ObjectKind::RegistryRoot) {}
};

struct Lookup {
    Ref<Object> object;        // the object found, or a parse object (host folder...)
    std::u16string remaining;  // the path below a parse object, without a leading '\'
    bool trailingSeparator = false;
    Ref<Directory> parent;  // when the last component is missing: where it would go
    std::u16string leaf;
};

struct HandleEntry {
    Ref<Object> object;
    ACCESS_MASK granted = 0;
};

class ObjectManager {
public:
    void Boot();
    void Shutdown();

    // Resolves an absolute name. Links are followed, the final one only when followFinal;
    // the walk stops at the first object that is not a directory.
    NTSTATUS Resolve(std::u16string_view path, bool followFinal, Lookup& out);
    // Names an object; fails with STATUS_OBJECT_NAME_COLLISION when the name is taken.
    NTSTATUS Insert(std::u16string_view path, Object* object, bool permanent);
    // With OBJ_OPENIF semantics: an existing object of the same kind is returned instead.
    NTSTATUS InsertOrOpen(std::u16string_view path, Object* object, bool permanent,
                          Ref<Object>& existing);
    void Remove(Object* object);
    std::u16string FullName(Object* object);

    NTSTATUS CreateHandle(Object* object, ACCESS_MASK granted, HANDLE& handle);
    NTSTATUS ReferenceHandle(HANDLE handle, HandleEntry& entry);
    NTSTATUS CloseHandle(HANDLE handle);
    std::size_t HandleCount();

    void RegisterLive(Object* object);
    void UnregisterLive(Object* object);
    // The live object at this address, referenced; null when there is none.
    Ref<Object> FromPointer(const void* pointer);
    std::size_t LiveCount();

    // The absolute name that OBJECT_ATTRIBUTES give, when relative to a directory object.
    // For other roots `root` receives the root object and `name` the relative name.
    NTSTATUS NameFrom(POBJECT_ATTRIBUTES attributes, Ref<Object>& root, std::u16string& name);

    std::mutex lock;  // the namespace
    Ref<Directory> rootDirectory;

private:
    NTSTATUS ResolveLocked(std::u16string_view path, bool followFinal, Lookup& out);
    void RemoveLocked(Object* object);

    std::mutex handleLock_;
    std::unordered_map<std::uintptr_t, HandleEntry> handles_;
    std::uintptr_t nextHandle_ = 4;
    std::mutex liveLock_;
    std::unordered_set<Object*> live_;
};

// ---------------------------------------------------------------------------------------------
// Security

class Token : public Object {
public:
    Token(CallerIdentity who, TOKEN_TYPE tokenType, SECURITY_IMPERSONATION_LEVEL tokenLevel)
        : Object(ObjectKind::Token), identity(std::move(who)), type(tokenType), level(tokenLevel) {}
    CallerIdentity identity;
    TOKEN_TYPE type;
    SECURITY_IMPERSONATION_LEVEL level;
};

// ---------------------------------------------------------------------------------------------
// Threads

class Thread : public Object {
public:
    explicit Thread(bool systemThread) : Object(ObjectKind::Thread), isSystem(systemThread) {}
    std::atomic<std::int32_t> ended{0};  // futex word: 1 once the thread has ended
    const bool isSystem;
    PKSTART_ROUTINE start = nullptr;
    PVOID context = nullptr;
    std::thread host;

    std::mutex lock;
    KPRIORITY priority = 8;
    std::vector<KPRIORITY> priorityRequests;
    std::optional<CallerIdentity> caller;  // host threads: who their requests are for
    Ref<Token> impersonation;
    bool impersonationBroken = false;  // the host refused the identity: open nothing
    KIRQL irql = PASSIVE_LEVEL;
};

class ThreadManager {
public:
    NTSTATUS CreateSystemThread(PKSTART_ROUTINE start, PVOID context, Ref<Thread>& thread);
    Thread* Current();
    void DropForeign(std::thread::id id);
    void JoinAll();
    std::vector<SystemThreadInfo> Snapshot();
    // System threads still running whose start routine lies in [begin, end).
    std::size_t RunningIn(const void* begin, const void* end);

private:
    std::mutex lock_;
    std::vector<Ref<Thread>> system_;
    std::unordered_map<std::thread::id, Ref<Thread>> foreign_;
};

// The effective identity of the current thread: its impersonation, else its caller, else root.
CallerIdentity EffectiveIdentity(Thread* thread);

// ---------------------------------------------------------------------------------------------
// Pool

class Pool {
public:
    explicit Pool(FaultSwitch& faults) : faults_(faults) {}
    PVOID Allocate(POOL_TYPE type, SIZE_T bytes, ULONG tag);
    void Free(PVOID block, std::optional<ULONG> tag);
    std::size_t Outstanding();
    void ReleaseAll();  // at shutdown; leaks are diagnosed

private:
    struct Block {
        SIZE_T bytes;
        ULONG tag;
        POOL_TYPE type;
    };
    FaultSwitch& faults_;
    std::mutex lock_;
    std::unordered_map<void*, Block> blocks_;
};

// ---------------------------------------------------------------------------------------------
// I/O manager

class DriverObj : public Object {
public:
    DriverObj() : Object(ObjectKind::Driver) {}
    DRIVER_OBJECT object{};
    DRIVER_EXTENSION extension{};
    std::u16string driverName;
    std::u16string serviceName;
    void* module = nullptr;
    std::atomic<bool> unloaded{false};  // no request reaches it any more
    std::atomic<int> dispatching{0};    // host requests inside its dispatch routines
    const void* imageBegin = nullptr;
    const void* imageEnd = nullptr;
};

// An object's owner, group and DACL as copies of their bytes. Without a DACL everyone is
// admitted, as NT admits everyone to an object whose DACL is null.
struct ObjectSecurity {
    std::vector<std::uint8_t> owner;
    std::vector<std::uint8_t> group;
    bool daclPresent = false;
    std::vector<std::uint8_t> dacl;
};

class DeviceObj : public Object {
public:
    DeviceObj() : Object(ObjectKind::Device) {}
    ~DeviceObj() override;
    DEVICE_OBJECT object{};
    void* extension = nullptr;
    Ref<DriverObj> driver;
    std::atomic<bool> deleted{false};
    std::atomic<int> opens{0};
    std::mutex securityLock;
    ObjectSecurity security;
};

DeviceObj* DeviceFromObject(PDEVICE_OBJECT device);
// What a driver object answers for a request kind it does not handle.
NTSTATUS InvalidDeviceRequest(PDEVICE_OBJECT device, PIRP irp);
// GENERIC_* rights as the file rights they stand for.
ACCESS_MASK MapFileAccess(ACCESS_MASK access);
DriverObj* DriverFromObject(PDRIVER_OBJECT driver);

class IoManager {
public:
    IoManager() = default;
    ~IoManager();  // frees what drivers never gave back
    IoManager(const IoManager&) = delete;
    IoManager& operator=(const IoManager&) = delete;
    PIRP AllocateIrp(CCHAR stackSize);
    void FreeIrp(PIRP irp);
    void Complete(PIRP irp, CCHAR boost);
    NTSTATUS Call(PDEVICE_OBJECT device, PIRP irp);
    // Completes the IRPs a vanished driver left in flight.
    void AbandonRequestsOf(PDRIVER_OBJECT driver);
    std::size_t InFlight();

    // A synchronous request from the host: sends the IRP, waits for its completion.
    struct Request {
        UCHAR major = IRP_MJ_READ;
        ULONG length = 0;
        LONGLONG offset = 0;
        ULONG code = 0;
        const void* input = nullptr;
        ULONG inputLength = 0;
        void* output = nullptr;  // the read buffer, or the control output
        ULONG outputLength = 0;
        const void* writeData = nullptr;
    };
    IoResult Send(DeviceObj& device, PFILE_OBJECT file, const Request& request);

private:
    IoResult SendToDriver(DeviceObj& device, PFILE_OBJECT file, const Request& request);

    std::mutex lock_;
    std::unordered_map<PIRP, struct IrpBlock*> irps_;
};

// ---------------------------------------------------------------------------------------------
// Files

class FileObj : public Object {
public:
    FileObj() : Object(ObjectKind::File) {}
    ~FileObj() override;
    int fd = -1;
    dev_t dev = 0;
    ino_t ino = 0;
    bool isDirectory = false;
    ACCESS_MASK granted = 0;
    ULONG shareAccess = 0;
    ULONG options = 0;
    bool shareCounted = false;
    bool deleteOnClose = false;
    std::string hostPath;
    std::mutex positionLock;
    LONGLONG position = 0;
};

// Who has a host file open and how: the share rules of NT, keyed by the host inode.
class FileShares {
public:
    NTSTATUS Check(dev_t dev, ino_t ino, ACCESS_MASK access, ULONG share, bool& counted);
    void Remove(dev_t dev, ino_t ino, ACCESS_MASK access, ULONG share);

private:
    struct State {
        ULONG openCount = 0, readers = 0, writers = 0, deleters = 0;
        ULONG sharedRead = 0, sharedWrite = 0, sharedDelete = 0;
    };
    std::mutex lock_;
    std::map<std::pair<dev_t, ino_t>, State> states_;
};

// ---------------------------------------------------------------------------------------------
// Registry

class KeyObj : public Object {
public:
    explicit KeyObj(registry::KeyPath key) : Object(ObjectKind::Key), path(std::move(key)) {}
    registry::KeyPath path;
};

NTSTATUS FromRegistry(registry::Result result);
registry::Caller RegistryCaller();

// ---------------------------------------------------------------------------------------------
// The system

struct LoadedDriver {
    Ref<DriverObj> driver;
};

class System {
public:
    explicit System(const KernelConfig& config);
    ~System();

    void Diagnose(std::string line);
    std::vector<std::string> Diagnostics();

    KernelConfig config;
    Faults faults;
    Pool pool{faults.pool};
    ObjectManager objects;
    ThreadManager threads;
    IoManager io;
    FileShares fileShares;
    registry::Store* store = nullptr;
    std::uint64_t generation = 0;
    std::chrono::steady_clock::time_point bootTime = std::chrono::steady_clock::now();
    std::vector<gid_t> hostGroups;  // the process's own groups, restored at revert

    std::mutex driverLock;                           // the device lists of driver objects
    std::mutex loaderLock;                           // loading and unloading; guards `drivers`
    std::map<std::u16string, LoadedDriver> drivers;  // by upper-cased service name

private:
    std::mutex diagnosticsLock_;
    std::vector<std::string> diagnostics_;
};

// The booted kernel; a kernel call without one is a fatal error.
System& Sys();
System* CurrentSystem();
void SetCurrentSystem(System* system);

// Driver bugs: recorded, reported on standard error; the call goes on where it can.
void BugCheck(const std::string& what);

// Waits on a futex word until it is non-zero (consuming it when consume). Timeout as in
// KeWaitForSingleObject; STATUS_SUCCESS or STATUS_TIMEOUT.
NTSTATUS WaitWord(std::atomic<std::int32_t>& word, bool consume, const LARGE_INTEGER* timeout);
void WakeWord(std::atomic<std::int32_t>& word, bool all);
std::atomic<std::int32_t>& SignalWord(DISPATCHER_HEADER& header);

// Text helpers over counted strings.
std::u16string ToU16(const UNICODE_STRING* text);
std::u16string ToU16(PCWSTR text);
std::string HexStatus(NTSTATUS status);

// Host identity while a thread impersonates.
bool ApplyHostIdentity(const CallerIdentity& identity);
void RestoreHostIdentity();
// The access an identity is granted to a device by its DACL: STATUS_ACCESS_DENIED when some of
// `desired` (file rights, generic rights mapped) is not granted. The superuser passes always.
NTSTATUS CheckDeviceAccess(DeviceObj& device, const CallerIdentity& identity, ACCESS_MASK desired);

void UnloadAllDrivers();

// Host file services used by the loader.
NTSTATUS ResolveHostPath(std::u16string_view ntPath, std::filesystem::path& hostPath);

// Frees a key handle's object etc. when the last handle goes (files unlink when asked).
LONGLONG UnixToNtTime(std::int64_t seconds, std::int64_t nanoseconds);

}  // namespace hl::kernel
