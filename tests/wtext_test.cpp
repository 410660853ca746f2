#include "platform/wtext.h"

#include <gtest/gtest.h>

#include <vector>

namespace kdx {
namespace {

using namespace std::literals;

// A copy of a text in a buffer of exactly its size: a read past its end, which a literal's
// terminating zero would hide, stops the sanitizer build.
template <typename Char>
struct Exact {
    explicit Exact(std::basic_string_view<Char> text) : units(text.begin(), text.end()) {}
    operator std::basic_string_view<Char>() const { return {units.data(), units.size()}; }
    std::vector<Char> units;
};

TEST(FormatW, PrintsTheConversionsTheUpdaterUses) {
    const WText id = u"KX4610";
    const struct {
        WText got;
        WText expected;
    } cases[] = {
        {FormatW(u"ERROR!! ChipID:%d\r\n", {-1}), u"ERROR!! ChipID:-1\r\n"},
        {FormatW(u"  Device ID: 0x%02X = ", {0x0C}), u"  Device ID: 0x0C = "},
        {FormatW(u"N/A (0x%X)\r\n", {-1}), u"N/A (0xFFFFFFFF)\r\n"},
        {FormatW(u"%s FW Ver=0x%06X  (HWver=0x%02X)", {id, 0x13A, 0x22}), u"KX4610 FW Ver=0x00013A  (HWver=0x22)"},
        {FormatW(u"v%d.%0d", {1, 5}), u"v1.5"},
        {FormatW(u"v%d.%02X", {1, 0x3A}), u"v1.3A"},
        {FormatW(u"failed! (%d)\r\n", {static_cast<int32_t>(0x80040154u)}), u"failed! (-2147221164)\r\n"},
        {FormatW(u"%d %05d %3d %10u|", {-2147483647 - 1, -42, 7, 5}), u"-2147483648 -0042   7          5|"},
        {FormatW(u"%u %x %4x %s|%6s|", {-1, 0xABCDEF, 0xA, u"t", u"ab"}), u"4294967295 abcdef    a t|    ab|"},
        // %% prints one percent sign and takes no argument, at the start and the end too.
        {FormatW(u"%%100 %d%%%%", {5}), u"%100 5%%"},
        // A conversion without an argument, or with one of the wrong kind, prints nothing.
        {FormatW(u"[%d][%s][%q][%d]", {u"text", 3, 4}), u"[][][][]"},
        // A width that would overflow a 32-bit count is held at 4096 columns.
        {FormatW(u"%99999999999d", {7}), WText(4095, u' ') + u"7"},
        // A format that ends inside a conversion prints nothing for it and reads nothing
        // past its end.
        {FormatW(Exact(u"%05"sv), {7}), u""},
        {FormatW(Exact(u"%0"sv), {7}), u""},
        {FormatW(Exact(u"5%"sv), {7}), u"5"},
    };
    for (const auto& c : cases) EXPECT_EQ(c.got, c.expected);
}

TEST(WideText, TrimsWhiteSpaceAndParsesLeadingNumbers) {
    EXPECT_EQ(TrimW(u" \t/s \r\n"), u"/s");
    EXPECT_EQ(TrimW(u"\u2000\u3000\u2009s\u00A0\u2028\u200A"), u"s");
    EXPECT_EQ(TrimW(u"   "), u"");
    // Each text in a buffer of exactly its size: nothing is read past its end.
    const struct {
        std::u16string_view text;
        double value;
    } numbers[] = {{u"1.40", 1.40}, {u"----", 0.0}, {u"1.5/2", 1.5}, {u"", 0.0}, {u" +2.5e02x", 250.0}, {u"-.5", -0.5},
                   {u"3e", 3.0}, {u".", 0.0}, {u"7E-19", 7e-19}, {u"109", 109.0}, {u"2.09", 2.09}, {u" ", 0.0}, {u"2e", 2.0}, {u"1e5", 1e5}};
    for (const auto& n : numbers) EXPECT_DOUBLE_EQ(ParseLeadingDouble(Exact(n.text)), n.value) << ToUtf8(n.text);
}

// Well-formed text converts both ways byte-exactly, up to the longest sequences.
TEST(WideText, ConvertsUtf16AndUtf8BothWays) {
    const struct {
        std::u16string_view wide;
        std::string_view utf8;
    } cases[] = {
        {u"\0A\u007F"sv, "\0A\x7F"sv},
        {u"\u0080\u00e9\u07FF", "\xC2\x80\xC3\xA9\xDF\xBF"},
        {u"\u0800\u3042\uFFFF", "\xE0\xA0\x80\xE3\x81\x82\xEF\xBF\xBF"},
        {u"\U00010000\U0001F600\U000FFFFD\U0010FFFF",
         "\xF0\x90\x80\x80\xF0\x9F\x98\x80\xF3\xBF\xBF\xBD\xF4\x8F\xBF\xBF"},
        {u"\U0001F600\uE000", "\xF0\x9F\x98\x80\xEE\x80\x80"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ToUtf8(Exact(c.wide)), c.utf8);
        EXPECT_EQ(FromUtf8(Exact(c.utf8)), c.wide) << c.utf8;
    }
    // Unpaired surrogates become U+FFFD, as the Windows conversion makes them.
    EXPECT_EQ(ToUtf8(u"\xD800"), "\xEF\xBF\xBD");
    EXPECT_EQ(ToUtf8(std::u16string{0xD800, u'A', 0xDC00, 0xDC00}), "\xEF\xBF\xBD" "A\xEF\xBF\xBD\xEF\xBF\xBD");
    EXPECT_EQ(ToUtf8(std::u16string{0xDBFF, 0xE000, 0xDFFF}), "\xEF\xBF\xBD\xEE\x80\x80\xEF\xBF\xBD");
    // A high surrogate that ends the text is unpaired, whatever lies beyond the text's end.
    EXPECT_EQ(ToUtf8(WTextView(u"\xD800\xDC00", 1)), "\xEF\xBF\xBD");
}

// Each byte that starts no complete, shortest sequence of a scalar value becomes one
// U+FFFD, and reading goes on at the next byte: "y" then 0xC3 must not read as "y".
TEST(WideText, MalformedUtf8BecomesReplacementCharacters) {
    const struct {
        std::string_view utf8;
        std::u16string_view wide;
    } cases[] = {
        {"y\xC3", u"y\uFFFD"}, {"\xC3(", u"\uFFFD("}, {"\x80\xBF", u"\uFFFD\uFFFD"},
        {"\xE3\x81", u"\uFFFD\uFFFD"}, {"\xF0\x9F\x98", u"\uFFFD\uFFFD\uFFFD"},
        {"\xF8\x88\x80\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD"},
        {"\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},  // beyond U+10FFFF
        {"\xED\xA0\x80\xED\xBF\xBF", u"\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD"},  // the first and last surrogates
        {"\xC0\xAFs", u"\uFFFD\uFFFDs"},  // an overlong "/", and overlong 3- and 4-byte forms
        {"\xE0\x80\xAF", u"\uFFFD\uFFFD\uFFFD"}, {"\xF0\x8F\xBF\xBF", u"\uFFFD\uFFFD\uFFFD\uFFFD"},
    };
    for (const auto& c : cases) EXPECT_EQ(FromUtf8(Exact(c.utf8)), c.wide) << ToUtf8(c.wide);
}

}  // namespace
}  // namespace kdx
