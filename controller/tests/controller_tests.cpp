// The controller's steps and operations against lockvol in a kernel hosted by the test itself:
// volumes stay raw, so everything here is what needs no file system.
#include <windows.h>
#include <winioctl.h>

#include <cstring>
#include <string>
#include <vector>

#include "controller/controller_state.h"
#include "controller/kv_operations.h"
#include "direct_system.h"

namespace controller_test {
namespace {

constexpr LONGLONG kSize = 1 << 20;
const std::string kMaterial(VD_KEY_MATERIAL_SIZE, 'k');
constexpr char kPassword[] = "correct horse";
constexpr char kOtherPassword[] = "battery staple";

// What a letter names, or "" when it names nothing.
std::string TargetOf(char letter) {
    const char name[] = {letter, ':', 0};
    char target[256] = {};
    return QueryDosDeviceA(name, target, sizeof(target)) != 0 ? target : "";
}

std::string DiskName(unsigned number) {
    return VD_DEVICE_NAME_PREFIX + std::to_string(number);
}

BOOL Bind(char letter, const std::string& target) {
    const char name[] = {letter, ':', 0};
    return DefineDosDeviceA(DDD_RAW_TARGET_PATH, name, target.c_str());
}

// ---- SetContainerFile: the NT name the driver is given ----

struct ContainerNameCase {
    const char* label;
    const char* fileName;  // nullptr: none
    const char* ntName;    // "" when the record stays empty
};

void PrintTo(const ContainerNameCase& c, std::ostream* out) {
    *out << c.label;
}

class ContainerName : public ::testing::TestWithParam<ContainerNameCase> {};

TEST_P(ContainerName, FillsTheRecord) {
    ControllerState state;
    std::memset(&state.OpenFileRecord, 0x5A, sizeof(state.OpenFileRecord));
    SetContainerFile(state, GetParam().fileName, 12345);
    const VD_OPEN_FILE_INFORMATION& record = state.OpenFileRecord;
    const std::string expected = GetParam().ntName;
    EXPECT_EQ(std::string(record.FileName, record.FileNameLength), expected);
    EXPECT_EQ(record.FileName[record.FileNameLength], 0);
    EXPECT_EQ(record.FileSize.QuadPart, expected.empty() ? 0 : 12345);
    EXPECT_EQ(record.ReadOnly, 0);
}

const std::string kLongest = "C:\\" + std::string(MAX_PATH - 4, 'a');  // 259 characters
const std::string kTooLong = "C:\\" + std::string(MAX_PATH - 3, 'a');  // 260 characters
const std::string kLongestNt = "\\??\\" + std::string(VD_MAX_FILE_NAME_LENGTH - 4, 'b');

INSTANTIATE_TEST_SUITE_P(
    Names, ContainerName,
    ::testing::Values(ContainerNameCase{"Drive", "C:\\disk.vd", "\\??\\C:\\disk.vd"},
                      ContainerNameCase{"Share", "\\\\server\\share\\disk.vd",
                                        "\\??\\UNC\\server\\share\\disk.vd"},
                      ContainerNameCase{"NtName", "\\??\\C:\\disk.vd", "\\??\\C:\\disk.vd"},
                      ContainerNameCase{"Missing", nullptr, ""}, ContainerNameCase{"Empty", "", ""},
                      ContainerNameCase{"OneCharacter", "C", ""},
                      ContainerNameCase{"TooLongForWindows", kTooLong.c_str(), ""},
                      // The NT prefix makes the longest Windows name too long for the record.
                      ContainerNameCase{"TooLongAsNtName", kLongest.c_str(), ""},
                      ContainerNameCase{"LongestNtName", kLongestNt.c_str(), kLongestNt.c_str()}),
    [](const auto& test) { return std::string(test.param.label); });

// ---- The steps against the driver ----

using Steps = DirectSystem;

TEST_F(Steps, ScanDevicesFindsTheFirstDeviceNoLetterIsBoundTo) {
    ControllerState state;
    char device[64] = {};
    ASSERT_TRUE(ScanDevices(state, device));
    EXPECT_STREQ(device, DiskName(0).c_str());
    EXPECT_EQ(state.UsedDriveLetter, 0);

    ASSERT_TRUE(Bind('P', DiskName(0)));
    ASSERT_TRUE(Bind('Q', DiskName(2)));
    ASSERT_TRUE(ScanDevices(state, device));
    EXPECT_STREQ(device, DiskName(1).c_str());
    EXPECT_EQ(state.UsedDriveLetter, 'P');

    ASSERT_TRUE(Bind('R', DiskName(1)));
    ASSERT_TRUE(ScanDevices(state, device));
    EXPECT_STREQ(device, DiskName(3).c_str());
    EXPECT_EQ(state.UsedDriveLetter, 'Q');

    ASSERT_TRUE(Bind('S', DiskName(3)));
    EXPECT_FALSE(ScanDevices(state, device));
    EXPECT_EQ(state.UsedDriveLetter, 'S');
}

// Letters whose targets only look like the driver's disks take no device.
TEST_F(Steps, ScanDevicesIgnoresTargetsThatAreNotTheDriversDisks) {
    const char* const lookalikes[] = {
        VD_DEVICE_NAME_PREFIX "00",  VD_DEVICE_NAME_PREFIX "4",       VD_DEVICE_NAME_PREFIX "",
        VD_DEVICE_NAME_PREFIX "Cd0", VD_DEVICE_NAME_PREFIX "+1",      VD_DEVICE_NAME_PREFIX "0 ",
        "\\Device\\HarddiskVolume1", "\\Device\\Harddisk\\vaultdisk0"};
    char letter = 'K';
    for (const char* target : lookalikes) {
        ASSERT_TRUE(Bind(letter++, target)) << target;
    }
    ControllerState state;
    char device[64] = {};
    ASSERT_TRUE(ScanDevices(state, device));
    EXPECT_STREQ(device, DiskName(0).c_str());
    EXPECT_EQ(state.UsedDriveLetter, 0);
}

TEST_F(Steps, OpenVolumeOpensOnlyBoundLetters) {
    EXPECT_EQ(OpenVolume('M'), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    ASSERT_TRUE(Bind('M', DiskName(0)));
    HANDLE volume = OpenVolume('M');
    ASSERT_NE(volume, INVALID_HANDLE_VALUE);
    CloseHandle(volume);
}

TEST_F(Steps, MountContainerBindsTheLetterAndOpensTheFile) {
    KvOperations operations;  // makes the container
    const std::string file = FreshContainer("disk.vd");
    ASSERT_EQ(operations.CreateCryptedDisk('M', kSize, file.c_str(), kMaterial.c_str(), kPassword),
              S_OK);
    ASSERT_EQ(operations.UmountDisk('M', 1), S_OK);

    ControllerState state;
    SetContainerFile(state, file.c_str(), 0);
    HANDLE volume = MountContainer(state, 'N');
    ASSERT_NE(volume, INVALID_HANDLE_VALUE);
    EXPECT_EQ(state.LastError, S_OK);
    EXPECT_EQ(TargetOf('N'), DiskName(0));
    VD_OPEN_FILE_INFORMATION record = {};
    DWORD returned = 0;
    ASSERT_TRUE(DeviceIoControl(volume, IOCTL_VD_QUERY_FILE, NULL, 0, &record, sizeof(record),
                                &returned, NULL));
    EXPECT_EQ(std::string(record.FileName, record.FileNameLength), "\\??\\" + file);
    CloseHandle(volume);
    EXPECT_TRUE(CriticalUnmount(state, 'N'));
    EXPECT_EQ(TargetOf('N'), "");
}

struct MountFailureCase {
    const char* label;
    char letter;
    unsigned devicesTaken;  // letters W, X, Y, Z bound to the first n devices
    bool fileExists;
    HRESULT error;
    bool letterLeftBound;  // the letter names something after the failure (not ours)
};

void PrintTo(const MountFailureCase& c, std::ostream* out) {
    *out << c.label;
}

class MountFailure : public DirectSystem, public ::testing::WithParamInterface<MountFailureCase> {};

TEST_P(MountFailure, ReportsItsStepAndLeavesNoLetterBehind) {
    const MountFailureCase& c = GetParam();
    std::string file = FreshContainer("disk.vd");
    if (c.fileExists) {
        KvOperations operations;
        ASSERT_EQ(
            operations.CreateCryptedDisk('M', kSize, file.c_str(), kMaterial.c_str(), kPassword),
            S_OK);
        ASSERT_EQ(operations.UmountDisk('M', 1), S_OK);
    }
    for (unsigned device = 0; device < c.devicesTaken; ++device) {
        ASSERT_TRUE(Bind(static_cast<char>('W' + device), DiskName(device)));
    }
    const std::string before = TargetOf(c.letter);
    ControllerState state;
    SetContainerFile(state, file.c_str(), 0);
    EXPECT_EQ(MountContainer(state, c.letter), INVALID_HANDLE_VALUE);
    EXPECT_EQ(state.LastError, c.error);
    EXPECT_EQ(TargetOf(c.letter), before);
    EXPECT_EQ(!before.empty(), c.letterLeftBound);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MountFailure,
    ::testing::Values(MountFailureCase{"LetterOfADisk", 'W', 1, true, KV_E_LETTER_IN_USE, true},
                      MountFailureCase{"SystemDrive", 'C', 0, true, KV_E_LETTER_IN_USE, true},
                      MountFailureCase{"NoFreeDevice", 'M', 4, true, KV_E_NO_FREE_DEVICE, false},
                      MountFailureCase{"NoSuchFile", 'M', 0, false, KV_E_MOUNT_FAILED, false}),
    [](const auto& test) { return std::string(test.param.label); });

TEST_F(Steps, UnmountingALetterThatIsNotMountedFails) {
    ControllerState state;
    EXPECT_FALSE(SafeUnmount(state, 'M'));
    EXPECT_EQ(state.LastError, KV_E_ALREADY_UNMOUNTED);
    state.LastError = S_OK;
    EXPECT_FALSE(CriticalUnmount(state, 'M'));
    EXPECT_EQ(state.LastError, KV_E_ALREADY_UNMOUNTED);
}

TEST_F(Steps, SafeUnmountClosesTheFileAndFreesTheDevice) {
    KvOperations operations;
    const std::string file = FreshContainer("disk.vd");
    ASSERT_EQ(operations.CreateCryptedDisk('M', kSize, file.c_str(), kMaterial.c_str(), kPassword),
              S_OK);
    ControllerState state;
    ASSERT_TRUE(SafeUnmount(state, 'M'));
    EXPECT_EQ(state.LastError, S_OK);
    EXPECT_EQ(TargetOf('M'), "");
    // The device is free and has no file open.
    ASSERT_TRUE(Bind('Q', DiskName(0)));
    HANDLE volume = OpenVolume('Q');
    ASSERT_NE(volume, INVALID_HANDLE_VALUE);
    VD_OPEN_FILE_INFORMATION record = {};
    DWORD returned = 0;
    EXPECT_FALSE(DeviceIoControl(volume, IOCTL_VD_QUERY_FILE, NULL, 0, &record, sizeof(record),
                                 &returned, NULL));
    CloseHandle(volume);
    ASSERT_TRUE(DefineDosDeviceA(DDD_REMOVE_DEFINITION, "Q:", NULL));
    char device[64] = {};
    ASSERT_TRUE(ScanDevices(state, device));
    EXPECT_STREQ(device, DiskName(0).c_str());
}

// ---- The operations ----

using Operations = DirectSystem;

TEST_F(Operations, CreateOpenAndUnmount) {
    KvOperations operations;
    const std::string file = FreshContainer("disk.vd");
    ASSERT_EQ(operations.CreateCryptedDisk('M', kSize, file.c_str(), kMaterial.c_str(), kPassword),
              S_OK);
    EXPECT_EQ(std::filesystem::file_size(HostFile(file.substr(3))),
              static_cast<std::uintmax_t>(kSize + VD_HEADER_SIZE));
    char name[MAX_PATH] = {};
    LONGLONG size = 0;
    ASSERT_EQ(operations.GetMountedVolumeInfo('M', name, &size), S_OK);
    EXPECT_EQ(std::string(name), "\\??\\" + file);
    EXPECT_EQ(size, kSize);
    char used = 0;
    ASSERT_EQ(operations.GetUsedDrive(&used), S_OK);
    EXPECT_EQ(used, 'M');
    EXPECT_EQ(operations.UmountDisk('M', 1), S_OK);
    EXPECT_EQ(operations.GetMountedVolumeInfo('M', name, &size), KV_E_NOT_MOUNTED);

    ASSERT_EQ(operations.OpenCryptedDisk('N', file.c_str(), kPassword), S_OK);
    EXPECT_EQ(TargetOf('N'), DiskName(0));
    EXPECT_EQ(operations.UmountDisk('N', 0), S_OK);
    EXPECT_EQ(TargetOf('N'), "");
    EXPECT_EQ(operations.UmountDisk('N', 0), KV_E_ALREADY_UNMOUNTED);
}

TEST_F(Operations, WrongPasswordLeavesNothingMounted) {
    KvOperations operations;
    const std::string file = FreshContainer("disk.vd");
    ASSERT_EQ(operations.CreateCryptedDisk('M', kSize, file.c_str(), kMaterial.c_str(), kPassword),
              S_OK);
    ASSERT_EQ(operations.UmountDisk('M', 1), S_OK);
    EXPECT_EQ(operations.OpenCryptedDisk('M', file.c_str(), kOtherPassword), KV_E_WRONG_PASSWORD);
    EXPECT_EQ(TargetOf('M'), "");
    char used = 'x';
    ASSERT_EQ(operations.GetUsedDrive(&used), S_OK);
    EXPECT_EQ(used, 0);
}

// What is written to a volume is there, deciphered, when the container is opened again; a
// lower-case letter mounts it read-only.
TEST_F(Operations, VolumeDataSurvivesAndReadOnlyMountsRefuseWrites) {
    KvOperations operations;
    const std::string file = FreshContainer("disk.vd");
    ASSERT_EQ(operations.CreateCryptedDisk('M', kSize, file.c_str(), kMaterial.c_str(), kPassword),
              S_OK);
    std::vector<char> sector(VD_SECTOR_SIZE);
    for (std::size_t i = 0; i < sector.size(); ++i) {
        sector[i] = static_cast<char>(i * 7 + 3);
    }
    HANDLE volume = OpenVolume('M');
    ASSERT_NE(volume, INVALID_HANDLE_VALUE);
    DWORD done = 0;
    ASSERT_TRUE(WriteFile(volume, sector.data(), VD_SECTOR_SIZE, &done, NULL));
    EXPECT_EQ(done, static_cast<DWORD>(VD_SECTOR_SIZE));
    CloseHandle(volume);
    ASSERT_EQ(operations.UmountDisk('M', 1), S_OK);

    ASSERT_EQ(operations.OpenCryptedDisk('m', file.c_str(), kPassword), S_OK);
    volume = OpenVolume('M');
    ASSERT_NE(volume, INVALID_HANDLE_VALUE);
    std::vector<char> read(VD_SECTOR_SIZE);
    ASSERT_TRUE(ReadFile(volume, read.data(), VD_SECTOR_SIZE, &done, NULL));
    EXPECT_EQ(read, sector);
    LARGE_INTEGER start = {};
    ASSERT_TRUE(SetFilePointerEx(volume, start, NULL, FILE_BEGIN));
    EXPECT_FALSE(WriteFile(volume, sector.data(), VD_SECTOR_SIZE, &done, NULL));
    EXPECT_EQ(GetLastError(), ERROR_WRITE_PROTECT);
    CloseHandle(volume);
    EXPECT_EQ(operations.UmountDisk('m', 1), S_OK);
}

TEST_F(Operations, ChangePasswordOfAnUnmountedDisk) {
    KvOperations operations;
    const std::string file = FreshContainer("disk.vd");
    ASSERT_EQ(operations.CreateCryptedDisk('M', kSize, file.c_str(), kMaterial.c_str(), kPassword),
              S_OK);
    ASSERT_EQ(operations.UmountDisk('M', 1), S_OK);

    EXPECT_EQ(operations.ChangePassword('M', file.c_str(), kOtherPassword, "third password"),
              KV_E_CHANGE_PASSWORD_FAILED);
    EXPECT_EQ(TargetOf('M'), "");
    ASSERT_EQ(operations.ChangePassword('M', file.c_str(), kPassword, kOtherPassword), S_OK);
    EXPECT_EQ(TargetOf('M'), "");  // mounted for the change only

    EXPECT_EQ(operations.OpenCryptedDisk('M', file.c_str(), kPassword), KV_E_WRONG_PASSWORD);
    ASSERT_EQ(operations.OpenCryptedDisk('M', file.c_str(), kOtherPassword), S_OK);
    EXPECT_EQ(operations.UmountDisk('M', 1), S_OK);
}

TEST_F(Operations, ChangePasswordOfAMountedDiskKeepsItMounted) {
    KvOperations operations;
    const std::string file = FreshContainer("disk.vd");
    ASSERT_EQ(operations.CreateCryptedDisk('M', kSize, file.c_str(), kMaterial.c_str(), kPassword),
              S_OK);
    ASSERT_EQ(operations.ChangePassword('M', file.c_str(), kPassword, kOtherPassword), S_OK);
    EXPECT_EQ(TargetOf('M'), DiskName(0));
    ASSERT_EQ(operations.UmountDisk('M', 1), S_OK);
    ASSERT_EQ(operations.OpenCryptedDisk('M', file.c_str(), kOtherPassword), S_OK);
    EXPECT_EQ(operations.UmountDisk('M', 1), S_OK);
}

TEST_F(Operations, UnmountPossible) {
    KvOperations operations;
    EXPECT_EQ(operations.UnmountPossible('1'), E_INVALIDARG);
    EXPECT_EQ(operations.UnmountPossible('M'), KV_E_ALREADY_UNMOUNTED);
    const std::string file = FreshContainer("disk.vd");
    ASSERT_EQ(operations.CreateCryptedDisk('M', kSize, file.c_str(), kMaterial.c_str(), kPassword),
              S_OK);
    EXPECT_EQ(operations.UnmountPossible('M'), S_OK);
    EXPECT_EQ(TargetOf('M'), DiskName(0));  // only probed
    EXPECT_EQ(operations.UmountDisk('M', 1), S_OK);
}

TEST_F(Operations, ArgumentsAreCheckedBeforeAnythingIsMounted) {
    KvOperations operations;
    const char* file = "C:\\never.vd";
    char name[MAX_PATH];
    LONGLONG size;
    const struct {
        const char* label;
        HRESULT result;
        HRESULT expected;
    } cases[] = {
        {"create without file",
         operations.CreateCryptedDisk('M', kSize, nullptr, kMaterial.c_str(), kPassword),
         E_POINTER},
        {"create without material",
         operations.CreateCryptedDisk('M', kSize, file, nullptr, kPassword), E_POINTER},
        {"create without password",
         operations.CreateCryptedDisk('M', kSize, file, kMaterial.c_str(), nullptr), E_POINTER},
        {"open without file", operations.OpenCryptedDisk('M', nullptr, kPassword), E_POINTER},
        {"open without password", operations.OpenCryptedDisk('M', file, nullptr), E_POINTER},
        {"change without new password", operations.ChangePassword('M', file, kPassword, nullptr),
         E_POINTER},
        {"info of no letter", operations.GetMountedVolumeInfo('?', name, &size), E_INVALIDARG},
        {"info into nothing", operations.GetMountedVolumeInfo('M', nullptr, nullptr), E_POINTER},
        {"info of an unmounted letter", operations.GetMountedVolumeInfo('M', name, &size),
         KV_E_NOT_MOUNTED},
        {"used drive into nothing", operations.GetUsedDrive(nullptr), E_POINTER},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.result, c.expected) << c.label;
    }
    EXPECT_EQ(TargetOf('M'), "");
    EXPECT_FALSE(std::filesystem::exists(HostFile("never.vd")));
}

}  // namespace
}  // namespace controller_test
