#include "log/aux_log.h"

#include <array>
#include <cstdint>
#include <span>
#include <string>

#include "platform/file.h"

namespace kdx {

void AppendLogLine(WTextView line) {
    const std::string utf8 = ToUtf8(line);
    // The line and its terminating zero must fit the conversion buffer; a longer line is
    // dropped whole rather than cut.
    if (utf8.size() + 1 > kLogLineBufferSize) return;
    std::array<uint8_t, kLogLineBufferSize> buffer{};
    std::copy(utf8.begin(), utf8.end(), buffer.begin());
    platform::AppendToFile(kLogFileName, std::span<const uint8_t>(buffer.data(), utf8.size()));
}

}  // namespace kdx
