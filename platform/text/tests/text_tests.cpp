// The code-page conversions that every boundary of the platform shares.
#include <gtest/gtest.h>

#include <string>

#include "text/text.h"

namespace {

struct Decoded {
    const char* name;
    std::string bytes;
    std::size_t length;  // 0: the character is not whole yet
    char32_t character;
};

TEST(Text, NextUtf8TellsWholeInvalidAndUnfinishedCharacters) {
    const Decoded cases[] = {
        {"ASCII", "a", 1, U'a'},
        {"two bytes", "\xC3\xA9x", 2, U'\u00E9'},
        {"three bytes", "\xE2\x82\xAC", 3, U'\u20AC'},
        {"four bytes", "\xF0\x9F\x98\x80", 4, U'\U0001F600'},
        {"lead alone", "\xC3", 0, 0},
        {"two of three", "\xE2\x82", 0, 0},
        {"three of four", "\xF0\x9F\x98", 0, 0},
        {"continuation byte first", "\x82", 1, 0xFFFD},
        {"lead then a letter",
         "\xC3"
         "a",
         1, 0xFFFD},
        {"overlong", "\xC0\xAF", 1, 0xFFFD},
        {"overlong of three", "\xE0\x80\xAF", 1, 0xFFFD},
        {"surrogate", "\xED\xA0\x80", 1, 0xFFFD},
        {"beyond U+10FFFF", "\xF4\x90\x80\x80", 1, 0xFFFD},
        {"byte 0xFF", "\xFF", 1, 0xFFFD},
    };
    for (const Decoded& c : cases) {
        char32_t character = 0;
        EXPECT_EQ(hl::text::NextUtf8(c.bytes, character), c.length) << c.name;
        if (c.length != 0) {
            EXPECT_EQ(character, c.character) << c.name;
        }
    }
    char32_t unused = 0;
    EXPECT_EQ(hl::text::NextUtf8("", unused), 0u);
}

TEST(Text, AnsiAndUtf8BothWays) {
    EXPECT_EQ(hl::text::Utf8ToAnsi("caf\xC3\xA9pw"), "caf\xE9pw");
    EXPECT_EQ(hl::text::Utf8ToAnsi("\xE2\x82\xAC\xC5\x93\xC3\xBF"), "\x80\x9C\xFF");
    EXPECT_EQ(hl::text::Utf8ToAnsi("a\xE4\xB8\xAD"
                                   "b\xFF"
                                   "c\xE2\x82"),
              "a?b?c??");
    EXPECT_EQ(hl::text::AnsiToUtf8("caf\xE9 \x80 \x81"), "caf\xC3\xA9 \xE2\x82\xAC \xC2\x81");
    for (int byte = 1; byte < 256; ++byte) {
        const std::string one(1, static_cast<char>(byte));
        EXPECT_EQ(hl::text::Utf8ToAnsi(hl::text::AnsiToUtf8(one)), one) << byte;
    }
    unsigned char ansi = 0;
    EXPECT_FALSE(hl::text::UnicodeToAnsi(U'\u4E2D', ansi));
    EXPECT_FALSE(hl::text::UnicodeToAnsi(U'\U0001F600', ansi));
    EXPECT_TRUE(hl::text::UnicodeToAnsi(U'\u0178', ansi));
    EXPECT_EQ(ansi, 0x9F);
    // The cut sequence at the end still becomes U+FFFD on the way to UTF-16.
    EXPECT_EQ(hl::text::Utf8ToUtf16("a\xE2\x82"), u"a\uFFFD\uFFFD");
}

// Windows upper-cases names one UTF-16 unit at a time through its own table (the one NTFS
// writes to $UpCase and RtlUpcaseUnicodeChar uses): no special casing, no locale.
TEST(Text, UpcaseIsWindowsSimpleTable) {
    const struct {
        const char* name;
        char16_t lower;
        char16_t upper;
    } cases[] = {
        {"ASCII", u'z', u'Z'},
        {"Latin-1", 0xE9, 0xC9},
        {"y with diaeresis", 0xFF, 0x178},
        {"division sign stays", 0xF7, 0xF7},
        {"sharp s has no simple upper case", 0xDF, 0xDF},
        {"micro sign stays", 0xB5, 0xB5},
        {"dotless i stays", 0x131, 0x131},
        {"dotted capital I stays", 0x130, 0x130},
        {"i is never dotted", u'i', u'I'},
        {"long s stays", 0x17F, 0x17F},
        {"n preceded by apostrophe stays", 0x149, 0x149},
        {"Latin Extended-A, upper on even", 0x101, 0x100},
        {"Latin Extended-A, upper on odd", 0x13A, 0x139},
        {"z with caron", 0x17E, 0x17D},
        {"sigma", 0x3C3, 0x3A3},
        {"final sigma", 0x3C2, 0x3A3},
        {"alpha with tonos", 0x3AC, 0x386},
        {"epsilon with tonos", 0x3AD, 0x388},
        {"iota with tonos", 0x3AF, 0x38A},
        {"iota with dialytika", 0x3CA, 0x3AA},
        {"upsilon with dialytika", 0x3CB, 0x3AB},
        {"omicron with tonos", 0x3CC, 0x38C},
        {"omega with tonos", 0x3CE, 0x38F},
        {"iota with dialytika and tonos stays", 0x390, 0x390},
        {"Cyrillic ya", 0x44F, 0x42F},
        {"Cyrillic io", 0x451, 0x401},
        {"full-width z", 0xFF5A, 0xFF3A},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(hl::text::Upcase(c.lower), c.upper) << c.name;
        EXPECT_EQ(hl::text::Upcase(c.upper), c.upper) << c.name;
    }
    EXPECT_TRUE(hl::text::EqualsNoCase(u"\u03C3\u03BF\u03C6\u03BF\u03C2",
                                       u"\u03A3\u039F\u03A6\u039F\u03A3"));
    EXPECT_FALSE(hl::text::EqualsNoCase(u"stra\u00DFe", u"STRASSE"));
    EXPECT_FALSE(hl::text::EqualsNoCase(u"\u0131", u"I"));
}

TEST(Text, UpcaseUtf8KeepsBrokenBytesAndOtherPlanes) {
    EXPECT_EQ(hl::text::UpcaseUtf8("caf\xC3\xA9 \xCF\x82"), "CAF\xC3\x89 \xCE\xA3");
    EXPECT_EQ(hl::text::UpcaseUtf8("a\xFF"
                                   "b\xC3"),
              "A\xFF"
              "B\xC3");
    EXPECT_EQ(hl::text::UpcaseUtf8("\xF0\x9D\x90\x9A"), "\xF0\x9D\x90\x9A");
    EXPECT_TRUE(hl::text::IsValidUtf8("caf\xC3\xA9\xF0\x9F\x98\x80"));
    EXPECT_FALSE(hl::text::IsValidUtf8("caf\xC3"));
    EXPECT_FALSE(hl::text::IsValidUtf8("\xC0\xAF"));
    EXPECT_EQ(hl::text::Utf16Length("caf\xC3\xA9\xF0\x9F\x98\x80"), 6u);
}

}  // namespace
