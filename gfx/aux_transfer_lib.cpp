#include "gfx/aux_transfer_lib.h"

#include "gfx/aux_transfers.h"

namespace kdx {

// One operation's transfers, each handed to the backend with the operation's device ID.
class AuxTransferLib::Channel final : public gfx::AuxChannel {
public:
    Channel(AuxTransferLib& lib, uint32_t deviceId) : lib_(lib), deviceId_(deviceId) { lib_.BeginOperation(deviceId); }

    int32_t Transfer(uint32_t command, uint32_t address, std::span<uint8_t> data) override {
        return lib_.Transfer(deviceId_, command, address, data);
    }

private:
    AuxTransferLib& lib_;
    uint32_t deviceId_;
};

int32_t AuxTransferLib::I2cWrite(uint32_t deviceId, uint32_t address, std::span<const uint8_t> data) {
    Channel channel(*this, deviceId);
    return gfx::WriteI2c(channel, address, data);
}

int32_t AuxTransferLib::I2cRead(uint32_t deviceId, uint32_t address, std::span<uint8_t> buffer, int32_t& count,
                                WText&) {
    Channel channel(*this, deviceId);
    return gfx::ReadI2c(channel, address, buffer, count);
}

int32_t AuxTransferLib::NativeWrite(uint32_t deviceId, uint32_t dpcdAddress, std::span<const uint8_t> data) {
    Channel channel(*this, deviceId);
    return gfx::WriteNative(channel, dpcdAddress, data);
}

int32_t AuxTransferLib::NativeRead(uint32_t deviceId, uint32_t dpcdAddress, std::span<uint8_t> buffer) {
    Channel channel(*this, deviceId);
    return gfx::ReadNative(channel, dpcdAddress, buffer);
}

int32_t AuxTransferLib::SearchConnections(uint32_t first, uint32_t last, uint32_t address, uint32_t& deviceId,
                                          WText& log, const SearchRules& rules) {
    deviceId = 0;
    for (uint32_t id = first; id <= last && id >= first; ++id) {
        if (rules.reach) {
            if (const auto unreachable = rules.reach(id)) {
                log += rules.lineStart(id) + unreachable->text;
                if (unreachable->stopsSearch) return gfx::kSearchFailure;
                continue;
            }
        }
        const int32_t result = gfx::ProbeConnection(*this, clock_, id, address);
        log += rules.lineStart(id);
        if (result == gfx::kOk) {
            deviceId = id;
            log += u"OK\r\n";
            return gfx::kOk;
        }
        if (rules.stopOn) {
            if (const auto status = rules.stopOn(result, log)) return *status;
        }
        log += rules.failureText ? rules.failureText(result) : gfx::ProbeFailureText(result);
    }
    log += u"  ==> No available connection was found!\r\n";
    return gfx::kNotSupported;
}

}  // namespace kdx
