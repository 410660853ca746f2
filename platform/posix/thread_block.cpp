#include <sys/prctl.h>
#include <time.h>

#include <cerrno>

#include "platform/thread_block.h"

namespace kdx::platform {

namespace {

// The kernel lets a sleeping thread's timer fire up to its timer slack late (50 us by
// default), which on spans of a few microseconds would be most of the wait. The slack is
// the thread's own, so it is lowered only while this thread blocks here and then restored:
// the program the thread belongs to keeps its own.
class FineTimerSlack {
public:
    FineTimerSlack() : saved_(prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0)) {
        if (saved_ > 0) prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);
    }
    ~FineTimerSlack() {
        if (saved_ > 0) prctl(PR_SET_TIMERSLACK, static_cast<unsigned long>(saved_), 0, 0, 0);
    }
    FineTimerSlack(const FineTimerSlack&) = delete;
    FineTimerSlack& operator=(const FineTimerSlack&) = delete;

private:
    int saved_;
};

}  // namespace

void BlockThreadFor(int64_t ns) {
    if (ns <= 0) return;
    constexpr int64_t kNsPerSecond = 1'000'000'000;
    timespec deadline{};
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    const int64_t end = static_cast<int64_t>(deadline.tv_nsec) + ns;
    deadline.tv_sec += static_cast<time_t>(end / kNsPerSecond);
    deadline.tv_nsec = static_cast<long>(end % kNsPerSecond);
    const FineTimerSlack slack;
    // An absolute deadline, so that a signal's interruption does not restart the span.
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
    }
}

}  // namespace kdx::platform
