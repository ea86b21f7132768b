// The client request commands: read-coils, write-registers, diagnostics, ...
// Each opens the port, sends its request (--count times, --interval apart),
// prints each outcome as text or JSON, and closes.
#pragma once

#include "CliArguments.h"

#include <string>
#include <vector>

namespace QuorvelCli {

struct TClientCommandInfo {
    const char* Name;
    const char* Arguments; // for the usage line: "START [COUNT]"
    const char* Summary;
    const char* Details; // what the arguments mean
};
// Every client command, in the order the help lists them.
const std::vector<TClientCommandInfo>& ClientCommands();
bool IsClientCommand(const std::string& Name);

// The diagnostics actions by name, in the library's order, with their
// sub-function codes.
struct TDiagnosticName {
    const char* Name;
    Quorvel::TDiagnosticAction Action;
    const char* Meaning;
};
const std::vector<TDiagnosticName>& DiagnosticNames();

// Runs a client command; returns its exit status. Raises EUsageError and
// EOpenError (exit status 2) before anything is sent.
int RunClientCommand(const TCommandLine& Line);

} // namespace QuorvelCli
