// Counted strings, the Windows-1252 code page and formatting.
#include <ntstrsafe.h>

#include "kernel/text.h"
#include "kernel_fixture.h"

namespace hl::kernel::testing {
namespace {

using RtlTest = KernelTest;

TEST_F(RtlTest, AnsiBytesBecomeTheirWindows1252Characters) {
    struct Case {
        unsigned char byte;
        char16_t character;
    };
    const Case cases[] = {{'A', u'A'},       {0x80, u'\u20AC'}, {0x8A, u'\u0160'},
                          {0x81, u'\u0081'}, {0x9F, u'\u0178'}, {0xA0, u'\u00A0'},
                          {0xE9, u'\u00E9'}, {0xFF, u'\u00FF'}, {0x00, u'\0'}};
    std::string bytes;
    std::u16string expected;
    for (const Case& c : cases) {
        bytes += static_cast<char>(c.byte);
        expected += c.character;
    }
    ANSI_STRING ansi{static_cast<USHORT>(bytes.size()), static_cast<USHORT>(bytes.size()),
                     bytes.data()};
    UNICODE_STRING unicode{};
    ASSERT_EQ(RtlAnsiStringToUnicodeString(&unicode, &ansi, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(ToU16(&unicode), expected);  // the embedded zero byte is converted too
    EXPECT_EQ(unicode.MaximumLength, unicode.Length + sizeof(WCHAR));

    ANSI_STRING back{};
    ASSERT_EQ(RtlUnicodeStringToAnsiString(&back, &unicode, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(std::string(back.Buffer, back.Length), bytes);
    RtlFreeAnsiString(&back);
    RtlFreeUnicodeString(&unicode);
    EXPECT_EQ(unicode.Buffer, nullptr);
    EXPECT_EQ(kernel_->PoolAllocations(), 0u);
    EXPECT_EQ(UnicodeToAnsi(u'\u4E2D'), '?');
}

TEST_F(RtlTest, ConversionReportsMemoryAndRoom) {
    char text[] = "\\??\\C:\\a.vd";
    ANSI_STRING ansi;
    RtlInitAnsiString(&ansi, text);
    UNICODE_STRING unicode{};
    kernel_->faults().pool.FailNth(1);
    EXPECT_EQ(RtlAnsiStringToUnicodeString(&unicode, &ansi, TRUE), STATUS_NO_MEMORY);
    WCHAR small[4];
    UNICODE_STRING fixed{0, sizeof small, small};
    EXPECT_EQ(RtlAnsiStringToUnicodeString(&fixed, &ansi, FALSE), STATUS_BUFFER_OVERFLOW);
    WCHAR room[32];
    fixed = {0, sizeof room, room};
    EXPECT_EQ(RtlAnsiStringToUnicodeString(&fixed, &ansi, FALSE), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(room), u"\\??\\C:\\a.vd");
}

TEST_F(RtlTest, AppendAndCopyRespectMaximumLength) {
    WCHAR buffer[12];
    UNICODE_STRING text{0, sizeof buffer, buffer};
    EXPECT_EQ(RtlAppendUnicodeToString(&text, u"\\Registry"), STATUS_SUCCESS);
    EXPECT_EQ(RtlAppendUnicodeToString(&text, u"\\Machine"), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(ToU16(&text), u"\\Registry");
    std::u16string tail = u"\\X";
    UNICODE_STRING more = Counted(tail);
    EXPECT_EQ(RtlAppendUnicodeStringToString(&text, &more), STATUS_SUCCESS);
    EXPECT_EQ(ToU16(&text), u"\\Registry\\X");

    WCHAR shortBuffer[4];
    UNICODE_STRING copy{0, sizeof shortBuffer, shortBuffer};
    RtlCopyUnicodeString(&copy, &text);
    EXPECT_EQ(ToU16(&copy), u"\\Reg");

    UNICODE_STRING upper, lower;
    RtlInitUnicodeString(&upper, u"\\DEVICE\\HARDDISK");
    RtlInitUnicodeString(&lower, u"\\device\\harddisk");
    EXPECT_TRUE(RtlEqualUnicodeString(&upper, &lower, TRUE));
    EXPECT_FALSE(RtlEqualUnicodeString(&upper, &lower, FALSE));
}

TEST(Text, Utf8AndUtf16RoundTripAndNamesCompareWithoutCase) {
    const std::u16string text = u"Caf\u00E9 \u20AC \U0001F600";
    EXPECT_EQ(Utf8ToUtf16(Utf16ToUtf8(text)), text);
    EXPECT_EQ(Utf8ToUtf16("bad\xFF"), u"bad\uFFFD");
    EXPECT_TRUE(EqualsNoCase(u"\u00E9T\u00C9", u"\u00C9t\u00E9"));
    EXPECT_TRUE(EqualsNoCase(u"\u0161\u00FF", u"\u0160\u0178"));
    EXPECT_FALSE(EqualsNoCase(u"a", u"b"));
}

}  // namespace
}  // namespace hl::kernel::testing
