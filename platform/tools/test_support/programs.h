// Test helpers for the system's programs: a scratch system root and running a built program.
#pragma once

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace tools::testing {

// A fresh folder under /tmp, open to every user, removed afterwards.
class ScratchFolder {
public:
    ScratchFolder() {
        std::string pattern = "/tmp/hltool-XXXXXX";
        path_ = ::mkdtemp(pattern.data());
        ::chmod(path_.c_str(), 0755);
    }
    ~ScratchFolder() {
        std::error_code error;
        std::filesystem::remove_all(path_, error);
    }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

struct Outcome {
    int exitCode = -1;
    std::string out;
    std::string err;
};

inline std::string ReadFile(const std::filesystem::path& file) {
    std::ifstream stream(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>()};
}

// Runs `program` with `arguments` in `folder`, `system` as its HARBORLOCK_SYSTEM (none when
// empty) and `input` on its standard input.
inline Outcome Run(const std::string& program, const std::vector<std::string>& arguments,
                   const std::filesystem::path& system, const std::filesystem::path& folder,
                   const std::string& input = {}) {
    ScratchFolder streams;
    const auto in = streams.path() / "in";
    const auto out = streams.path() / "out";
    const auto err = streams.path() / "err";
    std::ofstream(in, std::ios::binary) << input;
    const pid_t child = ::fork();
    if (child == 0) {
        const int inFd = ::open(in.c_str(), O_RDONLY);
        const int outFd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int errFd = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (inFd < 0 || outFd < 0 || errFd < 0 || ::dup2(inFd, 0) < 0 || ::dup2(outFd, 1) < 0 ||
            ::dup2(errFd, 2) < 0 || ::chdir(folder.c_str()) != 0) {
            ::_exit(127);
        }
        if (system.empty()) {
            ::unsetenv("HARBORLOCK_SYSTEM");
        } else {
            ::setenv("HARBORLOCK_SYSTEM", system.c_str(), 1);
        }
        std::vector<char*> argv{const_cast<char*>(program.c_str())};
        for (const std::string& argument : arguments) {
            argv.push_back(const_cast<char*>(argument.c_str()));
        }
        argv.push_back(nullptr);
        ::execv(program.c_str(), argv.data());
        ::_exit(127);
    }
    Outcome outcome;
    int status = 0;
    if (child > 0 && ::waitpid(child, &status, 0) == child && WIFEXITED(status)) {
        outcome.exitCode = WEXITSTATUS(status);
    }
    outcome.out = ReadFile(out);
    outcome.err = ReadFile(err);
    return outcome;
}

}  // namespace tools::testing
