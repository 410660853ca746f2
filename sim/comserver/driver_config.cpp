#include "sim/comserver/driver_config.h"

namespace kdx::sim {

namespace {

constexpr std::string_view kBlanks = " \t\r";

std::string_view Trim(std::string_view s) {
    const size_t first = s.find_first_not_of(kBlanks);
    if (first == std::string_view::npos) return {};
    const size_t last = s.find_last_not_of(kBlanks);
    return s.substr(first, last - first + 1);
}

}  // namespace

std::vector<std::string> ParseDriverConfig(std::string_view text) {
    // A configuration saved by a Windows editor may begin with a byte-order mark.
    constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";
    if (text.starts_with(kUtf8Bom)) text.remove_prefix(kUtf8Bom.size());

    std::vector<std::string> options;
    while (!text.empty()) {
        const size_t end = text.find('\n');
        const std::string_view line = Trim(text.substr(0, end));
        text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
        if (line.empty() || line.front() == '#') continue;

        const size_t blank = line.find_first_of(kBlanks);
        options.emplace_back(line.substr(0, blank));
        if (blank != std::string_view::npos) options.emplace_back(Trim(line.substr(blank)));
    }
    return options;
}

}  // namespace kdx::sim
