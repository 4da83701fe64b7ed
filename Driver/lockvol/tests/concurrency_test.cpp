// Many threads at once on two disks: each disk's worker serves its requests one at a time.
#include <ntddk.h>
#include <gtest/gtest.h>
#include <ntdddisk.h>
#include <ntddstor.h>

#include <atomic>
#include <cstring>
#include <latch>
#include <thread>

#include "lockvol_system.h"

namespace lockvol_test {
namespace {

constexpr ULONG kBlock = 8 * kSector;  // each write fills one block with a single stamp
constexpr int kBlocksPerWriter = 4;
constexpr int kWritersPerDisk = 2;
constexpr int kReadersPerDisk = 2;
constexpr int kWritesPerWriter = 24;
constexpr int kReadsPerReader = 60;
constexpr int kBlocks = kBlocksPerWriter * kWritersPerDisk;

// Disk, writer, block and sequence number, repeated over the whole block.
std::uint64_t Stamp(int disk, int block, int sequence) {
    return (std::uint64_t(disk) << 48) | (std::uint64_t(block) << 32) | std::uint32_t(sequence);
}

Bytes StampedBlock(std::uint64_t stamp) {
    Bytes block(kBlock);
    for (std::size_t at = 0; at < block.size(); at += sizeof(stamp)) {
        std::memcpy(block.data() + at, &stamp, sizeof(stamp));
    }
    return block;
}

// The one stamp a whole block carries, or nothing when it is torn.
std::optional<std::uint64_t> BlockStamp(const Bytes& block) {
    std::uint64_t first;
    std::memcpy(&first, block.data(), sizeof(first));
    if (block != StampedBlock(first)) {
        return std::nullopt;
    }
    return first;
}

class ConcurrencyTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(system_.Load(), STATUS_SUCCESS);
        for (int d = 0; d < 2; ++d) {
            auto disk = system_.OpenDisk(static_cast<ULONG>(d));
            ASSERT_NE(disk, nullptr);
            const std::string name = "\\??\\C:\\disk" + std::to_string(d) + ".vd";
            ASSERT_EQ(OpenFile(*disk, name, kMiB).status, STATUS_SUCCESS);
            ASSERT_EQ(SetKey(*disk, KeyMaterialFrom(100 + d), MakePassword("pw")).status,
                      STATUS_SUCCESS);
            for (int b = 0; b < kBlocks; ++b) {
                ASSERT_EQ(
                    WriteDisk(*disk, LONGLONG(b) * kBlock, StampedBlock(Stamp(d, b, 0))).status,
                    STATUS_SUCCESS);
            }
            disks_.push_back(std::move(disk));
        }
    }

    LockvolSystem system_{2};
    std::vector<std::unique_ptr<DeviceFile>> disks_;
    std::atomic<int> failures_{0};
    std::atomic<int> completed_{0};

    void Check(bool ok) {
        completed_++;
        if (!ok) {
            failures_++;
        }
    }

    // Each writer owns its blocks and stamps them with rising sequence numbers.
    void Writer(int d, int w) {
        DeviceFile& disk = *disks_[d];
        for (int i = 1; i <= kWritesPerWriter; ++i) {
            const int block = w * kBlocksPerWriter + i % kBlocksPerWriter;
            const IoResult result =
                WriteDisk(disk, LONGLONG(block) * kBlock, StampedBlock(Stamp(d, block, i)));
            Check(result.status == STATUS_SUCCESS && result.information == kBlock);
        }
    }

    // A reader sees whole blocks of its own disk, never older than what it saw before.
    void Reader(int d, int r) {
        DeviceFile& disk = *disks_[d];
        std::vector<std::uint64_t> seen(kBlocks, 0);
        for (int i = 0; i < kReadsPerReader; ++i) {
            const int block = (i * 5 + r) % kBlocks;
            Bytes data;
            const IoResult result = ReadDisk(disk, LONGLONG(block) * kBlock, kBlock, data);
            const std::optional<std::uint64_t> stamp = BlockStamp(data);
            const bool ok = result.status == STATUS_SUCCESS && result.information == kBlock &&
                            stamp && (*stamp >> 32) == ((std::uint64_t(d) << 16) | block) &&
                            *stamp >= seen[block];
            if (stamp) {
                seen[block] = *stamp;
            }
            Check(ok);
        }
    }

    // Requests answered in the caller's thread go on beside the worker's.
    void Questioner(int d) {
        DeviceFile& disk = *disks_[d];
        for (int i = 0; i < kReadsPerReader; ++i) {
            VD_OPEN_FILE_INFORMATION record;
            const IoResult query = QueryFile(disk, record);
            Check(query.status == STATUS_SUCCESS && record.FileSize.QuadPart == kMiB);
            Bytes length;
            const IoResult info = Control(disk, IOCTL_DISK_GET_LENGTH_INFO, {}, 8, &length);
            Check(info.status == STATUS_SUCCESS && info.information == 8);
            const IoResult verify = Control(disk, IOCTL_STORAGE_CHECK_VERIFY, {}, 0);
            Check(verify.status == STATUS_SUCCESS);
        }
    }
};

TEST_F(ConcurrencyTest, EveryRequestIsServedOnceAndBlocksNeverTear) {
    std::vector<std::thread> threads;
    for (int d = 0; d < 2; ++d) {
        for (int w = 0; w < kWritersPerDisk; ++w) {
            threads.emplace_back([this, d, w] { Writer(d, w); });
        }
        for (int r = 0; r < kReadersPerDisk; ++r) {
            threads.emplace_back([this, d, r] { Reader(d, r); });
        }
        threads.emplace_back([this, d] { Questioner(d); });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(failures_.load(), 0);
    EXPECT_EQ(completed_.load(), 2 * (kWritersPerDisk * kWritesPerWriter +
                                      kReadersPerDisk * kReadsPerReader + 3 * kReadsPerReader));
    EXPECT_EQ(system_.kernel().Diagnostics(), std::vector<std::string>{});

    // Each block ends with the last stamp its writer gave it.
    for (int d = 0; d < 2; ++d) {
        for (int b = 0; b < kBlocks; ++b) {
            int last = 0;
            for (int i = 1; i <= kWritesPerWriter; ++i) {
                if ((b / kBlocksPerWriter) * kBlocksPerWriter + i % kBlocksPerWriter == b) {
                    last = i;
                }
            }
            Bytes data;
            ASSERT_EQ(ReadDisk(*disks_[d], LONGLONG(b) * kBlock, kBlock, data).status,
                      STATUS_SUCCESS);
            EXPECT_EQ(BlockStamp(data), Stamp(d, b, last)) << "disk " << d << " block " << b;
        }
    }
}

// Two open-files meeting a disk without media are both admitted; the worker lets only the first
// open a file, so no handle is lost and close-file leaves nothing open.
TEST(OpenRaceTest, OnlyOneOfTwoOpenFilesWins) {
    LockvolSystem system(1);
    ASSERT_EQ(system.Load(), STATUS_SUCCESS);
    WriteContainer(system.HostFile("a.vd"), kMiB, 1);
    WriteContainer(system.HostFile("b.vd"), kMiB, 2);
    auto disk = system.OpenDisk(0);
    const std::size_t handlesIdle = system.kernel().OpenHandles();
    for (int round = 0; round < 20; ++round) {
        SCOPED_TRACE(round);
        std::latch start(2);
        NTSTATUS first = STATUS_PENDING;
        NTSTATUS second = STATUS_PENDING;
        std::thread a([&] {
            start.arrive_and_wait();
            first = OpenFile(*disk, "\\??\\C:\\a.vd", 0).status;
        });
        std::thread b([&] {
            start.arrive_and_wait();
            second = OpenFile(*disk, "\\??\\C:\\b.vd", 0).status;
        });
        a.join();
        b.join();
        EXPECT_EQ((first == STATUS_SUCCESS) + (second == STATUS_SUCCESS), 1);
        EXPECT_TRUE(first == STATUS_INVALID_DEVICE_REQUEST ||
                    second == STATUS_INVALID_DEVICE_REQUEST)
            << std::hex << first << " " << second;
        ASSERT_EQ(CloseFile(*disk).status, STATUS_SUCCESS);
        EXPECT_EQ(system.kernel().OpenHandles(), handlesIdle);
    }
}

}  // namespace
}  // namespace lockvol_test
