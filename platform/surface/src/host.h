#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

// Small Linux helpers shared by the surface and the mount manager.
namespace surface::host {

// Mount points from /proc/self/mountinfo, decoded.
std::vector<std::string> MountPoints();
bool IsMountPoint(const std::filesystem::path& path);
// Mount points equal to or below the folder, deepest first.
std::vector<std::string> MountPointsUnder(const std::filesystem::path& folder);
// The absolute path with symbolic links resolved, as /proc shows paths of open files.
std::filesystem::path Canonical(const std::filesystem::path& path);

enum class Output { Stderr, Silent };

// Starts a program in / with stdin and stdout on /dev/null (stderr too when silent, or on
// `errorFd` when one is given); empty when it could not start.
std::optional<pid_t> Spawn(const std::vector<std::string>& argv, Output output = Output::Stderr,
                           int errorFd = -1);
// Waits for a child; its exit status, or empty after the timeout.
std::optional<int> WaitChild(pid_t pid, std::chrono::milliseconds timeout);
// Exit status of a program run to completion, -1 when it did not start or was killed.
int Run(const std::vector<std::string>& argv, Output output = Output::Stderr);
// The same, keeping what the program wrote on its standard error in `errors`.
int RunCapturing(const std::vector<std::string>& argv, std::string& errors);
// Terminates a child: SIGTERM, then SIGKILL after the grace period, and reaps it.
void Terminate(pid_t child, std::chrono::milliseconds grace);

// Process ids of /proc.
std::vector<pid_t> Processes();
std::vector<std::string> CommandLine(pid_t pid);
// Waits until the process has gone or is a zombie (reaping it when it is a child).
bool WaitGone(pid_t pid, std::chrono::milliseconds timeout);

std::optional<std::string> ReadLink(const std::filesystem::path& link);

}  // namespace surface::host
