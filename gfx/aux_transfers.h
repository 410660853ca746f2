// The transfer rules every GfxLib backend honours, written once over a backend's own
// elementary AUX transfer: I2C-over-AUX writes and reads and native writes and reads in
// pieces of at most 16 bytes, the DDC/CI reply assembly, and the chip's presence probe.
#pragma once

#include <cstdint>
#include <span>

#include "gfx/gfx_lib.h"
#include "platform/clock.h"

namespace kdx::gfx {

class AuxChannel {
public:
    // One elementary transfer of data.size() bytes (1 to 16) with an AUX request command code
    // at `address`: a write sends `data`; a read leaves the transfer's data area in `data`,
    // whatever the result (cleared before the transfer, so a failed piece reads as zeros).
    virtual int32_t Transfer(uint32_t command, uint32_t address, std::span<uint8_t> data) = 0;

protected:
    ~AuxChannel() = default;
};

// DDC/CI framing of an I2C-over-AUX reply: address byte, 0x80 | payload length, payload,
// checksum. The largest possible reply (length byte 0xFF) is 130 bytes.
inline constexpr size_t kReplyHeaderLength = 2;
inline constexpr size_t kLargestReply = 130;

// The checks on a reply's two header bytes, in their order: a reply longer than the
// capacity gives 13; a length byte below 0x7E, or a first byte other than the address
// byte, gives 15. On 0 `replyLength` is the frame's length (header, payload, checksum).
int32_t CheckReplyHeader(std::span<const uint8_t, kReplyHeaderLength> header, uint32_t address, size_t capacity,
                         size_t& replyLength);

int32_t WriteI2c(AuxChannel& channel, uint32_t address, std::span<const uint8_t> data);
int32_t ReadI2c(AuxChannel& channel, uint32_t address, std::span<uint8_t> buffer, int32_t& count);
int32_t WriteNative(AuxChannel& channel, uint32_t dpcdAddress, std::span<const uint8_t> data);
int32_t ReadNative(AuxChannel& channel, uint32_t dpcdAddress, std::span<uint8_t> buffer);

// The presence probe of one connection: 0 when it acknowledged, 15 when no valid
// acknowledgement came, or the result of the probe's write.
int32_t ProbeConnection(GfxLib& lib, platform::Clock& clock, uint32_t deviceId, uint32_t address);

// A search report's text for a connection whose probe failed: "N/A (0x0F)\r\n".
WText ProbeFailureText(int32_t result);

}  // namespace kdx::gfx
