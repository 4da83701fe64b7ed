// MS-DOS device names, drive letters and volumes.
#include <sys/statfs.h>
#include <sys/statvfs.h>

#include <cctype>
#include <cstring>
#include <functional>

#include "kernel_link.h"
#include "paths.h"

namespace hl::win32 {
namespace {

// Writes names as a list of zero-terminated strings ended by one more zero; returns the
// characters stored, or 0 with ERROR_INSUFFICIENT_BUFFER.
DWORD StoreMultiString(const std::vector<std::string>& names, LPSTR buffer, DWORD capacity) {
    std::size_t needed = 1;
    for (const auto& name : names) {
        needed += name.size() + 1;
    }
    if (buffer == nullptr || needed > capacity) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    char* out = buffer;
    for (const auto& name : names) {
        std::memcpy(out, name.c_str(), name.size() + 1);
        out += name.size() + 1;
    }
    *out = 0;
    return static_cast<DWORD>(needed);
}

bool QueryNames(const std::u16string& deviceName, std::vector<std::string>& names) {
    protocol::NamesReply reply;
    if (!KernelCall<protocol::RequestType::QueryDosDevice>({deviceName}, reply)) {
        return false;
    }
    for (const auto& name : reply.names) {
        names.push_back(Utf16ToAnsi(name));
    }
    return true;
}

// The drive letter a root path names ("X:", "X:\"), or the current folder's for null.
char DriveOf(LPCSTR root) {
    if (root == nullptr) {
        return 'C';
    }
    if (std::isalpha(static_cast<unsigned char>(root[0])) && root[1] == ':' &&
        (root[2] == 0 || ((root[2] == '\\' || root[2] == '/') && root[3] == 0))) {
        return static_cast<char>(std::toupper(static_cast<unsigned char>(root[0])));
    }
    return 0;
}

bool IsNetworkPath(LPCSTR path) {
    return path != nullptr && (path[0] == '\\' || path[0] == '/') &&
           (path[1] == '\\' || path[1] == '/') && path[2] != '.' && path[2] != '?';
}

void CopyOut(const std::string& text, LPSTR buffer, DWORD size) {
    if (buffer != nullptr && size > 0) {
        const std::size_t count = std::min<std::size_t>(text.size(), size - 1);
        std::memcpy(buffer, text.data(), count);
        buffer[count] = 0;
    }
}

}  // namespace
}  // namespace hl::win32

using namespace hl::win32;
namespace protocol = hl::protocol;

extern "C" BOOL WINAPI DefineDosDeviceA(DWORD dwFlags, LPCSTR lpDeviceName, LPCSTR lpTargetPath) {
    if (lpDeviceName == nullptr || *lpDeviceName == 0) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    protocol::DefineDosDeviceRequest request;
    request.flags = dwFlags;
    request.deviceName = AnsiToUtf16(lpDeviceName);
    if (lpTargetPath != nullptr) {
        request.targetPath = AnsiToUtf16(lpTargetPath);
    }
    protocol::StatusReply reply;
    return KernelCall<protocol::RequestType::DefineDosDevice>(request, reply) ? TRUE : FALSE;
}

extern "C" DWORD WINAPI QueryDosDeviceA(LPCSTR lpDeviceName, LPSTR lpTargetPath, DWORD ucchMax) {
    std::vector<std::string> names;
    if (!QueryNames(lpDeviceName != nullptr ? AnsiToUtf16(lpDeviceName) : std::u16string(),
                    names)) {
        return 0;
    }
    return StoreMultiString(names, lpTargetPath, ucchMax);
}

extern "C" DWORD WINAPI GetLogicalDriveStringsA(DWORD nBufferLength, LPSTR lpBuffer) {
    std::vector<std::string> names;
    if (!QueryNames(u"", names)) {
        return 0;
    }
    std::vector<std::string> drives;
    for (const auto& name : names) {
        if (name.size() == 2 && name[1] == ':' &&
            std::isalpha(static_cast<unsigned char>(name[0]))) {
            drives.push_back(name + "\\");
        }
    }
    std::sort(drives.begin(), drives.end());
    std::size_t needed = 0;
    for (const auto& drive : drives) {
        needed += drive.size() + 1;
    }
    if (lpBuffer == nullptr || needed + 1 > nBufferLength) {
        return static_cast<DWORD>(needed + 1);  // the size to ask for, as Windows answers
    }
    StoreMultiString(drives, lpBuffer, nBufferLength);
    return static_cast<DWORD>(needed);
}

extern "C" UINT WINAPI GetDriveTypeA(LPCSTR lpRootPathName) {
    if (IsNetworkPath(lpRootPathName)) {
        return DRIVE_REMOTE;
    }
    const char letter = DriveOf(lpRootPathName);
    if (letter == 0) {
        return DRIVE_NO_ROOT_DIR;
    }
    std::vector<std::string> targets;
    if (!QueryNames(std::u16string{static_cast<char16_t>(letter), u':'}, targets) ||
        targets.empty()) {
        return DRIVE_NO_ROOT_DIR;
    }
    return DRIVE_FIXED;  // host drives and the disk devices are fixed disks
}

extern "C" BOOL WINAPI GetDiskFreeSpaceExA(LPCSTR lpDirectoryName,
                                           PULARGE_INTEGER lpFreeBytesAvailableToCaller,
                                           PULARGE_INTEGER lpTotalNumberOfBytes,
                                           PULARGE_INTEGER lpTotalNumberOfFreeBytes) {
    ResolvedPath path;
    if (const DWORD failure = ResolvePath(lpDirectoryName != nullptr ? lpDirectoryName : ".", path);
        failure != ERROR_SUCCESS) {
        return Fail(failure);
    }
    struct statvfs status {};
    if (path.kind != ResolvedPath::Kind::HostFile || !path.exists ||
        ::statvfs(path.host.c_str(), &status) != 0) {
        return Fail(ERROR_PATH_NOT_FOUND);
    }
    const ULONGLONG unit = status.f_frsize;
    if (lpFreeBytesAvailableToCaller != nullptr) {
        lpFreeBytesAvailableToCaller->QuadPart = unit * status.f_bavail;
    }
    if (lpTotalNumberOfBytes != nullptr) {
        lpTotalNumberOfBytes->QuadPart = unit * status.f_blocks;
    }
    if (lpTotalNumberOfFreeBytes != nullptr) {
        lpTotalNumberOfFreeBytes->QuadPart = unit * status.f_bfree;
    }
    return TRUE;
}

extern "C" BOOL WINAPI GetVolumeInformationA(LPCSTR lpRootPathName, LPSTR lpVolumeNameBuffer,
                                             DWORD nVolumeNameSize, LPDWORD lpVolumeSerialNumber,
                                             LPDWORD lpMaximumComponentLength,
                                             LPDWORD lpFileSystemFlags,
                                             LPSTR lpFileSystemNameBuffer,
                                             DWORD nFileSystemNameSize) {
    const char letter = DriveOf(lpRootPathName);
    if (letter == 0) {
        return Fail(ERROR_INVALID_NAME);
    }
    std::filesystem::path root;
    if (const DWORD failure = DriveRoot(letter, root); failure != ERROR_SUCCESS) {
        return Fail(failure);
    }
    struct statvfs status {};
    if (::statvfs(root.c_str(), &status) != 0) {
        return Fail(ERROR_NOT_READY);
    }
    CopyOut("", lpVolumeNameBuffer, nVolumeNameSize);
    if (lpVolumeSerialNumber != nullptr) {
        *lpVolumeSerialNumber =
            static_cast<DWORD>(std::hash<std::string>{}(root.string()) ^ status.f_fsid);
    }
    if (lpMaximumComponentLength != nullptr) {
        *lpMaximumComponentLength = 255;
    }
    if (lpFileSystemFlags != nullptr) {
        *lpFileSystemFlags = FILE_CASE_PRESERVED_NAMES | FILE_UNICODE_ON_DISK |
                             FILE_PERSISTENT_ACLS | FILE_SUPPORTS_REPARSE_POINTS;
    }
    // Every volume this system mounts, and its host drives, are NTFS.
    CopyOut("NTFS", lpFileSystemNameBuffer, nFileSystemNameSize);
    return TRUE;
}
