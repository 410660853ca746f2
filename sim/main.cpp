// kdx4610-sim: runs the updater's own workflow in-process against the simulated driver and
// chip, prints what happened, and exits with the run's result code.
//
//   kdx4610-sim [options] [-- COMMAND LINE]
//
// The options are described in docs/simulator.md and by --help.
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <iostream>
#include <span>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "app/console_dialog.h"
#include "chip/result_code.h"
#include "app/update_run.h"
#include "app/workflow.h"
#include "gfx/select_gfx_lib.h"
#include "platform/debug_output.h"
#include "platform/resources.h"
#include "platform/sha256.h"
#include "platform/system.h"
#include "sim/simulator.h"

namespace {

using kdx::sim::Milestone;

constexpr int kUsageError = 2;

// The updater's debugger output, as lines on standard error.
class StderrDebugOutput final : public kdx::platform::DebugOutput {
public:
    void Write(kdx::WTextView text) override {
        std::string line = kdx::ToUtf8(text);
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
        std::fprintf(stderr, "debug: %s\n", line.c_str());
    }
};

std::string Seconds(int64_t ns) {
    char text[40];
    std::snprintf(text, sizeof text, "%" PRId64 ".%06" PRId64 " s", ns / 1'000'000'000, ns / 1'000 % 1'000'000);
    return text;
}

std::string ChipIdText(const std::array<uint8_t, 6>& id) {
    std::string text;
    for (uint8_t b : id) {
        if (b == 0) break;
        text += static_cast<char>(b);
    }
    return text.empty() ? "(none)" : text;
}

// What the chip booted and reports, then what it runs now and what a restart would boot.
void PrintChip(const kdx::sim::SimChip& chip, const kdx::sim::SimOptions& options, const char* when) {
    using Running = kdx::sim::SimChip::Running;
    const auto block = chip.BranchBlock();
    const auto v = chip.Version();
    char third[8] = "";
    if (v.third) std::snprintf(third, sizeof third, ".%u", v.third);
    std::printf("chip %s: %s %s, hw 0x%02X, version %u.%u%s on device 0x%02X, running %s%s, flash boots %s\n", when,
                chip.RunsApplication() ? "application" : "internal ROM", ChipIdText({block[0], block[1], block[2], block[3], block[4], block[5]}).c_str(),
                block[6], v.major, v.minor, third, options.deviceId,
                kdx::sim::SimChip::RunningText(chip.NowRunning()), chip.InIspMode() ? " (ISP mode)" : "",
                kdx::sim::SimChip::RunningText(chip.FlashBootsApplication() ? Running::Application : Running::InternalRom));
}

void PrintSummary(const kdx::sim::Simulator& sim, const kdx::sim::SimOptions& options, const kdx::WorkflowStages* stages,
                  int32_t result, int64_t durationNs, double wallSeconds) {
    const kdx::sim::RunRecord& r = sim.Record();
    std::printf("chip seen: %s\n", r.Reached(Milestone::ProbeAcknowledged) ? "yes" : "no");
    // The workflow's own stages are known for silent runs; the chip's stages always.
    if (stages != nullptr)
        std::printf("stages reached:%s%s%s%s%s\n", stages->imagesLoaded ? " images-loaded" : "",
                    stages->adapterOpened ? " adapter-opened" : "", stages->chipChecked ? " chip-checked" : "",
                    stages->ispStarted ? " isp-started" : "", stages->imagesLoaded ? "" : " none");
    std::printf("chip stages (virtual time since the run began):\n");
    for (size_t m = 0; m < static_cast<size_t>(Milestone::Count); ++m) {
        const auto milestone = static_cast<Milestone>(m);
        if (!r.Reached(milestone)) continue;
        std::printf("  %16s  %s\n", Seconds(r.At(milestone)).c_str(), kdx::sim::MilestoneText(milestone));
    }
    std::printf("blocks: %u sent, %u skipped\n", r.blocksSent, r.blocksSkipped);
    std::printf("EndIsp posted: %u%s\n", r.endIspPosted, r.lastRequestWasEndIsp ? " (last request)" : "");
    std::printf("left in ISP mode: %s\n", sim.LeftInIspMode().c_str());
    std::printf("result: %d %s\n", result, kdx::ResultCodeName(result));
    if (options.realTime) std::printf("duration: %s (real time)\n", Seconds(durationNs).c_str());
    else std::printf("virtual duration: %s (wall %.3f s)\n", Seconds(durationNs).c_str(), wallSeconds);
    std::printf("driver calls: %u (read %u, write %u, deferred %u)\n", r.readCalls + r.writeCalls, r.readCalls,
                r.writeCalls, r.deferredCalls);
    std::printf("flash equals image: %s\n", sim.FlashEqualsImage() ? "yes" : "no");
}

// Which images the run uses and their SHA-256, so that a run can be matched to a build.
void PrintImage(const char* name, const std::string& path, std::span<const uint8_t> image) {
    std::string digest = "unavailable";
    if (const auto d = kdx::platform::Sha256(image)) {
        digest.clear();
        char hex[3];
        for (uint8_t b : *d) {
            std::snprintf(hex, sizeof hex, "%02x", b);
            digest += hex;
        }
    }
    std::printf("%s: %s, %zu bytes, SHA-256 %s\n", name, path.empty() ? "embedded" : path.c_str(), image.size(),
                digest.c_str());
}

void PrintChaos(const kdx::sim::Chaos& chaos) {
    std::printf("chaos:");
    for (size_t k = 1; k < static_cast<size_t>(kdx::sim::ChaosKind::Count); ++k) {
        const auto kind = static_cast<kdx::sim::ChaosKind>(k);
        std::printf(" %s %u%s", kdx::sim::Chaos::Name(kind), chaos.Count(kind),
                    k + 1 < static_cast<size_t>(kdx::sim::ChaosKind::Count) ? "," : "\n");
    }
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    for (const std::string& a : args) {
        if (a == "--") break;
        if (a == "--help" || a == "-h") {
            std::fputs(kdx::sim::UsageText().c_str(), stdout);
            return 0;
        }
    }
    kdx::sim::SimOptions options;
    std::string error;
    if (!kdx::sim::ParseOptions(args, options, error)) {
        std::fprintf(stderr, "kdx4610-sim: %s\ntry --help\n", error.c_str());
        return kUsageError;
    }
    if (options.listFaults) {
        std::fputs(kdx::sim::FaultList().c_str(), stdout);
        return 0;
    }
    kdx::sim::SimImages images;
    if (!kdx::sim::LoadSimImages(options, images, error)) {
        std::fprintf(stderr, "kdx4610-sim: %s\n", error.c_str());
        return kUsageError;
    }

    // The updater finds the same images among its resources as the chip expects. The
    // embedded ones keep the digests the build recorded and are checked as the updater
    // checks them; files given with --isp-driver or --firmware replace them unchecked,
    // since running other images is what those options are for.
    kdx::platform::Resources& program = kdx::platform::ProgramResources();
    const auto recorded = [&program](const std::string& path, uint16_t id) {
        return path.empty() ? program.RecordedSha256(u"BIN", id) : std::nullopt;
    };
    kdx::platform::MemoryResources resources;
    resources.Add(u"BIN", 129, images.ispDriver, recorded(options.ispDriverPath, 129));
    resources.Add(u"BIN", 130, images.firmware, recorded(options.firmwarePath, 130));
    if (!options.quiet) {
        PrintImage("isp driver", options.ispDriverPath, images.ispDriver);
        PrintImage("firmware", options.firmwarePath, images.firmware);
    }
    kdx::platform::VirtualClock virtualClock;
    kdx::platform::Clock& clock = options.realTime ? kdx::platform::SystemClock() : virtualClock;
    StderrDebugOutput debug;
    kdx::platform::System system{clock, debug, resources};

    auto sim = kdx::sim::Simulator::Create(options, images, clock, options.realTime ? nullptr : &virtualClock, error);
    if (!sim) {
        std::fprintf(stderr, "kdx4610-sim: %s\n", error.c_str());
        return kUsageError;
    }
    const bool silent = kdx::IsSilentCommandLine(kdx::FromUtf8(options.commandLine));

    int32_t result = kdx::UnexpectedError;
    for (uint32_t run = 1; run <= options.runs; ++run) {
        sim->BeginRun(run);
        if (!options.quiet) {
            std::printf("== run %u of %u, command line \"%s\" (%s)\n", run, options.runs, options.commandLine.c_str(),
                        silent ? "silent" : "dialog");
            PrintChip(sim->Chip(), options, "before");
        }
        const auto wallStart = std::chrono::steady_clock::now();
        const int64_t startNs = sim->NowNs();
        kdx::WorkflowStages stages;
        {
            const auto access = sim->ForUpdater();
            kdx::UpdateRun updateRun(system, access.connector, access.controlLibrary, access.dpAux);
            if (access.linuxCandidates) updateRun.chip.gfxCandidates = kdx::LinuxGfxCandidates();
            if (silent) kdx::RunSilentWorkflow(updateRun, stages);
            else kdx::RunConsoleDialog(updateRun, std::cin, std::cout, kdx::LanguageFromEnvironment());
            result = updateRun.resultCode;
        }
        const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();
        const int64_t durationNs = sim->NowNs() - startNs;
        sim->EndRun();
        if (!options.quiet) {
            PrintSummary(*sim, options, silent ? &stages : nullptr, result, durationNs, wall);
            PrintChip(sim->Chip(), options, "after");
        }
    }
    if (!options.quiet && options.chaos) PrintChaos(sim->ChaosState());
    sim->Finish();
    return result;
}
