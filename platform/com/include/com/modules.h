// The platform side of in-process server modules, for the system's own programs (regsvr32).
#pragma once

#include <objbase.h>

#include <string>

namespace hl::com {

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", upper-case hexadecimal.
std::string GuidText(REFGUID guid);
// Reads that form (either case); false when the text is anything else.
bool ParseGuid(const std::string& text, GUID& guid);

// Loads the module a Windows path names (once per process). S_OK, or the Win32 error as an
// HRESULT: ERROR_MOD_NOT_FOUND when there is no such file, ERROR_BAD_EXE_FORMAT when it is no
// loadable module.
HRESULT LoadServerModule(const std::string& windowsPath, void*& module);
// An export of a loaded module, or null.
void* ModuleExport(void* module, const char* name);
// The Windows path a module was loaded from, found by an address inside it; empty when the
// module was not loaded through LoadServerModule.
std::string ModuleWindowsPath(const void* addressInModule);

}  // namespace hl::com
