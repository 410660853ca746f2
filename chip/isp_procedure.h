// The ISP programming sequence: ISP entry, driver download and start, mailbox window,
// flash identification, erase, write, version check, and always the closing request.
#pragma once

#include <cstdint>

#include "chip/chip_context.h"

namespace kdx {

// Sets resultCode to 10 at the start, 20 once the flash is identified and 0 when the
// version read back equals the image's. On failure one message goes to the debugger output.
bool RunIspProcedure(ChipContext& context, int32_t& resultCode);

}  // namespace kdx
