// Windows paths to host paths: drive letters through the system's dosdevices folder (or the
// kernel, for volumes it mounts), network paths through dosdevices/unc, every component matched
// without regard to case.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

#include "internal.h"

namespace hl::win32 {

struct ResolvedPath {
    enum class Kind { HostFile, KernelDevice };
    Kind kind = Kind::HostFile;
    std::filesystem::path host;  // a host file or folder
    std::u16string ntName;       // a kernel device: "\??\X:"
    bool exists = false;         // the host file or folder is there
};

// ERROR_SUCCESS, or the error a Windows call gives for such a path.
DWORD ResolvePath(std::string_view path, ResolvedPath& resolved);

// The host folder that holds the root of drive `letter`, mounting its volume first if need be.
DWORD DriveRoot(char letter, std::filesystem::path& host);

}  // namespace hl::win32
