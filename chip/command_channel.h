// The chip's command port: DDC/CI-framed commands and replies carried as I2C-over-AUX
// transactions to the I2C address byte 0x6E, and the millisecond delay that paces every
// chip operation.
//
// Command packet (host to chip), k argument bytes:
//   51 | 80|(k+5) | C2 00 00 | ll=k+3 | op | args... | XOR(0x6E, bytes 0..6+k)
// Reply (chip to host), k payload bytes:
//   6E | 80|(k+5) | C2 00 00 | ll=k+3 | op | payload... | 0x50 XOR bytes 0..6+k
// The null message 6E 80 BE means the chip has nothing to report yet; the acknowledgement
// is 6E 85 C2 00 00 03 0C 76.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "chip/chip_context.h"

namespace kdx {

// Opcodes of the command channel and the ISP entry.
namespace opcode {
inline constexpr uint8_t kIspEntry1 = 0x09;
inline constexpr uint8_t kIspEntry2 = 0x20;
inline constexpr uint8_t kWriteMemory = 0x13;
inline constexpr uint8_t kStartDriver = 0x1D;
inline constexpr uint8_t kReadRegister = 0x06;
inline constexpr uint8_t kReadMemory = 0x52;
inline constexpr uint8_t kAck = 0x0C;
inline constexpr uint8_t kProbe = 0x0A;
}  // namespace opcode

// ms >= 20: sleep with the system timer resolution raised to 1 ms around it; below 20 ms
// a busy-wait on the performance counter.
void DelayMs(ChipContext& context, uint16_t ms);

// Frames and writes one command; false when I2cWrite failed or the frame length n = ll + 2
// would exceed 127 (at most 122 argument bytes).
bool SendCommand(ChipContext& context, uint8_t op, std::span<const uint8_t> args);

// The acknowledgement polls after a command (40 ms, then up to 20 attempts) and after an
// ISP driver chunk (at once, up to 50 attempts with at most 5 ms between them).
bool ReadAck(ChipContext& context);
bool ReadAckFast(ChipContext& context);

// Polls for a data reply; on success writes ll, op and the payload (k + 2 bytes) to the
// front of `out` and their number to `length`. A reply that does not fit `out` fails.
bool ReadReturnData(ChipContext& context, std::span<uint8_t> out, size_t& length);

// A 16-bit register, or 0xFFFFFFFF on any failure.
inline constexpr uint32_t kRegisterReadFailed = 0xFFFFFFFF;
uint32_t ReadRegister16(ChipContext& context, uint16_t address);

// Reads up to 127 bytes of chip memory; the reply's ll decides how many bytes come back.
// At most out.size() bytes are ever written; `copied` receives their number.
bool ReadChipMemory(ChipContext& context, uint32_t address, uint32_t length, std::span<uint8_t> out,
                    size_t& copied);

// The 10 bytes of chip memory from 0x1B503: the same content as the DPCD block at 0x503.
bool ReadVersionBlock(ChipContext& context, std::span<uint8_t, 10> out);

}  // namespace kdx
