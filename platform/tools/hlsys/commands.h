// What the subcommands of hlsys share.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace hlsys {

// The arguments after the subcommand's name.
using Arguments = std::vector<std::string>;

#define HLSYS_COMMAND(function, name, arguments, summary) int function(const Arguments&);
#include "commands.def"
#undef HLSYS_COMMAND

// Prints "hlsys: message" on the standard error and returns the failure exit code.
int Fail(const std::string& message);
// Prints the usage line of one subcommand and returns the exit code for a bad command line.
int Usage(const std::string& name);
// Whether a kernel holds the root's lock.
bool KernelRunning(const std::filesystem::path& root);

}  // namespace hlsys
