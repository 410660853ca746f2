// The taskbar button of one window, through the shell's ITaskbarList3. Best effort: where
// the shell has no taskbar (or no such interface, before Windows 7) nothing is shown.
#pragma once

#include <windows.h>

#include "platform/taskbar_progress.h"

struct ITaskbarList3;

namespace kdx::platform::win32 {

class Taskbar final : public TaskbarProgress {
public:
    Taskbar() = default;
    ~Taskbar() override;
    Taskbar(const Taskbar&) = delete;
    Taskbar& operator=(const Taskbar&) = delete;

    // The window whose button shows the progress; the interface is made on first use.
    void SetWindow(HWND window) { window_ = window; }

    void SetProgress(uint32_t done, uint32_t total) override;
    void SetError() override;
    void Clear() override;

private:
    ITaskbarList3* List();

    HWND window_ = nullptr;
    ITaskbarList3* list_ = nullptr;
    bool tried_ = false;
    bool comInitialised_ = false;
};

}  // namespace kdx::platform::win32
