#include "platform/posix/held_signals.h"

#include <pthread.h>
#include <time.h>
#include <unistd.h>

#include <array>

namespace kdx::platform {

namespace {

constexpr std::array<int, 4> kStopSignals{SIGINT, SIGTERM, SIGHUP, SIGQUIT};
constexpr std::array<int, 3> kJobControlSignals{SIGTSTP, SIGTTIN, SIGTTOU};
// How often the watcher looks whether the span has ended.
constexpr long kWatchIntervalNs = 20'000'000;

void WriteAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n <= 0) return;
        done += static_cast<size_t>(n);
    }
}

}  // namespace

HeldSignals::HeldSignals(std::function<std::string()> firstAnswer) : firstAnswer_(std::move(firstAnswer)) {
    sigemptyset(&held_);
    for (int signal : kStopSignals) sigaddset(&held_, signal);
}

HeldSignals::~HeldSignals() { Release(); }

void HeldSignals::Hold() {
    if (holding_.exchange(true)) return;
    received_ = 0;
    // Blocked before the watcher starts, so that it inherits the mask and no signal can
    // reach the program's thread in between.
    pthread_sigmask(SIG_BLOCK, &held_, &previousMask_);
    struct sigaction ignore{};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    for (size_t i = 0; i < kJobControlSignals.size(); ++i) sigaction(kJobControlSignals[i], &ignore, &previousStops_[i]);
    watcher_ = std::thread([this] { Watch(); });
}

void HeldSignals::Release() {
    if (!holding_.exchange(false)) return;
    watcher_.join();
    for (size_t i = 0; i < kJobControlSignals.size(); ++i) sigaction(kJobControlSignals[i], &previousStops_[i], nullptr);
    pthread_sigmask(SIG_SETMASK, &previousMask_, nullptr);
}

void HeldSignals::Watch() {
    const timespec interval{0, kWatchIntervalNs};
    // Signals that come while the span ends are still taken here: the watcher stops only
    // when none is pending any more.
    for (;;) {
        const int signal = sigtimedwait(&held_, nullptr, &interval);
        if (signal > 0) {
            int none = 0;
            if (received_.compare_exchange_strong(none, signal) && firstAnswer_) WriteAll(STDERR_FILENO, firstAnswer_());
            continue;
        }
        if (!holding_.load()) return;
    }
}

}  // namespace kdx::platform
