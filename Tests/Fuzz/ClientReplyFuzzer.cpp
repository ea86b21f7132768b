// Every client reply decoder: a request of any command with fuzzed arguments,
// built by the client itself, gets a fuzzed reply and is completed the way the
// connection completes it. No input may raise, and what the events report must
// agree with the reply bytes.
//
// The queries come from the real request path: each connection's worker is
// kept on the line by a first request that waits for ever, so every further
// request stays queued, where its frame is copied and then discarded.

#include "FuzzSupport.h"
#include "Support/PtyPair.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <chrono>
#include <cstring>
#include <thread>

using namespace Quorvel;
using namespace QuorvelFuzz;

namespace {

struct TLine {
    QuorvelTest::TPtyPair Pty;
    TModbusConnection Connection;
    TModbusClient Client;

    explicit TLine(TTransmissionMode Mode) {
        Connection.SetPort(Pty.SlavePath());
        Connection.SetTransmissionMode(Mode);
        Connection.SetReceiveTimeout(detail::InfiniteTimeout);
        Client.SetConnection(&Connection);
        Connection.Open();
        Client.ReadCoils(0, 1, nullptr); // never answered: the worker keeps it
        while (Connection.CountPendingTransactions(nullptr) != 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
};

// What the events of one completion reported.
struct TSeen {
    int Processed = 0;
    int CommandEvents = 0;
    std::uint8_t Command = 0;
    bool Custom = false;
};

TSeen Seen;
TModbusTransaction* Current = nullptr; // the transaction being completed
std::int32_t CheckSize = 2;

// The reply's data bytes (past address and function code, before the check).
TBytes ReplyData() {
    const auto& R = Current->ReplyBuffer();
    const std::int32_t End = R.Size() - CheckSize;
    return End > 2 ? TBytes(R.StartPtr() + 2, R.StartPtr() + End) : TBytes{};
}

void CheckBits(const TTransactionInfo& Info, std::uint16_t Count, const TBitValues& Values) {
    ++Seen.CommandEvents;
    FUZZ_CHECK(Values.size() == Count);
    if (Info.Reply != srNormalReply)
        return;
    const TBytes D = ReplyData();
    FUZZ_CHECK(!D.empty() && D[0] == (Count + 7) / 8 && D.size() >= 1u + D[0]);
    for (std::size_t I = 0; I < Count; ++I)
        FUZZ_CHECK(Values[I] == (((D[1 + I / 8] >> (I % 8)) & 1) != 0));
}

void CheckRegisters(const TTransactionInfo& Info, std::uint16_t Count, const TRegValues& Values) {
    ++Seen.CommandEvents;
    FUZZ_CHECK(Values.size() == Count);
    if (Info.Reply != srNormalReply)
        return;
    const TBytes D = ReplyData();
    FUZZ_CHECK(!D.empty() && D[0] / 2 == Count && D.size() >= 1u + 2u * Count);
    for (std::size_t I = 0; I < Count; ++I)
        FUZZ_CHECK(Values[I] == (D[1 + 2 * I] << 8 | D[2 + 2 * I]));
}

void Wire(TModbusClient& C) {
    auto Bits = [](TComponent*, const TTransactionInfo& Info, std::uint16_t, std::uint16_t Count,
                   const TBitValues& Values) { CheckBits(Info, Count, Values); };
    auto Registers = [](TComponent*, const TTransactionInfo& Info, std::uint16_t, std::uint16_t Count,
                        const TRegValues& Values) { CheckRegisters(Info, Count, Values); };
    C.OnCoilsRead = Bits;
    C.OnDiscreteInputsRead = Bits;
    C.OnHoldingRegistersRead = Registers;
    C.OnInputRegistersRead = Registers;
    C.OnMultipleCoilsWrite = [](TComponent*, const TTransactionInfo&, std::uint16_t, std::uint16_t Count,
                                const TBitValues& Values) {
        ++Seen.CommandEvents;
        FUZZ_CHECK(Values.size() == Count);
    };
    C.OnMultipleRegistersWrite = [](TComponent*, const TTransactionInfo&, std::uint16_t, std::uint16_t Count,
                                    const TRegValues& Values) {
        ++Seen.CommandEvents;
        FUZZ_CHECK(Values.size() == Count);
    };
    C.OnMultipleRegistersReadWrite = [](TComponent*, const TTransactionInfo& Info, std::uint16_t,
                                        std::uint16_t ReadCount, const TRegValues& Read, std::uint16_t,
                                        std::uint16_t WriteCount, const TRegValues& Written) {
        FUZZ_CHECK(Written.size() == WriteCount);
        CheckRegisters(Info, ReadCount, Read);
    };
    C.OnSingleCoilWrite = [](TComponent*, const TTransactionInfo&, std::uint16_t, bool) {
        ++Seen.CommandEvents;
    };
    C.OnSingleRegisterWrite = [](TComponent*, const TTransactionInfo&, std::uint16_t, std::uint16_t) {
        ++Seen.CommandEvents;
    };
    C.OnSingleRegisterMaskWrite = [](TComponent*, const TTransactionInfo&, std::uint16_t, std::uint16_t,
                                     std::uint16_t) { ++Seen.CommandEvents; };
    C.OnDiagnostics = [](TComponent*, const TTransactionInfo&, TDiagnosticAction, std::uint16_t) {
        ++Seen.CommandEvents;
    };
    C.OnExceptionStatusRead = [](TComponent*, const TTransactionInfo&, const TExceptionStatusValues& V) {
        ++Seen.CommandEvents;
        FUZZ_CHECK(V.size() == 8);
    };
    C.OnServerIdentificationReport = [](TComponent*, const TTransactionInfo& Info, std::int32_t Count,
                                        const TServerIdentificationData& Data) {
        ++Seen.CommandEvents;
        FUZZ_CHECK(Count >= 0 && Data.size() == static_cast<std::size_t>(Count));
        if (Info.Reply == srNormalReply) {
            const TBytes D = ReplyData();
            FUZZ_CHECK(!D.empty() && D[0] == Count && D.size() >= 1u + Data.size());
            FUZZ_CHECK(std::equal(Data.begin(), Data.end(), D.begin() + 1));
        }
    };
    auto Records = [](TComponent*, const TTransactionInfo&, TModbusFileRecordList& List) {
        ++Seen.CommandEvents;
        FUZZ_CHECK(List.Count() >= 0);
    };
    C.OnFileRecordRead = Records;
    C.OnFileRecordWrite = Records;
    C.OnCustomTransactionComplete = [](TComponent*, const TTransactionInfo& Info, std::uint8_t,
                                       const TByteString&, const TByteString& Response) {
        ++Seen.CommandEvents;
        if (Info.Reply == srNormalReply)
            FUZZ_CHECK(Response == ReplyData());
        else
            FUZZ_CHECK(Response.empty());
    };
    C.OnTransactionProcessed = [](TComponent*, const TTransactionInfo& Info, std::uint8_t Command,
                                  bool Custom) {
        ++Seen.Processed;
        Seen.Command = Command;
        Seen.Custom = Custom;
        FUZZ_CHECK(Info.Reply >= srNone && Info.Reply <= srNormalReply);
    };
}

TLine& LineFor(TTransmissionMode Mode) {
    // Never freed: the workers wait until the process ends.
    static TLine* Lines[2] = {};
    TLine*& L = Lines[Mode == tmASCII ? 1 : 0];
    if (L == nullptr) {
        L = new TLine(Mode);
        Wire(L->Client);
    }
    return *L;
}

void FillRecords(FuzzedDataProvider& P, TModbusFileRecordList& List) {
    const int Count = P.ConsumeIntegralInRange(0, 40);
    for (int I = 0; I < Count; ++I) {
        const auto File = P.ConsumeIntegral<std::uint16_t>();
        const auto Start = P.ConsumeIntegralInRange<std::uint16_t>(0, 9999);
        const auto Length = P.ConsumeIntegralInRange<std::int32_t>(0, 130);
        try {
            auto& R = List.Add(File, Start, Length);
            for (std::int32_t J = 0; J < Length; ++J)
                R.SetRegValues(J, static_cast<std::uint16_t>(J * 7));
        } catch (const EQuorvelError&) {
            // A run past record 9999 is refused by the list itself.
        }
    }
}

// Issues one request of the chosen command; false when the client refused it.
bool Request(TModbusClient& C, FuzzedDataProvider& P, bool& Custom, bool& Promiscuous) {
    const auto A = P.ConsumeIntegral<std::uint16_t>();
    const auto B = P.ConsumeIntegral<std::uint16_t>();
    const auto N = P.ConsumeIntegralInRange<std::uint16_t>(0, 130);
    TRegValues Registers(N, 0x1234);
    TBitValues Bits(P.ConsumeIntegralInRange<std::size_t>(0, 2100), true);
    TModbusFileRecordList Records;
    try {
        switch (P.ConsumeIntegralInRange(0, 15)) {
        case 0:
            C.ReadCoils(A, B % 2100, nullptr);
            break;
        case 1:
            C.ReadDiscreteInputs(A, B % 2100, nullptr);
            break;
        case 2:
            C.ReadHoldingRegisters(A, B % 130, nullptr);
            break;
        case 3:
            C.ReadInputRegisters(A, B % 130, nullptr);
            break;
        case 4:
            C.WriteSingleCoil(A, (B & 1) != 0, nullptr);
            break;
        case 5:
            C.WriteSingleRegister(A, B, nullptr);
            break;
        case 6:
            C.WriteMultipleCoils(A, Bits, nullptr);
            break;
        case 7:
            C.WriteMultipleRegisters(A, Registers, nullptr);
            break;
        case 8:
            C.MaskWriteSingleRegister(A, B, N, nullptr);
            break;
        case 9:
            C.ReadWriteMultipleRegisters(A, B % 130, N, Registers, nullptr);
            break;
        case 10:
            C.Diagnostics(static_cast<TDiagnosticAction>(B % (daClearOverrunCounterAndFlag + 1)), nullptr);
            break;
        case 11:
            C.ReadExceptionStatus(nullptr);
            break;
        case 12:
            C.ReportServerID(nullptr);
            break;
        case 13:
            FillRecords(P, Records);
            C.ReadFileRecord(Records, nullptr);
            break;
        case 14:
            FillRecords(P, Records);
            C.WriteFileRecord(Records, nullptr);
            break;
        default: {
            Custom = true;
            Promiscuous = (A & 1) != 0;
            TByteString Data(N, static_cast<std::uint8_t>(B));
            C.InitCustomTransaction(static_cast<std::uint8_t>(B >> 8), Data, Promiscuous, nullptr);
            break;
        }
        }
    } catch (const EQuorvelError&) {
        return false;
    }
    return true;
}

// Judges a received reply the way the worker does after its receive.
TServerReply Judge(TModbusConnection& C, TModbusTransaction& T, const TBytes& Line) {
    if (!Access::DecodeFrame(C, Line.data(), static_cast<std::int32_t>(Line.size()), T.ReplyBuffer()))
        return srInvalidFrame;
    if (!Access::IsAddressAccepted(C, T.QueryBuffer(), T.ReplyBuffer(), T.Promiscuous))
        return srNone; // skipped; the wait then runs out
    if (!Access::IsSameCommand(C, T.QueryBuffer(), T.ReplyBuffer()))
        return srUnmatchedReply;
    if (Access::IsExceptionReply(C, T.ReplyBuffer())) {
        Access::DecodeExceptionReply(C, T.ReplyBuffer(), T.Info.Exception, T.Info.ExceptionCode);
        return srExceptionReply;
    }
    return srNormalReply;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
    FuzzedDataProvider P(Data, Size);
    const TTransmissionMode Mode = P.ConsumeBool() ? tmASCII : tmRTU;
    TLine& L = LineFor(Mode);
    TModbusConnection& C = L.Connection;
    L.Client.SetServerAddress(P.ConsumeIntegral<std::uint8_t>());

    bool Custom = false, Promiscuous = false;
    if (!Request(L.Client, P, Custom, Promiscuous))
        return 0;
    auto Queries = Access::Thread(C)->QueuedQueries();
    FUZZ_CHECK(Queries.size() == 1);
    C.DiscardPendingTransactions(nullptr);

    TModbusTransaction T(static_cast<std::uint32_t>(Access::FrameCapacity(C)));
    T.QueryBuffer().PutBlock(Queries[0].data(), static_cast<std::int32_t>(Queries[0].size()));
    T.Custom = Custom;
    T.Promiscuous = Promiscuous;
    T.Info.Address = L.Client.ServerAddress();
    T.Info.Retries = 1;

    CheckSize = Access::ErrorCheckSize(C);
    const std::size_t MaxBody = static_cast<std::size_t>(Access::FrameCapacity(C) - CheckSize);
    const int How = P.ConsumeIntegralInRange(0, 2);
    TBytes Body = P.ConsumeRemainingBytes<std::uint8_t>();
    if (How == 0) {
        // Any outcome with any bytes left in the reply buffer: only a normal
        // reply may be read.
        T.Info.Reply = static_cast<TServerReply>(Body.empty() ? 0 : Body[0] % (srNormalReply + 1));
        Body.resize(std::min(Body.size(), static_cast<std::size_t>(Access::FrameCapacity(C))));
        T.ReplyBuffer().PutBlock(Body.data(), static_cast<std::int32_t>(Body.size()));
    } else {
        // A reply as it comes off the line, addressed as the query was (How 1)
        // or exactly as fuzzed (How 2).
        if (How == 1)
            Body.insert(Body.begin(), Queries[0].begin(), Queries[0].begin() + 2);
        Body.resize(std::min(Body.size(), MaxBody));
        TModbusBuffer Frame(Access::FrameCapacity(C));
        const TBytes Checked = WithErrorCheck(Mode, Body);
        Frame.PutBlock(Checked.data(), static_cast<std::int32_t>(Checked.size()));
        TBytes Line(static_cast<std::size_t>(Access::InterimBufferSize(C)));
        Line.resize(static_cast<std::size_t>(
            Access::EncodeFrame(C, Frame, Line.data(), static_cast<std::int32_t>(Line.size()))));
        T.Info.Reply = Judge(C, T, Line);
    }

    Seen = TSeen{};
    Current = &T;
    L.Client.DoneTransaction(T);
    Current = nullptr;
    FUZZ_CHECK(Seen.Processed == 1);
    FUZZ_CHECK(Seen.Command == Queries[0][1] && Seen.Custom == Custom);
    FUZZ_CHECK(Seen.CommandEvents == 1); // every command here has its event
    return 0;
}
