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

}  // namespace
