// Windows rules over host folders, shared by the kernel's Zw file calls and the Win32 file calls.
#pragma once

#include <hl/basetypes.h>

#include <string>
#include <string_view>

namespace hl::hostfs {

// Looks in the host folder `folder` for the entry named `name` without regard to case (Windows
// upper-casing), its exact spelling first. On success `found` tells whether there is one and
// `entry` is its host spelling (or `name` as UTF-8 when there is none). Returns 0, or the errno
// that kept the folder from being read (ENOENT or ENOTDIR: the folder itself is missing).
int FindEntry(const std::string& folder, std::u16string_view name, std::string& entry, bool& found);

// What a host error means as an NT status: the one table behind the kernel's file statuses and,
// through the status-to-error table, the Win32 calls' last errors.
NTSTATUS StatusFromErrno(int error);

}  // namespace hl::hostfs
