#include "sim/options.h"

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <string_view>

namespace kdx::sim {

namespace {

bool ParseUnsigned(std::string_view text, int base, uint64_t max, uint64_t& out) {
    if (base == 16 && (text.starts_with("0x") || text.starts_with("0X"))) text.remove_prefix(2);
    if (text.empty()) return false;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out, base);
    return ec == std::errc() && end == text.data() + text.size() && out <= max;
}

template <typename T>
bool ParseHex(std::string_view text, uint64_t max, T& out) {
    uint64_t v = 0;
    if (!ParseUnsigned(text, 16, max, v)) return false;
    out = static_cast<T>(v);
    return true;
}

// M.m[.t], each part decimal 0..255.
bool ParseVersion(std::string_view text, SimOptions& o) {
    uint64_t parts[3] = {0, 0, 0};
    int count = 0;
    while (count < 3) {
        const size_t dot = text.find('.');
        if (!ParseUnsigned(text.substr(0, dot), 10, 255, parts[count])) return false;
        ++count;
        if (dot == std::string_view::npos) break;
        text.remove_prefix(dot + 1);
        if (count == 3) return false;
    }
    if (count < 2) return false;
    o.fwMajor = static_cast<uint8_t>(parts[0]);
    o.fwMinor = static_cast<uint8_t>(parts[1]);
    o.fwThird = static_cast<uint8_t>(parts[2]);
    return true;
}

bool ParseChipId(std::string_view text, SimOptions& o) {
    if (text.empty() || text.size() > o.chipId.size()) return false;
    o.chipId.fill(0);
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] < 0x20 || text[i] > 0x7E) return false;
        o.chipId[i] = static_cast<uint8_t>(text[i]);
    }
    return true;
}

// SEED[:RATE], RATE a probability per call: 0.001 or 1/1000.
bool ParseChaos(std::string_view text, SimOptions& o) {
    const size_t colon = text.find(':');
    if (!ParseUnsigned(text.substr(0, colon), 10, UINT64_MAX, o.chaosSeed)) return false;
    o.chaos = true;
    if (colon == std::string_view::npos) return true;
    const std::string rate(text.substr(colon + 1));
    const size_t slash = rate.find('/');
    char* end = nullptr;
    if (slash != std::string::npos) {
        uint64_t numerator = 0, denominator = 0;
        if (!ParseUnsigned(std::string_view(rate).substr(0, slash), 10, UINT32_MAX, numerator) ||
            !ParseUnsigned(std::string_view(rate).substr(slash + 1), 10, UINT32_MAX, denominator) || denominator == 0)
            return false;
        o.chaosRate = static_cast<double>(numerator) / static_cast<double>(denominator);
    } else {
        o.chaosRate = std::strtod(rate.c_str(), &end);
        if (rate.empty() || end != rate.c_str() + rate.size()) return false;
    }
    return o.chaosRate >= 0 && o.chaosRate <= 1;
}

}  // namespace

bool ParseOptions(std::span<const std::string> args, SimOptions& o, std::string& error) {
    for (size_t i = 0; i < args.size(); ++i) {
        std::string_view arg = args[i];
        if (arg == "--") {
            std::string line;
            for (size_t k = i + 1; k < args.size(); ++k) {
                if (k > i + 1) line += ' ';
                line += args[k];
            }
            o.commandLine = line;
            return true;
        }
        // Flags without a value.
        if (arg == "--real-time") { o.realTime = true; continue; }
        if (arg == "--quiet") { o.quiet = true; continue; }
        if (arg == "--list-faults") { o.listFaults = true; continue; }

        // Options with a value: "--name VALUE" or "--name=VALUE".
        static constexpr std::string_view kValueOptions[] = {
            "--chip-id", "--hw-rev",     "--fw-version", "--reg-c802",  "--reg-8002", "--device-id", "--firmware",
            "--isp-driver", "--flash-in", "--flash-out", "--trace",     "--fault",    "--chaos",     "--runs",
            "--backend"};
        const size_t eq = arg.find('=');
        const std::string_view name = arg.substr(0, eq);
        if (std::find(std::begin(kValueOptions), std::end(kValueOptions), name) == std::end(kValueOptions)) {
            error = "option " + std::string(name) + " is not known";
            return false;
        }
        std::string_view value;
        if (eq != std::string_view::npos) {
            value = arg.substr(eq + 1);
        } else if (i + 1 < args.size()) {
            value = args[++i];
        } else {
            error = "option " + std::string(name) + " needs a value";
            return false;
        }

        bool ok = true;
        if (name == "--chip-id") ok = ParseChipId(value, o);
        else if (name == "--hw-rev") ok = ParseHex(value, 0xFF, o.hwRev);
        else if (name == "--fw-version") ok = ParseVersion(value, o);
        else if (name == "--reg-c802") ok = ParseHex(value, 0xFFFF, o.regC802);
        else if (name == "--reg-8002") ok = ParseHex(value, 0xFFFF, o.reg8002);
        else if (name == "--device-id")
            ok = ParseHex(value, 0xFF, o.deviceId) && o.deviceId >= kFirstDeviceId && o.deviceId <= kLastDeviceId;
        else if (name == "--firmware") o.firmwarePath = value;
        else if (name == "--isp-driver") o.ispDriverPath = value;
        else if (name == "--flash-in") o.flashInPath = value;
        else if (name == "--flash-out") o.flashOutPath = value;
        else if (name == "--trace") o.tracePath = value;
        else if (name == "--fault") {
            if (!ParseFault(value, o.faults, error)) return false;
        } else if (name == "--chaos") ok = ParseChaos(value, o);
        else if (name == "--backend") {
            ok = value == "com" || value == "igcl" || value == "linux";
            o.backend = value == "igcl"    ? SimOptions::Backend::ControlLibrary
                        : value == "linux" ? SimOptions::Backend::Linux
                                           : SimOptions::Backend::Com;
        }
        else if (name == "--runs") {
            uint64_t runs = 0;
            ok = ParseUnsigned(value, 10, 1000, runs) && runs > 0;
            o.runs = static_cast<uint32_t>(runs);
        }
        if (!ok || value.empty()) {
            error = "bad value '" + std::string(value) + "' for " + std::string(name);
            return false;
        }
    }
    return true;
}

std::string UsageText() {
    return "usage: kdx4610-sim [options] [-- COMMAND LINE]\n"
           "  --chip-id TEXT        identification string the chip reports as found (KX4610)\n"
           "  --hw-rev 0xHH         hardware revision the chip reports as found (0x22)\n"
           "  --fw-version M.m[.t]  version of the default flash content (1.40)\n"
           "  --reg-c802 0xHHHH     identity register 0xC802 (0x2846)\n"
           "  --reg-8002 0xHHHH     identity register 0x8002 (0x0110)\n"
           "  --device-id 0xNN      connection that carries the chip, 0x0C..0x0F (0x0C)\n"
           "  --firmware FILE       firmware image instead of the embedded one\n"
           "  --isp-driver FILE     ISP driver image instead of the embedded one\n"
           "  --flash-in FILE       initial flash content (at most 512 KiB)\n"
           "  --flash-out FILE      write the flash content after the last run\n"
           "  --fault NAME[=VALUE]  make the driver or chip misbehave (repeatable)\n"
           "  --list-faults         list the faults and exit\n"
           "  --chaos SEED[:RATE]   seeded random misbehaviour, RATE per call (0.001)\n"
           "  --trace FILE          one tab-separated line per driver call\n"
           "  --runs N              run the updater N times on the same chip (1)\n"
           "  --backend com|igcl|linux\n"
           "                        the updater reaches the chip through the driver's COM class,\n"
           "                        through the Control Library with no COM class, or through\n"
           "                        the Linux kernel's DP AUX and I2C nodes (com)\n"
           "  --real-time           run on the real clock instead of the virtual one\n"
           "  --quiet               no summary\n"
           "  -- COMMAND LINE       the updater's own command line (/s)\n";
}

}  // namespace kdx::sim
