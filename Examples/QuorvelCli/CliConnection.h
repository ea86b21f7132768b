// The tool's side of a connection: options applied to TModbusConnection, an
// open that explains its failure, the main-thread pump, and stop signals.
#pragma once

#include "CliArguments.h"

#include <Quorvel.h>

#include <chrono>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>

namespace QuorvelCli {

// A port that cannot be opened or configured: exit status 2, with the message.
class EOpenError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The port to use: --port, else $QUORVEL_PORT. Raises EUsageError when neither
// (nor --port-fd) is given.
std::string PortName(const TOptions& Options);

// Applies the line and connection options to Connection, in Mode. Raises
// EUsageError for a value the library refuses.
void ConfigureConnection(Quorvel::TModbusConnection& Connection, const TOptions& Options,
                         Quorvel::TConnectionMode Mode);
// Opens Connection; raises EOpenError saying which port failed and why.
void OpenConnection(Quorvel::TModbusConnection& Connection, const TOptions& Options);
// "/dev/pts/3, RTU, 19200 baud, 8E1".
std::string LineDescription(const TOptions& Options);

// SIGINT and SIGTERM ask the running command to stop; SIGPIPE is ignored, so a
// closed output shows as a write error instead of killing the tool.
void InstallStopSignals();
bool StopRequested() noexcept;
// The signal that asked to stop, 0 when none.
int StopSignal() noexcept;

using TClock = std::chrono::steady_clock;
// Pumps the library's main-thread queue until Done() is true, a stop is
// requested, or Deadline passes. True when Done() became true.
bool PumpUntil(const std::function<bool()>& Done, std::optional<TClock::time_point> Deadline = std::nullopt);

// A wall-clock time (now when not given) as "HH:MM:SS.mmm" in local time.
std::string TimeStamp(std::chrono::system_clock::time_point At = std::chrono::system_clock::now());
// The same as ISO 8601 in UTC with milliseconds, for JSON.
std::string IsoTimeStamp(std::chrono::system_clock::time_point At = std::chrono::system_clock::now());

// Writes Line and a newline to stdout and flushes it. Raises std::runtime_error
// when stdout is gone (a closed pipe), so a tool writing to nobody ends.
void PrintLine(const std::string& Line);
// Writes "quorvel: Message" to stderr.
void PrintError(const std::string& Message);

} // namespace QuorvelCli
