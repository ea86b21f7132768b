// Event objects on Linux eventfd descriptors.

#include "detail/Event.h"
#include "detail/SystemError.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace Quorvel::detail {

void RaiseLastSystemError(const char* What) {
    throw std::system_error(errno, std::generic_category(), What);
}

TEvent::TEvent(bool ManualReset) : FFd(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)), FManualReset(ManualReset) {
    if (FFd < 0)
        RaiseLastSystemError("eventfd");
}

TEvent::~TEvent() {
    // Nothing useful can be done when close fails on a descriptor we own.
    (void)close(FFd);
}

void TEvent::Set() noexcept {
    const std::uint64_t One = 1;
    // EAGAIN means the counter is already at its maximum: still signalled.
    (void)!write(FFd, &One, sizeof One);
}

void TEvent::Reset() noexcept {
    std::uint64_t Value;
    // EAGAIN means it was not signalled: already reset.
    (void)!read(FFd, &Value, sizeof Value);
}

void TEvent::Consume() noexcept {
    if (!FManualReset)
        Reset();
}

bool TEvent::Wait(std::uint32_t TimeoutMs) noexcept {
    using Clock = std::chrono::steady_clock;
    const auto Deadline = Clock::now() + std::chrono::milliseconds(TimeoutMs);
    pollfd P{FFd, POLLIN, 0};
    for (;;) {
        int Timeout = -1;
        if (TimeoutMs != InfiniteTimeout) {
            const auto Left = std::chrono::ceil<std::chrono::milliseconds>(Deadline - Clock::now()).count();
            Timeout = static_cast<int>(std::clamp<long long>(Left, 0, 0x7FFFFFFF));
        }
        const int R = poll(&P, 1, Timeout);
        if (R < 0 && errno == EINTR)
            continue;
        if (R <= 0)
            return false;
        if (FManualReset)
            return true;
        // Another waiter may have taken the signal of an auto-reset event first.
        std::uint64_t Value;
        if (read(FFd, &Value, sizeof Value) == sizeof Value)
            return true;
        if (TimeoutMs != InfiniteTimeout && Clock::now() >= Deadline)
            return false;
    }
}

} // namespace Quorvel::detail
