// PLACEHOLDER: replaced by the real ISP procedure.
#include "chip/isp_procedure.h"

namespace kdx {

bool RunIspProcedure(ChipContext&, int32_t& resultCode) {
    resultCode = 99;
    return false;
}

}  // namespace kdx
