// kdx4610-update: the updater on Linux. The same workflow and images as the Windows
// program, over the kernel's DisplayPort AUX and I2C-over-AUX nodes; the dialog in the
// terminal, or silent, or read only (--check, --list). Run as root.
//
// While the ISP procedure runs the chip's flash may be half written: the stop signals are
// held, logind is asked to keep the machine awake, and only one instance may get that far.
#include <unistd.h>

#include <csignal>
#include <iostream>
#include <string>
#include <string_view>
#include <vector>

#include "app/console_dialog.h"
#include "app/dialog_steps.h"
#include "app/posix/linux_texts.h"
#include "app/posix/stage_progress.h"
#include "app/posix/update_options.h"
#include "app/update_run.h"
#include "app/workflow.h"
#include "chip/chip_identity.h"
#include "package/images.h"
#include "platform/control_library.h"
#include "platform/debug_output.h"
#include "platform/driver_interface.h"
#include "platform/posix/held_signals.h"
#include "platform/posix/logind_inhibitor.h"
#include "platform/posix/update_lock.h"
#include "platform/system.h"

namespace kdx::linux_app {

namespace {

constexpr char kProgram[] = "kdx4610-update";

// The stages' failure messages, the debugger's text on Windows: each line as it is, on
// standard error.
class StderrLines final : public platform::DebugOutput {
public:
    void Write(WTextView text) override {
        std::string lines = ToUtf8(text);
        std::erase(lines, '\r');
        if (!lines.empty() && lines.back() != '\n') lines += '\n';
        std::cerr << lines << std::flush;
    }
};

// The ISP span on Linux: stop signals held, logind's inhibitor lock taken (best effort).
class LinuxIspGuard final : public platform::IspGuard {
public:
    LinuxIspGuard(std::function<std::string()> interruptAnswer, std::function<void(const std::string&)> noInhibitor)
        : signals_(std::move(interruptAnswer)), noInhibitor_(std::move(noInhibitor)) {}

    void Begin() override {
        signals_.Hold();
        std::string reason;
        if (!inhibitor_.Take(reason) && noInhibitor_) noInhibitor_(reason);
    }
    void End(bool) override {
        inhibitor_.Release();
        signals_.Release();
    }

private:
    platform::HeldSignals signals_;
    platform::LogindInhibitor inhibitor_;
    std::function<void(const std::string&)> noInhibitor_;
};

// The selection's report goes to standard error whenever it found no chip: the kernel
// options and the module it names are what a user of this program needs to know.
bool OpenAdapterReporting(UpdateRun& run) { return OpenAdapter(run, true); }

std::string Trimmed(WTextView text) {
    std::string line = ToUtf8(TrimW(text));
    std::erase(line, '\r');
    while (!line.empty() && line.back() == '\n') line.pop_back();
    return line;
}

int RunVersion(UpdateRun& run) {
    const bool loaded = LoadImages(run.chip, run.resultCode, run.newVersionText);
    std::cout << kProgram << " 1.58\n"
              << "installs KDX4610 firmware version "
              << (loaded ? Trimmed(run.newVersionText) : std::string("(unknown: the program's images are damaged)"))
              << '\n';
    return loaded ? 0 : run.resultCode;
}

// Read only: the steps before the ISP procedure, which only identify the chip.
int RunCheck(UpdateRun& run) {
    run.resultCode = UnexpectedError;
    if (!LoadImages(run.chip, run.resultCode, run.newVersionText)) {
        std::cout << "The program's firmware images are damaged: nothing can be installed.\n";
        return run.resultCode;
    }
    if (!OpenAdapter(run, true)) return run.resultCode;
    const bool wouldUpdate = CheckChip(run.chip, run.resultCode, run.currentVersionText, run.chipVersionText);
    const auto channels = run.chip.linuxBackend.Channels();
    const uint32_t id = run.chip.deviceId;
    const bool found = run.chip.activeAdapter != nullptr && id >= 1 && id <= channels.size();
    if (found) {
        std::cout << "Chip found on port " << id << " ("
                  << GfxLibLinuxDpAux::ChannelText(channels[id - 1]) << ")\n";
    }
    if (wouldUpdate || run.resultCode == UpToDate) {
        std::cout << "Installed firmware version: " << Trimmed(run.currentVersionText) << '\n';
    }
    std::cout << "Firmware version this program installs: " << Trimmed(run.newVersionText) << '\n';
    if (wouldUpdate) {
        run.resultCode = Success;
        std::cout << "An update would run.\n";
    } else if (run.resultCode == UpToDate) {
        std::cout << "The firmware is up to date; no update would run.\n";
    } else {
        std::cout << "No KDX4610 that this program can update was found.\n";
    }
    return run.resultCode;
}

// Every channel with both nodes, and whether the chip answers its presence probe there.
int RunList(UpdateRun& run) {
    GfxLibLinuxDpAux& backend = run.chip.linuxBackend;
    WText log;
    if (backend.Initialize(log) != gfx::kOk) {
        std::cerr << Trimmed(log) << '\n';
        return NotTarget;
    }
    const auto channels = backend.Channels();
    bool answered = false;
    for (uint32_t id = 1; id <= channels.size(); ++id) {
        const GfxLibLinuxDpAux::Channel& channel = channels[id - 1];
        WText line;
        const int32_t result = backend.ProbeChannel(id, run.chip.i2cAddress, line);
        if (result == gfx::kSearchFailure) {
            std::cerr << Trimmed(line) << '\n';
            return NotTarget;
        }
        answered = answered || result == gfx::kOk;
        std::cout << "Port " << id << ": " << channel.connector << "  /dev/drm_dp_aux" << channel.auxNumber
                  << "  /dev/i2c-" << channel.i2cNumber << "  \"" << channel.name << "\"  "
                  << (result == gfx::kOk ? "chip answers" : "no chip") << '\n';
    }
    return answered ? Success : NotTarget;
}

int Run(Mode mode) {
    const UiLanguage language = LanguageFromEnvironment();
    platform::System& real = platform::RealSystem();
    StderrLines debug;
    // Only the dialog shows progress; a silent run keeps track of it all the same, for the
    // answer to a stop signal.
    const bool drawing = mode == Mode::Dialog && isatty(STDOUT_FILENO) == 1;
    std::ostream discard(nullptr);
    StageProgress progress(mode == Mode::Dialog ? std::cout : discard, real.clock, drawing, language);
    LinuxIspGuard guard(
        [&] {
            // Off the progress line first, when both go to the terminal.
            const std::string lead = drawing && isatty(STDERR_FILENO) == 1 ? "\n" : "";
            return lead + kProgram + ": " + CannotInterruptText(progress.SecondsLeft(), language) + "\n";
        },
        [&](const std::string& reason) {
            if (mode == Mode::Dialog) std::cout << NoInhibitorText(reason, language) << '\n' << std::flush;
        });
    platform::System system{real.clock, debug, real.resources, &guard};
    UpdateRun run(system, platform::SystemDriverConnector(), platform::SystemControlLibraryLoader(),
                  platform::SystemDpAux());
    run.chip.gfxCandidates = LinuxGfxCandidates();

    if (mode == Mode::Version) return RunVersion(run);

    // Before anything reaches the adapter: a second instance touches nothing.
    platform::UpdateLock lock;
    std::string holder;
    switch (lock.Take(platform::UpdateLock::kDefaultPath, holder)) {
        case platform::UpdateLock::Outcome::Taken:
            break;
        case platform::UpdateLock::Outcome::Busy:
            std::cerr << kProgram << ": another update is running (" << holder << "); nothing was done.\n";
            return kExitBusy;
        case platform::UpdateLock::Outcome::Failed:
            std::cerr << kProgram << ": cannot make sure no other update runs: " << holder << "; nothing was done.\n";
            return kExitBusy;
    }

    switch (mode) {
        case Mode::Check:
            return RunCheck(run);
        case Mode::List:
            return RunList(run);
        case Mode::Silent: {
            WorkflowSteps steps = DefaultWorkflowSteps();
            steps.openAdapter = OpenAdapterReporting;
            WorkflowStages stages;
            run.chip.progressSink = &progress;
            RunSilentWorkflow(run, stages, steps);
            return run.resultCode;
        }
        default: {
            DialogSteps steps = UpdateSteps();
            steps.openAdapter = OpenAdapterReporting;
            RunConsoleDialog(run, std::cin, std::cout, language, steps, progress);
            return run.resultCode;
        }
    }
}

}  // namespace

}  // namespace kdx::linux_app

int main(int argc, char** argv) {
    using namespace kdx::linux_app;
    // A reader that went away (kdx4610-update | head) must not end the program while it
    // writes the flash: output to it is lost instead.
    std::signal(SIGPIPE, SIG_IGN);
    const std::vector<std::string_view> arguments(argv + 1, argv + argc);
    const Options options = ParseOptions(arguments);
    switch (options.mode) {
        case Mode::Invalid:
            std::cerr << kProgram << ": " << options.error << "; try --help\n";
            return kExitUsage;
        case Mode::Help:
            std::cout << UsageText();
            return 0;
        default:
            return Run(options.mode);
    }
}
