#include "app/win32/updater_dlg.h"

#include <commctrl.h>

#include <algorithm>
#include <array>
#include <string>

#include "app/win32/resource.h"
#include "app/workflow.h"
#include "chip/chip_identity.h"
#include "chip/isp_procedure.h"
#include "package/images.h"
#include "platform/control_library.h"
#include "platform/driver_interface.h"
#include "platform/system.h"
#include "platform/win32/power_guard.h"

namespace kdx {

namespace {

constexpr char16_t kUnknownText[] = u"UNKNOWN";

std::wstring ToWide(WTextView text) { return std::wstring(text.begin(), text.end()); }

WText FromWide(std::wstring_view text) { return WText(text.begin(), text.end()); }

// The string in the user-interface language: the resource loader picks the string table
// of that language, and falls back to the other when it has none.
std::wstring LoadText(HINSTANCE instance, UINT id) {
    const wchar_t* text = nullptr;
    const int length = LoadStringW(instance, id, reinterpret_cast<LPWSTR>(&text), 0);
    return length > 0 && text != nullptr ? std::wstring(text, static_cast<size_t>(length)) : std::wstring();
}

std::wstring ControlText(HWND window, int id) {
    std::wstring text(static_cast<size_t>(GetWindowTextLengthW(GetDlgItem(window, id))) + 1, L'\0');
    text.resize(static_cast<size_t>(GetDlgItemTextW(window, id, text.data(), static_cast<int>(text.size()))));
    return text;
}

// The controls of the selection view, in the order they are switched.
constexpr std::array<int, 8> kSelectionViewControls = {
    IDC_CURRENT_VERSION_LABEL, IDC_NEW_VERSION_LABEL, IDC_CURRENT_VERSION, IDC_NEW_VERSION,
    IDC_DESCRIPTION,           IDC_PROMPT,            IDOK,                IDCANCEL,
};

#ifndef WM_DPICHANGED
#define WM_DPICHANGED 0x02E0
#endif

// A function of user32 that older Windows versions lack, or nullptr. user32 is in the
// import table, so it is loaded; the program still starts where the function is missing.
template <typename Fn>
Fn NewerUser32Function(const char* name) {
    HMODULE user32 = GetModuleHandleW(L"user32.dll");
    if (user32 == nullptr) return nullptr;
    return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(GetProcAddress(user32, name)));
}

// The DPI the window is drawn at: its monitor's under per-monitor awareness (Windows 10
// 1607 and later), the system's before.
UINT WindowDpi(HWND window) {
    using GetDpiForWindowFn = UINT(WINAPI*)(HWND);
    static const auto getDpiForWindow = NewerUser32Function<GetDpiForWindowFn>("GetDpiForWindow");
    if (getDpiForWindow != nullptr && window != nullptr) {
        if (const UINT dpi = getDpiForWindow(window); dpi != 0) return dpi;
    }
    HDC screen = GetDC(nullptr);
    const int dpi = screen != nullptr ? GetDeviceCaps(screen, LOGPIXELSY) : USER_DEFAULT_SCREEN_DPI;
    if (screen != nullptr) ReleaseDC(nullptr, screen);
    return dpi > 0 ? static_cast<UINT>(dpi) : USER_DEFAULT_SCREEN_DPI;
}

// A system metric at `dpi`; before Windows 10 1607 the system's, which is the DPI that
// every window has there.
int MetricAt(int index, UINT dpi) {
    using GetSystemMetricsForDpiFn = int(WINAPI*)(int, UINT);
    static const auto forDpi = NewerUser32Function<GetSystemMetricsForDpiFn>("GetSystemMetricsForDpi");
    return forDpi != nullptr ? forDpi(index, dpi) : GetSystemMetrics(index);
}

}  // namespace

void DialogIcons::Load(HINSTANCE instance, UINT dpi) {
    Release();
    // The icon group holds each size Windows uses up to 200 %: the loader picks the exact one.
    const auto load = [&](int cx, int cy) {
        return static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(IDR_MAINFRAME), IMAGE_ICON,
                                             MetricAt(cx, dpi), MetricAt(cy, dpi), LR_DEFAULTCOLOR));
    };
    big_ = load(SM_CXICON, SM_CYICON);
    small_ = load(SM_CXSMICON, SM_CYSMICON);
}

void DialogIcons::Release() {
    if (big_ != nullptr) DestroyIcon(big_);
    if (small_ != nullptr) DestroyIcon(small_);
    big_ = nullptr;
    small_ = nullptr;
}

CUpdaterDlg::CUpdaterDlg(HINSTANCE instance)
    : instance_(instance),
      system_(platform::RealSystem()),
      ispGuard_(platform::RealSystem().ispGuard, taskbar_, kProgressSteps),
      run_(system_, platform::SystemDriverConnector(), platform::SystemControlLibraryLoader()) {}

INT_PTR CUpdaterDlg::DoModal() {
    // With the window, the ISP span also shows on the taskbar button.
    system_.ispGuard = &ispGuard_;
    const INT_PTR result =
        DialogBoxParamW(instance_, MAKEINTRESOURCEW(IDD_UPDATER_DIALOG), nullptr, DialogProc,
                        reinterpret_cast<LPARAM>(this));
    // The window is gone: nothing may report to it any more.
    system_.ispGuard = platform::RealSystem().ispGuard;
    platform::win32::SystemPowerGuard().SetShutdownReason(nullptr, {});
    taskbar_.SetWindow(nullptr);
    run_.chip.progressSink = nullptr;
    window_ = nullptr;
    progressBar_ = nullptr;
    return result;
}

void CUpdaterDlg::RunSilent() { RunSilentWorkflow(run_); }

void CUpdaterDlg::ReportProgress(int32_t, int32_t) {
    progressCounter_ = std::min(progressCounter_ + 1, kProgressSteps);
    if (progressBar_ == nullptr) return;
    // The OK handler keeps the thread for the whole flash write, so no messages are
    // dispatched: the themed bar animates an increase through a timer that never fires and
    // would lag behind the chip. A decrease is drawn at once, so step one past the counter
    // and back; the full bar has nothing to step past and is set directly.
    if (progressCounter_ < kProgressSteps) {
        SendMessageW(progressBar_, PBM_SETPOS, static_cast<WPARAM>(progressCounter_ + 1), 0);
    }
    SendMessageW(progressBar_, PBM_SETPOS, static_cast<WPARAM>(progressCounter_), 0);
    // Nor is WM_PAINT dispatched: draw the bar now.
    UpdateWindow(progressBar_);
    ispGuard_.Progress(static_cast<uint32_t>(progressCounter_));
}

INT_PTR CALLBACK CUpdaterDlg::DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        SetWindowLongPtrW(window, DWLP_USER, lParam);
        auto* self = reinterpret_cast<CUpdaterDlg*>(lParam);
        self->window_ = window;
        RECT before{};
        GetWindowRect(window, &before);
        self->OnInitDialog();
        // As a dialog framework does: a dialog that did not move itself while it was set up
        // is centred before it is first shown. Only here, so the progress view and any
        // later showing stay where the dialog is.
        RECT after{};
        GetWindowRect(window, &after);
        if (EqualRect(&before, &after)) self->CenterOnWorkArea();
        return TRUE;  // the default button takes the focus
    }
    auto* self = reinterpret_cast<CUpdaterDlg*>(GetWindowLongPtrW(window, DWLP_USER));
    return self == nullptr ? FALSE : self->HandleMessage(message, wParam, lParam);
}

INT_PTR CUpdaterDlg::HandleMessage(UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
    case WM_DPICHANGED:
        // Per-monitor (v2): the dialog manager scales the dialog, its font and its controls
        // to the new DPI and moves it to the suggested rectangle; the icons are this
        // dialog's own to reload.
        ApplyDpi(HIWORD(wParam));
        return FALSE;
    case WM_QUERYENDSESSION:
        // The thread is busy for the whole ISP span and reads no messages then; a query that
        // still arrives is refused while the flash may be half written.
        if (!platform::win32::SystemPowerGuard().active()) return FALSE;
        SetWindowLongPtrW(window_, DWLP_MSGRESULT, FALSE);
        return TRUE;
    case WM_COMMAND:
        if (HIWORD(wParam) != BN_CLICKED) return FALSE;
        // Enter reaches OK (the default button); Escape and the close box reach Cancel.
        if (LOWORD(wParam) == IDOK) {
            OnOk();
            return TRUE;
        }
        if (LOWORD(wParam) == IDCANCEL) {
            OnCancel();
            return TRUE;
        }
        return FALSE;
    case WM_PAINT:
        return OnPaint() ? TRUE : FALSE;
    case WM_QUERYDRAGICON:
        return reinterpret_cast<INT_PTR>(icons_.bigIcon());
    default:
        return FALSE;
    }
}

// The framework's centring of a dialog without an owner: on the work area of the monitor
// it is on, kept inside that work area.
void CUpdaterDlg::CenterOnWorkArea() {
    MONITORINFO monitor{};
    monitor.cbSize = sizeof monitor;
    if (!GetMonitorInfoW(MonitorFromWindow(window_, MONITOR_DEFAULTTONEAREST), &monitor)) return;
    const RECT& area = monitor.rcWork;
    RECT dialog{};
    GetWindowRect(window_, &dialog);
    const int width = dialog.right - dialog.left;
    const int height = dialog.bottom - dialog.top;
    int left = (area.left + area.right) / 2 - width / 2;
    int top = (area.top + area.bottom) / 2 - height / 2;
    left = std::max(static_cast<int>(area.left), std::min(left, static_cast<int>(area.right) - width));
    top = std::max(static_cast<int>(area.top), std::min(top, static_cast<int>(area.bottom) - height));
    SetWindowPos(window_, nullptr, left, top, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void CUpdaterDlg::ApplyDpi(UINT dpi) {
    if (dpi == 0 || dpi == iconDpi_) return;
    iconDpi_ = dpi;
    icons_.Load(instance_, dpi);
    SendMessageW(window_, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icons_.bigIcon()));
    SendMessageW(window_, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icons_.smallIcon()));
}

void CUpdaterDlg::OnInitDialog() {
    ApplyDpi(WindowDpi(window_));
    taskbar_.SetWindow(window_);
    platform::win32::SystemPowerGuard().SetShutdownReason(window_, LoadText(instance_, IDS_SHUTDOWN_REASON));
    progressBar_ = GetDlgItem(window_, IDC_PROGRESS);
    SendMessageW(progressBar_, PBM_SETRANGE32, 0, kProgressSteps);

    run_.resultCode = UnexpectedError;
    SwitchView(false);
    run_.chip.progressSink = this;

    // Each step that stops the run gives one message while the window is not yet shown.
    run_.newVersionText = kUnknownText;
    if (!LoadImages(run_.chip, run_.resultCode, run_.newVersionText)) {
        MessageBoxFromTable(IDS_UNEXPECTED_ERROR, MB_OK | MB_ICONERROR);
        EndDialog(window_, IDCANCEL);
        return;
    }
    if (!OpenAdapter(run_)) {
        MessageBoxFromTable(IDS_NOT_TARGET, MB_OK | MB_ICONERROR);
        EndDialog(window_, IDCANCEL);
        return;
    }
    run_.currentVersionText = kUnknownText;
    run_.chipVersionText = kUnknownText;
    if (!CheckChip(run_.chip, run_.resultCode, run_.currentVersionText, run_.chipVersionText)) {
        if (run_.resultCode == UpToDate) {
            MessageBoxFromTable(IDS_UP_TO_DATE, MB_OK | MB_ICONINFORMATION);
        } else {
            MessageBoxFromTable(IDS_NOT_TARGET, MB_OK | MB_ICONERROR);
        }
        EndDialog(window_, IDCANCEL);
        return;
    }
    PushVersionTexts();
}

void CUpdaterDlg::OnOk() {
    ShowWindow(window_, SW_HIDE);
    const int answer = MessageBoxFromTable(IDS_CONFIRM_UPDATE, MB_YESNO | MB_ICONINFORMATION | MB_DEFBUTTON1);
    if (answer != IDYES) {
        EndDialog(window_, IDCANCEL);
        return;
    }

    SwitchView(true);
    ShowWindow(window_, SW_SHOW);
    // The handler keeps the thread until the flash is written: paint the progress view now.
    RedrawWindow(window_, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW);
    const bool updated = RunIspProcedure(run_.chip, run_.resultCode);
    ShowWindow(window_, SW_HIDE);
    ispGuard_.Finish();

    if (updated) {
        MessageBoxFromTable(IDS_UPDATE_COMPLETED, MB_OK | MB_ICONINFORMATION);
        PullVersionTexts();
        EndDialog(window_, IDOK);
        return;
    }
    MessageBoxFromTable(IDS_UPDATE_FAILED, MB_OK | MB_ICONERROR, std::to_wstring(run_.resultCode));
    EndDialog(window_, IDCANCEL);
}

void CUpdaterDlg::OnCancel() { EndDialog(window_, IDCANCEL); }

bool CUpdaterDlg::OnPaint() {
    if (!IsIconic(window_)) return false;  // the dialog paints itself
    PAINTSTRUCT paint{};
    HDC dc = BeginPaint(window_, &paint);
    SendMessageW(window_, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
    RECT client{};
    GetClientRect(window_, &client);
    const UINT dpi = WindowDpi(window_);
    const int x = (client.right - client.left - MetricAt(SM_CXICON, dpi) + 1) / 2;
    const int y = (client.bottom - client.top - MetricAt(SM_CYICON, dpi) + 1) / 2;
    DrawIcon(dc, x, y, icons_.bigIcon());
    EndPaint(window_, &paint);
    return true;
}

void CUpdaterDlg::SwitchView(bool progressView) {
    progressCounter_ = 0;
    const int progressShow = progressView ? SW_SHOW : SW_HIDE;
    const int selectionShow = progressView ? SW_HIDE : SW_SHOW;
    ShowWindow(UpdatingLabel(), progressShow);
    ShowWindow(progressBar_, progressShow);
    for (int id : kSelectionViewControls) ShowWindow(GetDlgItem(window_, id), selectionShow);
    PushVersionTexts();
}

void CUpdaterDlg::PushVersionTexts() {
    SetDlgItemTextW(window_, IDC_CURRENT_VERSION, ToWide(run_.currentVersionText).c_str());
    SetDlgItemTextW(window_, IDC_NEW_VERSION, ToWide(run_.newVersionText).c_str());
}

void CUpdaterDlg::PullVersionTexts() {
    run_.currentVersionText = FromWide(ControlText(window_, IDC_CURRENT_VERSION));
    run_.newVersionText = FromWide(ControlText(window_, IDC_NEW_VERSION));
}

// The updating label is the template's one static text without an id of its own (-1).
// Looked up by the low 16 bits, which is all a dialog template's id ever kept.
HWND CUpdaterDlg::UpdatingLabel() const {
    for (HWND child = GetWindow(window_, GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT)) {
        if ((GetDlgCtrlID(child) & 0xFFFF) == (IDC_UPDATING_LABEL & 0xFFFF)) return child;
    }
    return nullptr;
}

int CUpdaterDlg::MessageBoxFromTable(UINT stringId, UINT flags, const std::wstring& suffix) {
    const std::wstring text = LoadText(instance_, stringId) + suffix;
    const std::wstring caption = LoadText(instance_, IDS_APP_TITLE);
    return MessageBoxW(window_, text.c_str(), caption.c_str(), flags);
}

}  // namespace kdx
