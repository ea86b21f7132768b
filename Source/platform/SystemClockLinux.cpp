// Timer resolution on Linux: the per-thread timer slack.

#include "SystemClock.h"

#include <sys/prctl.h>

namespace Quorvel {

namespace {

// In nanoseconds: the kernel may defer a timer by up to this much to batch
// wake-ups (50 us by default).
constexpr unsigned long FineTimerSlack = 1000;

} // namespace

TSystemClockResolutionEnhancer::TSystemClockResolutionEnhancer() {
    // Without the old value there would be nothing safe to give back, so a
    // failed query (not seen since Linux 2.6.28) leaves the slack alone.
    const int Previous = prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0);
    if (Previous > 0) {
        FPreviousSlack = static_cast<unsigned long>(Previous);
        // A refusal leaves the default slack, a few tens of microseconds,
        // which still keeps waits well within a millisecond.
        (void)prctl(PR_SET_TIMERSLACK, FineTimerSlack, 0, 0, 0);
    }
    FTimerInterval = 1;
}

TSystemClockResolutionEnhancer::~TSystemClockResolutionEnhancer() {
    // The slack belongs to the calling thread: the library creates and
    // destroys its enhancer on the main thread.
    if (FPreviousSlack > 0) {
        // A refusal here leaves the fine slack, which harms nothing.
        (void)prctl(PR_SET_TIMERSLACK, FPreviousSlack, 0, 0, 0);
    }
    FTimerInterval = 0;
}

std::uint32_t TSystemClockResolutionEnhancer::TimerInterval() const noexcept {
    return FTimerInterval;
}

} // namespace Quorvel
