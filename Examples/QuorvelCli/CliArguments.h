// The tool's command line: the options every command shares, their parsing and
// the checks that say which command takes which option.
#pragma once

#include "ValueFormat.h"

#include <Quorvel.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace QuorvelCli {

// A mistake on the command line: reported with its message and exit status 2.
class EUsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Exit statuses of the tool.
enum TExitStatus { esOk = 0, esFailed = 1, esUsage = 2 };

// Groups of options; each command accepts some of them.
enum TOptionGroup : unsigned {
    ogLine = 1u << 0,       // port and character format, RTU/ASCII, silent interval
    ogConnection = 1u << 1, // timeouts, attempts, delays, echo, flow control, modem lines
    ogClient = 1u << 2,     // server address, polling, formats, frames, JSON
    ogCustom = 1u << 3,     // --promiscuous
    ogServe = 1u << 4,      // --items, --sample, --address
    ogMonitor = 1u << 5,    // --gap, --json
    ogPair = 1u << 6,       // --links, --tap
    ogHelp = 1u << 7,       // --man, --output
    ogItems = 1u << 8,      // --min, --max, --read-only
};

struct TOptions {
    // Line.
    std::string Port;
    int PortFd = -1; // an inherited descriptor used instead of opening Port
    std::uint32_t Baud = 19200;
    Quorvel::TDataBits DataBits = Quorvel::db8;
    Quorvel::TParityScheme Parity = Quorvel::psEven;
    Quorvel::TStopBits StopBits = Quorvel::sb1;
    Quorvel::TTransmissionMode Mode = Quorvel::tmRTU;
    std::uint32_t SilentInterval = 4;
    // Connection.
    std::uint32_t Timeout = 1000;
    std::uint32_t SendTimeout = 1000;
    std::uint32_t Attempts = 1;
    std::uint32_t RefetchDelay = 0;
    std::uint32_t TurnaroundDelay = 100;
    bool Echo = false;
    Quorvel::TFlowControl Flow = Quorvel::fcNone;
    std::uint32_t RtsHold = 0;
    bool Rts = true;
    bool Dtr = true;
    std::int32_t InputBuffer = 1024;
    std::int32_t OutputBuffer = 1024;
    Quorvel::TThreadPriority Priority = Quorvel::tpNormal;
    // Client (and serve's --address).
    std::uint8_t Address = 1;
    bool AddressGiven = false;
    bool Broadcast = false;
    std::uint32_t Count = 1; // 0: until interrupted
    std::uint32_t Interval = 1000;
    std::int32_t MaxTimeouts = -1;
    TValueFormat Format = vfUnsigned;
    TWordOrder Order = woHighFirst;
    bool Frames = false;
    bool Json = false;
    bool Promiscuous = false;
    // Serve.
    std::string ItemsFile;
    bool Sample = false;
    // Monitor: the silence in ms that ends a frame (0: the default rule).
    std::uint32_t Gap = 0;
    // Pair.
    std::string LinksDir;
    bool Tap = false;
    // Items.
    std::uint16_t MinValue = 0;
    std::uint16_t MaxValue = 0xFFFF;
    bool ReadOnly = false;
    // Help.
    bool Help = false;
    bool Man = false;
    std::string Output;
};

struct TCommandLine {
    std::string Command;           // empty when none was given
    std::vector<std::string> Args; // the command's positional arguments
    TOptions Options;
    std::vector<std::string> Seen; // the long names of the options given, in order
};

// Parses argv: options (long "--name value" or "--name=value", a few short
// ones) may stand anywhere; the first other word is the command. Raises EUsageError.
TCommandLine ParseCommandLine(int Argc, const char* const* Argv);

// Raises EUsageError when an option outside Groups was given.
void CheckOptionGroups(const TCommandLine& Line, unsigned Groups);

// Raises EUsageError unless the command got between Min and Max arguments
// (Max < 0: no upper limit).
void CheckArgCount(const TCommandLine& Line, int Min, int Max);

// Numbers as typed: decimal or 0x hex. What names the value in messages.
// Raise EUsageError when the text is no number or lies outside Min..Max.
std::uint64_t ParseUnsigned(const std::string& Text, const std::string& What, std::uint64_t Min,
                            std::uint64_t Max);
std::int64_t ParseSigned(const std::string& Text, const std::string& What, std::int64_t Min,
                         std::int64_t Max);

// Splits Text at Separator; an empty Text gives one empty part.
std::vector<std::string> Split(const std::string& Text, char Separator);

} // namespace QuorvelCli
