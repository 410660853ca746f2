#include "app/command_line.h"

namespace kdx {

bool IsSilentCommandLine(WTextView commandLine) {
    constexpr char16_t kDelimiter = u'/';
    constexpr char16_t kSilentSwitch[] = u"s";
    const WText line = TrimW(commandLine);
    // Only the first "/"-delimited token counts: leading slashes are skipped, and a second
    // switch after it is ignored.
    const size_t begin = line.find_first_not_of(kDelimiter);
    if (begin == WText::npos) return false;
    const size_t end = line.find(kDelimiter, begin);
    const WTextView token = WTextView(line).substr(begin, end == WText::npos ? WText::npos : end - begin);
    return TrimW(token) == kSilentSwitch;
}

}  // namespace kdx
