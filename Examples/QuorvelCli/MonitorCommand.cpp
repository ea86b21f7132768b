#include "MonitorCommand.h"

#include "CliConnection.h"
#include "FrameDecoder.h"
#include "Json.h"
#include "MonitorPort.h"

#include <cerrno>
#include <cmath>
#include <cstring>
#include <poll.h>
#include <unistd.h>

namespace QuorvelCli {

using namespace Quorvel;

namespace {

using TWallClock = std::chrono::system_clock;

// The most bytes held while waiting for silence: more than any RTU frame (256).
constexpr std::size_t MaxPending = 2048;
// The longest ASCII frame: ':', two characters for each of 255 bytes, CR LF.
constexpr std::size_t MaxAsciiFrame = 1 + 2 * 255 + 2;

// Cuts the byte stream into frames and prints each one.
class TMonitor {
public:
    TMonitor(const TOptions& Options)
        : FOptions(Options), FGap(std::chrono::milliseconds(Options.Gap != 0        ? Options.Gap
                                                            : Options.Mode == tmRTU ? DefaultRtuGap(Options)
                                                                                    : DefaultAsciiGap)),
          FCharTime(std::chrono::microseconds(static_cast<long long>(
              std::ceil(1e6 *
                        (1 + (Options.DataBits == db7 ? 7 : 8) + (Options.Parity != psNone ? 1 : 0) +
                         (Options.StopBits == sb1 ? 1 : 2)) /
                        Options.Baud)))) {}

    std::chrono::milliseconds Gap() const noexcept { return FGap; }

    void Receive(const std::uint8_t* Data, std::size_t Count) {
        const auto Now = TClock::now();
        if (FPending.empty())
            FFirstByte = TWallClock::now();
        FLastByte = Now;
        if (FOptions.Mode == tmRTU) {
            FPending.insert(FPending.end(), Data, Data + Count);
            // A line that never falls silent (noise, a wrong rate) is shown in
            // pieces rather than held without bound.
            if (FPending.size() > MaxPending)
                Silence();
            return;
        }
        for (std::size_t I = 0; I < Count; ++I)
            AsciiByte(Data[I]);
    }

    // How long the line may stay silent before the pending bytes are a frame
    // (or, in ASCII, a frame cut short); nothing while nothing is pending.
    std::optional<TClock::time_point> Deadline() const {
        if (FPending.empty())
            return std::nullopt;
        return FLastByte + FGap;
    }

    // The line has been silent since the last byte: what is pending ends here.
    void Silence() {
        if (FPending.empty())
            return;
        if (FOptions.Mode == tmRTU) {
            auto At = FFirstByte;
            for (const TBytes& Frame : SplitRtuBurst(FPending)) {
                const TDecodedLine D = DecodeLine(Frame, tmRTU);
                Show(Frame, D.Good ? "good" : "bad", D, At);
                At += std::chrono::duration_cast<TWallClock::duration>(FCharTime * Frame.size());
            }
        } else {
            Show(FPending, FPending.front() == ':' ? "incomplete" : "noise", {}, FFirstByte);
        }
        FPending.clear();
    }

private:
    void AsciiByte(std::uint8_t B) {
        if (B == ':' && !FPending.empty()) {
            // A new frame starts: what came before it never ended.
            const auto At = FFirstByte;
            Show(FPending, FPending.front() == ':' ? "incomplete" : "noise", {}, At);
            FPending.clear();
            FFirstByte = TWallClock::now();
        }
        if (FPending.size() >= MaxAsciiFrame) {
            Show(FPending, FPending.front() == ':' ? "incomplete" : "noise", {}, FFirstByte);
            FPending.clear();
            FFirstByte = TWallClock::now();
        }
        FPending.push_back(B);
        if (B == '\n' && FPending.front() == ':' && FPending.size() >= 2 &&
            FPending[FPending.size() - 2] == '\r') {
            const TDecodedLine D = DecodeLine(FPending, tmASCII);
            Show(FPending, D.Good ? "good" : "bad", D, FFirstByte);
            FPending.clear();
        }
    }

    void Show(const TBytes& Line, const char* Check, const TDecodedLine& D, TWallClock::time_point At) {
        const bool Good = std::strcmp(Check, "good") == 0;
        TFrameClassifier::TResult R;
        if (Good) {
            R = FClassifier.Classify(D.Frame);
        } else {
            // A damaged frame breaks the request-reply pairing.
            FClassifier.Reset();
            R.Summary = std::string(std::strcmp(Check, "bad") == 0 ? "bad check" : Check) +
                        (Line.size() >= 2 && FOptions.Mode == tmRTU
                             ? " (unit " + std::to_string(Line[0]) + ", " + FunctionName(Line[1]) + "?)"
                             : "");
        }
        if (FOptions.Json) {
            TJsonObject J;
            J.String("time", IsoTimeStamp(At))
                .String("mode", FOptions.Mode == tmRTU ? "rtu" : "ascii")
                .String("bytes", LineText(Line, FOptions.Mode))
                .String("check", Check);
            if (Good && D.Frame.size() >= 2) {
                J.String("role", RoleName(R.Role))
                    .Number("address", D.Frame[0])
                    .Number("function", D.Frame[1]);
            }
            J.String("summary", R.Summary);
            PrintLine(J.Text());
        } else {
            char Column[16];
            std::snprintf(Column, sizeof Column, "%-5s", Check);
            PrintLine(TimeStamp(At) + " " + Column + " " + LineText(Line, FOptions.Mode) + "  " + R.Summary);
        }
    }

    const TOptions& FOptions;
    std::chrono::milliseconds FGap;
    std::chrono::microseconds FCharTime;
    TBytes FPending;
    TWallClock::time_point FFirstByte;
    TClock::time_point FLastByte;
    TFrameClassifier FClassifier;
};

} // namespace

std::uint32_t DefaultRtuGap(const TOptions& O) {
    const std::uint32_t Bits =
        (O.DataBits == db7 ? 7u : 8u) + (O.Parity != psNone ? 1u : 0u) + (O.StopBits == sb1 ? 1u : 2u);
    const auto Ms = static_cast<std::uint32_t>(
        std::ceil(static_cast<double>(Bits) * O.SilentInterval * 1000.0 / static_cast<double>(O.Baud)));
    return std::max<std::uint32_t>(Ms, 16);
}

int RunMonitorCommand(const TCommandLine& Line) {
    const TOptions& O = Line.Options;
    CheckOptionGroups(Line, ogLine | ogMonitor);
    CheckArgCount(Line, 0, 0);
    const int Fd = OpenMonitorPort(O);
    TMonitor Monitor(O);
    PrintError("monitoring " + LineDescription(O) + " (listening only; frames end after " +
               std::to_string(Monitor.Gap().count()) + " ms of silence); stop with Ctrl-C");
    int Status = esOk;
    while (!StopRequested()) {
        int Wait = 100; // how soon a stop signal is noticed at the latest
        if (const auto Deadline = Monitor.Deadline()) {
            const auto Left = std::chrono::ceil<std::chrono::milliseconds>(*Deadline - TClock::now()).count();
            if (Left <= 0) {
                Monitor.Silence();
                continue;
            }
            Wait = static_cast<int>(std::min<long long>(Left, Wait));
        }
        pollfd P{Fd, POLLIN, 0};
        const int R = poll(&P, 1, Wait);
        if (R < 0 && errno == EINTR)
            continue;
        if (R < 0) {
            PrintError(std::string("waiting for the port failed: ") + std::strerror(errno));
            Status = esFailed;
            break;
        }
        if (R == 0)
            continue;
        if ((P.revents & POLLIN) != 0) {
            std::uint8_t Chunk[512];
            const ssize_t N = ::read(Fd, Chunk, sizeof Chunk);
            if (N > 0) {
                Monitor.Receive(Chunk, static_cast<std::size_t>(N));
                continue;
            }
            if (N < 0 && (errno == EAGAIN || errno == EINTR))
                continue;
        }
        // A hang-up (the other end of a pty gone, an adapter unplugged) or a read error.
        PrintError("the port hung up or failed");
        Status = esFailed;
        break;
    }
    Monitor.Silence();
    // Read-only and finished with: a failing close loses nothing.
    (void)::close(Fd);
    return Status;
}

} // namespace QuorvelCli
