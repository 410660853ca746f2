// PLACEHOLDER: replaced by the chip identification (declaration only, as the update
// dialog calls it).
#pragma once

#include <cstdint>

#include "chip/chip_context.h"
#include "platform/wtext.h"

namespace kdx {

bool CheckChip(ChipContext& context, int32_t& resultCode, WText& currentVersionText, WText& chipVersionText);

}  // namespace kdx
