// quorvel monitor as a black box: listening on a tap of a line between a
// client and a server, and on a line scripted byte by byte.

#include "Cli/CliProcess.h"
#include "Support/PeerProcess.h"
#include "Support/PtyBridge.h"
#include "Support/PtyPair.h"

#include <gtest/gtest.h>

#include <chrono>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using QuorvelTest::TCliProcess;
using QuorvelTest::TCliResult;
using QuorvelTest::TPeerProcess;
using QuorvelTest::TPtyBridge;
using QuorvelTest::TPtyPair;

// The monitor's lines without their timestamps ("12:34:56.789 ").
std::vector<std::string> Untimed(const std::string& Out) {
    std::vector<std::string> Lines;
    std::istringstream In(Out);
    for (std::string L; std::getline(In, L);)
        Lines.push_back(L.size() > 13 ? L.substr(13) : L);
    return Lines;
}

std::string Joined(const std::vector<std::string>& Lines) {
    std::string Text;
    for (const auto& L : Lines)
        Text += L + "\n";
    return Text;
}

std::unique_ptr<TCliProcess> StartMonitor(const std::string& Port, std::vector<std::string> Extra) {
    std::vector<std::string> Argv{QUORVEL_CLI, "monitor", "-p", Port, "--parity", "none"};
    Argv.insert(Argv.end(), Extra.begin(), Extra.end());
    auto Monitor = std::make_unique<TCliProcess>(Argv);
    if (!Monitor->WaitForText("monitoring", true))
        ADD_FAILURE() << "the monitor did not start: " << Monitor->Err();
    return Monitor;
}

// Waits until the monitor has shown Count lines (the last frame ends only
// after the line's silence), then stops it.
TCliResult StopAfterLines(TCliProcess& Monitor, std::size_t Count) {
    const auto Deadline = std::chrono::steady_clock::now() + 5s;
    while (std::chrono::steady_clock::now() < Deadline) {
        const std::string Out = Monitor.Out();
        if (static_cast<std::size_t>(std::count(Out.begin(), Out.end(), '\n')) >= Count)
            break;
        std::this_thread::sleep_for(10ms);
    }
    return Monitor.Stop();
}

struct TTapSpec {
    const char* Name;
    const char* Mode;
};

void PrintTo(const TTapSpec& Spec, std::ostream* Out) {
    *Out << Spec.Name;
}

class CliMonitorTap : public ::testing::TestWithParam<TTapSpec> {};

// Requests from quorvel to the pymodbus server, with the monitor on a tap that
// sees both directions: every request and reply is shown, in order, with its
// summary; the request to an absent unit stands alone.
TEST_P(CliMonitorTap, ShowsEveryRequestAndReply) {
    TPtyPair TextTap;
    TPtyPair JsonTap;
    TPtyBridge Bridge([&](TPtyBridge::TDirection, TPtyBridge::TBytes& Chunk) {
        TextTap.Write(Chunk);
        JsonTap.Write(Chunk);
    });
    const std::string Mode = GetParam().Mode;
    TPeerProcess Server({QUORVEL_PYTHON, QUORVEL_PYMODBUS_SERVER, Mode, Bridge.SlavePathA(), "17"});
    auto Text = StartMonitor(TextTap.SlavePath(), {"--mode", Mode});
    auto Json = StartMonitor(JsonTap.SlavePath(), {"--mode", Mode, "--json"});

    const std::vector<std::vector<std::string>> Requests = {
        {"read-holding-registers", "0", "3"}, {"write-register", "10", "48879"},
        {"write-coils", "37", "1101"},        {"read-coils", "0", "10"},
        {"read-input-registers", "100"},      {"read-holding-registers", "0", "-a", "18", "-t", "300"},
        {"diagnostics", "return-query-data"}, {"write-register", "70", "7", "--broadcast"},
    };
    for (const auto& Args : Requests) {
        std::vector<std::string> Argv{QUORVEL_CLI};
        Argv.insert(Argv.end(), Args.begin(), Args.end());
        for (const char* A : {"-p", Bridge.SlavePathB().c_str(), "--parity", "none", "--mode", Mode.c_str()})
            Argv.push_back(A);
        if (Args.back() != "300" && Args.back() != "--broadcast")
            Argv.insert(Argv.end(), {"-a", "17"});
        TCliProcess::Run(Argv);
    }

    const std::vector<std::string> Summaries = {
        "request unit 17: read holding registers start 0 count 3",
        "reply unit 17: read holding registers 3 registers: 1000 1001 1002",
        "request unit 17: write single register 10 = 48879",
        "reply unit 17: write single register 10 = 48879",
        "request unit 17: write multiple coils start 37 count 4: 1 1 0 1",
        "reply unit 17: write multiple coils start 37 count 4",
        "request unit 17: read coils start 0 count 10",
        "reply unit 17: read coils 10 coils: 1 0 0 1 0 0 1 0 0 1",
        "request unit 17: read input registers start 100 count 1",
        "exception unit 17: read input registers: exception 2 (Illegal data address)",
        "request unit 18: read holding registers start 0 count 1",
        "request unit 17: diagnostics sub-function 0x0000 (return query data) data 0xA537",
        "reply unit 17: diagnostics sub-function 0x0000 (return query data) data 0xA537",
        "request unit 0 (broadcast): write single register 70 = 7",
    };
    const TCliResult T = StopAfterLines(*Text, Summaries.size());
    const TCliResult J = StopAfterLines(*Json, Summaries.size());
    EXPECT_EQ(T.Exit, 0) << T;
    const auto Lines = Untimed(T.Out);
    ASSERT_EQ(Lines.size(), Summaries.size()) << T.Out;
    for (std::size_t I = 0; I < Lines.size(); ++I) {
        SCOPED_TRACE(Summaries[I]);
        EXPECT_EQ(Lines[I].rfind("good  ", 0), 0u) << Lines[I];
        const std::size_t At = Lines[I].size() - Summaries[I].size();
        EXPECT_EQ(Lines[I].substr(At), Summaries[I]) << Joined(Lines);
    }
    // The first frame's line bytes, as each mode puts them on the line.
    EXPECT_EQ(Lines[0], Mode == "rtu" ? "good  11 03 00 00 00 03 07 5B  " + Summaries[0]
                                      : "good  :110300000003E9\\r\\n  " + Summaries[0]);

    // The JSON lines say the same, field by field.
    std::istringstream JsonLines(J.Out);
    std::size_t Count = 0;
    for (std::string L; std::getline(JsonLines, L); ++Count) {
        ASSERT_LT(Count, Summaries.size()) << J.Out;
        EXPECT_NE(L.find("\"check\":\"good\""), std::string::npos) << L;
        EXPECT_NE(L.find("\"mode\":\"" + Mode + "\""), std::string::npos) << L;
        EXPECT_NE(L.find("\"summary\":\"" + Summaries[Count] + "\"}"), std::string::npos) << L;
        const std::string Role = Summaries[Count].substr(0, Summaries[Count].find(' '));
        EXPECT_NE(L.find("\"role\":\"" + Role + "\""), std::string::npos) << L;
    }
    EXPECT_EQ(Count, Summaries.size());
    Server.Stop();
    EXPECT_EQ(Bridge.RelayError(), "");
}

INSTANTIATE_TEST_SUITE_P(Pymodbus, CliMonitorTap,
                         ::testing::Values(TTapSpec{"Rtu", "rtu"}, TTapSpec{"Ascii", "ascii"}),
                         [](const auto& Info) { return std::string(Info.param.Name); });

// A scripted RTU line: a reply that follows its request sooner than the
// silence that ends a frame, a frame with a bad CRC, and noise.
TEST(CliMonitorScripted, RtuSplitsBackToBackFramesAndFlagsDamage) {
    TPtyPair Line;
    auto Monitor = StartMonitor(Line.SlavePath(), {});
    // Read holding registers 107..109 of unit 17 and its reply, in one write
    // (Modbus Application Protocol V1.1b3's example, with CRCs by pymodbus).
    Line.Write({0x11, 0x03, 0x00, 0x6B, 0x00, 0x03, 0x76, 0x87, 0x11, 0x03, 0x06, 0x02, 0x2B, 0x00, 0x00,
                0x00, 0x64, 0xC8, 0xBA});
    std::this_thread::sleep_for(100ms);
    Line.Write({0x11, 0x03, 0x00, 0x6B, 0x00, 0x03, 0x76, 0x88}); // last byte damaged
    std::this_thread::sleep_for(100ms);
    // A write request followed at once by a damaged frame of another unit: the
    // write's length and CRC end the first frame, the rest stays one bad frame.
    Line.Write({0x01, 0x06, 0x00, 0x01, 0x00, 0x03, 0x98, 0x0B, 0x02, 0x41, 0x01, 0x02, 0x00, 0x00});
    const TCliResult R = StopAfterLines(*Monitor, 5);
    const auto Lines = Untimed(R.Out);
    ASSERT_GE(Lines.size(), 4u) << R;
    EXPECT_EQ(Lines[0],
              "good  11 03 00 6B 00 03 76 87  request unit 17: read holding registers start 107 count 3");
    EXPECT_EQ(Lines[1],
              "good  11 03 06 02 2B 00 00 00 64 C8 BA  reply unit 17: read holding registers 3 registers: "
              "555 0 100");
    EXPECT_EQ(Lines[2], "bad   11 03 00 6B 00 03 76 88  bad check (unit 17, read holding registers?)");
    EXPECT_EQ(Lines[3], "good  01 06 00 01 00 03 98 0B  request unit 1: write single register 1 = 3");
    EXPECT_EQ(Lines.size(), 5u) << R;
    if (Lines.size() == 5) {
        EXPECT_EQ(Lines[4].rfind("bad   02 41 01 02 00 00  bad check", 0), 0u) << Lines[4];
    }
    // The monitor never wrote a byte onto the line.
    EXPECT_TRUE(Line.Read(1, 50ms).empty());
}

// A scripted ASCII line: a frame in pieces with pauses, a frame with a bad
// LRC, one cut short by the next ':', and bytes outside any frame.
TEST(CliMonitorScripted, AsciiFramesFromColonToCrLf) {
    TPtyPair Line;
    auto Monitor = StartMonitor(Line.SlavePath(), {"--ascii", "--gap", "300"});
    auto Send = [&](const std::string& Text) { Line.Write(TPtyPair::TBytes(Text.begin(), Text.end())); };
    Send(":1103006B");
    std::this_thread::sleep_for(100ms);
    Send("00037E\r\n");
    Send(":1103006B00037F\r\n");
    Send(":1103:110300000003E9\r\n");
    Send("xy");
    const TCliResult R = StopAfterLines(*Monitor, 5);
    const auto Lines = Untimed(R.Out);
    ASSERT_EQ(Lines.size(), 5u) << R;
    EXPECT_EQ(Lines[0],
              "good  :1103006B00037E\\r\\n  request unit 17: read holding registers start 107 count 3");
    EXPECT_EQ(Lines[1], "bad   :1103006B00037F\\r\\n  bad check");
    EXPECT_EQ(Lines[2], "incomplete :1103  incomplete");
    EXPECT_EQ(Lines[3],
              "good  :110300000003E9\\r\\n  request unit 17: read holding registers start 0 count 3");
    EXPECT_EQ(Lines[4], "noise xy  noise");
}

} // namespace
