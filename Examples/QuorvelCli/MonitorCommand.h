// quorvel monitor: a passive bus monitor. It opens its port read-only and only
// listens: every frame on the line is shown with a timestamp, its line bytes,
// whether its check is good, and a one-line summary.
#pragma once

#include "CliArguments.h"

#include <chrono>
#include <cstdint>

namespace QuorvelCli {

int RunMonitorCommand(const TCommandLine& Line);

// The silence in ms that ends an RTU frame for the monitor unless --gap says
// otherwise: the library's own rule, SilentInterval character times (data,
// parity and stop bits per character) and never less than 16 ms. A shorter
// gap would split frames that a USB adapter delivers in pieces; frames sent
// back to back within it are told apart by their shapes and CRCs instead.
std::uint32_t DefaultRtuGap(const TOptions& Options);
// ASCII frames run from ':' to CR LF; a frame silent this long inside is cut
// off and shown as incomplete (Modbus over Serial Line V1.02 allows up to 1 s
// between characters).
inline constexpr std::uint32_t DefaultAsciiGap = 1000;

} // namespace QuorvelCli
