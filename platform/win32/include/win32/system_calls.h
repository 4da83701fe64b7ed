// Requests to the system's kernel that no Windows API carries: for the system's own programs
// (format, hlsys), never for the product, which uses the Windows calls alone.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace hl::win32 {

// Quick-formats the volume on `letter` with NTFS and mounts it; a Win32 error code. When the
// formatter itself failed, `reason` (if given) receives what it said.
DWORD FormatVolume(char letter, const std::string& label, std::string* reason = nullptr);
// One line per driver, drive letter and volume.
DWORD SystemStatus(std::vector<std::string>& lines);
// Asks the kernel to unload its drivers, take its volumes down and end.
DWORD ShutdownSystem();
// The host file or folder a Windows path names in this process's system.
DWORD HostPathOf(const std::string& windowsPath, std::string& hostPath);

}  // namespace hl::win32
