// Drives the updater's dialog under Wine as a user would, one step per argument, in order:
//
//   wait-dialog          wait until the update dialog is shown in its selection view
//   wait-progress        wait until the dialog shows its progress view
//   edit=ID:TEXT         the dialog's control ID holds TEXT
//   click=ok|cancel      press a button of the dialog
//   close                the dialog's close box
//   wait-box             wait until a message box is shown
//   box=TEXT             the message box says TEXT (\n for a line break)
//   answer=yes|no|ok     press a button of the message box
//   wait-gone            wait until no window of the updater is left
//   sync=NAME            create NAME in the directory $KDX_UI_SYNC_DIR and wait for NAME.done
//                        (the test script takes a screenshot in between)
//   timeout=SECONDS      how long each later wait may take (default 240: an update beside
//                        other busy cases takes several times its 20 s)
//   layout=WxH           the dialog (its template W x H dialog units) is centred on its
//                        monitor's work area, and the text of every static and button fits
//                        inside the control's client rectangle in the dialog's font
//
//   pause=MS             wait MS milliseconds
//
// Every window is found by its caption. What it sees goes to standard output as UTF-8;
// the first step that fails ends the program with 1.
//
// kdx_wine_ui --run PROGRAM TAIL starts PROGRAM with the command line "PROGRAM" TAIL (one blank between), exactly
// as given (blanks included, which a Unix shell cannot hand through wine's argument
// quoting), waits for it and ends with its exit code.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

constexpr wchar_t kCaption[] = L"KDX4610 Update v1.58";
constexpr wchar_t kDialogClass[] = L"#32770";

// Control ids of the update dialog and of a message box.
constexpr int kCurrentVersionBox = 1006;
constexpr int kProgressBar = 1010;
constexpr int kMessageBoxText = 0xFFFF;

constexpr DWORD kPollMs = 50;
constexpr UINT kSendTimeoutMs = 5000;

DWORD g_timeoutMs = 240'000;

std::string Utf8(std::wstring_view text) {
    const int size = static_cast<int>(text.size());
    const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), size, nullptr, 0, nullptr, nullptr);
    std::string out(n > 0 ? n : 0, '\0');
    if (n > 0) WideCharToMultiByte(CP_UTF8, 0, text.data(), size, out.data(), n, nullptr, nullptr);
    return out;
}

// Shows line breaks as \n, so that one observation is one output line.
std::string Shown(std::wstring_view text) {
    std::string out;
    for (char c : Utf8(text)) {
        if (c == '\n') out += "\\n";
        else if (c == '\r') out += "\\r";
        else out += c;
    }
    return out;
}

void Say(const std::string& line) {
    std::fputs((line + "\n").c_str(), stdout);
    std::fflush(stdout);
}

bool Fail(const std::string& why) {
    Say("FAIL: " + why);
    return false;
}

// The argument's text in wide characters; "\n" stands for a line break.
std::wstring Expected(std::wstring_view text) {
    std::wstring out(text);
    for (size_t at = out.find(L"\\n"); at != std::wstring::npos; at = out.find(L"\\n", at + 1)) {
        out.replace(at, 2, L"\n");
    }
    return out;
}

// kAny: any window of the updater, shown or not.
enum class Kind { kDialog, kMessageBox, kAny };

struct Search {
    Kind kind;
    HWND found;
};

bool IsOurs(HWND window) {
    wchar_t name[64] = {};
    GetClassNameW(window, name, 64);
    if (std::wstring_view(name) != kDialogClass) return false;
    wchar_t caption[64] = {};
    // A top-level window's caption is read without a message, so a busy updater cannot
    // block it.
    GetWindowTextW(window, caption, 64);
    return std::wstring_view(caption) == kCaption;
}

BOOL CALLBACK FindWindowOfKind(HWND window, LPARAM context) {
    auto& search = *reinterpret_cast<Search*>(context);
    if (!IsOurs(window) || (search.kind != Kind::kAny && !IsWindowVisible(window))) return TRUE;
    // The dialog and its message boxes share the caption; the version box tells them apart.
    // The dialog's updating label has the same id as a message box's text, so a window
    // with a version box is never taken for a box (it does not answer while it updates).
    const bool isDialog = GetDlgItem(window, kCurrentVersionBox) != nullptr;
    const bool isBox = !isDialog && GetDlgItem(window, kMessageBoxText) != nullptr;
    if (search.kind == Kind::kAny || (search.kind == Kind::kDialog && isDialog) ||
        (search.kind == Kind::kMessageBox && isBox)) {
        search.found = window;
        return FALSE;
    }
    return TRUE;
}

HWND Find(Kind kind) {
    Search search{kind, nullptr};
    EnumWindows(FindWindowOfKind, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

template <typename Condition>
bool WaitFor(Condition condition) {
    const ULONGLONG end = GetTickCount64() + g_timeoutMs;
    while (!condition()) {
        if (GetTickCount64() > end) return false;
        Sleep(kPollMs);
    }
    return true;
}

bool ReadText(HWND control, std::wstring& text) {
    wchar_t buffer[2048] = {};
    DWORD_PTR copied = 0;
    if (!SendMessageTimeoutW(control, WM_GETTEXT, 2048, reinterpret_cast<LPARAM>(buffer), SMTO_ABORTIFHUNG,
                             kSendTimeoutMs, &copied))
        return false;
    text.assign(buffer, copied);
    return true;
}

bool Click(HWND window, int id) {
    HWND button = GetDlgItem(window, id);
    if (!button || !IsWindowVisible(button)) return Fail("no visible button " + std::to_string(id));
    // Posted, not sent: the updater answers some clicks only after a message box or the
    // whole update, and this program must go on watching meanwhile.
    return PostMessageW(button, BM_CLICK, 0, 0) != 0 || Fail("cannot click " + std::to_string(id));
}

class Driver {
public:
    bool Step(std::wstring_view step) {
        const size_t eq = step.find(L'=');
        const std::wstring_view verb = step.substr(0, eq);
        const std::wstring_view value = eq == std::wstring_view::npos ? std::wstring_view{} : step.substr(eq + 1);
        Say("step: " + Utf8(step));
        if (verb == L"timeout") {
            g_timeoutMs = static_cast<DWORD>(std::stoul(std::wstring(value))) * 1000;
            return true;
        }
        if (verb == L"wait-dialog") return WaitView(IDOK, "shown", "no dialog in its selection view");
        if (verb == L"wait-progress") return WaitView(kProgressBar, "progress view", "no progress view");
        if (verb == L"edit") return CheckEdit(value);
        if (verb == L"click") return ClickDialog(value);
        if (verb == L"close") return CloseDialog();
        if (verb == L"wait-box") return WaitBox();
        if (verb == L"box") return CheckBox(value);
        if (verb == L"answer") return Answer(value);
        if (verb == L"wait-gone") return WaitGone();
        if (verb == L"sync") return Sync(value);
        if (verb == L"layout") return CheckLayout(value);
        if (verb == L"pause") {
            Sleep(static_cast<DWORD>(std::stoul(std::wstring(value))));
            return true;
        }
        return Fail("unknown step " + Utf8(step));
    }

private:
    // The dialog's views show different controls: the view with control `id` is shown.
    bool WaitView(int id, const std::string& shown, const std::string& missing) {
        if (!WaitFor([&] {
                dialog_ = Find(Kind::kDialog);
                return dialog_ && IsWindowVisible(GetDlgItem(dialog_, id));
            }))
            return Fail(missing);
        Say("dialog: " + shown);
        return true;
    }

    bool CheckEdit(std::wstring_view value) {
        if (!dialog_) return Fail("no dialog");
        const size_t colon = value.find(L':');
        const int id = std::stoi(std::wstring(value.substr(0, colon)));
        const std::wstring expected = colon == std::wstring_view::npos ? L"" : Expected(value.substr(colon + 1));
        std::wstring text;
        HWND control = GetDlgItem(dialog_, id);
        // Read until the step's timeout, as a box's text is: under load the updater can take
        // longer than one send's timeout to get back to its messages.
        if (!control || !WaitFor([&] { return ReadText(control, text); }))
            return Fail("cannot read control " + std::to_string(id));
        Say("edit " + std::to_string(id) + ": " + Shown(text));
        return text == expected || Fail("control " + std::to_string(id) + " holds \"" + Shown(text) + "\"");
    }

    bool ClickDialog(std::wstring_view value) {
        if (!dialog_) return Fail("no dialog");
        const int id = value == L"ok" ? IDOK : value == L"cancel" ? IDCANCEL : 0;
        return id != 0 ? Click(dialog_, id) : Fail("unknown button " + Utf8(value));
    }

    bool CloseDialog() {
        if (!dialog_) return Fail("no dialog");
        return PostMessageW(dialog_, WM_SYSCOMMAND, SC_CLOSE, 0) != 0 || Fail("cannot close the dialog");
    }

    bool WaitBox() {
        // A box that is being replaced must not be taken for the next one. The box after an
        // update can be visible before its thread, busy for the whole flash write and so
        // counted as hung, reads its first message: it is read again until it answers.
        std::wstring text;
        if (!WaitFor([&] {
                HWND found = Find(Kind::kMessageBox);
                if (!found || found == answered_ || !ReadText(GetDlgItem(found, kMessageBoxText), text)) return false;
                box_ = found;
                return true;
            }))
            return Fail("no message box that can be read");
        boxText_ = text;
        Say("box: " + Shown(text));
        return true;
    }

    bool CheckBox(std::wstring_view value) {
        if (!box_) return Fail("no message box");
        return boxText_ == Expected(value) || Fail("the message box says \"" + Shown(boxText_) + "\"");
    }

    bool Answer(std::wstring_view value) {
        if (!box_) return Fail("no message box");
        const int id = value == L"yes" ? IDYES : value == L"no" ? IDNO : value == L"ok" ? IDOK : 0;
        if (id == 0) return Fail("unknown answer " + Utf8(value));
        if (!Click(box_, id)) return false;
        answered_ = box_;
        box_ = nullptr;
        return true;
    }

    bool WaitGone() {
        if (!WaitFor([] { return Find(Kind::kAny) == nullptr; })) return Fail("a window of the updater is still there");
        Say("gone");
        return true;
    }

    bool Sync(std::wstring_view name) {
        wchar_t dir[MAX_PATH] = {};
        if (!GetEnvironmentVariableW(L"KDX_UI_SYNC_DIR", dir, MAX_PATH)) return Fail("KDX_UI_SYNC_DIR not set");
        const std::wstring mark = std::wstring(dir) + L"\\" + std::wstring(name);
        const std::wstring done = mark + L".done";
        HANDLE file = CreateFileW(mark.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE) return Fail("cannot create " + Utf8(mark));
        CloseHandle(file);
        if (!WaitFor([&] { return GetFileAttributesW(done.c_str()) != INVALID_FILE_ATTRIBUTES; }))
            return Fail("no " + Utf8(done));
        return true;
    }

    // Read without a message to the updater (its thread is busy in the progress view): the
    // rectangles and the control texts are the window manager's own.
    bool CheckLayout(std::wstring_view value) {
        if (!dialog_) return Fail("no dialog");
        const size_t x = value.find(L'x');
        if (x == std::wstring_view::npos) return Fail("layout=WxH");
        const int unitsWide = std::stoi(std::wstring(value.substr(0, x)));
        const int unitsHigh = std::stoi(std::wstring(value.substr(x + 1)));
        bool ok = CheckCentred();
        DialogFont font;
        if (!font.Measure()) return Fail("cannot make the dialog font");
        // The font made here is the dialog's when it gives the dialog's client size.
        RECT client{};
        GetClientRect(dialog_, &client);
        const int expectedW = MulDiv(unitsWide, font.baseX, 4);
        const int expectedH = MulDiv(unitsHigh, font.baseY, 8);
        Say("font: " + std::to_string(font.pixels) + " px, base units " + std::to_string(font.baseX) + "x" +
            std::to_string(font.baseY) + ", client " + std::to_string(client.right) + "x" +
            std::to_string(client.bottom) + " (" + std::to_string(expectedW) + "x" + std::to_string(expectedH) +
            " from the template)");
        if (std::abs(client.right - expectedW) > 1 || std::abs(client.bottom - expectedH) > 1) {
            return Fail("the font is not the dialog's");
        }
        for (HWND child = GetWindow(dialog_, GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT)) {
            ok = CheckFits(child, font) && ok;
        }
        return ok || Fail("layout");
    }

    bool CheckCentred() {
        MONITORINFO monitor{};
        monitor.cbSize = sizeof monitor;
        GetMonitorInfoW(MonitorFromWindow(dialog_, MONITOR_DEFAULTTONEAREST), &monitor);
        const RECT& area = monitor.rcWork;
        RECT r{};
        GetWindowRect(dialog_, &r);
        const int dx = (r.left - area.left) - (area.right - r.right);
        const int dy = (r.top - area.top) - (area.bottom - r.bottom);
        const bool centred = std::abs(dx) <= 1 && std::abs(dy) <= 1;
        Say("centred: dialog " + Rect(r) + " in work area " + Rect(area) + ", margins differ by " +
            std::to_string(dx) + "," + std::to_string(dy) + (centred ? ": ok" : ": NOT CENTRED"));
        return centred;
    }

    // The dialog manager's font for the template's FONT 8, "MS Shell Dlg" at the display's DPI.
    struct DialogFont {
        HFONT font = nullptr;
        HDC dc = nullptr;
        HGDIOBJ old = nullptr;
        int pixels = 0;
        int baseX = 0;
        int baseY = 0;
        ~DialogFont() {
            if (dc != nullptr) {
                SelectObject(dc, old);
                ReleaseDC(nullptr, dc);
            }
            if (font != nullptr) DeleteObject(font);
        }
        bool Measure() {
            dc = GetDC(nullptr);
            if (dc == nullptr) return false;
            pixels = MulDiv(8, GetDeviceCaps(dc, LOGPIXELSY), 72);
            font = CreateFontW(-pixels, 0, 0, 0, 0, FALSE, FALSE, FALSE, DEFAULT_CHARSET, 0, 0, PROOF_QUALITY,
                               FF_DONTCARE, L"MS Shell Dlg");
            if (font == nullptr) return false;
            old = SelectObject(dc, font);
            // The average width the dialog manager takes: of the 52 letters, rounded.
            constexpr wchar_t kLetters[] = L"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
            SIZE size{};
            TEXTMETRICW metrics{};
            if (!GetTextExtentPoint32W(dc, kLetters, 52, &size) || !GetTextMetricsW(dc, &metrics)) return false;
            baseX = (size.cx / 26 + 1) / 2;
            baseY = metrics.tmHeight;
            return baseX > 0 && baseY > 0;
        }
    };

    static std::string Rect(const RECT& r) {
        char text[80];
        std::snprintf(text, sizeof text, "(%ld,%ld)-(%ld,%ld)", r.left, r.top, r.right, r.bottom);
        return text;
    }

    bool CheckFits(HWND control, const DialogFont& font) {
        wchar_t name[32] = {};
        GetClassNameW(control, name, 32);
        const bool button = _wcsicmp(name, L"Button") == 0;
        if (!button && _wcsicmp(name, L"Static") != 0) return true;
        wchar_t text[512] = {};
        const int length = InternalGetWindowText(control, text, 512);
        if (length == 0) return true;
        SIZE extent{};
        GetTextExtentPoint32W(font.dc, text, length, &extent);
        RECT client{};
        GetClientRect(control, &client);
        // A button draws its text inside its 3-D edge.
        const int edges = button ? 2 : 0;
        const int roomW = client.right - edges * GetSystemMetrics(SM_CXEDGE);
        const int roomH = client.bottom - edges * GetSystemMetrics(SM_CYEDGE);
        const bool fits = extent.cx <= roomW && extent.cy <= roomH;
        Say("fit " + std::to_string(GetDlgCtrlID(control) & 0xFFFF) + " " + Utf8(name) + " \"" + Shown(text) +
            "\": text " + std::to_string(extent.cx) + "x" + std::to_string(extent.cy) + " in " +
            std::to_string(roomW) + "x" + std::to_string(roomH) + (fits ? ": ok" : ": DOES NOT FIT"));
        return fits;
    }

    HWND dialog_ = nullptr;
    HWND box_ = nullptr;
    HWND answered_ = nullptr;
    std::wstring boxText_;
};

}  // namespace

int Run(const wchar_t* program, const wchar_t* tail) {
    std::wstring commandLine = std::wstring(L"\"") + program + L"\" " + tail;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(program, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process)) {
        Say("FAIL: cannot start " + Utf8(program) + " (" + std::to_string(GetLastError()) + ")");
        return 255;
    }
    CloseHandle(process.hThread);
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 255;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hProcess);
    return static_cast<int>(code);
}

int wmain(int argc, wchar_t** argv) {
    // Rectangles and fonts in the display's own pixels, as the DPI-aware updater has them.
    SetProcessDPIAware();
    if (argc == 4 && std::wstring_view(argv[1]) == L"--run") return Run(argv[2], argv[3]);
    Driver driver;
    for (int i = 1; i < argc; ++i) {
        if (!driver.Step(argv[i])) return 1;
    }
    Say("PASS");
    return 0;
}
