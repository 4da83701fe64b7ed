// CreateFileA and the calls on its handles, for host files and folders and for kernel devices.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "handles.h"
#include "kernel_link.h"
#include "paths.h"

namespace hl::win32 {
namespace {

constexpr DWORD kReadAccess = GENERIC_READ | FILE_READ_DATA | GENERIC_ALL;
constexpr DWORD kWriteAccess = GENERIC_WRITE | FILE_WRITE_DATA | FILE_APPEND_DATA | GENERIC_ALL;

int OpenFlags(DWORD access) {
    const bool reads = (access & kReadAccess) != 0;
    const bool writes = (access & kWriteAccess) != 0;
    return (reads && writes) ? O_RDWR : writes ? O_WRONLY : O_RDONLY;
}

HANDLE FailHandle(DWORD error) {
    SetLastError(error);
    return INVALID_HANDLE_VALUE;
}

HANDLE OpenKernelDevice(const ResolvedPath& path, DWORD access) {
    if (!KernelLink::Instance().Available()) {
        return FailHandle(ERROR_FILE_NOT_FOUND);  // no kernel, so no such device
    }
    protocol::OpenDeviceRequest request{path.ntName, access};
    protocol::OpenDeviceReply reply;
    if (!KernelCall<protocol::RequestType::OpenDevice>(request, reply)) {
        return INVALID_HANDLE_VALUE;
    }
    SetLastError(ERROR_SUCCESS);
    return InsertHandle(
        std::make_shared<KernelFile>(reply.handle, KernelLink::Instance().Generation()));
}

HANDLE OpenFolder(const ResolvedPath& path, DWORD disposition, DWORD flags) {
    if ((flags & FILE_FLAG_BACKUP_SEMANTICS) == 0) {
        return FailHandle(ERROR_ACCESS_DENIED);
    }
    if (disposition == CREATE_NEW) {
        return FailHandle(ERROR_FILE_EXISTS);
    }
    const int fd = ::open(path.host.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        return FailHandle(Win32ErrorFromErrno(errno));
    }
    SetLastError(disposition == OPEN_ALWAYS ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return InsertHandle(std::make_shared<HostFile>(fd, true));
}

HANDLE OpenHostFile(const ResolvedPath& path, DWORD access, DWORD disposition, DWORD flags) {
    std::error_code error;
    if (path.exists && std::filesystem::is_directory(path.host, error)) {
        return OpenFolder(path, disposition, flags);
    }
    int openFlags = OpenFlags(access) | O_CLOEXEC;
    switch (disposition) {
        case CREATE_NEW:
            openFlags |= O_CREAT | O_EXCL;
            break;
        case CREATE_ALWAYS:
            openFlags |= O_CREAT | O_TRUNC;
            break;
        case OPEN_EXISTING:
            break;
        case OPEN_ALWAYS:
            openFlags |= O_CREAT;
            break;
        case TRUNCATE_EXISTING:
            if ((access & kWriteAccess) == 0) {
                return FailHandle(ERROR_INVALID_PARAMETER);
            }
            openFlags |= O_TRUNC;
            break;
        default:
            return FailHandle(ERROR_INVALID_PARAMETER);
    }
    if ((openFlags & O_TRUNC) != 0 && (openFlags & O_ACCMODE) == O_RDONLY) {
        openFlags = (openFlags & ~O_ACCMODE) | O_WRONLY;
    }
    const int fd = ::open(path.host.c_str(), openFlags, 0666);
    if (fd < 0) {
        // CreateFile reports a name collision as ERROR_FILE_EXISTS, not ERROR_ALREADY_EXISTS.
        return FailHandle(errno == EEXIST ? ERROR_FILE_EXISTS : Win32ErrorFromErrno(errno));
    }
    const bool existed = path.exists && disposition != CREATE_NEW;
    SetLastError(existed && (disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS)
                     ? ERROR_ALREADY_EXISTS
                     : ERROR_SUCCESS);
    return InsertHandle(std::make_shared<HostFile>(fd, false));
}

BOOL TransferResult(const protocol::TransferReply& reply, LPDWORD count) {
    if (count != nullptr) {
        *count = static_cast<DWORD>(reply.information);
    }
    return TRUE;
}

}  // namespace
}  // namespace hl::win32

using namespace hl::win32;
namespace protocol = hl::protocol;

extern "C" HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess,
                                     DWORD /*dwShareMode*/, LPSECURITY_ATTRIBUTES,
                                     DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes,
                                     HANDLE) {
    if (lpFileName == nullptr) {
        return FailHandle(ERROR_INVALID_PARAMETER);
    }
    ResolvedPath path;
    if (const DWORD failure = ResolvePath(lpFileName, path); failure != ERROR_SUCCESS) {
        return FailHandle(failure);
    }
    if (path.kind == ResolvedPath::Kind::KernelDevice) {
        return OpenKernelDevice(path, dwDesiredAccess);
    }
    return OpenHostFile(path, dwDesiredAccess, dwCreationDisposition, dwFlagsAndAttributes);
}

extern "C" BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
                                LPDWORD lpNumberOfBytesRead, LPOVERLAPPED) {
    if (lpNumberOfBytesRead != nullptr) {
        *lpNumberOfBytesRead = 0;
    }
    if (auto device = LookupHandleAs<KernelFile>(hFile)) {
        // Longer than one message takes, it goes in pieces, as a disk's class driver splits a
        // transfer longer than its adapter takes; a piece that fails or comes short ends it.
        DWORD done = 0;
        do {
            const DWORD piece =
                std::min<DWORD>(nNumberOfBytesToRead - done, protocol::kMaxTransferBytes);
            protocol::TransferReply reply;
            if (!KernelCall<protocol::RequestType::ReadDevice>(
                    {device->handle, device->position, piece}, reply, &device->generation)) {
                return FALSE;
            }
            const DWORD count = static_cast<DWORD>(std::min<std::size_t>(reply.data.size(), piece));
            if (count > 0) {
                std::memcpy(static_cast<std::uint8_t*>(lpBuffer) + done, reply.data.data(), count);
            }
            device->position += count;
            done += count;
            if (lpNumberOfBytesRead != nullptr) {
                *lpNumberOfBytesRead = done;
            }
            if (count < piece) {
                break;
            }
        } while (done < nNumberOfBytesToRead);
        return TRUE;
    }
    auto file = LookupHandleAs<HostFile>(hFile);
    if (!file) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    if (file->directory) {
        return Fail(ERROR_INVALID_FUNCTION);
    }
    std::size_t done = 0;
    while (done < nNumberOfBytesToRead) {
        const ssize_t got =
            ::read(file->fd, static_cast<char*>(lpBuffer) + done, nNumberOfBytesToRead - done);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            return Fail(Win32ErrorFromErrno(errno));
        }
        if (got == 0) {
            break;
        }
        done += static_cast<std::size_t>(got);
    }
    if (lpNumberOfBytesRead != nullptr) {
        *lpNumberOfBytesRead = static_cast<DWORD>(done);
    }
    return TRUE;
}

extern "C" BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                                 LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED) {
    if (lpNumberOfBytesWritten != nullptr) {
        *lpNumberOfBytesWritten = 0;
    }
    if (auto device = LookupHandleAs<KernelFile>(hFile)) {
        const auto* bytes = static_cast<const std::uint8_t*>(lpBuffer);
        DWORD done = 0;
        do {
            const DWORD piece =
                std::min<DWORD>(nNumberOfBytesToWrite - done, protocol::kMaxTransferBytes);
            protocol::WriteDeviceRequest request;
            request.handle = device->handle;
            request.offset = device->position;
            request.data.assign(bytes + done, bytes + done + piece);
            protocol::TransferReply reply;
            if (!KernelCall<protocol::RequestType::WriteDevice>(request, reply,
                                                                &device->generation)) {
                return FALSE;
            }
            const DWORD count =
                static_cast<DWORD>(std::min<std::uint64_t>(reply.information, piece));
            device->position += count;
            done += count;
            if (lpNumberOfBytesWritten != nullptr) {
                *lpNumberOfBytesWritten = done;
            }
            if (count < piece) {
                break;
            }
        } while (done < nNumberOfBytesToWrite);
        return TRUE;
    }
    auto file = LookupHandleAs<HostFile>(hFile);
    if (!file) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    if (file->directory) {
        return Fail(ERROR_INVALID_FUNCTION);
    }
    std::size_t done = 0;
    while (done < nNumberOfBytesToWrite) {
        const ssize_t written = ::write(file->fd, static_cast<const char*>(lpBuffer) + done,
                                        nNumberOfBytesToWrite - done);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return Fail(Win32ErrorFromErrno(written < 0 ? errno : ENOSPC));
        }
        done += static_cast<std::size_t>(written);
    }
    if (lpNumberOfBytesWritten != nullptr) {
        *lpNumberOfBytesWritten = static_cast<DWORD>(done);
    }
    return TRUE;
}

extern "C" BOOL WINAPI SetFilePointerEx(HANDLE hFile, LARGE_INTEGER liDistanceToMove,
                                        PLARGE_INTEGER lpNewFilePointer, DWORD dwMoveMethod) {
    if (dwMoveMethod > FILE_END) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    if (auto device = LookupHandleAs<KernelFile>(hFile)) {
        if (dwMoveMethod == FILE_END) {
            return Fail(ERROR_INVALID_PARAMETER);  // a device's end is asked with
                                                   // IOCTL_DISK_GET_LENGTH_INFO
        }
        const std::int64_t base = dwMoveMethod == FILE_BEGIN ? 0 : device->position;
        if (base + liDistanceToMove.QuadPart < 0) {
            return Fail(ERROR_NEGATIVE_SEEK);
        }
        device->position = base + liDistanceToMove.QuadPart;
        if (lpNewFilePointer != nullptr) {
            lpNewFilePointer->QuadPart = device->position;
        }
        return TRUE;
    }
    auto file = LookupHandleAs<HostFile>(hFile);
    if (!file) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    static constexpr int kWhence[] = {SEEK_SET, SEEK_CUR, SEEK_END};
    const off_t moved = ::lseek(file->fd, liDistanceToMove.QuadPart, kWhence[dwMoveMethod]);
    if (moved < 0) {
        return Fail(errno == EINVAL ? ERROR_NEGATIVE_SEEK : Win32ErrorFromErrno(errno));
    }
    if (lpNewFilePointer != nullptr) {
        lpNewFilePointer->QuadPart = moved;
    }
    return TRUE;
}

extern "C" BOOL WINAPI GetFileSizeEx(HANDLE hFile, PLARGE_INTEGER lpFileSize) {
    auto file = LookupHandleAs<HostFile>(hFile);
    if (!file) {
        return Fail(LookupHandle(hFile) ? ERROR_INVALID_FUNCTION : ERROR_INVALID_HANDLE);
    }
    struct stat status {};
    if (::fstat(file->fd, &status) != 0) {
        return Fail(Win32ErrorFromErrno(errno));
    }
    lpFileSize->QuadPart = file->directory ? 0 : status.st_size;
    return TRUE;
}

extern "C" BOOL WINAPI FlushFileBuffers(HANDLE hFile) {
    auto file = LookupHandleAs<HostFile>(hFile);
    if (!file) {
        return LookupHandle(hFile) ? TRUE : Fail(ERROR_INVALID_HANDLE);
    }
    return ::fsync(file->fd) == 0 ? TRUE : Fail(Win32ErrorFromErrno(errno));
}

extern "C" BOOL WINAPI DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer,
                                       DWORD nInBufferSize, LPVOID lpOutBuffer,
                                       DWORD nOutBufferSize, LPDWORD lpBytesReturned,
                                       LPOVERLAPPED) {
    if (lpBytesReturned != nullptr) {
        *lpBytesReturned = 0;
    }
    auto device = LookupHandleAs<KernelFile>(hDevice);
    if (!device) {
        return Fail(LookupHandle(hDevice) ? ERROR_INVALID_FUNCTION : ERROR_INVALID_HANDLE);
    }
    if ((lpInBuffer != nullptr && nInBufferSize > protocol::kMaxControlBytes) ||
        (lpOutBuffer != nullptr && nOutBufferSize > protocol::kMaxControlBytes)) {
        return Fail(ERROR_INVALID_PARAMETER);  // no device of the system takes such a record
    }
    protocol::DeviceControlRequest request;
    request.handle = device->handle;
    request.code = dwIoControlCode;
    if (lpInBuffer != nullptr) {
        const auto* bytes = static_cast<const std::uint8_t*>(lpInBuffer);
        request.input.assign(bytes, bytes + nInBufferSize);
    }
    request.outputLength = lpOutBuffer != nullptr ? nOutBufferSize : 0;
    protocol::TransferReply reply;
    if (!KernelCall<protocol::RequestType::DeviceControl>(request, reply, &device->generation)) {
        return FALSE;
    }
    const std::size_t count = std::min<std::size_t>(reply.data.size(), request.outputLength);
    if (count > 0) {
        std::memcpy(lpOutBuffer, reply.data.data(), count);
    }
    return TransferResult(reply, lpBytesReturned);
}
