// CUpdaterDlg: the update dialog (template 102). It owns the run (the ChipContext and the
// result code) in both modes; in silent mode it never gets a window.
#pragma once

#include <windows.h>

#include <string>

#include "app/update_run.h"
#include "chip/chip_context.h"

namespace kdx {

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
    void OnOk();
    void OnCancel();
    bool OnPaint();
    void SwitchView(bool progressView);
    void PushVersionTexts();
    void PullVersionTexts();
    HWND UpdatingLabel() const;
    int MessageBoxFromTable(UINT stringId, UINT flags, const std::wstring& suffix = {});

    HINSTANCE instance_;
    HICON icon_;
    UpdateRun run_;
    int32_t progressCounter_ = 0;
    HWND window_ = nullptr;
    HWND progressBar_ = nullptr;
};

}  // namespace kdx
