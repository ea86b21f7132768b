// The server against real Modbus clients written by others: Debian's pymodbus
// (RTU and ASCII), libmodbus (RTU) and mbpoll (RTU, itself built on libmodbus).
// Each test serves an item map on one end of a pty bridge and starts a client
// on the other end that runs a script of requests and ends; its results are
// judged against the map. The library's server answers on the main thread, so
// the test pumps the main-thread queue for as long as the client runs.
//
// The map, unit 17, the same formulas as the client interop's peers: coil i
// on when i % 3 == 0, discrete input i on when i % 5 is 1 or 2, holding
// register i = 1000 + i, input register i = 2000 + i, for addresses 0..99.
// Every address from 100 on is refused (exception 2), and holding register 99
// takes values up to 999 only (exception 3 for more).

#include <Quorvel.h>

#include "Support/ClientFixture.h"
#include "Support/PeerProcess.h"
#include "Support/PtyBridge.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using namespace Quorvel;
using namespace std::chrono_literals;
using QuorvelTest::PumpUntil;
using QuorvelTest::TPeerProcess;
using QuorvelTest::TPtyBridge;

constexpr std::uint8_t ServerUnit = 17;
constexpr std::uint16_t MapSize = 100;
constexpr std::uint16_t LimitedRegister = 99;
constexpr std::uint16_t LimitedMax = 999;

bool CoilAt(int I) {
    return I % 3 == 0;
}
bool DiscreteInputAt(int I) {
    return I % 5 == 1 || I % 5 == 2;
}
std::uint16_t HoldingAt(int I) {
    return static_cast<std::uint16_t>(1000 + I);
}
std::uint16_t InputAt(int I) {
    return static_cast<std::uint16_t>(2000 + I);
}

// The application's process image behind the server's events.
struct TItemMap {
    std::array<bool, MapSize> Coils{};
    std::array<std::uint16_t, MapSize> Holding{};

    TItemMap() {
        for (int I = 0; I < MapSize; ++I) {
            Coils[I] = CoilAt(I);
            Holding[I] = HoldingAt(I);
        }
    }

    void Serve(TModbusServer& Server) {
        // The server asks only for the commands it serves.
        Server.OnAcceptCommand = [](TComponent*, std::uint8_t, bool& Accept) { Accept = true; };
        const auto InMap = [](TComponent*, std::uint16_t Addr, bool& Allow) { Allow = Addr < MapSize; };
        Server.OnCanReadCoil = InMap;
        Server.OnCanReadDiscreteInput = InMap;
        Server.OnCanReadHoldingRegister = InMap;
        Server.OnCanReadInputRegister = InMap;
        Server.OnCanWriteCoil = [](TComponent*, std::uint16_t Addr, bool, TItemWriteStatus& Status) {
            Status = Addr < MapSize ? iwsAllowWrite : iwsIllegalAddress;
        };
        Server.OnCanWriteHoldingRegister = [](TComponent*, std::uint16_t Addr, std::uint16_t Value,
                                              TItemWriteStatus& Status) {
            if (Addr >= MapSize)
                Status = iwsIllegalAddress;
            else if (Addr == LimitedRegister && Value > LimitedMax)
                Status = iwsIllegalValue;
            else
                Status = iwsAllowWrite;
        };
        Server.OnGetCoilValue = [this](TComponent*, std::uint16_t Addr, bool& Value) {
            Value = Coils.at(Addr);
        };
        Server.OnGetDiscreteInputValue = [](TComponent*, std::uint16_t Addr, bool& Value) {
            Value = DiscreteInputAt(Addr);
        };
        Server.OnGetHoldingRegisterValue = [this](TComponent*, std::uint16_t Addr, std::uint16_t& Value) {
            Value = Holding.at(Addr);
        };
        Server.OnGetInputRegisterValue = [](TComponent*, std::uint16_t Addr, std::uint16_t& Value) {
            Value = InputAt(Addr);
        };
        Server.OnSetCoilValue = [this](TComponent*, std::uint16_t Addr, bool Value) {
            Coils.at(Addr) = Value;
        };
        Server.OnSetHoldingRegisterValue = [this](TComponent*, std::uint16_t Addr, std::uint16_t Value) {
            Holding.at(Addr) = Value;
        };
    }
};

// The result lines of the scripted clients (see Peers/pymodbus_client.py).
template <typename F>
std::string BitsLine(int Start, int Count, F&& At) {
    std::string S = "{\"bits\":[";
    for (int I = Start; I < Start + Count; ++I)
        S += std::string(I == Start ? "" : ",") + (At(I) ? "1" : "0");
    return S + "]}";
}
template <typename F>
std::string RegistersLine(int Start, int Count, F&& At) {
    std::string S = "{\"registers\":[";
    for (int I = Start; I < Start + Count; ++I)
        S += (I == Start ? "" : ",") + std::to_string(At(I));
    return S + "]}";
}
std::string RegistersLine(const std::vector<std::uint16_t>& Values) {
    std::string S = "{\"registers\":[";
    for (std::size_t I = 0; I < Values.size(); ++I)
        S += (I == 0 ? "" : ",") + std::to_string(Values[I]);
    return S + "]}";
}
std::string EchoLine(int Address, const char* Key, long Value) {
    return "{\"address\":" + std::to_string(Address) + ",\"" + Key + "\":" + std::to_string(Value) + "}";
}
std::string ExceptionLine(int Code) {
    return "{\"exception\":" + std::to_string(Code) + "}";
}
const std::string BroadcastLine = "{\"broadcast\":true}";
// Any failure without a reply: each peer words it its own way.
const std::string NoReply = "{\"error\":";

std::string Values(const std::vector<std::uint16_t>& V) {
    std::string S;
    for (auto X : V)
        S += (S.empty() ? "" : ",") + std::to_string(X);
    return S;
}

// A file the peer writes its results to; removed at the end.
class TResultsFile {
public:
    TResultsFile() {
        const char* TmpDir = std::getenv("TMPDIR");
        FPath = std::string(TmpDir && *TmpDir ? TmpDir : "/tmp") + "/quorvel-results-XXXXXX";
        const int Fd = mkstemp(FPath.data());
        if (Fd == -1)
            throw std::runtime_error("mkstemp " + FPath);
        (void)::close(Fd); // the peer opens it by name; nothing was written through this descriptor
    }
    ~TResultsFile() { (void)::unlink(FPath.c_str()); } // test teardown: nothing to recover
    TResultsFile(const TResultsFile&) = delete;
    TResultsFile& operator=(const TResultsFile&) = delete;

    const std::string& Path() const noexcept { return FPath; }
    std::string Text() const {
        std::ifstream In(FPath);
        std::ostringstream Out;
        Out << In.rdbuf();
        return Out.str();
    }
    std::vector<std::string> Lines() const {
        std::istringstream In(Text());
        std::vector<std::string> L;
        for (std::string Line; std::getline(In, Line);)
            L.push_back(Line);
        return L;
    }

private:
    std::string FPath;
};

// The server on one end of a bridge; clients are started on the other end.
class ServerOnBridge {
protected:
    void Open(TTransmissionMode Mode) {
        Connection.SetPort(Bridge.SlavePathB());
        Connection.SetConnectionMode(cmServer);
        Connection.SetParity(psNone);
        Connection.SetBaudRate(br19200);
        Connection.SetTransmissionMode(Mode);
        Server.SetAddress(ServerUnit);
        Map.Serve(Server);
        Server.SetConnection(&Connection);
        // The line as the server saw it, shown when a test fails.
        Connection.OnFrameReceive = [this](TComponent*, const TFrameData& D) {
            LineLog += "in  " + Hex(D) + "\n";
        };
        Connection.OnFrameSend = [this](TComponent*, const TFrameData& D) {
            LineLog += "out " + Hex(D) + "\n";
        };
        Connection.OnInvalidFrameDiscard = [this](TComponent*) { LineLog += "discarded\n"; };
        Connection.Open();
    }

    void Close() {
        Connection.Close();
        Quorvel::ProcessMessages();
        EXPECT_EQ(Bridge.RelayError(), "");
        if (::testing::Test::HasFailure())
            std::cerr << ClientLog << "--- server line ---\n" << LineLog << "--- end of server line ---\n";
    }

    static std::string Hex(const TFrameData& Bytes) {
        static const char* Digits = "0123456789ABCDEF";
        std::string S;
        for (auto B : Bytes) {
            S += S.empty() ? "" : " ";
            S += Digits[B >> 4];
            S += Digits[B & 15];
        }
        return S;
    }

    // Starts a client with Argv, pumps the main thread until it has ended and
    // returns how it ended. Its stderr is kept to be shown when the test fails.
    std::string RunClient(const std::vector<std::string>& Argv, std::chrono::milliseconds Timeout = 30s) {
        TPeerProcess Peer(Argv);
        const bool Ended = PumpUntil([&] { return !Peer.Running(); }, Timeout);
        EXPECT_TRUE(Ended) << "client still running after " << Timeout.count() << " ms";
        const std::string End = Peer.Stop();
        LastStderr = Peer.StderrText();
        ClientLog += "--- client " + Peer.CommandLine() + ": " + End + ", stderr:\n" + LastStderr;
        return End;
    }

    TPtyBridge Bridge;
    TModbusConnection Connection;
    TModbusServer Server;
    TItemMap Map;
    std::string LastStderr;
    std::string ClientLog;
    std::string LineLog;
};

// A real client starts sending as soon as it has opened its port, which may be
// the moment the server's Open has returned; the peers below do just that.
// The fastest such client is the test itself on a pty pair.
TEST(ServerStart, AQuerySentRightAfterOpenIsAnswered) {
    const QuorvelTest::TBytes Query = QuorvelTest::RtuFrame({ServerUnit, 0x03, 0x00, 0x05, 0x00, 0x01});
    const QuorvelTest::TBytes Reply = QuorvelTest::RtuFrame({ServerUnit, 0x03, 0x02, 0x03, 0xED});
    // Several rounds: a start-up race need not show every time.
    for (int Round = 0; Round < 10; ++Round) {
        SCOPED_TRACE("round " + std::to_string(Round));
        QuorvelTest::TPtyPair Pty;
        TModbusConnection Connection;
        Connection.SetPort(Pty.SlavePath());
        Connection.SetConnectionMode(cmServer);
        TModbusServer Server;
        Server.SetAddress(ServerUnit);
        TItemMap Map;
        Map.Serve(Server);
        Server.SetConnection(&Connection);
        Connection.Open();
        Pty.Write(Query);
        QuorvelTest::TBytes Got;
        PumpUntil(
            [&] {
                const QuorvelTest::TBytes More = Pty.Read(Reply.size() - Got.size(), 1ms);
                Got.insert(Got.end(), More.begin(), More.end());
                return Got.size() >= Reply.size();
            },
            1s);
        EXPECT_EQ(Got, Reply) << "the query written right after Open returned got no full reply";
        Connection.Close();
        Quorvel::ProcessMessages();
    }
}

// --- The scripted clients: pymodbus (RTU, ASCII) and libmodbus (RTU) ---------

enum TPeerFlag : unsigned { pfPymodbus = 1, pfLibmodbus = 2, pfBoth = 3 };

struct TScriptedPeer {
    const char* Name;
    TPeerFlag Flag;
    TTransmissionMode Mode;
};

void PrintTo(const TScriptedPeer& Peer, std::ostream* Out) {
    *Out << Peer.Name;
}

// One request of a script and the result line expected for it. Steps meant
// for one peer only say why the other cannot send them.
struct TStep {
    std::string Request;
    std::string Expected;
    unsigned Peers = pfBoth;
};

class ServerInterop : public ServerOnBridge, public ::testing::TestWithParam<TScriptedPeer> {
protected:
    void SetUp() override { Open(GetParam().Mode); }
    void TearDown() override {
        Close();
        if (HasFailure())
            std::cerr << "--- client results ---\n" << Results.Text() << "--- end of client results ---\n";
    }

    // Runs the steps meant for this peer in one client run and checks each result line.
    void RunScript(const std::vector<TStep>& Steps) {
        std::vector<std::string> Argv;
        if (GetParam().Flag == pfPymodbus)
            Argv = {QUORVEL_PYTHON, QUORVEL_PYMODBUS_CLIENT, GetParam().Mode == tmASCII ? "ascii" : "rtu"};
        else
            Argv = {QUORVEL_LIBMODBUS_CLIENT};
        Argv.push_back(Bridge.SlavePathA());
        Argv.push_back(Results.Path());
        std::vector<const TStep*> Run;
        for (const TStep& S : Steps) {
            if (S.Peers & GetParam().Flag) {
                Argv.push_back(S.Request);
                Run.push_back(&S);
            }
        }
        EXPECT_EQ(RunClient(Argv), "exit status 0");
        // pymodbus drops bytes it finds waiting before a request, with this
        // warning: a stray or late reply from the server.
        EXPECT_EQ(LastStderr.find("Cleanup recv buffer"), std::string::npos);
        const std::vector<std::string> Lines = Results.Lines();
        ASSERT_EQ(Lines.size(), Run.size()) << "one result line per request";
        for (std::size_t I = 0; I < Run.size(); ++I) {
            SCOPED_TRACE("request " + std::to_string(I + 1) + ": '" + Run[I]->Request + "'");
            if (Run[I]->Expected == NoReply)
                EXPECT_EQ(Lines[I].rfind(NoReply, 0), 0u) << Lines[I];
            else
                EXPECT_EQ(Lines[I], Run[I]->Expected);
        }
    }

    TResultsFile Results;
};

TEST_P(ServerInterop, ReadsEveryKindOfItem) {
    // Runs of bits that end inside a byte, on a byte boundary and at the end of
    // the map; register runs up to 100, whose replies cross the bridge in
    // several chunks.
    std::vector<TStep> Steps;
    for (auto [Start, Count] : {std::pair{0, 1}, {0, 20}, {8, 16}, {5, 11}, {91, 9}}) {
        const std::string Run = " 17 " + std::to_string(Start) + " " + std::to_string(Count);
        Steps.push_back({"read_coils" + Run, BitsLine(Start, Count, CoilAt)});
        Steps.push_back({"read_discrete_inputs" + Run, BitsLine(Start, Count, DiscreteInputAt)});
    }
    for (auto [Start, Count] : {std::pair{0, 1}, {37, 7}, {90, 10}, {0, 100}}) {
        const std::string Run = " 17 " + std::to_string(Start) + " " + std::to_string(Count);
        Steps.push_back({"read_holding_registers" + Run, RegistersLine(Start, Count, HoldingAt)});
        Steps.push_back({"read_input_registers" + Run, RegistersLine(Start, Count, InputAt)});
    }
    RunScript(Steps);
}

TEST_P(ServerInterop, WritesTakeEffectAndReadBack) {
    // Eleven bits from 37: they start and end inside a byte and cross two boundaries.
    const std::string Bits = "11010011101";
    const auto CoilsAfter = [&](int I) {
        if (I == 3 || I == 4)
            return I == 4; // coil 4 starts off and coil 3 on: each is turned the other way
        if (I >= 37 && I < 48)
            return Bits[I - 37] == '1';
        return CoilAt(I);
    };
    // A long run whose request crosses the bridge in several chunks.
    std::vector<std::uint16_t> Long;
    for (int I = 0; I < 40; ++I)
        Long.push_back(static_cast<std::uint16_t>(0x0101 * I + 7));
    std::vector<std::uint16_t> LongBack = Long;
    LongBack.push_back(HoldingAt(40));
    RunScript({
        {"write_coil 17 4 1", EchoLine(4, "value", 1)},
        {"write_coil 17 3 0", EchoLine(3, "value", 0)},
        {"read_coils 17 0 9", BitsLine(0, 9, CoilsAfter)},
        {"write_coils 17 37 " + Bits, EchoLine(37, "count", 11)},
        {"read_coils 17 35 16", BitsLine(35, 16, CoilsAfter)},
        {"write_register 17 50 0xBEEF", EchoLine(50, "value", 0xBEEF)},
        {"read_holding_registers 17 49 3", RegistersLine({HoldingAt(49), 0xBEEF, HoldingAt(51)})},
        {"write_registers 17 60 0,65535,32768,42", EchoLine(60, "count", 4)},
        {"read_holding_registers 17 59 6",
         RegistersLine({HoldingAt(59), 0, 0xFFFF, 0x8000, 42, HoldingAt(64)})},
        {"write_registers 17 0 " + Values(Long), EchoLine(0, "count", 40)},
        {"read_holding_registers 17 0 41", RegistersLine(LongBack)},
        // The limited register takes its largest value.
        {"write_register 17 99 999", EchoLine(99, "value", 999)},
    });
    // The application's items hold what the client wrote.
    for (int I = 0; I < MapSize; ++I)
        EXPECT_EQ(Map.Coils[I], CoilsAfter(I)) << "coil " << I;
    EXPECT_EQ(Map.Holding[50], 0xBEEF);
    EXPECT_EQ(Map.Holding[61], 0xFFFF);
    EXPECT_EQ(Map.Holding[39], Long[39]);
    EXPECT_EQ(Map.Holding[99], 999);
}

TEST_P(ServerInterop, RefusedRequestsGetTheRightException) {
    // libmodbus has no call for Read Exception Status or Diagnostics and
    // refuses to build requests with a quantity out of range, so it sends
    // those as raw PDUs; pymodbus builds whatever it is asked.
    std::string TooManyRegisters;
    for (int I = 0; I < 124; ++I)
        TooManyRegisters += (I ? "," : "") + std::to_string(I);
    RunScript({
        // Function codes the server does not serve.
        {"read_exception_status 17", ExceptionLine(1), pfPymodbus},
        {"raw 17 07", ExceptionLine(1), pfLibmodbus},
        {"diag_query_data 17 0x1234", ExceptionLine(1), pfPymodbus},
        {"raw 17 0800001234", ExceptionLine(1), pfLibmodbus},
        {"report_server_id 17", ExceptionLine(1)},
        {"mask_write_register 17 20 0xF0F0 0x1234", ExceptionLine(1)},
        {"write_read_registers 17 30 4 31 7,32776", ExceptionLine(1)},
        // Addresses outside the map, wholly or in part, for reads and writes.
        {"read_coils 17 95 10", ExceptionLine(2)},
        {"read_discrete_inputs 17 100 1", ExceptionLine(2)},
        {"read_holding_registers 17 100 1", ExceptionLine(2)},
        {"read_holding_registers 17 98 5", ExceptionLine(2)},
        {"read_input_registers 17 1000 3", ExceptionLine(2)},
        {"write_coil 17 100 1", ExceptionLine(2)},
        {"write_register 17 100 1", ExceptionLine(2)},
        {"write_coils 17 99 11", ExceptionLine(2)},
        {"write_registers 17 99 1,2", ExceptionLine(2)},
        // Quantities out of range: 126 and 0 registers to read, 0 coils to read and to write.
        {"read_holding_registers 17 0 126", ExceptionLine(3), pfPymodbus},
        {"raw 17 030000007e", ExceptionLine(3), pfLibmodbus},
        {"read_input_registers 17 0 0", ExceptionLine(3), pfPymodbus},
        {"raw 17 0400000000", ExceptionLine(3), pfLibmodbus},
        {"read_coils 17 0 0", ExceptionLine(3), pfPymodbus},
        {"raw 17 0100000000", ExceptionLine(3), pfLibmodbus},
        {"write_coils 17 0 -", ExceptionLine(3)},
        {"write_registers 17 0 -", ExceptionLine(3)},
        // A value the item refuses.
        {"write_register 17 99 1000", ExceptionLine(3)},
        {"write_registers 17 98 1,1000", ExceptionLine(3)},
        // 124 registers to write make a frame longer than any request may be
        // (257 bytes in RTU, 515 characters in ASCII): it is dropped unanswered.
        // libmodbus does not build it. (pymodbus then reads the next reply with
        // a fixed length and waits out its timeout for a short one: keep it
        // before reads.)
        {"write_registers 17 0 " + TooManyRegisters, NoReply, pfPymodbus},
        // Nothing refused changed anything, and the line is still in step.
        {"read_holding_registers 17 97 3", RegistersLine(97, 3, HoldingAt)},
        {"read_coils 17 97 3", BitsLine(97, 3, CoilAt)},
    });
    EXPECT_EQ(Map.Holding[98], HoldingAt(98));
    EXPECT_EQ(Map.Holding[99], HoldingAt(99));
    EXPECT_EQ(Map.Holding[0], HoldingAt(0));
}

TEST_P(ServerInterop, BroadcastsTakeEffectWithoutReplyAndOtherUnitsAreIgnored) {
    // pymodbus (broadcast_enable) sends a request to unit 0 without listening;
    // libmodbus listens a while and reports any reply as an error, so for it
    // a refused broadcast also shows that no exception reply went out.
    const auto CoilsAfter = [](int I) {
        if (I == 71)
            return true;
        if (I >= 80 && I < 84)
            return I == 81 || I == 82;
        return CoilAt(I);
    };
    RunScript({
        {"write_register 0 70 0x5A5A", BroadcastLine},
        {"write_coil 0 71 1", BroadcastLine},
        {"write_registers 0 72 1,2,3", BroadcastLine},
        {"write_coils 0 80 0110", BroadcastLine},
        {"write_register 0 100 5", BroadcastLine},
        {"write_register 0 99 1000", BroadcastLine},
        {"read_holding_registers 0 0 1", BroadcastLine},
        {"read_holding_registers 17 70 6", RegistersLine({0x5A5A, HoldingAt(71), 1, 2, 3, HoldingAt(75)})},
        {"read_coils 17 70 14", BitsLine(70, 14, CoilsAfter)},
        // A unit that is not there gets no reply, and the server answers its own next.
        {"read_holding_registers 18 0 1", NoReply},
        {"read_holding_registers 17 0 1", RegistersLine(0, 1, HoldingAt)},
    });
    EXPECT_EQ(Map.Holding[70], 0x5A5A);
    EXPECT_EQ(Map.Holding[74], 3);
    EXPECT_EQ(Map.Holding[99], HoldingAt(99));
    for (int I = 0; I < MapSize; ++I)
        EXPECT_EQ(Map.Coils[I], CoilsAfter(I)) << "coil " << I;
}

std::string ScriptedPeerName(const ::testing::TestParamInfo<TScriptedPeer>& Info) {
    return Info.param.Name;
}

INSTANTIATE_TEST_SUITE_P(Clients, ServerInterop,
                         ::testing::Values(TScriptedPeer{"PymodbusRtu", pfPymodbus, tmRTU},
                                           TScriptedPeer{"PymodbusAscii", pfPymodbus, tmASCII},
                                           TScriptedPeer{"LibmodbusRtu", pfLibmodbus, tmRTU}),
                         ScriptedPeerName);

// --- mbpoll -----------------------------------------------------------------
//
// One request per run of mbpoll (-1: poll once), 0-based addresses (-0). It
// prints each value read as "[address]: \tvalue" and reports a failure on
// stderr with libmodbus's text for it, ending with status 1. It cannot send
// to unit 0 ("slave address out of range"), nor a quantity above 125 (-c is
// checked by mbpoll, larger 32-bit reads by libmodbus: "Too many data").

class MbpollServerInterop : public ServerOnBridge, public ::testing::Test {
protected:
    void SetUp() override { Open(tmRTU); }
    void TearDown() override { Close(); }

    struct TRun {
        std::string End;
        std::string Output;
    };

    // Runs mbpoll once with Options for unit and table, then the port, then
    // the values to write (none for a read).
    TRun Mbpoll(const std::vector<std::string>& Options, const std::vector<std::string>& WriteValues = {}) {
        TResultsFile Output;
        // The wrapping shell prints READY and becomes mbpoll, whose output goes to the file.
        const char* Wrapper = "out=$1; shift; echo READY; exec \"$@\" >\"$out\" 2>&1";
        std::vector<std::string> Argv = {"/bin/sh", "-c", Wrapper, "sh", Output.Path(), QUORVEL_MBPOLL};
        // RTU at 19200 baud, parity none (a pty keeps none), one poll, 0-based addresses.
        Argv.insert(Argv.end(), {"-m", "rtu", "-b", "19200", "-P", "none", "-1", "-0"});
        Argv.insert(Argv.end(), Options.begin(), Options.end());
        Argv.push_back(Bridge.SlavePathA());
        Argv.insert(Argv.end(), WriteValues.begin(), WriteValues.end());
        TRun R;
        R.End = RunClient(Argv);
        R.Output = Output.Text();
        return R;
    }

    // The values mbpoll printed, as "[address]: \tvalue" lines in order. It
    // adds the signed reading to a register from 32768 on ("65535 (-1)"):
    // that is dropped.
    static std::vector<std::string> ValuesRead(const std::string& Output) {
        std::istringstream In(Output);
        std::vector<std::string> V;
        for (std::string Line; std::getline(In, Line);)
            if (!Line.empty() && Line[0] == '[')
                V.push_back(Line.substr(0, Line.find(" (")));
        return V;
    }

    template <typename F>
    static std::vector<std::string> Expected(int Start, int Count, F&& At) {
        std::vector<std::string> V;
        for (int I = Start; I < Start + Count; ++I)
            V.push_back("[" + std::to_string(I) + "]: \t" + std::to_string(At(I)));
        return V;
    }
};

TEST_F(MbpollServerInterop, ReadsEveryKindOfItem) {
    struct TCase {
        const char* Type;
        int Start;
        int Count;
        std::vector<std::string> Values;
    };
    const TCase Cases[] = {
        {"0", 0, 20, Expected(0, 20, CoilAt)},
        {"1", 5, 11, Expected(5, 11, DiscreteInputAt)},
        {"4", 90, 10, Expected(90, 10, HoldingAt)},
        {"3", 0, 100, Expected(0, 100, InputAt)},
    };
    for (const TCase& C : Cases) {
        SCOPED_TRACE(std::string("table ") + C.Type);
        const TRun R =
            Mbpoll({"-a", "17", "-t", C.Type, "-r", std::to_string(C.Start), "-c", std::to_string(C.Count)});
        EXPECT_EQ(R.End, "exit status 0");
        EXPECT_EQ(ValuesRead(R.Output), C.Values);
    }
}

TEST_F(MbpollServerInterop, WritesTakeEffectAndReadBack) {
    // mbpoll writes one value with 05 or 06 and several with 0F or 10.
    struct TCase {
        const char* Type;
        int Start;
        std::vector<std::string> Values;
    };
    const TCase Cases[] = {
        {"0", 4, {"1"}},
        {"0", 37, {"1", "1", "0", "1", "0", "0", "1", "1", "1", "0", "1"}},
        {"4", 10, {"48879"}},
        {"4", 60, {"0", "65535", "32768", "42"}},
    };
    for (const TCase& C : Cases) {
        SCOPED_TRACE(std::string("table ") + C.Type + " at " + std::to_string(C.Start));
        const TRun R = Mbpoll({"-a", "17", "-t", C.Type, "-r", std::to_string(C.Start)}, C.Values);
        EXPECT_EQ(R.End, "exit status 0") << R.Output;
        EXPECT_NE(R.Output.find("Written " + std::to_string(C.Values.size()) + " references."),
                  std::string::npos)
            << R.Output;
        // mbpoll reads the run back.
        const TRun Back = Mbpoll(
            {"-a", "17", "-t", C.Type, "-r", std::to_string(C.Start), "-c", std::to_string(C.Values.size())});
        EXPECT_EQ(Back.End, "exit status 0");
        std::vector<std::string> Expect;
        for (std::size_t I = 0; I < C.Values.size(); ++I)
            Expect.push_back("[" + std::to_string(C.Start + I) + "]: \t" + C.Values[I]);
        EXPECT_EQ(ValuesRead(Back.Output), Expect);
    }
    EXPECT_TRUE(Map.Coils[4]);
    EXPECT_FALSE(Map.Coils[39]);
    EXPECT_EQ(Map.Holding[10], 48879);
    EXPECT_EQ(Map.Holding[61], 65535);
}

TEST_F(MbpollServerInterop, RefusedRequestsGetTheRightException) {
    struct TCase {
        const char* Name;
        std::vector<std::string> Options;
        std::vector<std::string> WriteValues;
        const char* Message;
        const char* End = "exit status 1";
    };
    const TCase Cases[] = {
        // -u asks for Report Server ID (11 hex), which the server does not
        // serve; mbpoll then ends with status 0 all the same.
        {"report server ID",
         {"-a", "17", "-u"},
         {},
         "Report slave ID failed(-1): Illegal function",
         "exit status 0"},
        {"read partly outside the map",
         {"-a", "17", "-t", "4", "-r", "98", "-c", "5"},
         {},
         "Illegal data address"},
        {"write outside the map", {"-a", "17", "-t", "0", "-r", "100"}, {"1"}, "Illegal data address"},
        {"a value the item refuses", {"-a", "17", "-t", "4", "-r", "99"}, {"1000"}, "Illegal data value"},
        {"a unit that is not there",
         {"-a", "18", "-t", "4", "-r", "0", "-o", "0.5"},
         {},
         "Connection timed out"},
    };
    for (const TCase& C : Cases) {
        SCOPED_TRACE(C.Name);
        const TRun R = Mbpoll(C.Options, C.WriteValues);
        EXPECT_EQ(R.End, C.End) << R.Output;
        EXPECT_NE(R.Output.find(C.Message), std::string::npos) << R.Output;
    }
    EXPECT_EQ(Map.Holding[99], HoldingAt(99));
}

} // namespace
