/* A stand-in for a DLL that someone planted beside the updater or in its current directory,
 * under the name of a DLL the updater needs (winmm.dll, ...). Loading it runs DllMain, which
 * leaves the file NAME.dll.loaded beside itself holding the path of the program that loaded
 * it: a planted DLL's code runs the moment it is loaded, whatever the program then calls.
 * It exports the timer functions a program takes from winmm, as a real attack would, so that
 * a program that imports them still starts with it. */
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

static void LeaveMarker(HINSTANCE self) {
    wchar_t path[MAX_PATH + 16];
    const DWORD n = GetModuleFileNameW(self, path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return;
    lstrcpyW(path + n, L".loaded");
    HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) return;
    char program[MAX_PATH];
    const DWORD length = GetModuleFileNameA(NULL, program, MAX_PATH);
    DWORD written = 0;
    WriteFile(file, program, length, &written, NULL);
    CloseHandle(file);
}

BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID reserved) {
    (void)reserved;
    if (reason == DLL_PROCESS_ATTACH) LeaveMarker(self);
    return TRUE;
}

/* Exported as timeBeginPeriod and timeEndPeriod (kdx_marker_dll.def): TIMERR_NOERROR. */
UINT WINAPI MarkerTimePeriod(UINT period) {
    (void)period;
    return 0;
}
