#pragma once

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "surface/block_device.h"

namespace surface::testing {

// A disk held in memory, with switches for the conditions a real disk reports.
class MemoryDevice : public BlockDevice {
public:
    MemoryDevice(std::string name, std::size_t sectors)
        : name_(std::move(name)), bytes_(sectors * kSectorSize) {}

    std::atomic<bool> noMedia{false};
    std::atomic<bool> writeProtected{false};
    std::atomic<bool> failing{false};
    std::atomic<std::size_t> largestRead{0};
    std::atomic<std::size_t> largestWrite{0};
    std::atomic<int> flushes{0};
    std::atomic<bool> flushFails{false};
    std::atomic<int> misaligned{0};  // requests that broke the sector contract
    std::atomic<std::uint32_t> ownerUid{0};
    std::atomic<std::uint32_t> ownerGid{0};
    std::atomic<int> stateQueries{0};  // what a kernel disk answers with two control requests
    std::atomic<bool> changeMediaOnce{false};  // the next transfer meets a change of media

    std::string Name() const override { return name_; }

    DeviceState State() override {
        ++stateQueries;
        std::lock_guard lock(mutex_);
        return {.mediaPresent = !noMedia,
                .length = bytes_.size(),
                .writeProtected = writeProtected,
                .ownerUid = ownerUid,
                .ownerGid = ownerGid};
    }

    IoResult ReadSectors(std::uint64_t offset, void* buffer, std::size_t length) override {
        if (const auto error = Check(offset, length)) {
            return *error;
        }
        Raise(largestRead, length);
        std::lock_guard lock(mutex_);
        std::memcpy(buffer, bytes_.data() + offset, length);
        return IoResult::Ok;
    }

    IoResult WriteSectors(std::uint64_t offset, const void* buffer, std::size_t length) override {
        if (const auto error = Check(offset, length)) {
            return *error;
        }
        if (writeProtected) {
            return IoResult::WriteProtected;
        }
        Raise(largestWrite, length);
        std::lock_guard lock(mutex_);
        std::memcpy(bytes_.data() + offset, buffer, length);
        return IoResult::Ok;
    }

    IoResult Flush() override {
        ++flushes;
        if (flushFails) {
            return IoResult::DeviceError;
        }
        return noMedia ? IoResult::NoMedia : IoResult::Ok;
    }

    std::vector<unsigned char> Contents() {
        std::lock_guard lock(mutex_);
        return bytes_;
    }
    void Fill(const std::vector<unsigned char>& contents) {
        std::lock_guard lock(mutex_);
        std::copy_n(contents.begin(), std::min(contents.size(), bytes_.size()), bytes_.begin());
    }
    std::size_t Size() {
        std::lock_guard lock(mutex_);
        return bytes_.size();
    }
    // Other media of another size: zeros beyond the old end.
    void Resize(std::size_t sectors) {
        std::lock_guard lock(mutex_);
        bytes_.resize(sectors * kSectorSize);
    }

private:
    std::optional<IoResult> Check(std::uint64_t offset, std::size_t length) {
        if (noMedia) {
            return IoResult::NoMedia;
        }
        if (failing) {
            return IoResult::DeviceError;
        }
        if (changeMediaOnce.exchange(false)) {
            return IoResult::MediaChanged;
        }
        if (offset % kSectorSize != 0 || length % kSectorSize != 0 || offset + length > Size()) {
            ++misaligned;
            return IoResult::InvalidRange;
        }
        return std::nullopt;
    }
    static void Raise(std::atomic<std::size_t>& largest, std::size_t value) {
        std::size_t seen = largest;
        while (value > seen && !largest.compare_exchange_weak(seen, value)) {
        }
    }

    std::string name_;
    std::mutex mutex_;
    std::vector<unsigned char> bytes_;
};

}  // namespace surface::testing
