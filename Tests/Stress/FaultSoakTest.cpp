// The library against itself through a line with faults: client-mode and
// server-mode connections joined by a fault relay, in RTU and ASCII, with and
// without a two-wire echo. Every request must complete exactly once, with the
// verdict that what the relay did to its query and reply calls for; a write
// takes effect exactly when its query reached the server intact; nothing
// hangs; the server answers cleanly afterwards; no descriptor or thread is left.
//
// QUORVEL_SOAK_TRANSACTIONS (all lanes together), QUORVEL_SOAK_LANES and
// QUORVEL_SOAK_SEED set the size and the faults; ./soak.sh runs 100,000.

#include <Quorvel.h>

#include "Stress/StressSupport.h"
#include "Support/ClientFixture.h"
#include "Support/FaultRelay.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include <algorithm>
#include <array>
#include <iostream>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <sstream>

using namespace Quorvel;
using namespace QuorvelTest;
using Relay = TFaultRelay;
using Clock = std::chrono::steady_clock;

namespace {

constexpr std::uint32_t ReceiveTimeout = 250;
constexpr std::uint8_t ServerAddress = 1;

enum TKind {
    kReadInputs,
    kReadCoils,
    kWriteRegister,
    kWriteRegisters,
    kDiagnostics,
    kRefusedRead,
    KindCount
};

std::uint16_t InputValue(std::uint16_t A) {
    return static_cast<std::uint16_t>(A * 7 + 3);
}
bool CoilValue(std::uint16_t A) {
    return A % 3 == 0;
}

struct TRequest {
    TKind Kind;
    std::uint32_t Seq = 0; // the order on the line, from 1: the relay's query number
    std::uint16_t Start = 0;
    std::uint16_t Count = 0;
    TRegValues Values; // what a write writes
    bool Done = false;
    TTransactionInfo Info;
    TRegValues Got;                 // what a read's event reported
    std::vector<TFrameData> Frames; // what the client sent and received for it
};

struct TLaneSpec {
    bool Ascii;
    bool Echo;
};

std::string Describe(const TLaneSpec& S) {
    return std::string(S.Ascii ? "ASCII" : "RTU") + (S.Echo ? "+echo" : "");
}

class TSoakLane {
public:
    TSoakLane(const TLaneSpec& ASpec, std::uint64_t Seed, std::uint32_t ATarget)
        : Spec(ASpec), FRelay(RelayOptions(ASpec, Seed)), FRandom(Seed * 7919), Target(ATarget) {
        for (auto* C : {&ClientLine, &ServerLine}) {
            C->SetTransmissionMode(Spec.Ascii ? tmASCII : tmRTU);
            C->SetParity(psNone);
        }
        ClientLine.SetPort(FRelay.SlavePathA());
        ClientLine.SetReceiveTimeout(ReceiveTimeout);
        ClientLine.SetMaxRetries(1);
        ClientLine.SetTurnaroundDelay(0);
        ClientLine.SetEchoQueryBeforeReply(Spec.Echo);
        ServerLine.SetPort(FRelay.SlavePathB());
        ServerLine.SetConnectionMode(cmServer);
        ServerLine.OnInvalidFrameDiscard = [this](TComponent*) { ++Discards; };
        WireServer();
        WireClient();
        ServerLine.Open();
        ClientLine.Open();
    }

    ~TSoakLane() {
        ClientLine.Close();
        ServerLine.Close();
    }

    bool Finished() const { return Completed == Issued && Issued >= Target; }

    // Keeps a few requests queued, so the queue is never empty while the lane runs.
    void TopUp() {
        while (Issued - Completed < 3 && Issued < Target)
            Issue(static_cast<TKind>(FRandom() % KindCount));
    }

    void Issue(TKind Kind) {
        TRequest R;
        R.Kind = Kind;
        R.Seq = ++Issued;
        std::uint32_t ID = 0;
        switch (Kind) {
        case kReadInputs:
            R.Start = static_cast<std::uint16_t>(FRandom() % 1000);
            R.Count = static_cast<std::uint16_t>(1 + FRandom() % 8);
            ID = Client.ReadInputRegisters(R.Start, R.Count, nullptr);
            break;
        case kReadCoils:
            R.Start = static_cast<std::uint16_t>(FRandom() % 1000);
            R.Count = static_cast<std::uint16_t>(1 + FRandom() % 40);
            ID = Client.ReadCoils(R.Start, R.Count, nullptr);
            break;
        case kWriteRegister:
            // Address and value together name the request: no two in a lane are alike.
            R.Start = static_cast<std::uint16_t>(R.Seq % 200);
            R.Values = {static_cast<std::uint16_t>(R.Seq)};
            ID = Client.WriteSingleRegister(R.Start, R.Values[0], nullptr);
            break;
        case kWriteRegisters:
            R.Count = static_cast<std::uint16_t>(1 + FRandom() % 5);
            R.Start = static_cast<std::uint16_t>(200 + (R.Seq % 200) * 5);
            for (std::uint16_t I = 0; I < R.Count; ++I)
                R.Values.push_back(static_cast<std::uint16_t>(R.Seq ^ (I << 12)));
            ID = Client.WriteMultipleRegisters(R.Start, R.Values, nullptr);
            break;
        case kDiagnostics: // not served: exception 01
            ID = Client.Diagnostics(daReturnQueryData, nullptr);
            break;
        case kRefusedRead: // refused by the server's permission event: exception 02
            R.Start = static_cast<std::uint16_t>(60000 + FRandom() % 100);
            R.Count = 1;
            ID = Client.ReadHoldingRegisters(R.Start, R.Count, nullptr);
            break;
        case KindCount:
            break;
        }
        if (!Requests.emplace(ID, R).second)
            Problems.push_back("transaction ID " + std::to_string(ID) + " handed out twice");
        LastProgress = Clock::now();
    }

    // Judges every request against the relay's record; fills Problems and the tallies.
    //
    // The server's replies are matched to the queries by content, in order: the
    // server is deterministic, so the checker knows the reply each query calls for.
    // Parts of an earlier exchange that the relay delivered while a later one was
    // on the line (the tail of a long split, a reply the client no longer waited
    // for) may run into that one's frames; such exchanges are judged with that
    // allowance, and counted.
    void Analyse() {
        const auto Records = FRelay.Records();
        std::vector<const Relay::TRecord*> Queries, Answers;
        for (const auto& Rec : Records) {
            if (Rec.Injected)
                continue;
            (Rec.Direction == Relay::dirAtoB ? Queries : Answers).push_back(&Rec);
        }
        if (Queries.size() != Issued)
            Problems.push_back("the line carried " + std::to_string(Queries.size()) + " queries for " +
                               std::to_string(Issued) + " requests");
        std::map<std::pair<std::uint16_t, std::uint16_t>, int> Applied;
        for (const auto& W : Writes)
            ++Applied[W];
        const auto Silence = std::chrono::milliseconds(ClientLine.RealSilentInterval());
        // How late a receiver's silence timer may end: frames a silent interval
        // apart, give or take this, may be read as one.
        const auto TimerSlack = std::chrono::milliseconds(2);
        std::map<const Relay::TRecord*, const TRequest*> AnsweredBy; // the server replies matched so far
        // Whether a record other than Own (and the foreign frame sent ahead of it)
        // reached Direction's receiver between From and To: bytes of another
        // exchange that may have run into this one's frames.
        auto Stray = [&](Relay::TDirection Direction, const Relay::TRecord* Own, Clock::time_point From,
                         Clock::time_point To) {
            // Records come in the order the relay had them; none is delivered a
            // second after that, so only those received from a second before From on count.
            const auto First = std::lower_bound(
                Records.begin(), Records.end(), From - std::chrono::seconds(1),
                [](const Relay::TRecord& Rec, Clock::time_point T) { return Rec.Received < T; });
            for (auto It = First;
                 It != Records.end() && (To == Clock::time_point::max() || It->Received <= To); ++It) {
                const auto& Rec = *It;
                if (Rec.Direction != Direction || &Rec == Own || Rec.Echo ||
                    Rec.Delivered == Clock::time_point{})
                    continue;
                if (Own != nullptr && Rec.Companion != SIZE_MAX && &Records[Rec.Companion] == Own)
                    continue;
                // An earlier reply that was whole on the line before this query, and
                // that its own exchange was judged by, was read there.
                if (auto It = AnsweredBy.find(&Rec); It != AnsweredBy.end() &&
                                                     It->second->Info.Reply != srNone &&
                                                     Rec.Delivered < From + std::chrono::milliseconds(1))
                    continue;
                // ASCII: the tail of a long split has no ':' and is skipped as
                // noise, unless it lands inside a frame being received (Own).
                if (Spec.Ascii && Rec.Fault == Relay::fSplitLong && Rec.FirstDelivered < From &&
                    (Own == nullptr || Rec.Delivered + TimerSlack < Own->FirstDelivered ||
                     Rec.Delivered > Own->Delivered + TimerSlack))
                    continue;
                if (Rec.Delivered >= From && Rec.FirstDelivered <= To)
                    return true;
            }
            return false;
        };
        for (const auto& [ID, R] : Requests)
            FBySeq[R.Seq] = &R;

        std::vector<bool> Used(Answers.size(), false); // server replies matched to a query
        std::size_t Next = 0;                          // the first one not matched yet
        for (std::uint32_t Seq = 1; Seq <= Issued && Seq <= Queries.size(); ++Seq) {
            const TRequest& R = *FBySeq[Seq];
            const std::uint32_t ID = R.Info.ID;
            if (!R.Done) {
                Problems.push_back(Name(ID, R) + " never completed");
                continue;
            }
            ++Verdicts[R.Info.Reply];
            const Relay::TRecord& Q = *Queries[Seq - 1];
            ++QueryFaults[Q.Fault];
            std::string Why = std::string("query ") + Relay::FaultName(Q.Fault);
            const bool Lost = Q.Fault == Relay::fDrop || Q.Fault == Relay::fCorrupt ||
                              (Q.Fault == Relay::fDuplicate && !Spec.Ascii);
            // A short split the relay could not keep short, or a stray part of
            // another query running into this one, may have spoilt it; a long
            // split is read whole by a receiver that was kept off the processor
            // for the whole gap (a loaded machine), and is then answered.
            const bool MaybeLost = Q.Fault == Relay::fSplitLong ||
                                   (Q.Fault == Relay::fSplitShort && Q.Gap >= Silence / 2) ||
                                   Stray(Relay::dirAtoB, &Q, Q.FirstDelivered - Silence - TimerSlack,
                                         Q.Delivered + Silence + TimerSlack);
            const TBytes Expected = ExpectedReply(R);
            // The server's reply to this query: the first unused one alike that
            // came after the query and before the next one; a query that must have
            // got through may have its reply start a moment after the next query
            // (the client gave up while it was on its way). Replies are alike
            // often, so a query that may not have got through takes no such slack.
            const auto NextQuery = Seq < Queries.size() ? Queries[Seq]->FirstByte : Clock::time_point::max();
            const auto Latest =
                NextQuery == Clock::time_point::max() || MaybeLost ? NextQuery : NextQuery + Silence;
            const Relay::TRecord* A = nullptr;
            for (std::size_t K = Next; !Lost && K < Answers.size() && Answers[K]->FirstByte < Latest; ++K) {
                if (!Used[K] && Answers[K]->Frame == Expected && Answers[K]->Received > Q.Delivered) {
                    A = Answers[K];
                    Used[K] = true;
                    AnsweredBy[A] = &R;
                    break;
                }
            }
            while (Next < Answers.size() && Used[Next])
                ++Next;
            if (A != nullptr && Q.Fault == Relay::fSplitLong)
                ++JoinedCount;
            if (A == nullptr && !Lost && !MaybeLost)
                Problems.push_back(Name(ID, R) + ": an intact query was not answered (" + Why + ")" +
                                   Timeline(Records, Q) + ClientView(R));
            // The client reads from just before its query until it sends the next one.
            const bool Tainted =
                Stray(Relay::dirBtoA, A, Q.FirstByte - std::chrono::milliseconds(1), NextQuery);

            std::set<TServerReply> Allowed = {srNone};
            if (A != nullptr) {
                ++ReplyFaults[A->Fault];
                Why += std::string(", reply ") + Relay::FaultName(A->Fault);
                const TServerReply Answer = IsException(A->Frame) ? srExceptionReply : srNormalReply;
                switch (A->Fault) {
                case Relay::fDrop:
                    Allowed = {srNone};
                    break;
                case Relay::fCorrupt:
                    Allowed = {srInvalidFrame};
                    break;
                case Relay::fSplitLong:
                    Allowed = {srInvalidFrame, Answer}; // whole when the client was kept waiting
                    if (R.Info.Reply == Answer)
                        ++JoinedCount;
                    break;
                case Relay::fDuplicate:
                    // RTU: both copies run together into one frame that fails its CRC.
                    // ASCII: the frame ends at the first LF.
                    Allowed = {Spec.Ascii ? Answer : srInvalidFrame};
                    break;
                case Relay::fSplitShort:
                    Allowed = {Answer};
                    if (A->Gap >= Silence / 2)
                        Allowed.insert(srInvalidFrame);
                    break;
                default:
                    Allowed = {Answer};
                    break;
                }
                // A reply the relay delivered close to the client's timeout may have come too late.
                if (A->Delivered - Q.Received > std::chrono::milliseconds(ReceiveTimeout * 6 / 10))
                    Allowed.insert(srNone);
            }
            if (Tainted) {
                // The stray bytes may even be a whole reply that fits this request
                // (the same function and count): the line cannot tell, so any verdict goes.
                ++TaintedCount;
                Allowed.insert({srNone, srInvalidFrame, srUnmatchedReply, srExceptionReply, srNormalReply});
            }
            if (!Allowed.count(R.Info.Reply))
                Problems.push_back(Name(ID, R) + ": verdict " + std::to_string(R.Info.Reply) + " after " +
                                   Why + Timeline(Records, Q) + ClientView(R) +
                                   Pending(Records, Answers, Next));
            if (!Tainted)
                CheckContent(ID, R);
            // A write takes effect once exactly when its query reached the server.
            for (std::size_t I = 0; I < R.Values.size(); ++I) {
                const int N = Applied[{static_cast<std::uint16_t>(R.Start + I), R.Values[I]}];
                const bool Right = A != nullptr ? N == 1 : Lost ? N == 0 : N <= 1;
                if (!Right)
                    Problems.push_back(Name(ID, R) + ": written " + std::to_string(N) + " times after " +
                                       Why);
            }
        }
        if (const auto Orphans = std::count(Used.begin(), Used.end(), false); Orphans != 0)
            Problems.push_back(std::to_string(Orphans) + " server replies answer no query; the first:" +
                               Timeline(Records, *Answers[Next]));
    }

    // The reply frame, as line bytes, that the server composes for R.
    TBytes ExpectedReply(const TRequest& R) const {
        TBytes B{ServerAddress};
        switch (R.Kind) {
        case kReadInputs:
            B.push_back(0x04);
            B.push_back(static_cast<std::uint8_t>(2 * R.Count));
            for (std::uint16_t I = 0; I < R.Count; ++I) {
                const std::uint16_t V = InputValue(static_cast<std::uint16_t>(R.Start + I));
                B.push_back(static_cast<std::uint8_t>(V >> 8));
                B.push_back(static_cast<std::uint8_t>(V));
            }
            break;
        case kReadCoils:
            B.push_back(0x01);
            B.push_back(static_cast<std::uint8_t>((R.Count + 7) / 8));
            for (std::uint16_t I = 0; I < R.Count; ++I) {
                if (I % 8 == 0)
                    B.push_back(0);
                if (CoilValue(static_cast<std::uint16_t>(R.Start + I)))
                    B.back() = static_cast<std::uint8_t>(B.back() | 1 << (I % 8));
            }
            break;
        case kWriteRegister:
            B.insert(B.end(),
                     {0x06, static_cast<std::uint8_t>(R.Start >> 8), static_cast<std::uint8_t>(R.Start),
                      static_cast<std::uint8_t>(R.Values[0] >> 8), static_cast<std::uint8_t>(R.Values[0])});
            break;
        case kWriteRegisters:
            B.insert(B.end(), {0x10, static_cast<std::uint8_t>(R.Start >> 8),
                               static_cast<std::uint8_t>(R.Start), 0, static_cast<std::uint8_t>(R.Count)});
            break;
        case kDiagnostics:
            B.insert(B.end(), {0x88, 0x01});
            break;
        case kRefusedRead:
            B.insert(B.end(), {0x83, 0x02});
            break;
        case KindCount:
            break;
        }
        if (!Spec.Ascii) {
            const std::uint16_t Crc = Relay::Crc16(B.data(), B.size());
            B.push_back(static_cast<std::uint8_t>(Crc & 0xFF));
            B.push_back(static_cast<std::uint8_t>(Crc >> 8));
            return B;
        }
        std::uint8_t Sum = 0;
        for (auto V : B)
            Sum = static_cast<std::uint8_t>(Sum + V);
        B.push_back(static_cast<std::uint8_t>(-Sum));
        TBytes Line{':'};
        for (auto V : B) {
            Line.push_back(static_cast<std::uint8_t>("0123456789ABCDEF"[V >> 4]));
            Line.push_back(static_cast<std::uint8_t>("0123456789ABCDEF"[V & 15]));
        }
        Line.push_back('\r');
        Line.push_back('\n');
        return Line;
    }

    std::string Tally() const {
        std::ostringstream S;
        S << Describe(Spec) << ": " << Issued << " transactions; verdicts";
        static const char* Names[] = {"none", "invalid", "unexpected", "unmatched", "exception", "normal"};
        for (const auto& [V, N] : Verdicts)
            S << " " << Names[V] << "=" << N;
        S << "; query faults";
        for (const auto& [F, N] : QueryFaults)
            S << " " << Relay::FaultName(F) << "=" << N;
        S << "; reply faults";
        for (const auto& [F, N] : ReplyFaults)
            S << " " << Relay::FaultName(F) << "=" << N;
        S << "; frames the server discarded=" << Discards
          << "; judged with an earlier exchange's stray bytes=" << TaintedCount
          << "; long splits read whole=" << JoinedCount;
        return S.str();
    }

    const TLaneSpec Spec;
    std::vector<std::string> Problems;
    Clock::time_point LastProgress = Clock::now();
    std::uint32_t Issued = 0;
    std::uint32_t Completed = 0;

    Relay& LineRelay() { return FRelay; }

private:
    static Relay::TOptions RelayOptions(const TLaneSpec& S, std::uint64_t Seed) {
        Relay::TOptions O;
        O.Seed = Seed;
        O.Ascii = S.Ascii;
        O.Echo = S.Echo;
        O.FaultRate = 0.25;
        return O;
    }

    bool IsException(const TBytes& Line) const {
        if (!Spec.Ascii)
            return Line.size() > 1 && (Line[1] & 0x80) != 0;
        // ':' and the address's two digits, then the function code's high digit.
        return Line.size() > 3 && Line[3] >= '8';
    }

    // The relay's records around a query, times in ms from its arrival at the relay.
    static std::string Timeline(const std::vector<Relay::TRecord>& Records, const Relay::TRecord& Q) {
        std::ostringstream S;
        auto Ms = [&](Clock::time_point T) {
            return T == Clock::time_point{}
                       ? std::string("-")
                       : std::to_string(
                             std::chrono::duration_cast<std::chrono::microseconds>(T - Q.Received).count() /
                             1000.0);
        };
        for (const auto& Rec : Records) {
            const auto Last = Rec.Delivered == Clock::time_point{} ? Rec.Received : Rec.Delivered;
            if (Last < Q.FirstByte - std::chrono::milliseconds(60) ||
                Rec.Received > Q.Received + std::chrono::milliseconds(300))
                continue;
            S << "\n    " << (Rec.Direction == Relay::dirAtoB ? "A>B" : "B>A") << " #" << Rec.Query << " "
              << (Rec.Echo       ? "echo"
                  : Rec.Injected ? "injected"
                                 : Relay::FaultName(Rec.Fault))
              << " got " << Ms(Rec.Received) << " out " << Ms(Rec.FirstDelivered) << ".." << Ms(Rec.Delivered)
              << " gap " << Rec.Gap.count() / 1000.0 << " [";
            for (auto B : Rec.Frame)
                S << "0123456789ABCDEF"[B >> 4] << "0123456789ABCDEF"[B & 15];
            S << "]";
        }
        return S.str();
    }

    // What the client saw of this request and the one before it.
    std::string ClientView(const TRequest& R) {
        std::string S;
        if (auto It = FBySeq.find(R.Seq - 1); It != FBySeq.end())
            S += "\n    before it, verdict " + std::to_string(It->second->Info.Reply) + ":" +
                 Frames(*It->second);
        return S + "\n    this one:" + Frames(R);
    }

    // The first server reply not matched so far, when it is not this exchange's.
    static std::string Pending(const std::vector<Relay::TRecord>& Records,
                               const std::vector<const Relay::TRecord*>& Answers, std::size_t Next) {
        if (Next >= Answers.size())
            return {};
        return "\n    first reply not matched yet:" + Timeline(Records, *Answers[Next]).substr(0, 300);
    }

    static std::string Frames(const TRequest& R) {
        std::string S;
        for (std::size_t I = 0; I < R.Frames.size(); ++I) {
            S += I == 0 ? "\n    client sent [" : "\n    client received [";
            for (auto B : R.Frames[I]) {
                S += "0123456789ABCDEF"[B >> 4];
                S += "0123456789ABCDEF"[B & 15];
            }
            S += "]";
        }
        return S;
    }

    static std::string Name(std::uint32_t ID, const TRequest& R) {
        static const char* Kinds[] = {"read inputs",     "read coils",  "write register",
                                      "write registers", "diagnostics", "refused read"};
        return "transaction " + std::to_string(ID) + " (" + Kinds[R.Kind] + ", #" + std::to_string(R.Seq) +
               ")";
    }

    void CheckContent(std::uint32_t ID, const TRequest& R) {
        if (R.Info.Reply == srExceptionReply) {
            const std::uint8_t Expected = R.Kind == kDiagnostics ? 1 : R.Kind == kRefusedRead ? 2 : 0;
            if (R.Info.ExceptionCode != Expected)
                Problems.push_back(Name(ID, R) + ": exception code " + std::to_string(R.Info.ExceptionCode));
        }
        if (R.Info.Reply != srNormalReply)
            return;
        if (R.Kind == kDiagnostics || R.Kind == kRefusedRead)
            Problems.push_back(Name(ID, R) + ": a normal reply to a request the server refuses");
        if (R.Kind == kReadInputs || R.Kind == kReadCoils) {
            TRegValues Expected;
            for (std::uint16_t I = 0; I < R.Count; ++I) {
                const auto A = static_cast<std::uint16_t>(R.Start + I);
                Expected.push_back(R.Kind == kReadInputs ? InputValue(A) : CoilValue(A));
            }
            if (R.Got != Expected)
                Problems.push_back(Name(ID, R) + ": a normal reply with the wrong values");
        }
    }

    void WireServer() {
        Server.SetAddress(ServerAddress);
        Server.SetConnection(&ServerLine);
        Server.OnAcceptCommand = [](TComponent*, std::uint8_t, bool& Accept) { Accept = true; };
        Server.OnCanReadInputRegister = [](TComponent*, std::uint16_t, bool& Allow) { Allow = true; };
        Server.OnGetInputRegisterValue = [](TComponent*, std::uint16_t A, std::uint16_t& V) {
            V = InputValue(A);
        };
        Server.OnCanReadCoil = [](TComponent*, std::uint16_t, bool& Allow) { Allow = true; };
        Server.OnGetCoilValue = [](TComponent*, std::uint16_t A, bool& V) { V = CoilValue(A); };
        Server.OnCanReadHoldingRegister = [](TComponent*, std::uint16_t A, bool& Allow) {
            Allow = A < 60000;
        };
        Server.OnCanWriteHoldingRegister = [](TComponent*, std::uint16_t, std::uint16_t,
                                              TItemWriteStatus& S) { S = iwsAllowWrite; };
        Server.OnSetHoldingRegisterValue = [this](TComponent*, std::uint16_t A, std::uint16_t V) {
            Writes.emplace_back(A, V);
        };
    }

    void WireClient() {
        Client.SetConnection(&ClientLine);
        Client.SetServerAddress(ServerAddress);
        auto Registers = [this](TComponent*, const TTransactionInfo& Info, std::uint16_t, std::uint16_t,
                                const TRegValues& V) { Got(Info).Got = V; };
        auto Bits = [this](TComponent*, const TTransactionInfo& Info, std::uint16_t, std::uint16_t,
                           const TBitValues& V) { Got(Info).Got.assign(V.begin(), V.end()); };
        Client.OnInputRegistersRead = Registers;
        Client.OnCoilsRead = Bits;
        // The worker hands over the copies of a transaction's frames before its completion.
        ClientLine.OnFrameSend = [this](TComponent*, const TFrameData& D) { FFrames.assign(1, D); };
        ClientLine.OnFrameReceive = [this](TComponent*, const TFrameData& D) { FFrames.push_back(D); };
        Client.OnTransactionProcessed = [this](TComponent*, const TTransactionInfo& Info, std::uint8_t,
                                               bool) {
            TRequest& R = Got(Info);
            R.Frames.swap(FFrames);
            FFrames.clear();
            if (R.Done)
                Problems.push_back("transaction " + std::to_string(Info.ID) + " completed twice");
            R.Done = true;
            R.Info = Info;
            ++Completed;
            LastProgress = Clock::now();
        };
    }

    TRequest& Got(const TTransactionInfo& Info) {
        auto It = Requests.find(Info.ID);
        if (It == Requests.end()) {
            Problems.push_back("a completion for unknown transaction " + std::to_string(Info.ID));
            return Requests[Info.ID];
        }
        return It->second;
    }

    Relay FRelay;
    std::mt19937_64 FRandom;
    std::uint32_t Target;
    TModbusConnection ClientLine, ServerLine;
    TModbusClient Client;
    TModbusServer Server;
    std::map<std::uint32_t, TRequest> Requests;
    std::vector<std::pair<std::uint16_t, std::uint16_t>> Writes;
    int Discards = 0;
    int TaintedCount = 0;
    int JoinedCount = 0;
    std::vector<TFrameData> FFrames;
    std::map<std::uint32_t, const TRequest*> FBySeq;
    std::map<TServerReply, int> Verdicts;
    std::map<Relay::TFault, int> QueryFaults, ReplyFaults;
};

} // namespace

TEST(FaultSoak, EveryRequestCompletesOnceWithTheVerdictItsFaultsCallFor) {
    const auto Total = static_cast<std::uint32_t>(EnvNumber("QUORVEL_SOAK_TRANSACTIONS", 800));
    const auto LaneCount =
        static_cast<std::uint32_t>(std::max<std::uint64_t>(1, EnvNumber("QUORVEL_SOAK_LANES", 4)));
    const std::uint64_t Seed = EnvNumber("QUORVEL_SOAK_SEED", 13);
    std::cout << "soak: " << Total << " transactions on " << LaneCount << " lanes, seed " << Seed
              << " (QUORVEL_SOAK_SEED replays it)" << std::endl;
    PumpFor(std::chrono::milliseconds(20));
    const int FdsBefore = CountProcEntries("fd");
    const int ThreadsBefore = CountThreads();
    {
        const std::array<TLaneSpec, 4> Specs{{{false, false}, {true, false}, {false, true}, {true, true}}};
        std::vector<std::unique_ptr<TSoakLane>> Lanes;
        for (std::uint32_t I = 0; I < LaneCount; ++I)
            Lanes.push_back(std::make_unique<TSoakLane>(Specs[I % Specs.size()], Seed * 1000 + I,
                                                        Total / LaneCount + (I < Total % LaneCount ? 1 : 0)));
        const auto Start = Clock::now();
        auto NextReport = Start + std::chrono::seconds(60);
        bool Hung = false;
        for (;;) {
            if (Clock::now() >= NextReport) {
                std::uint64_t Done = 0;
                for (auto& L : Lanes)
                    Done += L->Completed;
                std::cout << "soak: " << Done << " of " << Total << " completed" << std::endl;
                NextReport += std::chrono::seconds(60);
            }
            bool All = true;
            for (auto& L : Lanes) {
                L->TopUp();
                All = All && L->Finished();
                if (!L->Finished() && Clock::now() - L->LastProgress > std::chrono::seconds(20)) {
                    ADD_FAILURE() << Describe(L->Spec) << " lane: no completion for 20 s (" << L->Completed
                                  << " of " << L->Issued << ")";
                    Hung = true;
                }
            }
            if (All || Hung)
                break;
            WaitForMessages(5);
            ProcessMessages();
        }
        const auto Seconds = std::chrono::duration<double>(Clock::now() - Start).count();
        std::cout << "soak: done in " << Seconds << " s" << std::endl;
        ASSERT_FALSE(Hung);

        // The servers are still up: with the faults off, every lane works as new.
        for (auto& L : Lanes) {
            L->LineRelay().SetFaultRate(0);
            for (int I = 0; I < 3; ++I)
                L->Issue(kReadInputs);
        }
        ASSERT_TRUE(PumpUntil(
            [&] {
                for (auto& L : Lanes)
                    if (!L->Finished())
                        return false;
                return true;
            },
            std::chrono::seconds(10)));
        PumpFor(std::chrono::milliseconds(100)); // the relay records the last replies

        for (auto& L : Lanes) {
            L->Analyse();
            std::cout << "soak: " << L->Tally() << std::endl;
            EXPECT_EQ(L->LineRelay().Error(), "");
            const std::size_t Shown = std::min<std::size_t>(L->Problems.size(), 20);
            for (std::size_t I = 0; I < Shown; ++I)
                ADD_FAILURE() << Describe(L->Spec) << ": " << L->Problems[I];
            EXPECT_EQ(L->Problems.size(), 0u) << Describe(L->Spec);
        }
    }
    PumpFor(std::chrono::milliseconds(20));
    EXPECT_EQ(CountProcEntries("fd"), FdsBefore);
    EXPECT_EQ(CountThreads(), ThreadsBefore);
}
