// quorvel: Modbus serial-line requests, a simulator, a passive bus monitor and
// a virtual null-modem pair, on the Quorvel library's public API.

#include "CliArguments.h"
#include "CliConnection.h"
#include "ClientCommands.h"
#include "HelpText.h"
#include "ItemsCommand.h"
#include "MonitorCommand.h"
#include "PairCommand.h"
#include "ServeCommand.h"

#include <Quorvel.h>

#include <cstdio>
#include <fstream>

using namespace QuorvelCli;

namespace {

int RunHelp(const TCommandLine& Line) {
    CheckOptionGroups(Line, ogHelp);
    CheckArgCount(Line, 0, 1);
    std::string Text;
    if (Line.Options.Man) {
        Text = ManPage();
    } else if (Line.Args.empty()) {
        Text = ToolHelp();
    } else if (const auto Help = CommandHelp(Line.Args[0])) {
        Text = *Help;
    } else {
        throw EUsageError("no command '" + Line.Args[0] + "'");
    }
    if (Line.Options.Output.empty()) {
        std::fputs(Text.c_str(), stdout);
        return std::fflush(stdout) == 0 ? esOk : esFailed;
    }
    std::ofstream Out(Line.Options.Output, std::ios::binary | std::ios::trunc);
    Out << Text;
    Out.close();
    if (!Out)
        throw EOpenError("cannot write '" + Line.Options.Output + "'");
    return esOk;
}

int RunPorts(const TCommandLine& Line) {
    CheckOptionGroups(Line, 0);
    CheckArgCount(Line, 0, 0);
    std::vector<std::string> Ports;
    Quorvel::EnumSerialPorts(Ports);
    for (const std::string& P : Ports)
        PrintLine(P);
    return esOk;
}

int Run(const TCommandLine& Line) {
    const std::string& C = Line.Command;
    if (C == "help")
        return RunHelp(Line);
    if (C == "ports")
        return RunPorts(Line);
    if (IsClientCommand(C))
        return RunClientCommand(Line);
    if (C == "serve")
        return RunServeCommand(Line);
    if (C == "monitor")
        return RunMonitorCommand(Line);
    if (C == "pair")
        return RunPairCommand(Line);
    if (C == "items")
        return RunItemsCommand(Line);
    throw EUsageError("unknown command '" + C + "'");
}

} // namespace

int main(int Argc, char** Argv) {
    InstallStopSignals();
    std::string Command;
    try {
        const TCommandLine Line = ParseCommandLine(Argc, Argv);
        Command = Line.Command;
        if (Line.Command.empty()) {
            std::fputs(ToolHelp().c_str(), Line.Options.Help ? stdout : stderr);
            return Line.Options.Help ? esOk : esUsage;
        }
        if (Line.Options.Help) {
            const auto Help = CommandHelp(Line.Command);
            if (!Help)
                throw EUsageError("unknown command '" + Line.Command + "'");
            std::fputs(Help->c_str(), stdout);
            return esOk;
        }
        return Run(Line);
    } catch (const EUsageError& E) {
        PrintError(E.what());
        const bool Known = !Command.empty() && CommandHelp(Command).has_value();
        std::fprintf(stderr, "Run 'quorvel help%s' for help.\n", Known ? (" " + Command).c_str() : "");
        return esUsage;
    } catch (const EOpenError& E) {
        PrintError(E.what());
        return esUsage;
    } catch (const std::exception& E) {
        PrintError(E.what());
        return esFailed;
    }
}
