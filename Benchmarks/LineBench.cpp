// Line benchmarks: the library against libmodbus and pymodbus on pty pairs, each
// peer started here. Prints one Markdown table row per figure on stdout and the
// raw figures on stderr.
//
//   QuorvelLineBench [--quick]          every benchmark
//   QuorvelLineBench serve rtu|ascii PORT BAUD
//                                        a library server (unit 1, holding register
//                                        i = 1000 + i) for the other benchmarks
//
// Figures are medians with their p99. A pty moves bytes at memory speed whatever
// rate the port is set to; the rate still sets the real silent interval, so
// "line time" on a pty is only the pty's own transfer, which is counted in the
// overhead (the nominal time at the set rate is printed beside it).

#include <Quorvel.h>

#include "Support/PeerProcess.h"
#include "Support/PtyBridge.h"
#include "Support/PtyPair.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <functional>
#include <iostream>
#include <mutex>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace Quorvel;
using namespace std::chrono_literals;
using QuorvelTest::TPeerProcess;
using QuorvelTest::TPtyBridge;
using QuorvelTest::TPtyPair;
using TClock = std::chrono::steady_clock;

namespace {

constexpr std::uint32_t NoLimit = 0xFFFFFFFFu;
bool Quick = false;

double Us(TClock::duration D) {
    return std::chrono::duration<double, std::micro>(D).count();
}

struct TStats {
    double Median = NAN;
    double P99 = NAN;
    std::size_t Count = 0;
    std::size_t Errors = 0;
};

TStats Stats(std::vector<double> V, std::size_t Errors = 0) {
    TStats S;
    S.Count = V.size();
    S.Errors = Errors;
    if (V.empty())
        return S;
    std::sort(V.begin(), V.end());
    S.Median = V.size() % 2 ? V[V.size() / 2] : (V[V.size() / 2 - 1] + V[V.size() / 2]) / 2;
    // Nearest rank.
    const std::size_t Rank = static_cast<std::size_t>(std::ceil(0.99 * static_cast<double>(V.size())));
    S.P99 = V[std::max<std::size_t>(Rank, 1) - 1];
    return S;
}

std::string Fmt(double V, int Digits = 3) {
    if (std::isnan(V))
        return "—";
    char B[64];
    std::snprintf(B, sizeof B, "%.*f", Digits, V);
    return B;
}

std::string Ratio(double Ours, double Peer) {
    if (std::isnan(Ours) || std::isnan(Peer) || Peer == 0)
        return "—";
    char B[64];
    std::snprintf(B, sizeof B, "%.2f", Ours / Peer);
    return B;
}

// ms figures as "median (p99 x)".
std::string Ms(const TStats& S) {
    if (S.Count == 0)
        return "—";
    std::string T = Fmt(S.Median / 1000) + " (p99 " + Fmt(S.P99 / 1000) + ")";
    if (S.Errors)
        T += " " + std::to_string(S.Errors) + " failed";
    return T;
}

std::string Tps(const TStats& S) {
    return S.Count == 0 ? "—" : Fmt(1e6 / S.Median, 0);
}

void Row(const std::string& Metric, const std::string& Ours, const std::string& Peer, const std::string& R,
         const std::string& Target) {
    std::cout << "| " << Metric << " | " << Ours << " | " << Peer << " | " << R << " | " << Target << " |"
              << std::endl;
}

void Note(const std::string& Text) {
    std::cerr << "  " << Text << std::endl;
}

std::string SelfPath() {
    char B[4096];
    const ssize_t N = readlink("/proc/self/exe", B, sizeof B - 1);
    if (N <= 0)
        throw std::runtime_error("cannot find own executable");
    return std::string(B, static_cast<std::size_t>(N));
}

TBaudRate BaudCode(std::uint32_t Baud) {
    switch (Baud) {
    case 9600: return br9600;
    case 19200: return br19200;
    case 38400: return br38400;
    case 57600: return br57600;
    case 115200: return br115200;
    default: return brCustom;
    }
}

void SetLine(TModbusConnection& C, const std::string& Port, TTransmissionMode Mode, std::uint32_t Baud) {
    C.SetPort(Port);
    // A pty keeps no parity; the peers (pyserial above all) must be asked for none.
    C.SetParity(psNone);
    C.SetBaudRate(BaudCode(Baud));
    if (BaudCode(Baud) == brCustom)
        C.SetCustomBaudRate(Baud);
    C.SetTransmissionMode(Mode);
}

bool PumpUntil(const std::function<bool()>& Done, std::chrono::milliseconds Timeout) {
    const auto Deadline = TClock::now() + Timeout;
    while (!Done()) {
        if (TClock::now() >= Deadline)
            return false;
        WaitForMessages(50);
        ProcessMessages();
    }
    return true;
}

// --- The library's server, as a separate process -------------------------------

[[noreturn]] void Serve(const std::string& ModeText, const std::string& Port, std::uint32_t Baud) {
    TModbusConnection Connection;
    SetLine(Connection, Port, ModeText == "ascii" ? tmASCII : tmRTU, Baud);
    Connection.SetConnectionMode(cmServer);
    TModbusServer Server;
    Server.SetAddress(1);
    Server.SetConnection(&Connection);
    Server.OnAcceptCommand = [](TComponent*, std::uint8_t, bool& Accept) { Accept = true; };
    Server.OnCanReadHoldingRegister = [](TComponent*, std::uint16_t Addr, bool& Allow) { Allow = Addr < 100; };
    Server.OnGetHoldingRegisterValue = [](TComponent*, std::uint16_t Addr, std::uint16_t& V) {
        V = static_cast<std::uint16_t>(1000 + Addr);
    };
    Connection.Open();
    std::cout << "READY" << std::endl;
    // Ended by SIGTERM.
    for (;;) {
        WaitForMessages(NoLimit);
        ProcessMessages();
    }
}

std::unique_ptr<TPeerProcess> StartOwnServer(const std::string& Mode, const std::string& Port,
                                             std::uint32_t Baud) {
    return std::make_unique<TPeerProcess>(
        std::vector<std::string>{SelfPath(), "serve", Mode, Port, std::to_string(Baud)});
}

std::unique_ptr<TPeerProcess> StartLibmodbusServer(const std::string& Port, std::uint32_t Baud) {
    return std::make_unique<TPeerProcess>(
        std::vector<std::string>{QUORVEL_BENCH_LIBMODBUS, "server", Port, std::to_string(Baud)});
}

std::unique_ptr<TPeerProcess> StartPymodbusServer(const std::string& Port) {
    return std::make_unique<TPeerProcess>(
        std::vector<std::string>{QUORVEL_PYTHON, QUORVEL_PYMODBUS_SERVER, "ascii", Port, "1"});
}

// --- Client cycles -----------------------------------------------------------

struct TClientRun {
    TStats Cycle;                      // microseconds per transaction
    std::uint32_t ClientSilence = 0;   // the client's real silent interval, ms
    TStats ToQuery;                    // request call -> query's first chunk at the relay
    TStats Turnaround;                 // query at the relay -> reply's first chunk at the relay
    TStats AfterReply;                 // reply at the relay -> completion event, less the silence
};

// When the relay between the two pty pairs saw each direction's first chunk of
// a cycle: where a cycle's time goes.
struct TRelayClock {
    std::mutex Lock;
    TClock::time_point Query{};
    TClock::time_point Reply{};
    void Reset() {
        std::lock_guard L(Lock);
        Query = Reply = {};
    }
    TPtyBridge::TChunkFilter Filter() {
        return [this](TPtyBridge::TDirection D, TPtyBridge::TBytes&) {
            const auto Now = TClock::now();
            std::lock_guard L(Lock);
            auto& T = D == TPtyBridge::dirAtoB ? Query : Reply;
            if (T == TClock::time_point{})
                T = Now;
        };
    }
};

// The library's client: Count reads of holding registers 0..9, one after the
// other, each timed from the request to its completion event.
TClientRun RunOwnClient(const std::string& Port, TTransmissionMode Mode, std::uint32_t Baud, int Count,
                        TRelayClock* Relay = nullptr) {
    TModbusConnection Connection;
    SetLine(Connection, Port, Mode, Baud);
    Connection.SetReceiveTimeout(1000);
    TModbusClient Client;
    Client.SetConnection(&Connection);
    Client.SetServerAddress(1);
    bool Done = false;
    bool Good = false;
    Client.OnHoldingRegistersRead = [&](TComponent*, const TTransactionInfo& Info, std::uint16_t,
                                        std::uint16_t, const TRegValues& V) {
        Good = Info.Reply == srNormalReply && V.size() == 10 && V[9] == 1009;
        Done = true;
    };
    Connection.Open();
    TClientRun Run;
    Run.ClientSilence = Connection.RealSilentInterval();
    std::vector<double> Cycles;
    std::vector<double> ToQuery;
    std::vector<double> Turnaround;
    std::vector<double> AfterReply;
    std::size_t Errors = 0;
    const int Warmup = 5;
    for (int i = 0; i < Count + Warmup; ++i) {
        Done = Good = false;
        if (Relay != nullptr)
            Relay->Reset();
        const auto T0 = TClock::now();
        Client.ReadHoldingRegisters(0, 10, nullptr);
        PumpUntil([&] { return Done; }, 5s);
        const auto T1 = TClock::now();
        if (i < Warmup)
            continue;
        if (Good) {
            Cycles.push_back(Us(T1 - T0));
            if (Relay != nullptr) {
                std::lock_guard L(Relay->Lock);
                ToQuery.push_back(Us(Relay->Query - T0));
                Turnaround.push_back(Us(Relay->Reply - Relay->Query));
                AfterReply.push_back(Us(T1 - Relay->Reply) - Run.ClientSilence * 1000.0);
            }
        } else {
            ++Errors;
        }
    }
    Connection.Close();
    Run.Cycle = Stats(Cycles, Errors);
    Run.ToQuery = Stats(ToQuery);
    Run.Turnaround = Stats(Turnaround);
    Run.AfterReply = Stats(AfterReply);
    return Run;
}

TStats ReadResults(const std::string& Path) {
    std::ifstream In(Path);
    std::vector<double> V;
    std::size_t Errors = 0;
    std::string Line;
    int Index = 0;
    while (std::getline(In, Line)) {
        if (Index++ < 5)
            continue; // warm-up
        if (Line == "error")
            ++Errors;
        else if (!Line.empty())
            V.push_back(std::stod(Line));
    }
    return Stats(V, Errors);
}

// A peer client program that writes one cycle per line to a results file.
TStats RunPeerClient(std::vector<std::string> Argv, const std::string& Results,
                     std::chrono::milliseconds Limit) {
    std::remove(Results.c_str());
    TPeerProcess Peer(std::move(Argv));
    const auto Deadline = TClock::now() + Limit;
    while (Peer.Running() && TClock::now() < Deadline)
        std::this_thread::sleep_for(20ms);
    if (Peer.Running())
        Note("peer client did not finish in time: " + Peer.CommandLine());
    Peer.Stop();
    return ReadResults(Results);
}

std::string TempPath(const std::string& Name) {
    return "/tmp/quorvel-bench-" + std::to_string(getpid()) + "-" + Name;
}

TStats Minus(const TStats& S, double Us) {
    TStats R = S;
    R.Median -= Us;
    R.P99 -= Us;
    return R;
}

void RtuCycles(std::uint32_t Baud) {
    const int Count = Quick ? 40 : (Baud == 19200 ? 300 : 300);
    // Nominal line time of the exchange at the set rate, 10 bits a character
    // (8N1): an 8-byte query and a 25-byte reply.
    const double Nominal = 33.0 * 10 * 1000 / Baud;
    const std::string B = std::to_string(Baud);
    for (const bool OwnServer : {false, true}) {
        TRelayClock Relay;
        TPtyBridge Bridge(Relay.Filter());
        auto Server = OwnServer ? StartOwnServer("rtu", Bridge.SlavePathB(), Baud)
                                : StartLibmodbusServer(Bridge.SlavePathB(), Baud);
        const TClientRun Ours = RunOwnClient(Bridge.SlavePathA(), tmRTU, Baud, Count, &Relay);
        const TStats Peer = RunPeerClient(
            {QUORVEL_BENCH_LIBMODBUS, "client", Bridge.SlavePathA(), B, std::to_string(Count + 5),
             TempPath("lm-client")},
            TempPath("lm-client"), 120s);
        Server.reset();
        // The mandated silence: the client's own after the reply; the library's
        // server waits its silent interval after the query too (libmodbus
        // counts bytes instead and waits for none).
        const double ServerSilence = OwnServer ? Ours.ClientSilence * 1000.0 : 0;
        const double ClientSilence = Ours.ClientSilence * 1000.0;
        const std::string With = OwnServer ? "library server" : "libmodbus server";
        Row("RTU " + B + ", " + With + ": transactions/s", Tps(Ours.Cycle), Tps(Peer) + " (libmodbus client)",
            Ratio(Peer.Median, Ours.Cycle.Median), "—");
        const TStats OursOver = Minus(Ours.Cycle, ClientSilence + ServerSilence);
        const TStats PeerOver = Minus(Peer, ServerSilence);
        Row("RTU " + B + ", " + With + ": overhead beyond line and silence, ms", Ms(OursOver),
            Ms(PeerOver) + " (libmodbus client)", Ratio(OursOver.Median, PeerOver.Median),
            "≤ 0.5 median, ≤ 2 p99");
        Note("RTU " + B + " " + With + ": cycle " + Ms(Ours.Cycle) + " ms, libmodbus client " + Ms(Peer) +
             " ms; silences client " + Fmt(ClientSilence / 1000, 0) + " ms + server " +
             Fmt(ServerSilence / 1000, 0) + " ms; nominal line time " + Fmt(Nominal, 2) +
             " ms (not spent on a pty)");
        Note("  where the cycle goes (at the relay): request to query " + Ms(Ours.ToQuery) +
             " ms; query to reply " + Ms(Ours.Turnaround) + " ms; reply to completion less the silence " +
             Ms(Ours.AfterReply) + " ms");
    }
}

void AsciiCycles() {
    const int OwnCount = Quick ? 100 : 2000;
    const int PyCount = Quick ? 30 : 300;
    TStats Own[2];
    TStats Py[2];
    for (const bool OwnServer : {true, false}) {
        TPtyBridge Bridge;
        auto Server = OwnServer ? StartOwnServer("ascii", Bridge.SlavePathB(), 19200)
                                : StartPymodbusServer(Bridge.SlavePathB());
        Own[OwnServer] = RunOwnClient(Bridge.SlavePathA(), tmASCII, 19200,
                                      OwnServer ? OwnCount : PyCount).Cycle;
        Py[OwnServer] = RunPeerClient({QUORVEL_PYTHON, QUORVEL_BENCH_PYMODBUS_CLIENT, "ascii",
                                       Bridge.SlavePathA(), std::to_string(PyCount + 5), TempPath("py-client")},
                                      TempPath("py-client"), 180s);
        Server.reset();
    }
    Row("ASCII, library server: transactions/s", Tps(Own[1]), Tps(Py[1]) + " (pymodbus client)",
        Ratio(Py[1].Median, Own[1].Median), "≥ 1000, ahead of pymodbus");
    Row("ASCII, library server: cycle, ms", Ms(Own[1]), Ms(Py[1]) + " (pymodbus client)",
        Ratio(Own[1].Median, Py[1].Median), "—");
    Row("ASCII, pymodbus server: transactions/s", Tps(Own[0]), Tps(Py[0]) + " (pymodbus client)",
        Ratio(Py[0].Median, Own[0].Median), "—");
    Row("ASCII, pymodbus server: cycle, ms", Ms(Own[0]), Ms(Py[0]) + " (pymodbus client)",
        Ratio(Own[0].Median, Py[0].Median), "—");
}

// --- Server reply latency ------------------------------------------------------

std::vector<std::uint8_t> RtuQuery() {
    TModbusBuffer B(16);
    const std::uint8_t Body[] = {1, 3, 0, 0, 0, 10};
    B.PutBlock(Body, sizeof Body);
    B.PutWordLoHi(B.CRC16());
    return {B.StartPtr(), B.StartPtr() + B.Size()};
}

std::vector<std::uint8_t> AsciiQuery() {
    TModbusBuffer B(16);
    const std::uint8_t Body[] = {1, 3, 0, 0, 0, 10};
    B.PutBlock(Body, sizeof Body);
    const std::uint8_t Lrc = B.LRC8();
    static const char* Hex = "0123456789ABCDEF";
    std::vector<std::uint8_t> Q{':'};
    auto Put = [&](std::uint8_t V) {
        Q.push_back(static_cast<std::uint8_t>(Hex[V >> 4]));
        Q.push_back(static_cast<std::uint8_t>(Hex[V & 15]));
    };
    for (auto V : Body)
        Put(V);
    Put(Lrc);
    Q.push_back('\r');
    Q.push_back('\n');
    return Q;
}

// The time from the query's last byte written to the reply's first byte, on the
// master end of a pty whose slave the server holds.
TStats ReplyLatency(TPtyPair& Pty, const std::vector<std::uint8_t>& Query, std::size_t ReplySize,
                    int Count) {
    std::vector<double> V;
    std::size_t Errors = 0;
    const int Warmup = 5;
    for (int i = 0; i < Count + Warmup; ++i) {
        Pty.Write(Query);
        const auto T0 = TClock::now();
        pollfd P{Pty.MasterFd(), POLLIN, 0};
        const int R = poll(&P, 1, 2000);
        const auto T1 = TClock::now();
        const auto Reply = R > 0 ? Pty.Read(ReplySize, 500ms) : std::vector<std::uint8_t>{};
        if (i >= Warmup) {
            if (Reply.size() == ReplySize)
                V.push_back(Us(T1 - T0));
            else
                ++Errors;
        }
        // Whatever is left of a bad reply must not count for the next query.
        Pty.ReadUntilQuiet(2ms);
    }
    return Stats(V, Errors);
}

void Latencies() {
    const int Count = Quick ? 30 : 300;
    // RTU at 19200: the library's server against libmodbus's.
    TStats Own;
    TStats Lm;
    std::uint32_t Silence = 0;
    {
        TModbusConnection Probe; // the silent interval the server computes for its settings
        TPtyPair Pty;
        SetLine(Probe, Pty.SlavePath(), tmRTU, 19200);
        Probe.Open();
        Silence = Probe.RealSilentInterval();
        Probe.Close();
    }
    {
        TPtyPair Pty;
        auto Server = StartOwnServer("rtu", Pty.SlavePath(), 19200);
        Own = Minus(ReplyLatency(Pty, RtuQuery(), 25, Count), Silence * 1000.0);
    }
    {
        TPtyPair Pty;
        auto Server = StartLibmodbusServer(Pty.SlavePath(), 19200);
        Lm = ReplyLatency(Pty, RtuQuery(), 25, Count);
    }
    Row("RTU 19200 server reply latency beyond the silent interval (" + std::to_string(Silence) + " ms), ms",
        Ms(Own), Ms(Lm) + " (libmodbus server, no silence)", Ratio(Own.Median, Lm.Median),
        "≤ 0.3 median, ≤ 1 p99");
    // ASCII: nothing to wait for after the LF.
    TStats OwnA;
    TStats PyA;
    {
        TPtyPair Pty;
        auto Server = StartOwnServer("ascii", Pty.SlavePath(), 19200);
        OwnA = ReplyLatency(Pty, AsciiQuery(), 51, Count);
    }
    {
        TPtyPair Pty;
        auto Server = StartPymodbusServer(Pty.SlavePath());
        PyA = ReplyLatency(Pty, AsciiQuery(), 51, Quick ? 20 : 100);
    }
    Row("ASCII server reply latency, ms", Ms(OwnA), Ms(PyA) + " (pymodbus server)",
        Ratio(OwnA.Median, PyA.Median), "≤ 0.3 median, ≤ 1 p99");
}

// --- Idle cost -------------------------------------------------------------------

struct TCpu {
    long long Ticks = 0;    // utime + stime, clock ticks
    long long Switches = 0; // voluntary + involuntary context switches
};

TCpu ReadTask(const std::string& Dir) {
    TCpu C;
    std::ifstream Stat(Dir + "/stat");
    std::string S((std::istreambuf_iterator<char>(Stat)), std::istreambuf_iterator<char>());
    const auto Close = S.rfind(')');
    if (Close != std::string::npos) {
        std::istringstream F(S.substr(Close + 2));
        std::vector<std::string> Fields;
        std::string W;
        while (F >> W)
            Fields.push_back(W);
        // Fields from "state" (field 3): utime is field 14, stime 15.
        if (Fields.size() > 12)
            C.Ticks = std::stoll(Fields[11]) + std::stoll(Fields[12]);
    }
    std::ifstream Status(Dir + "/status");
    std::string Line;
    while (std::getline(Status, Line)) {
        if (Line.rfind("voluntary_ctxt_switches:", 0) == 0 || Line.rfind("nonvoluntary_ctxt_switches:", 0) == 0)
            C.Switches += std::stoll(Line.substr(Line.find(':') + 1));
    }
    return C;
}

// Every thread of a process but the one given (the caller's own main thread).
TCpu ReadThreads(pid_t Pid, pid_t Except) {
    TCpu Sum;
    const std::string Base = "/proc/" + std::to_string(Pid) + "/task";
    DIR* D = opendir(Base.c_str());
    if (D == nullptr)
        return Sum;
    while (dirent* E = readdir(D)) {
        if (E->d_name[0] == '.' || std::atoi(E->d_name) == Except)
            continue;
        const TCpu C = ReadTask(Base + "/" + E->d_name);
        Sum.Ticks += C.Ticks;
        Sum.Switches += C.Switches;
    }
    closedir(D);
    return Sum;
}

void Idle() {
    const auto Span = Quick ? 2s : 10s;
    const std::string Secs = std::to_string(std::chrono::duration_cast<std::chrono::seconds>(Span).count());
    for (const bool ServerMode : {false, true}) {
        TPtyPair Pty;
        TPtyPair PeerPty;
        TModbusConnection Connection;
        SetLine(Connection, Pty.SlavePath(), tmRTU, 19200);
        Connection.SetConnectionMode(ServerMode ? cmServer : cmClient);
        TModbusServer Server;
        if (ServerMode)
            Server.SetConnection(&Connection);
        // The peer idles beside it: libmodbus's server beside the client mode
        // (libmodbus has no idle client), pymodbus's beside the server mode.
        auto Peer = ServerMode ? StartPymodbusServer(PeerPty.SlavePath())
                               : StartLibmodbusServer(PeerPty.SlavePath(), 19200);
        Connection.Open();
        std::this_thread::sleep_for(200ms); // let start-up settle
        const TCpu A = ReadThreads(getpid(), getpid());
        const TCpu PA = ReadThreads(Peer->Pid(), 0);
        std::this_thread::sleep_for(Span);
        const TCpu B = ReadThreads(getpid(), getpid());
        const TCpu PB = ReadThreads(Peer->Pid(), 0);
        Connection.Close();
        const std::string Mode = ServerMode ? "server" : "client";
        const std::string PeerName = ServerMode ? "pymodbus server" : "libmodbus server";
        Row("Idle " + Mode + " mode, " + Secs + " s: CPU ticks / wake-ups", std::to_string(B.Ticks - A.Ticks) +
            " / " + std::to_string(B.Switches - A.Switches), std::to_string(PB.Ticks - PA.Ticks) + " / " +
            std::to_string(PB.Switches - PA.Switches) + " (" + PeerName + ")", "—", "0 / 0");
    }
}

// --- Queue scaling ---------------------------------------------------------------

long RssKb() {
    std::ifstream In("/proc/self/status");
    std::string Line;
    while (std::getline(In, Line)) {
        if (Line.rfind("VmRSS:", 0) == 0)
            return std::stol(Line.substr(6));
    }
    return -1;
}

void QueueScaling() {
    const int Count = Quick ? 1000 : 10000;
    const int Slice = Count / 10;
    TPtyBridge Bridge;
    auto Server = StartOwnServer("ascii", Bridge.SlavePathB(), 19200);
    TModbusConnection Connection;
    SetLine(Connection, Bridge.SlavePathA(), tmASCII, 19200);
    Connection.SetReceiveTimeout(1000);
    TModbusClient Client;
    Client.SetConnection(&Connection);
    Client.SetServerAddress(1);
    std::vector<TClock::time_point> Times;
    std::vector<long> Rss;
    std::size_t Bad = 0;
    std::size_t OutOfOrder = 0;
    std::uintptr_t Expected = 0;
    Times.reserve(static_cast<std::size_t>(Count));
    Client.OnHoldingRegistersRead = [&](TComponent*, const TTransactionInfo& Info, std::uint16_t, std::uint16_t,
                                        const TRegValues& V) {
        if (Info.Reply != srNormalReply || V.size() != 10)
            ++Bad;
        if (reinterpret_cast<std::uintptr_t>(Info.UserData) != Expected)
            ++OutOfOrder;
        ++Expected;
        Times.push_back(TClock::now());
        if (Times.size() % static_cast<std::size_t>(Slice) == 0)
            Rss.push_back(RssKb());
    };
    Connection.Open();
    const long RssBefore = RssKb();
    const auto T0 = TClock::now();
    for (int i = 0; i < Count; ++i)
        Client.ReadHoldingRegisters(0, 10, reinterpret_cast<void*>(static_cast<std::uintptr_t>(i)));
    const auto Queued = TClock::now();
    const long RssQueued = RssKb();
    PumpUntil([&] { return Times.size() >= static_cast<std::size_t>(Count); }, 600s);
    Connection.Close();
    Server.reset();
    // Time per transaction in the first and the last slice.
    auto SliceStats = [&](std::size_t From) {
        std::vector<double> V;
        for (std::size_t i = std::max<std::size_t>(From, 1); i < From + static_cast<std::size_t>(Slice) &&
                                                             i < Times.size(); ++i)
            V.push_back(Us(Times[i] - Times[i - 1]));
        return Stats(V);
    };
    const TStats First = SliceStats(0);
    const TStats Last = SliceStats(Times.size() >= static_cast<std::size_t>(Slice) ? Times.size() - Slice : 0);
    std::string RssText;
    for (long R : Rss)
        RssText += (RssText.empty() ? "" : ", ") + std::to_string(R / 1024);
    Row("Queue " + std::to_string(Count) + " ASCII reads queued at once: ms per transaction, first / last " +
            std::to_string(Slice),
        Ms(First) + " / " + Ms(Last), "—", Ratio(Last.Median, First.Median), "flat (ratio ≈ 1)");
    Row("Queue " + std::to_string(Count) + ": completed, in order, failed",
        std::to_string(Times.size()) + ", " + (OutOfOrder == 0 ? "yes" : std::to_string(OutOfOrder) + " out of order") +
            ", " + std::to_string(Bad),
        "—", "—", "all, in order");
    Row("Queue " + std::to_string(Count) + ": RSS MiB before / queued / each tenth done",
        std::to_string(RssBefore / 1024) + " / " + std::to_string(RssQueued / 1024) + " / " + RssText, "—", "—",
        "flat");
    Note("queueing " + std::to_string(Count) + " took " + Fmt(Us(Queued - T0) / 1000, 1) + " ms; all done in " +
         Fmt(Us(Times.empty() ? TClock::duration{} : Times.back() - T0) / 1e6, 2) + " s");
}

// --- Timing precision ----------------------------------------------------------

void SleepPrecisely(TClock::time_point Until) {
    // Sleep to just short of the moment, then spin: the pause must not overrun
    // by the scheduler's wake-up delay. The spin is kept short: a real-time
    // thread spinning holds one of the machine's cores away from the receiver.
    const auto Coarse = Until - 300us;
    if (TClock::now() < Coarse)
        std::this_thread::sleep_until(Coarse);
    while (TClock::now() < Until) {
    }
}

// Once with the worker at the default priority, once time-critical: on a loaded
// machine a late wake-up of the worker stretches the silence it sees.
void Precision(TThreadPriority Priority) {
    const int Trials = Quick ? 50 : 1000;
    const std::string PriorityName = Priority == tpNormal ? "normal" : "time-critical";
    TPtyPair Pty;
    TModbusConnection Connection;
    SetLine(Connection, Pty.SlavePath(), tmRTU, 19200);
    Connection.SetReceiveTimeout(500);
    Connection.SetThreadPriority(Priority);
    TModbusClient Client;
    Client.SetConnection(&Connection);
    Client.SetServerAddress(1);
    TServerReply Verdict = srNone;
    bool Done = false;
    Client.OnHoldingRegistersRead = [&](TComponent*, const TTransactionInfo& Info, std::uint16_t, std::uint16_t,
                                        const TRegValues&) {
        Verdict = Info.Reply;
        Done = true;
    };
    Connection.Open();
    const std::uint32_t Silence = Connection.RealSilentInterval();
    // The reply to the query: 01 03 14 + ten registers + CRC, split after 12 bytes.
    TModbusBuffer B(32);
    B.PutByte(1);
    B.PutByte(3);
    B.PutByte(20);
    for (int i = 0; i < 10; ++i)
        B.PutWordHiLo(static_cast<std::uint16_t>(1000 + i));
    B.PutWordLoHi(B.CRC16());
    const std::vector<std::uint8_t> Reply(B.StartPtr(), B.StartPtr() + B.Size());
    const std::vector<std::uint8_t> Head(Reply.begin(), Reply.begin() + 12);
    const std::vector<std::uint8_t> Tail(Reply.begin() + 12, Reply.end());

    for (const int Delta : {-2, +2}) {
        const auto Pause = std::chrono::milliseconds(static_cast<int>(Silence) + Delta);
        std::atomic<int> PeerDone{0};
        std::vector<double> Gaps(static_cast<std::size_t>(Trials));
        std::thread Peer([&] {
            // The peer is the measuring instrument: real-time, so that its own
            // pauses hold under load (without the privilege it stays as it is).
            sched_param Param{};
            Param.sched_priority = sched_get_priority_min(SCHED_FIFO);
            (void)pthread_setschedparam(pthread_self(), SCHED_FIFO, &Param);
            for (int i = 0; i < Trials; ++i) {
                if (Pty.Read(8, 3000ms).size() != 8)
                    break;
                Pty.Write(Head);
                const auto T0 = TClock::now();
                SleepPrecisely(T0 + Pause);
                Pty.Write(Tail);
                Gaps[static_cast<std::size_t>(i)] = Us(TClock::now() - T0);
                PeerDone.store(i + 1);
            }
        });
        int Whole = 0;
        int Split = 0;
        int Other = 0;
        std::vector<int> Misses;
        int LatePeer = 0; // misses where the peer's own pause overran
        for (int i = 0; i < Trials; ++i) {
            Done = false;
            Client.ReadHoldingRegisters(0, 10, nullptr);
            PumpUntil([&] { return Done; }, 3s);
            // The tail of a split reply must have arrived before the next query,
            // whose purge clears it.
            const auto Deadline = TClock::now() + 3s;
            while (PeerDone.load() < i + 1 && TClock::now() < Deadline)
                std::this_thread::sleep_for(1ms);
            std::this_thread::sleep_for(2ms);
            if (Verdict == srNormalReply)
                ++Whole;
            else if (Verdict == srInvalidFrame)
                ++Split;
            else
                ++Other;
            const bool Right = Delta < 0 ? Verdict == srNormalReply : Verdict == srInvalidFrame;
            if (!Right) {
                Misses.push_back(i);
                if (Gaps[static_cast<std::size_t>(i)] > Us(Pause) + 300)
                    ++LatePeer;
            }
        }
        Peer.join();
        const int RightCount = Delta < 0 ? Whole : Split;
        std::string MissText;
        for (std::size_t K = 0; K < Misses.size() && K < 10; ++K) {
            const int M = Misses[K];
            MissText += " #" + std::to_string(M) + " gap " + Fmt(Gaps[static_cast<std::size_t>(M)] / 1000, 3) + " ms";
        }
        if (Misses.size() > 10)
            MissText += " ...";
        const TStats G = Stats(Gaps);
        Row(std::string("RTU pause inside a frame, silent interval ") + (Delta < 0 ? "− 2" : "+ 2") + " ms (" +
                std::to_string(Silence + static_cast<std::uint32_t>(Delta)) + " ms), worker " + PriorityName +
                ": " + (Delta < 0 ? "frames kept whole" : "frames split"),
            std::to_string(RightCount) + " / " + std::to_string(Trials), "—", "—",
            "≥ 999 / 1000");
        Note(PriorityName + " worker, pause " + Fmt(static_cast<double>(Pause.count()), 0) + " ms: whole " + std::to_string(Whole) +
             ", split " + std::to_string(Split) + ", other " + std::to_string(Other) + "; measured gap median " +
             Fmt(G.Median / 1000) + " ms, p99 " + Fmt(G.P99 / 1000) + " ms" +
             (MissText.empty() ? ""
                               : "; " + std::to_string(Misses.size()) + " misses, " + std::to_string(LatePeer) +
                                     " of them with the peer's own pause over by more than 0.3 ms:" + MissText));
    }
    Connection.Close();
}

} // namespace

int main(int argc, char** argv) {
    try {
        if (argc == 5 && std::string(argv[1]) == "serve")
            Serve(argv[2], argv[3], static_cast<std::uint32_t>(std::stoul(argv[4])));
        std::vector<std::string> Only;
        for (int i = 1; i < argc; ++i) {
            if (std::string(argv[i]) == "--quick")
                Quick = true;
            else
                Only.push_back(argv[i]);
        }
        auto Wanted = [&](const std::string& Name) {
            return Only.empty() || std::find(Only.begin(), Only.end(), Name) != Only.end();
        };
        if (Wanted("rtu")) {
            RtuCycles(19200);
            RtuCycles(115200);
        }
        if (Wanted("ascii"))
            AsciiCycles();
        if (Wanted("latency"))
            Latencies();
        if (Wanted("idle"))
            Idle();
        if (Wanted("queue"))
            QueueScaling();
        if (Wanted("precision")) {
            Precision(tpNormal);
            Precision(tpTimeCritical);
        }
        return 0;
    } catch (const std::exception& E) {
        std::cerr << "QuorvelLineBench: " << E.what() << std::endl;
        return 1;
    }
}
