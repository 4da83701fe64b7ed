#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace surface::testing {

namespace fs = std::filesystem;

// Mount points below a folder, from /proc/mounts.
inline std::vector<std::string> MountsUnder(const fs::path& folder) {
    std::vector<std::string> found;
    std::ifstream mounts("/proc/mounts");
    std::string line;
    while (std::getline(mounts, line)) {
        std::istringstream fields(line);
        std::string source, point;
        fields >> source >> point;
        if (point.starts_with(folder.string())) {
            found.push_back(point);
        }
    }
    return found;
}

// Live processes whose command line names a path below the folder (ntfs-3g, mkntfs).
inline std::vector<pid_t> ProcessesUsing(const fs::path& folder) {
    std::vector<pid_t> found;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator("/proc", error)) {
        const auto name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos) {
            continue;
        }
        std::ifstream cmdline(entry.path() / "cmdline", std::ios::binary);
        const std::string text((std::istreambuf_iterator<char>(cmdline)), {});
        if (text.find(folder.string()) != std::string::npos) {
            found.push_back(std::stoi(name));
        }
    }
    return found;
}

// A fresh system root in /tmp; on tear-down nothing may stay mounted or running below it.
class RootFixture : public ::testing::Test {
protected:
    void SetUp() override {
        if (access("/dev/fuse", F_OK) != 0) {
            GTEST_SKIP() << "/dev/fuse is absent: the disk surface needs FUSE";
        }
        char pattern[] = "/tmp/hl-surface-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root_ = fs::canonical(pattern);
    }

    // Subclasses stop what they started, then call this.
    void CheckNothingLeft() {
        if (root_.empty()) {
            return;
        }
        const auto mounts = MountsUnder(root_);
        EXPECT_TRUE(mounts.empty()) << "left mounted: " << mounts.front();
        EXPECT_TRUE(ProcessesUsing(root_).empty()) << "a process still serves " << root_;
        for (const auto& point : mounts) {
            umount2(point.c_str(), MNT_DETACH);
        }
        std::error_code error;
        fs::remove_all(root_, error);
        root_.clear();
    }

    fs::path root_;
};

enum class Hold { OpenFile, WorkingFolder };

// A child process that keeps a file open or its working folder at the path until released.
class Holder {
public:
    Holder(const fs::path& path, Hold how) {
        int ready[2];
        if (pipe(ready) != 0) {
            return;
        }
        const std::string target = path.string();
        pid_ = fork();
        if (pid_ == 0) {
            close(ready[0]);
            const bool holding = how == Hold::OpenFile ? open(target.c_str(), O_RDONLY) >= 0
                                                       : chdir(target.c_str()) == 0;
            const char answer = holding ? 1 : 0;
            (void)!write(ready[1], &answer, 1);
            for (;;) {
                pause();
            }
        }
        close(ready[1]);
        char answer = 0;
        holding_ = read(ready[0], &answer, 1) == 1 && answer == 1;
        close(ready[0]);
    }
    ~Holder() { Release(); }
    Holder(const Holder&) = delete;
    Holder& operator=(const Holder&) = delete;

    bool Holding() const { return holding_; }
    pid_t Pid() const { return pid_; }
    void Release() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
            pid_ = -1;
        }
    }

private:
    pid_t pid_ = -1;
    bool holding_ = false;
};

}  // namespace surface::testing
