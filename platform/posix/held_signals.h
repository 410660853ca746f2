// The stop signals (SIGINT, SIGTERM, SIGHUP, SIGQUIT) held while the chip's flash may be
// half written. While held they are blocked in the program's thread and taken by a watcher
// thread of their own, which answers the first one; the program goes on to the end of
// its run. Ctrl-Z and background terminal output (SIGTSTP, SIGTTIN, SIGTTOU) would stop
// the program with the chip in ISP mode: they are ignored for the same span.
#pragma once

#include <signal.h>

#include <array>
#include <atomic>
#include <functional>
#include <string>
#include <thread>

namespace kdx::platform {

class HeldSignals {
public:
    // `firstAnswer` is called on the watcher's thread at the first signal held; its text
    // goes to standard error.
    explicit HeldSignals(std::function<std::string()> firstAnswer);
    ~HeldSignals();
    HeldSignals(const HeldSignals&) = delete;
    HeldSignals& operator=(const HeldSignals&) = delete;

    void Hold();
    // Ends the span: the signals are delivered as usual again (a held one is not).
    void Release();
    // The first signal held, 0 when none came.
    int Received() const { return received_.load(); }

private:
    void Watch();

    std::function<std::string()> firstAnswer_;
    sigset_t held_{};
    sigset_t previousMask_{};
    std::array<struct sigaction, 3> previousStops_{};
    std::atomic<bool> holding_{false};
    std::atomic<int> received_{0};
    std::thread watcher_;
};

}  // namespace kdx::platform
