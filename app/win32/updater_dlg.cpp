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

}  // namespace

CUpdaterDlg::CUpdaterDlg(HINSTANCE instance)
    : instance_(instance),
      icon_(LoadIconW(instance, MAKEINTRESOURCEW(IDR_MAINFRAME))),
      run_(platform::RealSystem(), platform::SystemDriverConnector(), platform::SystemControlLibraryLoader()) {}

INT_PTR CUpdaterDlg::DoModal() {
    const INT_PTR result =
        DialogBoxParamW(instance_, MAKEINTRESOURCEW(IDD_UPDATER_DIALOG), nullptr, DialogProc,
                        reinterpret_cast<LPARAM>(this));
    // The window is gone: nothing may report to it any more.
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
}

INT_PTR CALLBACK CUpdaterDlg::DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        SetWindowLongPtrW(window, DWLP_USER, lParam);
        auto* self = reinterpret_cast<CUpdaterDlg*>(lParam);
        self->window_ = window;
        self->OnInitDialog();
        return TRUE;  // the default button takes the focus
    }
    auto* self = reinterpret_cast<CUpdaterDlg*>(GetWindowLongPtrW(window, DWLP_USER));
    return self == nullptr ? FALSE : self->HandleMessage(message, wParam, lParam);
}

INT_PTR CUpdaterDlg::HandleMessage(UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
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
        return reinterpret_cast<INT_PTR>(icon_);
    default:
        return FALSE;
    }
}

void CUpdaterDlg::OnInitDialog() {
    SendMessageW(window_, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon_));
    SendMessageW(window_, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon_));
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
    const int x = (client.right - client.left - GetSystemMetrics(SM_CXICON) + 1) / 2;
    const int y = (client.bottom - client.top - GetSystemMetrics(SM_CYICON) + 1) / 2;
    DrawIcon(dc, x, y, icon_);
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
