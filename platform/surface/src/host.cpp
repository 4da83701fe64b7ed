#include "host.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <system_error>
#include <thread>

extern char** environ;

namespace surface::host {
namespace {

// A file of another process under /proc, read with plain calls: the process may end meanwhile,
// and a stream would throw on the read that fails then. Empty when it has gone.
std::string ReadProcessFile(pid_t pid, const char* name) {
    const std::string path = "/proc/" + std::to_string(pid) + "/" + name;
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    std::string content;
    if (fd < 0) {
        return content;
    }
    char buffer[4096];
    ssize_t got = 0;
    while ((got = read(fd, buffer, sizeof buffer)) > 0 || (got < 0 && errno == EINTR)) {
        if (got > 0) {
            content.append(buffer, static_cast<std::size_t>(got));
        }
    }
    close(fd);
    return got < 0 ? std::string() : content;
}

// mountinfo escapes space, tab, newline and backslash as \ooo.
std::string Unescape(const std::string& field) {
    std::string out;
    for (std::size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size()) {
            const std::string digits = field.substr(i + 1, 3);
            if (std::all_of(digits.begin(), digits.end(),
                            [](char c) { return c >= '0' && c <= '7'; })) {
                out.push_back(static_cast<char>(std::stoi(digits, nullptr, 8)));
                i += 3;
                continue;
            }
        }
        out.push_back(field[i]);
    }
    return out;
}

bool IsBelow(const std::string& path, const std::string& folder) {
    return path == folder ||
           (path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0 &&
            path[folder.size()] == '/');
}

constexpr auto kPoll = std::chrono::milliseconds(5);

}  // namespace

std::vector<std::string> MountPoints() {
    std::vector<std::string> points;
    std::ifstream info("/proc/self/mountinfo");
    std::string line;
    while (std::getline(info, line)) {
        std::istringstream fields(line);
        std::string id, parent, device, source, point;
        if (fields >> id >> parent >> device >> source >> point) {
            points.push_back(Unescape(point));
        }
    }
    return points;
}

bool IsMountPoint(const std::filesystem::path& path) {
    const std::string wanted = Canonical(path).string();
    const auto points = MountPoints();
    return std::find(points.begin(), points.end(), wanted) != points.end();
}

std::vector<std::string> MountPointsUnder(const std::filesystem::path& folder) {
    const std::string base = Canonical(folder).string();
    std::vector<std::string> below;
    for (auto& point : MountPoints()) {
        if (IsBelow(point, base) && std::find(below.begin(), below.end(), point) == below.end()) {
            below.push_back(point);
        }
    }
    std::sort(below.begin(), below.end(),
              [](const std::string& a, const std::string& b) { return a.size() > b.size(); });
    return below;
}

std::filesystem::path Canonical(const std::filesystem::path& path) {
    std::error_code error;
    auto absolute = std::filesystem::absolute(path, error).lexically_normal();
    if (absolute.filename().empty() && absolute.has_relative_path()) {
        absolute = absolute.parent_path();  // "root/" names the folder "root"
    }
    if (auto resolved = std::filesystem::weakly_canonical(absolute, error); !error) {
        return resolved;
    }
    // A stale FUSE mount fails every stat with ENOTCONN: resolve its parent and append the name.
    auto parent = std::filesystem::weakly_canonical(absolute.parent_path(), error);
    return error ? absolute : parent / absolute.filename();
}

std::optional<pid_t> Spawn(const std::vector<std::string>& argv, Output output, int errorFd) {
    std::vector<char*> args;
    for (const auto& arg : argv) {
        args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    if (errorFd >= 0) {
        posix_spawn_file_actions_adddup2(&actions, errorFd, 2);
    } else if (output == Output::Silent) {
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    }
    // The host's client sockets and its signal handling are none of the child's business; its
    // own session keeps a terminal's Ctrl-C away from the volumes.
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    posix_spawn_file_actions_addchdir_np(&actions, "/");
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t signals;
    sigemptyset(&signals);
    posix_spawnattr_setsigmask(&attributes, &signals);
    sigfillset(&signals);
    posix_spawnattr_setsigdefault(&attributes, &signals);
    posix_spawnattr_setflags(&attributes,
                             POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSID);
    pid_t pid = 0;
    const int error = posix_spawn(&pid, args[0], &actions, &attributes, args.data(), environ);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) {
        return std::nullopt;
    }
    return pid;
}

std::optional<int> WaitChild(pid_t pid, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        int status = 0;
        const pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) {
            return status;
        }
        if (done < 0 && errno != EINTR) {
            return -1;  // not our child any more
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return std::nullopt;
        }
        std::this_thread::sleep_for(kPoll);
    }
}

int Run(const std::vector<std::string>& argv, Output output) {
    const auto pid = Spawn(argv, output);
    if (!pid) {
        return -1;
    }
    int status = 0;
    while (waitpid(*pid, &status, 0) < 0) {
        if (errno != EINTR) {
            return -1;
        }
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int RunCapturing(const std::vector<std::string>& argv, std::string& errors) {
    errors.clear();
    const int capture = memfd_create("stderr", MFD_CLOEXEC);
    if (capture < 0) {
        return Run(argv, Output::Silent);
    }
    int result = -1;
    if (const auto pid = Spawn(argv, Output::Silent, capture)) {
        int status = 0;
        pid_t done = 0;
        while ((done = waitpid(*pid, &status, 0)) < 0 && errno == EINTR) {
        }
        result = done == *pid && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        char buffer[4096];
        ssize_t got = 0;
        for (off_t offset = 0; (got = pread(capture, buffer, sizeof buffer, offset)) > 0;
             offset += got) {
            errors.append(buffer, static_cast<std::size_t>(got));
        }
    }
    close(capture);
    return result;
}

void Terminate(pid_t child, std::chrono::milliseconds grace) {
    kill(child, SIGTERM);
    if (!WaitChild(child, grace)) {
        kill(child, SIGKILL);
        WaitChild(child, std::chrono::hours(1));
    }
}

std::vector<pid_t> Processes() {
    std::vector<pid_t> pids;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/proc", error)) {
        const auto name = entry.path().filename().string();
        if (!name.empty() &&
            std::all_of(name.begin(), name.end(), [](char c) { return c >= '0' && c <= '9'; })) {
            pids.push_back(static_cast<pid_t>(std::stol(name)));
        }
    }
    return pids;
}

std::vector<std::string> CommandLine(pid_t pid) {
    std::istringstream file(ReadProcessFile(pid, "cmdline"));
    std::vector<std::string> args;
    std::string arg;
    while (std::getline(file, arg, '\0')) {
        args.push_back(arg);
    }
    return args;
}

bool WaitGone(pid_t pid, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        int status = 0;
        waitpid(pid, &status, WNOHANG);
        const std::string line = ReadProcessFile(pid, "stat");
        if (line.empty()) {
            return true;
        }
        const auto close = line.rfind(')');
        if (close != std::string::npos && close + 2 < line.size() && line[close + 2] == 'Z') {
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(kPoll);
    }
}

std::optional<std::string> ReadLink(const std::filesystem::path& link) {
    char buffer[4096];
    const ssize_t length = readlink(link.c_str(), buffer, sizeof buffer);
    if (length < 0) {
        return std::nullopt;
    }
    return std::string(buffer, static_cast<std::size_t>(length));
}

}  // namespace surface::host
