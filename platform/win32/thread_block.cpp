// Sleep() counts in milliseconds; NtDelayExecution takes 100 ns units, and Wine carries a
// relative wait out with a microsecond select(). ntdll is mapped into every process, so
// looking it up loads nothing.
#include <windows.h>

#include "platform/thread_block.h"

namespace kdx::platform {

namespace {

using DelayExecutionFn = LONG(NTAPI*)(BOOLEAN alertable, const LARGE_INTEGER* interval);

DelayExecutionFn FindDelayExecution() {
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    if (ntdll == nullptr) return nullptr;
    return reinterpret_cast<DelayExecutionFn>(reinterpret_cast<void*>(GetProcAddress(ntdll, "NtDelayExecution")));
}

}  // namespace

void BlockThreadFor(int64_t ns) {
    if (ns <= 0) return;
    static const DelayExecutionFn delayExecution = FindDelayExecution();
    constexpr int64_t kNsPerUnit = 100;
    if (delayExecution == nullptr) {
        ::Sleep(static_cast<DWORD>((ns + 999'999) / 1'000'000));
        return;
    }
    // A negative interval is relative; rounded up so that the wait is never shorter.
    LARGE_INTEGER interval{};
    interval.QuadPart = -((ns + kNsPerUnit - 1) / kNsPerUnit);
    delayExecution(FALSE, &interval);
}

}  // namespace kdx::platform
