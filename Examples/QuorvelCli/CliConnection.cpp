#include "CliConnection.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <system_error>
#include <unistd.h>

namespace QuorvelCli {

using namespace Quorvel;

namespace {

constexpr std::uint32_t StandardRates[] = {110,   300,   600,   1200,  2400,   4800,   9600,  14400,
                                           19200, 38400, 56000, 57600, 115200, 128000, 256000};

std::atomic<int> StopSignalSeen{0};

void OnStopSignal(int Signal) {
    StopSignalSeen.store(Signal);
}

// The device the library opens for Port, by the same rule: an absolute path as
// it is, "COMn" as /dev/ttyS(n-1), any other name under /dev.
std::string DevicePath(const std::string& Port) {
    if (Port.empty() || Port.front() == '/')
        return Port;
    if (Port.size() > 3 && Port.size() <= 12 && strncasecmp(Port.c_str(), "COM", 3) == 0 &&
        std::all_of(Port.begin() + 3, Port.end(), [](char C) { return C >= '0' && C <= '9'; })) {
        const unsigned long N = std::strtoul(Port.c_str() + 3, nullptr, 10);
        if (N >= 1)
            return "/dev/ttyS" + std::to_string(N - 1);
    }
    return "/dev/" + Port;
}

// Why the device at Path cannot be opened, as the system says it; empty when
// it opens (the library refused it for another reason).
std::string OpenFailureReason(const std::string& Path) {
    const int Fd = ::open(Path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (Fd < 0)
        return std::strerror(errno);
    // Only a probe: nothing was read or written, and a failing close changes nothing.
    (void)::close(Fd);
    return {};
}

template <typename F>
void Apply(const char* What, F&& Set) {
    try {
        Set();
    } catch (const EQuorvelError& E) {
        throw EUsageError(std::string("bad ") + What + ": " + E.what());
    }
}

} // namespace

std::string PortName(const TOptions& Options) {
    if (!Options.Port.empty())
        return Options.Port;
    if (Options.PortFd >= 0)
        return "descriptor " + std::to_string(Options.PortFd);
    const char* Env = std::getenv("QUORVEL_PORT");
    if (Env != nullptr && *Env != '\0')
        return Env;
    throw EUsageError("no port given: use --port NAME (or set QUORVEL_PORT)");
}

void ConfigureConnection(TModbusConnection& C, const TOptions& O, TConnectionMode Mode) {
    C.SetConnectionMode(Mode);
    if (O.PortFd >= 0) {
        C.SetHookExistingPort(true);
        const int Fd = O.PortFd;
        C.OnGetHookedPortHandle = [Fd](TComponent*, TPortHandle& Handle) { Handle = Fd; };
    } else {
        C.SetPort(PortName(O));
    }
    const auto Rate = std::find(std::begin(StandardRates), std::end(StandardRates), O.Baud);
    if (Rate != std::end(StandardRates))
        C.SetBaudRate(static_cast<TBaudRate>(Rate - std::begin(StandardRates)));
    else
        Apply("baud rate", [&] { C.SetCustomBaudRate(O.Baud); });
    C.SetDataBits(O.DataBits);
    C.SetParity(O.Parity);
    C.SetStopBits(O.StopBits);
    C.SetTransmissionMode(O.Mode);
    Apply("silent interval", [&] { C.SetSilentInterval(O.SilentInterval); });
    C.SetReceiveTimeout(O.Timeout);
    C.SetSendTimeout(O.SendTimeout);
    Apply("attempts", [&] { C.SetMaxRetries(O.Attempts); });
    C.SetRefetchDelay(O.RefetchDelay);
    C.SetTurnaroundDelay(O.TurnaroundDelay);
    C.SetEchoQueryBeforeReply(O.Echo);
    C.SetFlowControl(O.Flow);
    C.SetRTSHoldDelay(O.RtsHold);
    C.SetRTSEnabled(O.Rts);
    C.SetDTREnabled(O.Dtr);
    C.SetInputBufferSize(O.InputBuffer);
    C.SetOutputBufferSize(O.OutputBuffer);
    C.SetThreadPriority(O.Priority);
}

void OpenConnection(TModbusConnection& C, const TOptions& O) {
    try {
        C.Open();
    } catch (const std::exception& E) {
        std::string Message = "cannot open port '" + PortName(O) + "': " + E.what();
        if (O.PortFd < 0) {
            const std::string Path = DevicePath(PortName(O));
            const std::string Reason = OpenFailureReason(Path);
            if (!Reason.empty())
                Message += " (" + Path + ": " + Reason + ")";
        }
        throw EOpenError(Message);
    }
}

std::string LineDescription(const TOptions& O) {
    std::string Text = PortName(O);
    Text += O.Mode == tmRTU ? ", RTU, " : ", ASCII, ";
    Text += std::to_string(O.Baud) + " baud, ";
    Text += O.DataBits == db7 ? "7" : "8";
    Text += O.Parity == psNone ? "N" : O.Parity == psOdd ? "O" : "E";
    Text += O.StopBits == sb1 ? "1" : "2";
    return Text;
}

void InstallStopSignals() {
    struct sigaction Action {};
    Action.sa_handler = OnStopSignal;
    sigemptyset(&Action.sa_mask);
    // No SA_RESTART: a wait in progress ends with EINTR and the loop looks at the flag.
    Action.sa_flags = 0;
    // sigaction fails only for an invalid signal number; these are valid.
    (void)sigaction(SIGINT, &Action, nullptr);
    (void)sigaction(SIGTERM, &Action, nullptr);
    (void)std::signal(SIGPIPE, SIG_IGN);
}

bool StopRequested() noexcept {
    return StopSignalSeen.load() != 0;
}

int StopSignal() noexcept {
    return StopSignalSeen.load();
}

bool PumpUntil(const std::function<bool()>& Done, std::optional<TClock::time_point> Deadline) {
    for (;;) {
        Quorvel::ProcessMessages();
        if (Done())
            return true;
        if (StopRequested())
            return false;
        std::uint32_t Wait = 100; // how soon a stop signal is noticed at the latest
        if (Deadline) {
            const auto Left = std::chrono::ceil<std::chrono::milliseconds>(*Deadline - TClock::now()).count();
            if (Left <= 0)
                return false;
            Wait = static_cast<std::uint32_t>(std::min<long long>(Left, Wait));
        }
        Quorvel::WaitForMessages(Wait);
    }
}

namespace {

std::string FormatTime(std::chrono::system_clock::time_point At, const char* Format, bool Utc) {
    const auto Ms = std::chrono::duration_cast<std::chrono::milliseconds>(At.time_since_epoch()).count();
    const time_t Seconds = static_cast<time_t>(Ms / 1000);
    tm Parts{};
    if (Utc)
        gmtime_r(&Seconds, &Parts);
    else
        localtime_r(&Seconds, &Parts);
    char Text[64];
    const std::size_t N = std::strftime(Text, sizeof Text, Format, &Parts);
    char Millis[8];
    std::snprintf(Millis, sizeof Millis, ".%03d", static_cast<int>(Ms % 1000));
    return std::string(Text, N) + Millis;
}

} // namespace

std::string TimeStamp(std::chrono::system_clock::time_point At) {
    return FormatTime(At, "%H:%M:%S", false);
}

std::string IsoTimeStamp(std::chrono::system_clock::time_point At) {
    return FormatTime(At, "%Y-%m-%dT%H:%M:%S", true) + "Z";
}

void PrintLine(const std::string& Line) {
    if (std::fputs(Line.c_str(), stdout) < 0 || std::fputc('\n', stdout) == EOF || std::fflush(stdout) != 0)
        throw std::runtime_error(std::string("cannot write the output: ") + std::strerror(errno));
}

void PrintError(const std::string& Message) {
    std::fprintf(stderr, "quorvel: %s\n", Message.c_str());
}

} // namespace QuorvelCli
