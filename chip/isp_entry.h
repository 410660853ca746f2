// Entry into the chip's in-system-programming mode and the download of the ISP driver
// program into chip memory over the command port.
#pragma once

#include <array>
#include <cstdint>

#include "chip/chip_context.h"

namespace kdx {

// One complete command packet with its own length, kept as the chip expects it:
//   byte 0        N, the number of bytes sent (packet plus checksum)
//   bytes 1..N-1  the packet from the source byte 0x51 through the last argument
//   byte N        checksum slot, recomputed for the I2C address byte before every send
struct CommandTable {
    static constexpr size_t kCapacity = 11;
    std::array<uint8_t, kCapacity> bytes{};
};

// Opcode 0x09: first step into ISP mode.
extern CommandTable IspEntryCommand1;
// Opcode 0x20 with argument 0x00: second step into ISP mode.
extern CommandTable IspEntryCommand2;
// Opcode 0x1D at chip address 0x1800: start the downloaded driver at its first byte.
extern CommandTable IspDriverStartCommand;

// Recomputes the checksum slot, writes the command and waits for the acknowledgement.
bool SendCommandTable(ChipContext& context, CommandTable& table);

// Writes the ISP driver code into chip memory from the load base on, in chunks of 117
// bytes, each acknowledged; reports progress (bytes sent, code length).
bool DownloadIspDriver(ChipContext& context);

}  // namespace kdx
