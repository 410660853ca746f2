// Wide texts that come out byte-identical on every build.
//
// The updater's texts are UTF-16 (what the Windows API takes). wchar_t is 16 bits on
// Windows and 32 bits on Linux, and the two C libraries read "%s" in a wide format
// differently, so the core never uses wchar_t or the C library's wide printf: texts are
// std::u16string and formatting goes through FormatW, which implements the small
// printf subset the updater's formats use (%d %u %X %x %s %%, with a 0 flag and a width).
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

namespace kdx {

using WText = std::u16string;
using WTextView = std::u16string_view;

// One argument of FormatW: an integer (printed by %d %u %X %x) or a text (printed by %s).
class FormatArg {
public:
    FormatArg(int v) : isText_(false), value_(v) {}
    FormatArg(long v) : isText_(false), value_(v) {}
    FormatArg(long long v) : isText_(false), value_(v) {}
    FormatArg(unsigned v) : isText_(false), value_(static_cast<long long>(v)) {}
    FormatArg(unsigned long v) : isText_(false), value_(static_cast<long long>(v)) {}
    FormatArg(unsigned long long v) : isText_(false), value_(static_cast<long long>(v)) {}
    FormatArg(WTextView t) : isText_(true), text_(t) {}
    FormatArg(const WText& t) : isText_(true), text_(t) {}
    FormatArg(const char16_t* t) : isText_(true), text_(t) {}

    bool IsText() const { return isText_; }
    long long Value() const { return value_; }
    WTextView Text() const { return text_; }

private:
    bool isText_;
    long long value_ = 0;
    WTextView text_;
};

// printf-style formatting of a wide text. Conversions: %d (signed 32-bit), %u, %X, %x
// (the value taken as unsigned 32-bit, as the C library does with an int argument),
// %s (a wide text), %%; flags: '0'; a decimal width. A conversion without an argument,
// or with an argument of the wrong kind, prints nothing for that conversion.
WText FormatW(WTextView format, std::initializer_list<FormatArg> args = {});

// ASCII to wide text (used for literal texts built at run time, e.g. identification bytes).
WText WidenAscii(std::string_view ascii);

// UTF-16 to UTF-8; an unpaired surrogate becomes U+FFFD, as the Windows conversion does.
std::string ToUtf8(WTextView text);

// UTF-8 to UTF-16; invalid sequences become U+FFFD.
WText FromUtf8(std::string_view utf8);

// The standard wide-character classification of white space (iswspace in the C locale,
// plus the Unicode spaces the Windows C library accepts).
bool IsWideSpace(char16_t c);

// Removes white space from the end, then from the start.
WText TrimW(WTextView text);

// wcstod in the C locale: the longest leading decimal number (optional white space and
// sign, digits, a point, digits, an exponent); 0 when there is none.
double ParseLeadingDouble(WTextView text);

}  // namespace kdx
