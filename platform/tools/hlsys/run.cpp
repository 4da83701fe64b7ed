// run: a program inside the system, with the session's environment and its current folder on C:.
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "commands.h"
#include "win32/system_calls.h"

namespace hlsys {
namespace {

namespace fs = std::filesystem;

bool LooksLikeWindowsPath(const std::string& path) {
    return (path.size() >= 3 && path[1] == ':' && (path[2] == '\\' || path[2] == '/')) ||
           path.starts_with("\\\\");
}

// The session environment that init wrote; the host's own search path is kept so that host
// programs still start.
void ApplySessionEnvironment(const fs::path& root) {
    std::ifstream in(root / "run" / "environment");
    std::string line;
    while (std::getline(in, line)) {
        const std::size_t equals = line.find('=');
        if (equals == std::string::npos || equals == 0) {
            continue;
        }
        const std::string name = line.substr(0, equals);
        if (name == "Path" || name == "PATH") {
            continue;
        }
        ::setenv(name.c_str(), line.substr(equals + 1).c_str(), 1);
    }
}

}  // namespace

int Run(const Arguments& args) {
    if (args.size() < 2) {
        return Usage("run");
    }
    const fs::path root = fs::absolute(args[0]);
    if (!fs::is_directory(root / "drive_c")) {
        return Fail(root.string() + " is not a system root");
    }
    if (!KernelRunning(root)) {
        return Fail("the kernel of " + root.string() +
                    " is not running, so no program can use its devices; start it with: "
                    "hlsys boot " +
                    root.string());
    }
    ::setenv("HARBORLOCK_SYSTEM", root.c_str(), 1);
    std::string program = args[1];
    if (program.find('/') != std::string::npos && !LooksLikeWindowsPath(program)) {
        // A host path is the caller's, not the system's C: folder the program starts in.
        program = fs::absolute(program).string();
    } else if (LooksLikeWindowsPath(program)) {
        std::string host;
        if (hl::win32::HostPathOf(program, host) != ERROR_SUCCESS || !fs::is_regular_file(host)) {
            return Fail("no program " + program + " in " + root.string());
        }
        program = host;
    }
    ApplySessionEnvironment(root);
    std::vector<char*> argv;
    argv.push_back(program.data());
    std::vector<std::string> rest(args.begin() + 2, args.end());
    for (std::string& arg : rest) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    const pid_t child = ::fork();
    if (child == 0) {
        if (::chdir((root / "drive_c").c_str()) != 0) {
            std::_Exit(126);
        }
        ::execvp(program.c_str(), argv.data());
        std::_Exit(127);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    if (WIFEXITED(status)) {
        return WEXITSTATUS(status) == 127 ? Fail("cannot start " + program) : WEXITSTATUS(status);
    }
    return 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}

}  // namespace hlsys
