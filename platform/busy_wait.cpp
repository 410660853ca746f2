#include "platform/busy_wait.h"

#include <limits>

namespace kdx::platform {

void BusyWaitTicks(Clock& clock, int64_t ticks) {
    if (ticks <= 0) return;
    constexpr int64_t kCounterMax = std::numeric_limits<int64_t>::max();
    const int64_t start = clock.Counter();
    bool wrapped = false;
    for (;;) {
        const int64_t now = clock.Counter();
        if (now < start) wrapped = true;
        const int64_t elapsed = wrapped ? (kCounterMax - start) + now : now - start;
        if (elapsed >= ticks) return;
        clock.Spin(ticks - elapsed);
    }
}

int64_t TicksForMicroseconds(Clock& clock, double microseconds) {
    return static_cast<int64_t>(static_cast<double>(clock.Frequency()) * microseconds / 1'000'000.0);
}

}  // namespace kdx::platform
