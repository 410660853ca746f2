// The GfxLib backend that reaches the DisplayPort AUX channel through the graphics
// driver's external COM interface: every elementary transfer is one AuxRequest record
// handed to the driver's read or write method.
#pragma once

#include <cstdint>
#include <span>

#include "gfx/aux_request.h"
#include "gfx/aux_transfer_lib.h"
#include "platform/clock.h"
#include "platform/driver_interface.h"

namespace kdx {

class GfxLibIntelSkylake final : public AuxTransferLib {
public:
    // A deferred write to this address is not retried: it is the mailbox's default
    // command-buffer address.
    static constexpr uint32_t kDefaultGuardedWriteAddress = 0x20000;

    GfxLibIntelSkylake(platform::DriverConnector& connector, platform::Clock& clock);
    ~GfxLibIntelSkylake();
    GfxLibIntelSkylake(const GfxLibIntelSkylake&) = delete;
    GfxLibIntelSkylake& operator=(const GfxLibIntelSkylake&) = delete;

    int32_t Initialize(WText& log) override;
    int32_t FindDevice(uint32_t& deviceId, uint32_t address, WText& log) override;

    // The presence probe of one connection: 0 when it acknowledged, 15 when no valid
    // acknowledgement came, or the result of the probe's write.
    int32_t ProbeDevice(uint32_t address, uint32_t deviceId);
    // The path of every elementary transfer, with the deferral retries.
    int32_t DriverTransfer(gfx::AuxRequest& record);
    // The 5 ms busy-wait after a deferred call.
    void SpinWait5ms();

    uint32_t GuardedWriteAddress = kDefaultGuardedWriteAddress;

private:
    // The record is cleared once as an operation begins and reused for its transfers.
    void BeginOperation(uint32_t deviceId) override;
    int32_t Transfer(uint32_t deviceId, uint32_t command, uint32_t address, std::span<uint8_t> data) override;

    platform::DriverConnector& connector_;
    gfx::AuxRequest record_;
};

}  // namespace kdx
