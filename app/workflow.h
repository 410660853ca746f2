// The order of the update steps and the result code each leaves behind.
#pragma once

#include "app/update_run.h"

namespace kdx {

// Runs SelectGfxLib; only a search failure that stops the run (status 3) fails it, with
// the selection's report on the debugger output and result code 30.
bool OpenAdapter(UpdateRun& run);

// The silent workflow: 99, LoadImages, OpenAdapter, CheckChip, RunIspProcedure, stopping
// at the first failure. The outcome is in run.resultCode.
void RunSilentWorkflow(UpdateRun& run);

// The stages a run reached, for the simulator's summary. Filled by RunSilentWorkflow.
struct WorkflowStages {
    bool imagesLoaded = false;
    bool adapterOpened = false;
    bool chipChecked = false;
    bool ispStarted = false;
};
void RunSilentWorkflow(UpdateRun& run, WorkflowStages& stages);

}  // namespace kdx
