// The texts kdx4610-update shows beyond the Windows dialog's, in English and Japanese.
#pragma once

#include <string>
#include <string_view>

#include "app/console_dialog.h"
#include "chip/chip_context.h"

namespace kdx::linux_app {

// "Writing the firmware"
std::string_view StageName(ProgressStage stage, UiLanguage language);
// The answer to the first stop signal during the ISP procedure.
std::string CannotInterruptText(int secondsLeft, UiLanguage language);
// Said in dialog mode when logind could not be asked to hold off sleep and shutdown.
std::string NoInhibitorText(std::string_view reason, UiLanguage language);

}  // namespace kdx::linux_app
