// The host-folder rules that the kernel's and the Win32 file calls share.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>

#include "hostfs/hostfs.h"

namespace {

namespace fs = std::filesystem;

TEST(HostNames, FindEntryMatchesWithoutRegardToCase) {
    const fs::path folder = fs::temp_directory_path() / ("hostfs-" + std::to_string(::getpid()));
    fs::create_directories(folder / "Sub");
    std::ofstream(folder / "Data.TXT") << "x";
    std::ofstream(folder / "\xCF\x83\xCE\xBF\xCF\x86\xCE\xBF\xCF\x82") << "x";  // σοφος
    const struct {
        const char16_t* name;
        bool found;
        const char* entry;
    } cases[] = {
        {u"Data.TXT", true, "Data.TXT"},
        {u"data.txt", true, "Data.TXT"},
        {u"SUB", true, "Sub"},
        {u"\u03A3\u039F\u03A6\u039F\u03A3", true, "\xCF\x83\xCE\xBF\xCF\x86\xCE\xBF\xCF\x82"},
        {u"Missing.bin", false, "Missing.bin"},
        {u"Data.TXTX", false, "Data.TXTX"},
    };
    for (const auto& c : cases) {
        std::string entry;
        bool found = !c.found;
        EXPECT_EQ(hl::hostfs::FindEntry(folder.string(), c.name, entry, found), 0) << c.entry;
        EXPECT_EQ(found, c.found) << c.entry;
        EXPECT_EQ(entry, c.entry);
    }
    std::string entry;
    bool found = false;
    EXPECT_EQ(hl::hostfs::FindEntry((folder / "none").string(), u"x", entry, found), ENOENT);
    EXPECT_EQ(hl::hostfs::FindEntry((folder / "Data.TXT").string(), u"x", entry, found), ENOTDIR);
    fs::remove_all(folder);
}

}  // namespace
