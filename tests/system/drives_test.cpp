// Drive letters and volume facts as Windows programs ask for them, on a booted system.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <string>

#include "booted_system.h"
#include "controller/controller_state.h"
#include "disk_steps.h"

namespace {

using system_test::BootedSystem;

std::string Drives() {
    char buffer[128] = {};
    const DWORD length = GetLogicalDriveStringsA(sizeof(buffer), buffer);
    std::string joined;
    for (const char* drive = buffer; drive < buffer + length && *drive != 0;
         drive += std::strlen(drive) + 1) {
        joined += std::string(drive) + " ";
    }
    return joined;
}

TEST(Drives, LettersTypesSpaceAndFileSystems) {
    BootedSystem system;
    EXPECT_EQ(Drives(), "C:\\ ");
    EXPECT_EQ(GetDriveTypeA("C:\\"), static_cast<UINT>(DRIVE_FIXED));
    EXPECT_EQ(GetDriveTypeA("X:\\"), static_cast<UINT>(DRIVE_NO_ROOT_DIR));
    char small[3];
    EXPECT_EQ(GetLogicalDriveStringsA(sizeof(small), small), 5u);  // the size it needs

    ControllerState state;
    ASSERT_TRUE(system_test::MountDisk(state, 'X', "C:\\drives.vd", 16 << 20, "pw"))
        << std::hex << state.LastError;
    EXPECT_EQ(Drives(), "C:\\ X:\\ ");
    EXPECT_EQ(GetDriveTypeA("X:\\"), static_cast<UINT>(DRIVE_FIXED));

    // Unformatted, the volume has no file system to answer for.
    char fileSystem[16] = {};
    EXPECT_FALSE(GetVolumeInformationA("X:\\", nullptr, 0, nullptr, nullptr, nullptr, fileSystem,
                                       sizeof(fileSystem)));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_UNRECOGNIZED_VOLUME));
    ASSERT_EQ(system_test::FormatDrive('X'), 0);

    ASSERT_TRUE(GetVolumeInformationA("X:\\", nullptr, 0, nullptr, nullptr, nullptr, fileSystem,
                                      sizeof(fileSystem)));
    EXPECT_STREQ(fileSystem, "NTFS");
    ULARGE_INTEGER available{};
    ULARGE_INTEGER total{};
    ULARGE_INTEGER free{};
    ASSERT_TRUE(GetDiskFreeSpaceExA("X:\\", &available, &total, &free));
    EXPECT_GT(total.QuadPart, 15u << 20);
    EXPECT_LE(total.QuadPart, 16u << 20);
    EXPECT_GT(free.QuadPart, 0u);
    EXPECT_LE(available.QuadPart, free.QuadPart);
    EXPECT_TRUE(SafeUnmount(state, 'X'));
    EXPECT_EQ(Drives(), "C:\\ ");
}

}  // namespace
