#include "HelpText.h"

#include "CliArguments.h"
#include "ClientCommands.h"
#include "MonitorCommand.h"

#include <Quorvel.h>

#include <vector>

namespace QuorvelCli {

namespace {

struct THelpOption {
    const char* Names;
    const char* Text;
};

struct THelpGroup {
    unsigned Group;
    const char* Title;
    std::vector<THelpOption> Options;
};

const std::vector<THelpGroup>& Groups() {
    static const std::vector<THelpGroup> Table = {
        {ogLine,
         "Line options",
         {
             {"-p, --port NAME",
              "the serial port: a device path, COMn for /dev/ttyS(n-1), a name under /dev, or a "
              "name 'quorvel ports' lists (default: $QUORVEL_PORT)"},
             {"--port-fd N", "use the inherited, already open descriptor N instead of opening a port"},
             {"-b, --baud RATE", "bits per second, any rate the port takes (default 19200)"},
             {"--data-bits 7|8", "data bits per character (default 8)"},
             {"--parity none|odd|even",
              "parity (default even; a pseudo-terminal has none, whatever is asked)"},
             {"--stop-bits 1|2", "stop bits (default 1)"},
             {"-m, --mode rtu|ascii, --rtu, --ascii", "the transmission mode (default rtu)"},
             {"--silent-interval N",
              "RTU: character times of silence that end a frame; ASCII: ms of silence "
              "allowed inside a frame; the line never waits less than 16 ms (default 4)"},
         }},
        {ogConnection,
         "Connection options",
         {
             {"-t, --timeout MS", "wait this long for the first byte of a reply (default 1000)"},
             {"--send-timeout MS", "longest wait for one frame to be written (default 1000)"},
             {"--attempts N",
              "attempts per request: a request with no reply or a damaged one is sent again, up to "
              "N times in all (default 1)"},
             {"--refetch-delay MS", "pause after every attempt (default 0)"},
             {"--turnaround-delay MS",
              "pause after a broadcast, for the servers to carry it out (default 100)"},
             {"--echo", "the line echoes every frame sent (two-wire adapters); the echo is removed"},
             {"--flow none|rts-toggle|rts-cts|dtr-dsr", "flow control (default none); rts-toggle raises RTS "
                                                        "around each frame for RS-485 converters"},
             {"--rts-hold MS", "with rts-toggle, how long RTS stays up after the last byte (default 0)"},
             {"--no-rts, --no-dtr", "hold RTS or DTR low (both are raised by default)"},
             {"--input-buffer N, --output-buffer N", "port buffer sizes in bytes (default 1024)"},
             {"--priority LEVEL", "the line thread's priority: idle, lowest, lower, normal, higher, highest, "
                                  "time-critical (default normal)"},
         }},
        {ogClient,
         "Client options",
         {
             {"-a, --address N", "the server's unit address, 0..247; 0 broadcasts (default 1)"},
             {"--broadcast", "send to address 0: every server carries out the write and none replies"},
             {"-c, --count N", "send the request N times; 0 repeats until interrupted (default 1)"},
             {"-i, --interval MS", "time from the start of one request to the next (default 1000)"},
             {"--max-timeouts N", "stop polling once more than N attempts in a row went unanswered"},
             {"-f, --format FORMAT",
              "register values as unsigned, signed, hex, binary (16 bits each), or uint32, "
              "int32, float (two registers each; COUNT and written values count those)"},
             {"--word-order high-first|low-first", "which register of a 32-bit value comes first (default "
                                                   "high-first, \"ABCD\"; low-first is \"CDAB\")"},
             {"--frames", "show every frame sent and received, with its summary"},
             {"--json", "print one JSON object per request instead of text"},
         }},
        {ogCustom,
         "Custom request options",
         {{"--promiscuous", "take the first valid frame from any unit as the reply"}}},
        {ogServe,
         "Server options",
         {
             {"--items FILE", "answer from the item map FILE (the demo's ServerItems.dat format)"},
             {"--sample", "answer from the built-in sample map, whose inputs change over time"},
             {"-a, --address N", "the unit address to answer, 1..247 (default 1)"},
         }},
        {ogMonitor,
         "Monitor options",
         {
             {"--gap MS",
              "the silence that ends a frame (RTU default: the silent interval in character times, at "
              "least 16 ms; ASCII: 1000 ms before an unfinished frame is shown as incomplete)"},
             {"--json", "print one JSON object per frame instead of text"},
         }},
        {ogPair,
         "Pair options",
         {
             {"--links DIR",
              "also create the links DIR/a and DIR/b (and DIR/tap) to the ports, removed at exit"},
             {"--tap",
              "a third port that receives a copy of everything either side sends, for 'quorvel monitor'"},
         }},
        {ogItems,
         "Item options",
         {
             {"--min N, --max N", "the range a client may write into a holding register (default 0..65535)"},
             {"--read-only", "a client may not write the coil or holding register"},
         }},
        {ogHelp,
         "Help options",
         {
             {"--man", "print the manual page (roff) instead"},
             {"-o, --output FILE", "write the help to FILE instead of standard output"},
         }},
    };
    return Table;
}

struct THelpCommand {
    std::string Name;
    std::string Arguments;
    std::string Summary;
    std::string Description;
    unsigned Groups;
};

const char* ClientDescription =
    "Opens the port, sends the request to the server at --address, prints the reply and closes the port. "
    "Addresses and counts are decimal or 0x hex. With --count the request is repeated (polling). A normal "
    "reply "
    "gives exit status 0; no reply, a damaged or unmatched reply, or an exception reply (shown with its "
    "text) "
    "gives 1.";

std::vector<THelpCommand> Commands() {
    std::vector<THelpCommand> List;
    List.push_back(
        {"ports", "", "list the machine's serial ports",
         "Lists the serial ports that 'quorvel ports' finds: the real serial devices, then their stable "
         "names under /dev/serial/by-id. Any of them may be given to --port.",
         0});
    for (const auto& C : ClientCommands())
        List.push_back(
            {C.Name, C.Arguments, C.Summary, std::string(C.Details) + " " + ClientDescription,
             ogLine | ogConnection | ogClient | (std::string(C.Name) == "custom" ? ogCustom : 0u)});
    List.push_back(
        {"serve", "", "a Modbus server (simulator) on the port",
         "Answers read coils, read discrete inputs, read holding and input registers, and the single and "
         "multiple "
         "writes of coils and registers (functions 01 to 06, 0F, 10) from an item map: --items FILE, or "
         "--sample "
         "for a built-in map whose values change (input register 0 counts seconds, 1 follows a sine wave "
         "from 0 to "
         "1000, 2 a triangle from 0 to 100; one of discrete inputs 0..7 is on at a time, walking once a "
         "second; "
         "coils 0..9 and holding registers 0..15 take any value, holding register 100 takes 0..2000). An "
         "item "
         "that is not in the map, or not writeable, is refused with exception 02; a value outside a holding "
         "register's range with exception 03; other functions with exception 01. Every request, reply and "
         "refusal "
         "is printed. Writes change the map in memory only. Runs until SIGINT or SIGTERM.",
         ogLine | ogConnection | ogServe});
    List.push_back({"monitor", "", "a passive bus monitor",
                    "Opens the port read-only and never sends anything. Prints every frame on the line: the "
                    "time of its first "
                    "byte, whether its check (CRC or LRC) is good, its line bytes, and a summary (request or "
                    "reply by its "
                    "shape and by the request before it; unit, function and fields). RTU frames end with "
                    "line silence (see "
                    "--gap); frames sent back to back are told apart by their shapes and CRCs. ASCII frames "
                    "run from ':' to "
                    "CR LF. Runs until SIGINT or SIGTERM.",
                    ogLine | ogMonitor});
    List.push_back(
        {"pair", "", "a virtual null-modem cable",
         "Creates two pseudo-terminals joined like the two ends of a null-modem cable, prints their paths on "
         "standard output, one per line (with --tap a third), then READY, and relays bytes until SIGINT or "
         "SIGTERM. Try everything without hardware: 'quorvel serve --sample -p A' on one end, requests or "
         "the demo "
         "on the other. A pseudo-terminal has no parity and no modem lines.",
         ogPair});
    List.push_back({"items", "FILE [list | add KIND ADDR [VALUE] | remove KIND ADDR | sample]",
                    "show or edit an item map file",
                    "Lists an item map file (the default), adds or replaces an item, removes one, or writes "
                    "the sample map. "
                    "KIND is coil, discrete-input, holding-register or input-register. The file holds 10 "
                    "bytes per item; a "
                    "damaged record is skipped with a message, a trailing partial record ignored.",
                    ogItems});
    List.push_back({"help", "[COMMAND]", "this help, or a command's",
                    "Prints the help, or the manual page with --man.", ogHelp});
    return List;
}

std::string Wrap(const std::string& Text, std::size_t Indent, std::size_t Width = 79) {
    std::string Out;
    std::string Line(Indent, ' ');
    std::size_t Start = 0;
    while (Start < Text.size()) {
        std::size_t End = Text.find(' ', Start);
        if (End == std::string::npos)
            End = Text.size();
        const std::string Word = Text.substr(Start, End - Start);
        if (Line.size() > Indent && Line.size() + 1 + Word.size() > Width) {
            Out += Line + "\n";
            Line = std::string(Indent, ' ');
        }
        Line += (Line.size() > Indent ? " " : "") + Word;
        Start = End + 1;
    }
    return Out + Line + "\n";
}

std::string Usage(const THelpCommand& C) {
    return "quorvel " + C.Name + (C.Arguments.empty() ? "" : " " + C.Arguments) +
           (C.Groups != 0 ? " [OPTIONS]" : "");
}

std::string GroupText(const THelpGroup& G) {
    std::string Out = G.Title + std::string(":\n");
    for (const auto& O : G.Options)
        Out += "  " + std::string(O.Names) + "\n" + Wrap(O.Text, 6);
    return Out;
}

std::string DiagnosticsText() {
    std::string Out = "Diagnostics actions:\n";
    for (const auto& D : DiagnosticNames())
        Out +=
            "  " + std::string(D.Name) + std::string(24 - std::string(D.Name).size(), ' ') + D.Meaning + "\n";
    return Out;
}

const char* ExitStatusText =
    "Exit status: 0 for a normal reply; 1 for no reply, a damaged or unmatched reply, or an "
    "exception reply; 2 for a mistake on the command line or a port or file that cannot be "
    "opened.";

// Roff: a backslash is \e, a hyphen in an option is \-, and a line may not start with a dot.
std::string Roff(const std::string& Text) {
    std::string Out;
    for (const char C : Text) {
        if (C == '\\')
            Out += "\\e";
        else if (C == '-')
            Out += "\\-";
        else
            Out += C;
    }
    if (!Out.empty() && (Out[0] == '.' || Out[0] == '\''))
        Out = "\\&" + Out;
    return Out;
}

} // namespace

std::string ToolHelp() {
    std::string Out = "usage: quorvel COMMAND [ARGUMENTS] [OPTIONS]\n\n";
    Out += Wrap(
        "A Modbus serial-line (RTU and ASCII) client, server simulator, bus monitor and virtual null-modem, "
        "built on the Quorvel library " +
            std::string(Quorvel::QuorvelVersion) + ".",
        0);
    Out += "\nCommands:\n";
    for (const auto& C : Commands())
        Out +=
            "  " + C.Name + std::string(C.Name.size() < 24 ? 24 - C.Name.size() : 1, ' ') + C.Summary + "\n";
    Out += '\n';
    Out += Wrap(
        "Run 'quorvel help COMMAND' (or 'quorvel COMMAND --help') for a command's arguments and options. "
        "Options may stand anywhere after 'quorvel'.",
        0);
    Out += '\n' + Wrap(ExitStatusText, 0);
    Out += "\nExamples:\n"
           "  quorvel pair --links /tmp/quorvel\n"
           "  quorvel serve --sample -p /tmp/quorvel/a -a 17\n"
           "  quorvel read-input-registers 0 3 -p /tmp/quorvel/b -a 17 --count 0\n"
           "  quorvel read-holding-registers 100 -p /dev/ttyUSB0 -b 9600 --parity none -a 5 --json\n"
           "  quorvel write-registers 20 3.14 -p /dev/ttyUSB0 -a 5 --format float --word-order low-first\n";
    return Out;
}

std::optional<std::string> CommandHelp(const std::string& Name) {
    const std::string Wanted = Name == "diag" ? "diagnostics" : Name;
    for (const auto& C : Commands()) {
        if (C.Name != Wanted)
            continue;
        std::string Out = "usage: " + Usage(C) + "\n\n" + Wrap(C.Summary + ". " + C.Description, 0);
        if (C.Name == "diagnostics")
            Out += '\n' + DiagnosticsText();
        for (const auto& G : Groups()) {
            if ((C.Groups & G.Group) != 0)
                Out += '\n' + GroupText(G);
        }
        if (C.Groups & ogClient)
            Out += '\n' + Wrap(ExitStatusText, 0);
        return Out;
    }
    return std::nullopt;
}

std::string ManPage() {
    std::string Out =
        ".TH QUORVEL 1 \"\" \"Quorvel " + std::string(Quorvel::QuorvelVersion) + "\" \"User Commands\"\n";
    Out += ".SH NAME\nquorvel \\- Modbus serial-line client, simulator, bus monitor and virtual null-modem\n";
    Out += ".SH SYNOPSIS\n";
    for (const auto& C : Commands())
        Out += ".B " + Roff(Usage(C)) + "\n.br\n";
    Out +=
        ".SH DESCRIPTION\n" +
        Roff("quorvel speaks Modbus RTU and ASCII on a serial line through the Quorvel library. Options may "
             "stand anywhere after the command name; numbers are decimal or 0x hex.") +
        "\n.SH COMMANDS\n";
    for (const auto& C : Commands()) {
        Out += ".TP\n.B " + Roff(Usage(C)) + "\n" + Roff(C.Summary + ". " + C.Description) + "\n";
    }
    Out += ".SH DIAGNOSTICS ACTIONS\n";
    for (const auto& D : DiagnosticNames())
        Out += ".TP\n.B " + Roff(D.Name) + "\n" + Roff(D.Meaning) + "\n";
    Out += ".SH OPTIONS\n";
    for (const auto& G : Groups()) {
        Out += ".SS " + Roff(G.Title) + "\n";
        for (const auto& O : G.Options)
            Out += ".TP\n.B " + Roff(O.Names) + "\n" + Roff(O.Text) + "\n";
    }
    Out += ".SH EXIT STATUS\n" + Roff(ExitStatusText) + "\n";
    Out += ".SH EXAMPLES\n.nf\n";
    Out +=
        Roff("quorvel pair --links /tmp/quorvel\n"
             "quorvel serve --sample -p /tmp/quorvel/a -a 17\n"
             "quorvel read-input-registers 0 3 -p /tmp/quorvel/b -a 17 --count 0\n"
             "quorvel write-registers 20 3.14 -p /dev/ttyUSB0 -a 5 --format float --word-order low-first\n");
    Out += ".fi\n";
    return Out;
}

} // namespace QuorvelCli
