// TModbusServer: dispatch of a received query, the command handlers and the
// composition of normal and exception replies.

#include "ModbusServer.h"

#include "ModbusConnection.h"
#include "QuorvelErrors.h"
#include "detail/FrameReader.h"

#include <vector>

namespace Quorvel {

using detail::TFrameReader;

namespace {

constexpr std::uint8_t FnReadCoils = 0x01;
constexpr std::uint8_t FnReadDiscreteInputs = 0x02;
constexpr std::uint8_t FnReadHoldingRegisters = 0x03;
constexpr std::uint8_t FnReadInputRegisters = 0x04;
constexpr std::uint8_t FnWriteSingleCoil = 0x05;
constexpr std::uint8_t FnWriteSingleRegister = 0x06;
constexpr std::uint8_t FnWriteMultipleCoils = 0x0F;
constexpr std::uint8_t FnWriteMultipleRegisters = 0x10;

constexpr std::uint32_t MaxReadBits = 2008;
constexpr std::uint32_t MaxWriteBits = 1976;
constexpr std::uint32_t MaxReadRegisters = 125;
constexpr std::uint32_t MaxWriteRegisters = 123;

constexpr std::uint16_t CoilOn = 0xFF00;
constexpr std::uint16_t CoilOff = 0x0000;

bool RunFits(std::uint16_t Start, std::uint32_t Quantity) {
    return Start + Quantity - 1 <= 0xFFFF;
}

} // namespace

TModbusServer::TModbusServer(TComponent* AOwner) : TComponent(AOwner) {}

TModbusServer::~TModbusServer() {
    Destroying();
    SetConnection(nullptr);
}

// --- Properties ----------------------------------------------------------------

void TModbusServer::SetAddress(std::uint8_t Value) {
    if (Value == FAddress)
        return;
    // 0 is the broadcast address; 248 to 255 are reserved.
    if (Value < 1 || Value > 247)
        throw EQuorvelError(qmValueOutOfRange, {1, 247});
    FAddress = Value;
}

void TModbusServer::SetConnection(TModbusConnection* Value) {
    if (Value == FConnection)
        return;
    if (FConnection != nullptr) {
        FConnection->UnregisterServer(this);
        FConnection->RemoveFreeNotification(this);
    }
    FConnection = Value;
    if (FConnection != nullptr) {
        FConnection->RegisterServer(this);
        FConnection->FreeNotification(this);
    }
}

void TModbusServer::Notification(TComponent* AComponent, TOperation Operation) {
    TComponent::Notification(AComponent, Operation);
    if (Operation == opRemove && AComponent != nullptr && AComponent == FConnection)
        FConnection = nullptr;
}

void TModbusServer::CheckConnected() const {
    if (FConnection == nullptr || !FConnection->Active() || FConnection->IsLoading() ||
        FConnection->IsDesigning())
        throw EQuorvelError(qmNoActiveConnection);
}

void TModbusServer::CheckActiveTransaction() const {
    if (FActiveTransaction == nullptr)
        throw EQuorvelError(qmNoActiveTransaction);
}

// --- Dispatch ----------------------------------------------------------------------

void TModbusServer::EmitExceptionReply(TServerException Exception) {
    CheckActiveTransaction();
    CheckConnected();
    const std::uint8_t Command = FConnection->GetFrameCommand(FActiveTransaction->QueryBuffer());
    ComposeExceptionReply(FActiveTransaction->ReplyBuffer(), Command, Exception);
}

void TModbusServer::ComposeExceptionReply(TModbusBuffer& Buffer, std::uint8_t Command,
                                          TServerException Exception) {
    Buffer.SetSize(0);
    FConnection->EmitHeader(*this, Buffer);
    Buffer.PutByte(static_cast<std::uint8_t>(Command | 0x80));
    const auto Code = static_cast<std::uint8_t>(Exception);
    Buffer.PutByte(Code);
    FConnection->EmitErrorCheck(Buffer);
    DoCommandHandlerException(Command, Exception, Code);
}

void TModbusServer::ProcessTransaction(TModbusTransaction& Transaction) {
    CheckConnected();
    struct TActive {
        TModbusTransaction*& Slot;
        ~TActive() { Slot = nullptr; }
    } Active{FActiveTransaction};
    FActiveTransaction = &Transaction;

    const std::uint8_t Command = FConnection->GetFrameCommand(Transaction.QueryBuffer());
    bool Accepted = false;
    switch (Command) {
    case FnReadCoils:
    case FnReadDiscreteInputs:
    case FnReadHoldingRegisters:
    case FnReadInputRegisters:
    case FnWriteSingleCoil:
    case FnWriteSingleRegister:
    case FnWriteMultipleCoils:
    case FnWriteMultipleRegisters:
        Accepted = DoAcceptCommand(Command);
        break;
    default:
        break; // not served: refused without asking
    }
    if (!Accepted) {
        if (Transaction.Info.Address != 0)
            ComposeExceptionReply(Transaction.ReplyBuffer(), Command, seIllegalCommand);
        return;
    }
    switch (Command) {
    case FnReadCoils:
    case FnReadDiscreteInputs:
        HandleReadBits(Transaction, Command == FnReadCoils);
        break;
    case FnReadHoldingRegisters:
    case FnReadInputRegisters:
        HandleReadRegisters(Transaction, Command == FnReadHoldingRegisters);
        break;
    case FnWriteSingleCoil:
        HandleWriteSingleCoil(Transaction);
        break;
    case FnWriteSingleRegister:
        HandleWriteSingleRegister(Transaction);
        break;
    case FnWriteMultipleCoils:
        HandleWriteMultipleCoils(Transaction);
        break;
    case FnWriteMultipleRegisters:
        HandleWriteMultipleRegisters(Transaction);
        break;
    default:
        break;
    }
}

// --- Command handlers --------------------------------------------------------------
//
// One shape for all: read the request fields, check quantity and range, ask
// permission for every item before touching any, then read or write them all,
// and compose the normal reply only into an empty reply buffer (an event may
// have composed an exception reply of its own meanwhile). The read handlers
// compose their request errors and the normal reply whatever the address
// (nothing is sent for a broadcast anyway); the write handlers compose nothing
// for a broadcast, whose writes still take effect.

void TModbusServer::HandleReadBits(TModbusTransaction& T, bool Coils) {
    const std::uint8_t Command = Coils ? FnReadCoils : FnReadDiscreteInputs;
    auto& Reply = T.ReplyBuffer();
    std::uint16_t Start, Quantity;
    try {
        TFrameReader Query(T.QueryBuffer(), FConnection->ErrorCheckSize());
        Start = Query.Word();
        Quantity = Query.Word();
    } catch (const EQuorvelError&) {
        ComposeExceptionReply(Reply, Command, seIllegalDataValue);
        return;
    }
    if (Quantity < 1 || Quantity > MaxReadBits) {
        ComposeExceptionReply(Reply, Command, seIllegalDataValue);
        return;
    }
    if (!RunFits(Start, Quantity)) {
        ComposeExceptionReply(Reply, Command, seIllegalDataAddress);
        return;
    }
    for (std::uint32_t I = 0; I < Quantity; ++I) {
        const auto Addr = static_cast<std::uint16_t>(Start + I);
        if (!(Coils ? DoCanReadCoil(Addr) : DoCanReadDiscreteInput(Addr))) {
            ComposeExceptionReply(Reply, Command, seIllegalDataAddress);
            return;
        }
    }
    TBitValues Values(Quantity, false);
    try {
        for (std::uint32_t I = 0; I < Quantity; ++I) {
            const auto Addr = static_cast<std::uint16_t>(Start + I);
            Values[I] = Coils ? DoGetCoilValue(Addr) : DoGetDiscreteInputValue(Addr);
        }
    } catch (...) {
        if (T.Info.Address != 0)
            ComposeExceptionReply(Reply, Command, seServerFailure);
        return;
    }
    if (Reply.Size() != 0)
        return;
    FConnection->EmitHeader(*this, Reply);
    Reply.PutByte(Command);
    Reply.PutByte(static_cast<std::uint8_t>(BitCountToByteCount(Quantity)));
    PackBits(Values, Reply);
    FConnection->EmitErrorCheck(Reply);
}

void TModbusServer::HandleReadRegisters(TModbusTransaction& T, bool Holding) {
    const std::uint8_t Command = Holding ? FnReadHoldingRegisters : FnReadInputRegisters;
    auto& Reply = T.ReplyBuffer();
    std::uint16_t Start, Quantity;
    try {
        TFrameReader Query(T.QueryBuffer(), FConnection->ErrorCheckSize());
        Start = Query.Word();
        Quantity = Query.Word();
    } catch (const EQuorvelError&) {
        ComposeExceptionReply(Reply, Command, seIllegalDataValue);
        return;
    }
    if (Quantity < 1 || Quantity > MaxReadRegisters) {
        ComposeExceptionReply(Reply, Command, seIllegalDataValue);
        return;
    }
    if (!RunFits(Start, Quantity)) {
        ComposeExceptionReply(Reply, Command, seIllegalDataAddress);
        return;
    }
    for (std::uint32_t I = 0; I < Quantity; ++I) {
        const auto Addr = static_cast<std::uint16_t>(Start + I);
        if (!(Holding ? DoCanReadHoldingRegister(Addr) : DoCanReadInputRegister(Addr))) {
            ComposeExceptionReply(Reply, Command, seIllegalDataAddress);
            return;
        }
    }
    std::vector<std::uint16_t> Values(Quantity, 0);
    try {
        for (std::uint32_t I = 0; I < Quantity; ++I) {
            const auto Addr = static_cast<std::uint16_t>(Start + I);
            Values[I] = Holding ? DoGetHoldingRegisterValue(Addr) : DoGetInputRegisterValue(Addr);
        }
    } catch (...) {
        if (T.Info.Address != 0)
            ComposeExceptionReply(Reply, Command, seServerFailure);
        return;
    }
    if (Reply.Size() != 0)
        return;
    FConnection->EmitHeader(*this, Reply);
    Reply.PutByte(Command);
    Reply.PutByte(static_cast<std::uint8_t>(2 * Quantity));
    for (auto V : Values)
        Reply.PutWordHiLo(V);
    FConnection->EmitErrorCheck(Reply);
}

void TModbusServer::FailWrite(TModbusTransaction& T, std::uint8_t Command, TServerException Exception) {
    if (T.Info.Address != 0)
        ComposeExceptionReply(T.ReplyBuffer(), Command, Exception);
}

void TModbusServer::HandleWriteSingleCoil(TModbusTransaction& T) {
    const auto Fail = [&](TServerException E) { FailWrite(T, FnWriteSingleCoil, E); };
    std::uint16_t Addr, Value;
    try {
        TFrameReader Query(T.QueryBuffer(), FConnection->ErrorCheckSize());
        Addr = Query.Word();
        Value = Query.Word();
    } catch (const EQuorvelError&) {
        Fail(seIllegalDataValue);
        return;
    }
    if (Value != CoilOn && Value != CoilOff) {
        Fail(seIllegalDataValue);
        return;
    }
    const bool On = Value == CoilOn;
    switch (DoCanWriteCoil(Addr, On)) {
    case iwsIllegalAddress:
        Fail(seIllegalDataAddress);
        return;
    case iwsIllegalValue:
        Fail(seIllegalDataValue);
        return;
    case iwsAllowWrite:
        break;
    }
    try {
        DoSetCoilValue(Addr, On);
    } catch (...) {
        Fail(seServerFailure);
        return;
    }
    auto& Reply = T.ReplyBuffer();
    if (T.Info.Address == 0 || Reply.Size() != 0)
        return;
    FConnection->EmitHeader(*this, Reply);
    Reply.PutByte(FnWriteSingleCoil);
    Reply.PutWordHiLo(Addr);
    Reply.PutWordHiLo(Value);
    FConnection->EmitErrorCheck(Reply);
}

void TModbusServer::HandleWriteSingleRegister(TModbusTransaction& T) {
    const auto Fail = [&](TServerException E) { FailWrite(T, FnWriteSingleRegister, E); };
    std::uint16_t Addr, Value;
    try {
        TFrameReader Query(T.QueryBuffer(), FConnection->ErrorCheckSize());
        Addr = Query.Word();
        Value = Query.Word();
    } catch (const EQuorvelError&) {
        Fail(seIllegalDataValue);
        return;
    }
    switch (DoCanWriteHoldingRegister(Addr, Value)) {
    case iwsIllegalAddress:
        Fail(seIllegalDataAddress);
        return;
    case iwsIllegalValue:
        Fail(seIllegalDataValue);
        return;
    case iwsAllowWrite:
        break;
    }
    try {
        DoSetHoldingRegisterValue(Addr, Value);
    } catch (...) {
        Fail(seServerFailure);
        return;
    }
    auto& Reply = T.ReplyBuffer();
    if (T.Info.Address == 0 || Reply.Size() != 0)
        return;
    FConnection->EmitHeader(*this, Reply);
    Reply.PutByte(FnWriteSingleRegister);
    Reply.PutWordHiLo(Addr);
    Reply.PutWordHiLo(Value);
    FConnection->EmitErrorCheck(Reply);
}

void TModbusServer::HandleWriteMultipleCoils(TModbusTransaction& T) {
    const auto Fail = [&](TServerException E) { FailWrite(T, FnWriteMultipleCoils, E); };
    std::uint16_t Start, Quantity;
    TBitValues Values;
    try {
        TFrameReader Query(T.QueryBuffer(), FConnection->ErrorCheckSize());
        Start = Query.Word();
        Quantity = Query.Word();
        if (Quantity >= 1 && Quantity <= MaxWriteBits && RunFits(Start, Quantity)) {
            // The byte count field is not compared with the quantity.
            Query.Skip(1);
            Values.assign(Quantity, false);
            Query.Bits(Values);
        }
    } catch (const EQuorvelError&) {
        Fail(seIllegalDataValue);
        return;
    }
    if (Quantity < 1 || Quantity > MaxWriteBits) {
        Fail(seIllegalDataValue);
        return;
    }
    if (!RunFits(Start, Quantity)) {
        Fail(seIllegalDataAddress);
        return;
    }
    for (std::uint32_t I = 0; I < Quantity; ++I) {
        switch (DoCanWriteCoil(static_cast<std::uint16_t>(Start + I), Values[I])) {
        case iwsIllegalAddress:
            Fail(seIllegalDataAddress);
            return;
        case iwsIllegalValue:
            Fail(seIllegalDataValue);
            return;
        case iwsAllowWrite:
            break;
        }
    }
    try {
        for (std::uint32_t I = 0; I < Quantity; ++I)
            DoSetCoilValue(static_cast<std::uint16_t>(Start + I), Values[I]);
    } catch (...) {
        Fail(seServerFailure); // the items before the failing one stay written
        return;
    }
    auto& Reply = T.ReplyBuffer();
    if (T.Info.Address == 0 || Reply.Size() != 0)
        return;
    FConnection->EmitHeader(*this, Reply);
    Reply.PutByte(FnWriteMultipleCoils);
    Reply.PutWordHiLo(Start);
    Reply.PutWordHiLo(Quantity);
    FConnection->EmitErrorCheck(Reply);
}

void TModbusServer::HandleWriteMultipleRegisters(TModbusTransaction& T) {
    const auto Fail = [&](TServerException E) { FailWrite(T, FnWriteMultipleRegisters, E); };
    std::uint16_t Start, Quantity;
    std::vector<std::uint16_t> Values;
    try {
        TFrameReader Query(T.QueryBuffer(), FConnection->ErrorCheckSize());
        Start = Query.Word();
        Quantity = Query.Word();
        if (Quantity >= 1 && Quantity <= MaxWriteRegisters && RunFits(Start, Quantity)) {
            // The byte count field is not compared with the quantity.
            Query.Skip(1);
            Values.assign(Quantity, 0);
            Query.Words(Values);
        }
    } catch (const EQuorvelError&) {
        Fail(seIllegalDataValue);
        return;
    }
    if (Quantity < 1 || Quantity > MaxWriteRegisters) {
        Fail(seIllegalDataValue);
        return;
    }
    if (!RunFits(Start, Quantity)) {
        Fail(seIllegalDataAddress);
        return;
    }
    for (std::uint32_t I = 0; I < Quantity; ++I) {
        switch (DoCanWriteHoldingRegister(static_cast<std::uint16_t>(Start + I), Values[I])) {
        case iwsIllegalAddress:
            Fail(seIllegalDataAddress);
            return;
        case iwsIllegalValue:
            Fail(seIllegalDataValue);
            return;
        case iwsAllowWrite:
            break;
        }
    }
    try {
        for (std::uint32_t I = 0; I < Quantity; ++I)
            DoSetHoldingRegisterValue(static_cast<std::uint16_t>(Start + I), Values[I]);
    } catch (...) {
        Fail(seServerFailure); // the items before the failing one stay written
        return;
    }
    auto& Reply = T.ReplyBuffer();
    if (T.Info.Address == 0 || Reply.Size() != 0)
        return;
    FConnection->EmitHeader(*this, Reply);
    Reply.PutByte(FnWriteMultipleRegisters);
    Reply.PutWordHiLo(Start);
    Reply.PutWordHiLo(Quantity);
    FConnection->EmitErrorCheck(Reply);
}

// --- Event dispatchers -----------------------------------------------------------------

bool TModbusServer::DoAcceptCommand(std::uint8_t Command) {
    bool Accept = false;
    if (OnAcceptCommand)
        OnAcceptCommand(this, Command, Accept);
    return Accept;
}

bool TModbusServer::DoCanReadCoil(std::uint16_t BitAddr) {
    bool Allow = false;
    if (OnCanReadCoil)
        OnCanReadCoil(this, BitAddr, Allow);
    return Allow;
}

bool TModbusServer::DoCanReadDiscreteInput(std::uint16_t BitAddr) {
    bool Allow = false;
    if (OnCanReadDiscreteInput)
        OnCanReadDiscreteInput(this, BitAddr, Allow);
    return Allow;
}

bool TModbusServer::DoCanReadHoldingRegister(std::uint16_t RegAddr) {
    bool Allow = false;
    if (OnCanReadHoldingRegister)
        OnCanReadHoldingRegister(this, RegAddr, Allow);
    return Allow;
}

bool TModbusServer::DoCanReadInputRegister(std::uint16_t RegAddr) {
    bool Allow = false;
    if (OnCanReadInputRegister)
        OnCanReadInputRegister(this, RegAddr, Allow);
    return Allow;
}

TItemWriteStatus TModbusServer::DoCanWriteCoil(std::uint16_t BitAddr, bool BitValue) {
    TItemWriteStatus Status = iwsIllegalAddress;
    if (OnCanWriteCoil)
        OnCanWriteCoil(this, BitAddr, BitValue, Status);
    return Status;
}

TItemWriteStatus TModbusServer::DoCanWriteHoldingRegister(std::uint16_t RegAddr, std::uint16_t RegValue) {
    TItemWriteStatus Status = iwsIllegalAddress;
    if (OnCanWriteHoldingRegister)
        OnCanWriteHoldingRegister(this, RegAddr, RegValue, Status);
    return Status;
}

void TModbusServer::DoCommandHandlerException(std::uint8_t Command, TServerException Exception,
                                              std::uint8_t ExceptionCode) {
    if (OnCommandHandlerException)
        OnCommandHandlerException(this, Command, Exception, ExceptionCode);
}

bool TModbusServer::DoGetCoilValue(std::uint16_t BitAddr) {
    bool Value = false;
    if (OnGetCoilValue)
        OnGetCoilValue(this, BitAddr, Value);
    return Value;
}

bool TModbusServer::DoGetDiscreteInputValue(std::uint16_t BitAddr) {
    bool Value = false;
    if (OnGetDiscreteInputValue)
        OnGetDiscreteInputValue(this, BitAddr, Value);
    return Value;
}

std::uint16_t TModbusServer::DoGetHoldingRegisterValue(std::uint16_t RegAddr) {
    std::uint16_t Value = 0;
    if (OnGetHoldingRegisterValue)
        OnGetHoldingRegisterValue(this, RegAddr, Value);
    return Value;
}

std::uint16_t TModbusServer::DoGetInputRegisterValue(std::uint16_t RegAddr) {
    std::uint16_t Value = 0;
    if (OnGetInputRegisterValue)
        OnGetInputRegisterValue(this, RegAddr, Value);
    return Value;
}

void TModbusServer::DoSetCoilValue(std::uint16_t BitAddr, bool BitValue) {
    if (OnSetCoilValue)
        OnSetCoilValue(this, BitAddr, BitValue);
}

void TModbusServer::DoSetHoldingRegisterValue(std::uint16_t RegAddr, std::uint16_t RegValue) {
    if (OnSetHoldingRegisterValue)
        OnSetHoldingRegisterValue(this, RegAddr, RegValue);
}

} // namespace Quorvel
