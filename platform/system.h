// The operating-system services one update run uses, bundled so that the core can be run
// on the real system or on the simulator's virtual clock.
#pragma once

#include "platform/clock.h"
#include "platform/debug_output.h"
#include "platform/isp_guard.h"
#include "platform/resources.h"

namespace kdx::platform {

struct System {
    Clock& clock;
    DebugOutput& debug;
    Resources& resources;
    // Told where the ISP procedure begins and ends; none where nothing needs telling.
    IspGuard* ispGuard = nullptr;
};

// The real clock, debugger output and resources of this program.
System& RealSystem();

}  // namespace kdx::platform
