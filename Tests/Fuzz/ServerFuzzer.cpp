// The server's ProcessTransaction: any query that passes the frame check, sent
// to a permissive server (1), a refusing one with no events assigned (2) and a
// capricious one whose events answer, refuse, raise and emit exceptions as the
// input says (3), or broadcast to all. Nothing may escape, not even the errors
// the capricious server's value events raise; every reply is a well-formed frame from the server
// addressed; the permissive server serves every well-formed read.
//
// Input: mode byte, a byte choosing a raw or checked frame, 8 bytes steering
// the capricious server, then the query.

#include "FuzzSupport.h"
#include "Support/PtyPair.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstring>
#include <map>
#include <stdexcept>

using namespace Quorvel;
using namespace QuorvelFuzz;

namespace {

// The capricious server's decisions, drawn from the input one bit pair at a time.
struct TWhims {
    std::uint64_t Bits = 0;
    int Next = 0;
    int Draw() {
        const int V = static_cast<int>((Bits >> (Next % 64)) & 3);
        Next += 2;
        return V;
    }
};
TWhims Whims;

struct TWhimFailure : std::runtime_error {
    TWhimFailure() : std::runtime_error("capricious item failed") {}
};

std::uint16_t Stored(std::uint16_t Address) {
    return static_cast<std::uint16_t>(Address * 31 + 7);
}

void MakePermissive(TModbusServer& S) {
    S.SetAddress(1);
    S.OnAcceptCommand = [](TComponent*, std::uint8_t, bool& Accept) { Accept = true; };
    auto Readable = [](TComponent*, std::uint16_t, bool& Allow) { Allow = true; };
    S.OnCanReadCoil = Readable;
    S.OnCanReadDiscreteInput = Readable;
    S.OnCanReadHoldingRegister = Readable;
    S.OnCanReadInputRegister = Readable;
    S.OnCanWriteCoil = [](TComponent*, std::uint16_t, bool, TItemWriteStatus& St) { St = iwsAllowWrite; };
    S.OnCanWriteHoldingRegister = [](TComponent*, std::uint16_t, std::uint16_t, TItemWriteStatus& St) {
        St = iwsAllowWrite;
    };
    auto Bit = [](TComponent*, std::uint16_t A, bool& V) { V = (Stored(A) & 1) != 0; };
    S.OnGetCoilValue = Bit;
    S.OnGetDiscreteInputValue = Bit;
    auto Word = [](TComponent*, std::uint16_t A, std::uint16_t& V) { V = Stored(A); };
    S.OnGetHoldingRegisterValue = Word;
    S.OnGetInputRegisterValue = Word;
}

void MakeCapricious(TModbusServer& S) {
    S.SetAddress(3);
    // Each event draws: 0 refuse, 1 allow, 2 allow after emitting an exception, 3 raise where the
    // library promises to turn it into exception 04 (values) or allow (permissions).
    auto Decide = [&S](bool& Allow) {
        const int W = Whims.Draw();
        Allow = W != 0;
        if (W == 2)
            S.EmitExceptionReply(static_cast<TServerException>(Whims.Draw() + 4));
    };
    S.OnAcceptCommand = [Decide](TComponent*, std::uint8_t, bool& Accept) { Decide(Accept); };
    auto Readable = [Decide](TComponent*, std::uint16_t, bool& Allow) { Decide(Allow); };
    S.OnCanReadCoil = Readable;
    S.OnCanReadDiscreteInput = Readable;
    S.OnCanReadHoldingRegister = Readable;
    S.OnCanReadInputRegister = Readable;
    auto Status = [](TItemWriteStatus& St) { St = static_cast<TItemWriteStatus>(Whims.Draw() % 3); };
    S.OnCanWriteCoil = [Status](TComponent*, std::uint16_t, bool, TItemWriteStatus& St) { Status(St); };
    S.OnCanWriteHoldingRegister = [Status](TComponent*, std::uint16_t, std::uint16_t, TItemWriteStatus& St) {
        Status(St);
    };
    auto Bit = [](TComponent*, std::uint16_t A, bool& V) {
        if (Whims.Draw() == 3)
            throw TWhimFailure();
        V = (A & 1) != 0;
    };
    S.OnGetCoilValue = Bit;
    S.OnGetDiscreteInputValue = Bit;
    auto Word = [](TComponent*, std::uint16_t A, std::uint16_t& V) {
        if (Whims.Draw() == 3)
            throw TWhimFailure();
        V = A;
    };
    S.OnGetHoldingRegisterValue = Word;
    S.OnGetInputRegisterValue = Word;
    S.OnSetCoilValue = [](TComponent*, std::uint16_t, bool) {
        if (Whims.Draw() == 3)
            throw TWhimFailure();
    };
    S.OnSetHoldingRegisterValue = [](TComponent*, std::uint16_t, std::uint16_t) {
        if (Whims.Draw() == 3)
            throw TWhimFailure();
    };
}

struct TServerLine {
    QuorvelTest::TPtyPair Pty;
    TModbusConnection Connection;
    TModbusServer Permissive, Refusing, Capricious;

    explicit TServerLine(TTransmissionMode Mode) {
        Connection.SetPort(Pty.SlavePath());
        Connection.SetTransmissionMode(Mode);
        Connection.SetConnectionMode(cmServer);
        MakePermissive(Permissive);
        Refusing.SetAddress(2);
        MakeCapricious(Capricious);
        Permissive.SetConnection(&Connection);
        Refusing.SetConnection(&Connection);
        Capricious.SetConnection(&Connection);
        Connection.Open(); // its worker waits for a query that never comes
    }
};

TServerLine& LineFor(TTransmissionMode Mode) {
    static TServerLine* Lines[2] = {};
    TServerLine*& L = Lines[Mode == tmASCII ? 1 : 0];
    if (L == nullptr)
        L = new TServerLine(Mode);
    return *L;
}

std::uint16_t WordAt(const TBytes& B, std::size_t I) {
    return static_cast<std::uint16_t>(B[I] << 8 | B[I + 1]);
}

// The permissive server must serve every well-formed read in full.
void CheckPermissiveRead(const TBytes& Query, const TModbusBuffer& Reply, std::int32_t Check) {
    const std::uint8_t F = Query[1];
    if (F < 1 || F > 4 || Query.size() < 6u + Check)
        return;
    const std::uint16_t Start = WordAt(Query, 2), Quantity = WordAt(Query, 4);
    const bool Bits = F <= 2;
    if (Quantity < 1 || Quantity > (Bits ? 2008 : 125) || Start + Quantity - 1 > 0xFFFF)
        return;
    const std::uint8_t* R = Reply.StartPtr();
    const int Bytes = Bits ? (Quantity + 7) / 8 : 2 * Quantity;
    FUZZ_CHECK(Reply.Size() == 3 + Bytes + Check);
    FUZZ_CHECK(R[1] == F && R[2] == Bytes);
    for (int I = 0; I < Quantity; ++I) {
        const auto A = static_cast<std::uint16_t>(Start + I);
        if (Bits)
            FUZZ_CHECK(((R[3 + I / 8] >> (I % 8)) & 1) == (Stored(A) & 1));
        else
            FUZZ_CHECK((R[3 + 2 * I] << 8 | R[4 + 2 * I]) == Stored(A));
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
    FuzzedDataProvider P(Data, Size);
    const TTransmissionMode Mode = P.ConsumeBool() ? tmASCII : tmRTU;
    const bool Raw = P.ConsumeIntegral<std::uint8_t>() == 0x5A; // mostly checked, so queries get through
    Whims = TWhims{P.ConsumeIntegral<std::uint64_t>(), 0};
    TServerLine& L = LineFor(Mode);
    TModbusConnection& C = L.Connection;
    const std::int32_t Check = Access::ErrorCheckSize(C);

    TBytes Body = P.ConsumeRemainingBytes<std::uint8_t>();
    Body.resize(std::min(Body.size(), static_cast<std::size_t>(Access::FrameCapacity(C) - Check)));
    const TBytes Query = Raw ? Body : WithErrorCheck(Mode, Body);
    TModbusBuffer Frame(Access::FrameCapacity(C));
    Frame.PutBlock(Query.data(), static_cast<std::int32_t>(Query.size()));
    TBytes Line(static_cast<std::size_t>(Access::InterimBufferSize(C)));
    Line.resize(static_cast<std::size_t>(
        Access::EncodeFrame(C, Frame, Line.data(), static_cast<std::int32_t>(Line.size()))));

    // As the worker does: only a valid frame goes to the servers.
    TModbusTransaction T(static_cast<std::uint32_t>(Access::FrameCapacity(C)));
    if (!Access::DecodeFrame(C, Line.data(), static_cast<std::int32_t>(Line.size()), T.QueryBuffer()))
        return 0;
    const std::uint8_t Address = Access::GetFrameAddress(C, T.QueryBuffer());
    T.Info.Address = Address;
    T.ReplyBuffer().SetSize(0);
    // Every item error of the capricious server is the server's to turn into exception 04.
    C.ProcessRemoteTransaction(T);
    const TModbusBuffer& Reply = T.ReplyBuffer();
    if (Address == 0 || Reply.Size() == 0) {
        // Only a broadcast or an address with no server goes unanswered.
        FUZZ_CHECK(Address == 0 || Address > 3 || Reply.Size() != 0);
        return 0;
    }
    FUZZ_CHECK(Address <= 3);

    // A well-formed reply from the addressed server to this function code.
    const std::uint8_t* R = Reply.StartPtr();
    const std::uint8_t F = Query[1];
    FUZZ_CHECK(Reply.Size() >= 3 + Check);
    FUZZ_CHECK(R[0] == Address);
    FUZZ_CHECK(R[1] == F || R[1] == (F | 0x80));
    TModbusBuffer Copy(Reply.Capacity());
    Copy.PutBlock(R, Reply.Size());
    FUZZ_CHECK(Access::VerifyErrorCheck(C, Copy));
    if (R[1] & 0x80) {
        FUZZ_CHECK(Reply.Size() == 3 + Check);
        FUZZ_CHECK(R[2] >= 1 && R[2] <= 8);
    }
    if (Address == 2)
        FUZZ_CHECK(R[1] == (F | 0x80) && R[2] == seIllegalCommand); // no events: everything refused
    if (Address == 1)
        CheckPermissiveRead(Query, Reply, Check);
    // The worker encodes every reply into its interim buffer.
    TBytes Out(static_cast<std::size_t>(Access::InterimBufferSize(C)));
    FUZZ_CHECK(Access::EncodeFrame(C, Reply, Out.data(), static_cast<std::int32_t>(Out.size())) > 0);
    return 0;
}
