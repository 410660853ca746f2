// PLACEHOLDER: replaced by the real chip identification.
#include "chip/chip_identity.h"

namespace kdx {

bool CheckChip(ChipContext&, int32_t& resultCode, WText&, WText&) {
    resultCode = 30;
    return false;
}

}  // namespace kdx
