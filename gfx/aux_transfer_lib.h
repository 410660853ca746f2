// What every backend shares: the four transfers as the transfer rules over the backend's
// own elementary AUX transfer, and the search that sends each reachable connection the
// chip's presence probe. A backend adds only how one transfer reaches the wire and how it
// names its connections.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>

#include "gfx/gfx_lib.h"
#include "platform/clock.h"

namespace kdx {

class AuxTransferLib : public GfxLib {
public:
    int32_t I2cWrite(uint32_t deviceId, uint32_t address, std::span<const uint8_t> data) override;
    int32_t I2cRead(uint32_t deviceId, uint32_t address, std::span<uint8_t> buffer, int32_t& count,
                    WText& diagnostic) override;
    int32_t NativeWrite(uint32_t deviceId, uint32_t dpcdAddress, std::span<const uint8_t> data) override;
    int32_t NativeRead(uint32_t deviceId, uint32_t dpcdAddress, std::span<uint8_t> buffer) override;

protected:
    explicit AuxTransferLib(platform::Clock& clock) : clock_(clock) {}
    ~AuxTransferLib() = default;

    // Called once as each operation begins, before its first transfer.
    virtual void BeginOperation(uint32_t deviceId) { (void)deviceId; }
    // One elementary transfer of data.size() bytes (1 to 16) with an AUX request command code
    // at `address`: a write sends `data`; a read leaves the transfer's data area in `data`,
    // whatever the result (cleared before the transfer, so a failed piece reads as zeros).
    virtual int32_t Transfer(uint32_t deviceId, uint32_t command, uint32_t address, std::span<uint8_t> data) = 0;

    // A connection that cannot be probed: the rest of its report line, and whether the
    // search ends there (with 3: no other connection could be reached either).
    struct Unreachable {
        WText text;
        bool stopsSearch = false;
    };
    // How one backend's search reads: the start of a connection's report line, what keeps
    // a connection from being probed, and the probe results that end the search at once
    // (they complete the log and give the status).
    struct SearchRules {
        std::function<WText(uint32_t deviceId)> lineStart;
        std::function<std::optional<Unreachable>(uint32_t deviceId)> reach;
        std::function<std::optional<int32_t>(int32_t probeResult, WText& log)> stopOn;
        std::function<WText(int32_t probeResult)> failureText;
    };
    // Probes the connections `first`..`last` in order, one report line each, appending to
    // `log`. The first that acknowledges is the chip's: 0 with `deviceId` set. Otherwise
    // `deviceId` is 0 and the result is 5 after "  ==> No available connection was found!".
    int32_t SearchConnections(uint32_t first, uint32_t last, uint32_t address, uint32_t& deviceId, WText& log,
                              const SearchRules& rules);

    platform::Clock& clock_;

private:
    class Channel;
};

}  // namespace kdx
