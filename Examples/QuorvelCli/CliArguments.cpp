#include "CliArguments.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <functional>

namespace QuorvelCli {

using namespace Quorvel;

namespace {

using TApply = std::function<void(TOptions&, const std::string&)>;

struct TOptionSpec {
    const char* Long;
    char Short;    // 0: none
    bool HasValue; // takes the next word (or "=value")
    unsigned Groups;
    TApply Apply;
};

std::uint32_t U32(const std::string& V, const char* What, std::uint64_t Min = 0,
                  std::uint64_t Max = 0xFFFFFFFFu) {
    return static_cast<std::uint32_t>(ParseUnsigned(V, What, Min, Max));
}

template <typename T>
T Choice(const std::string& V, const char* What, std::initializer_list<std::pair<const char*, T>> Choices) {
    std::string Names;
    for (const auto& [Name, Value] : Choices) {
        if (V == Name)
            return Value;
        Names += (Names.empty() ? "" : ", ") + std::string(Name);
    }
    throw EUsageError("bad " + std::string(What) + " '" + V + "' (one of: " + Names + ")");
}

const std::vector<TOptionSpec>& OptionTable() {
    static const std::vector<TOptionSpec> Table = {
        {"help", 'h', false, ~0u, [](TOptions& O, const std::string&) { O.Help = true; }},
        // Line.
        {"port", 'p', true, ogLine, [](TOptions& O, const std::string& V) { O.Port = V; }},
        {"port-fd", 0, true, ogLine,
         [](TOptions& O, const std::string& V) {
             O.PortFd = static_cast<int>(ParseUnsigned(V, "port descriptor", 0, 65535));
         }},
        {"baud", 'b', true, ogLine,
         [](TOptions& O, const std::string& V) { O.Baud = U32(V, "baud rate", 1); }},
        {"data-bits", 0, true, ogLine,
         [](TOptions& O, const std::string& V) {
             O.DataBits = Choice<TDataBits>(V, "data bits", {{"7", db7}, {"8", db8}});
         }},
        {"parity", 0, true, ogLine,
         [](TOptions& O, const std::string& V) {
             O.Parity =
                 Choice<TParityScheme>(V, "parity", {{"none", psNone}, {"odd", psOdd}, {"even", psEven}});
         }},
        {"stop-bits", 0, true, ogLine,
         [](TOptions& O, const std::string& V) {
             O.StopBits = Choice<TStopBits>(V, "stop bits", {{"1", sb1}, {"2", sb2}});
         }},
        {"mode", 'm', true, ogLine,
         [](TOptions& O, const std::string& V) {
             O.Mode = Choice<TTransmissionMode>(V, "mode", {{"rtu", tmRTU}, {"ascii", tmASCII}});
         }},
        {"rtu", 0, false, ogLine, [](TOptions& O, const std::string&) { O.Mode = tmRTU; }},
        {"ascii", 0, false, ogLine, [](TOptions& O, const std::string&) { O.Mode = tmASCII; }},
        {"silent-interval", 0, true, ogLine,
         [](TOptions& O, const std::string& V) {
             O.SilentInterval = U32(V, "silent interval", 0, TModbusConnection::MaxSilentInterval);
         }},
        // Connection.
        {"timeout", 't', true, ogConnection,
         [](TOptions& O, const std::string& V) { O.Timeout = U32(V, "timeout"); }},
        {"send-timeout", 0, true, ogConnection,
         [](TOptions& O, const std::string& V) { O.SendTimeout = U32(V, "send timeout"); }},
        {"attempts", 0, true, ogConnection,
         [](TOptions& O, const std::string& V) { O.Attempts = U32(V, "attempts", 1); }},
        {"refetch-delay", 0, true, ogConnection,
         [](TOptions& O, const std::string& V) { O.RefetchDelay = U32(V, "refetch delay"); }},
        {"turnaround-delay", 0, true, ogConnection,
         [](TOptions& O, const std::string& V) { O.TurnaroundDelay = U32(V, "turnaround delay"); }},
        {"echo", 0, false, ogConnection, [](TOptions& O, const std::string&) { O.Echo = true; }},
        {"flow", 0, true, ogConnection,
         [](TOptions& O, const std::string& V) {
             O.Flow = Choice<TFlowControl>(V, "flow control",
                                           {{"none", fcNone},
                                            {"rts-toggle", fcRtsToggle},
                                            {"rts-cts", fcRtsCts},
                                            {"dtr-dsr", fcDtrDsr}});
         }},
        {"rts-hold", 0, true, ogConnection,
         [](TOptions& O, const std::string& V) { O.RtsHold = U32(V, "RTS hold delay"); }},
        {"no-rts", 0, false, ogConnection, [](TOptions& O, const std::string&) { O.Rts = false; }},
        {"no-dtr", 0, false, ogConnection, [](TOptions& O, const std::string&) { O.Dtr = false; }},
        {"input-buffer", 0, true, ogConnection,
         [](TOptions& O, const std::string& V) {
             O.InputBuffer = static_cast<std::int32_t>(ParseUnsigned(V, "input buffer size", 0, 0x7FFFFFFF));
         }},
        {"output-buffer", 0, true, ogConnection,
         [](TOptions& O, const std::string& V) {
             O.OutputBuffer =
                 static_cast<std::int32_t>(ParseUnsigned(V, "output buffer size", 0, 0x7FFFFFFF));
         }},
        {"priority", 0, true, ogConnection,
         [](TOptions& O, const std::string& V) {
             O.Priority = Choice<TThreadPriority>(V, "priority",
                                                  {{"idle", tpIdle},
                                                   {"lowest", tpLowest},
                                                   {"lower", tpLower},
                                                   {"normal", tpNormal},
                                                   {"higher", tpHigher},
                                                   {"highest", tpHighest},
                                                   {"time-critical", tpTimeCritical}});
         }},
        // Client.
        {"address", 'a', true, ogClient | ogServe,
         [](TOptions& O, const std::string& V) {
             O.Address = static_cast<std::uint8_t>(ParseUnsigned(V, "server address", 0, 247));
             O.AddressGiven = true;
         }},
        {"broadcast", 0, false, ogClient, [](TOptions& O, const std::string&) { O.Broadcast = true; }},
        {"count", 'c', true, ogClient, [](TOptions& O, const std::string& V) { O.Count = U32(V, "count"); }},
        {"interval", 'i', true, ogClient,
         [](TOptions& O, const std::string& V) { O.Interval = U32(V, "interval"); }},
        {"max-timeouts", 0, true, ogClient,
         [](TOptions& O, const std::string& V) {
             O.MaxTimeouts = static_cast<std::int32_t>(ParseUnsigned(V, "timeout limit", 0, 0x7FFFFFFF));
         }},
        {"format", 'f', true, ogClient,
         [](TOptions& O, const std::string& V) { O.Format = ParseValueFormat(V); }},
        {"word-order", 0, true, ogClient,
         [](TOptions& O, const std::string& V) { O.Order = ParseWordOrder(V); }},
        {"frames", 0, false, ogClient, [](TOptions& O, const std::string&) { O.Frames = true; }},
        {"json", 0, false, ogClient | ogMonitor, [](TOptions& O, const std::string&) { O.Json = true; }},
        {"promiscuous", 0, false, ogCustom, [](TOptions& O, const std::string&) { O.Promiscuous = true; }},
        // Serve.
        {"items", 0, true, ogServe, [](TOptions& O, const std::string& V) { O.ItemsFile = V; }},
        {"sample", 0, false, ogServe, [](TOptions& O, const std::string&) { O.Sample = true; }},
        // Monitor.
        {"gap", 0, true, ogMonitor,
         [](TOptions& O, const std::string& V) { O.Gap = U32(V, "gap", 1, 60000); }},
        // Pair.
        {"links", 0, true, ogPair, [](TOptions& O, const std::string& V) { O.LinksDir = V; }},
        {"tap", 0, false, ogPair, [](TOptions& O, const std::string&) { O.Tap = true; }},
        // Items.
        {"min", 0, true, ogItems,
         [](TOptions& O,
            const std::string&
                V) { O.MinValue = static_cast<std::uint16_t>(ParseUnsigned(V, "minimum", 0, 0xFFFF)); }},
        {"max", 0, true, ogItems,
         [](TOptions& O,
            const std::string&
                V) { O.MaxValue = static_cast<std::uint16_t>(ParseUnsigned(V, "maximum", 0, 0xFFFF)); }},
        {"read-only", 0, false, ogItems, [](TOptions& O, const std::string&) { O.ReadOnly = true; }},
        // Help.
        {"man", 0, false, ogHelp, [](TOptions& O, const std::string&) { O.Man = true; }},
        {"output", 'o', true, ogHelp, [](TOptions& O, const std::string& V) { O.Output = V; }},
    };
    return Table;
}

const TOptionSpec* FindLong(const std::string& Name) {
    for (const auto& S : OptionTable()) {
        if (Name == S.Long)
            return &S;
    }
    return nullptr;
}

const TOptionSpec* FindShort(char Name) {
    for (const auto& S : OptionTable()) {
        if (S.Short != 0 && Name == S.Short)
            return &S;
    }
    return nullptr;
}

// "-5" and "-0x10" are values (negative register values), not options.
bool LooksNumeric(const std::string& Word) {
    return Word.size() >= 2 && Word[0] == '-' &&
           (std::isdigit(static_cast<unsigned char>(Word[1])) != 0 || Word[1] == '.');
}

} // namespace

TCommandLine ParseCommandLine(int Argc, const char* const* Argv) {
    TCommandLine Line;
    bool OptionsEnded = false;
    auto Positional = [&](const std::string& Word) {
        if (Line.Command.empty())
            Line.Command = Word;
        else
            Line.Args.push_back(Word);
    };
    for (int I = 1; I < Argc; ++I) {
        const std::string Word = Argv[I];
        if (OptionsEnded || Word.size() < 2 || Word[0] != '-' || LooksNumeric(Word)) {
            Positional(Word);
            continue;
        }
        if (Word == "--") {
            OptionsEnded = true;
            continue;
        }
        const TOptionSpec* Spec = nullptr;
        std::string Value;
        bool HasInlineValue = false;
        std::string Shown = Word;
        if (Word.rfind("--", 0) == 0) {
            const std::size_t Eq = Word.find('=');
            const std::string Name = Word.substr(2, Eq == std::string::npos ? std::string::npos : Eq - 2);
            Shown = "--" + Name;
            if (Eq != std::string::npos) {
                Value = Word.substr(Eq + 1);
                HasInlineValue = true;
            }
            Spec = FindLong(Name);
        } else if (Word.size() == 2) {
            Spec = FindShort(Word[1]);
        }
        if (Spec == nullptr)
            throw EUsageError("unknown option '" + Shown + "'");
        if (Spec->HasValue && !HasInlineValue) {
            if (I + 1 >= Argc)
                throw EUsageError("option '" + Shown + "' needs a value");
            Value = Argv[++I];
        } else if (!Spec->HasValue && HasInlineValue) {
            throw EUsageError("option '" + Shown + "' takes no value");
        }
        Spec->Apply(Line.Options, Value);
        Line.Seen.push_back(Spec->Long);
    }
    return Line;
}

void CheckOptionGroups(const TCommandLine& Line, unsigned Groups) {
    for (const std::string& Name : Line.Seen) {
        const TOptionSpec* Spec = FindLong(Name);
        if (Spec != nullptr && (Spec->Groups & Groups) == 0)
            throw EUsageError("'" + Line.Command + "' takes no option --" + Name);
    }
}

void CheckArgCount(const TCommandLine& Line, int Min, int Max) {
    const int N = static_cast<int>(Line.Args.size());
    if (N < Min)
        throw EUsageError("'" + Line.Command + "' needs more arguments");
    if (Max >= 0 && N > Max)
        throw EUsageError("'" + Line.Command + "' got too many arguments (from '" +
                          Line.Args[static_cast<std::size_t>(Max)] + "' on)");
}

std::uint64_t ParseUnsigned(const std::string& Text, const std::string& What, std::uint64_t Min,
                            std::uint64_t Max) {
    int Base = 10;
    std::size_t Skip = 0;
    if (Text.size() > 2 && Text[0] == '0' && (Text[1] == 'x' || Text[1] == 'X')) {
        Base = 16;
        Skip = 2;
    }
    std::uint64_t Value = 0;
    const char* First = Text.data() + Skip;
    const char* Last = Text.data() + Text.size();
    const auto [End, Error] = std::from_chars(First, Last, Value, Base);
    if (Text.empty() || First == Last || Error != std::errc() || End != Last)
        throw EUsageError("bad " + What + " '" + Text + "': not a number");
    if (Value < Min || Value > Max)
        throw EUsageError("bad " + What + " '" + Text + "': must be between " + std::to_string(Min) +
                          " and " + std::to_string(Max));
    return Value;
}

std::int64_t ParseSigned(const std::string& Text, const std::string& What, std::int64_t Min,
                         std::int64_t Max) {
    const bool Negative = !Text.empty() && Text[0] == '-';
    const std::string Digits = Negative ? Text.substr(1) : Text;
    std::uint64_t Magnitude = 0;
    try {
        Magnitude = ParseUnsigned(Digits, What, 0, 0x8000000000000000ull);
    } catch (const EUsageError&) {
        throw EUsageError("bad " + What + " '" + Text + "': not a number");
    }
    const auto Range = "bad " + What + " '" + Text + "': must be between " + std::to_string(Min) + " and " +
                       std::to_string(Max);
    if (!Negative && Magnitude > static_cast<std::uint64_t>(INT64_MAX))
        throw EUsageError(Range);
    const std::int64_t Value =
        Negative ? static_cast<std::int64_t>(0 - Magnitude) : static_cast<std::int64_t>(Magnitude);
    if (Value < Min || Value > Max)
        throw EUsageError(Range);
    return Value;
}

std::vector<std::string> Split(const std::string& Text, char Separator) {
    std::vector<std::string> Parts;
    std::size_t Start = 0;
    for (;;) {
        const std::size_t At = Text.find(Separator, Start);
        Parts.push_back(Text.substr(Start, At == std::string::npos ? std::string::npos : At - Start));
        if (At == std::string::npos)
            return Parts;
        Start = At + 1;
    }
}

} // namespace QuorvelCli
