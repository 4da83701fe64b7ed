// The reg program run on a scratch system root: its output, its edits, export and import.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <span>

#include "registry/store.h"
#include "test_support/programs.h"

namespace {

namespace fs = std::filesystem;
using registry::KeyPath;
using registry::Root;
using namespace registry;  // the value types
using tools::testing::Outcome;

const registry::Caller kRoot{0, "root"};
const char* const kNotFound =
    "ERROR: The system was unable to find the specified registry key or value.\n";
const char* const kDone = "The operation completed successfully.\n";

std::vector<uint8_t> Wide(std::u16string_view text) {
    std::vector<uint8_t> bytes;
    for (char16_t unit : text) {
        bytes.push_back(static_cast<uint8_t>(unit & 0xFF));
        bytes.push_back(static_cast<uint8_t>(unit >> 8));
    }
    return bytes;
}

// A key's whole tree: "path|value" -> type and data, and "path\" for each key.
using Snapshot = std::map<std::string, std::pair<uint32_t, std::vector<uint8_t>>>;

void Take(registry::Store& store, const KeyPath& key, const std::string& relative,
          Snapshot& snapshot) {
    snapshot[relative + "\\"] = {};
    registry::Value value;
    for (uint32_t i = 0; store.EnumValue(kRoot, key, i, value) == registry::Result::Ok; ++i) {
        snapshot[relative + "|" + value.name] = {value.type, value.data};
    }
    std::string name;
    for (uint32_t i = 0; store.EnumKey(kRoot, key, i, name) == registry::Result::Ok; ++i) {
        Take(store, {key.root, key.path + "\\" + name}, relative + "\\" + name, snapshot);
    }
}

class RegTool : public ::testing::Test {
protected:
    void SetUp() override {
        if (::geteuid() != 0) {
            GTEST_SKIP() << "the machine hive is written by root only";
        }
        fs::create_directories(root() / "drive_c");
        fs::create_directories(root() / "dosdevices");
        fs::create_directory_symlink("../drive_c", root() / "dosdevices" / "c:");
        ASSERT_EQ(registry::Store::Open(root() / "registry", store_), registry::Result::Ok);
    }

    const fs::path& root() const { return folder_.path(); }
    registry::Store& store() { return *store_; }

    Outcome Run(const std::vector<std::string>& arguments, const std::string& input = {}) {
        return tools::testing::Run(REG_PROGRAM, arguments, root(), root() / "drive_c", input);
    }

    void Put(const KeyPath& key, const std::string& name, uint32_t type,
             const std::vector<uint8_t>& data) {
        ASSERT_EQ(store().CreateKey(kRoot, key), registry::Result::Ok);
        ASSERT_EQ(store().SetValue(kRoot, key, name, type, data), registry::Result::Ok);
    }

    bool Has(const KeyPath& key, const std::string& name, uint32_t& type,
             std::vector<uint8_t>& data) {
        return store().QueryValue(kRoot, key, name, type, data) == registry::Result::Ok;
    }

    Snapshot Tree(const KeyPath& key) {
        Snapshot snapshot;
        Take(store(), key, "", snapshot);
        return snapshot;
    }

private:
    tools::testing::ScratchFolder folder_;
    std::unique_ptr<registry::Store> store_;
};

TEST_F(RegTool, QueryPrintsKeysAndValuesAsTheXpTool) {
    const KeyPath test{Root::LocalMachine, "Software\\Test"};
    Put(test, "", kRegSz, Wide(std::u16string(u"default\0", 8)));
    Put(test, "Name", kRegSz, Wide(std::u16string(u"Value\0", 6)));
    Put(test, "Count", kRegDword, {0x2A, 0, 0, 0});
    Put(test, "List", kRegMultiSz, Wide(std::u16string(u"a\0b\0\0", 5)));
    Put(test, "Bin", kRegBinary, {0x00, 0xFF});
    Put({Root::LocalMachine, "Software\\Test\\Sub"}, "Inner", kRegExpandSz,
        Wide(std::u16string(u"%windir%\0", 9)));

    // Values in the order they were set, as the registry enumerates them.
    const std::string header = "\n! REG.EXE VERSION 3.0\n\n";
    const std::string block =
        "HKEY_LOCAL_MACHINE\\Software\\Test\n"
        "    <NO NAME>\tREG_SZ\tdefault\n"
        "    Name\tREG_SZ\tValue\n"
        "    Count\tREG_DWORD\t0x2a\n"
        "    List\tREG_MULTI_SZ\ta\\0b\\0\\0\n"
        "    Bin\tREG_BINARY\t00FF\n"
        "\n";
    for (const char* name : {"HKLM\\Software\\Test", "hkey_local_machine\\SOFTWARE\\Test\\"}) {
        SCOPED_TRACE(name);
        const Outcome plain = Run({"query", name});
        EXPECT_EQ(plain.exitCode, 0) << plain.err;
        const std::string shown = name[0] == 'H' ? "HKEY_LOCAL_MACHINE\\Software\\Test"
                                                 : "HKEY_LOCAL_MACHINE\\SOFTWARE\\Test";
        std::string expected = block;
        expected.replace(0, std::string("HKEY_LOCAL_MACHINE\\Software\\Test").size(), shown);
        EXPECT_EQ(plain.out, header + expected + shown + "\\Sub\n");
    }

    const Outcome recursive = Run({"QUERY", "HKLM\\Software\\Test", "/s"});
    EXPECT_EQ(recursive.exitCode, 0);
    EXPECT_EQ(recursive.out, header + block +
                                 "HKEY_LOCAL_MACHINE\\Software\\Test\\Sub\n"
                                 "    Inner\tREG_EXPAND_SZ\t%windir%\n\n");

    const Outcome one = Run({"query", "HKLM\\Software\\Test", "/v", "count"});
    EXPECT_EQ(one.exitCode, 0);
    EXPECT_EQ(one.out,
              header + "HKEY_LOCAL_MACHINE\\Software\\Test\n    Count\tREG_DWORD\t0x2a\n\n");
    const Outcome unnamed = Run({"query", "HKLM\\Software\\Test", "-ve"});
    EXPECT_EQ(unnamed.out,
              header + "HKEY_LOCAL_MACHINE\\Software\\Test\n    <NO NAME>\tREG_SZ\tdefault\n\n");
}

TEST_F(RegTool, FailuresGiveTheToolsMessagesAndExitCodeOne) {
    struct Case {
        std::vector<std::string> arguments;
        std::string err;
    };
    const Case cases[] = {
        {{"query", "HKLM\\Software\\Missing"}, kNotFound},
        {{"query", "HKLM\\Software", "/v", "Missing"}, kNotFound},
        {{"delete", "HKCU\\Software\\Missing", "/f"}, kNotFound},
        {{"query", "HKXX\\Software"},
         "ERROR: Invalid key name.\nType \"REG QUERY /?\" for usage.\n"},
        {{"query", "\\\\server\\HKLM\\Software"},
         "ERROR: Invalid key name.\nType \"REG QUERY /?\" for usage.\n"},
        {{"add", "HKCU\\Software\\X", "/v", "n", "/t", "REG_DWORD", "/d", "12z"},
         "ERROR: Invalid syntax.\nType \"REG ADD /?\" for usage.\n"},
        {{"add", "HKCU\\Software\\X", "/t", "REG_TEXT"},
         "ERROR: Invalid syntax.\nType \"REG ADD /?\" for usage.\n"},
        {{"query", "HKLM\\Software", "/v"},
         "ERROR: Invalid syntax.\nType \"REG QUERY /?\" for usage.\n"},
        {{"frobnicate"}, "ERROR: Invalid syntax.\nType \"REG /?\" for usage.\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.arguments[0] + " " + (c.arguments.size() > 1 ? c.arguments[1] : ""));
        const Outcome outcome = Run(c.arguments);
        EXPECT_EQ(outcome.exitCode, 1);
        EXPECT_EQ(outcome.err, c.err);
    }
    KeyPath untouched{Root::CurrentUser, "Software\\X"};
    EXPECT_EQ(store().OpenKey(kRoot, untouched), registry::Result::NotFound);
}

TEST_F(RegTool, AddAndDeleteValuesAndKeys) {
    const KeyPath mine{Root::CurrentUser, "Software\\Mine"};
    uint32_t type = 0;
    std::vector<uint8_t> data;

    struct Case {
        std::vector<std::string> options;
        const char* name;
        uint32_t type;
        std::vector<uint8_t> stored;
    };
    const Case cases[] = {
        {{"/v", "Text", "/d", "caf\xE9"}, "Text", kRegSz, Wide(std::u16string(u"caf\u00E9\0", 5))},
        {{"/v", "Path", "/t", "REG_EXPAND_SZ", "/d", "%windir%"},
         "Path",
         kRegExpandSz,
         Wide(std::u16string(u"%windir%\0", 9))},
        {{"/v", "Hex", "/t", "REG_DWORD", "/d", "0x10"}, "Hex", kRegDword, {0x10, 0, 0, 0}},
        {{"/v", "Dec", "/t", "reg_dword", "/d", "4294967295"},
         "Dec",
         kRegDword,
         {0xFF, 0xFF, 0xFF, 0xFF}},
        {{"/v", "List", "/t", "REG_MULTI_SZ", "/d", "a\\0bc"},
         "List",
         kRegMultiSz,
         Wide(std::u16string(u"a\0bc\0\0", 6))},
        {{"/v", "Split", "/t", "REG_MULTI_SZ", "/s", "#", "/d", "x#y"},
         "Split",
         kRegMultiSz,
         Wide(std::u16string(u"x\0y\0\0", 5))},
        {{"/v", "Blob", "/t", "REG_BINARY", "/d", "0aFF"}, "Blob", kRegBinary, {0x0A, 0xFF}},
        {{"/ve", "/d", "unnamed"}, "", kRegSz, Wide(std::u16string(u"unnamed\0", 8))},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> arguments{"add", "HKCU\\Software\\Mine"};
        arguments.insert(arguments.end(), c.options.begin(), c.options.end());
        const Outcome outcome = Run(arguments);
        EXPECT_EQ(outcome.exitCode, 0) << outcome.err;
        EXPECT_EQ(outcome.out, kDone);
        ASSERT_TRUE(Has(mine, c.name, type, data));
        EXPECT_EQ(type, c.type);
        EXPECT_EQ(data, c.stored);
    }

    // An existing value is replaced only when the user agrees, or with /f.
    Outcome refused = Run({"add", "HKCU\\Software\\Mine", "/v", "Text", "/d", "new"}, "n\n");
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_NE(refused.out.find("Value Text exists, overwrite(Y/N)? "), std::string::npos);
    ASSERT_TRUE(Has(mine, "Text", type, data));
    EXPECT_EQ(data, Wide(std::u16string(u"caf\u00E9\0", 5)));
    EXPECT_EQ(Run({"add", "HKCU\\Software\\Mine", "/v", "Text", "/d", "new"}, "y\n").exitCode, 0);
    ASSERT_TRUE(Has(mine, "Text", type, data));
    EXPECT_EQ(data, Wide(std::u16string(u"new\0", 4)));

    EXPECT_EQ(Run({"delete", "HKCU\\Software\\Mine", "/v", "Text", "/f"}).out, kDone);
    EXPECT_FALSE(Has(mine, "Text", type, data));
    EXPECT_EQ(Run({"delete", "HKCU\\Software\\Mine", "/v", "Text", "/f"}).err, kNotFound);
    EXPECT_EQ(Run({"delete", "HKCU\\Software\\Mine", "/ve", "/f"}).exitCode, 0);
    EXPECT_FALSE(Has(mine, "", type, data));
    EXPECT_EQ(Run({"delete", "HKCU\\Software\\Mine", "/va", "/f"}).exitCode, 0);
    registry::KeyInfo info;
    ASSERT_EQ(store().QueryInfo(kRoot, mine, info), registry::Result::Ok);
    EXPECT_EQ(info.values, 0u);

    // A key goes with its subtree, after the question.
    EXPECT_EQ(Run({"add", "HKCU\\Software\\Mine\\Deep\\Deeper"}).exitCode, 0);
    const Outcome kept = Run({"delete", "HKCU\\Software\\Mine"}, "no\n");
    EXPECT_EQ(kept.exitCode, 1);
    EXPECT_NE(kept.out.find("Permanently delete the registry key HKEY_CURRENT_USER\\Software\\Mine"
                            " (Y/N)? "),
              std::string::npos);
    EXPECT_EQ(store().OpenKey(kRoot, mine), registry::Result::Ok);
    EXPECT_EQ(Run({"delete", "HKCU\\Software\\Mine"}, "y\n").exitCode, 0);
    EXPECT_EQ(store().OpenKey(kRoot, mine), registry::Result::NotFound);
}

TEST_F(RegTool, ExportThenImportReproducesTheKey) {
    const KeyPath source{Root::LocalMachine, "Software\\Source"};
    std::vector<uint8_t> longBinary(100);
    for (std::size_t i = 0; i < longBinary.size(); ++i) {
        longBinary[i] = static_cast<uint8_t>(i * 7);
    }
    Put(source, "", kRegSz, Wide(std::u16string(u"unnamed\0", 8)));
    Put(source, "Quoted", kRegSz, Wide(std::u16string(u"say \"C:\\x\" \u00E9\u20AC\0", 14)));
    Put(source, "Unterminated", kRegSz, Wide(u"abc"));
    Put(source, "Lines", kRegSz, Wide(std::u16string(u"one\r\ntwo\0", 9)));
    Put(source, "Expand", kRegExpandSz, Wide(std::u16string(u"%SystemRoot%\\x\0", 15)));
    Put(source, "Multi", kRegMultiSz, Wide(std::u16string(u"a\0\u00FCb\0\0", 6)));
    Put(source, "Count", kRegDword, {0x2A, 0, 0, 0});
    Put(source, "Short", kRegDword, {1, 2});
    Put(source, "Long", kRegBinary, longBinary);
    Put(source, "Big", kRegQword, {1, 2, 3, 4, 5, 6, 7, 8});
    Put(source, "Nothing", kRegNone, {});
    Put({Root::LocalMachine, "Software\\Source\\Child\\Grandchild"}, "Leaf", kRegSz,
        Wide(std::u16string(u"x\0", 2)));
    Put({Root::LocalMachine, "Software\\Source\\Empty"}, "", kRegBinary, {});
    const Snapshot original = Tree(source);

    const Outcome exported = Run({"export", "HKLM\\Software\\Source", "out.reg"});
    ASSERT_EQ(exported.exitCode, 0) << exported.err;
    EXPECT_EQ(exported.out, kDone);
    const std::string text = tools::testing::ReadFile(root() / "drive_c" / "out.reg");
    EXPECT_EQ(text.rfind("Windows Registry Editor Version 5.00\r\n\r\n"
                         "[HKEY_LOCAL_MACHINE\\Software\\Source]\r\n"
                         "@=\"unnamed\"\r\n",
                         0),
              0u);
    EXPECT_NE(text.find("\"Count\"=dword:0000002a\r\n"), std::string::npos);
    EXPECT_NE(text.find("\"Quoted\"=\"say \\\"C:\\\\x\\\" \xE9\x80\"\r\n"), std::string::npos);
    EXPECT_NE(text.find("\"Expand\"=hex(2):25,00,53,00,79,00"), std::string::npos);
    EXPECT_NE(text.find("\"Big\"=hex(b):01,02,03,04,05,06,07,08\r\n"), std::string::npos);
    EXPECT_NE(text.find("\"Nothing\"=hex(0):\r\n"), std::string::npos);
    EXPECT_NE(text.find(",\\\r\n  "), std::string::npos);  // the long value is wrapped
    EXPECT_NE(text.find("[HKEY_LOCAL_MACHINE\\Software\\Source\\Child\\Grandchild]\r\n"),
              std::string::npos);
    EXPECT_EQ(Run({"export", "HKLM\\Software\\Source", "out.reg"}, "n\n").exitCode, 1);

    // The same text under another name builds an equal key.
    std::string copy = text;
    for (std::size_t at = 0; (at = copy.find("\\Source", at)) != std::string::npos;) {
        copy.replace(at, 7, "\\Copy");
    }
    std::ofstream(root() / "drive_c" / "copy.reg", std::ios::binary) << copy;
    const Outcome imported = Run({"import", "C:\\copy.reg"});
    ASSERT_EQ(imported.exitCode, 0) << imported.err;
    EXPECT_EQ(imported.out, kDone);
    EXPECT_EQ(Tree({Root::LocalMachine, "Software\\Copy"}), original);

    // Deleting keys and values through a script; a file that is no script is refused whole.
    std::ofstream(root() / "drive_c" / "remove.reg", std::ios::binary)
        << "Windows Registry Editor Version 5.00\r\n\r\n"
           "[-HKEY_LOCAL_MACHINE\\Software\\Copy\\Child]\r\n\r\n"
           "[HKEY_LOCAL_MACHINE\\Software\\Copy]\r\n\"Count\"=-\r\n";
    ASSERT_EQ(Run({"import", "remove.reg"}).exitCode, 0);
    Snapshot expected = original;
    expected.erase("|Count");
    expected.erase("\\Child\\");
    expected.erase("\\Child\\Grandchild\\");
    expected.erase("\\Child\\Grandchild|Leaf");
    EXPECT_EQ(Tree({Root::LocalMachine, "Software\\Copy"}), expected);

    std::ofstream(root() / "drive_c" / "plain.txt") << "just text\n";
    const Outcome refused = Run({"import", "plain.txt"});
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_EQ(refused.err.rfind("ERROR: The specified file is not a registry script.", 0), 0u);
}

}  // namespace
