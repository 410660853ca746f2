// The GfxLib backend over Intel's Graphics Control Library (ControlLib.dll), for drivers
// that no longer register the COM class: every elementary transfer is one AUX access on a
// display output of the library. The device ID is the output's place in the enumeration
// (1 for the first output of the first adapter), valid for the rest of the run.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "gfx/aux_transfer_lib.h"
#include "platform/clock.h"
#include "platform/control_library.h"

namespace kdx {

class GfxLibControlLibrary final : public AuxTransferLib {
public:
    // Counts the library reports are taken at most this far: the search never probes more
    // outputs than these.
    static constexpr uint32_t kMaxAdapters = 16;
    static constexpr uint32_t kMaxOutputsPerAdapter = 32;

    GfxLibControlLibrary(platform::ControlLibraryLoader& loader, platform::Clock& clock);
    ~GfxLibControlLibrary();
    GfxLibControlLibrary(const GfxLibControlLibrary&) = delete;
    GfxLibControlLibrary& operator=(const GfxLibControlLibrary&) = delete;

    int32_t Initialize(WText& log) override;
    int32_t FindDevice(uint32_t& deviceId, uint32_t address, WText& log) override;

    // The library's own result of the last call that failed, 0 while none has.
    platform::ctl::Result LastLibraryResult() const { return lastLibraryResult_; }

private:
    // One AUX access on the output the device ID names.
    int32_t Transfer(uint32_t deviceId, uint32_t command, uint32_t address, std::span<uint8_t> data) override;

    // ctlClose on the library's handle and unload the library.
    void Shutdown();
    // Lists the outputs of every adapter, in order, into outputs_; false when the library
    // refused to list the adapters.
    bool ListOutputs();
    int32_t Failed(platform::ctl::Result result);

    platform::ControlLibraryLoader& loader_;
    std::unique_ptr<platform::ControlLibrary> library_;
    platform::ctl::ApiHandle api_ = nullptr;
    std::vector<platform::ctl::OutputHandle> outputs_;  // device ID k names outputs_[k - 1]
    platform::ctl::Result lastLibraryResult_ = platform::ctl::kSuccess;
};

}  // namespace kdx
