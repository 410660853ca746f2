#include "app/workflow.h"

#include "chip/chip_identity.h"
#include "chip/isp_procedure.h"
#include "gfx/select_gfx_lib.h"
#include "package/images.h"

namespace kdx {

bool OpenAdapter(UpdateRun& run, bool reportNotFound) {
    WText report;
    // Only a search failure stops the run here. With no library or no connection the chip
    // check decides, and reads nothing, so a PC without the driver or the chip ends with
    // NotTarget there.
    const int32_t status = SelectGfxLib(run.chip, report);
    if (status == kSelectFound) return true;
    if (status != kSelectStop) {
        if (reportNotFound) run.chip.system.debug.Write(report);
        return true;
    }
    run.chip.system.debug.Write(report);
    run.resultCode = NotTarget;
    return false;
}

WorkflowSteps DefaultWorkflowSteps() {
    return WorkflowSteps{
        [](UpdateRun& run) { return LoadImages(run.chip, run.resultCode, run.newVersionText); },
        [](UpdateRun& run) { return OpenAdapter(run); },
        [](UpdateRun& run) { return CheckChip(run.chip, run.resultCode, run.currentVersionText, run.chipVersionText); },
        [](UpdateRun& run) { return RunIspProcedure(run.chip, run.resultCode); },
    };
}

void RunSilentWorkflow(UpdateRun& run, WorkflowStages& stages, const WorkflowSteps& steps) {
    stages = WorkflowStages{};
    run.resultCode = UnexpectedError;
    stages.imagesLoaded = steps.loadImages(run);
    if (!stages.imagesLoaded) return;
    stages.adapterOpened = steps.openAdapter(run);
    if (!stages.adapterOpened) return;
    stages.chipChecked = steps.checkChip(run);
    if (!stages.chipChecked) return;
    stages.ispStarted = true;
    // The procedure leaves its outcome in the result code; its flag adds nothing.
    steps.runIspProcedure(run);
}

void RunSilentWorkflow(UpdateRun& run, WorkflowStages& stages) {
    RunSilentWorkflow(run, stages, DefaultWorkflowSteps());
}

void RunSilentWorkflow(UpdateRun& run) {
    WorkflowStages stages;
    RunSilentWorkflow(run, stages);
}

}  // namespace kdx
