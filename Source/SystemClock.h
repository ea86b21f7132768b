// Quorvel: the resolution of the system's timers.
#pragma once

#include <cstdint>

namespace Quorvel {

// Keeps the library's sleeps and timed waits within about a millisecond of what
// they ask for. Applications never create one: the library holds a single one
// from start-up to shutdown. Linux timers are fine-grained already; the
// enhancer narrows the timer slack of the thread that creates it (and of every
// thread created from it later) to 1 microsecond, and gives the old slack back
// when destroyed. Never fails: a system that refuses keeps its default slack.
class TSystemClockResolutionEnhancer {
public:
    TSystemClockResolutionEnhancer();
    virtual ~TSystemClockResolutionEnhancer();

    TSystemClockResolutionEnhancer(const TSystemClockResolutionEnhancer&) = delete;
    TSystemClockResolutionEnhancer& operator=(const TSystemClockResolutionEnhancer&) = delete;

    // The timer resolution in milliseconds while the enhancer lives: 1.
    std::uint32_t TimerInterval() const noexcept;

private:
    std::uint32_t FTimerInterval = 0;
    unsigned long FPreviousSlack = 0;
};

} // namespace Quorvel
