// Time as the updater sees it: the performance counter, sleeps, and the system timer
// resolution. Every wait of the updater goes through a Clock, so that tests and the chip
// simulator run on virtual time while the program on a PC runs on the real counter.
#pragma once

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <vector>

namespace kdx::platform {

class Clock {
public:
    virtual ~Clock() = default;

    // QueryPerformanceFrequency: counter ticks per second.
    virtual int64_t Frequency() = 0;
    // QueryPerformanceCounter.
    virtual int64_t Counter() = 0;
    // Called by busy-wait loops between two readings of the counter, with the ticks still
    // to go. The real clock just spins on; the virtual clock moves time on by that much,
    // so that a busy-wait ends after exactly the time it asked for.
    virtual void Spin(int64_t ticksToGo) = 0;
    // Sleep(ms).
    virtual void Sleep(uint32_t ms) = 0;
    // timeBeginPeriod / timeEndPeriod.
    virtual void BeginTimerPeriod(uint32_t ms) = 0;
    virtual void EndTimerPeriod(uint32_t ms) = 0;
};

// The operating system's clock (QueryPerformanceCounter and Sleep on Windows,
// CLOCK_MONOTONIC and nanosleep elsewhere).
Clock& SystemClock();

// A clock whose time moves only when something waits: sleeps and busy-waits advance it
// instantly and exactly, and the chip simulator advances it by the modelled duration of
// every AUX transaction. Frequency: 10 MHz, the usual performance-counter rate.
class VirtualClock final : public Clock {
public:
    static constexpr int64_t kFrequency = 10'000'000;

    int64_t Frequency() override { return kFrequency; }
    int64_t Counter() override { return ticks_; }
    void Spin(int64_t ticksToGo) override { ticks_ += ticksToGo > 0 ? ticksToGo : 1; }
    void Sleep(uint32_t ms) override {
        ticks_ += static_cast<int64_t>(ms) * (kFrequency / 1000);
        ++sleepCalls_;
    }
    // As with timeEndPeriod, an end undoes only a begin of the same period: a mismatched
    // pair leaves the raised resolution in force, and the depth shows it.
    void BeginTimerPeriod(uint32_t ms) override {
        openPeriods_.push_back(ms);
        ++timerPeriodRaises_;
    }
    void EndTimerPeriod(uint32_t ms) override {
        const auto open = std::find(openPeriods_.rbegin(), openPeriods_.rend(), ms);
        if (open != openPeriods_.rend()) openPeriods_.erase(std::next(open).base());
    }

    // Moves time on by a modelled duration (the simulator's AUX and flash timing).
    void AdvanceNs(int64_t ns) { ticks_ += ns / (1'000'000'000 / kFrequency); }
    void AdvanceUs(int64_t us) { ticks_ += us * (kFrequency / 1'000'000); }
    // Sets the counter (tests of the wrap-around rule).
    void SetCounter(int64_t ticks) { ticks_ = ticks; }

    int64_t NowUs() const { return ticks_ / (kFrequency / 1'000'000); }
    int64_t NowNs() const { return ticks_ * (1'000'000'000 / kFrequency); }
    int SleepCalls() const { return sleepCalls_; }
    int TimerPeriodDepth() const { return static_cast<int>(openPeriods_.size()); }
    int TimerPeriodRaises() const { return timerPeriodRaises_; }

private:
    int64_t ticks_ = 0;
    int sleepCalls_ = 0;
    std::vector<uint32_t> openPeriods_;
    int timerPeriodRaises_ = 0;
};

}  // namespace kdx::platform
