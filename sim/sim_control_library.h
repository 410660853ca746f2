// The simulated Graphics Control Library: one adapter with four display outputs, the
// outputs standing for the simulated driver's connections 0x0C..0x0F, so that the chip is on
// the output that --device-id names. Every AUX access becomes one call of the simulated
// driver with the request command code it stands for (native 8/9, I2C-over-AUX 0/1, with
// the middle-of-transaction flag 4/5), so it is timed, traced and faulted as the COM
// driver's calls are. Like the real library it retries deferrals itself.
//
// Its functions are plain C functions, as the DLL exports them: they reach the one library
// of the process (the latest built) and refuse handles it did not give out.
#pragma once

#include <array>
#include <cstdint>
#include <memory>

#include "platform/control_library.h"
#include "sim/faults.h"
#include "sim/sim_driver.h"

namespace kdx::sim {

class SimControlLibrary {
public:
    static constexpr uint32_t kOutputCount = 4;
    // Failures are the library's code 0x40010000 with the simulated driver's status in the
    // low bits (0x40010018: the sink NACKed); 0x40010001: ctlInit refused.
    static constexpr platform::ctl::Result kFailureBase = 0x40010000;
    static constexpr platform::ctl::Result kInitRefused = kFailureBase | 1;
    static constexpr platform::ctl::Result kInvalidRequest = kFailureBase | SimDriver::kStatusInvalidRequest;
    // Deferred calls the library repeats before it gives up.
    static constexpr int kDeferralRetries = 7;

    SimControlLibrary(SimDriver& driver, const Faults& faults);
    ~SimControlLibrary();
    SimControlLibrary(const SimControlLibrary&) = delete;
    SimControlLibrary& operator=(const SimControlLibrary&) = delete;

    // Loads the library, unless the fault no-controllib says it is not installed.
    platform::ControlLibraryLoader& Loader();
    // The five exports.
    static const platform::ctl::Functions& Functions();

    platform::ctl::Result Init(platform::ctl::InitArgs* args, platform::ctl::ApiHandle* api);
    platform::ctl::Result Close(platform::ctl::ApiHandle api);
    platform::ctl::Result EnumerateDevices(platform::ctl::ApiHandle api, uint32_t* count,
                                           platform::ctl::AdapterHandle* adapters);
    platform::ctl::Result EnumerateDisplayOutputs(platform::ctl::AdapterHandle adapter, uint32_t* count,
                                                  platform::ctl::OutputHandle* outputs);
    platform::ctl::Result AuxAccess(platform::ctl::OutputHandle output, platform::ctl::AuxAccessArgs* args);

private:
    class LibraryLoader;

    platform::ctl::ApiHandle ApiHandle() const;
    platform::ctl::AdapterHandle AdapterHandle() const;
    platform::ctl::OutputHandle OutputHandle(uint32_t index) const;

    SimDriver& driver_;
    const Faults& faults_;
    bool initialized_ = false;
    // Handles are the addresses of these bytes: compared, never followed.
    char apiTag_ = 0;
    char adapterTag_ = 0;
    std::array<char, kOutputCount> outputTags_{};
    std::unique_ptr<LibraryLoader> loader_;
};

}  // namespace kdx::sim
