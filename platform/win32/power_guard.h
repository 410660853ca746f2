// The ISP span on Windows: the machine is kept from sleeping for as long as the span lasts,
// and with a window Windows is told why a shutdown must wait (it shows the reason beside
// the program's name when the user shuts down).
#pragma once

#include <windows.h>

#include <string>

#include "platform/isp_guard.h"

namespace kdx::platform::win32 {

class PowerGuard final : public IspGuard {
public:
    // The window that carries the shutdown reason, and the reason in the user's language;
    // no window (silent mode): the execution state only.
    void SetShutdownReason(HWND window, std::wstring reason);
    // Whether the span runs (a shutdown query is refused then).
    bool active() const { return active_; }

    void Begin() override;
    void End(bool success) override;

private:
    HWND window_ = nullptr;
    std::wstring reason_;
    bool reasonCreated_ = false;
    bool active_ = false;
};

// The program's one guard, the one RealSystem() hands the ISP procedure.
PowerGuard& SystemPowerGuard();

}  // namespace kdx::platform::win32
