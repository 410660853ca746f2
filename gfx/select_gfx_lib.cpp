// PLACEHOLDER: replaced by the real selection.
#include "gfx/select_gfx_lib.h"

#include "chip/chip_context.h"

namespace kdx {

int32_t SelectGfxLib(ChipContext& context, WText& report) {
    context.activeAdapter = &context.intelBackend;
    report.clear();
    return kSelectNoLibrary;
}

}  // namespace kdx
