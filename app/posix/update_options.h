// The command line of kdx4610-update.
#pragma once

#include <span>
#include <string>
#include <string_view>

namespace kdx::linux_app {

enum class Mode { Dialog, Silent, Check, List, Help, Version, Invalid };

struct Options {
    Mode mode = Mode::Dialog;
    // For Invalid: what was wrong, one line without its line end.
    std::string error;
};

// The arguments after the program name. At most one mode option; "/s" (the Windows
// program's switch, read by its rule) is -s.
Options ParseOptions(std::span<const std::string_view> arguments);

// Exit codes of the program beyond the update's result codes.
inline constexpr int kExitUsage = 2;
// Another instance holds the update lock: nothing was touched.
inline constexpr int kExitBusy = 75;

// --help's text.
std::string UsageText();

}  // namespace kdx::linux_app
