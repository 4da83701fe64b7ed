// The controller's mounting steps on a booted system, down to the bytes in the container.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

#include "booted_system.h"
#include "controller/controller_state.h"
#include "disk_steps.h"
#include "format/container_header.h"
#include "format/unit_cipher.h"

namespace {

using system_test::BootedSystem;
using system_test::DosTarget;

bool Mount(ControllerState& state, char letter, const char* file, LONGLONG size,
           const char* password) {
    return system_test::MountDisk(state, letter, file, size, password);
}

constexpr LONGLONG kOneMebibyte = 1 << 20;

std::vector<char> Sector(char fill) {
    return std::vector<char>(4096, fill);
}

bool WriteSector(char letter, LONGLONG sector, const std::vector<char>& data) {
    HANDLE volume = OpenVolume(letter);
    LARGE_INTEGER at;
    at.QuadPart = sector * 4096;
    DWORD written = 0;
    const BOOL ok =
        volume != INVALID_HANDLE_VALUE && SetFilePointerEx(volume, at, nullptr, FILE_BEGIN) &&
        WriteFile(volume, data.data(), static_cast<DWORD>(data.size()), &written, nullptr);
    CloseHandle(volume);
    return ok && written == data.size();
}

std::vector<char> ReadSector(char letter, LONGLONG sector) {
    std::vector<char> data(4096);
    HANDLE volume = OpenVolume(letter);
    LARGE_INTEGER at;
    at.QuadPart = sector * 4096;
    DWORD read = 0;
    if (volume == INVALID_HANDLE_VALUE || !SetFilePointerEx(volume, at, nullptr, FILE_BEGIN) ||
        !ReadFile(volume, data.data(), 4096, &read, nullptr) || read != 4096) {
        data.clear();
    }
    CloseHandle(volume);
    return data;
}

TEST(Mounting, NewContainerLivesThroughUnmountsAndRestarts) {
    BootedSystem system;
    ControllerState state;
    ASSERT_TRUE(Mount(state, 'X', "C:\\vault.vd", kOneMebibyte, "secret"))
        << std::hex << state.LastError;
    EXPECT_EQ(DosTarget("X:"), "\\Device\\Harddisk\\VaultDisk0");
    EXPECT_EQ(std::filesystem::file_size(BootedSystem::DriveC() / "vault.vd"),
              8192u + kOneMebibyte);
    ASSERT_TRUE(WriteSector('X', 3, Sector('a')));
    EXPECT_EQ(ReadSector('X', 3), Sector('a'));

    // What the container holds is that sector enciphered under the data key.
    {
        std::ifstream in(BootedSystem::DriveC() / "vault.vd", std::ios::binary);
        std::vector<std::uint8_t> stored(std::istreambuf_iterator<char>(in), {});
        ASSERT_EQ(stored.size(), 8192u + kOneMebibyte);
        vdformat::KeySchedule dataKey;
        std::memcpy(dataKey.Bytes(), state.SetKeyRecord.KeyMaterial, 4500);
        vdformat::StretchKey(vdformat::AsBytes(dataKey), vdformat::kDataKeySalt);
        vdformat::BuildKeySchedule(dataKey);
        vdformat::DecipherUnit(std::span(stored.data() + 8192 + 3 * 4096, 4096), dataKey);
        EXPECT_TRUE(std::all_of(stored.begin() + 8192 + 3 * 4096, stored.begin() + 8192 + 4 * 4096,
                                [](std::uint8_t b) { return b == 'a'; }));
    }

    HANDLE volume = OpenVolume('X');
    VD_OPEN_FILE_INFORMATION record{};
    DWORD returned = 0;
    ASSERT_TRUE(DeviceIoControl(volume, IOCTL_VD_QUERY_FILE, nullptr, 0, &record, sizeof(record),
                                &returned, nullptr));
    CloseHandle(volume);
    EXPECT_EQ(returned, 280u);
    EXPECT_EQ(record.FileSize.QuadPart, kOneMebibyte);
    EXPECT_EQ(std::string(record.FileName, record.FileNameLength), "\\??\\C:\\vault.vd");

    ASSERT_TRUE(SafeUnmount(state, 'X')) << std::hex << state.LastError;
    EXPECT_EQ(DosTarget("X:"), "");
    EXPECT_FALSE(SafeUnmount(state, 'X'));
    EXPECT_EQ(state.LastError, KV_E_ALREADY_UNMOUNTED);

    EXPECT_FALSE(Mount(state, 'X', "C:\\vault.vd", 0, "Secret"));  // case matters
    EXPECT_EQ(DosTarget("X:"), "");
    ASSERT_TRUE(Mount(state, 'X', "C:\\vault.vd", 0, "secret"));
    EXPECT_EQ(ReadSector('X', 3), Sector('a'));
    ASSERT_TRUE(SafeUnmount(state, 'X'));

    system.Restart();
    ASSERT_TRUE(Mount(state, 'Y', "c:\\VAULT.VD", 0, "secret")) << std::hex << state.LastError;
    EXPECT_EQ(ReadSector('Y', 3), Sector('a'));
    EXPECT_TRUE(CriticalUnmount(state, 'Y'));
}

TEST(Mounting, LettersAndDevicesInUse) {
    BootedSystem system;
    ControllerState state;
    SetContainerFile(state, "C:\\edge.vd", kOneMebibyte);
    EXPECT_EQ(MountContainer(state, 'C'), INVALID_HANDLE_VALUE);
    EXPECT_EQ(state.LastError, KV_E_LETTER_IN_USE);

    // Devices 0 and 2 bound by hand, and a "Cd" name that is not one of the disk devices.
    ASSERT_TRUE(DefineDosDeviceA(DDD_RAW_TARGET_PATH, "P:", "\\Device\\Harddisk\\VaultDisk0"));
    ASSERT_TRUE(DefineDosDeviceA(DDD_RAW_TARGET_PATH, "R:", "\\Device\\Harddisk\\VaultDisk2"));
    ASSERT_TRUE(DefineDosDeviceA(DDD_RAW_TARGET_PATH, "Q:", "\\Device\\Harddisk\\VaultDiskCd1"));
    char device[64];
    ASSERT_TRUE(ScanDevices(state, device));
    EXPECT_STREQ(device, "\\Device\\Harddisk\\VaultDisk1");
    EXPECT_EQ(state.UsedDriveLetter, 'P');
    ASSERT_TRUE(Mount(state, 'S', "C:\\edge.vd", kOneMebibyte, "pw"));
    EXPECT_EQ(DosTarget("S:"), "\\Device\\Harddisk\\VaultDisk1");
    ASSERT_TRUE(DefineDosDeviceA(DDD_RAW_TARGET_PATH, "T:", "\\Device\\Harddisk\\VaultDisk3"));
    EXPECT_FALSE(ScanDevices(state, device));
    EXPECT_EQ(state.UsedDriveLetter, 'T');
    SetContainerFile(state, "C:\\other.vd", kOneMebibyte);
    EXPECT_EQ(MountContainer(state, 'U'), INVALID_HANDLE_VALUE);
    EXPECT_EQ(state.LastError, KV_E_NO_FREE_DEVICE);

    EXPECT_TRUE(CriticalUnmount(state, 'S'));
    for (const char* letter : {"P:", "Q:", "R:", "T:"}) {
        EXPECT_TRUE(DefineDosDeviceA(DDD_REMOVE_DEFINITION, letter, nullptr)) << letter;
    }
    ASSERT_TRUE(ScanDevices(state, device));
    EXPECT_EQ(state.UsedDriveLetter, 0);
}

// Only the driver's own names count: the prefix and the number in plain decimal digits.
TEST(Mounting, TargetsThatAreNotTheDriversDisksLeaveTheirSlotsFree) {
    BootedSystem system;
    ControllerState state;
    struct Case {
        const char* target;
        const char* freeDevice;
        char used;
    };
    const Case cases[] = {
        {"\\Device\\Harddisk\\VaultDisk", "\\Device\\Harddisk\\VaultDisk0", 0},
        {"\\Device\\Harddisk\\VaultDisk+1", "\\Device\\Harddisk\\VaultDisk0", 0},
        {"\\Device\\Harddisk\\VaultDisk 0", "\\Device\\Harddisk\\VaultDisk0", 0},
        {"\\Device\\Harddisk\\VaultDisk0x", "\\Device\\Harddisk\\VaultDisk0", 0},
        {"\\Device\\Harddisk\\VaultDisk00", "\\Device\\Harddisk\\VaultDisk0", 0},
        {"\\Device\\Harddisk\\VaultDisk-4294967295", "\\Device\\Harddisk\\VaultDisk0", 0},
        {"\\Device\\Harddisk\\VaultDisk4294967296", "\\Device\\Harddisk\\VaultDisk0", 0},
        {"\\Device\\Harddisk\\VaultDisk0", "\\Device\\Harddisk\\VaultDisk1", 'Q'},
        {"\\Device\\Harddisk\\VaultDisk10", "\\Device\\Harddisk\\VaultDisk0", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.target);
        ASSERT_TRUE(DefineDosDeviceA(DDD_RAW_TARGET_PATH, "Q:", c.target));
        char device[64] = {};
        EXPECT_TRUE(ScanDevices(state, device));
        EXPECT_STREQ(device, c.freeDevice);
        EXPECT_EQ(state.UsedDriveLetter, c.used);
        ASSERT_TRUE(DefineDosDeviceA(DDD_REMOVE_DEFINITION, "Q:", nullptr));
    }
}

TEST(Mounting, NamesThatCannotBeSentLeaveNoLetterBehind) {
    BootedSystem system;
    ControllerState state;
    const std::string longName = "C:\\" + std::string(255, 'n');  // 258 characters
    SetContainerFile(state, longName.c_str(), kOneMebibyte);
    EXPECT_EQ(state.OpenFileRecord.FileNameLength, 0);
    EXPECT_EQ(MountContainer(state, 'X'), INVALID_HANDLE_VALUE);
    EXPECT_EQ(state.LastError, KV_E_MOUNT_FAILED);
    EXPECT_EQ(DosTarget("X:"), "");

    SetContainerFile(state, "\\\\server\\share\\disk.vd", 0);
    EXPECT_STREQ(state.OpenFileRecord.FileName, "\\??\\UNC\\server\\share\\disk.vd");
    SetContainerFile(state, "\\??\\C:\\already.vd", 0);
    EXPECT_STREQ(state.OpenFileRecord.FileName, "\\??\\C:\\already.vd");
    SetContainerFile(state, "C:\\size.vd", 100000);
    EXPECT_EQ(MountContainer(state, 'X'), INVALID_HANDLE_VALUE);
    EXPECT_EQ(state.LastError, KV_E_MOUNT_FAILED);
}

}  // namespace
