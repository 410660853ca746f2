// The simulator's view of time: nanoseconds read from the clock the updater runs on. On a
// VirtualClock the simulator moves time on by the modelled duration of what it does; on
// the real clock it blocks that long, as a driver call blocks for its AUX transaction on
// real hardware (the ISP driver relies on the host being no faster than the wire). It
// blocks rather than spins, as the driver's thread waits for the engine's interrupt: the
// processor stays free for the updater's own busy-waits, and for other runs beside it.
#pragma once

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
    // Lets a modelled duration pass: at once on the virtual clock, blocked through on the real
    // one. A blocked thread wakes some tens of microseconds late, so a span shorter than
    // kShortestBlockNs (a system call's cost) is spun through instead; either way no span is
    // ever shorter than the model's, so the host is never faster than the wire.
    void Spend(int64_t ns) {
        if (ns <= 0) return;
        if (virtual_ != nullptr) {
            virtual_->AdvanceNs(ns);
            return;
        }
        if (ns >= kShortestBlockNs) {
            platform::BlockThreadFor(ns);
            return;
        }
        const int64_t until = NowNs() + ns;
        while (NowNs() < until) {
        }
    }
    // A pause with nothing to model in it: moved on at once, or slept through.
    void Pause(int64_t ns) {
        if (virtual_ != nullptr) virtual_->AdvanceNs(ns);
        else if (ns > 0) clock_.Sleep(static_cast<uint32_t>(ns / 1'000'000));
    }
    bool IsVirtual() const { return virtual_ != nullptr; }

private:
    static constexpr int64_t kShortestBlockNs = 50'000;

    platform::Clock& clock_;
    platform::VirtualClock* virtual_;
};

}  // namespace kdx::sim
