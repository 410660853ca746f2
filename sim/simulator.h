// One simulator session: the simulated driver and chip for one or more runs of the
// updater, with its trace and flash files. kdx4610-sim uses it directly; other programs
// get it as a Session through OpenSession.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/driver_interface.h"
#include "sim/chaos.h"
#include "sim/chip.h"
#include "sim/options.h"
#include "sim/run_record.h"
#include "sim/session.h"
#include "sim/sim_clock.h"
#include "sim/sim_control_library.h"
#include "sim/sim_driver.h"
#include "sim/sim_kernel.h"
#include "sim/trace.h"

namespace kdx::sim {

// The two images the updater carries and the simulated chip expects.
struct SimImages {
    std::vector<uint8_t> firmware;   // resource "BIN" 130
    std::vector<uint8_t> ispDriver;  // resource "BIN" 129
};

// From --firmware and --isp-driver, or else from the program's own resources.
bool LoadSimImages(const SimOptions& options, SimImages& images, std::string& error);

// The driver code the ISP loader must find in RAM, by the image's header rule; none for a
// truncated driver, which can never come up.
std::vector<uint8_t> DriverCodeOf(std::span<const uint8_t> image);

class Simulator final : public Session {
public:
    static std::unique_ptr<Simulator> Create(const SimOptions& options, const SimImages& images,
                                             platform::Clock& clock, platform::VirtualClock* virtualClock,
                                             std::string& error);

    platform::DriverConnector& Connector() override { return *connector_; }
    platform::ControlLibraryLoader& ControlLibrary() override { return controlLibrary_->Loader(); }
    platform::DpAuxSystem& DpAux() override { return *kernel_; }

    // What the updater finds on the simulated PC: with --backend com the driver's COM class
    // and no Control Library, with --backend igcl the Control Library and no COM class, with
    // --backend linux neither, and the kernel's nodes (linuxCandidates: the Linux candidates).
    struct UpdaterAccess {
        platform::DriverConnector& connector;
        platform::ControlLibraryLoader& controlLibrary;
        platform::DpAuxSystem& dpAux;
        bool linuxCandidates;
    };
    UpdaterAccess ForUpdater();
    void Finish() override;

    // Starts the record (and the trace's times) of run `index`, counted from 1.
    void BeginRun(uint32_t index);
    // Ends a run: the time until the next start of the updater passes (on the virtual
    // clock) and the chip finishes what is due by then, a restart after EndIsp included.
    void EndRun();
    const RunRecord& Record() const { return record_; }
    const SimChip& Chip() const { return *chip_; }
    SimChip& Chip() { return *chip_; }
    const SimKernel& Kernel() const { return *kernel_; }
    const Chaos& ChaosState() const { return chaos_; }
    uint64_t TotalCalls() const { return driver_->TotalCalls(); }
    bool FlashEqualsImage() const;
    // After EndRun: "no", or "yes, " and what became of the EndIsp that should have ended
    // the ISP mode (the summary's words).
    std::string LeftInIspMode() const;
    int64_t NowNs() const { return clock_.NowNs(); }

private:
    Simulator(const SimOptions& options, const SimImages& images, platform::Clock& clock,
              platform::VirtualClock* virtualClock);

    SimOptions options_;
    std::vector<uint8_t> image_;
    RunRecord record_;
    SimClock clock_;
    Chaos chaos_;
    TraceWriter trace_;
    std::unique_ptr<SimChip> chip_;
    std::unique_ptr<SimDriver> driver_;
    std::unique_ptr<SimDriverConnector> connector_;
    std::unique_ptr<SimDriverConnector> noComClass_;
    std::unique_ptr<SimControlLibrary> controlLibrary_;
    std::unique_ptr<SimKernel> kernel_;
    bool finished_ = false;
};

}  // namespace kdx::sim
