#include "app/dialog_steps.h"

#include "app/workflow.h"
#include "chip/chip_identity.h"
#include "chip/isp_procedure.h"
#include "package/images.h"

namespace kdx {

const DialogSteps& UpdateSteps() {
    static const DialogSteps steps{
        [](UpdateRun& run) { return LoadImages(run.chip, run.resultCode, run.newVersionText); },
        [](UpdateRun& run) { return OpenAdapter(run); },
        [](UpdateRun& run) {
            return CheckChip(run.chip, run.resultCode, run.currentVersionText, run.chipVersionText);
        },
        [](UpdateRun& run) { return RunIspProcedure(run.chip, run.resultCode); },
    };
    return steps;
}

}  // namespace kdx
