// Loading lockvol from its service key: how many disks, their names, and unloading them.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "lockvol_system.h"

namespace lockvol_test {
namespace {

constexpr char16_t kDirectory[] = u"\\Device\\Harddisk";

std::size_t RunningWorkers(hl::kernel::Kernel& kernel) {
    const auto threads = kernel.SystemThreads();
    return static_cast<std::size_t>(
        std::count_if(threads.begin(), threads.end(),
                      [](const hl::kernel::SystemThreadInfo& t) { return t.running; }));
}

void ExpectDisks(LockvolSystem& system, const std::vector<ULONG>& present, ULONG upTo) {
    for (ULONG n = 0; n < upTo; ++n) {
        const bool expected = std::find(present.begin(), present.end(), n) != present.end();
        EXPECT_EQ(system.DiskExists(n), expected) << "disk " << n;
    }
}

TEST(StartupTest, WithoutParametersThereAreFourDisks) {
    LockvolSystem system(std::nullopt);
    ASSERT_EQ(system.Load(), STATUS_SUCCESS);
    ExpectDisks(system, {0, 1, 2, 3}, 8);
    EXPECT_TRUE(system.kernel().ObjectExists(u"\\Device\\Harddisk\\VaultDisk0"));

    for (ULONG n = 0; n < 4; ++n) {
        auto disk = system.OpenDisk(n);
        VD_OPEN_FILE_INFORMATION record;
        EXPECT_EQ(QueryFile(*disk, record).status, STATUS_NO_MEDIA_IN_DEVICE);
        // Served by the disk's worker, which is therefore up and running.
        EXPECT_EQ(OpenFile(*disk, "\\??\\C:\\missing.vd", 0).status, STATUS_NO_SUCH_FILE);
    }
    // One worker per disk, started with its disk, raised to the lowest real-time priority.
    const auto threads = system.kernel().SystemThreads();
    ASSERT_EQ(RunningWorkers(system.kernel()), 4u);
    std::vector<PVOID> contexts;
    for (const auto& thread : threads) {
        EXPECT_EQ(thread.priority, LOW_REALTIME_PRIORITY);
        contexts.push_back(thread.startContext);
    }
    for (ULONG n = 0; n < 4; ++n) {
        PDEVICE_OBJECT device = system.kernel().FindDevice(DiskName(n));
        EXPECT_EQ(std::count(contexts.begin(), contexts.end(), device), 1) << n;
    }
}

TEST(StartupTest, NumberOfDevicesChoosesHowManyDisks) {
    for (ULONG count : {0u, 2u, 6u}) {
        SCOPED_TRACE(count);
        LockvolSystem system(count);
        ASSERT_EQ(system.Load(), STATUS_SUCCESS);
        std::vector<ULONG> present;
        for (ULONG n = 0; n < count; ++n) {
            present.push_back(n);
        }
        ExpectDisks(system, present, 8);
        EXPECT_EQ(RunningWorkers(system.kernel()), count);
        // Without a disk the driver keeps no directory either.
        EXPECT_EQ(system.kernel().ObjectExists(kDirectory), count != 0);
    }
}

// Only a 32-bit number counts; any other value, whatever it holds, is no count at all.
TEST(StartupTest, ANumberOfDevicesOfTheWrongTypeOrSizeGivesFourDisks) {
    const auto text = [](std::u16string_view value) {
        Bytes data;
        for (char16_t c : value) {
            data.push_back(static_cast<std::uint8_t>(c));
            data.push_back(0);
        }
        data.insert(data.end(), {0, 0});
        return data;
    };
    struct Case {
        const char* what;
        StoredValue value;
        ULONG disks;
    };
    const Case cases[] = {
        {"string", {REG_SZ, text(u"2")}, 4},
        {"long string", {REG_SZ, text(u"two disks, written out at some length")}, 4},
        {"expandable string", {REG_EXPAND_SZ, text(u"%COUNT%")}, 4},
        {"binary", {REG_BINARY, {2, 0, 0, 0}}, 4},
        {"long binary", {REG_BINARY, Bytes(16, 2)}, 4},
        {"empty binary", {REG_BINARY, {}}, 4},
        {"empty none", {REG_NONE, {}}, 4},
        {"empty dword", {REG_DWORD, {}}, 4},
        {"short dword", {REG_DWORD, {2, 0}}, 4},
        {"long dword", {REG_DWORD, {2, 0, 0, 0, 0, 0, 0, 0}}, 4},
        {"qword", {REG_QWORD, {2, 0, 0, 0, 0, 0, 0, 0}}, 4},
        {"dword 0", {REG_DWORD, {0, 0, 0, 0}}, 0},
        {"dword 1", {REG_DWORD, {1, 0, 0, 0}}, 1},
        {"dword 3", {REG_DWORD, {3, 0, 0, 0}}, 3},
        {"dword 5", {REG_DWORD, {5, 0, 0, 0}}, 5},
        {"dword 65", {REG_DWORD, {65, 0, 0, 0}}, 64},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        LockvolSystem system(c.value);
        ASSERT_EQ(system.Load(), STATUS_SUCCESS);
        std::vector<ULONG> present;
        for (ULONG n = 0; n < c.disks; ++n) {
            present.push_back(n);
        }
        ExpectDisks(system, present, c.disks + 2);
        EXPECT_EQ(RunningWorkers(system.kernel()), c.disks);
    }
}

TEST(StartupTest, ADamagedDeviceCountIsBounded) {
    LockvolSystem system(0xFFFFFFFFu);
    ASSERT_EQ(system.Load(), STATUS_SUCCESS);
    EXPECT_TRUE(system.DiskExists(63));
    EXPECT_FALSE(system.DiskExists(64));
}

TEST(StartupTest, UnloadDeletesTheDisksClosesTheirFilesAndStopsTheirWorkers) {
    LockvolSystem system(3);
    const std::size_t poolBefore = system.kernel().PoolAllocations();
    const std::size_t handlesBefore = system.kernel().OpenHandles();
    ASSERT_EQ(system.Load(), STATUS_SUCCESS);
    WriteContainer(system.HostFile("open.vd"), kMiB, 1);
    {
        auto ready = system.OpenDisk(0);
        ASSERT_EQ(OpenFile(*ready, "\\??\\C:\\open.vd", 0).status, STATUS_SUCCESS);
        auto fresh = system.OpenDisk(1);
        ASSERT_EQ(OpenFile(*fresh, "\\??\\C:\\new.vd", kMiB).status, STATUS_SUCCESS);
    }
    ASSERT_EQ(system.Unload(), STATUS_SUCCESS);
    ExpectDisks(system, {}, 4);
    EXPECT_FALSE(system.kernel().ObjectExists(kDirectory));
    EXPECT_EQ(RunningWorkers(system.kernel()), 0u);
    EXPECT_EQ(system.kernel().PoolAllocations(), poolBefore);
    EXPECT_EQ(system.kernel().OpenHandles(), handlesBefore);

    // Loaded again, the driver finds its directory name free and the files closed.
    ASSERT_EQ(system.Load(), STATUS_SUCCESS);
    auto disk = system.OpenDisk(0);
    EXPECT_EQ(OpenFile(*disk, "\\??\\C:\\open.vd", 0).status, STATUS_SUCCESS);
}

// Requests still waiting for a worker when its disk goes are completed, each exactly once: no
// sender is left waiting, none hears twice.
TEST(StartupTest, UnloadCompletesTheRequestsStillQueued) {
    LockvolSystem system(1);
    ASSERT_EQ(system.Load(), STATUS_SUCCESS);
    WriteContainer(system.HostFile("busy.vd"), kMiB, 2);
    auto disk = system.OpenDisk(0);
    ASSERT_EQ(OpenFile(*disk, "\\??\\C:\\busy.vd", 0).status, STATUS_SUCCESS);

    // A wrong password keeps the worker busy with 151 derivations; its working memory shows
    // when it has begun.
    const std::size_t poolIdle = system.kernel().PoolAllocations();
    NTSTATUS openKey = STATUS_PENDING;
    std::thread keySender([&] { openKey = OpenKey(*disk, MakePassword("wrong")).status; });
    while (system.kernel().PoolAllocations() < poolIdle + 4) {
        std::this_thread::yield();
    }
    constexpr int kReaders = 8;
    std::vector<NTSTATUS> reads(kReaders, STATUS_PENDING);
    std::atomic<int> sending{0};
    std::vector<std::thread> readers;
    for (int i = 0; i < kReaders; ++i) {
        readers.emplace_back([&, i] {
            Bytes data;
            sending++;
            reads[i] = ReadDisk(*disk, 0, kSector, data).status;
        });
    }
    while (sending.load() < kReaders) {
        std::this_thread::yield();
    }
    ASSERT_EQ(system.Unload(), STATUS_SUCCESS);
    keySender.join();
    for (auto& reader : readers) {
        reader.join();
    }
    EXPECT_EQ(openKey, STATUS_WRONG_PASSWORD_CORE) << "the request in service is finished";
    for (int i = 0; i < kReaders; ++i) {
        // Queued: completed at the deletion. Later: refused by the disk or by the kernel.
        EXPECT_TRUE(reads[i] == STATUS_DEVICE_DOES_NOT_EXIST ||
                    reads[i] == STATUS_NO_MEDIA_IN_DEVICE || reads[i] == STATUS_NO_SUCH_DEVICE ||
                    reads[i] == STATUS_SUCCESS)
            << i << ": " << std::hex << reads[i];
    }
    EXPECT_EQ(system.kernel().Diagnostics(), std::vector<std::string>{});
    EXPECT_EQ(RunningWorkers(system.kernel()), 0u);
}

TEST(StartupTest, AnExistingDirectoryStopsTheLoad) {
    LockvolSystem system(2);
    UNICODE_STRING name = RTL_CONSTANT_STRING(kDirectory);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_PERMANENT, nullptr, nullptr);
    HANDLE directory = nullptr;
    ASSERT_EQ(ZwCreateDirectoryObject(&directory, DIRECTORY_ALL_ACCESS, &attributes),
              STATUS_SUCCESS);

    EXPECT_EQ(system.Load(), STATUS_OBJECT_NAME_COLLISION);
    ExpectDisks(system, {}, 2);
    EXPECT_EQ(RunningWorkers(system.kernel()), 0u);
    ZwMakeTemporaryObject(directory);
    ZwClose(directory);
}

struct SkipCase {
    const char* what;
    bool threadFails;  // else the device object cannot be created
    std::uint64_t nth;
    std::vector<ULONG> present;
};

TEST(StartupTest, ADiskThatCannotBeCreatedIsSkipped) {
    const std::vector<SkipCase> cases = {
        {"second device object", false, 2, {0, 2, 3}},
        {"first worker", true, 1, {1, 2, 3}},
        {"last worker", true, 4, {0, 1, 2}},
    };
    for (const SkipCase& c : cases) {
        SCOPED_TRACE(c.what);
        LockvolSystem system(4);
        auto& fault = c.threadFails ? system.kernel().faults().threadCreation
                                    : system.kernel().faults().deviceCreation;
        fault.FailNth(c.nth);
        ASSERT_EQ(system.Load(), STATUS_SUCCESS);
        fault.Clear();
        ExpectDisks(system, c.present, 5);
        EXPECT_EQ(RunningWorkers(system.kernel()), c.present.size());
        auto disk = system.OpenDisk(c.present.back());
        VD_OPEN_FILE_INFORMATION record;
        EXPECT_EQ(QueryFile(*disk, record).status, STATUS_NO_MEDIA_IN_DEVICE);
    }
}

TEST(StartupTest, NoDiskAtAllFailsTheLoadWithTheLastStatus) {
    LockvolSystem system(3);
    system.kernel().faults().deviceCreation.FailFrom(1, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(system.Load(), STATUS_INSUFFICIENT_RESOURCES);
    system.kernel().faults().deviceCreation.Clear();
    ExpectDisks(system, {}, 3);
    EXPECT_FALSE(system.kernel().ObjectExists(kDirectory));
}

TEST(StartupTest, NoMemoryForTheParametersPathFailsTheLoad) {
    LockvolSystem system(2);
    system.kernel().faults().pool.FailFrom(1);
    EXPECT_EQ(system.Load(), STATUS_INSUFFICIENT_RESOURCES);
    system.kernel().faults().pool.Clear();
    ExpectDisks(system, {}, 2);
}

}  // namespace
}  // namespace lockvol_test
