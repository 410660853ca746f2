// CUpdaterApp: the one application object. Start-up performs the whole update run in the
// mode the command line selects; its result code becomes the process exit code.
#pragma once

#include <windows.h>

#include <cstdint>

namespace kdx {

class CUpdaterApp {
public:
    // Runs the program; always false (there is no message loop after the run).
    bool InitInstance(HINSTANCE instance, const wchar_t* commandLine);
    // The process exit code.
    int ExitInstance() const { return exitStatus_; }

private:
    // Static storage: 0 until start-up stores the run's result code.
    int32_t exitStatus_;
};

}  // namespace kdx
