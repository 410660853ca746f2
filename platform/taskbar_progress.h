// The progress a program's taskbar button shows. Best effort: where the shell has no
// taskbar, or no button for the window, each call changes nothing.
#pragma once

#include <cstdint>

namespace kdx::platform {

class TaskbarProgress {
public:
    virtual ~TaskbarProgress() = default;
    // The button fills to done / total.
    virtual void SetProgress(uint32_t done, uint32_t total) = 0;
    // The button shows that the run failed, at the fill it has.
    virtual void SetError() = 0;
    // The button is plain again.
    virtual void Clear() = 0;
};

}  // namespace kdx::platform
