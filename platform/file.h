// Appending to a file by a relative name, as the diagnostic log does: open for read and
// write, shared with other openers, created when missing; write at the end in one write;
// close again.
#pragma once

#include <cstdint>
#include <span>

#include "platform/wtext.h"

namespace kdx::platform {

// Returns false when the file could not be opened; a failed write is not reported.
bool AppendToFile(WTextView relativeName, std::span<const uint8_t> bytes);

}  // namespace kdx::platform
