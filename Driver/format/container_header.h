// The 8192-byte container header: creating, opening and re-wrapping the data key.
#pragma once

#include <cstddef>
#include <cstdint>

#include "format/key_schedule.h"

namespace vdformat {

inline constexpr std::size_t kHeaderBytes = 8192;
inline constexpr std::uint64_t kDataAreaOffset = kHeaderBytes;
inline constexpr std::uint64_t kSizeGranule = 262144;  // data-area sizes are multiples of this
inline constexpr unsigned kHeaderSaltCount = 150;      // salts a header is written with
inline constexpr unsigned kOpenSaltCandidates = 151;   // salts tried when opening
inline constexpr unsigned kDataKeySalt = 200;          // the fixed salt of every data key

// What the header operations need from their host: bytes of the open container at an offset,
// working memory, and a tick count for the salt. The driver and the tool each supply one.
class ContainerPort {
public:
    virtual ~ContainerPort() = default;

    // Reads exactly `length` bytes; false on any failure or short read.
    virtual bool ReadAt(std::uint64_t offset, void* buffer, std::size_t length) noexcept = 0;
    // Writes `length` bytes; returns 0 on success, else the host's own failure status.
    virtual std::int32_t WriteAt(std::uint64_t offset, const void* buffer,
                                 std::size_t length) noexcept = 0;
    // Working memory; nullptr when none can be had.
    virtual void* Allocate(std::size_t bytes) noexcept;
    virtual void Free(void* memory) noexcept;
    virtual std::uint32_t TickCount() noexcept = 0;
};

enum class HeaderResult {
    Ok,
    WrongPassword,
    InsufficientResources,
    WriteFailed,
};

struct HeaderOutcome {
    HeaderResult result = HeaderResult::Ok;
    std::int32_t writeStatus = 0;  // the port's status when result is WriteFailed
    unsigned salt = 0;             // the salt that opened or wrapped the header
};

// Writes a new header for `keyMaterial` under `userKey`. `deviceKey` receives the data key as soon
// as it exists, before the header is written.
HeaderOutcome CreateHeader(ContainerPort& port, KeyMaterial keyMaterial, UserKey userKey,
                           KeySchedule& deviceKey) noexcept;

// Tries the 151 candidate salts. `deviceKey` receives the stored key block as read, then the data
// key when a salt opens it.
HeaderOutcome OpenHeader(ContainerPort& port, UserKey userKey, KeySchedule& deviceKey) noexcept;

// Opens with `oldKey` and writes the header again under `newKey`; the data key does not change.
HeaderOutcome ChangeHeader(ContainerPort& port, UserKey oldKey, UserKey newKey,
                           KeySchedule& deviceKey) noexcept;

}  // namespace vdformat
