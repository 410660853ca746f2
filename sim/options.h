// The options of kdx4610-sim and of a simulator session (the Windows test driver passes
// the same words). Their names and meaning are documented in docs/simulator.md
// and are kept stable: tests and scripts rely on them.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>

#include "sim/chaos.h"
#include "sim/faults.h"

namespace kdx::sim {

struct SimOptions {
    // The chip.
    std::array<uint8_t, 6> chipId{'K', 'X', '4', '6', '1', '0'};  // --chip-id, zero-padded
    uint8_t hwRev = 0x22;                                          // --hw-rev
    uint8_t fwMajor = 1, fwMinor = 40, fwThird = 0;                // --fw-version
    uint16_t regC802 = 0x2846;  // --reg-c802: the Tarvik family in the high byte
    uint16_t reg8002 = 0x0110;  // --reg-8002
    uint32_t deviceId = 0x0C;   // --device-id: the connection that carries the chip
    std::string firmwarePath;   // --firmware: instead of the embedded image
    std::string ispDriverPath;  // --isp-driver: likewise
    std::string flashInPath;    // --flash-in: initial flash; else a valid image of --fw-version
    std::string flashOutPath;   // --flash-out
    std::string tracePath;      // --trace
    Faults faults;              // --fault, repeatable
    bool chaos = false;         // --chaos SEED[:RATE]
    uint64_t chaosSeed = 0;
    double chaosRate = Chaos::kDefaultRate;
    // The program.
    enum class Backend { Com, ControlLibrary, Linux };
    Backend backend = Backend::Com;  // --backend com|igcl|linux: how the updater reaches the chip
    bool realTime = false;    // --real-time
    bool quiet = false;       // --quiet
    bool listFaults = false;  // --list-faults
    uint32_t runs = 1;        // --runs
    std::string commandLine = "/s";  // the updater's command line, after --
};

inline constexpr uint32_t kFirstDeviceId = 0x0C;
inline constexpr uint32_t kLastDeviceId = 0x0F;

// Parses the words after the program name. False with `error` set on anything unknown or
// malformed.
bool ParseOptions(std::span<const std::string> args, SimOptions& out, std::string& error);

std::string UsageText();

}  // namespace kdx::sim
