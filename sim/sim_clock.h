// The simulator's view of time: nanoseconds read from the clock the updater runs on. On a
// VirtualClock the simulator moves time on by the modelled duration of what it does; on
// the real clock it blocks that long, as a driver call blocks for its AUX transaction on
// real hardware (the ISP driver relies on the host being no faster than the wire). It
// blocks rather than spins, as the driver's thread waits for the engine's interrupt: the
// processor stays free for the updater's own busy-waits, and for other runs beside it.
#pragma once

#include <algorithm>
#include <cstdint>

#include "platform/clock.h"
#include "platform/thread_block.h"

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
    // Lets a modelled duration pass: at once on the virtual clock, blocked through on the real one.
    // A blocked thread wakes some tens of microseconds late, as much as a short AUX transaction
    // lasts; that lateness is taken off the next span, so that a run of calls lasts what the
    // model says. It is carried for at most kMaxLatenessCarriedNs, so that no call is cut by
    // more than one wake-up's delay and a stall of the machine is not paid back.
    void Spend(int64_t ns) {
        if (ns <= 0) return;
        if (virtual_ != nullptr) {
            virtual_->AdvanceNs(ns);
            return;
        }
        const int64_t owed = ns - latenessNs_;
        if (owed <= 0) {
            latenessNs_ -= ns;
            return;
        }
        const int64_t start = NowNs();
        platform::BlockThreadFor(owed);
        latenessNs_ = std::clamp<int64_t>(NowNs() - start - owed, 0, kMaxLatenessCarriedNs);
    }
    // A pause with nothing to model in it: moved on at once, or slept through.
    void Pause(int64_t ns) {
        if (virtual_ != nullptr) virtual_->AdvanceNs(ns);
        else if (ns > 0) clock_.Sleep(static_cast<uint32_t>(ns / 1'000'000));
    }
    bool IsVirtual() const { return virtual_ != nullptr; }

private:
    static constexpr int64_t kMaxLatenessCarriedNs = 100'000;

    platform::Clock& clock_;
    platform::VirtualClock* virtual_;
    int64_t latenessNs_ = 0;
};

}  // namespace kdx::sim
