#include <cerrno>

#include "internal.h"

namespace hl::win32 {
namespace {

struct StatusError {
    std::uint32_t status;
    DWORD error;
};

// The statuses the kernel and its drivers give, as Windows reports them to Win32 callers.
constexpr StatusError kStatusErrors[] = {
    {0x80000011, ERROR_BUSY},                 // STATUS_DEVICE_BUSY
    {0xC0000001, ERROR_GEN_FAILURE},          // STATUS_UNSUCCESSFUL
    {0xC0000004, ERROR_BAD_LENGTH},           // STATUS_INFO_LENGTH_MISMATCH
    {0xC0000008, ERROR_INVALID_HANDLE},       // STATUS_INVALID_HANDLE
    {0xC000000D, ERROR_INVALID_PARAMETER},    // STATUS_INVALID_PARAMETER
    {0xC000000E, ERROR_FILE_NOT_FOUND},       // STATUS_NO_SUCH_DEVICE
    {0xC000000F, ERROR_FILE_NOT_FOUND},       // STATUS_NO_SUCH_FILE
    {0xC0000010, ERROR_INVALID_FUNCTION},     // STATUS_INVALID_DEVICE_REQUEST
    {0xC0000011, ERROR_HANDLE_EOF},           // STATUS_END_OF_FILE
    {0xC0000013, ERROR_NOT_READY},            // STATUS_NO_MEDIA_IN_DEVICE
    {0xC0000017, ERROR_NOT_ENOUGH_MEMORY},    // STATUS_NO_MEMORY
    {0xC0000022, ERROR_ACCESS_DENIED},        // STATUS_ACCESS_DENIED
    {0xC0000023, ERROR_INSUFFICIENT_BUFFER},  // STATUS_BUFFER_TOO_SMALL
    {0xC0000033, ERROR_INVALID_NAME},         // STATUS_OBJECT_NAME_INVALID
    {0xC0000034, ERROR_FILE_NOT_FOUND},       // STATUS_OBJECT_NAME_NOT_FOUND
    {0xC0000035, ERROR_ALREADY_EXISTS},       // STATUS_OBJECT_NAME_COLLISION
    {0xC000003A, ERROR_PATH_NOT_FOUND},       // STATUS_OBJECT_PATH_NOT_FOUND
    {0xC0000043, ERROR_SHARING_VIOLATION},    // STATUS_SHARING_VIOLATION
    {0xC0000054, ERROR_LOCK_VIOLATION},       // STATUS_FILE_LOCK_CONFLICT
    {0xC000007F, ERROR_DISK_FULL},            // STATUS_DISK_FULL
    {0xC000009A, ERROR_NO_SYSTEM_RESOURCES},  // STATUS_INSUFFICIENT_RESOURCES
    {0xC00000A2, ERROR_WRITE_PROTECT},        // STATUS_MEDIA_WRITE_PROTECTED
    {0xC00000BA, ERROR_ACCESS_DENIED},        // STATUS_FILE_IS_A_DIRECTORY
    {0xC00000BB, ERROR_NOT_SUPPORTED},        // STATUS_NOT_SUPPORTED
    {0xC0000101, ERROR_DIR_NOT_EMPTY},        // STATUS_DIRECTORY_NOT_EMPTY
    {0xC0000103, ERROR_DIRECTORY},            // STATUS_NOT_A_DIRECTORY
    {0xC0000149, ERROR_INVALID_PASSWORD},     // STATUS_WRONG_PASSWORD_CORE
    {0xC0000172, ERROR_PARTITION_FAILURE},    // STATUS_PARTITION_FAILURE
    {0xC0000183, ERROR_IO_DEVICE},            // STATUS_DRIVER_INTERNAL_ERROR
    {0xC0000185, ERROR_IO_DEVICE},            // STATUS_IO_DEVICE_ERROR
    {0xC000014F, ERROR_UNRECOGNIZED_VOLUME},  // STATUS_UNRECOGNIZED_VOLUME
    {0xC000026E, ERROR_NOT_READY},            // STATUS_VOLUME_DISMOUNTED
};

}  // namespace

DWORD Win32ErrorFromNtStatus(NTSTATUS status) {
    if (status >= 0) {
        return ERROR_SUCCESS;
    }
    const auto value = static_cast<std::uint32_t>(status);
    for (const StatusError& entry : kStatusErrors) {
        if (entry.status == value) {
            return entry.error;
        }
    }
    return ERROR_GEN_FAILURE;
}

DWORD Win32ErrorFromErrno(int error) {
    switch (error) {
        case 0:
            return ERROR_SUCCESS;
        case ENOENT:
            return ERROR_FILE_NOT_FOUND;
        case ENOTDIR:
            return ERROR_PATH_NOT_FOUND;
        case EACCES:
        case EPERM:
        case EISDIR:
            return ERROR_ACCESS_DENIED;
        case EEXIST:
            return ERROR_FILE_EXISTS;
        case ENOTEMPTY:
            return ERROR_DIR_NOT_EMPTY;
        case ENOSPC:
            return ERROR_DISK_FULL;
        case EROFS:
            return ERROR_WRITE_PROTECT;
        case ENOMEDIUM:
            return ERROR_NOT_READY;
        case EMFILE:
        case ENFILE:
            return ERROR_TOO_MANY_OPEN_FILES;
        case ENAMETOOLONG:
            return ERROR_FILENAME_EXCED_RANGE;
        case EBUSY:
        case ETXTBSY:
            return ERROR_BUSY;
        case ENOMEM:
            return ERROR_NOT_ENOUGH_MEMORY;
        case EINVAL:
            return ERROR_INVALID_PARAMETER;
        case EBADF:
            return ERROR_INVALID_HANDLE;
        default:
            return ERROR_GEN_FAILURE;
    }
}

}  // namespace hl::win32
