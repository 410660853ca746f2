// Flash operations through the ISP driver's mailbox other than the write itself: the flash
// identifier, the erase, reading bytes back, the installed version and the closing request.
#pragma once

#include <cstdint>
#include <span>

#include "chip/chip_context.h"
#include "platform/wtext.h"

namespace kdx {

// Asks for the flash identifier. The identifier is stored whenever a reply was read, even
// when the result is false; errorText receives the detail of a failure.
bool GetFlashId(ChipContext& context, uint16_t& flashId, WText& errorText);

// Erases the whole flash and waits for the acknowledgement, reporting (poll, 150).
bool EraseFlash(ChipContext& context);

// Ends the ISP mode; the chip then boots what its flash holds. A posting that the driver
// failed is made again, up to three postings; a missing acknowledgement never re-posts.
bool EndIsp(ChipContext& context);

// Reads 3 bytes at a flash address (an image offset).
bool ReadFlash(ChipContext& context, uint32_t address, std::span<uint8_t, 3> destination);

// The firmware version the flash holds where the image keeps its own; 0 on failure.
uint32_t ReadFirmwareVersion(ChipContext& context);

}  // namespace kdx
