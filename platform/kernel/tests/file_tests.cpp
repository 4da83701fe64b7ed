// Zw file services over a host folder mapped to C:.
#include <sys/stat.h>

#include "kernel_fixture.h"

namespace hl::kernel::testing {
namespace {

using FileTest = KernelTest;

constexpr ULONG kSync = FILE_SYNCHRONOUS_IO_NONALERT;

TEST_F(FileTest, DispositionsGiveNtStatusesAndInformation) {
    struct Case {
        bool exists;
        ULONG disposition;
        NTSTATUS status;
        ULONG_PTR information;
        std::string contentAfter;  // "-" when the file does not exist afterwards
    };
    const Case cases[] = {
        {false, FILE_OPEN, STATUS_OBJECT_NAME_NOT_FOUND, FILE_DOES_NOT_EXIST, "-"},
        {true, FILE_OPEN, STATUS_SUCCESS, FILE_OPENED, "old"},
        {false, FILE_CREATE, STATUS_SUCCESS, FILE_CREATED, ""},
        {true, FILE_CREATE, STATUS_OBJECT_NAME_COLLISION, FILE_EXISTS, "old"},
        {false, FILE_OPEN_IF, STATUS_SUCCESS, FILE_CREATED, ""},
        {true, FILE_OPEN_IF, STATUS_SUCCESS, FILE_OPENED, "old"},
        {false, FILE_OVERWRITE, STATUS_OBJECT_NAME_NOT_FOUND, FILE_DOES_NOT_EXIST, "-"},
        {true, FILE_OVERWRITE, STATUS_SUCCESS, FILE_OVERWRITTEN, ""},
        {false, FILE_OVERWRITE_IF, STATUS_SUCCESS, FILE_CREATED, ""},
        {true, FILE_OVERWRITE_IF, STATUS_SUCCESS, FILE_OVERWRITTEN, ""},
        {true, FILE_SUPERSEDE, STATUS_SUCCESS, FILE_SUPERSEDED, ""},
    };
    for (const Case& c : cases) {
        std::filesystem::remove(drive_ / "file.bin");
        if (c.exists) {
            WriteHostFile("file.bin", "old");
        }
        HANDLE handle = nullptr;
        IO_STATUS_BLOCK io{};
        NTSTATUS status = Create(u"\\??\\C:\\file.bin", GENERIC_READ | GENERIC_WRITE, 0,
                                 c.disposition, FILE_NON_DIRECTORY_FILE | kSync, handle, io);
        EXPECT_EQ(status, c.status) << "disposition " << c.disposition << " exists " << c.exists;
        EXPECT_EQ(io.Information, c.information) << "disposition " << c.disposition;
        if (NT_SUCCESS(status)) {
            EXPECT_EQ(io.Status, status);
            ZwClose(handle);
        }
        const bool present = std::filesystem::exists(drive_ / "file.bin");
        EXPECT_EQ(present ? ReadHostFile("file.bin") : "-", c.contentAfter)
            << "disposition " << c.disposition;
    }
    EXPECT_EQ(kernel_->OpenHandles(), 0u);
}

TEST_F(FileTest, NamesResolveThroughTheNamespaceWithoutRegardToCase) {
    WriteHostFile("Folder/Sub/Data.TXT", "content");
    const std::u16string names[] = {
        u"\\??\\C:\\Folder\\Sub\\Data.TXT", u"\\??\\c:\\FOLDER\\sub\\data.txt",
        u"\\DosDevices\\C:\\folder\\SUB\\DATA.txt", u"\\GLOBAL??\\C:\\Folder\\Sub\\Data.TXT"};
    for (const auto& name : names) {
        HANDLE handle = nullptr;
        EXPECT_EQ(Open(name, GENERIC_READ, FILE_SHARE_READ, handle), STATUS_SUCCESS);
        char buffer[16] = {};
        IO_STATUS_BLOCK io{};
        LARGE_INTEGER offset{};
        EXPECT_EQ(ZwReadFile(handle, nullptr, nullptr, nullptr, &io, buffer, sizeof buffer, &offset,
                             nullptr),
                  STATUS_SUCCESS);
        EXPECT_EQ(std::string(buffer, io.Information), "content");
        ZwClose(handle);
    }
    // A new file takes the case of the existing folders and its own name as given.
    HANDLE handle = nullptr;
    IO_STATUS_BLOCK io{};
    ASSERT_EQ(
        Create(u"\\??\\C:\\FOLDER\\SUB\\New.Bin", GENERIC_WRITE, 0, FILE_CREATE, kSync, handle, io),
        STATUS_SUCCESS);
    ZwClose(handle);
    EXPECT_TRUE(std::filesystem::exists(drive_ / "Folder/Sub/New.Bin"));

    // Final sigma upper-cases to sigma, as in the registry.
    WriteHostFile("\xCF\x83\xCE\xBF\xCF\x86\xCE\xBF\xCF\x82.txt", "greek");
    EXPECT_EQ(Open(u"\\??\\C:\\\u03A3\u039F\u03A6\u039F\u03A3.TXT", GENERIC_READ, FILE_SHARE_READ,
                   handle),
              STATUS_SUCCESS);
    ZwClose(handle);
}

TEST_F(FileTest, FailuresGiveTheStatusesWindowsGives) {
    WriteHostFile("Folder/file.txt", "x");
    struct Case {
        std::u16string name;
        ULONG options;
        ULONG disposition;
        NTSTATUS status;
    };
    const Case cases[] = {
        {u"\\??\\C:\\Folder\\missing.txt", 0, FILE_OPEN, STATUS_OBJECT_NAME_NOT_FOUND},
        {u"\\??\\C:\\Missing\\file.txt", 0, FILE_OPEN, STATUS_OBJECT_PATH_NOT_FOUND},
        {u"\\??\\C:\\Missing\\file.txt", 0, FILE_CREATE, STATUS_OBJECT_PATH_NOT_FOUND},
        {u"\\??\\C:\\Folder\\file.txt\\inner", 0, FILE_OPEN, STATUS_OBJECT_PATH_NOT_FOUND},
        {u"\\??\\C:\\Folder", FILE_NON_DIRECTORY_FILE, FILE_OPEN, STATUS_FILE_IS_A_DIRECTORY},
        {u"\\??\\C:\\Folder\\file.txt", FILE_DIRECTORY_FILE, FILE_OPEN, STATUS_NOT_A_DIRECTORY},
        {u"\\??\\C:\\Folder\\bad?name", 0, FILE_CREATE, STATUS_OBJECT_NAME_INVALID},
        {u"\\??\\C:\\Folder\\..\\Folder\\file.txt", 0, FILE_OPEN, STATUS_OBJECT_NAME_INVALID},
        {u"\\??\\Q:\\file.txt", 0, FILE_OPEN, STATUS_OBJECT_PATH_NOT_FOUND},
        {u"\\??\\C:\\Folder\\file.txt", FILE_DIRECTORY_FILE | FILE_NON_DIRECTORY_FILE, FILE_OPEN,
         STATUS_INVALID_PARAMETER},
        {u"\\??\\C:\\Folder\\file.txt", 0, 6, STATUS_INVALID_PARAMETER},
    };
    for (const Case& c : cases) {
        HANDLE handle = nullptr;
        IO_STATUS_BLOCK io{};
        EXPECT_EQ(Create(c.name, GENERIC_READ | GENERIC_WRITE, 0, c.disposition, c.options | kSync,
                         handle, io),
                  c.status)
            << std::string(c.name.begin(), c.name.end());
    }
    EXPECT_EQ(kernel_->OpenHandles(), 0u);
}

TEST_F(FileTest, NoSharingReallyExcludesOtherOpeners) {
    WriteHostFile("container.vd", "data");
    const std::u16string name = u"\\??\\C:\\container.vd";
    HANDLE exclusive = nullptr, other = nullptr;
    ASSERT_EQ(Open(name, GENERIC_READ | GENERIC_WRITE, 0, exclusive), STATUS_SUCCESS);
    EXPECT_EQ(Open(name, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, other),
              STATUS_SHARING_VIOLATION);
    EXPECT_EQ(Open(u"\\??\\c:\\CONTAINER.VD", GENERIC_READ, 0, other), STATUS_SHARING_VIOLATION);
    EXPECT_EQ(Open(name, FILE_READ_ATTRIBUTES | SYNCHRONIZE, 0, other), STATUS_SUCCESS);  // no data
    ZwClose(other);
    ZwClose(exclusive);
    ASSERT_EQ(Open(name, GENERIC_READ, FILE_SHARE_READ, exclusive), STATUS_SUCCESS);
    EXPECT_EQ(Open(name, GENERIC_READ, FILE_SHARE_READ, other), STATUS_SUCCESS);
    HANDLE writer = nullptr;
    EXPECT_EQ(Open(name, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, writer),
              STATUS_SHARING_VIOLATION);
    ZwClose(other);
    ZwClose(exclusive);
    EXPECT_EQ(Open(name, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, writer),
              STATUS_SUCCESS);
    ZwClose(writer);
}

TEST_F(FileTest, ReadWriteAtOffsetsAndEndOfFile) {
    HANDLE handle = nullptr;
    IO_STATUS_BLOCK io{};
    ASSERT_EQ(Create(u"\\??\\C:\\data.bin", GENERIC_READ | GENERIC_WRITE, 0, FILE_CREATE,
                     FILE_NON_DIRECTORY_FILE | FILE_RANDOM_ACCESS | kSync, handle, io),
              STATUS_SUCCESS);
    char text[] = "0123456789";
    LARGE_INTEGER offset;
    offset.QuadPart = 5;
    ASSERT_EQ(ZwWriteFile(handle, nullptr, nullptr, nullptr, &io, text, 10, &offset, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(io.Information, 10u);
    EXPECT_EQ(ReadHostFile("data.bin"), std::string(5, '\0') + "0123456789");

    struct Case {
        LONGLONG offset;
        ULONG length;
        NTSTATUS status;
        std::string data;
    };
    const Case cases[] = {
        {5, 4, STATUS_SUCCESS, "0123"},  {12, 10, STATUS_SUCCESS, "789"},  // short read at the end
        {15, 1, STATUS_END_OF_FILE, ""}, {100, 1, STATUS_END_OF_FILE, ""},
        {3, 0, STATUS_SUCCESS, ""},
    };
    for (const Case& c : cases) {
        char buffer[16] = {};
        offset.QuadPart = c.offset;
        io = {};
        EXPECT_EQ(
            ZwReadFile(handle, nullptr, nullptr, nullptr, &io, buffer, c.length, &offset, nullptr),
            c.status)
            << c.offset;
        EXPECT_EQ(std::string(buffer, io.Information), c.data) << c.offset;
    }
    // Synchronous files keep a position: no offset continues after the last transfer.
    char buffer[4] = {};
    offset.QuadPart = 6;
    ZwReadFile(handle, nullptr, nullptr, nullptr, &io, buffer, 2, &offset, nullptr);
    EXPECT_EQ(ZwReadFile(handle, nullptr, nullptr, nullptr, &io, buffer, 2, nullptr, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(std::string(buffer, 2), "34");
    ZwClose(handle);
}

TEST_F(FileTest, UnbufferedFilesTakeWholeSectorsAndFaultsAreReported) {
    WriteHostFile("disk.img", std::string(4096, 'x'));
    HANDLE handle = nullptr;
    IO_STATUS_BLOCK io{};
    ASSERT_EQ(Create(u"\\??\\C:\\disk.img", GENERIC_READ | GENERIC_WRITE, 0, FILE_OPEN,
                     FILE_NO_INTERMEDIATE_BUFFERING | kSync, handle, io),
              STATUS_SUCCESS);
    std::vector<char> buffer(1024);
    LARGE_INTEGER offset;
    offset.QuadPart = 100;
    EXPECT_EQ(
        ZwReadFile(handle, nullptr, nullptr, nullptr, &io, buffer.data(), 512, &offset, nullptr),
        STATUS_INVALID_PARAMETER);
    offset.QuadPart = 512;
    EXPECT_EQ(
        ZwReadFile(handle, nullptr, nullptr, nullptr, &io, buffer.data(), 100, &offset, nullptr),
        STATUS_INVALID_PARAMETER);
    EXPECT_EQ(
        ZwReadFile(handle, nullptr, nullptr, nullptr, &io, buffer.data(), 1024, &offset, nullptr),
        STATUS_SUCCESS);
    kernel_->faults().fileRead.FailNth(1, STATUS_IO_DEVICE_ERROR);
    EXPECT_EQ(
        ZwReadFile(handle, nullptr, nullptr, nullptr, &io, buffer.data(), 512, &offset, nullptr),
        STATUS_IO_DEVICE_ERROR);
    EXPECT_EQ(io.Information, 0u);
    kernel_->faults().fileWrite.FailFrom(1, STATUS_DISK_FULL);
    EXPECT_EQ(
        ZwWriteFile(handle, nullptr, nullptr, nullptr, &io, buffer.data(), 512, &offset, nullptr),
        STATUS_DISK_FULL);
    ZwClose(handle);
}

TEST_F(FileTest, QueryAndSetInformation) {
    HANDLE handle = nullptr;
    IO_STATUS_BLOCK io{};
    LARGE_INTEGER allocation;
    allocation.QuadPart = 65536;
    std::u16string name = u"\\??\\C:\\box.vd";
    UNICODE_STRING counted = Counted(name);
    OBJECT_ATTRIBUTES object;
    InitializeObjectAttributes(&object, &counted, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    ASSERT_EQ(ZwCreateFile(&handle, GENERIC_READ | GENERIC_WRITE, &object, &io, &allocation,
                           FILE_ATTRIBUTE_NORMAL, 0, FILE_OPEN_IF,
                           FILE_NON_DIRECTORY_FILE | FILE_RANDOM_ACCESS |
                               FILE_NO_INTERMEDIATE_BUFFERING | kSync,
                           nullptr, 0),
              STATUS_SUCCESS);
    EXPECT_EQ(io.Information, FILE_CREATED);

    FILE_END_OF_FILE_INFORMATION end;
    end.EndOfFile.QuadPart = 1 << 20;
    ASSERT_EQ(ZwSetInformationFile(handle, &io, &end, sizeof end, FileEndOfFileInformation),
              STATUS_SUCCESS);
    FILE_STANDARD_INFORMATION standard{};
    ASSERT_EQ(
        ZwQueryInformationFile(handle, &io, &standard, sizeof standard, FileStandardInformation),
        STATUS_SUCCESS);
    EXPECT_EQ(io.Information, sizeof standard);
    EXPECT_EQ(standard.EndOfFile.QuadPart, 1 << 20);
    EXPECT_FALSE(standard.Directory);
    EXPECT_EQ(standard.NumberOfLinks, 1u);
    EXPECT_EQ(std::filesystem::file_size(drive_ / "box.vd"), 1u << 20);

    FILE_BASIC_INFORMATION basic{};
    ASSERT_EQ(ZwQueryInformationFile(handle, &io, &basic, sizeof basic, FileBasicInformation),
              STATUS_SUCCESS);
    EXPECT_EQ(basic.FileAttributes, FILE_ATTRIBUTE_ARCHIVE);  // a new file is to be archived
    const LONGLONG written = basic.LastWriteTime.QuadPart - 10'000'000LL * 3600;
    FILE_BASIC_INFORMATION change{};
    change.LastWriteTime.QuadPart = written;
    change.FileAttributes = FILE_ATTRIBUTE_HIDDEN;
    ASSERT_EQ(ZwSetInformationFile(handle, &io, &change, sizeof change, FileBasicInformation),
              STATUS_SUCCESS);
    FILE_BASIC_INFORMATION after{};
    ZwQueryInformationFile(handle, &io, &after, sizeof after, FileBasicInformation);
    EXPECT_EQ(after.FileAttributes, FILE_ATTRIBUTE_HIDDEN);
    EXPECT_EQ(after.LastWriteTime.QuadPart, written);
    EXPECT_EQ(after.CreationTime.QuadPart, basic.CreationTime.QuadPart);  // 0: left alone

    change = {};
    change.FileAttributes = FILE_ATTRIBUTE_NORMAL;  // times 0: unchanged
    ASSERT_EQ(ZwSetInformationFile(handle, &io, &change, sizeof change, FileBasicInformation),
              STATUS_SUCCESS);
    ZwQueryInformationFile(handle, &io, &after, sizeof after, FileBasicInformation);
    EXPECT_EQ(after.FileAttributes, FILE_ATTRIBUTE_NORMAL);
    EXPECT_EQ(after.LastWriteTime.QuadPart, written);

    FILE_ALIGNMENT_INFORMATION alignment{0xFFFF};
    EXPECT_EQ(
        ZwQueryInformationFile(handle, &io, &alignment, sizeof alignment, FileAlignmentInformation),
        STATUS_SUCCESS);
    EXPECT_EQ(alignment.AlignmentRequirement, static_cast<ULONG>(FILE_BYTE_ALIGNMENT));
    EXPECT_EQ(ZwQueryInformationFile(handle, &io, &basic, sizeof basic - 1, FileBasicInformation),
              STATUS_INFO_LENGTH_MISMATCH);
    // Each class has its record size; a class a call does not know is refused before the size.
    const struct {
        bool query;
        FILE_INFORMATION_CLASS infoClass;
        ULONG size;
    } classes[] = {
        {true, FileBasicInformation, sizeof(FILE_BASIC_INFORMATION)},
        {true, FileStandardInformation, sizeof(FILE_STANDARD_INFORMATION)},
        {true, FilePositionInformation, sizeof(FILE_POSITION_INFORMATION)},
        {true, FileAlignmentInformation, sizeof(FILE_ALIGNMENT_INFORMATION)},
        {false, FileBasicInformation, sizeof(FILE_BASIC_INFORMATION)},
        {false, FileEndOfFileInformation, sizeof(FILE_END_OF_FILE_INFORMATION)},
        {false, FilePositionInformation, sizeof(FILE_POSITION_INFORMATION)},
        {false, FileDispositionInformation, sizeof(FILE_DISPOSITION_INFORMATION)},
    };
    for (const auto& c : classes) {
        alignas(8) unsigned char record[64] = {};
        const NTSTATUS shortStatus =
            c.query ? ZwQueryInformationFile(handle, &io, record, c.size - 1, c.infoClass)
                    : ZwSetInformationFile(handle, &io, record, c.size - 1, c.infoClass);
        EXPECT_EQ(shortStatus, STATUS_INFO_LENGTH_MISMATCH) << c.query << " " << c.infoClass;
        if (c.query) {
            io.Information = 0;
            EXPECT_EQ(ZwQueryInformationFile(handle, &io, record, sizeof record, c.infoClass),
                      STATUS_SUCCESS)
                << c.infoClass;
            EXPECT_EQ(io.Information, c.size) << c.infoClass;
        }
    }
    alignas(8) unsigned char record[64] = {};
    EXPECT_EQ(ZwQueryInformationFile(handle, &io, record, 0, FileEndOfFileInformation),
              STATUS_INVALID_INFO_CLASS);
    EXPECT_EQ(ZwSetInformationFile(handle, &io, record, 0, FileAlignmentInformation),
              STATUS_INVALID_INFO_CLASS);
    ZwClose(handle);

    // Read-only files refuse writers; attribute-only opens still see them.
    ASSERT_EQ(Open(name, FILE_WRITE_ATTRIBUTES | FILE_READ_ATTRIBUTES | SYNCHRONIZE, 0, handle),
              STATUS_SUCCESS);
    change = {};
    change.FileAttributes = FILE_ATTRIBUTE_READONLY;
    ZwSetInformationFile(handle, &io, &change, sizeof change, FileBasicInformation);
    ZwClose(handle);
    EXPECT_EQ(Open(name, GENERIC_WRITE, 0, handle), STATUS_ACCESS_DENIED);
    ASSERT_EQ(Open(name, GENERIC_READ, 0, handle), STATUS_SUCCESS);
    ZwQueryInformationFile(handle, &io, &after, sizeof after, FileBasicInformation);
    EXPECT_EQ(after.FileAttributes, FILE_ATTRIBUTE_READONLY);
    EXPECT_EQ(ZwSetInformationFile(handle, &io, &end, sizeof end, FileEndOfFileInformation),
              STATUS_ACCESS_DENIED);
    ZwClose(handle);
}

TEST_F(FileTest, OpensRelativeToAFolderHandle) {
    WriteHostFile("Folder/Sub/Data.TXT", "relative");
    HANDLE folder = nullptr, file = nullptr;
    IO_STATUS_BLOCK io{};
    ASSERT_EQ(Create(u"\\??\\C:\\folder", FILE_LIST_DIRECTORY | SYNCHRONIZE,
                     FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN, FILE_DIRECTORY_FILE | kSync,
                     folder, io),
              STATUS_SUCCESS);
    std::u16string relative = u"SUB\\data.txt";
    UNICODE_STRING name = Counted(relative);
    OBJECT_ATTRIBUTES object;
    InitializeObjectAttributes(&object, &name, OBJ_CASE_INSENSITIVE, folder, nullptr);
    ASSERT_EQ(ZwOpenFile(&file, GENERIC_READ, &object, &io, 0, kSync), STATUS_SUCCESS);
    char buffer[16] = {};
    EXPECT_EQ(
        ZwReadFile(file, nullptr, nullptr, nullptr, &io, buffer, sizeof buffer, nullptr, nullptr),
        STATUS_SUCCESS);
    EXPECT_EQ(std::string(buffer, io.Information), "relative");
    ZwClose(file);
    ZwClose(folder);
}

TEST_F(FileTest, DeleteOnCloseAndDispositionRemoveTheFileAtItsLastClose) {
    HANDLE handle = nullptr;
    IO_STATUS_BLOCK io{};
    ASSERT_EQ(Create(u"\\??\\C:\\temp.bin", GENERIC_WRITE | DELETE, 0, FILE_CREATE,
                     FILE_DELETE_ON_CLOSE | kSync, handle, io),
              STATUS_SUCCESS);
    EXPECT_TRUE(std::filesystem::exists(drive_ / "temp.bin"));
    ZwClose(handle);
    EXPECT_FALSE(std::filesystem::exists(drive_ / "temp.bin"));
    EXPECT_EQ(Create(u"\\??\\C:\\temp.bin", GENERIC_WRITE, 0, FILE_CREATE,
                     FILE_DELETE_ON_CLOSE | kSync, handle, io),
              STATUS_INVALID_PARAMETER);  // delete-on-close needs DELETE access

    WriteHostFile("keep.bin", "x");
    ASSERT_EQ(Open(u"\\??\\C:\\keep.bin", DELETE | SYNCHRONIZE, 0, handle), STATUS_SUCCESS);
    FILE_DISPOSITION_INFORMATION disposition{TRUE};
    EXPECT_EQ(ZwSetInformationFile(handle, &io, &disposition, sizeof disposition,
                                   FileDispositionInformation),
              STATUS_SUCCESS);
    ZwClose(handle);
    EXPECT_FALSE(std::filesystem::exists(drive_ / "keep.bin"));
}

TEST_F(FileTest, NetworkPathsGoThroughTheShareTable) {
    const auto share = root_ / "share";
    std::filesystem::create_directories(share / "Docs");
    std::ofstream(share / "Docs" / "note.txt") << "shared";
    ASSERT_EQ(kernel_->AddShare(u"Server", u"Public", share), STATUS_SUCCESS);
    HANDLE handle = nullptr;
    EXPECT_EQ(Open(u"\\??\\UNC\\SERVER\\public\\docs\\NOTE.TXT", GENERIC_READ, 0, handle),
              STATUS_SUCCESS);
    ZwClose(handle);
    EXPECT_EQ(Open(u"\\??\\UNC\\Server\\Private\\note.txt", GENERIC_READ, 0, handle),
              STATUS_BAD_NETWORK_NAME);
    EXPECT_EQ(Open(u"\\??\\UNC\\Elsewhere\\Public\\note.txt", GENERIC_READ, 0, handle),
              STATUS_BAD_NETWORK_PATH);
    std::filesystem::path host;
    EXPECT_EQ(kernel_->ResolveHostPath(u"\\??\\UNC\\server\\PUBLIC\\Docs\\new.txt", host),
              STATUS_SUCCESS);
    EXPECT_EQ(host, share / "Docs" / "new.txt");
}

}  // namespace
}  // namespace hl::kernel::testing
