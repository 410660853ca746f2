// Speaks to a driver interface record by record, the way a backend does (I2C-over-AUX
// writes in pieces of 16 with the middle-of-transaction bit on all but the last, a reply
// read as a 2-byte header and its continuation, native transfers in pieces of 16), so
// that the simulator itself can be exercised without the updater's own backend.
#pragma once

#include <algorithm>
#include <cstdint>
#include <span>
#include <vector>

#include "gfx/aux_request.h"
#include "gfx/gfx_lib.h"
#include "platform/driver_interface.h"
#include "sim/ddc_port.h"

namespace kdx::sim {

class RecordClient {
public:
    static constexpr uint32_t kAddressByte = 0x6E;

    RecordClient(platform::DriverInterface& driver, uint32_t deviceId) : driver_(driver), deviceId_(deviceId) {}

    // One elementary transfer; `data` is sent (writes) or filled (reads). Returns the status.
    uint32_t Transfer(uint32_t command, uint32_t address, std::span<uint8_t> data) {
        gfx::AuxRequest request;
        request.SetDeviceId(deviceId_);
        request.SetCommand(command);
        request.SetLength(static_cast<uint32_t>(data.size()));
        request.SetAddress(address);
        const bool read = command == gfx::kI2cRead || command == gfx::kI2cReadMot || command == gfx::kNativeRead;
        if (!read) std::copy_n(data.begin(), std::min(data.size(), gfx::kAuxMaxPayload), request.Data().begin());
        uint32_t status = ~0u;
        hresult_ = read ? driver_.CallRead(request.Record(), status) : driver_.CallWrite(request.Record(), status);
        if (read) std::copy_n(request.Data().begin(), std::min(data.size(), gfx::kAuxMaxPayload), data.begin());
        return status;
    }

    uint32_t I2cWrite(std::span<const uint8_t> packet) {
        for (size_t at = 0; at < packet.size(); at += gfx::kAuxMaxPayload) {
            std::vector<uint8_t> piece(packet.begin() + static_cast<ptrdiff_t>(at),
                                       packet.begin() + static_cast<ptrdiff_t>(std::min(packet.size(), at + gfx::kAuxMaxPayload)));
            const bool last = at + gfx::kAuxMaxPayload >= packet.size();
            if (const uint32_t s = Transfer(last ? gfx::kI2cWrite : gfx::kI2cWriteMot, kAddressByte, piece)) return s;
        }
        return 0;
    }

    // Reads one reply: the header, then as many bytes as its length byte announces.
    uint32_t I2cReadReply(std::vector<uint8_t>& reply) {
        reply.assign(2, 0);
        if (const uint32_t s = Transfer(gfx::kI2cReadMot, kAddressByte, reply)) return s;
        const int total = static_cast<int>(reply[1]) - 125;
        for (int remaining = total - 2; remaining > 0;) {
            std::vector<uint8_t> piece(static_cast<size_t>(std::min<int>(remaining, gfx::kAuxMaxPayload)));
            remaining -= static_cast<int>(piece.size());
            if (const uint32_t s = Transfer(remaining > 0 ? gfx::kI2cReadMot : gfx::kI2cRead, kAddressByte, piece)) return s;
            reply.insert(reply.end(), piece.begin(), piece.end());
        }
        return 0;
    }

    // A host command message: 51, 80|n, C2 00 00, ll, opcode, arguments, checksum.
    static std::vector<uint8_t> Command(uint8_t opcode, std::span<const uint8_t> args = {}) {
        return DdcPort::Frame(DdcPort::kHostSource, opcode, args, DdcPort::kAddressByte);
    }

    uint32_t NativeWrite(uint32_t address, std::span<const uint8_t> data) {
        for (size_t at = 0; at < data.size(); at += gfx::kAuxMaxPayload) {
            std::vector<uint8_t> piece(data.begin() + static_cast<ptrdiff_t>(at),
                                       data.begin() + static_cast<ptrdiff_t>(std::min(data.size(), at + gfx::kAuxMaxPayload)));
            if (const uint32_t s = Transfer(gfx::kNativeWrite, address + static_cast<uint32_t>(at), piece)) return s;
        }
        return 0;
    }

    uint32_t NativeRead(uint32_t address, std::span<uint8_t> out) {
        for (size_t at = 0; at < out.size(); at += gfx::kAuxMaxPayload) {
            const auto piece = out.subspan(at, std::min(out.size() - at, gfx::kAuxMaxPayload));
            if (const uint32_t s = Transfer(gfx::kNativeRead, address + static_cast<uint32_t>(at), piece)) return s;
        }
        return 0;
    }

    int32_t LastHresult() const { return hresult_; }

private:
    platform::DriverInterface& driver_;
    uint32_t deviceId_;
    int32_t hresult_ = 0;
};

}  // namespace kdx::sim
