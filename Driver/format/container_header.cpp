#include "format/container_header.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "format/secure_wipe.h"
#include "format/twofish.h"
#include "format/unit_cipher.h"

namespace vdformat {

void* ContainerPort::Allocate(std::size_t bytes) noexcept {
    // A tag of its own rather than the std::nothrow object, which a kernel image cannot import.
    return ::operator new (bytes, std::nothrow_t{});
}

void ContainerPort::Free(void* memory) noexcept {
    ::operator delete(memory);
}

namespace {

constexpr std::size_t kCheckOffset = kKeyScheduleBytes;  // 4500
constexpr std::size_t kTailOffset = kCheckOffset + 8;    // 4508

// Working memory from the port, wiped and returned on every path.
template <typename T>
class WorkBuffer {
public:
    explicit WorkBuffer(ContainerPort& port)
        : port_(port), object_(static_cast<T*>(port.Allocate(sizeof(T)))) {}
    WorkBuffer(const WorkBuffer&) = delete;
    WorkBuffer& operator=(const WorkBuffer&) = delete;
    ~WorkBuffer() {
        if (object_ != nullptr) {
            SecureWipe(object_, sizeof(T));
            port_.Free(object_);
        }
    }
    explicit operator bool() const { return object_ != nullptr; }
    T& operator*() const { return *object_; }

private:
    ContainerPort& port_;
    T* object_;
};

struct HeaderBlock {
    std::uint8_t bytes[kHeaderBytes];
};

unsigned DrawSalt(ContainerPort& port) {
    return port.TickCount() % kHeaderSaltCount;
}

// The unused tail of a header holds Twofish blocks of a counter under the password key, so that a
// header looks random as a whole and reveals nothing beyond the wrapped key.
void FillUnusedBytes(std::uint8_t* header, const KeySchedule& passwordKey) {
    std::uint8_t* tail = header + kTailOffset;
    const std::size_t tailBytes = kHeaderBytes - kTailOffset;
    std::uint32_t counter[4] = {0, 0, 0, 0};
    std::uint8_t block[16];
    for (std::size_t offset = 0; offset < tailBytes; offset += sizeof(block)) {
        std::memcpy(block, counter, sizeof(block));
        TwofishEncryptBlock(passwordKey, block);
        std::memcpy(tail + offset, block, std::min(sizeof(block), tailBytes - offset));
        ++counter[0];
    }
    SecureWipeObject(block);
}

// Wraps `dataKey` under `userKey` with a fresh salt and writes the header at offset 0.
HeaderOutcome WriteHeader(ContainerPort& port, const KeySchedule& dataKey, UserKey userKey,
                          KeySchedule& passwordKey, HeaderBlock& header) {
    const unsigned salt = DrawSalt(port);
    PasswordKey(userKey, salt, passwordKey);

    std::memcpy(header.bytes, dataKey.Bytes(), kKeyScheduleBytes);
    const std::uint64_t check = HeaderCheck(std::span(header.bytes, kKeyScheduleBytes));
    std::memcpy(header.bytes + kCheckOffset, &check, sizeof(check));
    FillUnusedBytes(header.bytes, passwordKey);
    EncipherUnit(std::span(header.bytes, kKeyScheduleBytes), passwordKey);

    const std::int32_t status = port.WriteAt(0, header.bytes, kHeaderBytes);
    if (status != 0) {
        return {HeaderResult::WriteFailed, status, salt};
    }
    return {HeaderResult::Ok, 0, salt};
}

// Builds the password key of one salt and checks the header against it; `candidate` ends as the
// unwrapped key block.
bool TrySalt(const HeaderBlock& header, UserKey userKey, unsigned salt, KeySchedule& passwordKey,
             KeySchedule& candidate) {
    std::uint64_t stored;
    std::memcpy(&stored, header.bytes + kCheckOffset, sizeof(stored));
    PasswordKey(userKey, salt, passwordKey);
    std::memcpy(candidate.Bytes(), header.bytes, kKeyScheduleBytes);
    DecipherUnit(AsBytes(candidate), passwordKey);
    return HeaderCheck(std::span(candidate.Bytes(), kKeyScheduleBytes)) == stored;
}

// Tries every candidate salt in order on a header already read; `candidate` ends as the data key
// on success.
HeaderOutcome FindSalt(const HeaderBlock& header, UserKey userKey, KeySchedule& passwordKey,
                       KeySchedule& candidate) {
    for (unsigned salt = 0; salt < kOpenSaltCandidates; ++salt) {
        if (TrySalt(header, userKey, salt, passwordKey, candidate)) {
            return {HeaderResult::Ok, 0, salt};
        }
    }
    return {HeaderResult::WrongPassword, 0, 0};
}

// Reads the header into `header` and points the device at the stored key block, as the search
// does before its first candidate.
void ReadHeader(ContainerPort& port, HeaderBlock& header, KeySchedule& deviceKey) {
    // A header that cannot be read is zeros here; it matches no password.
    std::memset(header.bytes, 0, kHeaderBytes);
    (void)port.ReadAt(0, header.bytes, kHeaderBytes);
    std::memcpy(deviceKey.Bytes(), header.bytes, kKeyScheduleBytes);
}

}  // namespace

HeaderOutcome CreateHeader(ContainerPort& port, KeyMaterial keyMaterial, UserKey userKey,
                           KeySchedule& deviceKey) noexcept {
    WorkBuffer<KeySchedule> passwordKey(port);
    WorkBuffer<KeySchedule> dataKey(port);
    WorkBuffer<HeaderBlock> header(port);
    if (!passwordKey || !dataKey || !header) {
        return {HeaderResult::InsufficientResources, 0, 0};
    }
    std::memcpy((*dataKey).Bytes(), keyMaterial.data(), kKeyMaterialBytes);
    StretchKey(AsBytes(*dataKey), kDataKeySalt);
    BuildKeySchedule(*dataKey);
    deviceKey = *dataKey;
    return WriteHeader(port, *dataKey, userKey, *passwordKey, *header);
}

HeaderOutcome OpenHeader(ContainerPort& port, UserKey userKey, KeySchedule& deviceKey) noexcept {
    WorkBuffer<HeaderBlock> header(port);
    WorkBuffer<KeySchedule> passwordKey(port);
    WorkBuffer<KeySchedule> candidate(port);
    if (!header || !passwordKey || !candidate) {
        return {HeaderResult::InsufficientResources, 0, 0};
    }
    ReadHeader(port, *header, deviceKey);
    const HeaderOutcome outcome = FindSalt(*header, userKey, *passwordKey, *candidate);
    if (outcome.result == HeaderResult::Ok) {
        deviceKey = *candidate;
    }
    return outcome;
}

namespace {

HeaderOutcome Rewrap(ContainerPort& port, const HeaderOutcome& opened, UserKey newKey,
                     KeySchedule& deviceKey) {
    if (opened.result != HeaderResult::Ok) {
        return opened;
    }
    WorkBuffer<KeySchedule> passwordKey(port);
    WorkBuffer<HeaderBlock> header(port);
    if (!passwordKey || !header) {
        return {HeaderResult::InsufficientResources, 0, 0};
    }
    return WriteHeader(port, deviceKey, newKey, *passwordKey, *header);
}

}  // namespace

HeaderOutcome ChangeHeader(ContainerPort& port, UserKey oldKey, UserKey newKey,
                           KeySchedule& deviceKey) noexcept {
    return Rewrap(port, OpenHeader(port, oldKey, deviceKey), newKey, deviceKey);
}

}  // namespace vdformat
