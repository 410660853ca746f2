// The four steps of an update run as the dialogs call them, so that the terminal dialog
// can be driven through every outcome by tests without a chip behind it.
#pragma once

#include <functional>

#include "app/update_run.h"

namespace kdx {

struct DialogSteps {
    std::function<bool(UpdateRun&)> loadImages;
    std::function<bool(UpdateRun&)> openAdapter;
    std::function<bool(UpdateRun&)> checkChip;
    std::function<bool(UpdateRun&)> runIspProcedure;
};

// LoadImages, OpenAdapter, CheckChip and RunIspProcedure on the run's chip context.
const DialogSteps& UpdateSteps();

}  // namespace kdx

#include <iosfwd>

#include "app/console_dialog.h"

namespace kdx {

// The terminal dialog with the given steps in place of the real ones, and with a progress
// view of the caller's in place of the one bar.
void RunConsoleDialog(UpdateRun& run, std::istream& in, std::ostream& out, UiLanguage language,
                      const DialogSteps& steps);
void RunConsoleDialog(UpdateRun& run, std::istream& in, std::ostream& out, UiLanguage language,
                      const DialogSteps& steps, ConsoleProgressView& progress);

}  // namespace kdx
