// quorvel serve: a Modbus server (simulator) answering from an item map file
// or from the built-in sample map, logging each request, reply and refusal.
#pragma once

#include "CliArguments.h"

namespace QuorvelCli {

int RunServeCommand(const TCommandLine& Line);

} // namespace QuorvelCli
