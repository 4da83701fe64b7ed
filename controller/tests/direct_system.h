// A system whose kernel runs inside the test program: lockvol with four disk devices, drive C:
// in a private folder, every Win32 call of the test reaching the kernel without a daemon. One
// system root serves the whole program (Win32 calls read it once); each test boots its kernel
// afresh, so no letter or mount outlives a test.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>

#include "daemon/direct_host.h"

namespace controller_test {

// The root, made on first use; HARBORLOCK_SYSTEM names it.
const std::filesystem::path& SystemRoot();

class DirectSystem : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // The host file of "C:\<name>".
    static std::filesystem::path HostFile(const std::string& name);
    // "C:\<name>" of a container name unique to this test, its host file removed.
    static std::string FreshContainer(const std::string& name);

    std::unique_ptr<hl::daemon::DirectKernelHost> host_;
};

}  // namespace controller_test
