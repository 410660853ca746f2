// PLACEHOLDER: replaced by the chip identification and the ISP programming sequence.
#include "chip/chip_identity.h"
#include "chip/isp_procedure.h"

namespace kdx {

bool CheckChip(ChipContext&, int32_t& resultCode, WText&, WText&) {
    resultCode = 30;
    return false;
}

bool RunIspProcedure(ChipContext&, int32_t& resultCode) {
    resultCode = 10;
    return false;
}

}  // namespace kdx
