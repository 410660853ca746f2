// PLACEHOLDER: replaced by the ISP programming sequence (declaration only, as the update
// dialog calls it).
#pragma once

#include <cstdint>

#include "chip/chip_context.h"

namespace kdx {

bool RunIspProcedure(ChipContext& context, int32_t& resultCode);

}  // namespace kdx
