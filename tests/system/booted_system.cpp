#include "booted_system.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "protocol/channel.h"
#include "registry/store.h"

namespace system_test {
namespace {

namespace fs = std::filesystem;

void SetDword(registry::Store& store, const registry::KeyPath& key, const char* name,
              std::uint32_t value) {
    store.SetValue({}, key, name, registry::kRegDword,
                   std::span(reinterpret_cast<const std::uint8_t*>(&value), sizeof(value)));
}

void SetString(registry::Store& store, const registry::KeyPath& key, const char* name,
               const std::u16string& text) {
    store.SetValue(
        {}, key, name, registry::kRegSz,
        std::span(reinterpret_cast<const std::uint8_t*>(text.c_str()), (text.size() + 1) * 2));
}

// The folders of a system root and the driver's service key, as installing the product leaves them.
fs::path MakeRoot() {
    const fs::path root = fs::temp_directory_path() / ("hl-system-" + std::to_string(::getpid()));
    fs::remove_all(root);
    const fs::path drivers = root / "drive_c" / "WINDOWS" / "system32" / "drivers";
    fs::create_directories(drivers);
    for (const char* folder : {"registry", "run", "dev", "mnt", "dosdevices"}) {
        fs::create_directories(root / folder);
    }
    fs::create_directory_symlink("../drive_c", root / "dosdevices" / "c:");
    fs::copy_file(LOCKVOL_PATH, drivers / "lockvol.sys");
    std::unique_ptr<registry::Store> store;
    if (registry::Store::Open(root / "registry", store) != registry::Result::Ok) {
        ADD_FAILURE() << "no hives in " << root;
        return root;
    }
    const registry::KeyPath service{registry::Root::LocalMachine,
                                    "SYSTEM\\CurrentControlSet\\Services\\Lockvol"};
    store->CreateKey({}, service);
    SetString(*store, service, "ImagePath", u"\\SystemRoot\\system32\\drivers\\lockvol.sys");
    SetDword(*store, service, "ErrorControl", 1);
    SetDword(*store, service, "Start", 1);
    SetDword(*store, service, "Type", 1);
    const registry::KeyPath parameters{registry::Root::LocalMachine, service.path + "\\Parameters"};
    store->CreateKey({}, parameters);
    SetDword(*store, parameters, "NumberOfDevices", 4);
    ::setenv("HARBORLOCK_SYSTEM", root.c_str(), 1);
    return root;
}

bool Serving(const fs::path& root) {
    const int fd = hl::protocol::Channel::Connect((root / "run" / "kernel.sock").c_str());
    if (fd < 0) {
        return false;
    }
    ::close(fd);
    return true;
}

// The root goes with the test program, after its last kernel has shut down.
class RootCleanup : public ::testing::Environment {
public:
    // A machine without FUSE cannot run a system's disks at all.
    void SetUp() override {
        if (!fs::exists("/dev/fuse")) {
            GTEST_SKIP()
                << "no /dev/fuse on this machine: a system's disk surface cannot be mounted";
        }
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(fs::temp_directory_path() / ("hl-system-" + std::to_string(::getpid())),
                       ignored);
    }
};
const auto* const kRootCleanup = ::testing::AddGlobalTestEnvironment(new RootCleanup);

}  // namespace

const fs::path& BootedSystem::Root() {
    static const fs::path root = MakeRoot();
    return root;
}

BootedSystem::BootedSystem() {
    Boot();
}

BootedSystem::~BootedSystem() {
    Shutdown();
}

void BootedSystem::Boot() {
    const fs::path& root = Root();
    pid_ = ::fork();
    if (pid_ == 0) {
        ::execl(HLKERNEL_PATH, HLKERNEL_PATH, root.c_str(), static_cast<char*>(nullptr));
        std::_Exit(127);
    }
    for (int i = 0; i < 500 && !Serving(root); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_TRUE(Serving(root)) << "the kernel of " << root << " does not serve";
}

void BootedSystem::Shutdown() {
    if (pid_ <= 0) {
        return;
    }
    ::kill(pid_, SIGTERM);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << "the kernel ended with status " << status;
    pid_ = -1;
}

void BootedSystem::Restart() {
    Shutdown();
    Boot();
}

void BootedSystem::Kill() {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
}

}  // namespace system_test
