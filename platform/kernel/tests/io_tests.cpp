// The service loader and the I/O manager, through a test driver loaded from its service key.
#include <algorithm>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

#include "kernel_fixture.h"
#include "test_driver.h"

namespace hl::kernel::testing {
namespace {

constexpr const char* kServiceKey = "System\\CurrentControlSet\\Services\\KernelTest";

class IoTest : public KernelTest {
protected:
    void Install(const std::u16string& imagePath, const std::filesystem::path& hostImage) {
        std::filesystem::create_directories((drive_ / hostImage).parent_path());
        std::filesystem::copy_file(TEST_DRIVER_IMAGE, drive_ / hostImage,
                                   std::filesystem::copy_options::overwrite_existing);
        SetMachineValue(kServiceKey, "ImagePath", REG_EXPAND_SZ, Utf16Bytes(imagePath));
    }

    void Load() {
        Install(u"\\SystemRoot\\System32\\drivers\\kerneltest.sys",
                "WINDOWS/system32/DRIVERS/kerneltest.sys");
        ASSERT_EQ(kernel_->LoadDriver(u"KernelTest"), STATUS_SUCCESS);
        ASSERT_EQ(kernel_->OpenDevice(TEST_DEVICE_NAME, GENERIC_READ | GENERIC_WRITE, device_),
                  STATUS_SUCCESS);
    }

    void TearDown() override {
        device_.reset();
        KernelTest::TearDown();
    }

    std::unique_ptr<DeviceFile> device_;
};

TEST_F(IoTest, LoaderResolvesImagePathsAndCallsEntryAndUnload) {
    struct Case {
        std::u16string imagePath;
        std::filesystem::path hostImage;
    };
    const Case cases[] = {
        {u"\\SystemRoot\\System32\\drivers\\kerneltest.sys",
         "WINDOWS/system32/DRIVERS/kerneltest.sys"},
        {u"system32\\DRIVERS\\kerneltest.sys", "Windows/System32/drivers/KernelTest.sys"},
        {u"\\??\\C:\\Drivers\\kerneltest.sys", "drivers/kerneltest.sys"},
    };
    for (const Case& c : cases) {
        std::filesystem::remove_all(drive_);
        std::filesystem::create_directories(drive_);
        Install(c.imagePath, c.hostImage);
        ASSERT_EQ(kernel_->LoadDriver(u"KernelTest"), STATUS_SUCCESS)
            << std::string(c.imagePath.begin(), c.imagePath.end());
        EXPECT_EQ(kernel_->LoadDriver(u"kerneltest"), STATUS_IMAGE_ALREADY_LOADED);
        EXPECT_TRUE(kernel_->ObjectExists(u"\\Driver\\KernelTest"));
        PDEVICE_OBJECT device = kernel_->FindDevice(TEST_LINK_NAME);
        ASSERT_NE(device, nullptr);
        EXPECT_EQ(device->DriverObject, kernel_->FindDriver(u"KernelTest"));
        EXPECT_EQ(device->Flags & DO_DEVICE_INITIALIZING, 0u);
        EXPECT_NE(device->Flags & DO_DIRECT_IO, 0u);
        auto threads = kernel_->SystemThreads();
        ASSERT_EQ(threads.size(), 1u);
        EXPECT_TRUE(threads[0].running);

        EXPECT_EQ(kernel_->UnloadDriver(u"KernelTest"), STATUS_SUCCESS);
        EXPECT_FALSE(kernel_->ObjectExists(TEST_DEVICE_NAME));
        EXPECT_FALSE(kernel_->ObjectExists(TEST_LINK_NAME));
        EXPECT_FALSE(kernel_->ObjectExists(u"\\Driver\\KernelTest"));
        EXPECT_EQ(kernel_->FindDriver(u"KernelTest"), nullptr);
        EXPECT_FALSE(kernel_->SystemThreads()[0].running);
        EXPECT_EQ(kernel_->PoolAllocations(), 0u);
        EXPECT_EQ(kernel_->OpenHandles(), 0u);
    }
    EXPECT_TRUE(kernel_->Diagnostics().empty());
}

TEST_F(IoTest, LoaderFailures) {
    EXPECT_EQ(kernel_->LoadDriver(u"KernelTest"), STATUS_OBJECT_NAME_NOT_FOUND);  // no key
    SetMachineValue(kServiceKey, "ImagePath", REG_EXPAND_SZ,
                    Utf16Bytes(u"\\SystemRoot\\System32\\drivers\\missing.sys"));
    EXPECT_EQ(kernel_->LoadDriver(u"KernelTest"), STATUS_OBJECT_PATH_NOT_FOUND);  // no folder
    std::filesystem::create_directories(drive_ / "WINDOWS/System32/drivers");
    EXPECT_EQ(kernel_->LoadDriver(u"KernelTest"), STATUS_OBJECT_NAME_NOT_FOUND);  // no image
    WriteHostFile("WINDOWS/System32/drivers/missing.sys", "not an image");
    EXPECT_EQ(kernel_->LoadDriver(u"KernelTest"), STATUS_INVALID_IMAGE_FORMAT);
    EXPECT_EQ(kernel_->UnloadDriver(u"KernelTest"), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_FALSE(kernel_->ObjectExists(u"\\Driver\\KernelTest"));
}

TEST_F(IoTest, DeviceNameCollisionFailsTheEntryRoutineAndLeavesNothing) {
    std::u16string taken = TEST_DEVICE_NAME;
    UNICODE_STRING name = Counted(taken);
    OBJECT_ATTRIBUTES object;
    InitializeObjectAttributes(&object, &name, OBJ_PERMANENT, nullptr, nullptr);
    HANDLE directory = nullptr;
    ASSERT_EQ(ZwCreateDirectoryObject(&directory, DIRECTORY_ALL_ACCESS, &object), STATUS_SUCCESS);
    Install(u"system32\\drivers\\kerneltest.sys", "WINDOWS/system32/drivers/kerneltest.sys");
    EXPECT_EQ(kernel_->LoadDriver(u"KernelTest"), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(kernel_->FindDriver(u"KernelTest"), nullptr);
    EXPECT_FALSE(kernel_->ObjectExists(u"\\Driver\\KernelTest"));
    EXPECT_TRUE(kernel_->SystemThreads().empty());
    EXPECT_EQ(kernel_->PoolAllocations(), 0u);
    ZwMakeTemporaryObject(directory);
    ZwClose(directory);
    EXPECT_EQ(kernel_->LoadDriver(u"KernelTest"), STATUS_SUCCESS);  // the name is free again
}

TEST_F(IoTest, DriverReadsItsParameterWithTheServiceKeyPath) {
    const ULONG magic = 0x12345678;
    std::vector<std::uint8_t> bytes(4);
    std::memcpy(bytes.data(), &magic, 4);
    SetMachineValue(std::string(kServiceKey) + "\\Parameters", "Magic", REG_DWORD, bytes);
    Load();
    ULONG read = 0;
    IoResult result = device_->DeviceControl(IOCTL_TEST_MAGIC, nullptr, 0, &read, sizeof read);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.information, sizeof read);
    EXPECT_EQ(read, magic);
}

TEST_F(IoTest, DriverWithoutParametersFallsBack) {
    Load();
    ULONG read = 0;
    EXPECT_EQ(device_->DeviceControl(IOCTL_TEST_MAGIC, nullptr, 0, &read, sizeof read).status,
              STATUS_SUCCESS);
    EXPECT_EQ(read, TEST_NO_MAGIC);
}

TEST_F(IoTest, DirectReadReachesTheCallersBufferThroughItsMdl) {
    Load();
    std::vector<UCHAR> buffer(8192 + 7, 0);
    IoResult result = device_->Read(buffer.data() + 7, 8192, 4096);  // unaligned on purpose
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.information, 8192u);
    EXPECT_EQ(result.priorityBoost, IO_DISK_INCREMENT);
    EXPECT_EQ(buffer[0], 0);
    for (ULONG i = 0; i < 8192; ++i) {
        ASSERT_EQ(buffer[7 + i], static_cast<UCHAR>((4096 + i) & 0xFF)) << i;
    }
    std::vector<UCHAR> data(300);
    std::iota(data.begin(), data.end(), 0);
    EXPECT_EQ(device_->Write(data.data(), 300, 0).information, 300u);
    ULONG sum = 0;
    EXPECT_EQ(device_->DeviceControl(IOCTL_TEST_WRITE_SUM, nullptr, 0, &sum, sizeof sum).status,
              STATUS_SUCCESS);
    EXPECT_EQ(sum, std::accumulate(data.begin(), data.end(), 0u));
}

TEST_F(IoTest, MappingFailureReachesTheDriver) {
    Load();
    std::vector<UCHAR> buffer(512);
    kernel_->faults().mdlMapping.FailNth(1);
    IoResult result = device_->Read(buffer.data(), 512, 0);
    EXPECT_EQ(result.status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(result.priorityBoost, IO_NO_INCREMENT);
    EXPECT_EQ(device_->Read(buffer.data(), 512, 0).status, STATUS_SUCCESS);
    std::vector<UCHAR> filled(100, 0);
    result = device_->DeviceControl(IOCTL_TEST_FILL_DIRECT, nullptr, 0, filled.data(), 100);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(std::count(filled.begin(), filled.end(), 0xAB), 100);
}

TEST_F(IoTest, MdlsOfNonPagedPoolNeedNoMapping) {
    std::vector<UCHAR> buffer(10000);
    PMDL locked = IoAllocateMdl(buffer.data() + 100, 5000, FALSE, FALSE, nullptr);
    PMDL pool = IoAllocateMdl(buffer.data() + 100, 5000, FALSE, FALSE, nullptr);
    ASSERT_NE(locked, nullptr);
    ASSERT_NE(pool, nullptr);
    EXPECT_EQ(MmGetMdlVirtualAddress(locked), buffer.data() + 100);
    EXPECT_EQ(MmGetMdlByteCount(locked), 5000u);
    EXPECT_EQ(reinterpret_cast<ULONG_PTR>(locked->StartVa) % PAGE_SIZE, 0u);
    MmProbeAndLockPages(locked, KernelMode, IoWriteAccess);
    MmBuildMdlForNonPagedPool(pool);
    EXPECT_NE(pool->MdlFlags & MDL_SOURCE_IS_NONPAGED_POOL, 0);

    kernel_->faults().mdlMapping.FailFrom(1);
    EXPECT_EQ(MmGetSystemAddressForMdlSafe(locked, NormalPagePriority), nullptr);
    EXPECT_EQ(MmGetSystemAddressForMdlSafe(pool, NormalPagePriority), buffer.data() + 100);
    kernel_->faults().mdlMapping.Clear();
    EXPECT_EQ(MmGetSystemAddressForMdlSafe(locked, NormalPagePriority), buffer.data() + 100);
    EXPECT_NE(locked->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA, 0);
    kernel_->faults().mdlMapping.FailFrom(1);  // mapped once: no second mapping is needed
    EXPECT_EQ(MmGetSystemAddressForMdlSafe(locked, NormalPagePriority), buffer.data() + 100);
    MmUnlockPages(locked);
    IoFreeMdl(locked);
    IoFreeMdl(pool);
}

TEST_F(IoTest, BufferedRequestsCopyInAndCopyBackOnlyTheInformationCount) {
    Load();
    const std::string input = "abcdef";
    std::string output(10, '.');
    IoResult result =
        device_->DeviceControl(IOCTL_TEST_REVERSE, input.data(), 6, output.data(), 10);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.information, 6u);
    EXPECT_EQ(output, "fedcba....");
    std::string small(3, '.');
    result = device_->DeviceControl(IOCTL_TEST_REVERSE, input.data(), 6, small.data(), 3);
    EXPECT_EQ(result.status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(small, "...");
    result = device_->DeviceControl(0x8000E7FC, nullptr, 0, nullptr, 0);
    EXPECT_EQ(result.status, STATUS_INVALID_DEVICE_REQUEST);
}

TEST_F(IoTest, DoubleCompletionIsDiagnosedAndIgnored) {
    Load();
    IoResult result = device_->DeviceControl(IOCTL_TEST_DOUBLE_COMPLETE, nullptr, 0, nullptr, 0);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    auto diagnostics = kernel_->Diagnostics();
    ASSERT_EQ(diagnostics.size(), 1u);
    EXPECT_NE(diagnostics[0].find("MULTIPLE_IRP_COMPLETE_REQUESTS"), std::string::npos);
}

TEST_F(IoTest, DispatchThatNeitherCompletesNorPendsIsDiagnosed) {
    allowShutdownFaults_ = true;  // the abandoned IRP is still allocated at shutdown
    Load();
    IoResult result = device_->DeviceControl(IOCTL_TEST_FORGET, nullptr, 0, nullptr, 0);
    EXPECT_EQ(result.status, STATUS_DRIVER_INTERNAL_ERROR);
    auto diagnostics = kernel_->Diagnostics();
    ASSERT_EQ(diagnostics.size(), 1u);
    EXPECT_NE(diagnostics[0].find("without completing"), std::string::npos);
}

TEST_F(IoTest, RequestsLeftPendingAreCompletedWhenTheDriverGoes) {
    Load();
    IoResult held;
    std::thread sender([&] {
        char buffer[4] = "abc";
        held = device_->DeviceControl(IOCTL_TEST_HOLD, buffer, 3, buffer, 3);
    });
    while (kernel_->PendingRequests() == 0) {
        std::this_thread::yield();
    }
    EXPECT_EQ(kernel_->UnloadDriver(u"KernelTest"), STATUS_SUCCESS);
    sender.join();
    EXPECT_EQ(held.status, STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(held.information, 0u);
    EXPECT_EQ(kernel_->Diagnostics().size(), 1u);
    UCHAR byte = 0;
    EXPECT_EQ(device_->Read(&byte, 1, 0).status, STATUS_NO_SUCH_DEVICE);  // the handle outlives it
    std::unique_ptr<DeviceFile> again;
    EXPECT_EQ(kernel_->OpenDevice(TEST_DEVICE_NAME, GENERIC_READ, again),
              STATUS_OBJECT_NAME_NOT_FOUND);
}

// The user a test gives a device to, as a token would name it.
std::vector<UCHAR> SidOf(const CallerIdentity& who, TOKEN_INFORMATION_CLASS kind) {
    SECURITY_CLIENT_CONTEXT context{};
    {
        ScopedCaller caller(who);
        SECURITY_QUALITY_OF_SERVICE qos{sizeof(SECURITY_QUALITY_OF_SERVICE), SecurityImpersonation,
                                        SECURITY_STATIC_TRACKING, FALSE};
        EXPECT_EQ(SeCreateClientSecurity(PsGetCurrentThread(), &qos, FALSE, &context),
                  STATUS_SUCCESS);
    }
    PVOID information = nullptr;
    EXPECT_EQ(SeQueryInformationToken(context.ClientToken, kind, &information), STATUS_SUCCESS);
    PSID sid = kind == TokenUser ? static_cast<PTOKEN_USER>(information)->User.Sid
                                 : static_cast<PTOKEN_PRIMARY_GROUP>(information)->PrimaryGroup;
    std::vector<UCHAR> bytes(RtlLengthSid(sid));
    EXPECT_EQ(RtlCopySid(static_cast<ULONG>(bytes.size()), bytes.data(), sid), STATUS_SUCCESS);
    ExFreePool(information);
    SeDeleteClientSecurity(&context);
    return bytes;
}

TEST_F(IoTest, OpensAreCheckedAgainstTheDevicesDacl) {
    Load();
    const CallerIdentity owner{1000, 1000, {}};
    std::vector<UCHAR> user = SidOf(owner, TokenUser);
    std::vector<UCHAR> group = SidOf(owner, TokenPrimaryGroup);
    std::vector<UCHAR> readers = SidOf({0, 2000, {}}, TokenPrimaryGroup);  // group 2000
    EXPECT_FALSE(RtlEqualSid(user.data(), group.data()));
    std::vector<UCHAR> aclBytes(256);
    auto* dacl = reinterpret_cast<PACL>(aclBytes.data());
    ASSERT_EQ(RtlCreateAcl(dacl, static_cast<ULONG>(aclBytes.size()), ACL_REVISION),
              STATUS_SUCCESS);
    ASSERT_EQ(RtlAddAccessAllowedAce(dacl, ACL_REVISION, GENERIC_ALL, user.data()), STATUS_SUCCESS);
    ASSERT_EQ(RtlAddAccessAllowedAce(dacl, ACL_REVISION, FILE_GENERIC_READ, readers.data()),
              STATUS_SUCCESS);
    SECURITY_DESCRIPTOR descriptor;
    ASSERT_EQ(RtlCreateSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION),
              STATUS_SUCCESS);
    ASSERT_EQ(RtlSetOwnerSecurityDescriptor(&descriptor, user.data(), FALSE), STATUS_SUCCESS);
    ASSERT_EQ(RtlSetGroupSecurityDescriptor(&descriptor, group.data(), FALSE), STATUS_SUCCESS);
    ASSERT_EQ(RtlSetDaclSecurityDescriptor(&descriptor, TRUE, dacl, FALSE), STATUS_SUCCESS);
    const SECURITY_INFORMATION all =
        OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
    ASSERT_EQ(ObSetSecurityObjectByPointer(device_->Device(), all, &descriptor), STATUS_SUCCESS);

    CallerIdentity found;
    ASSERT_TRUE(kernel_->DeviceOwner(device_->Device(), found));
    EXPECT_EQ(found.uid, 1000u);
    EXPECT_EQ(found.gid, 1000u);

    struct Case {
        CallerIdentity who;
        ACCESS_MASK access;
        NTSTATUS status;
    };
    const Case cases[] = {
        {owner, GENERIC_READ | GENERIC_WRITE, STATUS_SUCCESS},
        {{0, 0, {}}, GENERIC_ALL, STATUS_SUCCESS},  // root
        {{1001, 1001, {}}, GENERIC_READ, STATUS_ACCESS_DENIED},
        {{1001, 1001, {}}, FILE_WRITE_DATA, STATUS_ACCESS_DENIED},
        {{1001, 1001, {}}, 0, STATUS_SUCCESS},                   // no access asked, none checked
        {{1001, 1000, {}}, GENERIC_READ, STATUS_ACCESS_DENIED},  // the owner's group is no ACE
        {{1002, 1002, {2000}}, GENERIC_READ, STATUS_SUCCESS},    // a supplementary group's ACE
        {{1002, 1002, {2000}}, GENERIC_READ | GENERIC_WRITE, STATUS_ACCESS_DENIED},
        {{1002, 2000, {}}, FILE_READ_DATA, STATUS_SUCCESS},
    };
    for (const Case& c : cases) {
        ScopedCaller caller(c.who);
        std::unique_ptr<DeviceFile> file;
        EXPECT_EQ(kernel_->OpenDevice(TEST_LINK_NAME, c.access, file), c.status)
            << "uid " << c.who.uid << " access " << std::hex << c.access;
    }

    // Without a DACL everybody is admitted again; the owner stays as set.
    ASSERT_EQ(RtlSetDaclSecurityDescriptor(&descriptor, FALSE, nullptr, FALSE), STATUS_SUCCESS);
    ASSERT_EQ(
        ObSetSecurityObjectByPointer(device_->Device(), DACL_SECURITY_INFORMATION, &descriptor),
        STATUS_SUCCESS);
    {
        ScopedCaller caller({1001, 1001, {}});
        std::unique_ptr<DeviceFile> file;
        EXPECT_EQ(kernel_->OpenDevice(TEST_LINK_NAME, GENERIC_READ | GENERIC_WRITE, file),
                  STATUS_SUCCESS);
    }
    EXPECT_TRUE(kernel_->DeviceOwner(device_->Device(), found));
    EXPECT_TRUE(kernel_->Diagnostics().empty());
}

TEST_F(IoTest, SecurityDescriptorCallsRefuseWhatIsMalformed) {
    std::vector<UCHAR> user = SidOf({1000, 1000, {}}, TokenUser);
    UCHAR small[sizeof(ACL) + 8];
    auto* acl = reinterpret_cast<PACL>(small);
    EXPECT_EQ(RtlCreateAcl(acl, 4, ACL_REVISION), STATUS_BUFFER_TOO_SMALL);
    ASSERT_EQ(RtlCreateAcl(acl, sizeof(small), ACL_REVISION), STATUS_SUCCESS);
    EXPECT_EQ(RtlAddAccessAllowedAce(acl, ACL_REVISION, GENERIC_ALL, user.data()),
              STATUS_ALLOTTED_SPACE_EXCEEDED);
    EXPECT_EQ(acl->AceCount, 0);
    UCHAR bad[8] = {9, 0};
    EXPECT_FALSE(RtlValidSid(bad));
    EXPECT_EQ(RtlCopySid(sizeof(bad), bad, user.data()), STATUS_BUFFER_TOO_SMALL);
    SECURITY_DESCRIPTOR descriptor;
    EXPECT_EQ(RtlCreateSecurityDescriptor(&descriptor, 2), STATUS_UNKNOWN_REVISION);
    PVOID information = nullptr;
    SECURITY_CLIENT_CONTEXT context{};
    SECURITY_QUALITY_OF_SERVICE qos{sizeof(SECURITY_QUALITY_OF_SERVICE), SecurityImpersonation,
                                    SECURITY_STATIC_TRACKING, FALSE};
    ASSERT_EQ(SeCreateClientSecurity(PsGetCurrentThread(), &qos, FALSE, &context), STATUS_SUCCESS);
    EXPECT_EQ(SeQueryInformationToken(context.ClientToken, TokenPrivileges, &information),
              STATUS_INVALID_INFO_CLASS);
    EXPECT_EQ(information, nullptr);
    ASSERT_EQ(SeQueryInformationToken(context.ClientToken, TokenUser, &information),
              STATUS_SUCCESS);
    // Root is the local system, S-1-5-18.
    const UCHAR system[] = {1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0};
    EXPECT_TRUE(
        RtlEqualSid(static_cast<PTOKEN_USER>(information)->User.Sid, const_cast<UCHAR*>(system)));
    ExFreePool(information);
    SeDeleteClientSecurity(&context);
}

TEST_F(IoTest, HandleAccessIsCheckedAgainstTheRequest) {
    Load();
    std::unique_ptr<DeviceFile> reader;
    ASSERT_EQ(kernel_->OpenDevice(TEST_LINK_NAME, GENERIC_READ, reader), STATUS_SUCCESS);
    ULONG sum = 0;
    UCHAR byte = 1;
    EXPECT_EQ(reader->DeviceControl(IOCTL_TEST_WRITE_SUM, nullptr, 0, &sum, sizeof sum).status,
              STATUS_ACCESS_DENIED);
    EXPECT_EQ(reader->Write(&byte, 1, 0).status, STATUS_ACCESS_DENIED);
    EXPECT_EQ(reader->Read(&byte, 1, 0).status, STATUS_SUCCESS);
    std::unique_ptr<DeviceFile> none;
    EXPECT_EQ(kernel_->OpenDevice(u"\\Device\\KernelTest9", GENERIC_READ, none),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(kernel_->OpenDevice(u"\\Device", GENERIC_READ, none), STATUS_OBJECT_TYPE_MISMATCH);
}

TEST_F(IoTest, ConcurrentPendingRequestsAreEachCompletedOnceWithTheirOwnData) {
    Load();
    constexpr int kThreads = 4;
    constexpr int kRequests = 200;
    std::atomic<int> wrong{0};
    std::vector<std::thread> senders;
    for (int t = 0; t < kThreads; ++t) {
        senders.emplace_back([&, t] {
            for (int i = 0; i < kRequests; ++i) {
                const std::string input = std::to_string(t) + ":" + std::to_string(i);
                std::string output(input.size(), '?');
                IoResult result = device_->DeviceControl(
                    IOCTL_TEST_PENDING_ECHO, input.data(), static_cast<ULONG>(input.size()),
                    output.data(), static_cast<ULONG>(output.size()));
                if (result.status != STATUS_SUCCESS || output != input ||
                    result.priorityBoost != IO_DISK_INCREMENT) {
                    wrong++;
                }
            }
        });
    }
    for (auto& sender : senders) {
        sender.join();
    }
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_TRUE(kernel_->Diagnostics().empty());
}

TEST_F(IoTest, ShutdownUnloadsLoadedDrivers) {
    Load();
    device_.reset();
    kernel_->Shutdown();
    EXPECT_TRUE(kernel_->Diagnostics().empty());
}

}  // namespace
}  // namespace hl::kernel::testing
