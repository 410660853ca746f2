// The adapter-neutral AUX interface. Everything above it (the command channel, the
// mailbox, chip identification) reaches the chip only through these six operations on the
// one active adapter of the ChipContext.
#pragma once

#include <cstdint>
#include <span>

#include "platform/wtext.h"

namespace kdx {

// Results of the adapter operations; 0 is success, any other value not listed here is
// the driver's own status, passed through unchanged.
namespace gfx {
inline constexpr int32_t kOk = 0;
inline constexpr int32_t kNotSupportedStop = 2;   // FindDevice: a connection said "not supported"
inline constexpr int32_t kSearchFailure = 3;      // FindDevice: stop the selection
inline constexpr int32_t kNotSupported = 5;       // FindDevice: nothing answered; transfer: driver status 5
inline constexpr int32_t kInvalidArgument = 13;   // missing buffer, zero length, reply over capacity
inline constexpr int32_t kMalformedReply = 15;    // reply malformed or not the expected one
inline constexpr int32_t kInitFailed = 1001;      // Initialize: no driver interface
inline constexpr int32_t kDriverCallFailed = 1002;  // the driver call failed without a status word
inline constexpr int32_t kDeferred = 1003;        // the driver kept deferring the transfer
inline constexpr int32_t kLibraryCallFailed = 1004;  // a Control Library call failed (its code is kept)
inline constexpr int32_t kNotElevated = 1005;     // the Control Library refused a write: not administrator
inline constexpr int32_t kNoInterface = -1;       // a transfer without a driver interface

// AUX request command codes (bit 3 native; for I2C-over-AUX bit 2 middle-of-transaction,
// bits 1-0 write 00 / read 01).
inline constexpr uint32_t kI2cWrite = 0;
inline constexpr uint32_t kI2cRead = 1;
inline constexpr uint32_t kI2cWriteMot = 4;
inline constexpr uint32_t kI2cReadMot = 5;
inline constexpr uint32_t kNativeWrite = 8;
inline constexpr uint32_t kNativeRead = 9;

// One elementary AUX transfer moves at most 16 data bytes.
inline constexpr size_t kAuxMaxPayload = 16;
}  // namespace gfx

class GfxLib {
public:
    virtual int32_t Initialize(WText& log) = 0;
    virtual int32_t FindDevice(uint32_t& deviceId, uint32_t address, WText& log) = 0;
    virtual int32_t I2cWrite(uint32_t deviceId, uint32_t address, std::span<const uint8_t> data) = 0;
    // The buffer's size is the capacity. On success `count` is the number of reply bytes
    // assembled and the buffer holds the first min(count, capacity) of them.
    virtual int32_t I2cRead(uint32_t deviceId, uint32_t address, std::span<uint8_t> buffer, int32_t& count,
                            WText& diagnostic) = 0;
    virtual int32_t NativeWrite(uint32_t deviceId, uint32_t dpcdAddress, std::span<const uint8_t> data) = 0;
    virtual int32_t NativeRead(uint32_t deviceId, uint32_t dpcdAddress, std::span<uint8_t> buffer) = 0;

    // The largest block a caller hands to one transfer operation.
    int32_t MaxBlockLength = 131;

protected:
    // Backends are destroyed only as their concrete type, by their owner.
    ~GfxLib() = default;
};

}  // namespace kdx
