// TModbusServer: dispatch of a received query, the command handlers and the
// composition of normal and exception replies.

#include "ModbusServer.h"

#include "ModbusConnection.h"
#include "QuorvelErrors.h"
#include "detail/FrameReader.h"

#include <algorithm>
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

// Reads start and quantity of a run; false, with Fail called, when they are
// missing (03), the quantity is outside 1..MaxQuantity (03) or the run passes
// 65535 (02).
template <typename FFail>
bool ReadRunHeader(TFrameReader& Query, std::uint32_t MaxQuantity, std::uint16_t& Start,
                   std::uint16_t& Quantity, const FFail& Fail) {
    try {
        Start = Query.Word();
        Quantity = Query.Word();
    } catch (const EQuorvelError&) {
        Fail(seIllegalDataValue);
        return false;
    }
    if (Quantity < 1 || Quantity > MaxQuantity) {
        Fail(seIllegalDataValue);
        return false;
    }
    if (Start + Quantity - 1 > 0xFFFF) {
        Fail(seIllegalDataAddress);
        return false;
    }
    return true;
}

// A write permission's answer: true to go on; otherwise Fail gets its exception.
template <typename FFail>
bool Permitted(TItemWriteStatus Status, const FFail& Fail) {
    switch (Status) {
    case iwsIllegalAddress:
        Fail(seIllegalDataAddress);
        return false;
    case iwsIllegalValue:
        Fail(seIllegalDataValue);
        return false;
    case iwsAllowWrite:
        break;
    }
    return true;
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
    HandleRead(T, Coils ? FnReadCoils : FnReadDiscreteInputs);
}

void TModbusServer::HandleReadRegisters(TModbusTransaction& T, bool Holding) {
    HandleRead(T, Holding ? FnReadHoldingRegisters : FnReadInputRegisters);
}

void TModbusServer::HandleRead(TModbusTransaction& T, std::uint8_t Command) {
    const bool Bits = Command == FnReadCoils || Command == FnReadDiscreteInputs;
    auto& Reply = T.ReplyBuffer();
    // The request errors are composed whatever the address: nothing is sent for
    // a broadcast anyway.
    const auto Fail = [&](TServerException E) { ComposeExceptionReply(Reply, Command, E); };
    TFrameReader Query(T.QueryBuffer(), FConnection->ErrorCheckSize());
    std::uint16_t Start, Quantity;
    if (!ReadRunHeader(Query, Bits ? MaxReadBits : MaxReadRegisters, Start, Quantity, Fail))
        return;
    for (std::uint32_t I = 0; I < Quantity; ++I) {
        const auto Addr = static_cast<std::uint16_t>(Start + I);
        bool Allowed = false;
        switch (Command) {
        case FnReadCoils:
            Allowed = DoCanReadCoil(Addr);
            break;
        case FnReadDiscreteInputs:
            Allowed = DoCanReadDiscreteInput(Addr);
            break;
        case FnReadHoldingRegisters:
            Allowed = DoCanReadHoldingRegister(Addr);
            break;
        default:
            Allowed = DoCanReadInputRegister(Addr);
            break;
        }
        if (!Allowed) {
            Fail(seIllegalDataAddress);
            return;
        }
    }
    std::vector<std::uint16_t> Values(Quantity, 0); // bits as 0 and 1
    try {
        for (std::uint32_t I = 0; I < Quantity; ++I) {
            const auto Addr = static_cast<std::uint16_t>(Start + I);
            switch (Command) {
            case FnReadCoils:
                Values[I] = DoGetCoilValue(Addr);
                break;
            case FnReadDiscreteInputs:
                Values[I] = DoGetDiscreteInputValue(Addr);
                break;
            case FnReadHoldingRegisters:
                Values[I] = DoGetHoldingRegisterValue(Addr);
                break;
            default:
                Values[I] = DoGetInputRegisterValue(Addr);
                break;
            }
        }
    } catch (...) {
        if (T.Info.Address != 0)
            Fail(seServerFailure);
        return;
    }
    if (Reply.Size() != 0)
        return; // an event composed an exception reply of its own
    FConnection->EmitHeader(*this, Reply);
    Reply.PutByte(Command);
    if (Bits) {
        Reply.PutByte(static_cast<std::uint8_t>(BitCountToByteCount(Quantity)));
        PackBits(TBitValues(Values.begin(), Values.end()), Reply);
    } else {
        Reply.PutByte(static_cast<std::uint8_t>(2 * Quantity));
        for (auto V : Values)
            Reply.PutWordHiLo(V);
    }
    FConnection->EmitErrorCheck(Reply);
}

void TModbusServer::FailWrite(TModbusTransaction& T, std::uint8_t Command, TServerException Exception) {
    if (T.Info.Address != 0)
        ComposeExceptionReply(T.ReplyBuffer(), Command, Exception);
}

void TModbusServer::HandleWriteSingleCoil(TModbusTransaction& T) {
    HandleWriteSingle(T, FnWriteSingleCoil);
}

void TModbusServer::HandleWriteSingleRegister(TModbusTransaction& T) {
    HandleWriteSingle(T, FnWriteSingleRegister);
}

void TModbusServer::HandleWriteSingle(TModbusTransaction& T, std::uint8_t Command) {
    const bool Coil = Command == FnWriteSingleCoil;
    const auto Fail = [&](TServerException E) { FailWrite(T, Command, E); };
    std::uint16_t Addr, Value;
    try {
        TFrameReader Query(T.QueryBuffer(), FConnection->ErrorCheckSize());
        Addr = Query.Word();
        Value = Query.Word();
    } catch (const EQuorvelError&) {
        Fail(seIllegalDataValue);
        return;
    }
    // A coil is written with FF00 (on) or 0000 (off) and nothing else.
    if (Coil && Value != CoilOn && Value != CoilOff) {
        Fail(seIllegalDataValue);
        return;
    }
    if (!Permitted(Coil ? DoCanWriteCoil(Addr, Value == CoilOn) : DoCanWriteHoldingRegister(Addr, Value),
                   Fail))
        return;
    try {
        if (Coil)
            DoSetCoilValue(Addr, Value == CoilOn);
        else
            DoSetHoldingRegisterValue(Addr, Value);
    } catch (...) {
        Fail(seServerFailure);
        return;
    }
    auto& Reply = T.ReplyBuffer();
    if (T.Info.Address == 0 || Reply.Size() != 0)
        return;
    // The normal reply echoes the request.
    FConnection->EmitHeader(*this, Reply);
    Reply.PutByte(Command);
    Reply.PutWordHiLo(Addr);
    Reply.PutWordHiLo(Value);
    FConnection->EmitErrorCheck(Reply);
}

void TModbusServer::HandleWriteMultipleCoils(TModbusTransaction& T) {
    HandleWriteMultiple(T, FnWriteMultipleCoils);
}

void TModbusServer::HandleWriteMultipleRegisters(TModbusTransaction& T) {
    HandleWriteMultiple(T, FnWriteMultipleRegisters);
}

void TModbusServer::HandleWriteMultiple(TModbusTransaction& T, std::uint8_t Command) {
    const bool Coils = Command == FnWriteMultipleCoils;
    const auto Fail = [&](TServerException E) { FailWrite(T, Command, E); };
    TFrameReader Query(T.QueryBuffer(), FConnection->ErrorCheckSize());
    std::uint16_t Start, Quantity;
    if (!ReadRunHeader(Query, Coils ? MaxWriteBits : MaxWriteRegisters, Start, Quantity, Fail))
        return;
    // All values are read before the first permission question. The byte count
    // field is not compared with the quantity.
    std::vector<std::uint16_t> Values(Quantity, 0); // coils as 0 and 1
    try {
        Query.Skip(1);
        if (Coils) {
            TBitValues Bits(Quantity, false);
            Query.Bits(Bits);
            std::copy(Bits.begin(), Bits.end(), Values.begin());
        } else {
            Query.Words(Values);
        }
    } catch (const EQuorvelError&) {
        Fail(seIllegalDataValue);
        return;
    }
    for (std::uint32_t I = 0; I < Quantity; ++I) {
        const auto Addr = static_cast<std::uint16_t>(Start + I);
        if (!Permitted(Coils ? DoCanWriteCoil(Addr, Values[I] != 0)
                             : DoCanWriteHoldingRegister(Addr, Values[I]),
                       Fail))
            return;
    }
    try {
        for (std::uint32_t I = 0; I < Quantity; ++I) {
            const auto Addr = static_cast<std::uint16_t>(Start + I);
            if (Coils)
                DoSetCoilValue(Addr, Values[I] != 0);
            else
                DoSetHoldingRegisterValue(Addr, Values[I]);
        }
    } catch (...) {
        Fail(seServerFailure); // the items before the failing one stay written
        return;
    }
    auto& Reply = T.ReplyBuffer();
    if (T.Info.Address == 0 || Reply.Size() != 0)
        return;
    FConnection->EmitHeader(*this, Reply);
    Reply.PutByte(Command);
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
