// The vdtool commands.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vdtool {

enum ExitCode : int {
    kExitOk = 0,
    kExitFailure = 1,        // I/O errors, bad files, bad input
    kExitWrongPassword = 2,  // no candidate salt opens the header
    kExitUsage = 64,
};

struct Options {
    std::string command;
    std::vector<std::string> operands;
    std::optional<std::uint64_t> size;
    std::optional<std::uint64_t> sector;
    std::optional<std::uint64_t> count;
    std::string passwordFile;
    std::string newPasswordFile;
};

int RunCreate(const Options& options);
int RunCheck(const Options& options);
int RunPasswd(const Options& options);
int RunRead(const Options& options);
int RunWrite(const Options& options);
int RunExport(const Options& options);
int RunImport(const Options& options);

}  // namespace vdtool
