// The order of the update steps and the result code each leaves behind.
#pragma once

#include <functional>

#include "app/update_run.h"

namespace kdx {

// Runs SelectGfxLib; only a search failure that stops the run (status 3) fails it, with
// the selection's report on the debugger output and result code 30.
// With `reportNotFound` the report also goes out when no library started or no connection
// answered, for a program whose user has no other way to learn why (the Linux one: no AUX
// channel, i2c-dev not loaded).
bool OpenAdapter(UpdateRun& run, bool reportNotFound = false);

// The silent workflow: 99, LoadImages, OpenAdapter, CheckChip, RunIspProcedure, stopping
// at the first failure. The outcome is in run.resultCode.
void RunSilentWorkflow(UpdateRun& run);

// The stages a run reached, for the simulator's summary. Filled by RunSilentWorkflow:
// each of the first three when its step succeeded, ispStarted when the ISP procedure ran.
struct WorkflowStages {
    bool imagesLoaded = false;
    bool adapterOpened = false;
    bool chipChecked = false;
    bool ispStarted = false;
};
void RunSilentWorkflow(UpdateRun& run, WorkflowStages& stages);

// The four steps of a run. DefaultWorkflowSteps() gives the real ones; a harness may put
// its own in their place (for example an adapter step that binds another backend).
struct WorkflowSteps {
    std::function<bool(UpdateRun&)> loadImages;
    std::function<bool(UpdateRun&)> openAdapter;
    std::function<bool(UpdateRun&)> checkChip;
    std::function<bool(UpdateRun&)> runIspProcedure;
};
WorkflowSteps DefaultWorkflowSteps();
void RunSilentWorkflow(UpdateRun& run, WorkflowStages& stages, const WorkflowSteps& steps);

}  // namespace kdx
