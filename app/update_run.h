// What one update run owns, whatever shows it: the chip context, the result code and the
// three version texts. The Windows dialog, the terminal dialog and the silent run each
// hold one.
#pragma once

#include <cstdint>

#include "chip/result_code.h"
#include "chip/chip_context.h"
#include "platform/wtext.h"

namespace kdx {

struct UpdateRun {
    UpdateRun(platform::System& system, platform::DriverConnector& connector,
              platform::ControlLibraryLoader& controlLibrary, platform::DpAuxSystem& dpAux = platform::SystemDpAux())
        : chip(system, connector, controlLibrary, dpAux) {}

    ChipContext chip;
    int32_t resultCode = UnexpectedError;
    WText newVersionText;
    WText currentVersionText;
    WText chipVersionText;
};

}  // namespace kdx
