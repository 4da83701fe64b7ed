#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace surface {

// Every disk device served by the surface has sectors of this size.
inline constexpr std::size_t kSectorSize = 4096;

struct DeviceState {
    bool mediaPresent = false;
    std::uint64_t length = 0;  // bytes; meaningful only with media present
    bool writeProtected = false;
    // The host account the device belongs to now: its file and its file system are that
    // user's alone (root's while nobody owns the device).
    std::uint32_t ownerUid = 0;
    std::uint32_t ownerGid = 0;
};

enum class IoResult {
    Ok,
    NoMedia,
    WriteProtected,
    InvalidRange,
    DeviceError,
    // The device's media changed since its state was learned: learn it anew before trying again.
    MediaChanged,
};

// The errno a Linux caller sees for a device result (0 for Ok).
int ErrnoOf(IoResult result);

// One disk device. Calls arrive from several threads at once.
class BlockDevice {
public:
    virtual ~BlockDevice() = default;

    virtual std::string Name() const = 0;
    // Asks the device for its state, which may cost it requests: the surface asks when the device
    // arrives, when its media may have changed, and when a request meets a change of media.
    virtual DeviceState State() = 0;
    // offset and length are multiples of kSectorSize.
    virtual IoResult ReadSectors(std::uint64_t offset, void* buffer, std::size_t length) = 0;
    virtual IoResult WriteSectors(std::uint64_t offset, const void* buffer, std::size_t length) = 0;
    // Brings every completed write to stable storage (a flush-buffers request).
    virtual IoResult Flush() { return IoResult::Ok; }
};

}  // namespace surface
