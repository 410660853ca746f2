#include "platform/wtext.h"

#include <gtest/gtest.h>

namespace kdx {
namespace {

TEST(FormatW, PrintsTheConversionsTheUpdaterUses) {
    const WText id = u"KX4610";
    EXPECT_EQ(FormatW(u"ERROR!! ChipID:%d\r\n", {-1}), u"ERROR!! ChipID:-1\r\n");
    EXPECT_EQ(FormatW(u"  Device ID: 0x%02X = ", {0x0C}), u"  Device ID: 0x0C = ");
    EXPECT_EQ(FormatW(u"N/A (0x%X)\r\n", {-1}), u"N/A (0xFFFFFFFF)\r\n");
    EXPECT_EQ(FormatW(u"%s FW Ver=0x%06X  (HWver=0x%02X)", {id, 0x13A, 0x22}),
              u"KX4610 FW Ver=0x00013A  (HWver=0x22)");
    EXPECT_EQ(FormatW(u"v%d.%0d", {1, 5}), u"v1.5");
    EXPECT_EQ(FormatW(u"v%d.%02X", {1, 0x3A}), u"v1.3A");
    EXPECT_EQ(FormatW(u"failed! (%d)\r\n", {static_cast<int32_t>(0x80040154u)}), u"failed! (-2147221164)\r\n");
    EXPECT_EQ(FormatW(u"100%%"), u"100%");
    // A width that would overflow a 32-bit count is held at 4096 columns.
    EXPECT_EQ(FormatW(u"%99999999999d", {7}), WText(4095, u' ') + u"7");
}

TEST(WideText, TrimsWhiteSpaceAndParsesLeadingNumbers) {
    EXPECT_EQ(TrimW(u" \t/s \r\n"), u"/s");
    EXPECT_EQ(TrimW(u"   "), u"");
    EXPECT_DOUBLE_EQ(ParseLeadingDouble(u"1.40"), 1.40);
    EXPECT_DOUBLE_EQ(ParseLeadingDouble(u"----"), 0.0);
    EXPECT_DOUBLE_EQ(ParseLeadingDouble(u"1.5)"), 1.5);
    EXPECT_DOUBLE_EQ(ParseLeadingDouble(u""), 0.0);
}

TEST(WideText, ConvertsToUtf8ByteExactly) {
    EXPECT_EQ(ToUtf8(u"A\u00e9\u3042"), "A\xc3\xa9\xe3\x81\x82");
    EXPECT_EQ(ToUtf8(WText(1, static_cast<char16_t>(0xD800))), "\xef\xbf\xbd");
    EXPECT_EQ(FromUtf8("A\xc3\xa9\xe3\x81\x82"), u"A\u00e9\u3042");
}

}  // namespace
}  // namespace kdx
