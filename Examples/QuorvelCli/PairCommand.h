// quorvel pair: a virtual null-modem cable. Two pseudo-terminals whose master
// ends are joined by a relay: what a program writes to one port, a program on
// the other reads. With --tap, a third port gets a copy of both directions for
// the monitor.
#pragma once

#include "CliArguments.h"

namespace QuorvelCli {

int RunPairCommand(const TCommandLine& Line);

} // namespace QuorvelCli
