// A kernel with lockvol loaded from its service key, over a temporary drive C: and registry,
// and the requests a test sends to the driver's devices.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "format/key_schedule.h"
#include "kernel/kernel.h"
#include "lockvol/lockvol_ioctl.h"

namespace registry {
class Store;
}

namespace lockvol_test {

using Bytes = std::vector<std::uint8_t>;
using hl::kernel::DeviceFile;
using hl::kernel::IoResult;
using Password = std::array<std::uint8_t, VD_USER_KEY_SIZE>;

inline constexpr ULONG kSector = VD_SECTOR_SIZE;
inline constexpr LONGLONG kMiB = 1 << 20;

// A folder that is removed with everything in it when the object goes.
class TemporaryFolder {
public:
    TemporaryFolder();
    ~TemporaryFolder();
    TemporaryFolder(const TemporaryFolder&) = delete;
    TemporaryFolder& operator=(const TemporaryFolder&) = delete;
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

// A registry value as stored: its type and its bytes.
struct StoredValue {
    std::uint32_t type;
    Bytes data;
};

class LockvolSystem {
public:
    // numberOfDevices: the "NumberOfDevices" parameter, or no Parameters key at all.
    explicit LockvolSystem(std::optional<ULONG> numberOfDevices = 4);
    // The parameter stored with any type and data.
    explicit LockvolSystem(const StoredValue& numberOfDevices);
    ~LockvolSystem();

    NTSTATUS Load();
    NTSTATUS Unload();
    hl::kernel::Kernel& kernel() { return *kernel_; }

    // The host folder that \??\C: names, and the host file of "\??\C:\<name>".
    const std::filesystem::path& driveC() const { return driveC_; }
    std::filesystem::path HostFile(std::string_view name) const { return driveC_ / name; }

    // Opens \Device\Harddisk\VaultDisk<n> as the calling thread's caller.
    std::unique_ptr<DeviceFile> OpenDisk(ULONG number);
    bool DiskExists(ULONG number);

private:
    void Prepare(const std::optional<StoredValue>& numberOfDevices);

    TemporaryFolder root_;
    std::filesystem::path driveC_;
    std::unique_ptr<registry::Store> store_;
    std::unique_ptr<hl::kernel::Kernel> kernel_;
};

std::u16string DiskName(ULONG number);

// The records and requests of the private protocol.
VD_OPEN_FILE_INFORMATION OpenFileRecord(std::string_view ntName, LONGLONG dataSize,
                                        bool readOnly = false);
Password MakePassword(std::string_view text);
Bytes KeyMaterialFrom(std::uint32_t seed);

IoResult Control(DeviceFile& disk, ULONG code, std::span<const std::uint8_t> input,
                 ULONG outputLength, Bytes* output = nullptr);
IoResult OpenFile(DeviceFile& disk, const VD_OPEN_FILE_INFORMATION& record);
IoResult OpenFile(DeviceFile& disk, std::string_view ntName, LONGLONG dataSize,
                  bool readOnly = false);
IoResult CloseFile(DeviceFile& disk);
IoResult SetKey(DeviceFile& disk, std::span<const std::uint8_t> material, const Password& key);
IoResult OpenKey(DeviceFile& disk, const Password& key);
IoResult ChangeKey(DeviceFile& disk, const Password& oldKey, const Password& newKey);
IoResult QueryFile(DeviceFile& disk, VD_OPEN_FILE_INFORMATION& record);

// Transfers through the device.
IoResult ReadDisk(DeviceFile& disk, LONGLONG offset, ULONG length, Bytes& data);
IoResult WriteDisk(DeviceFile& disk, LONGLONG offset, std::span<const std::uint8_t> data);

// Host files.
Bytes RandomBytes(std::size_t length, std::uint32_t seed);
void WriteHostFile(const std::filesystem::path& file, std::span<const std::uint8_t> data);
Bytes ReadHostFile(const std::filesystem::path& file, std::uint64_t offset, std::size_t length);
// A container file of a data area of `dataSize` bytes whose bytes are `RandomBytes(.., seed)`.
void WriteContainer(const std::filesystem::path& file, LONGLONG dataSize, std::uint32_t seed);

// What the driver must produce: the data key of key material, and the unit cipher over sectors.
vdformat::KeySchedule DataKeyOf(std::span<const std::uint8_t> material);
vdformat::KeySchedule ZeroKey();
Bytes Enciphered(std::span<const std::uint8_t> plain, const vdformat::KeySchedule& key);
Bytes Deciphered(std::span<const std::uint8_t> stored, const vdformat::KeySchedule& key);

}  // namespace lockvol_test
