// The DPCD mailbox of the running ISP driver: where it lies, how requests are posted,
// how acknowledgements and data replies are collected and how the reply buffer is freed.
//
// Window descriptor (12 bytes, little-endian) at the address that DPCD 0x40C holds:
//   0 cmdBufferAddr (4) | 4 cmdBufferSize (2) | 6 replyBufferAddr (4) | 10 replyBufferSize (2)
// Request block at cmdBufferAddr: L | code | parameters | XOR of bytes 0..L-2. Byte 0 is
// written last: it is what makes the driver take the request.
// Replies at replyBufferAddr: present while byte 0 is non-zero; the acknowledgement is
// 03 0C F1; a data reply comes in packets of a count byte and up to 15 bytes.
#pragma once

#include <cstdint>
#include <span>

#include "chip/chip_context.h"
#include "platform/wtext.h"

namespace kdx {

namespace mailbox {
inline constexpr uint32_t kWindowPointerAddr = 0x40C;
inline constexpr size_t kDescriptorBytes = 12;
// The longest request block (GetFlashId, 9 bytes) and the 8-byte block header must lie
// below the lower flag, which is the last byte of the lower half.
inline constexpr uint16_t kMinCmdBufferSize = 20;
}  // namespace mailbox

// Reads DPCD 0x40C and the window descriptor it points to into context.mailbox. On
// failure errorText is replaced by the detail of the failure.
bool GetDpcdBufferAddr(ChipContext& context, WText& errorText);

// Posts one request block (byte 0 its length L) at cmdBufferAddr: the body first, then L.
bool SendRequest(ChipContext& context, std::span<const uint8_t> block);

// The acknowledgement wait; its uses differ only in these values.
struct AckWaitParameters {
    uint16_t initialPauseMs;
    int polls;
    uint16_t failedReadPauseMs;
    uint16_t emptyReplyPauseMs;
    uint16_t fullReadPauseMs;
    bool successWhenPollsRunOut;
    bool reportProgress;  // (poll n, polls) after every poll n below the limit
};

bool WaitForAck(ChipContext& context, const AckWaitParameters& parameters);
bool WaitWriteAck(ChipContext& context);

// Clears byte 0 of the reply buffer and checks that it reads 0.
bool ReleaseReply(ChipContext& context);
// The same for the first four 16-byte packets of the reply buffer.
bool ReleaseReplyPackets(ChipContext& context);

// Waits for a ReadFlash data reply of destination.size() bytes and unpacks its packets
// into destination. The reply stays in place.
bool ReadReplyData(ChipContext& context, std::span<uint8_t> destination);

}  // namespace kdx
