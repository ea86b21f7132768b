// TModbusClient: the request path, the completion path and the bit and register
// commands with their reply decoders.

#include "ModbusClient.h"

#include "ModbusConnection.h"
#include "QuorvelErrors.h"
#include "detail/FrameReader.h"

namespace Quorvel {

using detail::DecodeNormalReply;
using detail::ReplyUnmatched;
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
constexpr std::uint8_t FnMaskWriteRegister = 0x16;
constexpr std::uint8_t FnReadWriteMultipleRegisters = 0x17;

// Quantities one request may carry on the serial line (253-byte PDU).
constexpr std::int64_t MaxReadBits = 2008;
constexpr std::int64_t MaxWriteBits = 1976;
constexpr std::int64_t MaxReadRegisters = 125;
constexpr std::int64_t MaxWriteRegisters = 123;
constexpr std::int64_t MaxReadWriteRegisters = 121;
constexpr std::size_t MaxCustomDataSize = 252;

constexpr std::uint16_t CoilOn = 0xFF00;

// Position of a frame's data: after the address byte and the function code.
constexpr std::int32_t DataStart = TFrameReader::DataStart;

void CheckCount(std::int64_t Count, std::int64_t Max, TQuorvelMessage Message) {
    if (Count < 1 || Count > Max)
        throw EQuorvelError(Message, {Max});
}

// The last item of a run, computed without 16-bit wrap-around.
void CheckRun(std::uint16_t Start, std::int64_t Count, TQuorvelMessage Message) {
    if (Start + Count - 1 > 0xFFFF)
        throw EQuorvelError(Message, {Start});
}

} // namespace

TModbusClient::TModbusClient(TComponent* AOwner) : TComponent(AOwner) {}

TModbusClient::~TModbusClient() {
    Destroying();
    SetConnection(nullptr);
}

// --- Properties ----------------------------------------------------------------

void TModbusClient::SetConnection(TModbusConnection* Value) {
    if (Value == FConnection)
        return;
    if (FConnection != nullptr) {
        FConnection->UnregisterClient(this);
        FConnection->RemoveFreeNotification(this);
    }
    FConnection = Value;
    if (FConnection != nullptr) {
        FConnection->RegisterClient(this);
        FConnection->FreeNotification(this);
    }
}

void TModbusClient::Notification(TComponent* AComponent, TOperation Operation) {
    TComponent::Notification(AComponent, Operation);
    if (Operation == opRemove && AComponent != nullptr && AComponent == FConnection)
        FConnection = nullptr;
}

void TModbusClient::SetServerAddress(std::uint8_t Value) {
    if (Value == FServerAddress)
        return;
    // Requests not yet sent would reach the wrong server's completion.
    if (FConnection != nullptr)
        FConnection->DiscardPendingTransactions(this);
    FServerAddress = Value;
}

void TModbusClient::SetMaxConsecutiveTimeouts(std::int32_t Value) {
    if (Value < -1)
        Value = -1;
    if (Value == FMaxConsecutiveTimeouts)
        return;
    FMaxConsecutiveTimeouts = Value;
    FConsecutiveTimeoutCount = 0;
}

void TModbusClient::CheckConnected() const {
    if (FConnection == nullptr || !FConnection->Active() || FConnection->IsLoading() ||
        FConnection->IsDesigning())
        throw EQuorvelError(qmNoActiveConnection);
}

void TModbusClient::CheckDisconnected() const {
    if (FConnection != nullptr && FConnection->Active() && !FConnection->IsLoading() &&
        !FConnection->IsDesigning())
        throw EQuorvelError(qmClientMustBeDisconnected);
}

// --- The request path ------------------------------------------------------------

std::unique_ptr<TModbusTransaction> TModbusClient::NewTransaction(std::uint8_t Command, void* UserData) {
    auto T = std::make_unique<TModbusTransaction>(static_cast<std::uint32_t>(FConnection->FrameCapacity()));
    T->Info = TTransactionInfo{};
    T->Info.ID = FConnection->GetNextUniqueID();
    T->Info.Address = FServerAddress;
    T->Info.UserData = UserData;
    FConnection->EmitHeader(this, T->QueryBuffer());
    T->QueryBuffer().PutByte(Command);
    return T;
}

std::uint32_t TModbusClient::Send(std::unique_ptr<TModbusTransaction> Transaction) {
    FConnection->EmitErrorCheck(Transaction->QueryBuffer());
    const std::uint32_t ID = Transaction->Info.ID;
    // On success the connection owns it; on an error it is freed here.
    FConnection->EnqueueTransaction(std::move(Transaction), this);
    return ID;
}

std::uint32_t TModbusClient::InitCustomTransaction(std::uint8_t Command, const TByteString& RequestData,
                                                   bool PromiscuousMode, void* UserData) {
    CheckConnected();
    if (RequestData.size() > MaxCustomDataSize)
        throw EQuorvelError(qmRequestDataSizeInvalid, {static_cast<std::int64_t>(RequestData.size())});
    auto T = NewTransaction(Command, UserData);
    T->Custom = true;
    T->Promiscuous = PromiscuousMode;
    T->QueryBuffer().PutBlock(RequestData.data(), static_cast<std::int32_t>(RequestData.size()));
    return Send(std::move(T));
}

std::uint32_t TModbusClient::ReadCoils(std::uint16_t StartBit, std::uint16_t BitCount, void* UserData) {
    CheckConnected();
    CheckCount(BitCount, MaxReadBits, qmDiscreteCountInvalid);
    CheckRun(StartBit, BitCount, qmDiscreteStartInvalid);
    auto T = NewTransaction(FnReadCoils, UserData);
    T->QueryBuffer().PutWordHiLo(StartBit);
    T->QueryBuffer().PutWordHiLo(BitCount);
    return Send(std::move(T));
}

std::uint32_t TModbusClient::ReadDiscreteInputs(std::uint16_t StartBit, std::uint16_t BitCount,
                                                void* UserData) {
    CheckConnected();
    CheckCount(BitCount, MaxReadBits, qmDiscreteCountInvalid);
    CheckRun(StartBit, BitCount, qmDiscreteStartInvalid);
    auto T = NewTransaction(FnReadDiscreteInputs, UserData);
    T->QueryBuffer().PutWordHiLo(StartBit);
    T->QueryBuffer().PutWordHiLo(BitCount);
    return Send(std::move(T));
}

std::uint32_t TModbusClient::ReadHoldingRegisters(std::uint16_t StartReg, std::uint16_t RegCount,
                                                  void* UserData) {
    CheckConnected();
    CheckCount(RegCount, MaxReadRegisters, qmRegisterCountInvalid);
    CheckRun(StartReg, RegCount, qmRegisterStartInvalid);
    auto T = NewTransaction(FnReadHoldingRegisters, UserData);
    T->QueryBuffer().PutWordHiLo(StartReg);
    T->QueryBuffer().PutWordHiLo(RegCount);
    return Send(std::move(T));
}

std::uint32_t TModbusClient::ReadInputRegisters(std::uint16_t StartReg, std::uint16_t RegCount,
                                                void* UserData) {
    CheckConnected();
    CheckCount(RegCount, MaxReadRegisters, qmRegisterCountInvalid);
    CheckRun(StartReg, RegCount, qmRegisterStartInvalid);
    auto T = NewTransaction(FnReadInputRegisters, UserData);
    T->QueryBuffer().PutWordHiLo(StartReg);
    T->QueryBuffer().PutWordHiLo(RegCount);
    return Send(std::move(T));
}

std::uint32_t TModbusClient::WriteSingleCoil(std::uint16_t BitAddr, bool BitValue, void* UserData) {
    CheckConnected();
    auto T = NewTransaction(FnWriteSingleCoil, UserData);
    T->QueryBuffer().PutWordHiLo(BitAddr);
    T->QueryBuffer().PutWordHiLo(BitValue ? CoilOn : 0x0000);
    return Send(std::move(T));
}

std::uint32_t TModbusClient::WriteSingleRegister(std::uint16_t RegAddr, std::uint16_t RegValue,
                                                 void* UserData) {
    CheckConnected();
    auto T = NewTransaction(FnWriteSingleRegister, UserData);
    T->QueryBuffer().PutWordHiLo(RegAddr);
    T->QueryBuffer().PutWordHiLo(RegValue);
    return Send(std::move(T));
}

std::uint32_t TModbusClient::WriteMultipleCoils(std::uint16_t StartBit, const TBitValues& BitValues,
                                                void* UserData) {
    CheckConnected();
    const auto Count = static_cast<std::int64_t>(BitValues.size());
    CheckCount(Count, MaxWriteBits, qmDiscreteCountInvalid);
    CheckRun(StartBit, Count, qmDiscreteStartInvalid);
    auto T = NewTransaction(FnWriteMultipleCoils, UserData);
    auto& Q = T->QueryBuffer();
    Q.PutWordHiLo(StartBit);
    Q.PutWordHiLo(static_cast<std::uint16_t>(Count));
    Q.PutByte(static_cast<std::uint8_t>(BitCountToByteCount(static_cast<std::int32_t>(Count))));
    PackBits(BitValues, Q);
    return Send(std::move(T));
}

std::uint32_t TModbusClient::WriteMultipleRegisters(std::uint16_t StartReg, const TRegValues& RegValues,
                                                    void* UserData) {
    CheckConnected();
    const auto Count = static_cast<std::int64_t>(RegValues.size());
    CheckCount(Count, MaxWriteRegisters, qmRegisterCountInvalid);
    CheckRun(StartReg, Count, qmRegisterStartInvalid);
    auto T = NewTransaction(FnWriteMultipleRegisters, UserData);
    auto& Q = T->QueryBuffer();
    Q.PutWordHiLo(StartReg);
    Q.PutWordHiLo(static_cast<std::uint16_t>(Count));
    Q.PutByte(static_cast<std::uint8_t>(2 * Count));
    for (auto V : RegValues)
        Q.PutWordHiLo(V);
    return Send(std::move(T));
}

std::uint32_t TModbusClient::MaskWriteSingleRegister(std::uint16_t RegAddr, std::uint16_t AndMask,
                                                     std::uint16_t OrMask, void* UserData) {
    CheckConnected();
    auto T = NewTransaction(FnMaskWriteRegister, UserData);
    auto& Q = T->QueryBuffer();
    Q.PutWordHiLo(RegAddr);
    Q.PutWordHiLo(AndMask);
    Q.PutWordHiLo(OrMask);
    return Send(std::move(T));
}

std::uint32_t TModbusClient::ReadWriteMultipleRegisters(std::uint16_t StartRegToRead,
                                                        std::uint16_t RegCountToRead,
                                                        std::uint16_t StartRegToWrite,
                                                        const TRegValues& RegValuesToWrite, void* UserData) {
    CheckConnected();
    CheckCount(RegCountToRead, MaxReadRegisters, qmRegisterCountInvalid);
    CheckRun(StartRegToRead, RegCountToRead, qmRegisterStartInvalid);
    const auto WriteCount = static_cast<std::int64_t>(RegValuesToWrite.size());
    CheckCount(WriteCount, MaxReadWriteRegisters, qmRegisterCountInvalid);
    CheckRun(StartRegToWrite, WriteCount, qmRegisterStartInvalid);
    auto T = NewTransaction(FnReadWriteMultipleRegisters, UserData);
    auto& Q = T->QueryBuffer();
    Q.PutWordHiLo(StartRegToRead);
    Q.PutWordHiLo(RegCountToRead);
    Q.PutWordHiLo(StartRegToWrite);
    Q.PutWordHiLo(static_cast<std::uint16_t>(WriteCount));
    Q.PutByte(static_cast<std::uint8_t>(2 * WriteCount));
    for (auto V : RegValuesToWrite)
        Q.PutWordHiLo(V);
    return Send(std::move(T));
}

// --- Completion --------------------------------------------------------------------

void TModbusClient::DoneTransaction(TModbusTransaction& Transaction) {
    CheckConnected();
    const std::uint8_t Command = FConnection->GetFrameCommand(Transaction.QueryBuffer());
    if (Transaction.Custom)
        DoneCustomTransaction(Transaction, Command);
    else
        DoneStandardTransaction(Transaction, Command);
    DoTransactionProcessed(Transaction.Info, Command, Transaction.Custom);
    UpdateConsecutiveTimeouts(Transaction.Info);
}

void TModbusClient::DoneStandardTransaction(TModbusTransaction& Transaction, std::uint8_t Command) {
    switch (Command) {
    case FnReadCoils:
    case FnReadDiscreteInputs:
        DoneReadBits(Transaction, Command);
        break;
    case FnReadHoldingRegisters:
    case FnReadInputRegisters:
        DoneReadRegisters(Transaction, Command);
        break;
    case FnWriteSingleCoil:
        DoneWriteSingleCoil(Transaction);
        break;
    case FnWriteSingleRegister:
        DoneWriteSingleRegister(Transaction);
        break;
    case FnWriteMultipleCoils:
        DoneWriteMultipleCoils(Transaction);
        break;
    case FnWriteMultipleRegisters:
        DoneWriteMultipleRegisters(Transaction);
        break;
    case FnMaskWriteRegister:
        DoneMaskWriteSingleRegister(Transaction);
        break;
    case FnReadWriteMultipleRegisters:
        DoneReadWriteMultipleRegisters(Transaction);
        break;
    case 0x07:
        DoneReadExceptionStatus(Transaction);
        break;
    case 0x08:
        DoneDiagnostics(Transaction);
        break;
    case 0x11:
        DoneReportServerID(Transaction);
        break;
    case 0x14:
        DoneReadFileRecord(Transaction);
        break;
    case 0x15:
        DoneWriteFileRecord(Transaction);
        break;
    default:
        break; // no command event for a code the client does not know
    }
}

void TModbusClient::DoneCustomTransaction(TModbusTransaction& Transaction, std::uint8_t Command) {
    auto& Info = Transaction.Info;
    const bool Answered =
        Info.Reply == srUnmatchedReply || Info.Reply == srExceptionReply || Info.Reply == srNormalReply;
    if (Transaction.Promiscuous && Answered)
        Info.Address = FConnection->GetFrameAddress(Transaction.ReplyBuffer());
    const std::int32_t Check = FConnection->ErrorCheckSize();
    auto Data = [&](const TModbusBuffer& B) {
        const std::int32_t End = B.Size() - Check;
        return End > DataStart ? TByteString(B.StartPtr() + DataStart, B.StartPtr() + End) : TByteString{};
    };
    const TByteString RequestData = Data(Transaction.QueryBuffer());
    const TByteString ResponseData =
        Info.Reply == srNormalReply ? Data(Transaction.ReplyBuffer()) : TByteString{};
    DoCustomTransactionComplete(Info, Command, RequestData, ResponseData);
}

void TModbusClient::DoneReadBits(TModbusTransaction& Transaction, std::uint8_t Command) {
    TFrameReader Query(Transaction.QueryBuffer(), FConnection->ErrorCheckSize());
    const std::uint16_t StartBit = Query.Word();
    const std::uint16_t BitCount = Query.Word();
    TBitValues Values(BitCount, false);
    DecodeNormalReply(Transaction, [&] {
        TFrameReader Reply(Transaction.ReplyBuffer(), FConnection->ErrorCheckSize());
        if (Reply.Byte() != BitCountToByteCount(BitCount))
            ReplyUnmatched();
        Reply.Bits(Values);
    });
    if (Command == FnReadCoils)
        DoCoilsRead(Transaction.Info, StartBit, BitCount, Values);
    else
        DoDiscreteInputsRead(Transaction.Info, StartBit, BitCount, Values);
}

void TModbusClient::DoneReadRegisters(TModbusTransaction& Transaction, std::uint8_t Command) {
    TFrameReader Query(Transaction.QueryBuffer(), FConnection->ErrorCheckSize());
    const std::uint16_t StartReg = Query.Word();
    const std::uint16_t RegCount = Query.Word();
    TRegValues Values(RegCount, 0);
    DecodeNormalReply(Transaction, [&] {
        TFrameReader Reply(Transaction.ReplyBuffer(), FConnection->ErrorCheckSize());
        // An odd byte count of 2 n + 1 passes; the extra byte is not read.
        if (Reply.Byte() / 2 != RegCount)
            ReplyUnmatched();
        Reply.Words(Values);
    });
    if (Command == FnReadHoldingRegisters)
        DoHoldingRegistersRead(Transaction.Info, StartReg, RegCount, Values);
    else
        DoInputRegistersRead(Transaction.Info, StartReg, RegCount, Values);
}

void TModbusClient::DoneWriteSingleCoil(TModbusTransaction& Transaction) {
    TFrameReader Query(Transaction.QueryBuffer(), FConnection->ErrorCheckSize());
    const std::uint16_t BitAddr = Query.Word();
    const std::uint16_t Value = Query.Word();
    DecodeNormalReply(Transaction, [&] {
        TFrameReader Reply(Transaction.ReplyBuffer(), FConnection->ErrorCheckSize());
        if (Reply.Word() != BitAddr || Reply.Word() != Value)
            ReplyUnmatched();
    });
    DoSingleCoilWrite(Transaction.Info, BitAddr, Value == CoilOn);
}

void TModbusClient::DoneWriteSingleRegister(TModbusTransaction& Transaction) {
    TFrameReader Query(Transaction.QueryBuffer(), FConnection->ErrorCheckSize());
    const std::uint16_t RegAddr = Query.Word();
    const std::uint16_t Value = Query.Word();
    DecodeNormalReply(Transaction, [&] {
        TFrameReader Reply(Transaction.ReplyBuffer(), FConnection->ErrorCheckSize());
        if (Reply.Word() != RegAddr || Reply.Word() != Value)
            ReplyUnmatched();
    });
    DoSingleRegisterWrite(Transaction.Info, RegAddr, Value);
}

void TModbusClient::DoneWriteMultipleCoils(TModbusTransaction& Transaction) {
    TFrameReader Query(Transaction.QueryBuffer(), FConnection->ErrorCheckSize());
    const std::uint16_t StartBit = Query.Word();
    const std::uint16_t BitCount = Query.Word();
    Query.Byte(); // byte count
    TBitValues Values(BitCount, false);
    Query.Bits(Values);
    DecodeNormalReply(Transaction, [&] {
        TFrameReader Reply(Transaction.ReplyBuffer(), FConnection->ErrorCheckSize());
        if (Reply.Word() != StartBit || Reply.Word() != BitCount)
            ReplyUnmatched();
    });
    DoMultipleCoilsWrite(Transaction.Info, StartBit, BitCount, Values);
}

void TModbusClient::DoneWriteMultipleRegisters(TModbusTransaction& Transaction) {
    TFrameReader Query(Transaction.QueryBuffer(), FConnection->ErrorCheckSize());
    const std::uint16_t StartReg = Query.Word();
    const std::uint16_t RegCount = Query.Word();
    Query.Byte(); // byte count
    TRegValues Values(RegCount, 0);
    Query.Words(Values);
    DecodeNormalReply(Transaction, [&] {
        TFrameReader Reply(Transaction.ReplyBuffer(), FConnection->ErrorCheckSize());
        if (Reply.Word() != StartReg || Reply.Word() != RegCount)
            ReplyUnmatched();
    });
    DoMultipleRegistersWrite(Transaction.Info, StartReg, RegCount, Values);
}

void TModbusClient::DoneMaskWriteSingleRegister(TModbusTransaction& Transaction) {
    TFrameReader Query(Transaction.QueryBuffer(), FConnection->ErrorCheckSize());
    const std::uint16_t RegAddr = Query.Word();
    const std::uint16_t AndMask = Query.Word();
    const std::uint16_t OrMask = Query.Word();
    DecodeNormalReply(Transaction, [&] {
        TFrameReader Reply(Transaction.ReplyBuffer(), FConnection->ErrorCheckSize());
        if (Reply.Word() != RegAddr || Reply.Word() != AndMask || Reply.Word() != OrMask)
            ReplyUnmatched();
    });
    DoSingleRegisterMaskWrite(Transaction.Info, RegAddr, AndMask, OrMask);
}

void TModbusClient::DoneReadWriteMultipleRegisters(TModbusTransaction& Transaction) {
    TFrameReader Query(Transaction.QueryBuffer(), FConnection->ErrorCheckSize());
    const std::uint16_t StartRegToRead = Query.Word();
    const std::uint16_t RegCountToRead = Query.Word();
    const std::uint16_t StartRegToWrite = Query.Word();
    const std::uint16_t RegCountToWrite = Query.Word();
    Query.Byte(); // byte count
    TRegValues ValuesToWrite(RegCountToWrite, 0);
    Query.Words(ValuesToWrite);
    TRegValues ValuesToRead(RegCountToRead, 0);
    DecodeNormalReply(Transaction, [&] {
        TFrameReader Reply(Transaction.ReplyBuffer(), FConnection->ErrorCheckSize());
        if (Reply.Byte() / 2 != RegCountToRead)
            ReplyUnmatched();
        Reply.Words(ValuesToRead);
    });
    DoMultipleRegistersReadWrite(Transaction.Info, StartRegToRead, RegCountToRead, ValuesToRead,
                                 StartRegToWrite, RegCountToWrite, ValuesToWrite);
}

void TModbusClient::UpdateConsecutiveTimeouts(const TTransactionInfo& Info) {
    if (FMaxConsecutiveTimeouts < 0)
        return;
    if (Info.Reply == srUnmatchedReply || Info.Reply == srExceptionReply || Info.Reply == srNormalReply) {
        FConsecutiveTimeoutCount = 0;
        return;
    }
    // Every failed attempt of the transaction counts.
    FConsecutiveTimeoutCount += Info.Retries;
    if (FConsecutiveTimeoutCount > static_cast<std::uint32_t>(FMaxConsecutiveTimeouts)) {
        FConsecutiveTimeoutCount = 0;
        DoConsecutiveTimeoutLimitExceed();
    }
}

std::string TModbusClient::ExceptionCodeToStr(std::uint8_t ExceptionCode) {
    std::string Description = QuorvelMessageText(static_cast<int>(qmExceptionUnknown) +
                                                 static_cast<int>(ServerExceptionFromCode(ExceptionCode)));
    DoTranslateExceptionCode(ExceptionCode, Description);
    return Description;
}

// --- Event dispatchers -----------------------------------------------------------------

void TModbusClient::DoCoilsRead(const TTransactionInfo& Info, std::uint16_t StartBit, std::uint16_t BitCount,
                                const TBitValues& BitValues) {
    if (OnCoilsRead)
        OnCoilsRead(this, Info, StartBit, BitCount, BitValues);
}

void TModbusClient::DoConsecutiveTimeoutLimitExceed() {
    if (OnConsecutiveTimeoutLimitExceed)
        OnConsecutiveTimeoutLimitExceed(this);
}

void TModbusClient::DoCustomTransactionComplete(const TTransactionInfo& Info, std::uint8_t Command,
                                                const TByteString& RequestData,
                                                const TByteString& ResponseData) {
    if (OnCustomTransactionComplete)
        OnCustomTransactionComplete(this, Info, Command, RequestData, ResponseData);
}

void TModbusClient::DoDiscreteInputsRead(const TTransactionInfo& Info, std::uint16_t StartBit,
                                         std::uint16_t BitCount, const TBitValues& BitValues) {
    if (OnDiscreteInputsRead)
        OnDiscreteInputsRead(this, Info, StartBit, BitCount, BitValues);
}

void TModbusClient::DoHoldingRegistersRead(const TTransactionInfo& Info, std::uint16_t StartReg,
                                           std::uint16_t RegCount, const TRegValues& RegValues) {
    if (OnHoldingRegistersRead)
        OnHoldingRegistersRead(this, Info, StartReg, RegCount, RegValues);
}

void TModbusClient::DoInputRegistersRead(const TTransactionInfo& Info, std::uint16_t StartReg,
                                         std::uint16_t RegCount, const TRegValues& RegValues) {
    if (OnInputRegistersRead)
        OnInputRegistersRead(this, Info, StartReg, RegCount, RegValues);
}

void TModbusClient::DoMultipleCoilsWrite(const TTransactionInfo& Info, std::uint16_t StartBit,
                                         std::uint16_t BitCount, const TBitValues& BitValues) {
    if (OnMultipleCoilsWrite)
        OnMultipleCoilsWrite(this, Info, StartBit, BitCount, BitValues);
}

void TModbusClient::DoMultipleRegistersReadWrite(const TTransactionInfo& Info, std::uint16_t StartRegToRead,
                                                 std::uint16_t RegCountToRead,
                                                 const TRegValues& RegValuesToRead,
                                                 std::uint16_t StartRegToWrite, std::uint16_t RegCountToWrite,
                                                 const TRegValues& RegValuesToWrite) {
    if (OnMultipleRegistersReadWrite)
        OnMultipleRegistersReadWrite(this, Info, StartRegToRead, RegCountToRead, RegValuesToRead,
                                     StartRegToWrite, RegCountToWrite, RegValuesToWrite);
}

void TModbusClient::DoMultipleRegistersWrite(const TTransactionInfo& Info, std::uint16_t StartReg,
                                             std::uint16_t RegCount, const TRegValues& RegValues) {
    if (OnMultipleRegistersWrite)
        OnMultipleRegistersWrite(this, Info, StartReg, RegCount, RegValues);
}

void TModbusClient::DoSingleCoilWrite(const TTransactionInfo& Info, std::uint16_t BitAddr, bool BitValue) {
    if (OnSingleCoilWrite)
        OnSingleCoilWrite(this, Info, BitAddr, BitValue);
}

void TModbusClient::DoSingleRegisterMaskWrite(const TTransactionInfo& Info, std::uint16_t RegAddr,
                                              std::uint16_t AndMask, std::uint16_t OrMask) {
    if (OnSingleRegisterMaskWrite)
        OnSingleRegisterMaskWrite(this, Info, RegAddr, AndMask, OrMask);
}

void TModbusClient::DoSingleRegisterWrite(const TTransactionInfo& Info, std::uint16_t RegAddr,
                                          std::uint16_t RegValue) {
    if (OnSingleRegisterWrite)
        OnSingleRegisterWrite(this, Info, RegAddr, RegValue);
}

void TModbusClient::DoTransactionProcessed(const TTransactionInfo& Info, std::uint8_t Command, bool Custom) {
    if (OnTransactionProcessed)
        OnTransactionProcessed(this, Info, Command, Custom);
}

void TModbusClient::DoTranslateExceptionCode(std::uint8_t ExceptionCode, std::string& Description) {
    if (OnTranslateExceptionCode)
        OnTranslateExceptionCode(this, ExceptionCode, Description);
}

} // namespace Quorvel
