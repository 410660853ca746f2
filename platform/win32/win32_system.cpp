// The platform layer on Windows: the performance counter, sleeps with the system timer
// resolution, the debugger output, the log file's append and the ISP span's power guard.
#include <windows.h>
#include <mmsystem.h>

#include "platform/clock.h"
#include "platform/debug_output.h"
#include "platform/file.h"
#include "platform/resources.h"
#include "platform/system.h"
#include "platform/win32/power_guard.h"
#include "platform/win32/system_library.h"
#include "platform/win32/win32_text.h"

namespace kdx::platform {

namespace {

class Win32Clock final : public Clock {
public:
    // winmm is not one of the system's known DLLs, so it is not in the import table (a copy
    // beside the program would be loaded before wWinMain): it comes from the system
    // directory when the clock is made. Without it the sleeps keep the default resolution,
    // which only makes them longer; the chip's pacing is a minimum, so that is safe.
    Win32Clock()
        : winmm_(L"winmm.dll"),
          timeBeginPeriod_(winmm_.Find<TimePeriodFn>("timeBeginPeriod")),
          timeEndPeriod_(winmm_.Find<TimePeriodFn>("timeEndPeriod")) {}

    int64_t Frequency() override {
        LARGE_INTEGER f{};
        QueryPerformanceFrequency(&f);
        return f.QuadPart;
    }
    int64_t Counter() override {
        LARGE_INTEGER c{};
        QueryPerformanceCounter(&c);
        return c.QuadPart;
    }
    // The busy-waits below 20 ms are real spins on the counter: the chip's pacing is
    // finer than the scheduler's time slice.
    void Spin(int64_t) override {}
    void Sleep(uint32_t ms) override { ::Sleep(ms); }
    void BeginTimerPeriod(uint32_t ms) override {
        if (timeBeginPeriod_ != nullptr) timeBeginPeriod_(ms);
    }
    void EndTimerPeriod(uint32_t ms) override {
        if (timeEndPeriod_ != nullptr) timeEndPeriod_(ms);
    }

private:
    using TimePeriodFn = MMRESULT(WINAPI*)(UINT);
    win32::SystemLibrary winmm_;
    TimePeriodFn timeBeginPeriod_;
    TimePeriodFn timeEndPeriod_;
};

class Win32DebugOutput final : public DebugOutput {
public:
    void Write(WTextView text) override { OutputDebugStringW(win32::ToApiText(text).c_str()); }
};

// Closes the file however the append ends.
class FileHandle {
public:
    explicit FileHandle(HANDLE h) : handle_(h) {}
    ~FileHandle() {
        if (valid()) CloseHandle(handle_);
    }
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;

    bool valid() const { return handle_ != INVALID_HANDLE_VALUE; }
    HANDLE get() const { return handle_; }

private:
    HANDLE handle_;
};

}  // namespace

Clock& SystemClock() {
    static Win32Clock clock;
    return clock;
}

DebugOutput& SystemDebugOutput() {
    static Win32DebugOutput output;
    return output;
}

// Shared read and write, opened only for the one line: a log viewer or a second instance
// may read or append between two lines.
bool AppendToFile(WTextView relativeName, std::span<const uint8_t> bytes) {
    const std::wstring name = win32::ToApiText(relativeName);
    FileHandle file(CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid()) return false;
    SetFilePointer(file.get(), 0, nullptr, FILE_END);
    DWORD written = 0;
    WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    return true;
}

System& RealSystem() {
    static System system{SystemClock(), SystemDebugOutput(), ProgramResources(), &win32::SystemPowerGuard()};
    return system;
}

}  // namespace kdx::platform
