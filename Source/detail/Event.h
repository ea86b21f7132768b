// Internal to the Quorvel library; not part of its API.
#pragma once

#include <cstdint>

namespace Quorvel::detail {

// Waits without limit when given as a timeout.
inline constexpr std::uint32_t InfiniteTimeout = 0xFFFFFFFFu;

// An event object on an eventfd, so that it can be waited for together with a
// port in one poll(). Auto-reset: a successful Wait consumes the signal.
// Manual-reset: the signal stays until Reset. Set and Reset may be called from
// any thread. Raises std::system_error when the descriptor cannot be created.
class TEvent {
public:
    explicit TEvent(bool ManualReset);
    ~TEvent();

    TEvent(const TEvent&) = delete;
    TEvent& operator=(const TEvent&) = delete;

    void Set() noexcept;
    void Reset() noexcept;
    // True when the event was signalled within TimeoutMs (InfiniteTimeout: no limit).
    bool Wait(std::uint32_t TimeoutMs) noexcept;
    // Called after poll() reported the descriptor readable: consumes the signal of
    // an auto-reset event; a manual-reset event keeps it.
    void Consume() noexcept;

    int Fd() const noexcept { return FFd; }
    bool ManualReset() const noexcept { return FManualReset; }

private:
    int FFd;
    bool FManualReset;
};

} // namespace Quorvel::detail
