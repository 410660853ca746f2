#include "platform/wtext.h"

#include <algorithm>
#include <charconv>
#include <cstdint>

namespace kdx {

namespace {

constexpr int kMaxFormatWidth = 4096;

void AppendPadded(WText& out, const std::string& digits, bool negative, bool zeroPad, int width) {
    const int len = static_cast<int>(digits.size()) + (negative ? 1 : 0);
    const int pad = width > len ? width - len : 0;
    if (!zeroPad) out.append(static_cast<size_t>(pad), u' ');
    if (negative) out.push_back(u'-');
    if (zeroPad) out.append(static_cast<size_t>(pad), u'0');
    for (char c : digits) out.push_back(static_cast<char16_t>(c));
}

std::string ToDigits(unsigned long long v, unsigned base, bool upper) {
    const char* set = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    std::string s;
    do {
        s.insert(s.begin(), set[v % base]);
        v /= base;
    } while (v != 0);
    return s;
}

}  // namespace

WText FormatW(WTextView format, std::initializer_list<FormatArg> args) {
    WText out;
    auto next = args.begin();
    for (size_t i = 0; i < format.size(); ++i) {
        const char16_t c = format[i];
        if (c != u'%') {
            out.push_back(c);
            continue;
        }
        if (i + 1 < format.size() && format[i + 1] == u'%') {
            out.push_back(u'%');
            ++i;
            continue;
        }
        bool zeroPad = false;
        int width = 0;
        size_t j = i + 1;
        while (j < format.size() && format[j] == u'0') {
            zeroPad = true;
            ++j;
        }
        // A width beyond any text the updater writes is held at kMaxFormatWidth, so that
        // no digit string can overflow the count or ask for a huge padding.
        while (j < format.size() && format[j] >= u'0' && format[j] <= u'9') {
            width = std::min(width * 10 + (format[j] - u'0'), kMaxFormatWidth);
            ++j;
        }
        if (j >= format.size()) break;
        const char16_t conv = format[j];
        i = j;
        if (next == args.end()) continue;
        const FormatArg& arg = *next++;
        switch (conv) {
            case u'd': {
                if (arg.IsText()) break;
                const auto v = static_cast<int32_t>(arg.Value());
                const bool neg = v < 0;
                const unsigned long long mag =
                    neg ? static_cast<unsigned long long>(-static_cast<long long>(v)) : static_cast<unsigned long long>(v);
                AppendPadded(out, ToDigits(mag, 10, false), neg, zeroPad, width);
                break;
            }
            case u'u':
            case u'X':
            case u'x': {
                if (arg.IsText()) break;
                const auto v = static_cast<uint32_t>(arg.Value());
                const unsigned base = conv == u'u' ? 10 : 16;
                AppendPadded(out, ToDigits(v, base, conv == u'X'), false, zeroPad, width);
                break;
            }
            case u's': {
                if (!arg.IsText()) break;
                const WTextView t = arg.Text();
                const int pad = width > static_cast<int>(t.size()) ? width - static_cast<int>(t.size()) : 0;
                out.append(static_cast<size_t>(pad), u' ');
                out.append(t);
                break;
            }
            default:
                break;
        }
    }
    return out;
}

WText WidenAscii(std::string_view ascii) {
    WText out;
    out.reserve(ascii.size());
    for (char c : ascii) out.push_back(static_cast<char16_t>(static_cast<unsigned char>(c)));
    return out;
}

std::string ToUtf8(WTextView text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        uint32_t cp = text[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (static_cast<uint32_t>(text[i + 1]) - 0xDC00);
            ++i;
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            cp = 0xFFFD;
        }
        if (cp < 0x80) {
            out.push_back(static_cast<char>(cp));
        } else if (cp < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else if (cp < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        }
    }
    return out;
}

WText FromUtf8(std::string_view utf8) {
    WText out;
    size_t i = 0;
    while (i < utf8.size()) {
        const auto b0 = static_cast<unsigned char>(utf8[i]);
        int extra = 0;
        uint32_t cp = 0;
        if (b0 < 0x80) {
            cp = b0;
        } else if ((b0 & 0xE0) == 0xC0) {
            extra = 1;
            cp = b0 & 0x1F;
        } else if ((b0 & 0xF0) == 0xE0) {
            extra = 2;
            cp = b0 & 0x0F;
        } else if ((b0 & 0xF8) == 0xF0) {
            extra = 3;
            cp = b0 & 0x07;
        } else {
            out.push_back(u'\uFFFD');
            ++i;
            continue;
        }
        bool ok = i + static_cast<size_t>(extra) < utf8.size();
        for (int k = 1; ok && k <= extra; ++k) {
            const auto b = static_cast<unsigned char>(utf8[i + static_cast<size_t>(k)]);
            if ((b & 0xC0) != 0x80) ok = false;
            cp = (cp << 6) | (b & 0x3F);
        }
        // An overlong form (a value that a shorter sequence encodes) is malformed too: read
        // as its value, 0xC0 0xAF would slip a "/" past anything that looks for one.
        constexpr uint32_t kShortestFrom[] = {0, 0x80, 0x800, 0x10000};
        if (!ok || cp < kShortestFrom[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
            out.push_back(u'\uFFFD');
            ++i;
            continue;
        }
        i += static_cast<size_t>(extra) + 1;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(cp));
        }
    }
    return out;
}

bool IsWideSpace(char16_t c) {
    switch (c) {
        case u' ':
        case u'\t':
        case u'\n':
        case u'\v':
        case u'\f':
        case u'\r':
        case u'\u0085':
        case u'\u00A0':
        case u'\u1680':
        case u'\u2028':
        case u'\u2029':
        case u'\u202F':
        case u'\u205F':
        case u'\u3000':
            return true;
        default:
            return c >= u'\u2000' && c <= u'\u200A';
    }
}

WText TrimW(WTextView text) {
    size_t end = text.size();
    while (end > 0 && IsWideSpace(text[end - 1])) --end;
    size_t begin = 0;
    while (begin < end && IsWideSpace(text[begin])) ++begin;
    return WText(text.substr(begin, end - begin));
}

double ParseLeadingDouble(WTextView text) {
    size_t i = 0;
    while (i < text.size() && IsWideSpace(text[i])) ++i;
    std::string number;
    if (i < text.size() && (text[i] == u'+' || text[i] == u'-')) number.push_back(static_cast<char>(text[i++]));
    size_t digits = 0;
    while (i < text.size() && text[i] >= u'0' && text[i] <= u'9') {
        number.push_back(static_cast<char>(text[i++]));
        ++digits;
    }
    if (i < text.size() && text[i] == u'.') {
        number.push_back('.');
        ++i;
        while (i < text.size() && text[i] >= u'0' && text[i] <= u'9') {
            number.push_back(static_cast<char>(text[i++]));
            ++digits;
        }
    }
    if (digits == 0) return 0.0;
    if (i < text.size() && (text[i] == u'e' || text[i] == u'E')) {
        size_t k = i + 1;
        std::string exponent = "e";
        if (k < text.size() && (text[k] == u'+' || text[k] == u'-')) exponent.push_back(static_cast<char>(text[k++]));
        size_t expDigits = 0;
        while (k < text.size() && text[k] >= u'0' && text[k] <= u'9') {
            exponent.push_back(static_cast<char>(text[k++]));
            ++expDigits;
        }
        if (expDigits > 0) number += exponent;
    }
    double value = 0.0;
    const char* first = number.data();
    if (*first == '+') ++first;  // from_chars takes no plus sign
    std::from_chars(first, number.data() + number.size(), value);
    return value;
}

}  // namespace kdx
