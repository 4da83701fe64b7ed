#include "lockvol_system.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <random>

#include "format/container_header.h"
#include "format/unit_cipher.h"
#include "registry/store.h"

namespace lockvol_test {
namespace {

constexpr char kServiceKey[] = "System\\CurrentControlSet\\Services\\lockvol";

Bytes Utf16Value(std::u16string_view text) {
    Bytes data;
    for (char16_t c : text) {
        data.push_back(static_cast<std::uint8_t>(c & 0xFF));
        data.push_back(static_cast<std::uint8_t>(c >> 8));
    }
    data.push_back(0);
    data.push_back(0);
    return data;
}

Bytes DwordValue(ULONG value) {
    Bytes data(sizeof(value));
    std::memcpy(data.data(), &value, sizeof(value));
    return data;
}

template <typename Record>
std::span<const std::uint8_t> RecordBytes(const Record& record) {
    return {reinterpret_cast<const std::uint8_t*>(&record), sizeof(record)};
}

}  // namespace

TemporaryFolder::TemporaryFolder() {
    std::random_device random;
    path_ = std::filesystem::temp_directory_path() /
            ("lockvol-test-" + std::to_string(random()) + std::to_string(random()));
    std::filesystem::create_directories(path_);
}

TemporaryFolder::~TemporaryFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

LockvolSystem::LockvolSystem(std::optional<ULONG> numberOfDevices)
    : driveC_(root_.path() / "drive_c") {
    Prepare(numberOfDevices
                ? std::optional<StoredValue>(StoredValue{REG_DWORD, DwordValue(*numberOfDevices)})
                : std::nullopt);
}

LockvolSystem::LockvolSystem(const StoredValue& numberOfDevices)
    : driveC_(root_.path() / "drive_c") {
    Prepare(numberOfDevices);
}

void LockvolSystem::Prepare(const std::optional<StoredValue>& numberOfDevices) {
    const std::filesystem::path drivers = driveC_ / "WINDOWS" / "system32" / "drivers";
    std::filesystem::create_directories(drivers);
    std::filesystem::create_symlink(LOCKVOL_IMAGE, drivers / "lockvol.sys");

    const registry::Caller root;
    if (registry::Store::Open(root_.path() / "registry", store_) != registry::Result::Ok) {
        ADD_FAILURE() << "the registry store does not open";
        return;
    }
    const registry::KeyPath service{registry::Root::LocalMachine, kServiceKey};
    EXPECT_EQ(store_->CreateKey(root, service), registry::Result::Ok);
    EXPECT_EQ(store_->SetValue(root, service, "ImagePath", registry::kRegExpandSz,
                               Utf16Value(u"\\SystemRoot\\system32\\drivers\\lockvol.sys")),
              registry::Result::Ok);
    if (numberOfDevices) {
        const registry::KeyPath parameters{registry::Root::LocalMachine,
                                           std::string(kServiceKey) + "\\Parameters"};
        EXPECT_EQ(store_->CreateKey(root, parameters), registry::Result::Ok);
        EXPECT_EQ(store_->SetValue(root, parameters, "NumberOfDevices", numberOfDevices->type,
                                   numberOfDevices->data),
                  registry::Result::Ok);
    }

    hl::kernel::KernelConfig config;
    config.registry = store_.get();
    EXPECT_EQ(hl::kernel::Kernel::Boot(config, kernel_), STATUS_SUCCESS);
    EXPECT_EQ(kernel_->MapDrive(u"C:", driveC_), STATUS_SUCCESS);
}

LockvolSystem::~LockvolSystem() {
    if (kernel_) {
        EXPECT_EQ(kernel_->Diagnostics(), std::vector<std::string>{});
    }
    kernel_.reset();
    store_.reset();
}

NTSTATUS LockvolSystem::Load() {
    return kernel_->LoadDriver(u"lockvol");
}

NTSTATUS LockvolSystem::Unload() {
    return kernel_->UnloadDriver(u"lockvol");
}

std::u16string DiskName(ULONG number) {
    std::u16string name = u"" VD_DEVICE_NAME_PREFIX;
    for (char c : std::to_string(number)) {
        name.push_back(static_cast<char16_t>(c));
    }
    return name;
}

std::unique_ptr<DeviceFile> LockvolSystem::OpenDisk(ULONG number) {
    std::unique_ptr<DeviceFile> file;
    const NTSTATUS status =
        kernel_->OpenDevice(DiskName(number), GENERIC_READ | GENERIC_WRITE, file);
    EXPECT_EQ(status, STATUS_SUCCESS) << "opening disk " << number;
    return file;
}

bool LockvolSystem::DiskExists(ULONG number) {
    return kernel_->ObjectExists(DiskName(number));
}

VD_OPEN_FILE_INFORMATION OpenFileRecord(std::string_view ntName, LONGLONG dataSize, bool readOnly) {
    VD_OPEN_FILE_INFORMATION record;
    std::memset(&record, 0, sizeof(record));
    record.FileSize.QuadPart = dataSize;
    record.ReadOnly = readOnly ? 1 : 0;
    record.FileNameLength = static_cast<USHORT>(ntName.size());
    std::memcpy(record.FileName, ntName.data(), ntName.size());
    return record;
}

Password MakePassword(std::string_view text) {
    Password key{};
    std::memcpy(key.data(), text.data(), std::min(text.size(), key.size()));
    return key;
}

Bytes KeyMaterialFrom(std::uint32_t seed) {
    return RandomBytes(VD_KEY_MATERIAL_SIZE, seed);
}

IoResult Control(DeviceFile& disk, ULONG code, std::span<const std::uint8_t> input,
                 ULONG outputLength, Bytes* output) {
    Bytes out(outputLength, 0xCC);
    const IoResult result = disk.DeviceControl(code, input.empty() ? nullptr : input.data(),
                                               static_cast<ULONG>(input.size()),
                                               out.empty() ? nullptr : out.data(), outputLength);
    if (output != nullptr) {
        *output = std::move(out);
    }
    return result;
}

IoResult OpenFile(DeviceFile& disk, const VD_OPEN_FILE_INFORMATION& record) {
    return Control(disk, IOCTL_VD_OPEN_FILE, RecordBytes(record), 0);
}

IoResult OpenFile(DeviceFile& disk, std::string_view ntName, LONGLONG dataSize, bool readOnly) {
    return OpenFile(disk, OpenFileRecord(ntName, dataSize, readOnly));
}

IoResult CloseFile(DeviceFile& disk) {
    return Control(disk, IOCTL_VD_CLOSE_FILE, {}, 0);
}

IoResult SetKey(DeviceFile& disk, std::span<const std::uint8_t> material, const Password& key) {
    VD_SET_KEY_REQUEST request;
    std::memcpy(request.KeyMaterial, material.data(), sizeof(request.KeyMaterial));
    std::memcpy(request.UserKey, key.data(), sizeof(request.UserKey));
    return Control(disk, IOCTL_VD_SET_KEY, RecordBytes(request), 0);
}

IoResult OpenKey(DeviceFile& disk, const Password& key) {
    VD_OPEN_KEY_REQUEST request;
    std::memcpy(request.UserKey, key.data(), sizeof(request.UserKey));
    return Control(disk, IOCTL_VD_OPEN_KEY, RecordBytes(request), 0);
}

IoResult ChangeKey(DeviceFile& disk, const Password& oldKey, const Password& newKey) {
    VD_CHANGE_KEY_REQUEST request;
    std::memcpy(request.OldUserKey, oldKey.data(), sizeof(request.OldUserKey));
    std::memcpy(request.NewUserKey, newKey.data(), sizeof(request.NewUserKey));
    return Control(disk, IOCTL_VD_CHANGE_KEY, RecordBytes(request), 0);
}

IoResult QueryFile(DeviceFile& disk, VD_OPEN_FILE_INFORMATION& record) {
    Bytes output;
    const IoResult result = Control(disk, IOCTL_VD_QUERY_FILE, {}, sizeof(record), &output);
    std::memcpy(&record, output.data(), sizeof(record));
    return result;
}

IoResult ReadDisk(DeviceFile& disk, LONGLONG offset, ULONG length, Bytes& data) {
    data.assign(length, 0xAA);
    return disk.Read(data.data(), length, offset);
}

IoResult WriteDisk(DeviceFile& disk, LONGLONG offset, std::span<const std::uint8_t> data) {
    return disk.Write(data.data(), static_cast<ULONG>(data.size()), offset);
}

Bytes RandomBytes(std::size_t length, std::uint32_t seed) {
    std::mt19937 random(seed);
    Bytes data(length);
    for (auto& byte : data) {
        byte = static_cast<std::uint8_t>(random());
    }
    return data;
}

void WriteHostFile(const std::filesystem::path& file, std::span<const std::uint8_t> data) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data.data()),
              static_cast<std::streamsize>(data.size()));
    ASSERT_TRUE(out.good()) << file;
}

Bytes ReadHostFile(const std::filesystem::path& file, std::uint64_t offset, std::size_t length) {
    std::ifstream in(file, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(offset));
    Bytes data(length);
    in.read(reinterpret_cast<char*>(data.data()), static_cast<std::streamsize>(length));
    data.resize(static_cast<std::size_t>(in.gcount()));
    return data;
}

void WriteContainer(const std::filesystem::path& file, LONGLONG dataSize, std::uint32_t seed) {
    WriteHostFile(file, RandomBytes(static_cast<std::size_t>(dataSize + VD_HEADER_SIZE), seed));
}

vdformat::KeySchedule DataKeyOf(std::span<const std::uint8_t> material) {
    vdformat::KeySchedule key;
    std::memcpy(key.Bytes(), material.data(), sizeof(key));
    vdformat::StretchKey(vdformat::AsBytes(key), vdformat::kDataKeySalt);
    vdformat::BuildKeySchedule(key);
    return key;
}

vdformat::KeySchedule ZeroKey() {
    vdformat::KeySchedule key;
    std::memset(&key, 0, sizeof(key));
    return key;
}

Bytes Enciphered(std::span<const std::uint8_t> plain, const vdformat::KeySchedule& key) {
    Bytes data(plain.begin(), plain.end());
    vdformat::EncipherSectors(data, key);
    return data;
}

Bytes Deciphered(std::span<const std::uint8_t> stored, const vdformat::KeySchedule& key) {
    Bytes data(stored.begin(), stored.end());
    vdformat::DecipherSectors(data, key);
    return data;
}

}  // namespace lockvol_test
