// The requests user-mode programs send to the kernel daemon, declared once: the table below
// gives each request its number and its request and reply records, and every record lists its
// fields once. Encoding, decoding and the daemon's dispatch all come from these declarations.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "protocol/bytes.h"

namespace hl::protocol {

inline constexpr std::uint32_t kMagic = 0x4B4C4848;  // "HHLK"
inline constexpr std::uint16_t kVersion = 1;

// The bounds of the counted fields of requests. A name is at most what an NT counted string can
// hold; a device-control record is far larger than any the system's devices take (the largest is
// 4540 bytes); a read or write larger than one transfer is split by the caller.
inline constexpr std::uint32_t kMaxNameBytes = 0xFFFE;
inline constexpr std::uint32_t kMaxLabelBytes = 1024;
inline constexpr std::uint32_t kMaxControlBytes = 64u << 10;
inline constexpr std::uint32_t kMaxTransferBytes = 1u << 20;
// Replies come from the daemon, which is trusted; this only stops a broken one.
inline constexpr std::uint32_t kMaxReplyBytes = 64u << 20;

// Every message, in either direction, starts with this header; `length` counts the body.
struct Header {
    std::uint32_t magic = kMagic;
    std::uint16_t version = kVersion;
    std::uint16_t type = 0;
    std::uint32_t length = 0;
    std::uint32_t sequence = 0;
};
static_assert(sizeof(Header) == 16);

// Replies carry an NTSTATUS; a message the daemon refuses gets a reply of this type.
inline constexpr std::uint16_t kRefusedType = 0xFFFF;

struct StatusReply {
    std::int32_t status = 0;
    template <typename A>
    void Fields(A& a) {
        a.Field(status);
    }
};

struct Empty {
    template <typename A>
    void Fields(A&) {}
};

struct HelloRequest {
    std::uint32_t pid = 0;  // informational; the caller's identity comes from the socket
    template <typename A>
    void Fields(A& a) {
        a.Field(pid);
    }
};

struct HelloReply {
    std::int32_t status = 0;
    std::uint32_t daemonPid = 0;
    template <typename A>
    void Fields(A& a) {
        a.Field(status);
        a.Field(daemonPid);
    }
};

// Opens a device by NT name (links followed): "\??\X:" for the volume on drive X:.
struct OpenDeviceRequest {
    std::u16string ntName;
    std::uint32_t access = 0;
    template <typename A>
    void Fields(A& a) {
        a.Field(ntName, kMaxNameBytes);
        a.Field(access);
    }
};

struct OpenDeviceReply {
    std::int32_t status = 0;
    std::uint32_t handle = 0;
    template <typename A>
    void Fields(A& a) {
        a.Field(status);
        a.Field(handle);
    }
};

struct CloseHandleRequest {
    std::uint32_t handle = 0;
    template <typename A>
    void Fields(A& a) {
        a.Field(handle);
    }
};

struct DeviceControlRequest {
    std::uint32_t handle = 0;
    std::uint32_t code = 0;
    Bytes input;
    std::uint32_t outputLength = 0;
    template <typename A>
    void Fields(A& a) {
        a.Field(handle);
        a.Field(code);
        a.Field(input, kMaxControlBytes);
        a.Field(outputLength);
    }
};

struct TransferReply {
    std::int32_t status = 0;
    std::uint64_t information = 0;
    Bytes data;  // the output buffer, or the bytes read
    template <typename A>
    void Fields(A& a) {
        a.Field(status);
        a.Field(information);
        a.Field(data);
    }
};

struct ReadDeviceRequest {
    std::uint32_t handle = 0;
    std::int64_t offset = 0;
    std::uint32_t length = 0;
    template <typename A>
    void Fields(A& a) {
        a.Field(handle);
        a.Field(offset);
        a.Field(length);
    }
};

struct WriteDeviceRequest {
    std::uint32_t handle = 0;
    std::int64_t offset = 0;
    Bytes data;
    template <typename A>
    void Fields(A& a) {
        a.Field(handle);
        a.Field(offset);
        a.Field(data, kMaxTransferBytes);
    }
};

// DefineDosDeviceA: flags as Windows gives them (DDD_RAW_TARGET_PATH, DDD_REMOVE_DEFINITION...).
struct DefineDosDeviceRequest {
    std::uint32_t flags = 0;
    std::u16string deviceName;  // "X:"
    std::u16string targetPath;
    template <typename A>
    void Fields(A& a) {
        a.Field(flags);
        a.Field(deviceName, kMaxNameBytes);
        a.Field(targetPath, kMaxNameBytes);
    }
};

// QueryDosDeviceA: the targets of one name, or every name when `deviceName` is empty.
struct QueryDosDeviceRequest {
    std::u16string deviceName;
    template <typename A>
    void Fields(A& a) {
        a.Field(deviceName, kMaxNameBytes);
    }
};

struct NamesReply {
    std::int32_t status = 0;
    std::vector<std::u16string> names;
    template <typename A>
    void Fields(A& a) {
        a.Field(status);
        a.Field(names);
    }
};

// The host folder where the file system on a drive is mounted, mounting it first when it is not
// (as Windows mounts a file system on first access).
struct VolumePathRequest {
    std::u16string drive;  // "X:"
    template <typename A>
    void Fields(A& a) {
        a.Field(drive, kMaxNameBytes);
    }
};

struct VolumePathReply {
    std::int32_t status = 0;
    std::string hostPath;  // UTF-8
    template <typename A>
    void Fields(A& a) {
        a.Field(status);
        a.Field(hostPath);
    }
};

// Formats the volume on a drive with NTFS and mounts it (the system's format command).
struct FormatVolumeRequest {
    std::u16string drive;  // "X:"
    std::string label;
    template <typename A>
    void Fields(A& a) {
        a.Field(drive, kMaxNameBytes);
        a.Field(label, kMaxLabelBytes);
    }
};

struct FormatVolumeReply {
    std::int32_t status = 0;
    std::string reason;  // when the format failed: what the formatter said, UTF-8
    template <typename A>
    void Fields(A& a) {
        a.Field(status);
        a.Field(reason);
    }
};

struct SystemStatusReply {
    std::int32_t status = 0;
    std::vector<std::string> lines;  // one line each: devices, drive letters, volumes, drivers
    template <typename A>
    void Fields(A& a) {
        a.Field(status);
        a.Field(lines);
    }
};

// name, number, request record, reply record
#define HL_PROTOCOL_REQUESTS(X)                                \
    X(Hello, 1, HelloRequest, HelloReply)                      \
    X(OpenDevice, 2, OpenDeviceRequest, OpenDeviceReply)       \
    X(CloseHandle, 3, CloseHandleRequest, StatusReply)         \
    X(DeviceControl, 4, DeviceControlRequest, TransferReply)   \
    X(ReadDevice, 5, ReadDeviceRequest, TransferReply)         \
    X(WriteDevice, 6, WriteDeviceRequest, TransferReply)       \
    X(DefineDosDevice, 7, DefineDosDeviceRequest, StatusReply) \
    X(QueryDosDevice, 8, QueryDosDeviceRequest, NamesReply)    \
    X(VolumePath, 9, VolumePathRequest, VolumePathReply)       \
    X(SystemStatus, 10, Empty, SystemStatusReply)              \
    X(Shutdown, 11, Empty, StatusReply)                        \
    X(FormatVolume, 12, FormatVolumeRequest, FormatVolumeReply)

enum class RequestType : std::uint16_t {
#define HL_PROTOCOL_ENUM(name, number, request, reply) name = number,
    HL_PROTOCOL_REQUESTS(HL_PROTOCOL_ENUM)
#undef HL_PROTOCOL_ENUM
};

// The records of each request type.
template <RequestType>
struct Request;
#define HL_PROTOCOL_TRAITS(name, number, request, reply) \
    template <>                                          \
    struct Request<RequestType::name> {                  \
        using In = request;                              \
        using Out = reply;                               \
    };
HL_PROTOCOL_REQUESTS(HL_PROTOCOL_TRAITS)
#undef HL_PROTOCOL_TRAITS

// The longest body a request of this type can have, from its record's bounds; 0 for a type that
// is no request.
std::uint32_t MaxRequestBody(std::uint16_t type);

}  // namespace hl::protocol
