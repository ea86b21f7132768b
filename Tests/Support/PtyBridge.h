// A null-modem cable between two programs: two pty pairs whose master ends are
// joined by a relay thread. Each program opens one slave path as if it were a
// serial port; what one writes the other reads, in both directions.
//
// A pty carries bytes only: it forces 8N1 whatever is asked and has no modem
// lines, so both programs must ask for parity none (pyserial's open fails
// otherwise); the library never asks a pty for parity.
#pragma once

#include "Support/PtyPair.h"

#include <array>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <functional>
#include <poll.h>
#include <stdexcept>
#include <string>
#include <sys/eventfd.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace QuorvelTest {

class TPtyBridge {
public:
    using TBytes = std::vector<std::uint8_t>;
    enum TDirection { dirAtoB, dirBtoA };
    // Sees each chunk on its way and may change it in place (an empty chunk is
    // dropped). Runs on the relay thread. The hook for fault injection.
    using TChunkFilter = std::function<void(TDirection Direction, TBytes& Chunk)>;

    // Opens both pairs and starts the relay. Raises std::runtime_error when the
    // system refuses.
    explicit TPtyBridge(TChunkFilter Filter = {}) : FFilter(std::move(Filter)) {
        FWake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (FWake == -1)
            throw std::runtime_error(std::string("eventfd: ") + std::strerror(errno));
        try {
            FRelay = std::thread([this] { Relay(); });
        } catch (...) {
            // Teardown after a failed start: nothing is left to report the error to.
            (void)::close(FWake);
            throw;
        }
    }

    ~TPtyBridge() {
        const std::uint64_t One = 1;
        // A failed write leaves the relay running and join hanging; it cannot
        // fail for an eventfd counter this far from its limit.
        (void)::write(FWake, &One, sizeof One);
        FRelay.join();
        (void)::close(FWake);
    }

    TPtyBridge(const TPtyBridge&) = delete;
    TPtyBridge& operator=(const TPtyBridge&) = delete;

    const std::string& SlavePathA() const noexcept { return FA.SlavePath(); }
    const std::string& SlavePathB() const noexcept { return FB.SlavePath(); }

    // The relay's own failure (a read or write error on a master), empty while
    // it runs well. Read it after the programs are done.
    std::string RelayError() const { return FFailed.load() ? FRelayError : std::string(); }

private:
    // One direction of the relay: bytes read from From wait in Pending until
    // To has taken all of them, so nothing is lost when To's queue is full.
    struct TLane {
        int From;
        int To;
        TDirection Direction;
        TBytes Pending;
        std::size_t Done = 0;
        bool Closed = false;
    };

    void Relay() {
        std::array<TLane, 2> Lanes{TLane{FA.MasterFd(), FB.MasterFd(), dirAtoB, {}},
                                   TLane{FB.MasterFd(), FA.MasterFd(), dirBtoA, {}}};
        for (;;) {
            std::array<pollfd, 3> Fds{};
            Fds[0] = {FWake, POLLIN, 0};
            for (std::size_t i = 0; i < Lanes.size(); ++i) {
                const TLane& L = Lanes[i];
                if (L.Done < L.Pending.size())
                    Fds[i + 1] = {L.To, POLLOUT, 0};
                else
                    Fds[i + 1] = {L.Closed ? -1 : L.From, POLLIN, 0};
            }
            if (poll(Fds.data(), Fds.size(), -1) < 0) {
                if (errno == EINTR)
                    continue;
                Fail("poll");
                return;
            }
            if (Fds[0].revents != 0)
                return;
            for (std::size_t i = 0; i < Lanes.size(); ++i) {
                if (Fds[i + 1].revents != 0 && !Step(Lanes[i]))
                    return;
            }
        }
    }

    // Moves one chunk along a lane: reads it when nothing is pending, else
    // writes what is pending. False after a failure.
    bool Step(TLane& L) {
        if (L.Done < L.Pending.size()) {
            const ssize_t N = ::write(L.To, L.Pending.data() + L.Done, L.Pending.size() - L.Done);
            if (N > 0)
                L.Done += static_cast<std::size_t>(N);
            else if (!(N < 0 && (errno == EAGAIN || errno == EINTR)))
                return Fail("write to pty master");
            return true;
        }
        // A tiny buffer, so a chunk rarely holds more than a frame's worth and
        // the relay adds no visible latency.
        std::uint8_t Chunk[64];
        const ssize_t N = ::read(L.From, Chunk, sizeof Chunk);
        if (N > 0) {
            L.Pending.assign(Chunk, Chunk + N);
            L.Done = 0;
            if (FFilter)
                FFilter(L.Direction, L.Pending);
        } else if (N < 0 && errno == EIO) {
            // No slave open: cannot happen while the pair holds its own slave
            // descriptor, but a hang-up must not make the relay spin.
            L.Closed = true;
        } else if (!(N < 0 && (errno == EAGAIN || errno == EINTR))) {
            return Fail("read from pty master");
        }
        return true;
    }

    bool Fail(const char* What) {
        FRelayError = std::string(What) + ": " + std::strerror(errno);
        FFailed.store(true);
        return false;
    }

    TPtyPair FA;
    TPtyPair FB;
    TChunkFilter FFilter;
    int FWake = -1;
    std::string FRelayError;
    std::atomic<bool> FFailed{false};
    std::thread FRelay;
};

} // namespace QuorvelTest
