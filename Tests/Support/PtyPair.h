// A pty pair standing in for a null-modem cable: the code under test opens the
// slave by its path, the test drives the master end.
#pragma once

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <stdexcept>
#include <string>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace QuorvelTest {

class TPtyPair {
public:
    using TBytes = std::vector<std::uint8_t>;
    using TMilliseconds = std::chrono::milliseconds;

    // Opens the pair with both ends raw. The pair keeps a slave descriptor of its
    // own open, so the master never sees EIO between two opens of the slave.
    // Raises std::runtime_error when the system refuses.
    TPtyPair() {
        termios Raw{};
        cfmakeraw(&Raw);
        Raw.c_cflag |= CREAD | CLOCAL;
        char Name[128] = {};
        if (openpty(&FMaster, &FSlave, Name, &Raw, nullptr) != 0)
            Fail("openpty");
        FSlavePath = Name;
        const int Flags = fcntl(FMaster, F_GETFL);
        if (Flags == -1 || fcntl(FMaster, F_SETFL, Flags | O_NONBLOCK) == -1 ||
            fcntl(FMaster, F_SETFD, FD_CLOEXEC) == -1 || fcntl(FSlave, F_SETFD, FD_CLOEXEC) == -1) {
            const std::string Error = std::strerror(errno);
            CloseAll();
            throw std::runtime_error("pty setup: " + Error);
        }
    }

    ~TPtyPair() { CloseAll(); }

    TPtyPair(const TPtyPair&) = delete;
    TPtyPair& operator=(const TPtyPair&) = delete;

    int MasterFd() const noexcept { return FMaster; }
    int SlaveFd() const noexcept { return FSlave; }
    const std::string& SlavePath() const noexcept { return FSlavePath; }

    // Sends Bytes to the slave side, all of them (the line's receive side).
    void Write(const TBytes& Bytes) {
        std::size_t Done = 0;
        while (Done < Bytes.size()) {
            const ssize_t R = ::write(FMaster, Bytes.data() + Done, Bytes.size() - Done);
            if (R > 0) {
                Done += static_cast<std::size_t>(R);
            } else if (R < 0 && errno == EAGAIN) {
                pollfd P{FMaster, POLLOUT, 0};
                if (poll(&P, 1, 1000) <= 0)
                    throw std::runtime_error("pty master: the slave side does not take bytes");
            } else if (!(R < 0 && errno == EINTR)) {
                Fail("write to pty master");
            }
        }
    }

    // What the slave side wrote: reads until Count bytes have arrived or Timeout
    // has passed, and returns what came (fewer than Count on timeout).
    TBytes Read(std::size_t Count, TMilliseconds Timeout) {
        TBytes Bytes;
        const auto Deadline = std::chrono::steady_clock::now() + Timeout;
        while (Bytes.size() < Count) {
            const auto Left = std::chrono::ceil<TMilliseconds>(Deadline - std::chrono::steady_clock::now());
            if (Left.count() <= 0)
                break;
            pollfd P{FMaster, POLLIN, 0};
            const int R = poll(&P, 1, static_cast<int>(Left.count()));
            if (R < 0 && errno == EINTR)
                continue;
            if (R <= 0)
                break;
            std::uint8_t Chunk[256];
            const ssize_t N = ::read(FMaster, Chunk, std::min(sizeof Chunk, Count - Bytes.size()));
            if (N > 0)
                Bytes.insert(Bytes.end(), Chunk, Chunk + N);
            else if (!(N < 0 && (errno == EAGAIN || errno == EINTR)))
                break; // EIO: no slave open any more
        }
        return Bytes;
    }

    // Everything the slave side wrote until it has been quiet for Quiet.
    TBytes ReadUntilQuiet(TMilliseconds Quiet) {
        TBytes Bytes;
        for (;;) {
            TBytes More = Read(4096, Quiet);
            if (More.empty())
                return Bytes;
            Bytes.insert(Bytes.end(), More.begin(), More.end());
        }
    }

    // Closes the master end: the slave side sees a hang-up from now on.
    void CloseMaster() noexcept { CloseFd(FMaster); }

private:
    [[noreturn]] void Fail(const char* What) {
        const std::string Error = std::strerror(errno);
        CloseAll();
        throw std::runtime_error(std::string(What) + ": " + Error);
    }

    static void CloseFd(int& Fd) noexcept {
        // Test teardown: a failing close leaves nothing to recover.
        if (Fd >= 0)
            (void)::close(Fd);
        Fd = -1;
    }

    void CloseAll() noexcept {
        CloseFd(FSlave);
        CloseFd(FMaster);
    }

    int FMaster = -1;
    int FSlave = -1;
    std::string FSlavePath;
};

} // namespace QuorvelTest
