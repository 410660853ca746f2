// The block-wise write of the firmware image into the erased flash through the mailbox.
//
// Per block: the WriteBlock request (03 10 13); the 8-byte block header in the lower half,
// announced by 8 in the lower flag; the prepared block (data, 00 00, CRC-16 high, low) split
// into the upper half (first L/2 bytes) and the lower half (the rest), each announced by its
// byte count in the half's flag; then the driver's acknowledgement and the reply release.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "chip/chip_context.h"

namespace kdx {

// CRC-16, polynomial 0x1021, MSB first, initial value 0x1021, no reflection, no final XOR:
// "123456789" gives 0x5E86.
uint16_t BlockCrc16(std::span<const uint8_t> data);

// The largest number of data bytes one block may carry through this window: what the
// command buffer holds (cmdBufferSize - 8), capped so that each half's byte count fits its
// 8-bit flag and the prepared block fits packetBuffer. 0 when the window cannot carry one.
size_t BlockDataLimit(const ChipContext& context);

struct PreparedBlock {
    size_t length = 0;  // L = data bytes + 4
    bool blank = false;  // every data byte 0xFF: nothing to program
};

// Copies the data into packetBuffer and appends 00 00 CRC-high CRC-low. Data longer than
// packetBuffer can take with its CRC field gives length 0.
PreparedBlock PrepareBlock(ChipContext& context, std::span<const uint8_t> data);

// Flash address (24 bits) and data length (32 bits), most significant byte first.
using BlockHeader = std::array<uint8_t, 8>;
BlockHeader MakeBlockHeader(uint32_t flashAddress, uint32_t dataLength);

// Writes the header at cmdBufferAddr and announces it in the lower flag.
bool SendBlockHeader(ChipContext& context, const BlockHeader& header);

// Sends the first `length` bytes of packetBuffer in the two halves, waits for the
// acknowledgement and frees the reply buffer.
bool WriteBlockData(ChipContext& context, size_t length);

// Writes source to the flash at image offset `start` on, block by block; `done` advances by
// every block's data length (blank blocks included) and goes to the sink with `total`.
bool WriteRegion(ChipContext& context, std::span<const uint8_t> source, uint32_t start, int32_t& done,
                 int32_t total);

// Writes the whole firmware image; true when at least one block was sent and every block
// sent was acknowledged.
bool WriteFirmware(ChipContext& context);

}  // namespace kdx
