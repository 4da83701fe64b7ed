#include <gtest/gtest.h>

#include "names.h"

namespace registry::detail {
namespace {

TEST(RegistryNames, FoldUpperCasesTheWayRegistryNamesCompare) {
    const struct {
        const char* name;
        const char* folded;
    } cases[] = {
        {"Software\\Classes", "SOFTWARE\\CLASSES"},
        {"caf\xC3\xA9", "CAF\xC3\x89"},            // é -> É
        {"\xC3\xBF", "\xC5\xB8"},                  // ÿ -> Ÿ
        {"\xC3\xB7", "\xC3\xB7"},                  // the division sign stays
        {"\xC3\x9F", "\xC3\x9F"},                  // ß has no single upper case
        {"\xC4\x81\xC5\xBE", "\xC4\x80\xC5\xBD"},  // āž -> ĀŽ
        {"\xCF\x83\xCF\x82", "\xCE\xA3\xCE\xA3"},  // σς -> ΣΣ
        {"\xD0\xB4\xD1\x91", "\xD0\x94\xD0\x81"},  // дё -> ДЁ
        {"1_~", "1_~"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Fold(c.name), c.folded) << c.name;
    }
}

TEST(RegistryNames, Utf16LengthCountsSurrogatePairsTwice) {
    EXPECT_EQ(Utf16Length("abc"), 3u);
    EXPECT_EQ(Utf16Length("caf\xC3\xA9"), 4u);
    EXPECT_EQ(Utf16Length("\xF0\x9F\x98\x80"), 2u);
}

TEST(RegistryNames, SplitKeyPathAcceptsOnlyWellFormedPaths) {
    const std::string longest(255, 'k');
    const struct {
        std::string path;
        bool valid;
        Names names;
    } cases[] = {
        {"", true, {}},
        {"A", true, {"A"}},
        {"A\\B\\C", true, {"A", "B", "C"}},
        {"A\\B\\", true, {"A", "B"}},
        {longest, true, {longest}},
        {"\\A", false, {}},
        {"A\\\\B", false, {}},
        {"\\", true, {}},
        {longest + "k", false, {}},
        {"bad\xC3", false, {}},
        {std::string("nul\0in", 6), false, {}},
    };
    for (const auto& c : cases) {
        Names names;
        EXPECT_EQ(SplitKeyPath(c.path, names), c.valid) << c.path;
        if (c.valid) {
            EXPECT_EQ(names, c.names) << c.path;
        }
    }
}

TEST(RegistryNames, ValueNamesMayHoldBackslashesButNotBrokenText) {
    EXPECT_TRUE(IsValidValueName(""));
    EXPECT_TRUE(IsValidValueName("C:\\Documents and Settings\\x"));
    EXPECT_FALSE(IsValidValueName("\xFF"));
    EXPECT_FALSE(IsValidValueName(std::string(16384, 'v')));
}

}  // namespace
}  // namespace registry::detail
