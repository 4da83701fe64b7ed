// Zw registry services and RtlQueryRegistryValues on the registry store.
#include "kernel_fixture.h"

namespace hl::kernel::testing {
namespace {

class RegistryTest : public KernelTest {
protected:
    NTSTATUS CreateKey(const std::u16string& path, HANDLE& handle, ULONG* disposition = nullptr) {
        UNICODE_STRING name = Counted(path);
        OBJECT_ATTRIBUTES object;
        InitializeObjectAttributes(&object, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
        return ZwCreateKey(&handle, KEY_ALL_ACCESS, &object, 0, nullptr, REG_OPTION_NON_VOLATILE,
                           disposition);
    }

    void SetDword(const std::string& key, const std::string& name, std::uint32_t value) {
        std::vector<std::uint8_t> bytes(4);
        std::memcpy(bytes.data(), &value, 4);
        SetMachineValue(key, name, REG_DWORD, bytes);
    }
};

TEST_F(RegistryTest, QueryRegistryValuesReadsRequiredDwordsDirectly) {
    SetDword("System\\CurrentControlSet\\Services\\lockvol\\Parameters", "NumberOfDevices", 6);
    struct Case {
        const char16_t* path;
        const char16_t* value;
        NTSTATUS status;
        ULONG result;
    };
    const Case cases[] = {
        {u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\lockvol\\Parameters",
         u"NumberOfDevices", STATUS_SUCCESS, 6},
        {u"\\REGISTRY\\MACHINE\\system\\currentcontrolset\\SERVICES\\LOCKVOL\\parameters",
         u"numberofdevices", STATUS_SUCCESS, 6},
        {u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\lockvol\\Parameters",
         u"Missing", STATUS_OBJECT_NAME_NOT_FOUND, 99},
        {u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\other\\Parameters",
         u"NumberOfDevices", STATUS_OBJECT_NAME_NOT_FOUND, 99},
    };
    for (const Case& c : cases) {
        ULONG result = 99;
        RTL_QUERY_REGISTRY_TABLE table[2] = {};
        table[0].Flags = RTL_QUERY_REGISTRY_DIRECT | RTL_QUERY_REGISTRY_REQUIRED;
        table[0].Name = const_cast<PWSTR>(c.value);
        table[0].EntryContext = &result;
        EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, c.path, table, nullptr, nullptr),
                  c.status);
        EXPECT_EQ(result, c.result);
    }
    // Relative to the services key, with a default for an optional value.
    ULONG count = 0, fallback = 0, fallbackDefault = 4;
    RTL_QUERY_REGISTRY_TABLE table[3] = {};
    table[0].Flags = RTL_QUERY_REGISTRY_DIRECT;
    table[0].Name = const_cast<PWSTR>(u"NumberOfDevices");
    table[0].EntryContext = &count;
    table[1].Flags = RTL_QUERY_REGISTRY_DIRECT;
    table[1].Name = const_cast<PWSTR>(u"Absent");
    table[1].EntryContext = &fallback;
    table[1].DefaultType = REG_DWORD;
    table[1].DefaultData = &fallbackDefault;
    table[1].DefaultLength = sizeof fallbackDefault;
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, u"lockvol\\Parameters", table, nullptr,
                                     nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(count, 6u);
    EXPECT_EQ(fallback, 4u);
}

// A direct query that checks the type never writes a value of another type into the caller's
// variable, however the value is stored.
TEST_F(RegistryTest, TypeCheckedDirectQueryTakesOnlyTheExpectedType) {
    const std::string key = "Software\\Typed";
    struct Case {
        const char* what;
        ULONG type;
        std::vector<std::uint8_t> data;
        NTSTATUS status;
        ULONG result;
    };
    const Case cases[] = {
        {"dword", REG_DWORD, {6, 0, 0, 0}, STATUS_SUCCESS, 6},
        {"string", REG_SZ, Utf16Bytes(u"6"), STATUS_OBJECT_TYPE_MISMATCH, 99},
        {"binary", REG_BINARY, {6, 0, 0, 0}, STATUS_OBJECT_TYPE_MISMATCH, 99},
        {"long binary", REG_BINARY, std::vector<std::uint8_t>(64, 1), STATUS_OBJECT_TYPE_MISMATCH,
         99},
        {"empty none", REG_NONE, {}, STATUS_OBJECT_TYPE_MISMATCH, 99},
        {"qword", REG_QWORD, {6, 0, 0, 0, 0, 0, 0, 0}, STATUS_OBJECT_TYPE_MISMATCH, 99},
        // The type matches; as on Windows, a value of up to four bytes is copied as it stands.
        {"empty dword", REG_DWORD, {}, STATUS_SUCCESS, 99},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SetMachineValue(key, "Count", c.type, c.data);
        ULONG result = 99;
        RTL_QUERY_REGISTRY_TABLE table[2] = {};
        table[0].Flags =
            RTL_QUERY_REGISTRY_DIRECT | RTL_QUERY_REGISTRY_REQUIRED | RTL_QUERY_REGISTRY_TYPECHECK;
        table[0].Name = const_cast<PWSTR>(u"Count");
        table[0].EntryContext = &result;
        table[0].DefaultType = (REG_DWORD << RTL_QUERY_REGISTRY_TYPECHECK_SHIFT) | REG_NONE;
        EXPECT_EQ(
            RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, u"\\Registry\\Machine\\Software\\Typed",
                                   table, nullptr, nullptr),
            c.status);
        EXPECT_EQ(result, c.result);
    }

    // The default's own type is the low byte; a string is checked as a string.
    SetMachineValue(key, "Name", REG_SZ, Utf16Bytes(u"vault"));
    ULONG fallback = 0;
    const ULONG fallbackDefault = 4;
    WCHAR buffer[16] = {};
    UNICODE_STRING text{0, sizeof(buffer), buffer};
    RTL_QUERY_REGISTRY_TABLE table[3] = {};
    table[0].Flags = RTL_QUERY_REGISTRY_DIRECT | RTL_QUERY_REGISTRY_TYPECHECK;
    table[0].Name = const_cast<PWSTR>(u"Absent");
    table[0].EntryContext = &fallback;
    table[0].DefaultType = (REG_DWORD << RTL_QUERY_REGISTRY_TYPECHECK_SHIFT) | REG_DWORD;
    table[0].DefaultData = const_cast<ULONG*>(&fallbackDefault);
    table[0].DefaultLength = sizeof(fallbackDefault);
    table[1].Flags = RTL_QUERY_REGISTRY_DIRECT | RTL_QUERY_REGISTRY_TYPECHECK;
    table[1].Name = const_cast<PWSTR>(u"Name");
    table[1].EntryContext = &text;
    table[1].DefaultType = (REG_SZ << RTL_QUERY_REGISTRY_TYPECHECK_SHIFT) | REG_NONE;
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, u"\\Registry\\Machine\\Software\\Typed",
                                     table, nullptr, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(fallback, 4u);
    EXPECT_EQ(std::u16string(text.Buffer, text.Length / sizeof(WCHAR)), u"vault");
}

NTSTATUS CollectStrings(PWSTR name, ULONG type, PVOID data, ULONG length, PVOID context, PVOID) {
    auto* seen = static_cast<std::vector<std::u16string>*>(context);
    EXPECT_EQ(type, static_cast<ULONG>(REG_SZ));
    seen->push_back(std::u16string(name) + u"=" +
                    std::u16string(static_cast<PCWSTR>(data), length / sizeof(WCHAR) - 1));
    return STATUS_SUCCESS;
}

TEST_F(RegistryTest, QueryRoutineSeesEachStringOfAList) {
    std::vector<std::uint8_t> list = Utf16Bytes(u"one");
    list.pop_back();
    list.pop_back();
    for (auto b : Utf16Bytes(std::u16string(u"\0two", 4))) {
        list.push_back(b);
    }
    list.push_back(0);
    list.push_back(0);
    SetMachineValue("Software\\Test", "List", REG_MULTI_SZ, list);
    std::vector<std::u16string> seen;
    RTL_QUERY_REGISTRY_TABLE table[2] = {};
    table[0].QueryRoutine = CollectStrings;
    table[0].Name = const_cast<PWSTR>(u"List");
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, u"\\Registry\\Machine\\Software\\Test",
                                     table, &seen, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(seen, (std::vector<std::u16string>{u"List=one", u"List=two"}));
}

TEST_F(RegistryTest, KeysAndValuesThroughHandles) {
    HANDLE key = nullptr;
    ULONG disposition = 0;
    const std::u16string path = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\x";
    ASSERT_EQ(CreateKey(path, key, &disposition), STATUS_SUCCESS);
    EXPECT_EQ(disposition, static_cast<ULONG>(REG_CREATED_NEW_KEY));
    HANDLE again = nullptr;
    ASSERT_EQ(CreateKey(path, again, &disposition), STATUS_SUCCESS);
    EXPECT_EQ(disposition, static_cast<ULONG>(REG_OPENED_EXISTING_KEY));
    ZwClose(again);

    std::u16string valueName = u"ImagePath";
    UNICODE_STRING name = Counted(valueName);
    const WCHAR image[] = u"system32\\DRIVERS\\x.sys";
    ASSERT_EQ(ZwSetValueKey(key, &name, 0, REG_EXPAND_SZ, const_cast<WCHAR*>(image), sizeof image),
              STATUS_SUCCESS);
    std::uint32_t type = 0;
    std::vector<std::uint8_t> stored;
    ASSERT_EQ(store_->QueryValue(
                  {}, {registry::Root::LocalMachine, "System\\CurrentControlSet\\Services\\x"},
                  "imagepath", type, stored),
              registry::Result::Ok);
    EXPECT_EQ(type, static_cast<std::uint32_t>(REG_EXPAND_SZ));
    EXPECT_EQ(stored, Utf16Bytes(image));  // UTF-16LE bytes exactly as given

    ULONG needed = 0;
    std::vector<std::uint8_t> buffer(256);
    EXPECT_EQ(ZwQueryValueKey(key, &name, KeyValuePartialInformation, buffer.data(), 8, &needed),
              STATUS_BUFFER_TOO_SMALL);
    const ULONG fixed = offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data);
    EXPECT_EQ(needed, fixed + sizeof image);
    EXPECT_EQ(
        ZwQueryValueKey(key, &name, KeyValuePartialInformation, buffer.data(), fixed + 2, &needed),
        STATUS_BUFFER_OVERFLOW);
    auto* partial = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer.data());
    EXPECT_EQ(partial->DataLength, sizeof image);
    ASSERT_EQ(ZwQueryValueKey(key, &name, KeyValuePartialInformation, buffer.data(),
                              static_cast<ULONG>(buffer.size()), &needed),
              STATUS_SUCCESS);
    EXPECT_EQ(partial->Type, static_cast<ULONG>(REG_EXPAND_SZ));
    EXPECT_EQ(std::memcmp(partial->Data, image, sizeof image), 0);

    std::u16string secondName = u"Start";
    UNICODE_STRING second = Counted(secondName);
    ULONG start = 1;
    ASSERT_EQ(ZwSetValueKey(key, &second, 0, REG_DWORD, &start, sizeof start), STATUS_SUCCESS);
    std::vector<std::u16string> names;
    for (ULONG index = 0;; ++index) {
        NTSTATUS status = ZwEnumerateValueKey(key, index, KeyValueFullInformation, buffer.data(),
                                              static_cast<ULONG>(buffer.size()), &needed);
        if (status == STATUS_NO_MORE_ENTRIES) {
            break;
        }
        ASSERT_EQ(status, STATUS_SUCCESS);
        auto* full = reinterpret_cast<PKEY_VALUE_FULL_INFORMATION>(buffer.data());
        names.emplace_back(full->Name, full->NameLength / sizeof(WCHAR));
        if (names.back() == u"Start") {
            ULONG data = 0;
            std::memcpy(&data, buffer.data() + full->DataOffset, sizeof data);
            EXPECT_EQ(data, 1u);
            EXPECT_EQ(full->DataOffset % 4, 0u);
        }
    }
    EXPECT_EQ(names, (std::vector<std::u16string>{u"ImagePath", u"Start"}));
    ASSERT_EQ(ZwEnumerateValueKey(key, 1, KeyValueBasicInformation, buffer.data(),
                                  static_cast<ULONG>(buffer.size()), &needed),
              STATUS_SUCCESS);
    auto* basic = reinterpret_cast<PKEY_VALUE_BASIC_INFORMATION>(buffer.data());
    EXPECT_EQ(std::u16string(basic->Name, basic->NameLength / sizeof(WCHAR)), u"Start");
    EXPECT_EQ(basic->Type, static_cast<ULONG>(REG_DWORD));

    EXPECT_EQ(ZwDeleteValueKey(key, &second), STATUS_SUCCESS);
    EXPECT_EQ(ZwQueryValueKey(key, &second, KeyValuePartialInformation, buffer.data(),
                              static_cast<ULONG>(buffer.size()), &needed),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(ZwDeleteValueKey(key, &second), STATUS_OBJECT_NAME_NOT_FOUND);
    ZwClose(key);

    const std::u16string missingPath = path + u"\\Missing";
    UNICODE_STRING missingName = Counted(missingPath);
    OBJECT_ATTRIBUTES missing;
    InitializeObjectAttributes(&missing, &missingName, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    EXPECT_EQ(ZwOpenKey(&key, KEY_READ, &missing), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(RegistryTest, SubkeysEnumerateAndDeleteWhenEmpty) {
    HANDLE parent = nullptr, child = nullptr;
    ASSERT_EQ(CreateKey(u"\\Registry\\Machine\\Software\\Parent", parent), STATUS_SUCCESS);
    std::u16string childName = u"Child";
    UNICODE_STRING counted = Counted(childName);
    OBJECT_ATTRIBUTES relative;
    InitializeObjectAttributes(&relative, &counted, OBJ_CASE_INSENSITIVE, parent, nullptr);
    ASSERT_EQ(ZwCreateKey(&child, KEY_ALL_ACCESS, &relative, 0, nullptr, 0, nullptr),
              STATUS_SUCCESS);
    std::vector<std::uint8_t> buffer(128);
    ULONG needed = 0;
    ASSERT_EQ(ZwEnumerateKey(parent, 0, KeyBasicInformation, buffer.data(),
                             static_cast<ULONG>(buffer.size()), &needed),
              STATUS_SUCCESS);
    auto* basic = reinterpret_cast<PKEY_BASIC_INFORMATION>(buffer.data());
    EXPECT_EQ(std::u16string(basic->Name, basic->NameLength / sizeof(WCHAR)), u"Child");
    EXPECT_EQ(ZwEnumerateKey(parent, 1, KeyBasicInformation, buffer.data(),
                             static_cast<ULONG>(buffer.size()), &needed),
              STATUS_NO_MORE_ENTRIES);
    KEY_FULL_INFORMATION full{};
    ASSERT_EQ(ZwQueryKey(parent, KeyFullInformation, &full, sizeof full, &needed), STATUS_SUCCESS);
    EXPECT_EQ(full.SubKeys, 1u);
    EXPECT_EQ(full.MaxNameLen, 5 * sizeof(WCHAR));
    EXPECT_EQ(ZwDeleteKey(parent), STATUS_CANNOT_DELETE);
    EXPECT_EQ(ZwDeleteKey(child), STATUS_SUCCESS);
    EXPECT_EQ(ZwDeleteKey(parent), STATUS_SUCCESS);
    ZwClose(child);
    ZwClose(parent);
    EXPECT_EQ(store_->OpenKey({}, {registry::Root::LocalMachine, "Software\\Parent"}),
              registry::Result::NotFound);
}

TEST_F(RegistryTest, ReadOnlyHandlesCannotWrite) {
    HANDLE key = nullptr;
    ASSERT_EQ(CreateKey(u"\\Registry\\Machine\\Software\\ReadOnly", key), STATUS_SUCCESS);
    ZwClose(key);
    std::u16string path = u"\\Registry\\Machine\\Software\\ReadOnly";
    UNICODE_STRING name = Counted(path);
    OBJECT_ATTRIBUTES object;
    InitializeObjectAttributes(&object, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    ASSERT_EQ(ZwOpenKey(&key, KEY_READ, &object), STATUS_SUCCESS);
    ULONG value = 1;
    std::u16string valueName = u"V";
    UNICODE_STRING counted = Counted(valueName);
    EXPECT_EQ(ZwSetValueKey(key, &counted, 0, REG_DWORD, &value, sizeof value),
              STATUS_ACCESS_DENIED);
    ZwClose(key);
}

}  // namespace
}  // namespace hl::kernel::testing
