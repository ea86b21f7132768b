// TModbusConnection: properties, open and close, registration, the queue, IDs,
// modem lines and the connection's own broadcast writes.

#include "ModbusConnection.h"

#include "ModbusClient.h"
#include "ModbusServer.h"
#include "QuorvelErrors.h"
#include "detail/Event.h"
#include "detail/SerialDevice.h"
#include "detail/TransactionThread.h"

#include <algorithm>
#include <limits>
#include <mutex>

namespace Quorvel {

namespace {

constexpr std::uint8_t FunctionWriteSingleCoil = 0x05;
constexpr std::uint8_t FunctionWriteSingleRegister = 0x06;
constexpr std::uint8_t FunctionWriteMultipleCoils = 0x0F;
constexpr std::uint8_t FunctionWriteMultipleRegisters = 0x10;

// The most values one request carries (Modbus Application Protocol V1.1b3,
// limited further by the 253-byte PDU of the serial line).
constexpr std::size_t MaxWriteCoils = 1976;
constexpr std::size_t MaxWriteRegisters = 123;

} // namespace

TModbusConnection::TModbusConnection(TComponent* AOwner)
    : TComponent(AOwner),
      // Manual reset: once the close has signalled it, every later wait without
      // limit ends at once too, until the next open resets it.
      FBreakEvent(std::make_unique<detail::TEvent>(true)),
      FInternalWindow(std::make_unique<detail::TMessageTarget>(
          [this](unsigned Message, std::uintptr_t Param, std::unique_ptr<detail::TMessagePayload> Payload) {
              InternalWndProc(Message, Param, std::move(Payload));
          })) {}

TModbusConnection::~TModbusConnection() {
    Destroying();
    try {
        SetActive(false);
    } catch (...) {
        ShowApplicationException(this, std::current_exception());
    }
    // Hand-off messages still undelivered are released with the message target.
    FInternalWindow.reset();
}

// --- Checks ------------------------------------------------------------------

void TModbusConnection::CheckActive() const {
    if (!FActive || IsStoring())
        throw EQuorvelError(qmConnectionMustBeActive);
}

void TModbusConnection::CheckInactive() const {
    if (FActive && !IsStoring())
        throw EQuorvelError(qmConnectionMustBeInactive);
}

void TModbusConnection::CheckFlowControl(std::initializer_list<TFlowControl> Allowed) const {
    if (std::find(Allowed.begin(), Allowed.end(), FFlowControl) == Allowed.end())
        throw EQuorvelError(qmFlowControlNotValid);
}

// --- Properties ----------------------------------------------------------------

template <typename T>
void TModbusConnection::SetLocked(T& Field, T Value) {
    std::unique_lock Lock(FLock);
    if (Field != Value)
        Field = Value;
}

void TModbusConnection::SetActive(bool Value) {
    if (IsLoading()) {
        FStreamedActive = Value;
        return;
    }
    if (Value == FActive)
        return;
    if (!IsDesigning()) {
        if (Value) {
            DoBeforeOpen();
            OpenPort();
            try {
                DoAfterOpen();
            } catch (...) {
                // The handler refused the open: leave the connection closed, as it reads.
                ClosePort();
                throw;
            }
        } else {
            DoBeforeClose();
            ClosePort();
            try {
                DoAfterClose();
            } catch (...) {
                // The port is gone whatever the handler did.
                FActive = false;
                throw;
            }
        }
    }
    FActive = Value;
}

void TModbusConnection::Loaded() {
    TComponent::Loaded();
    try {
        SetActive(FStreamedActive);
    } catch (...) {
        ShowApplicationException(this, std::current_exception());
    }
}

void TModbusConnection::LineSettingChanged() {
    if (!FActive || IsStoring())
        return;
    UpdateDeviceControlBlock();
    UpdateRealSilentInterval();
}

void TModbusConnection::SetBaudRate(TBaudRate Value) {
    if (Value == FBaudRate)
        return;
    FBaudRate = Value;
    LineSettingChanged();
}

void TModbusConnection::SetCustomBaudRate(std::uint32_t Value) {
    if (Value == FCustomBaudRate)
        return;
    // No rate of 0 exists; refused here rather than failing later in a division.
    if (Value == 0)
        throw EQuorvelError(qmValueOutOfRange, {1, std::numeric_limits<std::uint32_t>::max()});
    FCustomBaudRate = Value;
    FBaudRate = brCustom;
    LineSettingChanged();
}

void TModbusConnection::SetDataBits(TDataBits Value) {
    if (Value == FDataBits)
        return;
    FDataBits = Value;
    LineSettingChanged();
}

void TModbusConnection::SetParity(TParityScheme Value) {
    if (Value == FParity)
        return;
    FParity = Value;
    LineSettingChanged();
}

void TModbusConnection::SetStopBits(TStopBits Value) {
    if (Value == FStopBits)
        return;
    FStopBits = Value;
    LineSettingChanged();
}

void TModbusConnection::SetConnectionMode(TConnectionMode Value) {
    if (Value == FConnectionMode)
        return;
    CheckInactive();
    FConnectionMode = Value;
}

void TModbusConnection::SetTransmissionMode(TTransmissionMode Value) {
    if (Value == FTransmissionMode)
        return;
    CheckInactive();
    FTransmissionMode = Value;
}

void TModbusConnection::SetDTREnabled(bool Value) {
    if (Value == FDTREnabled)
        return;
    CheckInactive();
    FDTREnabled = Value;
}

void TModbusConnection::SetRTSEnabled(bool Value) {
    if (Value == FRTSEnabled)
        return;
    CheckInactive();
    FRTSEnabled = Value;
}

void TModbusConnection::SetFlowControl(TFlowControl Value) {
    if (Value == FFlowControl)
        return;
    CheckInactive();
    FFlowControl = Value;
}

void TModbusConnection::SetHookExistingPort(bool Value) {
    if (Value == FHookExistingPort)
        return;
    CheckInactive();
    FHookExistingPort = Value;
}

void TModbusConnection::SetInputBufferSize(std::int32_t Value) {
    if (Value == FInputBufferSize)
        return;
    CheckInactive();
    FInputBufferSize = Value;
}

void TModbusConnection::SetOutputBufferSize(std::int32_t Value) {
    if (Value == FOutputBufferSize)
        return;
    CheckInactive();
    FOutputBufferSize = Value;
}

void TModbusConnection::SetPort(const TSerialPort& Value) {
    if (Value == FPort)
        return;
    CheckInactive();
    FPort = Value;
}

bool TModbusConnection::EchoQueryBeforeReply() const {
    return FEchoQueryBeforeReply.load();
}

void TModbusConnection::SetEchoQueryBeforeReply(bool Value) {
    std::unique_lock Lock(FLock);
    FEchoQueryBeforeReply.store(Value);
}

TMaxRetries TModbusConnection::MaxRetries() const {
    std::shared_lock Lock(FLock);
    return FMaxRetries;
}

void TModbusConnection::SetMaxRetries(TMaxRetries Value) {
    std::unique_lock Lock(FLock);
    if (Value == FMaxRetries)
        return;
    if (Value == 0)
        throw EQuorvelError(qmValueOutOfRange, {1, std::numeric_limits<TMaxRetries>::max()});
    FMaxRetries = Value;
}

std::uint32_t TModbusConnection::ReceiveTimeout() const {
    std::shared_lock Lock(FLock);
    return FReceiveTimeout;
}

void TModbusConnection::SetReceiveTimeout(std::uint32_t Value) {
    SetLocked(FReceiveTimeout, Value);
}

std::uint32_t TModbusConnection::RefetchDelay() const {
    std::shared_lock Lock(FLock);
    return FRefetchDelay;
}

void TModbusConnection::SetRefetchDelay(std::uint32_t Value) {
    SetLocked(FRefetchDelay, Value);
}

std::uint32_t TModbusConnection::RTSHoldDelay() const {
    std::shared_lock Lock(FLock);
    return FRTSHoldDelay;
}

void TModbusConnection::SetRTSHoldDelay(std::uint32_t Value) {
    SetLocked(FRTSHoldDelay, Value);
}

std::uint32_t TModbusConnection::SendTimeout() const {
    std::shared_lock Lock(FLock);
    return FSendTimeout;
}

void TModbusConnection::SetSendTimeout(std::uint32_t Value) {
    SetLocked(FSendTimeout, Value);
}

std::uint32_t TModbusConnection::TurnaroundDelay() const {
    std::shared_lock Lock(FLock);
    return FTurnaroundDelay;
}

void TModbusConnection::SetTurnaroundDelay(std::uint32_t Value) {
    SetLocked(FTurnaroundDelay, Value);
}

std::uint32_t TModbusConnection::RealSilentInterval() const {
    std::shared_lock Lock(FLock);
    return FRealSilentInterval;
}

void TModbusConnection::SetSilentInterval(std::uint32_t Value) {
    if (Value == FSilentInterval)
        return;
    // Beyond this the real interval cannot be computed in 32 bits.
    if (Value > MaxSilentInterval)
        throw EQuorvelError(qmValueOutOfRange, {0, MaxSilentInterval});
    FSilentInterval = Value;
    if (FActive && !IsStoring())
        UpdateRealSilentInterval();
}

void TModbusConnection::SetThreadPriority(TThreadPriority Value) {
    if (Value == FThreadPriority)
        return;
    FThreadPriority = Value;
    if (FActive && !IsStoring() && FThread)
        FThread->SetPriority(Value);
}

// --- Events ------------------------------------------------------------------------

void TModbusConnection::DoAfterClose() {
    if (OnAfterClose)
        OnAfterClose(this);
}

void TModbusConnection::DoAfterFrameSendAsync() {
    if (OnAfterFrameSendAsync)
        OnAfterFrameSendAsync(this);
}

void TModbusConnection::DoAfterOpen() {
    if (OnAfterOpen)
        OnAfterOpen(this);
}

void TModbusConnection::DoBeforeClose() {
    if (OnBeforeClose)
        OnBeforeClose(this);
}

void TModbusConnection::DoBeforeFrameSendAsync() {
    if (OnBeforeFrameSendAsync)
        OnBeforeFrameSendAsync(this);
}

void TModbusConnection::DoBeforeOpen() {
    if (OnBeforeOpen)
        OnBeforeOpen(this);
}

void TModbusConnection::DoFrameReceive(const TFrameData& Data) {
    if (OnFrameReceive)
        OnFrameReceive(this, Data);
}

void TModbusConnection::DoFrameSend(const TFrameData& Data) {
    if (OnFrameSend)
        OnFrameSend(this, Data);
}

TPortHandle TModbusConnection::DoGetHookedPortHandle() {
    TPortHandle Handle = InvalidPortHandle;
    if (OnGetHookedPortHandle)
        OnGetHookedPortHandle(this, Handle);
    return Handle;
}

void TModbusConnection::DoInvalidFrameDiscard() {
    if (OnInvalidFrameDiscard)
        OnInvalidFrameDiscard(this);
}

// --- Registration ------------------------------------------------------------------

namespace {

template <typename T>
void AddOnce(std::vector<T*>& List, T* Item) {
    if (Item != nullptr && std::find(List.begin(), List.end(), Item) == List.end())
        List.push_back(Item);
}

template <typename T>
void RemoveItem(std::vector<T*>& List, T* Item) {
    List.erase(std::remove(List.begin(), List.end(), Item), List.end());
}

} // namespace

void TModbusConnection::RegisterClient(TModbusClient* Client) {
    AddOnce(FClientList, Client);
}

void TModbusConnection::UnregisterClient(TModbusClient* Client) {
    RemoveItem(FClientList, Client);
}

void TModbusConnection::RegisterServer(TModbusServer* Server) {
    AddOnce(FServerList, Server);
}

void TModbusConnection::UnregisterServer(TModbusServer* Server) {
    RemoveItem(FServerList, Server);
}

// --- The queue -----------------------------------------------------------------------

void TModbusConnection::EnqueueTransaction(std::unique_ptr<TModbusTransaction>&& Transaction,
                                           TModbusClient* AOriginator) {
    CheckActive();
    Transaction->Originator = AOriginator;
    FThread->Enqueue(std::move(Transaction));
}

std::int32_t TModbusConnection::CountPendingTransactions(const TModbusClient* Client) const {
    if (!FActive || IsStoring() || !FThread)
        return 0;
    return FThread->CountPendingTransactions(Client);
}

void TModbusConnection::DiscardPendingTransactions(const TModbusClient* Client) {
    if (!FActive || IsStoring() || FConnectionMode == cmServer || !FThread)
        return;
    FThread->DiscardPendingTransactions(Client);
}

// --- Hand-off on the main thread -----------------------------------------------------

TModbusClient* TModbusConnection::FindOriginator(const TModbusTransaction& Transaction) const {
    TModbusClient* Client = Transaction.Originator;
    if (Client == nullptr || std::find(FClientList.begin(), FClientList.end(), Client) == FClientList.end())
        return nullptr;
    return Client->ServerAddress() == Transaction.Info.Address ? Client : nullptr;
}

void TModbusConnection::InternalWndProc(unsigned Message, std::uintptr_t Param,
                                        std::unique_ptr<detail::TMessagePayload> Payload) {
    // The payload is released on the way out, whatever happens inside.
    try {
        if (Message == detail::MsgTransactionDone) {
            auto& T = *static_cast<detail::TTransactionPayload&>(*Payload).Transaction;
            TModbusClient* Client = FindOriginator(T);
            if (Client != nullptr && FActive && !IsDestroying() && !Client->IsDestroying())
                Client->DoneTransaction(T);
        } else if (Message == detail::MsgFrameCopy) {
            const auto& Data = static_cast<detail::TFramePayload&>(*Payload).Data;
            if ((Param & 0xFF) != 0)
                DoFrameSend(Data);
            else
                DoFrameReceive(Data);
        }
    } catch (...) {
        ShowApplicationException(this, std::current_exception());
    }
}

TModbusServer* TModbusConnection::FindServer(std::uint8_t Address) const {
    for (TModbusServer* Server : FServerList) {
        if (Server->Address() == Address)
            return Server;
    }
    return nullptr;
}

void TModbusConnection::ProcessRemoteTransaction(TModbusTransaction& Transaction) {
    if (Transaction.Info.Address != 0) {
        // Queries for addresses with no local server are ignored.
        if (TModbusServer* Server = FindServer(Transaction.Info.Address))
            Server->ProcessTransaction(Transaction);
        return;
    }
    // A copy: a server's handler may change the registrations.
    const auto Servers = FServerList;
    for (TModbusServer* Server : Servers) {
        if (std::find(FServerList.begin(), FServerList.end(), Server) != FServerList.end())
            Server->ProcessTransaction(Transaction);
    }
}

// --- Modem lines -----------------------------------------------------------------------

void TModbusConnection::ChangeDTR(bool AValue) {
    CheckActive();
    CheckFlowControl({fcNone, fcRtsToggle, fcRtsCts});
    FDevice->SetDTR(AValue);
}

void TModbusConnection::ChangeRTS(bool AValue) {
    CheckActive();
    CheckFlowControl({fcNone, fcDtrDsr});
    FDevice->SetRTS(AValue);
}

// --- Broadcast writes --------------------------------------------------------------------

std::unique_ptr<TModbusTransaction> TModbusConnection::NewBroadcast(std::uint8_t Command, void* UserData) {
    auto T = std::make_unique<TModbusTransaction>(static_cast<std::uint32_t>(FrameCapacity()));
    T->Info = TTransactionInfo{};
    T->Info.ID = GetNextUniqueID();
    T->Info.Address = 0;
    T->Info.UserData = UserData;
    EmitHeader(nullptr, T->QueryBuffer());
    T->QueryBuffer().PutByte(Command);
    return T;
}

std::uint32_t TModbusConnection::EnqueueBroadcast(std::unique_ptr<TModbusTransaction> Transaction) {
    EmitErrorCheck(Transaction->QueryBuffer());
    const std::uint32_t ID = Transaction->Info.ID;
    EnqueueTransaction(std::move(Transaction), nullptr);
    return ID;
}

std::uint32_t TModbusConnection::WriteSingleCoil(std::uint16_t BitAddr, bool BitValue, void* UserData) {
    CheckActive();
    auto T = NewBroadcast(FunctionWriteSingleCoil, UserData);
    T->QueryBuffer().PutWordHiLo(BitAddr);
    T->QueryBuffer().PutWordHiLo(BitValue ? 0xFF00 : 0x0000);
    return EnqueueBroadcast(std::move(T));
}

std::uint32_t TModbusConnection::WriteSingleRegister(std::uint16_t RegAddr, std::uint16_t RegValue,
                                                     void* UserData) {
    CheckActive();
    auto T = NewBroadcast(FunctionWriteSingleRegister, UserData);
    T->QueryBuffer().PutWordHiLo(RegAddr);
    T->QueryBuffer().PutWordHiLo(RegValue);
    return EnqueueBroadcast(std::move(T));
}

std::uint32_t TModbusConnection::WriteMultipleCoils(std::uint16_t StartBit, const TBitValues& BitValues,
                                                    void* UserData) {
    CheckActive();
    const std::size_t Count = BitValues.size();
    if (Count < 1 || Count > MaxWriteCoils)
        throw EQuorvelError(qmDiscreteCountInvalid, {static_cast<std::int64_t>(MaxWriteCoils)});
    if (StartBit + Count - 1 > 0xFFFF)
        throw EQuorvelError(qmDiscreteStartInvalid, {StartBit});
    auto T = NewBroadcast(FunctionWriteMultipleCoils, UserData);
    auto& Q = T->QueryBuffer();
    Q.PutWordHiLo(StartBit);
    Q.PutWordHiLo(static_cast<std::uint16_t>(Count));
    Q.PutByte(static_cast<std::uint8_t>(BitCountToByteCount(static_cast<std::int32_t>(Count))));
    PackBits(BitValues, Q);
    return EnqueueBroadcast(std::move(T));
}

std::uint32_t TModbusConnection::WriteMultipleRegisters(std::uint16_t StartReg, const TRegValues& RegValues,
                                                        void* UserData) {
    CheckActive();
    const std::size_t Count = RegValues.size();
    if (Count < 1 || Count > MaxWriteRegisters)
        throw EQuorvelError(qmRegisterCountInvalid, {static_cast<std::int64_t>(MaxWriteRegisters)});
    if (StartReg + Count - 1 > 0xFFFF)
        throw EQuorvelError(qmRegisterStartInvalid, {StartReg});
    auto T = NewBroadcast(FunctionWriteMultipleRegisters, UserData);
    auto& Q = T->QueryBuffer();
    Q.PutWordHiLo(StartReg);
    Q.PutWordHiLo(static_cast<std::uint16_t>(Count));
    Q.PutByte(static_cast<std::uint8_t>(2 * Count));
    for (std::uint16_t Value : RegValues)
        Q.PutWordHiLo(Value);
    return EnqueueBroadcast(std::move(T));
}

} // namespace Quorvel
