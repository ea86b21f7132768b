// Quorvel: the serial connection component.
#pragma once

#include "ModbusBuffer.h"
#include "ModbusTransaction.h"
#include "QuorvelPlatform.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <shared_mutex>
#include <string>
#include <vector>

namespace Quorvel {

class TModbusClient;
class TModbusServer;
namespace detail {
class TEvent;
class TMessagePayload;
class TMessageTarget;
class TSerialDevice;
class TTransactionThread;
struct TConnectionAccess;
} // namespace detail

enum TBaudRate {
    br110,
    br300,
    br600,
    br1200,
    br2400,
    br4800,
    br9600,
    br14400,
    br19200,
    br38400,
    br56000,
    br57600,
    br115200,
    br128000,
    br256000,
    brCustom,
};
enum TConnectionMode { cmClient, cmServer };
enum TDataBits { db7, db8 };
// fcDtrDsr: Linux has no DTR/DSR handshake; the driver then uses no flow
// control and the library holds DTR low (it is not under manual control).
enum TFlowControl { fcNone, fcRtsToggle, fcRtsCts, fcDtrDsr };
enum TParityScheme { psNone, psOdd, psEven };
enum TStopBits { sb1, sb2 };
enum TTransmissionMode { tmRTU, tmASCII };

// The number of attempts for a client transaction: 1..4294967295.
using TMaxRetries = std::uint32_t;
// A port name: "COMn" (/dev/ttyS(n-1)), an absolute device path, a bare device
// name under /dev, or any name EnumSerialPorts returns.
using TSerialPort = std::string;
// A frame's line bytes, as handed to OnFrameSend and OnFrameReceive.
using TFrameData = std::vector<std::uint8_t>;
// An open port's file descriptor; InvalidPortHandle when there is none.
using TPortHandle = int;
inline constexpr TPortHandle InvalidPortHandle = -1;

using TFrameDataEvent = std::function<void(TComponent* Sender, const TFrameData& Data)>;
using TGetHookedPortHandleEvent = std::function<void(TComponent* Sender, TPortHandle& HookHandle)>;

// Owns one serial port and the worker thread that runs Modbus transactions on it.
//
// In client mode the worker executes the queued requests of the registered
// clients one at a time; in server mode it listens for requests and lets the
// registered servers answer them.
//
// Threads: everything here is called on the main thread, and every event fires
// there, except OnBeforeFrameSendAsync and OnAfterFrameSendAsync, which fire on
// the worker thread and must not touch the user interface. The timing settings
// may be changed at any time; settings that shape the port only while closed
// (they raise "Connection must NOT be active for the requested action to be
// performed" otherwise); line settings are applied to an open port at once.
class TModbusConnection : public TComponent {
public:
    explicit TModbusConnection(TComponent* AOwner = nullptr);
    // Closes the connection first (with the events of a close).
    ~TModbusConnection() override;

    // --- Published properties --------------------------------------------------

    // Opens or closes the connection. Opening fires OnBeforeOpen, opens and
    // configures the port, starts the worker thread and fires OnAfterOpen;
    // Active reads true only after that. Raises the open's error and stays closed.
    bool Active() const noexcept { return FActive; }
    void SetActive(bool Value);
    TBaudRate BaudRate() const noexcept { return FBaudRate; }
    void SetBaudRate(TBaudRate Value);
    TConnectionMode ConnectionMode() const noexcept { return FConnectionMode; }
    void SetConnectionMode(TConnectionMode Value);
    // Bits per second with brCustom; setting a different value selects brCustom.
    // 0 raises "Value must be between 1 and 4294967295".
    std::uint32_t CustomBaudRate() const noexcept { return FCustomBaudRate; }
    void SetCustomBaudRate(std::uint32_t Value);
    TDataBits DataBits() const noexcept { return FDataBits; }
    void SetDataBits(TDataBits Value);
    bool DTREnabled() const noexcept { return FDTREnabled; }
    void SetDTREnabled(bool Value);
    // The line echoes every sent frame (two-wire adapters); the client loop removes it.
    bool EchoQueryBeforeReply() const;
    void SetEchoQueryBeforeReply(bool Value);
    TFlowControl FlowControl() const noexcept { return FFlowControl; }
    void SetFlowControl(TFlowControl Value);
    // Use a descriptor the application opened (OnGetHookedPortHandle) instead of
    // opening Port; such a port is never closed by the connection.
    bool HookExistingPort() const noexcept { return FHookExistingPort; }
    void SetHookExistingPort(bool Value);
    std::int32_t InputBufferSize() const noexcept { return FInputBufferSize; }
    void SetInputBufferSize(std::int32_t Value);
    // Attempts per client transaction; 0 raises "Value must be between 1 and 4294967295".
    TMaxRetries MaxRetries() const;
    void SetMaxRetries(TMaxRetries Value);
    std::int32_t OutputBufferSize() const noexcept { return FOutputBufferSize; }
    void SetOutputBufferSize(std::int32_t Value);
    TParityScheme Parity() const noexcept { return FParity; }
    void SetParity(TParityScheme Value);
    const TSerialPort& Port() const noexcept { return FPort; }
    void SetPort(const TSerialPort& Value);
    // Milliseconds to wait for the first character of a reply; 0 awaits none.
    std::uint32_t ReceiveTimeout() const;
    void SetReceiveTimeout(std::uint32_t Value);
    // Pause after every attempt of a client transaction, in ms.
    std::uint32_t RefetchDelay() const;
    void SetRefetchDelay(std::uint32_t Value);
    bool RTSEnabled() const noexcept { return FRTSEnabled; }
    void SetRTSEnabled(bool Value);
    // With fcRtsToggle, how long RTS stays raised after a frame has left, in ms.
    std::uint32_t RTSHoldDelay() const;
    void SetRTSHoldDelay(std::uint32_t Value);
    // Longest wait for one frame write, in ms.
    std::uint32_t SendTimeout() const;
    void SetSendTimeout(std::uint32_t Value);
    // RTU: character times of silence that end a frame; ASCII: ms of silence
    // allowed inside a frame. Values above MaxSilentInterval raise "Value must be
    // between 0 and 390451".
    std::uint32_t SilentInterval() const noexcept { return FSilentInterval; }
    void SetSilentInterval(std::uint32_t Value);
    TStopBits StopBits() const noexcept { return FStopBits; }
    void SetStopBits(TStopBits Value);
    TThreadPriority ThreadPriority() const noexcept { return FThreadPriority; }
    void SetThreadPriority(TThreadPriority Value);
    TTransmissionMode TransmissionMode() const noexcept { return FTransmissionMode; }
    void SetTransmissionMode(TTransmissionMode Value);
    // Pause after a broadcast has been written, in place of a reply, in ms.
    std::uint32_t TurnaroundDelay() const;
    void SetTurnaroundDelay(std::uint32_t Value);

    // The largest SilentInterval: 11 bits per character times it times 1000
    // still fits 32 bits, whatever the line settings.
    static constexpr std::uint32_t MaxSilentInterval = 390451;

    // --- Public read-only properties ------------------------------------------

    int ClientCount() const noexcept { return static_cast<int>(FClientList.size()); }
    int ServerCount() const noexcept { return static_cast<int>(FServerList.size()); }
    // The silence that ends a frame, in ms (at least 16); 0 until first opened.
    std::uint32_t RealSilentInterval() const;

    // --- Events -----------------------------------------------------------------

    TNotifyEvent OnAfterClose;
    TNotifyEvent OnAfterFrameSendAsync; // worker thread
    TNotifyEvent OnAfterOpen;
    TNotifyEvent OnBeforeClose;
    TNotifyEvent OnBeforeFrameSendAsync; // worker thread
    TNotifyEvent OnBeforeOpen;
    TFrameDataEvent OnFrameReceive; // a copy of every received frame's line bytes
    TFrameDataEvent OnFrameSend;    // a copy of every sent frame's line bytes
    TGetHookedPortHandleEvent OnGetHookedPortHandle;
    TNotifyEvent OnInvalidFrameDiscard; // server mode: a received frame was discarded

    // --- Operations -------------------------------------------------------------

    void Open() { SetActive(true); }
    void Close() { SetActive(false); }

    // Registration of the components that work through this connection (their
    // Connection property does it); empty or repeated entries are ignored.
    void RegisterClient(TModbusClient* Client);
    void UnregisterClient(TModbusClient* Client);
    void RegisterServer(TModbusServer* Server);
    void UnregisterServer(TModbusServer* Server);

    // Hands Transaction to the worker thread's queue; from then on the connection
    // owns it (Transaction is moved from). Raises "Connection MUST be active for
    // the requested action to be performed" when closed, and the caller keeps it.
    void EnqueueTransaction(std::unique_ptr<TModbusTransaction>&& Transaction, TModbusClient* AOriginator);
    // Queued transactions (not the one on the line) to Client's ServerAddress,
    // or all of them when Client is empty; 0 while closed.
    std::int32_t CountPendingTransactions(const TModbusClient* Client) const;
    // Frees Client's queued transactions (all when empty) without any event;
    // nothing while closed or in server mode.
    void DiscardPendingTransactions(const TModbusClient* Client);
    // The next transaction ID: 0, 1, 2 ... per connection, never reset.
    std::uint32_t GetNextUniqueID() noexcept { return FNextUniqueID++; }

    // Raise or lower DTR / RTS by hand. Raise "Connection MUST be active ..." when
    // closed, and "Flow control is not valid for the requested action to be
    // performed" when the line is under flow control (DTR with fcDtrDsr; RTS with
    // fcRtsToggle or fcRtsCts).
    void ChangeDTR(bool AValue);
    void ChangeRTS(bool AValue);

    // Broadcast writes of the connection's own (address 0, no originator, no
    // completion event); each returns the transaction ID.
    std::uint32_t WriteSingleCoil(std::uint16_t BitAddr, bool BitValue, void* UserData);
    std::uint32_t WriteSingleRegister(std::uint16_t RegAddr, std::uint16_t RegValue, void* UserData);
    std::uint32_t WriteMultipleCoils(std::uint16_t StartBit, const TBitValues& BitValues, void* UserData);
    std::uint32_t WriteMultipleRegisters(std::uint16_t StartReg, const TRegValues& RegValues, void* UserData);

    // Server mode, on the main thread: lets the registered server with the
    // query's address (every server, in registration order, for address 0)
    // compose the reply into Transaction's reply buffer.
    void ProcessRemoteTransaction(TModbusTransaction& Transaction);

    // Appends the client's ServerAddress, or 0 (broadcast) when Client is empty.
    void EmitHeader(const TModbusClient* Client, TModbusBuffer& Buffer) const;
    // Appends the server's Address.
    void EmitHeader(const TModbusServer& Server, TModbusBuffer& Buffer) const;
    // Appends the error check of the bytes before the cursor: RTU the CRC-16 low
    // byte first, ASCII the LRC. Call it right after the last data byte.
    void EmitErrorCheck(TModbusBuffer& Buffer) const;

    // Bytes in front of the function code; the data follows at HeaderSize + 1.
    static constexpr std::int32_t HeaderSize = 1;

protected:
    void Loaded() override;

    // Event dispatchers: each calls its handler, when assigned, with the
    // connection as Sender.
    virtual void DoAfterClose();
    virtual void DoAfterFrameSendAsync();
    virtual void DoAfterOpen();
    virtual void DoBeforeClose();
    virtual void DoBeforeFrameSendAsync();
    virtual void DoBeforeOpen();
    virtual void DoFrameReceive(const TFrameData& Data);
    virtual void DoFrameSend(const TFrameData& Data);
    // Starts from InvalidPortHandle and returns what the handler left.
    virtual TPortHandle DoGetHookedPortHandle();
    virtual void DoInvalidFrameDiscard();

private:
    // The connection's contract with its worker thread, client and server
    // components; not offered to applications.
    friend class TModbusClient;
    friend class TModbusServer;
    friend class detail::TTransactionThread;
    friend struct detail::TConnectionAccess;

    using TDeviceFactory = std::function<std::unique_ptr<detail::TSerialDevice>(const TSerialPort& Port)>;

    bool IsStoring() const noexcept { return IsLoading() || IsDesigning(); }
    void CheckActive() const;
    void CheckInactive() const;
    void CheckFlowControl(std::initializer_list<TFlowControl> Allowed) const;
    // Stores Value into Field under the write lock.
    template <typename T>
    void SetLocked(T& Field, T Value);
    // After a line setting changed: applies the line to an open port.
    void LineSettingChanged();
    std::unique_ptr<TModbusTransaction> NewBroadcast(std::uint8_t Command, void* UserData);
    std::uint32_t EnqueueBroadcast(std::unique_ptr<TModbusTransaction> Transaction);

    // Framing (pure byte logic).
    std::int32_t FrameCapacity() const noexcept;
    std::int32_t InterimBufferSize() const noexcept;
    std::int32_t ErrorCheckSize() const noexcept;
    std::int32_t MinFrameSize() const noexcept;
    std::int32_t MinReplySize() const noexcept;
    std::int32_t EncodeFrame(const TModbusBuffer& Buffer, std::uint8_t* Output,
                             std::int32_t OutputSize) const;
    bool DecodeFrame(const std::uint8_t* Data, std::int32_t Count, TModbusBuffer& Buffer) const;
    bool VerifyErrorCheck(TModbusBuffer& Buffer) const;
    std::uint8_t GetFrameAddress(TModbusBuffer& Buffer) const;
    std::uint8_t GetFrameCommand(TModbusBuffer& Buffer) const;
    bool IsSameAddress(TModbusBuffer& Query, TModbusBuffer& Reply) const;
    bool IsAddressAccepted(TModbusBuffer& Query, TModbusBuffer& Reply, bool Promiscuous) const;
    bool IsSameCommand(TModbusBuffer& Query, TModbusBuffer& Reply) const;
    bool IsExceptionReply(TModbusBuffer& Reply) const;
    void DecodeExceptionReply(TModbusBuffer& Reply, TServerException& Exception, std::uint8_t& Code) const;

    // Hand-off on the main thread: the worker's posted messages arrive here.
    void InternalWndProc(unsigned Message, std::uintptr_t Param,
                         std::unique_ptr<detail::TMessagePayload> Payload);
    // The transaction's originator, while it is still registered and still aims
    // at the transaction's address; otherwise none.
    TModbusClient* FindOriginator(const TModbusTransaction& Transaction) const;
    // The first registered server with Address, or none.
    TModbusServer* FindServer(std::uint8_t Address) const;

    // Serial line I/O.
    void OpenPort();
    void ClosePort();
    void UpdateDeviceControlBlock();
    void UpdateRealSilentInterval();
    void PurgeLine(bool Receive, bool Transmit);
    void ResetCommEvents();
    bool WriteFrame(const std::uint8_t* Data, std::int32_t Count, std::uint32_t Timeout);
    std::int32_t ReadAvailable(std::uint8_t* Dest, std::int32_t Max);
    bool WaitForReceivedChar(std::uint32_t Timeout);
    std::int32_t ReceiveFrame(std::uint8_t* Dest, std::int32_t Max, std::uint32_t Timeout);
    std::int32_t ReceiveFrameRTU(std::uint8_t* Dest, std::int32_t Max, std::uint32_t Timeout,
                                 std::uint32_t Silence, std::uint32_t FrameTime);
    std::int32_t ReceiveFrameASCII(std::uint8_t* Dest, std::int32_t Max, std::uint32_t Timeout,
                                   std::uint32_t Silence, std::uint32_t FrameTime);

    bool FActive = false;
    TBaudRate FBaudRate = br19200;
    std::unique_ptr<detail::TEvent> FBreakEvent; // wakes a worker that waits without limit
    std::vector<TModbusClient*> FClientList;
    TConnectionMode FConnectionMode = cmClient;
    std::uint32_t FCustomBaudRate = 19200;
    TDataBits FDataBits = db8;
    std::unique_ptr<detail::TSerialDevice> FDevice; // the open port; empty while closed
    // Bytes an ASCII receive read past the LF of its frame (a reply right
    // behind its echo): the next receive takes them first; a purge drops them.
    // Used by the worker thread only.
    std::vector<std::uint8_t> FReceiveCarry;
    TDeviceFactory FDeviceFactory;                  // opens ports by name; a seam for tests
    bool FDTREnabled = true;
    std::atomic<bool> FEchoQueryBeforeReply{false}; // read by the worker without the lock
    TFlowControl FFlowControl = fcNone;
    bool FHookExistingPort = false;
    std::int32_t FInputBufferSize = 1024;
    std::unique_ptr<detail::TMessageTarget> FInternalWindow; // receives the worker's messages
    mutable std::shared_mutex FLock;                         // the settings the worker reads while it runs
    TMaxRetries FMaxRetries = 1;
    std::uint32_t FNextUniqueID = 0;
    std::int32_t FOutputBufferSize = 1024;
    TParityScheme FParity = psEven;
    TSerialPort FPort = "COM1";
    std::uint32_t FRealSilentInterval = 0;
    std::uint32_t FMaxFrameTime = 0; // ms a receive may take once bytes arrive; set with FRealSilentInterval
    std::uint32_t FReceiveTimeout = 1000;
    std::uint32_t FRefetchDelay = 0;
    bool FRTSEnabled = true;
    std::uint32_t FRTSHoldDelay = 0;
    std::vector<TModbusServer*> FServerList;
    std::uint32_t FSilentInterval = 4;
    TStopBits FStopBits = sb1;
    bool FStreamedActive = false;
    std::unique_ptr<detail::TTransactionThread> FThread; // exists exactly while open
    TThreadPriority FThreadPriority = tpNormal;
    TTransmissionMode FTransmissionMode = tmRTU;
    std::uint32_t FSendTimeout = 1000;
    std::uint32_t FTurnaroundDelay = 100;
};

} // namespace Quorvel
