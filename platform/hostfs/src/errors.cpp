#include <ntstatus.h>

#include <cerrno>

#include "hostfs/hostfs.h"

namespace hl::hostfs {

NTSTATUS StatusFromErrno(int error) {
    switch (error) {
        case ENOENT:
            return STATUS_OBJECT_NAME_NOT_FOUND;
        case ENOTDIR:
            return STATUS_OBJECT_PATH_NOT_FOUND;
        case EACCES:
        case EPERM:
            return STATUS_ACCESS_DENIED;
        case EEXIST:
            return STATUS_OBJECT_NAME_COLLISION;
        case EISDIR:
            return STATUS_FILE_IS_A_DIRECTORY;
        case ENOSPC:
        case EDQUOT:
        case EFBIG:
            return STATUS_DISK_FULL;
        case EROFS:
            return STATUS_MEDIA_WRITE_PROTECTED;
        case ENOMEDIUM:
            return STATUS_NO_MEDIA_IN_DEVICE;
        case ENAMETOOLONG:
            return STATUS_NAME_TOO_LONG;
        case EMFILE:
        case ENFILE:
            return STATUS_TOO_MANY_OPENED_FILES;
        case ENOMEM:
            return STATUS_NO_MEMORY;
        case EINVAL:
            return STATUS_INVALID_PARAMETER;
        case EBADF:
            return STATUS_INVALID_HANDLE;
        case ENOTEMPTY:
            return STATUS_DIRECTORY_NOT_EMPTY;
        case ELOOP:
            return STATUS_TOO_MANY_LINKS;
        case ETXTBSY:
        case EBUSY:
            // What Windows reports for a file or folder that something else holds.
            return STATUS_SHARING_VIOLATION;
        default:
            return STATUS_IO_DEVICE_ERROR;
    }
}

}  // namespace hl::hostfs
