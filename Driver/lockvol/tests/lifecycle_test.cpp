// A container's life through the private requests: open-file, the key requests, close-file.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>

#include "lockvol_system.h"

namespace lockvol_test {
namespace {

constexpr char kVaultName[] = "\\??\\C:\\Vault.vd";
constexpr std::size_t kKeyBlock = 4496;  // the enciphered part of the stored key schedule

Bytes Slice(const Bytes& bytes, std::size_t offset, std::size_t length) {
    return Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(offset),
                 bytes.begin() + static_cast<std::ptrdiff_t>(offset + length));
}

class LifecycleTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(system_.Load(), STATUS_SUCCESS);
        disk_ = system_.OpenDisk(0);
        ASSERT_NE(disk_, nullptr);
    }

    Bytes Header() { return ReadHostFile(system_.HostFile("Vault.vd"), 0, VD_HEADER_SIZE); }
    Bytes DataArea() { return ReadHostFile(system_.HostFile("Vault.vd"), VD_HEADER_SIZE, kMiB); }

    Bytes ReadSectors(LONGLONG offset, ULONG length) {
        Bytes data;
        const IoResult result = ReadDisk(*disk_, offset, length, data);
        EXPECT_EQ(result.status, STATUS_SUCCESS);
        EXPECT_EQ(result.information, length);
        return data;
    }

    LockvolSystem system_{1};
    std::unique_ptr<DeviceFile> disk_;
};

TEST_F(LifecycleTest, NewContainerGetsItsKeyAndServesEncipheredSectors) {
    const Bytes material = KeyMaterialFrom(7);
    const vdformat::KeySchedule dataKey = DataKeyOf(material);

    ASSERT_EQ(OpenFile(*disk_, kVaultName, kMiB).status, STATUS_SUCCESS);
    EXPECT_EQ(std::filesystem::file_size(system_.HostFile("Vault.vd")),
              static_cast<std::uintmax_t>(kMiB + VD_HEADER_SIZE));
    EXPECT_EQ(Header(), Bytes(VD_HEADER_SIZE, 0));

    // Until set-key has written a key block the disk is not ready.
    VD_OPEN_FILE_INFORMATION record;
    EXPECT_EQ(QueryFile(*disk_, record).status, STATUS_NO_MEDIA_IN_DEVICE);
    EXPECT_EQ(OpenKey(*disk_, MakePassword("alpha")).status, STATUS_NO_MEDIA_IN_DEVICE);
    Bytes data;
    EXPECT_EQ(ReadDisk(*disk_, 0, kSector, data).status, STATUS_NO_MEDIA_IN_DEVICE);

    const IoResult setKey = SetKey(*disk_, material, MakePassword("alpha"));
    ASSERT_EQ(setKey.status, STATUS_SUCCESS);
    EXPECT_EQ(setKey.information, 0u);
    const Bytes header = Header();
    EXPECT_NE(Slice(header, 0, kKeyBlock), Bytes(kKeyBlock, 0));
    // The last subkey is stored in plain.
    EXPECT_EQ(Slice(header, kKeyBlock, 4),
              Bytes(dataKey.Bytes() + kKeyBlock, dataKey.Bytes() + 4500));

    const IoResult query = QueryFile(*disk_, record);
    ASSERT_EQ(query.status, STATUS_SUCCESS);
    EXPECT_EQ(query.information, sizeof(VD_OPEN_FILE_INFORMATION));
    EXPECT_EQ(record.FileSize.QuadPart, kMiB);
    EXPECT_EQ(record.ReadOnly, 0);
    EXPECT_EQ(record.FileNameLength, std::strlen(kVaultName));
    EXPECT_EQ(std::string(record.FileName, record.FileNameLength), kVaultName);

    const Bytes plain = RandomBytes(3 * kSector, 11);
    const IoResult write = WriteDisk(*disk_, 2 * kSector, plain);
    ASSERT_EQ(write.status, STATUS_SUCCESS);
    EXPECT_EQ(write.information, plain.size());
    EXPECT_EQ(Slice(DataArea(), 2 * kSector, plain.size()), Enciphered(plain, dataKey));
    EXPECT_EQ(ReadSectors(0, 5 * kSector), Deciphered(Slice(DataArea(), 0, 5 * kSector), dataKey));
    EXPECT_EQ(ReadSectors(2 * kSector, 3 * kSector), plain);

    ASSERT_EQ(CloseFile(*disk_).status, STATUS_SUCCESS);
    EXPECT_EQ(QueryFile(*disk_, record).status, STATUS_NO_MEDIA_IN_DEVICE);
    EXPECT_EQ(ReadDisk(*disk_, 0, kSector, data).status, STATUS_NO_MEDIA_IN_DEVICE);
}

TEST_F(LifecycleTest, PasswordsOpenAndChangeTheKeyOfAnExistingContainer) {
    const Bytes material = KeyMaterialFrom(8);
    const Password alpha = MakePassword("alpha");
    const Password beta = MakePassword("beta-and-a-password-of-forty-characters");
    const Password wrong = MakePassword("Alpha");  // keys are bytes: case matters
    const Bytes plain = RandomBytes(2 * kSector, 12);
    ASSERT_EQ(OpenFile(*disk_, kVaultName, kMiB).status, STATUS_SUCCESS);
    ASSERT_EQ(SetKey(*disk_, material, alpha).status, STATUS_SUCCESS);
    ASSERT_EQ(WriteDisk(*disk_, 8 * kSector, plain).status, STATUS_SUCCESS);
    ASSERT_EQ(CloseFile(*disk_).status, STATUS_SUCCESS);

    // An existing file is ready at once; its key comes from open-key.
    ASSERT_EQ(OpenFile(*disk_, kVaultName, 0).status, STATUS_SUCCESS);
    ASSERT_EQ(OpenKey(*disk_, alpha).status, STATUS_SUCCESS);
    EXPECT_EQ(ReadSectors(8 * kSector, 2 * kSector), plain);

    // A wrong password fails, the file stays open and the key in use stays as it was.
    EXPECT_EQ(OpenKey(*disk_, wrong).status, STATUS_WRONG_PASSWORD_CORE);
    VD_OPEN_FILE_INFORMATION record;
    EXPECT_EQ(QueryFile(*disk_, record).status, STATUS_SUCCESS);
    EXPECT_EQ(ReadSectors(8 * kSector, 2 * kSector), plain);

    const Bytes headerBefore = Header();
    const Bytes dataBefore = DataArea();
    EXPECT_EQ(ChangeKey(*disk_, wrong, beta).status, STATUS_WRONG_PASSWORD_CORE);
    EXPECT_EQ(Header(), headerBefore);
    EXPECT_EQ(ReadSectors(8 * kSector, 2 * kSector), plain);

    ASSERT_EQ(ChangeKey(*disk_, alpha, beta).status, STATUS_SUCCESS);
    const Bytes headerAfter = Header();
    EXPECT_NE(Slice(headerAfter, 0, kKeyBlock), Slice(headerBefore, 0, kKeyBlock));
    EXPECT_EQ(Slice(headerAfter, kKeyBlock, 4), Slice(headerBefore, kKeyBlock, 4));
    EXPECT_EQ(DataArea(), dataBefore);
    EXPECT_EQ(ReadSectors(8 * kSector, 2 * kSector), plain);
    ASSERT_EQ(CloseFile(*disk_).status, STATUS_SUCCESS);

    ASSERT_EQ(OpenFile(*disk_, kVaultName, 0).status, STATUS_SUCCESS);
    ASSERT_EQ(OpenKey(*disk_, beta).status, STATUS_SUCCESS);
    EXPECT_EQ(ReadSectors(8 * kSector, 2 * kSector), plain);
    ASSERT_EQ(CloseFile(*disk_).status, STATUS_SUCCESS);
}

// A read-only open writes nothing: set-key would give an existing container a new data key and
// so lose everything on it.
TEST_F(LifecycleTest, SetKeyOnAReadOnlyOpenIsRefusedAndWritesNothing) {
    const Password alpha = MakePassword("alpha");
    const Bytes plain = RandomBytes(kSector, 13);
    ASSERT_EQ(OpenFile(*disk_, kVaultName, kMiB).status, STATUS_SUCCESS);
    ASSERT_EQ(SetKey(*disk_, KeyMaterialFrom(10), alpha).status, STATUS_SUCCESS);
    ASSERT_EQ(WriteDisk(*disk_, 0, plain).status, STATUS_SUCCESS);
    ASSERT_EQ(CloseFile(*disk_).status, STATUS_SUCCESS);
    const Bytes stored = ReadHostFile(system_.HostFile("Vault.vd"), 0, VD_HEADER_SIZE + kMiB);

    // As a create on a lower-case letter sends it: set-key at once after a read-only open.
    ASSERT_EQ(OpenFile(*disk_, kVaultName, 0, true).status, STATUS_SUCCESS);
    EXPECT_EQ(SetKey(*disk_, KeyMaterialFrom(11), MakePassword("beta")).status,
              STATUS_MEDIA_WRITE_PROTECTED);
    EXPECT_EQ(ReadHostFile(system_.HostFile("Vault.vd"), 0, VD_HEADER_SIZE + kMiB), stored);
    ASSERT_EQ(OpenKey(*disk_, alpha).status, STATUS_SUCCESS);
    EXPECT_EQ(SetKey(*disk_, KeyMaterialFrom(11), MakePassword("beta")).status,
              STATUS_MEDIA_WRITE_PROTECTED);
    EXPECT_EQ(ReadHostFile(system_.HostFile("Vault.vd"), 0, VD_HEADER_SIZE + kMiB), stored);
    EXPECT_EQ(ReadSectors(0, kSector), plain) << "the key in use is still the container's own";
    ASSERT_EQ(CloseFile(*disk_).status, STATUS_SUCCESS);
}

// Close-file takes the key with it: an existing file opened next is read under the zero key,
// not under the key of the container before it.
TEST_F(LifecycleTest, CloseFileWipesTheKey) {
    ASSERT_EQ(OpenFile(*disk_, kVaultName, kMiB).status, STATUS_SUCCESS);
    ASSERT_EQ(SetKey(*disk_, KeyMaterialFrom(9), MakePassword("alpha")).status, STATUS_SUCCESS);
    ASSERT_EQ(CloseFile(*disk_).status, STATUS_SUCCESS);

    WriteContainer(system_.HostFile("other.vd"), kMiB, 5);
    ASSERT_EQ(OpenFile(*disk_, "\\??\\C:\\other.vd", 0).status, STATUS_SUCCESS);
    const Bytes stored = ReadHostFile(system_.HostFile("other.vd"), VD_HEADER_SIZE, kSector);
    EXPECT_EQ(ReadSectors(0, kSector), Deciphered(stored, ZeroKey()));
}

struct OpenCase {
    const char* what;
    std::string name;
    LONGLONG fileSize;
    bool readOnly;
    NTSTATUS status;
};

TEST_F(LifecycleTest, OpenFileRefusesWhatItCannotServe) {
    WriteContainer(system_.HostFile("exists.vd"), kMiB, 3);
    std::filesystem::create_directory(system_.HostFile("folder.vd"));
    const std::vector<OpenCase> cases = {
        {"size not a multiple of 256 KiB", "\\??\\C:\\exists.vd", 100000, false,
         STATUS_PARTITION_FAILURE},
        {"negative size", "\\??\\C:\\missing.vd", -262144, false, STATUS_PARTITION_FAILURE},
        {"missing, no size", "\\??\\C:\\missing.vd", 0, false, STATUS_NO_SUCH_FILE},
        {"missing, read-only", "\\??\\C:\\missing.vd", kMiB, true, STATUS_NO_SUCH_FILE},
        {"a folder", "\\??\\C:\\folder.vd", 0, false, STATUS_FILE_IS_A_DIRECTORY},
    };
    for (const OpenCase& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(OpenFile(*disk_, c.name, c.fileSize, c.readOnly).status, c.status);
        VD_OPEN_FILE_INFORMATION record;
        EXPECT_EQ(QueryFile(*disk_, record).status, STATUS_NO_MEDIA_IN_DEVICE);
        EXPECT_EQ(OpenKey(*disk_, MakePassword("x")).status, STATUS_NO_MEDIA_IN_DEVICE);
    }
    EXPECT_FALSE(std::filesystem::exists(system_.HostFile("missing.vd")));

    // A name longer than the record can hold is refused, never read past the record's end.
    VD_OPEN_FILE_INFORMATION tooLong = OpenFileRecord("\\??\\C:\\exists.vd", 0);
    for (USHORT length : {USHORT{260}, USHORT{268}, USHORT{0xFFFF}}) {
        tooLong.FileNameLength = length;
        EXPECT_EQ(OpenFile(*disk_, tooLong).status, STATUS_INVALID_PARAMETER) << length;
    }
}

TEST_F(LifecycleTest, OpenFileKeepsTheNameAsSentAndOpensWithoutRegardToCase) {
    WriteContainer(system_.HostFile("exists.vd"), 2 * kMiB, 3);
    const std::string name = "\\??\\C:\\EXISTS.VD";
    ASSERT_EQ(OpenFile(*disk_, name, 0).status, STATUS_SUCCESS);
    VD_OPEN_FILE_INFORMATION record;
    ASSERT_EQ(QueryFile(*disk_, record).status, STATUS_SUCCESS);
    EXPECT_EQ(record.FileSize.QuadPart, 2 * kMiB);
    EXPECT_EQ(std::string(record.FileName, record.FileNameLength), name);
}

TEST_F(LifecycleTest, NamesAreInTheAnsiCodePage) {
    const std::string name = "\\??\\C:\\caf\xE9.vd";  // e-acute in Windows-1252
    ASSERT_EQ(OpenFile(*disk_, name, kMiB).status, STATUS_SUCCESS);
    EXPECT_TRUE(std::filesystem::exists(system_.HostFile("caf\xC3\xA9.vd")));
    ASSERT_EQ(CloseFile(*disk_).status, STATUS_SUCCESS);
}

TEST(SharingTest, AContainerIsOpenOnOneDiskAtATime) {
    LockvolSystem system(2);
    ASSERT_EQ(system.Load(), STATUS_SUCCESS);
    WriteContainer(system.HostFile("shared.vd"), kMiB, 4);
    auto first = system.OpenDisk(0);
    auto second = system.OpenDisk(1);
    ASSERT_EQ(OpenFile(*first, "\\??\\C:\\shared.vd", 0).status, STATUS_SUCCESS);
    EXPECT_EQ(OpenFile(*second, "\\??\\C:\\shared.vd", 0).status, STATUS_SHARING_VIOLATION);
    ASSERT_EQ(CloseFile(*first).status, STATUS_SUCCESS);
    EXPECT_EQ(OpenFile(*second, "\\??\\C:\\shared.vd", 0).status, STATUS_SUCCESS);
}

}  // namespace
}  // namespace lockvol_test
