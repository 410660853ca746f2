#include "platform/win32/power_guard.h"

namespace kdx::platform::win32 {

void PowerGuard::SetShutdownReason(HWND window, std::wstring reason) {
    window_ = window;
    reason_ = std::move(reason);
}

// ES_SYSTEM_REQUIRED keeps the machine awake; the display may still go dark, which does
// not disturb the AUX channel. ES_CONTINUOUS makes it hold until it is cleared.
void PowerGuard::Begin() {
    active_ = true;
    SetThreadExecutionState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED);
    if (window_ != nullptr && !reason_.empty()) {
        reasonCreated_ = ShutdownBlockReasonCreate(window_, reason_.c_str()) != FALSE;
    }
}

void PowerGuard::End(bool) {
    if (reasonCreated_) ShutdownBlockReasonDestroy(window_);
    reasonCreated_ = false;
    SetThreadExecutionState(ES_CONTINUOUS);
    active_ = false;
}

PowerGuard& SystemPowerGuard() {
    static PowerGuard guard;
    return guard;
}

}  // namespace kdx::platform::win32
