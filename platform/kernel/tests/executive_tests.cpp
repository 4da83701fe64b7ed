// Events, system threads, interlocked lists, spin locks and pool fault injection.
#include <atomic>
#include <ctime>
#include <thread>
#include <vector>

#include "kernel_fixture.h"

namespace hl::kernel::testing {
namespace {

using ExecutiveTest = KernelTest;

LARGE_INTEGER NoWait() {
    LARGE_INTEGER zero;
    zero.QuadPart = 0;
    return zero;
}

TEST_F(ExecutiveTest, SynchronizationEventReleasesOneWaiterAndResets) {
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    LARGE_INTEGER zero = NoWait();
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);

    std::atomic<int> woken{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 2; ++i) {
        waiters.emplace_back([&] {
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
            woken++;
        });
    }
    KeSetEvent(&event, 0, FALSE);
    while (woken.load() == 0) {
        std::this_thread::yield();
    }
    EXPECT_EQ(KeReadStateEvent(&event), 0);  // the release consumed the signal
    KeSetEvent(&event, 0, FALSE);
    for (auto& waiter : waiters) {
        waiter.join();
    }
    EXPECT_EQ(woken.load(), 2);
    EXPECT_EQ(KeReadStateEvent(&event), 0);
}

TEST_F(ExecutiveTest, NotificationEventStaysSignalledUntilCleared) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    std::vector<std::thread> waiters;
    std::atomic<int> woken{0};
    for (int i = 0; i < 3; ++i) {
        waiters.emplace_back([&] {
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
            woken++;
        });
    }
    EXPECT_EQ(KeSetEvent(&event, 0, FALSE), 0);
    for (auto& waiter : waiters) {
        waiter.join();
    }
    EXPECT_EQ(woken.load(), 3);
    LARGE_INTEGER zero = NoWait();
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
    KeClearEvent(&event);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
}

struct ThreadProbe {
    KEVENT go;
    std::atomic<bool> pastTermination{false};
    std::atomic<KPRIORITY> previous{0};
};

VOID ProbeThread(PVOID context) {
    auto* probe = static_cast<ThreadProbe*>(context);
    probe->previous = KeSetPriorityThread(KeGetCurrentThread(), LOW_REALTIME_PRIORITY);
    KeWaitForSingleObject(&probe->go, Executive, KernelMode, FALSE, nullptr);
    PsTerminateSystemThread(STATUS_SUCCESS);
    probe->pastTermination = true;
}

TEST_F(ExecutiveTest, SystemThreadRunsRecordsPriorityAndEndsAtTermination) {
    ThreadProbe probe;
    KeInitializeEvent(&probe.go, NotificationEvent, FALSE);
    HANDLE handle = nullptr;
    ASSERT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
                                   ProbeThread, &probe),
              STATUS_SUCCESS);
    PVOID thread = nullptr;
    PVOID wrongType = nullptr;
    EXPECT_EQ(ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, *IoFileObjectType, KernelMode,
                                        &wrongType, nullptr),
              STATUS_OBJECT_TYPE_MISMATCH);
    ASSERT_EQ(ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, *PsThreadType, KernelMode,
                                        &thread, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(handle), STATUS_INVALID_HANDLE);

    LARGE_INTEGER zero = NoWait();
    EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
    KeSetEvent(&probe.go, 0, FALSE);
    EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    ObDereferenceObject(thread);

    EXPECT_FALSE(probe.pastTermination.load());
    EXPECT_EQ(probe.previous.load(), 8);
    auto threads = kernel_->SystemThreads();
    ASSERT_EQ(threads.size(), 1u);
    EXPECT_EQ(threads[0].startContext, &probe);
    EXPECT_EQ(threads[0].priority, LOW_REALTIME_PRIORITY);
    EXPECT_EQ(threads[0].priorityRequests, std::vector<KPRIORITY>{LOW_REALTIME_PRIORITY});
    EXPECT_FALSE(threads[0].running);
    EXPECT_TRUE(kernel_->Diagnostics().empty());
}

TEST_F(ExecutiveTest, ThreadCreationFaultIsReported) {
    kernel_->faults().threadCreation.FailNth(1);
    HANDLE handle = nullptr;
    EXPECT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
                                   ProbeThread, nullptr),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_TRUE(kernel_->SystemThreads().empty());
}

struct Item {
    LIST_ENTRY link;
    int value;
};

TEST_F(ExecutiveTest, InterlockedListsAreFifoAndReportEmptiness) {
    LIST_ENTRY head;
    KSPIN_LOCK lock;
    InitializeListHead(&head);
    KeInitializeSpinLock(&lock);
    EXPECT_EQ(ExInterlockedRemoveHeadList(&head, &lock), nullptr);
    Item a{{}, 1}, b{{}, 2};
    EXPECT_EQ(ExInterlockedInsertTailList(&head, &a.link, &lock), nullptr);
    EXPECT_EQ(ExInterlockedInsertTailList(&head, &b.link, &lock), &a.link);
    EXPECT_EQ(CONTAINING_RECORD(ExInterlockedRemoveHeadList(&head, &lock), Item, link)->value, 1);
    EXPECT_EQ(CONTAINING_RECORD(ExInterlockedRemoveHeadList(&head, &lock), Item, link)->value, 2);
    EXPECT_TRUE(IsListEmpty(&head));
}

TEST_F(ExecutiveTest, SpinLockGuardedListLosesNothingUnderContention) {
    constexpr int kThreads = 4;
    constexpr int kItems = 2000;
    LIST_ENTRY head;
    KSPIN_LOCK lock;
    InitializeListHead(&head);
    KeInitializeSpinLock(&lock);
    std::vector<Item> items(kThreads * kItems);
    std::vector<std::thread> producers;
    for (int t = 0; t < kThreads; ++t) {
        producers.emplace_back([&, t] {
            for (int i = 0; i < kItems; ++i) {
                Item& item = items[t * kItems + i];
                item.value = i;
                ExInterlockedInsertTailList(&head, &item.link, &lock);
            }
        });
    }
    int taken = 0;
    std::vector<int> lastSeen(kThreads, -1);
    while (taken < kThreads * kItems) {
        if (PLIST_ENTRY entry = ExInterlockedRemoveHeadList(&head, &lock)) {
            Item* item = CONTAINING_RECORD(entry, Item, link);
            const auto producer = (item - items.data()) / kItems;
            EXPECT_GT(item->value, lastSeen[producer]);  // each producer's order is kept
            lastSeen[producer] = item->value;
            ++taken;
        }
    }
    for (auto& producer : producers) {
        producer.join();
    }
    EXPECT_TRUE(IsListEmpty(&head));
}

TEST_F(ExecutiveTest, PoolFaultInjectionFailsTheChosenAllocations) {
    struct Case {
        bool from;
        std::uint64_t n;
        std::vector<bool> succeeds;
    };
    const Case cases[] = {
        {false, 3, {true, true, false, true, true}},
        {true, 2, {true, false, false, false, false}},
        {false, 1, {false, true, true, true, true}},
    };
    for (const Case& c : cases) {
        if (c.from) {
            kernel_->faults().pool.FailFrom(c.n);
        } else {
            kernel_->faults().pool.FailNth(c.n);
        }
        for (std::size_t i = 0; i < c.succeeds.size(); ++i) {
            PVOID block = ExAllocatePoolWithTag(i % 2 ? PagedPool : NonPagedPool, 64, 0x54736554u);
            EXPECT_EQ(block != nullptr, c.succeeds[i]) << "allocation " << i + 1;
            if (block) {
                ExFreePoolWithTag(block, 0x54736554u);
            }
        }
        kernel_->faults().pool.Clear();
    }
    EXPECT_EQ(kernel_->PoolAllocations(), 0u);
}

TEST_F(ExecutiveTest, PoolBlocksAreAlignedAndBadFreesDiagnosed) {
    auto* page = static_cast<UCHAR*>(ExAllocatePool(PagedPool, 8192));
    auto* small = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPool, 24, 0x6C6C6D53u));
    ASSERT_NE(page, nullptr);
    ASSERT_NE(small, nullptr);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(page) % PAGE_SIZE, 0u);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(small) % 16, 0u);
    EXPECT_EQ(kernel_->PoolAllocations(), 2u);
    ExFreePoolWithTag(small, 0x676E7257u);  // wrong tag: diagnosed, still freed
    ExFreePool(page);
    ExFreePool(page);  // twice: diagnosed, ignored
    auto diagnostics = kernel_->Diagnostics();
    ASSERT_EQ(diagnostics.size(), 2u);
    EXPECT_NE(diagnostics[0].find("BAD_POOL_CALLER"), std::string::npos);
    EXPECT_NE(diagnostics[1].find("BAD_POOL_CALLER"), std::string::npos);
    EXPECT_EQ(kernel_->PoolAllocations(), 0u);
}

TEST_F(ExecutiveTest, SystemTimeCountsFrom1601) {
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    const long long seconds = now.QuadPart / 10'000'000LL - 11'644'473'600LL;
    EXPECT_LE(std::llabs(seconds - static_cast<long long>(std::time(nullptr))), 5);
    LARGE_INTEGER ticks;
    KeQueryTickCount(&ticks);
    EXPECT_GE(ticks.QuadPart, 0);
    EXPECT_EQ(KeQueryTimeIncrement(), 156250u);
}

TEST(KernelBoot, OnlyOneKernelRunsAtATime) {
    std::unique_ptr<Kernel> first, second;
    ASSERT_EQ(Kernel::Boot(KernelConfig{}, first), STATUS_SUCCESS);
    EXPECT_EQ(Kernel::Boot(KernelConfig{}, second), STATUS_INVALID_DEVICE_STATE);
    first.reset();
    EXPECT_EQ(Kernel::Boot(KernelConfig{}, second), STATUS_SUCCESS);
}

}  // namespace
}  // namespace hl::kernel::testing
