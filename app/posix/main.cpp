// The updater on Linux: the same run as on Windows, with the operating system's layer of
// this platform. There is no graphics driver interface here, so a run ends as on a PC
// without the driver; kdx4610-sim runs the same workflow against the simulated chip.
// Dialog mode is the update dialog in the terminal.
#include <iostream>
#include <string>

#include "app/command_line.h"
#include "app/console_dialog.h"
#include "app/update_run.h"
#include "app/workflow.h"
#include "platform/control_library.h"
#include "platform/system.h"

int main(int argc, char** argv) {
    // The command-line text after the program name, as Windows hands it to a windowed
    // program: the arguments joined by blanks.
    std::string line;
    for (int i = 1; i < argc; ++i) {
        if (i > 1) line += ' ';
        line += argv[i];
    }
    kdx::UpdateRun run(kdx::platform::RealSystem(), kdx::platform::SystemDriverConnector(),
                       kdx::platform::SystemControlLibraryLoader());
    if (kdx::IsSilentCommandLine(kdx::FromUtf8(line))) {
        kdx::RunSilentWorkflow(run);
    } else {
        kdx::RunConsoleDialog(run, std::cin, std::cout, kdx::LanguageFromEnvironment());
    }
    return run.resultCode;
}
