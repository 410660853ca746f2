// The ISP span as the update dialog shows it: the platform's guard (no sleep, no shutdown)
// holds from the first ISP command until EndIsp has gone out; the taskbar button follows
// the progress bar from the first ISP command, turns to the error state when the flash
// does not hold the image, and stays so until the final message box appears.
#pragma once

#include <cstdint>

#include "platform/isp_guard.h"
#include "platform/taskbar_progress.h"

namespace kdx {

class DialogIspGuard final : public platform::IspGuard {
public:
    // `power` may be none; `total` is the number of steps of the full progress bar.
    DialogIspGuard(platform::IspGuard* power, platform::TaskbarProgress& taskbar, uint32_t total)
        : power_(power), taskbar_(taskbar), total_(total) {}

    void Begin() override;
    void End(bool success) override;
    // The progress bar shows `done` steps; outside the span the taskbar is left alone.
    void Progress(uint32_t done);
    // The final message box is about to appear.
    void Finish();

private:
    platform::IspGuard* power_;
    platform::TaskbarProgress& taskbar_;
    uint32_t total_;
    bool inSpan_ = false;
    bool shown_ = false;
};

}  // namespace kdx
