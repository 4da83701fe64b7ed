#include "direct_system.h"

#include <stdlib.h>

#include <cstring>
#include <random>
#include <vector>

#include "kernel/kernel.h"
#include "registry/store.h"

namespace controller_test {
namespace {

namespace fs = std::filesystem;

constexpr char kServiceKey[] = "SYSTEM\\CurrentControlSet\\Services\\Lockvol";

std::vector<std::uint8_t> Utf16Value(std::string_view text) {
    std::vector<std::uint8_t> data;
    for (char c : text) {
        data.push_back(static_cast<std::uint8_t>(c));
        data.push_back(0);
    }
    data.insert(data.end(), {0, 0});
    return data;
}

std::vector<std::uint8_t> DwordValue(std::uint32_t value) {
    std::vector<std::uint8_t> data(sizeof(value));
    std::memcpy(data.data(), &value, sizeof(value));
    return data;
}

// The driver and its service key as the installer leaves them.
void Install(const fs::path& root) {
    const fs::path drivers = root / "drive_c" / "WINDOWS" / "system32" / "drivers";
    fs::create_directories(drivers);
    fs::create_symlink(LOCKVOL_IMAGE, drivers / "lockvol.sys");
    std::unique_ptr<registry::Store> store;
    ASSERT_EQ(registry::Store::Open(root / "registry", store), registry::Result::Ok);
    const registry::Caller system;
    const registry::KeyPath service{registry::Root::LocalMachine, kServiceKey};
    const registry::KeyPath parameters{registry::Root::LocalMachine,
                                       std::string(kServiceKey) + "\\Parameters"};
    ASSERT_EQ(store->CreateKey(system, service), registry::Result::Ok);
    ASSERT_EQ(store->SetValue(system, service, "ImagePath", registry::kRegExpandSz,
                              Utf16Value("\\SystemRoot\\system32\\drivers\\lockvol.sys")),
              registry::Result::Ok);
    ASSERT_EQ(store->SetValue(system, service, "Type", registry::kRegDword, DwordValue(1)),
              registry::Result::Ok);
    ASSERT_EQ(store->SetValue(system, service, "Start", registry::kRegDword, DwordValue(1)),
              registry::Result::Ok);
    ASSERT_EQ(store->CreateKey(system, parameters), registry::Result::Ok);
    ASSERT_EQ(
        store->SetValue(system, parameters, "NumberOfDevices", registry::kRegDword, DwordValue(4)),
        registry::Result::Ok);
}

struct Root {
    Root() {
        std::random_device random;
        path = fs::temp_directory_path() /
               ("hl-direct-" + std::to_string(random()) + std::to_string(random()));
        fs::create_directories(path / "drive_c");
        Install(path);
        ::setenv("HARBORLOCK_SYSTEM", path.c_str(), 1);
    }
    ~Root() {
        std::error_code ignored;
        fs::remove_all(path, ignored);
    }
    fs::path path;
};

}  // namespace

const fs::path& SystemRoot() {
    static Root root;
    return root.path;
}

void DirectSystem::SetUp() {
    std::string error;
    host_ = hl::daemon::DirectKernelHost::Boot(SystemRoot(), error);
    ASSERT_NE(host_, nullptr) << error;
    ASSERT_TRUE(host_->kernel().ObjectExists(u"\\Device\\Harddisk\\VaultDisk3"))
        << "lockvol did not load";
}

void DirectSystem::TearDown() {
    if (host_) {
        EXPECT_EQ(host_->kernel().Diagnostics(), std::vector<std::string>{});
    }
    host_.reset();
}

fs::path DirectSystem::HostFile(const std::string& name) {
    return SystemRoot() / "drive_c" / name;
}

std::string DirectSystem::FreshContainer(const std::string& name) {
    const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string unique = std::string(test->test_suite_name()) + "-" + test->name() + "-" + name;
    for (char& c : unique) {
        if (c == '/') {
            c = '-';
        }
    }
    std::error_code ignored;
    fs::remove(HostFile(unique), ignored);
    return "C:\\" + unique;
}

}  // namespace controller_test
