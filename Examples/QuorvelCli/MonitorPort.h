// The monitor's port: opened read-only, so nothing can ever be sent on it.
#pragma once

#include "CliArguments.h"

#include <string>

namespace QuorvelCli {

// Opens the port named in Options read-only and non-blocking, raw, with its
// rate and character format (a pseudo-terminal is never asked for parity:
// Linux has none there), and drops whatever waited in its input. Returns the
// descriptor; raises EOpenError.
int OpenMonitorPort(const TOptions& Options);

} // namespace QuorvelCli
