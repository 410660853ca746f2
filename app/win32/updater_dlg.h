// CUpdaterDlg: the update dialog (template 102). It owns the run (the ChipContext and the
// result code) in both modes; in silent mode it never gets a window. The run's system is
// the real one; with the window its ISP span also drives the taskbar button.
#pragma once

#include <windows.h>

#include <string>

#include "app/dialog_isp_guard.h"
#include "app/update_run.h"
#include "chip/chip_context.h"
#include "platform/system.h"
#include "platform/win32/taskbar.h"

namespace kdx {

// The program icon at the sizes of one DPI, destroyed with the dialog.
class DialogIcons {
public:
    DialogIcons() = default;
    ~DialogIcons() { Release(); }
    DialogIcons(const DialogIcons&) = delete;
    DialogIcons& operator=(const DialogIcons&) = delete;

    void Load(HINSTANCE instance, UINT dpi);
    HICON bigIcon() const { return big_; }
    HICON smallIcon() const { return small_; }

private:
    void Release();
    HICON big_ = nullptr;
    HICON small_ = nullptr;
};

class CUpdaterDlg final : public TarvikControlDelegate {
public:
    static constexpr int32_t kProgressSteps = 1024;

    explicit CUpdaterDlg(HINSTANCE instance);
    CUpdaterDlg(const CUpdaterDlg&) = delete;
    CUpdaterDlg& operator=(const CUpdaterDlg&) = delete;

    // Dialog mode: the modal dialog; returns IDOK or IDCANCEL (the caller does not use it).
    INT_PTR DoModal();
    // Silent mode: the whole workflow, no window.
    void RunSilent();

    int32_t ResultCode() const { return run_.resultCode; }

    // One step of the bar per report, whatever the reporting step says.
    void ReportProgress(int32_t current, int32_t total) override;

private:
    static INT_PTR CALLBACK DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    INT_PTR HandleMessage(UINT message, WPARAM wParam, LPARAM lParam);

    void OnInitDialog();
    void CenterOnWorkArea();
    void ApplyDpi(UINT dpi);
    void OnOk();
    void OnCancel();
    bool OnPaint();
    void SwitchView(bool progressView);
    void PushVersionTexts();
    void PullVersionTexts();
    HWND UpdatingLabel() const;
    int MessageBoxFromTable(UINT stringId, UINT flags, const std::wstring& suffix = {});

    HINSTANCE instance_;
    DialogIcons icons_;
    UINT iconDpi_ = 0;
    platform::System system_;
    platform::win32::Taskbar taskbar_;
    DialogIspGuard ispGuard_;
    UpdateRun run_;
    int32_t progressCounter_ = 0;
    HWND window_ = nullptr;
    HWND progressBar_ = nullptr;
};

}  // namespace kdx
