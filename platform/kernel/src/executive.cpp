// The executive: events, waits, spin locks, interlocked lists, time, system threads.
#include <linux/futex.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <ctime>

#include "system.h"

namespace hl::kernel {

namespace {

constexpr LONGLONG kTicksPerSecond = 10'000'000;  // 100-nanosecond units
constexpr ULONG kTimeIncrement = 156'250;         // one clock tick: 15.625 ms
constexpr std::int64_t kSecondsFrom1601To1970 = 11'644'473'600LL;

// Thrown by PsTerminateSystemThread, caught where the thread began.
struct ThreadExit {
    NTSTATUS status;
};

thread_local Thread* t_thread = nullptr;
thread_local std::uint64_t t_generation = 0;

// Drops a host thread's kernel object when the host thread ends.
struct ForeignThreadGuard {
    std::uint64_t generation = 0;
    ~ForeignThreadGuard() {
        System* system = CurrentSystem();
        if (generation != 0 && system && system->generation == generation) {
            system->threads.DropForeign(std::this_thread::get_id());
        }
    }
};
thread_local ForeignThreadGuard t_foreignGuard;

// Remaining wait from an NT timeout (negative relative, positive absolute), clamped at zero.
std::optional<std::chrono::nanoseconds> Deadline(const LARGE_INTEGER* timeout,
                                                 std::chrono::steady_clock::time_point start) {
    if (!timeout) {
        return std::nullopt;
    }
    LONGLONG units = timeout->QuadPart;
    if (units > 0) {
        LARGE_INTEGER now;
        KeQuerySystemTime(&now);
        units = now.QuadPart - units;  // negative while the time lies ahead
    }
    auto total = std::chrono::nanoseconds(-units * 100);
    if (total.count() < 0) {
        total = std::chrono::nanoseconds(0);
    }
    auto left = total - (std::chrono::steady_clock::now() - start);
    return left.count() < 0 ? std::chrono::nanoseconds(0) : left;
}

long Futex(std::atomic<std::int32_t>& word, int op, std::int32_t value, const timespec* timeout) {
    return syscall(SYS_futex, reinterpret_cast<std::int32_t*>(&word), op, value, timeout, nullptr,
                   0);
}

void RunSystemThread(Thread* thread) {
    t_thread = thread;
    t_generation = Sys().generation;
    try {
        thread->start(thread->context);
    } catch (const ThreadExit&) {
    }
    if (thread->impersonation) {
        PsRevertToSelf();
    }
    thread->ended.store(1);
    WakeWord(thread->ended, true);
}

}  // namespace

// ---------------------------------------------------------------------------------------------

void FaultSwitch::FailNth(std::uint64_t n, NTSTATUS status) {
    status_ = status;
    calls_ = 0;
    target_ = n;
    mode_ = kNth;
}

void FaultSwitch::FailFrom(std::uint64_t n, NTSTATUS status) {
    status_ = status;
    calls_ = 0;
    target_ = n;
    mode_ = kFrom;
}

void FaultSwitch::Clear() {
    mode_ = kOff;
    calls_ = 0;
}

bool FaultSwitch::ShouldFail() {
    std::uint64_t call = calls_.fetch_add(1) + 1;
    switch (mode_.load()) {
        case kNth:
            return call == target_.load();
        case kFrom:
            return call >= target_.load();
        default:
            return false;
    }
}

std::atomic<std::int32_t>& SignalWord(DISPATCHER_HEADER& header) {
    static_assert(sizeof(std::atomic<std::int32_t>) == sizeof(LONG));
    return *reinterpret_cast<std::atomic<std::int32_t>*>(&header.SignalState);
}

NTSTATUS WaitWord(std::atomic<std::int32_t>& word, bool consume, const LARGE_INTEGER* timeout) {
    const auto start = std::chrono::steady_clock::now();
    for (;;) {
        std::int32_t value = word.load();
        if (value != 0) {
            if (!consume || word.compare_exchange_strong(value, 0)) {
                return STATUS_SUCCESS;
            }
            continue;
        }
        auto left = Deadline(timeout, start);
        if (left && left->count() == 0) {
            return STATUS_TIMEOUT;
        }
        timespec ts{};
        if (left) {
            ts.tv_sec = static_cast<time_t>(left->count() / 1'000'000'000);
            ts.tv_nsec = static_cast<long>(left->count() % 1'000'000'000);
        }
        Futex(word, FUTEX_WAIT_PRIVATE, 0, left ? &ts : nullptr);
    }
}

void WakeWord(std::atomic<std::int32_t>& word, bool all) {
    Futex(word, FUTEX_WAKE_PRIVATE, all ? INT_MAX : 1, nullptr);
}

// ---------------------------------------------------------------------------------------------
// Threads

NTSTATUS ThreadManager::CreateSystemThread(PKSTART_ROUTINE start, PVOID context,
                                           Ref<Thread>& thread) {
    if (Sys().faults.threadCreation.ShouldFail()) {
        return Sys().faults.threadCreation.Status();
    }
    thread = MakeObject<Thread>(true);
    thread->start = start;
    thread->context = context;
    std::lock_guard guard(lock_);
    // Threads that ended and that nobody references any more are reaped here.
    std::erase_if(system_, [](Ref<Thread>& t) {
        if (t->ended.load() && t->RefCount() == 1) {
            t->host.join();
            return true;
        }
        return false;
    });
    try {
        thread->host = std::thread(RunSystemThread, thread.get());
    } catch (const std::system_error&) {
        thread.reset();
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    system_.push_back(thread);
    return STATUS_SUCCESS;
}

Thread* ThreadManager::Current() {
    System& system = Sys();
    if (t_thread && t_generation == system.generation) {
        return t_thread;
    }
    auto thread = MakeObject<Thread>(false);
    {
        std::lock_guard guard(lock_);
        foreign_[std::this_thread::get_id()] = thread;
    }
    t_thread = thread.get();
    t_generation = system.generation;
    t_foreignGuard.generation = system.generation;
    return t_thread;
}

void ThreadManager::DropForeign(std::thread::id id) {
    Ref<Thread> dropped;
    std::lock_guard guard(lock_);
    auto found = foreign_.find(id);
    if (found != foreign_.end()) {
        dropped = std::move(found->second);
        foreign_.erase(found);
    }
}

void ThreadManager::JoinAll() {
    std::vector<Ref<Thread>> threads;
    {
        std::lock_guard guard(lock_);
        threads.swap(system_);
    }
    for (auto& thread : threads) {
        if (!thread->ended.load()) {
            BugCheck("a system thread still runs at shutdown; waiting for it");
        }
        thread->host.join();
    }
    std::lock_guard guard(lock_);
    foreign_.clear();
    if (t_generation == Sys().generation) {
        t_thread = nullptr;
    }
}

std::vector<SystemThreadInfo> ThreadManager::Snapshot() {
    std::lock_guard guard(lock_);
    std::vector<SystemThreadInfo> out;
    for (auto& thread : system_) {
        std::lock_guard threadGuard(thread->lock);
        out.push_back({thread->start, thread->context, thread->priority, thread->priorityRequests,
                       thread->ended.load() == 0});
    }
    return out;
}

std::size_t ThreadManager::RunningIn(const void* begin, const void* end) {
    std::lock_guard guard(lock_);
    std::size_t count = 0;
    for (auto& thread : system_) {
        auto start = reinterpret_cast<const char*>(thread->start);
        if (!thread->ended.load() && start >= static_cast<const char*>(begin) &&
            start < static_cast<const char*>(end)) {
            ++count;
        }
    }
    return count;
}

LONGLONG UnixToNtTime(std::int64_t seconds, std::int64_t nanoseconds) {
    return (seconds + kSecondsFrom1601To1970) * kTicksPerSecond + nanoseconds / 100;
}

}  // namespace hl::kernel

using namespace hl::kernel;

namespace {

Thread* ThreadFrom(const void* pointer) {
    Ref<Object> object = Sys().objects.FromPointer(pointer);
    if (!object || object->kind() != ObjectKind::Thread) {
        return nullptr;
    }
    return static_cast<Thread*>(object.get());  // kept alive by the caller's reference
}

}  // namespace

extern "C" {

// ---------------------------------------------------------------------------------------------
// Events and waits

VOID KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
    Event->Header.Type = static_cast<UCHAR>(Type);
    Event->Header.Size = sizeof(KEVENT) / sizeof(LONG);
    Event->Header.SignalState = State ? 1 : 0;
    InitializeListHead(&Event->Header.WaitListHead);
}

LONG KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait) {
    UNREFERENCED_PARAMETER(Increment);
    UNREFERENCED_PARAMETER(Wait);
    auto& word = SignalWord(Event->Header);
    LONG previous = word.exchange(1);
    WakeWord(word, Event->Header.Type == NotificationEvent);
    return previous;
}

LONG KeResetEvent(PRKEVENT Event) {
    return SignalWord(Event->Header).exchange(0);
}

VOID KeClearEvent(PRKEVENT Event) {
    SignalWord(Event->Header).store(0);
}

LONG KeReadStateEvent(PRKEVENT Event) {
    return SignalWord(Event->Header).load();
}

NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                               BOOLEAN Alertable, PLARGE_INTEGER Timeout) {
    UNREFERENCED_PARAMETER(WaitReason);
    UNREFERENCED_PARAMETER(WaitMode);
    UNREFERENCED_PARAMETER(Alertable);
    Ref<hl::kernel::Object> object = Sys().objects.FromPointer(Object);
    if (object) {
        if (object->kind() != ObjectKind::Thread) {
            BugCheck(std::string("KeWaitForSingleObject on a ") + KindName(object->kind()) +
                     " object, which cannot be waited on");
            return STATUS_INVALID_PARAMETER;
        }
        return WaitWord(static_cast<Thread*>(object.get())->ended, false, Timeout);
    }
    auto* header = static_cast<DISPATCHER_HEADER*>(Object);
    return WaitWord(SignalWord(*header), header->Type == SynchronizationEvent, Timeout);
}

NTSTATUS ZwWaitForSingleObject(HANDLE Handle, BOOLEAN Alertable, PLARGE_INTEGER Timeout) {
    HandleEntry entry;
    NTSTATUS status = Sys().objects.ReferenceHandle(Handle, entry);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (entry.object->kind() != ObjectKind::Thread) {
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    return KeWaitForSingleObject(entry.object.get(), Executive, KernelMode, Alertable, Timeout);
}

NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                PLARGE_INTEGER Interval) {
    UNREFERENCED_PARAMETER(WaitMode);
    UNREFERENCED_PARAMETER(Alertable);
    if (!Interval) {
        return STATUS_INVALID_PARAMETER;
    }
    std::atomic<std::int32_t> never{0};
    WaitWord(never, false, Interval);
    return STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------------------------
// IRQL and spin locks

KIRQL KeGetCurrentIrql(VOID) {
    Thread* thread = Sys().threads.Current();
    std::lock_guard guard(thread->lock);
    return thread->irql;
}

VOID KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql) {
    Thread* thread = Sys().threads.Current();
    std::lock_guard guard(thread->lock);
    if (NewIrql < thread->irql) {
        BugCheck("IRQL_NOT_GREATER_OR_EQUAL: KeRaiseIrql to a lower level");
    }
    *OldIrql = thread->irql;
    thread->irql = NewIrql;
}

VOID KeLowerIrql(KIRQL NewIrql) {
    Thread* thread = Sys().threads.Current();
    std::lock_guard guard(thread->lock);
    if (NewIrql > thread->irql) {
        BugCheck("IRQL_NOT_LESS_OR_EQUAL: KeLowerIrql to a higher level");
    }
    thread->irql = NewIrql;
}

VOID KeInitializeSpinLock(PKSPIN_LOCK SpinLock) {
    *SpinLock = 0;
}

VOID KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) {
    std::atomic_ref<KSPIN_LOCK> lock(*SpinLock);
    for (unsigned spins = 0;; ++spins) {
        KSPIN_LOCK expected = 0;
        if (lock.compare_exchange_weak(expected, 1, std::memory_order_acquire)) {
            return;
        }
        if (spins > 64) {
            sched_yield();
        }
    }
}

VOID KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock) {
    std::atomic_ref<KSPIN_LOCK> lock(*SpinLock);
    if (lock.exchange(0, std::memory_order_release) == 0) {
        BugCheck("SPIN_LOCK_NOT_OWNED: releasing a spin lock that is not held");
    }
}

VOID KeAcquireSpinLock(PKSPIN_LOCK SpinLock, PKIRQL OldIrql) {
    KeAcquireSpinLockAtDpcLevel(SpinLock);
    *OldIrql = PASSIVE_LEVEL;
}

VOID KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
    UNREFERENCED_PARAMETER(NewIrql);
    KeReleaseSpinLockFromDpcLevel(SpinLock);
}

PLIST_ENTRY ExInterlockedInsertTailList(PLIST_ENTRY ListHead, PLIST_ENTRY ListEntry,
                                        PKSPIN_LOCK Lock) {
    KeAcquireSpinLockAtDpcLevel(Lock);
    PLIST_ENTRY previous = IsListEmpty(ListHead) ? nullptr : ListHead->Blink;
    InsertTailList(ListHead, ListEntry);
    KeReleaseSpinLockFromDpcLevel(Lock);
    return previous;
}

PLIST_ENTRY ExInterlockedInsertHeadList(PLIST_ENTRY ListHead, PLIST_ENTRY ListEntry,
                                        PKSPIN_LOCK Lock) {
    KeAcquireSpinLockAtDpcLevel(Lock);
    PLIST_ENTRY previous = IsListEmpty(ListHead) ? nullptr : ListHead->Flink;
    InsertHeadList(ListHead, ListEntry);
    KeReleaseSpinLockFromDpcLevel(Lock);
    return previous;
}

PLIST_ENTRY ExInterlockedRemoveHeadList(PLIST_ENTRY ListHead, PKSPIN_LOCK Lock) {
    KeAcquireSpinLockAtDpcLevel(Lock);
    PLIST_ENTRY entry = IsListEmpty(ListHead) ? nullptr : RemoveHeadList(ListHead);
    KeReleaseSpinLockFromDpcLevel(Lock);
    return entry;
}

// ---------------------------------------------------------------------------------------------
// Time

VOID KeQueryTickCount(PLARGE_INTEGER CurrentCount) {
    auto elapsed = std::chrono::steady_clock::now() - Sys().bootTime;
    auto units = std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count() / 100;
    CurrentCount->QuadPart = units / kTimeIncrement;
}

ULONG KeQueryTimeIncrement(VOID) {
    return kTimeIncrement;
}

VOID KeQuerySystemTime(PLARGE_INTEGER CurrentTime) {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    CurrentTime->QuadPart = UnixToNtTime(now.tv_sec, now.tv_nsec);
}

ULONGLONG KeQueryInterruptTime(VOID) {
    auto elapsed = std::chrono::steady_clock::now() - Sys().bootTime;
    return static_cast<ULONGLONG>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count() / 100);
}

// ---------------------------------------------------------------------------------------------
// System threads

NTSTATUS PsCreateSystemThread(PHANDLE ThreadHandle, ULONG DesiredAccess,
                              POBJECT_ATTRIBUTES ObjectAttributes, HANDLE ProcessHandle,
                              PCLIENT_ID ClientId, PKSTART_ROUTINE StartRoutine,
                              PVOID StartContext) {
    UNREFERENCED_PARAMETER(ObjectAttributes);
    UNREFERENCED_PARAMETER(ProcessHandle);
    if (!ThreadHandle || !StartRoutine) {
        return STATUS_INVALID_PARAMETER;
    }
    Ref<Thread> thread;
    NTSTATUS status = Sys().threads.CreateSystemThread(StartRoutine, StartContext, thread);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (ClientId) {
        ClientId->UniqueProcess = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(4));
        ClientId->UniqueThread = thread.get();
    }
    return Sys().objects.CreateHandle(thread.get(), DesiredAccess, *ThreadHandle);
}

VOID PsTerminateSystemThread(NTSTATUS ExitStatus) {
    Thread* thread = Sys().threads.Current();
    if (!thread->isSystem) {
        BugCheck("PsTerminateSystemThread called outside a system thread");
        std::abort();
    }
    throw ThreadExit{ExitStatus};
}

PKTHREAD KeGetCurrentThread(VOID) {
    return reinterpret_cast<PKTHREAD>(static_cast<hl::kernel::Object*>(Sys().threads.Current()));
}

PETHREAD PsGetCurrentThread(VOID) {
    return reinterpret_cast<PETHREAD>(static_cast<hl::kernel::Object*>(Sys().threads.Current()));
}

HANDLE PsGetCurrentThreadId(VOID) {
    return reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(syscall(SYS_gettid)));
}

HANDLE PsGetCurrentProcessId(VOID) {
    return reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(getpid()));
}

KPRIORITY KeSetPriorityThread(PKTHREAD Thread, KPRIORITY Priority) {
    Ref<hl::kernel::Object> object = Sys().objects.FromPointer(Thread);
    hl::kernel::Thread* thread = ThreadFrom(Thread);
    if (!thread) {
        BugCheck("KeSetPriorityThread on something that is not a thread");
        return 0;
    }
    if (Priority < LOW_PRIORITY || Priority > HIGH_PRIORITY) {
        BugCheck("KeSetPriorityThread with priority " + std::to_string(Priority) +
                 " outside 0..31");
    }
    std::lock_guard guard(thread->lock);
    KPRIORITY previous = thread->priority;
    thread->priority = Priority;
    thread->priorityRequests.push_back(Priority);
    return previous;
}

KPRIORITY KeQueryPriorityThread(PKTHREAD Thread) {
    Ref<hl::kernel::Object> object = Sys().objects.FromPointer(Thread);
    hl::kernel::Thread* thread = ThreadFrom(Thread);
    if (!thread) {
        return 0;
    }
    std::lock_guard guard(thread->lock);
    return thread->priority;
}

}  // extern "C"
