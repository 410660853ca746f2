// The ISP programming sequence: ISP entry, driver download, mailbox, flash identification,
// erase, write, version comparison and, always last, the end of the ISP mode.
#pragma once

#include <cstdint>

#include "chip/chip_context.h"

namespace kdx {
bool RunIspProcedure(ChipContext& context, int32_t& resultCode);
}
