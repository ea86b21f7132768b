// The quorvel tool's client requests, run as a black box against Debian's
// pymodbus serial server (RTU and ASCII) on a pty bridge: exit statuses,
// messages, text and --json output.
//
// The peer serves unit 17 (Tests/Interop/Peers/pymodbus_server.py): coil i on
// when i % 3 == 0, discrete input i on when i % 5 is 1 or 2, holding register
// i = 1000 + i, input register i = 2000 + i for 0..99; beyond that map it
// reports server ID "Quorvel-QVPEER-3.0" with run indicator FF, a bus message
// count of 11, exception status 0xAD, and file record r of file f (1..3) as
// 10000 f + r. Everything else gets exception 2. A request to another unit
// gets no reply; broadcasts are carried out silently.

#include "Cli/CliProcess.h"
#include "Support/PeerProcess.h"
#include "Support/PtyBridge.h"
#include "Support/PtyPair.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace {

using QuorvelTest::TCliProcess;
using QuorvelTest::TCliResult;
using QuorvelTest::TPeerProcess;
using QuorvelTest::TPtyBridge;

struct TModeSpec {
    const char* Name;
    const char* Mode; // quorvel's --mode and the peer's framer
};

void PrintTo(const TModeSpec& Spec, std::ostream* Out) {
    *Out << Spec.Name;
}

class CliClient : public ::testing::TestWithParam<TModeSpec> {
protected:
    void SetUp() override {
        Peer = std::make_unique<TPeerProcess>(std::vector<std::string>{
            QUORVEL_PYTHON, QUORVEL_PYMODBUS_SERVER, GetParam().Mode, Bridge.SlavePathA(), "17"});
    }

    void TearDown() override {
        Peer->Stop();
        EXPECT_TRUE(Peer->EndedCleanly()) << "peer ended with " << Peer->End();
        if (HasFailure())
            std::cerr << "--- peer stderr ---\n" << Peer->StderrText() << "--- end ---\n";
    }

    // Runs quorvel with Args, aimed at the peer (unit 17 unless Args say otherwise).
    TCliResult Quorvel(std::vector<std::string> Args) {
        std::vector<std::string> Argv{QUORVEL_CLI};
        Argv.insert(Argv.end(), Args.begin(), Args.end());
        for (const char* A :
             {"-p", Bridge.SlavePathB().c_str(), "--parity", "none", "--mode", GetParam().Mode})
            Argv.push_back(A);
        bool HasAddress = false;
        for (const std::string& A : Args)
            HasAddress = HasAddress || A == "-a" || A == "--broadcast";
        if (!HasAddress)
            Argv.insert(Argv.end(), {"-a", "17"});
        return TCliProcess::Run(Argv);
    }

    TPtyBridge Bridge;
    std::unique_ptr<TPeerProcess> Peer;
};

// Each read's JSON carries the values the map has there.
TEST_P(CliClient, ReadsReportTheServersValuesInJson) {
    struct TCase {
        std::vector<std::string> Args;
        std::string Values;
    };
    const TCase Cases[] = {
        {{"read-coils", "0", "10"}, "\"values\":[1,0,0,1,0,0,1,0,0,1]"},
        {{"read-discrete-inputs", "5", "6"}, "\"values\":[0,1,1,0,0,0]"},
        {{"read-holding-registers", "97", "3"}, "\"registers\":[1097,1098,1099]"},
        {{"read-input-registers", "0", "2"}, "\"registers\":[2000,2001]"},
        {{"read-input-registers", "0x10"}, "\"registers\":[2016]"},
        {{"read-exception-status"}, "\"status\":173"},
        {{"report-server-id"}, "\"data\":\"51 75 6F 72 76 65 6C 2D 51 56 50 45 45 52 2D 33 2E 30 FF\""},
        {{"diagnostics", "bus-message-count"},
         "\"action\":\"bus-message-count\",\"subfunction\":11,\"result\":11"},
        {{"read-file-record", "2:5:2", "3:9999:1"},
         "\"records\":[{\"file\":2,\"record\":5,\"values\":[20005,20006]},{\"file\":3,\"record\":9999,"
         "\"values\":[39999]}]"},
        {{"custom", "3", "0000", "0002"}, "\"function\":3,\"from\":17,\"data\":\"04 03 E8 03 E9\""},
    };
    for (const TCase& C : Cases) {
        std::vector<std::string> Args = C.Args;
        Args.push_back("--json");
        SCOPED_TRACE(C.Args[0]);
        const TCliResult R = Quorvel(Args);
        EXPECT_EQ(R.Exit, 0) << R;
        EXPECT_NE(R.Out.find("\"status\":\"normal\""), std::string::npos) << R;
        EXPECT_NE(R.Out.find(C.Values), std::string::npos) << R;
        EXPECT_EQ(std::count(R.Out.begin(), R.Out.end(), '\n'), 1) << "one JSON line per request\n" << R;
    }
}

// Every write command, then reads that show what it changed.
TEST_P(CliClient, WritesChangeWhatIsReadBack) {
    const std::vector<std::vector<std::string>> Writes = {
        {"write-register", "10", "0xBEEF"},
        {"write-coil", "4", "on"},
        {"write-coil", "3", "off"},
        {"write-coils", "37", "1101", "0,0", "on"},
        {"write-registers", "60", "0", "65535", "-32768,42"},
        {"mask-write-register", "20", "0xF0F0", "0x1234"},
    };
    for (const auto& W : Writes) {
        SCOPED_TRACE(W[0]);
        const TCliResult R = Quorvel(W);
        EXPECT_EQ(R.Exit, 0) << R;
        EXPECT_EQ(R.Out.find("wrote"), 0u) << R;
    }
    struct TRead {
        std::vector<std::string> Args;
        std::string Expected;
    };
    const TRead Reads[] = {
        {{"read-holding-registers", "9", "3"}, "9: 1009\n10: 48879\n11: 1011\n"},
        {{"read-coils", "2", "3"}, "2: 0\n3: 0\n4: 1\n"},
        {{"read-coils", "37", "8"}, "37: 1\n38: 1\n39: 0\n40: 1\n41: 0\n42: 0\n43: 1\n44: 0\n"},
        {{"read-holding-registers", "60", "4"}, "60: 0\n61: 65535\n62: 32768\n63: 42\n"},
        // (03FC AND F0F0) OR (1234 AND NOT F0F0) = 00F0 OR 0204
        {{"read-holding-registers", "20", "1", "--format", "hex"}, "20: 0x02F4\n"},
    };
    for (const TRead& Read : Reads) {
        SCOPED_TRACE(Read.Args[0] + " " + Read.Args[1]);
        const TCliResult R = Quorvel(Read.Args);
        EXPECT_EQ(R.Exit, 0) << R;
        EXPECT_EQ(R.Out, Read.Expected) << R;
    }
    // Read/write: the write is done before the read.
    const TCliResult RW = Quorvel({"read-write-registers", "30", "3", "31", "7", "--json"});
    EXPECT_EQ(RW.Exit, 0) << RW;
    EXPECT_NE(RW.Out.find("\"registers\":[1030,7,1032]"), std::string::npos) << RW;
}

// 32-bit values across two registers, in both word orders, written and read.
TEST_P(CliClient, ThirtyTwoBitValuesInBothWordOrders) {
    ASSERT_EQ(Quorvel({"write-registers", "40", "3.14", "-2", "--format", "float"}).Exit, 0);
    ASSERT_EQ(
        Quorvel({"write-registers", "44", "-100000", "--format", "int32", "--word-order", "low-first"}).Exit,
        0);
    struct TRead {
        std::vector<std::string> Args;
        std::string Expected;
    };
    const TRead Reads[] = {
        // 3.14f is 0x4048F5C3, -2.0f is 0xC0000000; -100000 is 0xFFFE7960.
        {{"read-holding-registers", "40", "6", "--format", "hex"},
         "40: 0x4048\n41: 0xF5C3\n42: 0xC000\n43: 0x0000\n44: 0x7960\n45: 0xFFFE\n"},
        {{"read-holding-registers", "40", "2", "--format", "float"}, "40: 3.14\n42: -2\n"},
        {{"read-holding-registers", "40", "1", "--format", "float", "--word-order", "low-first"},
         "40: -4.9502034e+32\n"},
        {{"read-holding-registers", "44", "1", "--format", "int32", "--word-order", "low-first"},
         "44: -100000\n"},
        {{"read-holding-registers", "44", "1", "--format", "uint32"}, "44: 2036400126\n"},
        {{"read-holding-registers", "45", "1", "--format", "signed"}, "45: -2\n"},
        {{"read-holding-registers", "44", "1", "--format", "binary"}, "44: 0b0111100101100000\n"},
    };
    for (const TRead& Read : Reads) {
        SCOPED_TRACE(Read.Args[4] + (Read.Args.size() > 6 ? " " + Read.Args[6] : ""));
        const TCliResult R = Quorvel(Read.Args);
        EXPECT_EQ(R.Exit, 0) << R;
        EXPECT_EQ(R.Out, Read.Expected) << R;
    }
    const TCliResult J = Quorvel({"read-holding-registers", "40", "2", "--format", "float", "--json"});
    EXPECT_NE(
        J.Out.find("\"registers\":[16456,62915,49152,0],\"format\":\"float\",\"word_order\":\"high-first\","
                   "\"values\":[3.14,-2]"),
        std::string::npos)
        << J;
}

// Exception replies and silence are failures with exit status 1 and a clear message.
TEST_P(CliClient, FailedRequestsExitWithOne) {
    const TCliResult Exception = Quorvel({"read-holding-registers", "100", "--json"});
    EXPECT_EQ(Exception.Exit, 1) << Exception;
    EXPECT_NE(Exception.Out.find("\"status\":\"exception\""), std::string::npos) << Exception;
    EXPECT_NE(Exception.Out.find("\"exception\":2,\"message\":\"Illegal data address\""), std::string::npos)
        << Exception;
    EXPECT_NE(Exception.Err.find("quorvel: exception reply from unit 17: 2 (Illegal data address)"),
              std::string::npos)
        << Exception;

    // Unit 18 is not there: every attempt times out.
    const TCliResult Silence =
        Quorvel({"read-coils", "0", "-a", "18", "-t", "300", "--attempts", "2", "--json"});
    EXPECT_EQ(Silence.Exit, 1) << Silence;
    EXPECT_NE(Silence.Out.find("\"status\":\"timeout\""), std::string::npos) << Silence;
    EXPECT_NE(Silence.Out.find("\"attempts\":2"), std::string::npos) << Silence;
    EXPECT_NE(Silence.Err.find("no reply from unit 18 (timeout after 2 attempts)"), std::string::npos)
        << Silence;

    // Polling goes on after a failure, and stops at the timeout limit.
    const TCliResult Limit = Quorvel({"read-coils", "0", "-a", "18", "-t", "100", "--count", "0",
                                      "--interval", "0", "--max-timeouts", "2"});
    EXPECT_EQ(Limit.Exit, 1) << Limit;
    EXPECT_EQ(std::count(Limit.Err.begin(), Limit.Err.end(), '\n'), 4) << Limit;
    EXPECT_NE(Limit.Err.find("more than 2 failed attempts in a row: stopping"), std::string::npos) << Limit;
}

TEST_P(CliClient, PollingRepeatsTheRequest) {
    const TCliResult R = Quorvel({"read-input-registers", "7", "--count", "3", "--interval", "50", "--json"});
    EXPECT_EQ(R.Exit, 0) << R;
    for (const char* Poll : {"\"poll\":1,", "\"poll\":2,", "\"poll\":3,"})
        EXPECT_NE(R.Out.find(Poll), std::string::npos) << R;
    EXPECT_EQ(std::count(R.Out.begin(), R.Out.end(), '\n'), 3) << R;
}

// --frames shows the line bytes of the request and the reply, with summaries.
TEST_P(CliClient, FramesShowBothDirections) {
    const TCliResult R = Quorvel({"read-holding-registers", "0", "2", "--frames"});
    EXPECT_EQ(R.Exit, 0) << R;
    const bool Rtu = std::string(GetParam().Mode) == "rtu";
    const std::string Expected =
        Rtu ? "> 11 03 00 00 00 02 C6 9B  request unit 17: read holding registers start 0 count 2\n"
              "< 11 03 04 03 E8 03 E9 AA FC  reply unit 17: read holding registers 2 registers: 1000 1001\n"
            : "> :110300000002EA\\r\\n  request unit 17: read holding registers start 0 count 2\n"
              "< :11030403E803E911\\r\\n  reply unit 17: read holding registers 2 registers: 1000 1001\n";
    EXPECT_EQ(R.Out, Expected + "0: 1000\n1: 1001\n") << R;
}

// A broadcast is carried out by the server, and nothing waits for a reply.
TEST_P(CliClient, BroadcastWriteIsCarriedOut) {
    const TCliResult B = Quorvel({"write-register", "70", "23130", "--broadcast", "--json"});
    EXPECT_EQ(B.Exit, 0) << B;
    EXPECT_NE(B.Out.find("\"address\":0,"), std::string::npos) << B;
    EXPECT_NE(B.Out.find("\"status\":\"broadcast\""), std::string::npos) << B;
    const TCliResult R = Quorvel({"read-holding-registers", "70"});
    EXPECT_EQ(R.Out, "70: 23130\n") << R;
}

INSTANTIATE_TEST_SUITE_P(Pymodbus, CliClient,
                         ::testing::Values(TModeSpec{"Rtu", "rtu"}, TModeSpec{"Ascii", "ascii"}),
                         [](const auto& Info) { return std::string(Info.param.Name); });

// Mistakes on the command line, and ports that do not open: exit status 2,
// nothing sent. No peer is needed.
TEST(CliUsage, MistakesAndUnopenablePortsExitWithTwo) {
    QuorvelTest::TPtyPair Pty;
    const std::string Port = Pty.SlavePath();
    struct TCase {
        std::vector<std::string> Args;
        std::string Message;
    };
    const TCase Cases[] = {
        {{"read-coils", "0"}, "no port given"},
        {{"read-coils", "0", "-p", Port, "--frobnicate"}, "unknown option '--frobnicate'"},
        {{"read-coils", "-p", Port}, "'read-coils' needs more arguments"},
        {{"read-coils", "0", "x", "-p", Port}, "bad count 'x': not a number"},
        {{"read-holding-registers", "0", "126", "-p", Port}, "Register count must be between 1 and 125"},
        {{"read-holding-registers", "0", "-p", Port, "--broadcast"}, "cannot be broadcast"},
        {{"write-register", "1", "70000", "-p", Port}, "must be between 0 and 65535"},
        {{"write-coil", "1", "maybe", "-p", Port}, "bad coil value 'maybe'"},
        {{"diagnostics", "reboot", "-p", Port}, "unknown diagnostics action 'reboot'"},
        {{"read-coils", "0", "-p", Port, "--parity", "mark"}, "bad parity 'mark'"},
        {{"read-coils", "0", "-p", Port, "--items", "x"}, "'read-coils' takes no option --items"},
        {{"serve", "-p", Port}, "serve needs either --items FILE or --sample"},
        {{"frobnicate"}, "unknown command 'frobnicate'"},
        {{"read-coils", "0", "-p", "/dev/quorvel-no-such-port"},
         "cannot open port '/dev/quorvel-no-such-port': Could not open serial port "
         "(/dev/quorvel-no-such-port: No such file or directory)"},
        {{"serve", "--items", "/nonexistent/ServerItems.dat", "-p", Port}, "cannot open item map"},
    };
    for (const TCase& C : Cases) {
        std::vector<std::string> Argv{QUORVEL_CLI};
        Argv.insert(Argv.end(), C.Args.begin(), C.Args.end());
        SCOPED_TRACE(C.Message);
        const TCliResult R = TCliProcess::Run(Argv);
        EXPECT_EQ(R.Exit, 2) << R;
        EXPECT_NE(R.Err.find(C.Message), std::string::npos) << R;
    }
    // None of it reached the line.
    EXPECT_TRUE(Pty.Read(1, std::chrono::milliseconds(50)).empty());
}

TEST(CliUsage, PortsListsWhatTheMachineHas) {
    // This machine may have no serial port at all; the command still succeeds,
    // one path per line.
    const TCliResult R = TCliProcess::Run({QUORVEL_CLI, "ports"});
    EXPECT_EQ(R.Exit, 0) << R;
    std::istringstream Lines(R.Out);
    for (std::string L; std::getline(Lines, L);)
        EXPECT_EQ(L.rfind("/dev/", 0), 0u) << L;
}

TEST(CliUsage, HelpForTheToolAndEveryCommand) {
    const TCliResult Tool = TCliProcess::Run({QUORVEL_CLI, "--help"});
    EXPECT_EQ(Tool.Exit, 0) << Tool;
    // Every command listed in the overview has help of its own.
    std::vector<std::string> Commands;
    std::istringstream Lines(Tool.Out.substr(Tool.Out.find("Commands:\n") + 10));
    for (std::string Line; std::getline(Lines, Line) && Line.rfind("  ", 0) == 0;)
        Commands.push_back(Line.substr(2, Line.find(' ', 2) - 2));
    ASSERT_GE(Commands.size(), 20u) << Tool;
    for (const std::string& C : Commands) {
        SCOPED_TRACE(C);
        const TCliResult Help = TCliProcess::Run({QUORVEL_CLI, C, "--help"});
        EXPECT_EQ(Help.Exit, 0) << Help;
        EXPECT_EQ(Help.Out.rfind("usage: quorvel " + C, 0), 0u) << Help;
        EXPECT_EQ(TCliProcess::Run({QUORVEL_CLI, "help", C}).Out, Help.Out);
    }
    // The manual page is the same text, in roff.
    const TCliResult Man = TCliProcess::Run({QUORVEL_CLI, "help", "--man"});
    EXPECT_EQ(Man.Exit, 0) << Man;
    EXPECT_EQ(Man.Out.rfind(".TH QUORVEL 1", 0), 0u);
    for (std::string C : Commands) {
        // roff writes a hyphen as \-.
        for (std::size_t At = C.find('-'); At != std::string::npos; At = C.find('-', At + 2))
            C.replace(At, 1, "\\-");
        EXPECT_NE(Man.Out.find(".B quorvel " + C), std::string::npos) << C;
    }
}

} // namespace
