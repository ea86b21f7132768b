// The tool's help: the overview, each command's help, and the manual page,
// all rendered from one set of texts.
#pragma once

#include <optional>
#include <string>

namespace QuorvelCli {

std::string ToolHelp();
// Nothing for an unknown command.
std::optional<std::string> CommandHelp(const std::string& Command);
// The whole help as a manual page (roff, man(7) macros).
std::string ManPage();

} // namespace QuorvelCli
