// A freshly booted kernel per test: a temporary system root with a registry and drive C:.
#pragma once

#include <gtest/gtest.h>
#include <ntddk.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "kernel/kernel.h"
#include "registry/store.h"

namespace hl::kernel::testing {

// A counted string over a std::u16string that outlives it.
inline UNICODE_STRING Counted(const std::u16string& text) {
    return UNICODE_STRING{static_cast<USHORT>(text.size() * sizeof(WCHAR)),
                          static_cast<USHORT>(text.size() * sizeof(WCHAR)),
                          const_cast<PWSTR>(text.data())};
}

inline std::u16string ToU16(const UNICODE_STRING* text) {
    return std::u16string(text->Buffer, text->Length / sizeof(WCHAR));
}

inline std::vector<std::uint8_t> Utf16Bytes(std::u16string_view text) {
    std::vector<std::uint8_t> bytes;
    for (char16_t c : text) {
        bytes.push_back(static_cast<std::uint8_t>(c & 0xFF));
        bytes.push_back(static_cast<std::uint8_t>(c >> 8));
    }
    bytes.push_back(0);
    bytes.push_back(0);
    return bytes;
}

class KernelTest : public ::testing::Test {
protected:
    // A temporary folder that other users can traverse and from which images can be mapped.
    static std::string TemporaryBase() {
        for (const char* base : {"/tmp", "/var/tmp"}) {
            struct statvfs info {};
            if (statvfs(base, &info) == 0 && !(info.f_flag & ST_NOEXEC)) {
                return base;
            }
        }
        return std::filesystem::current_path().string();
    }

    void SetUp() override {
        std::string pattern = TemporaryBase() + "/kernel-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        root_ = pattern;
        chmod(root_.c_str(), 0755);
        drive_ = root_ / "drive_c";
        std::filesystem::create_directories(drive_);
        ASSERT_EQ(registry::Store::Open(root_ / "registry", store_), registry::Result::Ok);
        KernelConfig config;
        config.registry = store_.get();
        ASSERT_EQ(Kernel::Boot(config, kernel_), STATUS_SUCCESS);
        ASSERT_EQ(kernel_->MapDrive(u"C:", drive_), STATUS_SUCCESS);
    }

    void TearDown() override {
        // Whatever a test leaves behind (handles, objects, pool, IRPs) is diagnosed here.
        const std::size_t before = kernel_->Diagnostics().size();
        kernel_->Shutdown();
        const auto after = kernel_->Diagnostics();
        if (!allowShutdownFaults_) {
            EXPECT_EQ(after.size(), before) << after.back();
        }
        kernel_.reset();
        store_.reset();
        std::error_code error;
        std::filesystem::remove_all(root_, error);
    }

    void WriteHostFile(const std::filesystem::path& relative, const std::string& content) {
        std::filesystem::create_directories((drive_ / relative).parent_path());
        std::ofstream(drive_ / relative, std::ios::binary) << content;
    }

    std::string ReadHostFile(const std::filesystem::path& relative) {
        std::ifstream in(drive_ / relative, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    NTSTATUS Create(const std::u16string& path, ACCESS_MASK access, ULONG share, ULONG disposition,
                    ULONG options, HANDLE& handle, IO_STATUS_BLOCK& io,
                    ULONG attributes = FILE_ATTRIBUTE_NORMAL) {
        UNICODE_STRING name = Counted(path);
        OBJECT_ATTRIBUTES object;
        InitializeObjectAttributes(&object, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
        return ZwCreateFile(&handle, access, &object, &io, nullptr, attributes, share, disposition,
                            options, nullptr, 0);
    }

    NTSTATUS Open(const std::u16string& path, ACCESS_MASK access, ULONG share, HANDLE& handle) {
        IO_STATUS_BLOCK io;
        return Create(path, access, share, FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT, handle, io);
    }

    void SetMachineValue(const std::string& key, const std::string& name, std::uint32_t type,
                         const std::vector<std::uint8_t>& data) {
        registry::KeyPath path{registry::Root::LocalMachine, key};
        registry::Caller system;
        ASSERT_EQ(store_->CreateKey(system, path), registry::Result::Ok);
        ASSERT_EQ(store_->SetValue(system, path, name, type, data), registry::Result::Ok);
    }

    std::filesystem::path root_;
    std::filesystem::path drive_;
    std::unique_ptr<registry::Store> store_;
    std::unique_ptr<Kernel> kernel_;
    bool allowShutdownFaults_ = false;
};

}  // namespace hl::kernel::testing
