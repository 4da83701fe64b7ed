// The object namespace: directories, permanence, symbolic links, names without regard to case.
#include <algorithm>

#include "kernel_fixture.h"

namespace hl::kernel::testing {
namespace {

using NamespaceTest = KernelTest;

NTSTATUS CreateDirectory(const std::u16string& path, ULONG attributes, HANDLE& handle) {
    UNICODE_STRING name = Counted(path);
    OBJECT_ATTRIBUTES object;
    InitializeObjectAttributes(&object, &name, attributes, nullptr, nullptr);
    return ZwCreateDirectoryObject(&handle, DIRECTORY_ALL_ACCESS, &object);
}

TEST_F(NamespaceTest, ExistingNameCollidesWhateverItsCase) {
    HANDLE first = nullptr, second = nullptr;
    ASSERT_EQ(CreateDirectory(u"\\Device\\Harddisk", OBJ_PERMANENT, first), STATUS_SUCCESS);
    EXPECT_EQ(CreateDirectory(u"\\Device\\Harddisk", OBJ_PERMANENT, second),
              STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(CreateDirectory(u"\\DEVICE\\hardDISK", 0, second), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(CreateDirectory(u"\\Device\\Harddisk", OBJ_OPENIF, second),
              STATUS_OBJECT_NAME_EXISTS);
    EXPECT_EQ(ZwClose(second), STATUS_SUCCESS);
    EXPECT_EQ(CreateDirectory(u"\\NoSuchFolder\\Inner", 0, second), STATUS_OBJECT_PATH_NOT_FOUND);
    EXPECT_EQ(CreateDirectory(u"Device\\Relative", 0, second), STATUS_OBJECT_PATH_SYNTAX_BAD);
    EXPECT_EQ(ZwMakeTemporaryObject(first), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(first), STATUS_SUCCESS);
}

TEST_F(NamespaceTest, TemporaryDirectoryVanishesAtItsLastClose) {
    struct Case {
        ULONG attributes;
        bool makeTemporary;
        bool remains;
    };
    const Case cases[] = {
        {OBJ_PERMANENT, false, true},
        {OBJ_PERMANENT, true, false},
        {0, false, false},
    };
    for (const Case& c : cases) {
        const std::u16string name = u"\\Device\\Scratch";
        HANDLE handle = nullptr, again = nullptr;
        ASSERT_EQ(CreateDirectory(name, c.attributes, handle), STATUS_SUCCESS);
        UNICODE_STRING counted = Counted(name);
        OBJECT_ATTRIBUTES object;
        InitializeObjectAttributes(&object, &counted, 0, nullptr, nullptr);
        ASSERT_EQ(ZwOpenDirectoryObject(&again, DIRECTORY_QUERY, &object), STATUS_SUCCESS);
        if (c.makeTemporary) {
            EXPECT_EQ(ZwMakeTemporaryObject(handle), STATUS_SUCCESS);
        }
        EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
        EXPECT_TRUE(kernel_->ObjectExists(name)) << "a second handle keeps it";
        EXPECT_EQ(ZwClose(again), STATUS_SUCCESS);
        EXPECT_EQ(kernel_->ObjectExists(name), c.remains);
        if (c.remains) {  // tidy up for the next case
            ASSERT_EQ(ZwOpenDirectoryObject(&again, DIRECTORY_QUERY, &object), STATUS_SUCCESS);
            ZwMakeTemporaryObject(again);
            ZwClose(again);
            ASSERT_FALSE(kernel_->ObjectExists(name));
        }
    }
}

TEST_F(NamespaceTest, SymbolicLinksResolveAndGoAway) {
    HANDLE directory = nullptr;
    ASSERT_EQ(CreateDirectory(u"\\Device\\Target", OBJ_PERMANENT, directory), STATUS_SUCCESS);
    std::u16string linkName = u"\\??\\Q:";
    std::u16string targetName = u"\\Device\\Target";
    UNICODE_STRING link = Counted(linkName), target = Counted(targetName);
    ASSERT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_SUCCESS);
    EXPECT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(kernel_->SymbolicLinkTarget(u"\\??\\q:"), targetName);

    HANDLE inner = nullptr;
    ASSERT_EQ(CreateDirectory(u"\\??\\q:\\Inner", 0, inner), STATUS_SUCCESS);
    EXPECT_TRUE(kernel_->ObjectExists(u"\\Device\\TARGET\\inner"));
    EXPECT_TRUE(kernel_->ObjectExists(u"\\GLOBAL??\\Q:\\Inner"));
    ZwClose(inner);

    auto names = kernel_->DirectoryEntries(u"\\DosDevices");
    EXPECT_NE(std::find(names.begin(), names.end(), u"Q:"), names.end());
    EXPECT_NE(std::find(names.begin(), names.end(), u"C:"), names.end());
    EXPECT_TRUE(kernel_->DirectoryEntries(u"\\??\\Q:\\Inner").empty());  // closed: gone

    std::u16string upper = u"\\??\\Q:";
    UNICODE_STRING again = Counted(upper);
    EXPECT_EQ(IoDeleteSymbolicLink(&again), STATUS_SUCCESS);
    EXPECT_FALSE(kernel_->ObjectExists(u"\\??\\Q:"));
    EXPECT_EQ(IoDeleteSymbolicLink(&again), STATUS_OBJECT_NAME_NOT_FOUND);
    ZwMakeTemporaryObject(directory);
    ZwClose(directory);
    EXPECT_EQ(kernel_->OpenHandles(), 0u);
}

}  // namespace
}  // namespace hl::kernel::testing
