#include "win32/system_calls.h"

#include "kernel_link.h"
#include "paths.h"

namespace hl::win32 {

DWORD FormatVolume(char letter, const std::string& label, std::string* reason) {
    protocol::FormatVolumeRequest request;
    request.drive = {static_cast<char16_t>(letter), u':'};
    request.label = label;
    protocol::FormatVolumeReply reply;
    if (KernelCall<protocol::RequestType::FormatVolume>(request, reply)) {
        return ERROR_SUCCESS;
    }
    const DWORD error = GetLastError();
    if (reason != nullptr) {
        *reason = reply.reason;
    }
    return error;
}

DWORD SystemStatus(std::vector<std::string>& lines) {
    protocol::SystemStatusReply reply;
    if (!KernelCall<protocol::RequestType::SystemStatus>({}, reply)) {
        return GetLastError();
    }
    lines = reply.lines;
    return ERROR_SUCCESS;
}

DWORD ShutdownSystem() {
    protocol::StatusReply reply;
    return KernelCall<protocol::RequestType::Shutdown>({}, reply) ? ERROR_SUCCESS : GetLastError();
}

DWORD HostPathOf(const std::string& windowsPath, std::string& hostPath) {
    ResolvedPath resolved;
    if (const DWORD failure = ResolvePath(windowsPath, resolved); failure != ERROR_SUCCESS) {
        return failure;
    }
    if (resolved.kind != ResolvedPath::Kind::HostFile) {
        return ERROR_INVALID_NAME;
    }
    hostPath = resolved.host.string();
    return ERROR_SUCCESS;
}

}  // namespace hl::win32
