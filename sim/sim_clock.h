// The simulator's view of time: nanoseconds read from the clock the updater runs on. On a
// VirtualClock the simulator also spends the modelled time of what it does; on the real
// clock time passes by itself and the chip only compares against it.
#pragma once

#include <cstdint>

#include "platform/clock.h"

namespace kdx::sim {

class SimClock {
public:
    SimClock(platform::Clock& clock, platform::VirtualClock* virtualClock) : clock_(clock), virtual_(virtualClock) {}

    int64_t NowNs() const {
        const int64_t frequency = clock_.Frequency();
        const int64_t counter = clock_.Counter();
        if (frequency <= 0) return 0;
        constexpr int64_t kNsPerSecond = 1'000'000'000;
        return counter / frequency * kNsPerSecond + counter % frequency * kNsPerSecond / frequency;
    }
    // Moves virtual time on by a modelled duration; nothing on the real clock.
    void Spend(int64_t ns) {
        if (virtual_ != nullptr && ns > 0) virtual_->AdvanceNs(ns);
    }
    bool IsVirtual() const { return virtual_ != nullptr; }

private:
    platform::Clock& clock_;
    platform::VirtualClock* virtual_;
};

}  // namespace kdx::sim
