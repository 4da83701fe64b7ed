// The steps the system tests take with VaultDisks, as a client of the controller would.
#pragma once

#include <sys/types.h>
#include <windows.h>

#include <string>

#include "controller/controller_state.h"

namespace system_test {

// Mounts `file` on `letter` and sends set-key (size non-zero: a new container whose key
// material is filled from the letter) or open-key; a refused key is followed by a critical
// unmount. True when the disk is ready; the records stay in `state`.
bool MountDisk(ControllerState& state, char letter, const char* file, LONGLONG size,
               const char* password, bool readOnly = false);

// Runs the system's format command on the drive, answering its question with `answer`; its
// exit code.
int FormatDrive(char letter, const char* answer = "Y\n");

bool WriteText(const std::string& path, const std::string& text);
// The file's content, or "<error N>" with the Win32 error.
std::string ReadText(const std::string& path);

// The target of an MS-DOS device name, or "" when it has none.
std::string DosTarget(const char* name);
// Whether a host folder is a mount point now.
bool HostMounted(const std::string& folder);

// Another process of the host that keeps a host file open until this object goes.
class FileHolder {
public:
    explicit FileHolder(const std::string& hostPath);
    ~FileHolder();
    FileHolder(const FileHolder&) = delete;
    FileHolder& operator=(const FileHolder&) = delete;

    // True once the other process has the file open.
    bool Holding() const { return holding_; }

private:
    pid_t pid_ = -1;
    bool holding_ = false;
};

}  // namespace system_test
