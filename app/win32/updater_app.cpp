#include "app/win32/updater_app.h"

#include <commctrl.h>

#include <string>

#include "app/command_line.h"
#include "app/win32/updater_dlg.h"
#include "log/aux_log.h"

namespace kdx {

namespace {

WText ToWText(const wchar_t* text) {
    WText out;
    for (; text != nullptr && *text != L'\0'; ++text) out.push_back(static_cast<char16_t>(*text));
    return out;
}

}  // namespace

bool CUpdaterApp::InitInstance(HINSTANCE instance, const wchar_t* commandLine) {
    // The progress bar of the dialog is a common control.
    INITCOMMONCONTROLSEX controls{sizeof(INITCOMMONCONTROLSEX), ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&controls);

    // A dialog framework would set its settings key name ("Local AppWizard-Generated
    // Applications") here; this program keeps no settings, so there is nothing to set.

    const bool silent = IsSilentCommandLine(ToWText(commandLine));
    {
        CUpdaterDlg dialog(instance);
        if (silent) {
            dialog.RunSilent();
        } else {
            // The OK handler blocks the thread for the whole flash write without dispatching
            // messages; a window manager that took that for a hang would cover the dialog
            // with a frozen copy and hide the progress bar until the chip is done.
            DisableProcessWindowsGhosting();
            dialog.DoModal();
        }
        exitStatus_ = dialog.ResultCode();
    }  // the dialog object, and with it the chip context and the driver interface, go here
    return false;
}

}  // namespace kdx

// The application object, then the log file's name: both exist before start-up runs.
kdx::CUpdaterApp theApp;
const std::u16string g_logFileName{kdx::kLogFileName};

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR commandLine, int) {
    // Before anything else: every DLL loaded from here on (COM's, the common controls',
    // the timer's, a graphics backend's) comes from the system directory only, never from
    // the program's folder (a Downloads folder anyone can write to) nor from the current
    // directory, which SetDllDirectoryW(L"") also takes out of the older search order.
    // What is loaded before this point is the import table, and it names only known DLLs
    // (always the system's copies) and comctl32, which the manifest's dependency on Common
    // Controls 6.0 binds side-by-side: the loader takes it from the system's WinSxS store
    // before it would look in the program's folder.
    SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
    SetDllDirectoryW(L"");
    theApp.InitInstance(instance, commandLine);
    return theApp.ExitInstance();
}
