// Native AUX transfers of the mailbox operations: every read lands in the context's
// scratch buffer. Shared by the mailbox, flash and write operations.
#pragma once

#include <cstdint>
#include <span>

#include "chip/chip_context.h"

namespace kdx::mailbox_io {

// Reads `length` bytes at a DPCD address into the front of scratch; the adapter's result.
int32_t Read(ChipContext& context, uint32_t address, size_t length);
int32_t Write(ChipContext& context, uint32_t address, std::span<const uint8_t> data);
// DelayMs, skipped for a pause of 0.
void Pause(ChipContext& context, uint16_t ms);

}  // namespace kdx::mailbox_io
