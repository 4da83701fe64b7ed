#include "paths.h"

#include <unistd.h>

#include <cctype>
#include <system_error>
#include <vector>

#include "hostfs/hostfs.h"
#include "kernel_link.h"

namespace hl::win32 {
namespace {

namespace fs = std::filesystem;

bool IsSeparator(char c) {
    return c == '\\' || c == '/';
}

bool HasInvalidCharacter(std::string_view component) {
    for (char c : component) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || c == '<' || c == '>' || c == ':' || c == '"' || c == '|' || c == '?' ||
            c == '*') {
            return true;
        }
    }
    return false;
}

// Splits at separators, drops "." and empty parts, applies "..", and strips the trailing dots
// and spaces Windows ignores. False when a component holds a character names may not hold.
bool SplitComponents(std::string_view path, std::vector<std::string>& components) {
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t end = start;
        while (end < path.size() && !IsSeparator(path[end])) {
            ++end;
        }
        std::string_view part = path.substr(start, end - start);
        if (part == "..") {
            if (!components.empty()) {
                components.pop_back();
            }
        } else if (part != "." && !part.empty()) {
            while (!part.empty() && (part.back() == '.' || part.back() == ' ')) {
                part.remove_suffix(1);
            }
            if (part.empty() || HasInvalidCharacter(part)) {
                return false;
            }
            components.emplace_back(part);
        }
        start = end + 1;
    }
    return true;
}

// The entry of `folder` whose name equals `name` without regard to case.
bool FindEntry(const fs::path& folder, const std::string& utf8Name, fs::path& entry) {
    std::string name;
    bool found = false;
    if (hostfs::FindEntry(folder.string(), Utf8ToUtf16(utf8Name), name, found) != 0 || !found) {
        return false;
    }
    entry = folder / name;
    return true;
}

DWORD Walk(fs::path base, const std::vector<std::string>& components, ResolvedPath& resolved) {
    std::error_code error;
    for (std::size_t i = 0; i < components.size(); ++i) {
        const std::string name = AnsiToUtf8(components[i]);
        fs::path next;
        const bool found = FindEntry(base, name, next);
        if (i + 1 == components.size()) {
            resolved.host = found ? next : base / name;
            resolved.exists = found;
            return ERROR_SUCCESS;
        }
        if (!found || !fs::is_directory(next, error)) {
            return ERROR_PATH_NOT_FOUND;
        }
        base = next;
    }
    resolved.host = base;
    resolved.exists = fs::exists(base, error);
    return ERROR_SUCCESS;
}

fs::path DosDevices() {
    return *SystemRoot() / "dosdevices";
}

// The Windows form of the process's current folder: the drive whose folder holds the host's
// current directory, or the root of C:.
std::string CurrentDirectory() {
    std::error_code error;
    const fs::path here = fs::canonical(fs::current_path(error), error);
    std::string best = "C:\\";
    std::size_t bestLength = 0;
    for (const auto& entry : fs::directory_iterator(DosDevices(), error)) {
        const std::string name = entry.path().filename().string();
        if (name.size() != 2 || name[1] != ':') {
            continue;
        }
        const fs::path target = fs::canonical(entry.path(), error);
        if (error) {
            continue;
        }
        const fs::path relative = here.lexically_relative(target);
        const std::size_t length = target.string().size();
        if (!relative.empty() && *relative.begin() != ".." && length > bestLength) {
            std::string windows = std::string(1, static_cast<char>(std::toupper(name[0]))) + ":\\";
            if (relative != ".") {
                for (const auto& part : relative) {
                    windows += Utf16ToAnsi(Utf8ToUtf16(part.string())) + "\\";
                }
            }
            best = windows;
            bestLength = length;
        }
    }
    return best;
}

DWORD ResolveUnc(std::string_view rest, ResolvedPath& resolved) {
    std::vector<std::string> components;
    if (!SplitComponents(rest, components) || components.size() < 2) {
        return ERROR_BAD_NETPATH;
    }
    fs::path server;
    fs::path share;
    if (!FindEntry(DosDevices() / "unc", AnsiToUtf8(components[0]), server) ||
        !FindEntry(server, AnsiToUtf8(components[1]), share)) {
        return ERROR_BAD_NETPATH;
    }
    components.erase(components.begin(), components.begin() + 2);
    return Walk(share, components, resolved);
}

}  // namespace

DWORD DriveRoot(char letter, fs::path& host) {
    if (!SystemRoot() || !std::isalpha(static_cast<unsigned char>(letter))) {
        return ERROR_PATH_NOT_FOUND;
    }
    const char lower = static_cast<char>(std::tolower(static_cast<unsigned char>(letter)));
    std::error_code error;
    const fs::path link = DosDevices() / std::string{lower, ':'};
    if (fs::is_directory(link, error)) {
        host = link;
        return ERROR_SUCCESS;
    }
    protocol::VolumePathRequest request;
    request.drive = {static_cast<char16_t>(std::toupper(static_cast<unsigned char>(letter))), u':'};
    protocol::VolumePathReply reply;
    if (!KernelCall<protocol::RequestType::VolumePath>(request, reply)) {
        const DWORD failure = GetLastError();
        return failure == ERROR_FILE_NOT_FOUND ? ERROR_PATH_NOT_FOUND : failure;
    }
    host = reply.hostPath;
    return ERROR_SUCCESS;
}

DWORD ResolvePath(std::string_view path, ResolvedPath& resolved) {
    resolved = {};
    if (path.empty()) {
        return ERROR_PATH_NOT_FOUND;
    }
    if (path.size() >= MAX_PATH) {
        return ERROR_FILENAME_EXCED_RANGE;
    }
    if (!SystemRoot()) {
        return ERROR_PATH_NOT_FOUND;
    }
    if (path.size() >= 4 && IsSeparator(path[0]) && IsSeparator(path[1]) && path[2] == '?' &&
        IsSeparator(path[3])) {
        path.remove_prefix(4);
    }
    if (path.size() >= 4 && IsSeparator(path[0]) && IsSeparator(path[1]) && path[2] == '.' &&
        IsSeparator(path[3])) {
        resolved.kind = ResolvedPath::Kind::KernelDevice;
        resolved.ntName = u"\\??\\" + AnsiToUtf16(path.substr(4));
        return ERROR_SUCCESS;
    }
    if (path.size() >= 2 && IsSeparator(path[0]) && IsSeparator(path[1])) {
        return ResolveUnc(path.substr(2), resolved);
    }
    std::string absolute;
    if (path.size() >= 2 && path[1] == ':') {
        absolute = std::string(path);
    } else if (IsSeparator(path[0])) {
        absolute = CurrentDirectory().substr(0, 2) + std::string(path);
    } else {
        absolute = CurrentDirectory() + std::string(path);
    }
    std::vector<std::string> components;
    if (!SplitComponents(std::string_view(absolute).substr(2), components)) {
        return ERROR_INVALID_NAME;
    }
    fs::path root;
    if (const DWORD failure = DriveRoot(absolute[0], root); failure != ERROR_SUCCESS) {
        return failure;
    }
    return Walk(root, components, resolved);
}

}  // namespace hl::win32
