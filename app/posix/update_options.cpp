#include "app/posix/update_options.h"

#include <array>

#include "app/command_line.h"
#include "platform/wtext.h"

namespace kdx::linux_app {

namespace {

struct OptionName {
    std::string_view shortName;
    std::string_view longName;
    Mode mode;
};

constexpr std::array<OptionName, 5> kOptions{{
    {"-s", "--silent", Mode::Silent},
    {"", "--check", Mode::Check},
    {"", "--list", Mode::List},
    {"-h", "--help", Mode::Help},
    {"-V", "--version", Mode::Version},
}};

Options Invalid(std::string error) { return Options{Mode::Invalid, std::move(error)}; }

}  // namespace

Options ParseOptions(std::span<const std::string_view> arguments) {
    if (arguments.empty()) return Options{};
    // Scripts written for the Windows program pass its switch: the whole line is read as
    // that program reads it, and what it would not take as silent is refused here rather
    // than shown as a dialog the script cannot answer.
    if (arguments.front().starts_with('/')) {
        std::string line;
        for (std::string_view argument : arguments) {
            if (!line.empty()) line += ' ';
            line += argument;
        }
        if (IsSilentCommandLine(FromUtf8(line))) return Options{Mode::Silent, {}};
        return Invalid("unknown option '" + std::string(arguments.front()) + "'");
    }
    Options options;
    bool chosen = false;
    for (std::string_view argument : arguments) {
        const OptionName* found = nullptr;
        for (const OptionName& option : kOptions) {
            if (argument == option.longName || (!option.shortName.empty() && argument == option.shortName))
                found = &option;
        }
        if (found == nullptr) {
            if (argument.starts_with('-')) return Invalid("unknown option '" + std::string(argument) + "'");
            return Invalid("unexpected argument '" + std::string(argument) + "'");
        }
        // One mode a run: a second one would leave unclear which of them ran.
        if (chosen && options.mode != found->mode) {
            return Invalid("options '" + std::string(argument) + "' and another mode cannot be combined");
        }
        options.mode = found->mode;
        chosen = true;
    }
    return options;
}

std::string UsageText() {
    return "Usage: kdx4610-update [OPTION]\n"
           "Update the firmware of the KDX4610 HDMI converter chip over the DisplayPort AUX channel.\n"
           "Run as root. With no option it asks before it writes the flash.\n"
           "\n"
           "  -s, --silent   update without questions; nothing on standard output (also /s)\n"
           "      --check    read only: identify the chip and say whether an update would run\n"
           "      --list     list the DisplayPort AUX channels and whether the chip answers there\n"
           "  -h, --help     show this text\n"
           "  -V, --version  show the program's version and the firmware version it installs\n"
           "\n"
           "Exit status: 0 updated (--check: an update would run), 10 the update could not start\n"
           "(flash untouched), 20 writing the flash failed, 30 not a target or no chip found (also:\n"
           "not run as root), 40 the firmware is up to date, 99 the program's images or an unexpected\n"
           "error, 2 a bad option, 75 another update is running.\n"
           "See kdx4610-update(8).\n";
}

}  // namespace kdx::linux_app
