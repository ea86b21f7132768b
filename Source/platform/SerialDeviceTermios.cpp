// Serial devices on Linux ttys. All line configuration goes through the termios2
// ioctls, which take any bit rate (BOTHER); <asm/termbits.h> clashes with
// <termios.h>, so this unit uses the ioctls alone, tcflush and tcdrain included.

#include "detail/SerialDevice.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace Quorvel::detail {

namespace {

using TClock = std::chrono::steady_clock;

// XON/XOFF characters, set in the termios even though software flow control
// stays off, so that a driver or peer that reads them finds the usual values.
constexpr cc_t XonChar = 0x11;
constexpr cc_t XoffChar = 0x13;

// Rates with a Bnnn code of their own; any other rate is asked for with BOTHER.
struct TRateCode {
    std::uint32_t Rate;
    tcflag_t Code;
};
constexpr std::array<TRateCode, 23> RateCodes{{
    {50, B50},         {75, B75},         {110, B110},         {134, B134},       {150, B150},
    {200, B200},       {300, B300},       {600, B600},         {1200, B1200},     {1800, B1800},
    {2400, B2400},     {4800, B4800},     {9600, B9600},       {19200, B19200},   {38400, B38400},
    {57600, B57600},   {115200, B115200}, {230400, B230400},   {460800, B460800}, {500000, B500000},
    {576000, B576000}, {921600, B921600}, {1000000, B1000000},
}};

// True when Fd is a pseudo-terminal, master or slave. Linux has no parity on a
// pty: the first request for PARENB is dropped silently and, through tcsetattr,
// a repeated request fails with EINVAL; a pty is therefore never asked for it.
bool IsPseudoTerminal(int Fd) noexcept {
    struct stat St;
    if (fstat(Fd, &St) == 0 && S_ISCHR(St.st_mode)) {
        const unsigned Major = major(St.st_rdev);
        const unsigned Minor = minor(St.st_rdev);
        if (Major >= 136 && Major <= 143) // Unix98 pty slaves (/dev/pts/N)
            return true;
        if (Major == 5 && Minor == 2) // /dev/ptmx
            return true;
        if (Major == 2 || Major == 3) // legacy BSD pty masters and slaves
            return true;
    }
    // A master reached another way (a ptmx in a container's own devpts) still
    // answers TIOCGPTN.
    unsigned PtyNumber = 0;
    return ioctl(Fd, TIOCGPTN, &PtyNumber) == 0;
}

// The flags of cfmakeraw, plus a receiver that is on and ignores the modem
// status lines; VMIN 0 / VTIME 0 make a read return at once with what is there.
// The character shape (data bits, parity) is Configure's, so it is kept.
void MakeRaw(termios2& T) noexcept {
    T.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON |
                                        IXOFF | IXANY | IUCLC | IMAXBEL);
    T.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    T.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    T.c_cflag |= CREAD | CLOCAL;
    T.c_cc[VMIN] = 0;
    T.c_cc[VTIME] = 0;
}

void SetModemLines(int Fd, int Lines, bool Raised) noexcept {
    // A pty has no modem lines and refuses these ioctls (EINVAL/ENOTTY); the
    // line state is then simply not there to set.
    (void)ioctl(Fd, Raised ? TIOCMBIS : TIOCMBIC, &Lines);
}

// The time left until Deadline, never negative, for ppoll.
timespec TimeLeft(TClock::time_point Deadline) noexcept {
    const auto Left = std::max(Deadline - TClock::now(), TClock::duration::zero());
    const auto Ns = std::chrono::duration_cast<std::chrono::nanoseconds>(Left).count();
    timespec Ts{};
    Ts.tv_sec = static_cast<time_t>(Ns / 1'000'000'000);
    Ts.tv_nsec = static_cast<long>(Ns % 1'000'000'000);
    return Ts;
}

// How long before a timed wait's deadline the wait stops sleeping and polls.
constexpr auto SpinWindow = std::chrono::microseconds(250);

TClock::time_point DeadlineAfter(std::uint32_t TimeoutMs) noexcept {
    return TClock::now() + std::chrono::milliseconds(TimeoutMs);
}

class TTermiosSerialDevice final : public TSerialDevice {
public:
    // Owned: the descriptor is closed with the device. Hooked: it is the
    // application's, and gets back the file status flags it came with.
    TTermiosSerialDevice(int Fd, bool Owned, int HookedFlags) noexcept
        : FFd(Fd), FOwned(Owned), FHookedFlags(HookedFlags), FPseudoTerminal(IsPseudoTerminal(Fd)) {}

    ~TTermiosSerialDevice() override {
        if (FOwned) {
            // The exclusive flag lives as long as the tty does, and a pty's lives
            // with its master: without this, no one but root could open the
            // slave again. Where TIOCEXCL was refused there is nothing to undo.
            (void)ioctl(FFd, TIOCNXCL);
            // Nothing useful can be done when close fails on a descriptor we own.
            (void)close(FFd);
        } else if ((FHookedFlags & O_NONBLOCK) == 0) {
            // The application's descriptor may be gone by now; then there is
            // nothing left to restore.
            (void)fcntl(FFd, F_SETFL, FHookedFlags);
        }
    }

    TTermiosSerialDevice(const TTermiosSerialDevice&) = delete;
    TTermiosSerialDevice& operator=(const TTermiosSerialDevice&) = delete;

    int Handle() const noexcept override { return FFd; }

    bool SetupBuffers(std::int32_t InputSize, std::int32_t OutputSize) override {
        // Linux sizes tty buffers itself; only a nonsensical request is refused.
        return InputSize >= 0 && OutputSize >= 0;
    }

    bool SetTimeouts() override {
        termios2 T{};
        if (ioctl(FFd, TCGETS2, &T) != 0)
            return false;
        MakeRaw(T);
        return ioctl(FFd, TCSETS2, &T) == 0;
    }

    bool SetEventMask() override { return fcntl(FFd, F_GETFL) != -1; }

    bool Configure(const TLineSettings& Settings) override {
        if (Settings.BaudRate == 0 || (Settings.DataBits != 7 && Settings.DataBits != 8))
            return false;
        termios2 T{};
        if (ioctl(FFd, TCGETS2, &T) != 0)
            return false;
        MakeRaw(T);

        // Output and input rate alike; a zero input rate field means "as output".
        T.c_cflag &= ~static_cast<tcflag_t>(CBAUD | (CBAUD << IBSHIFT));
        const auto Code = std::find_if(RateCodes.begin(), RateCodes.end(),
                                       [&](const TRateCode& C) { return C.Rate == Settings.BaudRate; });
        T.c_cflag |= Code != RateCodes.end() ? Code->Code : static_cast<tcflag_t>(BOTHER);
        T.c_ispeed = Settings.BaudRate;
        T.c_ospeed = Settings.BaudRate;

        T.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
        T.c_cflag |= Settings.DataBits == 7 ? CS7 : CS8;
        T.c_iflag &= ~static_cast<tcflag_t>(INPCK | IGNPAR);
        if (Settings.Parity != psNone && !FPseudoTerminal) {
            // A byte with a parity error is read as 0, so the frame it belongs
            // to fails its check instead of silently losing a byte.
            T.c_cflag |= PARENB;
            if (Settings.Parity == psOdd)
                T.c_cflag |= PARODD;
            T.c_iflag |= INPCK;
        }
        if (Settings.StopBits == sb2)
            T.c_cflag |= CSTOPB;

        // Only RTS/CTS is a driver handshake here. Linux has no DTR/DSR
        // handshake: for fcDtrDsr the driver does no flow control and DTR is
        // left as Settings says (the connection holds it low for fcDtrDsr).
        // fcRtsToggle is the connection's own doing around each frame.
        if (Settings.FlowControl == fcRtsCts)
            T.c_cflag |= CRTSCTS;
        T.c_cc[VSTART] = XonChar;
        T.c_cc[VSTOP] = XoffChar;

        if (ioctl(FFd, TCSETS2, &T) != 0)
            return false;
        SetRTS(Settings.RTSRaised);
        SetDTR(Settings.DTRRaised);
        return true;
    }

    void SetRTS(bool Raised) override { SetModemLines(FFd, TIOCM_RTS, Raised); }
    void SetDTR(bool Raised) override { SetModemLines(FFd, TIOCM_DTR, Raised); }

    void Purge(bool Receive, bool Transmit) override {
        if (!Receive && !Transmit)
            return;
        const int Queue = Receive && Transmit ? TCIOFLUSH : Receive ? TCIFLUSH : TCOFLUSH;
        // A port that cannot be flushed is broken; its next read or write says so.
        (void)ioctl(FFd, TCFLSH, Queue);
    }

    void ClearErrors() override {
        // Linux keeps no sticky line-error state to clear: parity and framing
        // errors arrive as damaged bytes, which the frame check rejects.
    }

    std::int32_t Read(std::uint8_t* Dest, std::int32_t Max) override {
        if (Dest == nullptr || Max <= 0)
            return 0;
        for (;;) {
            const ssize_t R = read(FFd, Dest, static_cast<std::size_t>(Max));
            if (R >= 0)
                return static_cast<std::int32_t>(R);
            if (errno != EINTR)
                return 0; // EAGAIN: nothing has arrived; anything else: a broken port
        }
    }

    bool Write(const std::uint8_t* Data, std::int32_t Count, std::uint32_t TimeoutMs) override {
        if (Count == 0)
            return true;
        if (Data == nullptr || Count < 0)
            return false;
        const auto Deadline = DeadlineAfter(TimeoutMs);
        const std::uint8_t* Next = Data;
        std::size_t Left = static_cast<std::size_t>(Count);
        while (Left > 0) {
            const ssize_t R = write(FFd, Next, Left);
            if (R > 0) {
                Next += R;
                Left -= static_cast<std::size_t>(R);
                continue;
            }
            if (R < 0 && errno == EINTR)
                continue;
            if (R < 0 && errno != EAGAIN)
                break;
            if (!WaitWritable(TimeoutMs, Deadline))
                break;
        }
        if (Left == 0)
            return true;
        // What the port took of an incomplete frame must not reach the line later.
        Purge(false, true);
        return false;
    }

    void Drain() override {
        // TCSBRK with a non-zero argument is tcdrain. A port that fails it (hung
        // up) has nothing left that could still be sent.
        while (ioctl(FFd, TCSBRK, 1) != 0 && errno == EINTR) {
        }
    }

    TWaitResult WaitReadable(std::uint32_t TimeoutMs, TEvent* Break) override {
        const bool Infinite = TimeoutMs == InfiniteTimeout;
        const auto Deadline = DeadlineAfter(Infinite ? 0 : TimeoutMs);
        std::array<pollfd, 2> Fds{{{FFd, POLLIN, 0}, {Break != nullptr ? Break->Fd() : -1, POLLIN, 0}}};
        const nfds_t Count = Break != nullptr ? 2 : 1;
        for (;;) {
            // ppoll takes nanoseconds, so the wait ends on the deadline rather
            // than on the next whole millisecond. A timer wake-up comes late by
            // the scheduler's latency, which would stretch every silence the
            // receiver measures: the sleep ends SpinWindow early and the rest
            // is polled without sleeping.
            const timespec Left = TimeLeft(Deadline - SpinWindow);
            const int R = ppoll(Fds.data(), Count, Infinite ? nullptr : &Left, nullptr);
            if (R < 0) {
                if (errno == EINTR)
                    continue;
                return wrFailed;
            }
            if (R == 0) {
                if (!Infinite && TClock::now() >= Deadline)
                    return wrTimeout;
                continue;
            }
            if (Break != nullptr && (Fds[1].revents & POLLIN) != 0) {
                Break->Consume();
                return wrBreak;
            }
            if (Break != nullptr && (Fds[1].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0)
                return wrFailed; // an event that cannot be waited for
            // A pty slave whose master is gone reports POLLHUP at once, every
            // time; the caller learns of it instead of seeing a readable port
            // that never yields a byte.
            if ((Fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0)
                return wrFailed;
            if ((Fds[0].revents & POLLIN) != 0)
                return wrReadable;
        }
    }

private:
    // Waits for the port to take more bytes; false on timeout or a broken port.
    bool WaitWritable(std::uint32_t TimeoutMs, TClock::time_point Deadline) noexcept {
        const bool Infinite = TimeoutMs == InfiniteTimeout;
        pollfd P{FFd, POLLOUT, 0};
        for (;;) {
            const timespec Left = TimeLeft(Deadline);
            const int R = ppoll(&P, 1, Infinite ? nullptr : &Left, nullptr);
            if (R < 0 && errno == EINTR)
                continue;
            if (R < 0)
                return false;
            if (R == 0) {
                if (!Infinite && TClock::now() >= Deadline)
                    return false;
                continue;
            }
            return (P.revents & (POLLHUP | POLLERR | POLLNVAL)) == 0;
        }
    }

    int FFd;
    bool FOwned;
    int FHookedFlags;
    bool FPseudoTerminal;
};

} // namespace

std::string ResolvePortName(const std::string& Port) {
    if (Port.empty())
        return {};
    if (Port.front() == '/')
        return Port;
    // "COMn", n from 1: the n-th 8250-style port. Up to 9 digits keeps n in range.
    const bool ComPrefix = Port.size() > 3 && Port.size() <= 12 &&
                           std::equal(Port.begin(), Port.begin() + 3, "COM", [](char A, char B) {
                               return std::toupper(static_cast<unsigned char>(A)) == B;
                           });
    if (ComPrefix && std::all_of(Port.begin() + 3, Port.end(),
                                 [](char C) { return std::isdigit(static_cast<unsigned char>(C)) != 0; })) {
        const unsigned long N = std::stoul(Port.substr(3));
        if (N >= 1)
            return "/dev/ttyS" + std::to_string(N - 1);
    }
    return "/dev/" + Port;
}

std::unique_ptr<TSerialDevice> OpenSerialDevice(const std::string& Port) {
    const std::string Path = ResolvePortName(Port);
    if (Path.empty())
        return nullptr;
    const int Fd = open(Path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (Fd < 0)
        return nullptr;
    // Drivers without TIOCEXCL (and kernels before 3.8) answer EINVAL or ENOTTY;
    // the port still works, only without the guard against a second opener.
    if (ioctl(Fd, TIOCEXCL) != 0 && errno != EINVAL && errno != ENOTTY) {
        // The port is unusable anyway; a failing close changes nothing.
        (void)close(Fd);
        return nullptr;
    }
    return std::make_unique<TTermiosSerialDevice>(Fd, true, 0);
}

std::unique_ptr<TSerialDevice> HookSerialDevice(int Fd) {
    if (Fd < 0)
        return nullptr;
    const int Flags = fcntl(Fd, F_GETFL);
    if (Flags == -1)
        return nullptr;
    // Reads and writes here never block; the descriptor gets its flags back
    // when the device is destroyed.
    if ((Flags & O_NONBLOCK) == 0 && fcntl(Fd, F_SETFL, Flags | O_NONBLOCK) == -1)
        return nullptr;
    return std::make_unique<TTermiosSerialDevice>(Fd, false, Flags);
}

} // namespace Quorvel::detail
