// PLACEHOLDER: replaced by the real workflow, command line and result-code names.
#include "app/command_line.h"
#include "app/result_code.h"
#include "app/workflow.h"

namespace kdx {

const char* ResultCodeName(int32_t) { return "Unknown"; }
bool IsSilentCommandLine(WTextView) { return false; }
bool OpenAdapter(UpdateRun&) { return false; }
void RunSilentWorkflow(UpdateRun& run) { run.resultCode = UnexpectedError; }
void RunSilentWorkflow(UpdateRun& run, WorkflowStages&) { RunSilentWorkflow(run); }

}  // namespace kdx
