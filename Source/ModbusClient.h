// Quorvel: the Modbus client (master) component.
#pragma once

#include "ModbusBuffer.h"
#include "ModbusFileRecord.h"
#include "ModbusTransaction.h"
#include "QuorvelPlatform.h"

#include <cstdint>
#include <functional>
#include <string>

namespace Quorvel {

class TModbusConnection;

// The Diagnostics (08) sub-functions the client asks for. Two actions share
// sub-function 1 and are told apart by the request's data word.
enum TDiagnosticAction {
    daReturnQueryData,
    daRestartCommsOption,
    daRestartCommsOptionAndClearEventLog,
    daReturnDiagnosticRegister,
    daForceListenOnlyMode,
    daClearCountersAndDiagnosticRegister,
    daReturnBusMessageCount,
    daReturnBusCommErrorCount,
    daReturnBusExceptionErrorCount,
    daReturnServerMessageCount,
    daReturnServerNoReplyCount,
    daReturnServerNegativeAcknowledgeCount,
    daReturnServerBusyCount,
    daReturnBusCharacterOverrunCount,
    daClearOverrunCounterAndFlag,
};

// The first action with sub-function Code (so 1 gives daRestartCommsOption);
// raises "Diagnostic action was not recognized" for a code in no row.
TDiagnosticAction DiagnosticCodeToAction(std::uint16_t Code);
// The sub-function code of Action.
std::uint16_t DiagnosticActionCode(TDiagnosticAction Action) noexcept;

// Eight status bits, element i being bit i of the exception status byte.
using TExceptionStatusValues = std::vector<bool>;
// A server's identification bytes, as received.
using TServerIdentificationData = std::vector<std::uint8_t>;

// Client events. Sender is the client; Info is the finished transaction's
// identity and outcome; sequences are owned by the client and valid only
// during the call. Handlers tell the outcome from Info.Reply: values read from
// the reply are meaningful only for srNormalReply.
using TModbusClientNotifyEvent = std::function<void(TComponent* Sender)>;
using TMultipleBitsAccessEvent =
    std::function<void(TComponent* Sender, const TTransactionInfo& Info, std::uint16_t StartBit,
                       std::uint16_t BitCount, const TBitValues& BitValues)>;
using TMultipleRegistersAccessEvent =
    std::function<void(TComponent* Sender, const TTransactionInfo& Info, std::uint16_t StartReg,
                       std::uint16_t RegCount, const TRegValues& RegValues)>;
using TMultipleRegistersReadWriteEvent = std::function<void(
    TComponent* Sender, const TTransactionInfo& Info, std::uint16_t StartRegToRead,
    std::uint16_t RegCountToRead, const TRegValues& RegValuesToRead, std::uint16_t StartRegToWrite,
    std::uint16_t RegCountToWrite, const TRegValues& RegValuesToWrite)>;
using TSingleCoilWriteEvent = std::function<void(TComponent* Sender, const TTransactionInfo& Info,
                                                 std::uint16_t BitAddr, bool BitValue)>;
using TSingleRegisterWriteEvent = std::function<void(TComponent* Sender, const TTransactionInfo& Info,
                                                     std::uint16_t RegAddr, std::uint16_t RegValue)>;
using TSingleRegisterMaskWriteEvent =
    std::function<void(TComponent* Sender, const TTransactionInfo& Info, std::uint16_t RegAddr,
                       std::uint16_t AndMask, std::uint16_t OrMask)>;
using TCustomTransactionCompleteEvent =
    std::function<void(TComponent* Sender, const TTransactionInfo& Info, std::uint8_t Command,
                       const TByteString& RequestData, const TByteString& ResponseData)>;
using TDiagnosticsEvent = std::function<void(TComponent* Sender, const TTransactionInfo& Info,
                                             TDiagnosticAction Action, std::uint16_t Result)>;
using TExceptionStatusReadEvent = std::function<void(TComponent* Sender, const TTransactionInfo& Info,
                                                     const TExceptionStatusValues& StatusValues)>;
using TServerIdentificationReportEvent =
    std::function<void(TComponent* Sender, const TTransactionInfo& Info, std::int32_t Count,
                       const TServerIdentificationData& Data)>;
// The list is the client's, created for the event and freed after it.
using TFileRecordAccessEvent =
    std::function<void(TComponent* Sender, const TTransactionInfo& Info, TModbusFileRecordList& FileRecList)>;
using TTransactionProcessedEvent =
    std::function<void(TComponent* Sender, const TTransactionInfo& Info, std::uint8_t Command, bool Custom)>;
using TTranslateExceptionCodeEvent =
    std::function<void(TComponent* Sender, std::uint8_t ExceptionCode, std::string& Description)>;

// Issues requests to a remote server through a TModbusConnection.
//
// Every request checks its arguments, builds the whole frame, queues it on the
// connection and returns the transaction ID at once; the line is never waited
// for. The outcome arrives later on the main thread: the command's event, then
// OnTransactionProcessed, then, when due, OnConsecutiveTimeoutLimitExceed.
// A request to ServerAddress 0 is a broadcast: it is sent and no event fires
// for it (a custom transaction is awaited even there).
//
// Main thread only. Requests raise EQuorvelError for a bad argument or "There
// is no active connection", and then leave nothing behind.
class TModbusClient : public TComponent {
public:
    explicit TModbusClient(TComponent* AOwner = nullptr);
    // Sets Connection to none first (unregistering).
    ~TModbusClient() override;

    // The connection requests go through. Setting it unregisters from the old
    // one and registers with the new; requests queued on the old one still run
    // but are no longer handed back.
    TModbusConnection* Connection() const noexcept { return FConnection; }
    void SetConnection(TModbusConnection* Value);
    // Address of the remote server that requests go to; 0 is the broadcast
    // address. A change drops this client's queued requests without events, and
    // one already on the line completes without reaching the client.
    std::uint8_t ServerAddress() const noexcept { return FServerAddress; }
    void SetServerAddress(std::uint8_t Value);
    // Threshold of OnConsecutiveTimeoutLimitExceed; -1 (the default) switches the
    // accounting off. Values below -1 become -1; a change resets the counter.
    std::int32_t MaxConsecutiveTimeouts() const noexcept { return FMaxConsecutiveTimeouts; }
    void SetMaxConsecutiveTimeouts(std::int32_t Value);
    // Failed attempts counted since the last answered transaction.
    std::uint32_t ConsecutiveTimeoutCount() const noexcept { return FConsecutiveTimeoutCount; }

    // Raises "There is no active connection" unless the connection is open.
    void CheckConnected() const;
    // Raises "Client must be disconnected" while the connection is open.
    void CheckDisconnected() const;
    void ClearConsecutiveTimeoutCounter() noexcept { FConsecutiveTimeoutCount = 0; }

    // Completes a finished transaction: decodes the reply and fires the events.
    // Called by the connection on the main thread; the caller frees it.
    void DoneTransaction(TModbusTransaction& Transaction);

    // The text of an exception code: the default text, as OnTranslateExceptionCode leaves it.
    std::string ExceptionCodeToStr(std::uint8_t ExceptionCode);

    // Sends any function code with 0 to 252 bytes of data; completes through
    // OnCustomTransactionComplete with the raw reply data. A promiscuous one takes
    // the first valid frame from any address as its reply.
    std::uint32_t InitCustomTransaction(std::uint8_t Command, const TByteString& RequestData,
                                        bool PromiscuousMode, void* UserData);

    // Bit and register commands (function codes 01 to 06, 0F, 10, 16, 17).
    std::uint32_t ReadCoils(std::uint16_t StartBit, std::uint16_t BitCount, void* UserData);
    std::uint32_t ReadDiscreteInputs(std::uint16_t StartBit, std::uint16_t BitCount, void* UserData);
    std::uint32_t ReadHoldingRegisters(std::uint16_t StartReg, std::uint16_t RegCount, void* UserData);
    std::uint32_t ReadInputRegisters(std::uint16_t StartReg, std::uint16_t RegCount, void* UserData);
    std::uint32_t WriteSingleCoil(std::uint16_t BitAddr, bool BitValue, void* UserData);
    std::uint32_t WriteSingleRegister(std::uint16_t RegAddr, std::uint16_t RegValue, void* UserData);
    std::uint32_t WriteMultipleCoils(std::uint16_t StartBit, const TBitValues& BitValues, void* UserData);
    std::uint32_t WriteMultipleRegisters(std::uint16_t StartReg, const TRegValues& RegValues, void* UserData);
    std::uint32_t MaskWriteSingleRegister(std::uint16_t RegAddr, std::uint16_t AndMask, std::uint16_t OrMask,
                                          void* UserData);
    std::uint32_t ReadWriteMultipleRegisters(std::uint16_t StartRegToRead, std::uint16_t RegCountToRead,
                                             std::uint16_t StartRegToWrite,
                                             const TRegValues& RegValuesToWrite, void* UserData);

    // Diagnostics (08) with one of the predefined sub-functions; Read Exception
    // Status (07); Report Server ID (11 hex).
    std::uint32_t Diagnostics(TDiagnosticAction Action, void* UserData);
    std::uint32_t ReadExceptionStatus(void* UserData);
    std::uint32_t ReportServerID(void* UserData);

    // Read File Record (14 hex) and Write File Record (15 hex). The request copies
    // what it needs: the list may be changed or freed on return. Raise "File
    // record list is empty or invalid" for an empty list, or when the request or
    // the expected reply would exceed the 253-byte PDU.
    std::uint32_t ReadFileRecord(const TModbusFileRecordList& FileRecList, void* UserData);
    std::uint32_t WriteFileRecord(const TModbusFileRecordList& FileRecList, void* UserData);

    // Events, fired on the main thread.
    TMultipleBitsAccessEvent OnCoilsRead;
    TModbusClientNotifyEvent OnConsecutiveTimeoutLimitExceed;
    TCustomTransactionCompleteEvent OnCustomTransactionComplete;
    TDiagnosticsEvent OnDiagnostics;
    TMultipleBitsAccessEvent OnDiscreteInputsRead;
    TExceptionStatusReadEvent OnExceptionStatusRead;
    TFileRecordAccessEvent OnFileRecordRead;
    TFileRecordAccessEvent OnFileRecordWrite;
    TMultipleRegistersAccessEvent OnHoldingRegistersRead;
    TMultipleRegistersAccessEvent OnInputRegistersRead;
    TMultipleBitsAccessEvent OnMultipleCoilsWrite;
    TMultipleRegistersReadWriteEvent OnMultipleRegistersReadWrite;
    TMultipleRegistersAccessEvent OnMultipleRegistersWrite;
    TServerIdentificationReportEvent OnServerIdentificationReport;
    TSingleCoilWriteEvent OnSingleCoilWrite;
    TSingleRegisterMaskWriteEvent OnSingleRegisterMaskWrite;
    TSingleRegisterWriteEvent OnSingleRegisterWrite;
    TTransactionProcessedEvent OnTransactionProcessed;
    TTranslateExceptionCodeEvent OnTranslateExceptionCode;

protected:
    void Notification(TComponent* AComponent, TOperation Operation) override;

    // Event dispatchers: each calls its handler, when assigned, with the client as Sender.
    virtual void DoCoilsRead(const TTransactionInfo& Info, std::uint16_t StartBit, std::uint16_t BitCount,
                             const TBitValues& BitValues);
    virtual void DoConsecutiveTimeoutLimitExceed();
    virtual void DoCustomTransactionComplete(const TTransactionInfo& Info, std::uint8_t Command,
                                             const TByteString& RequestData, const TByteString& ResponseData);
    virtual void DoDiagnostics(const TTransactionInfo& Info, TDiagnosticAction Action, std::uint16_t Result);
    virtual void DoExceptionStatusRead(const TTransactionInfo& Info,
                                       const TExceptionStatusValues& StatusValues);
    virtual void DoFileRecordRead(const TTransactionInfo& Info, TModbusFileRecordList& FileRecList);
    virtual void DoFileRecordWrite(const TTransactionInfo& Info, TModbusFileRecordList& FileRecList);
    virtual void DoServerIdentificationReport(const TTransactionInfo& Info, std::int32_t Count,
                                              const TServerIdentificationData& Data);
    virtual void DoDiscreteInputsRead(const TTransactionInfo& Info, std::uint16_t StartBit,
                                      std::uint16_t BitCount, const TBitValues& BitValues);
    virtual void DoHoldingRegistersRead(const TTransactionInfo& Info, std::uint16_t StartReg,
                                        std::uint16_t RegCount, const TRegValues& RegValues);
    virtual void DoInputRegistersRead(const TTransactionInfo& Info, std::uint16_t StartReg,
                                      std::uint16_t RegCount, const TRegValues& RegValues);
    virtual void DoMultipleCoilsWrite(const TTransactionInfo& Info, std::uint16_t StartBit,
                                      std::uint16_t BitCount, const TBitValues& BitValues);
    virtual void DoMultipleRegistersReadWrite(const TTransactionInfo& Info, std::uint16_t StartRegToRead,
                                              std::uint16_t RegCountToRead, const TRegValues& RegValuesToRead,
                                              std::uint16_t StartRegToWrite, std::uint16_t RegCountToWrite,
                                              const TRegValues& RegValuesToWrite);
    virtual void DoMultipleRegistersWrite(const TTransactionInfo& Info, std::uint16_t StartReg,
                                          std::uint16_t RegCount, const TRegValues& RegValues);
    virtual void DoSingleCoilWrite(const TTransactionInfo& Info, std::uint16_t BitAddr, bool BitValue);
    virtual void DoSingleRegisterMaskWrite(const TTransactionInfo& Info, std::uint16_t RegAddr,
                                           std::uint16_t AndMask, std::uint16_t OrMask);
    virtual void DoSingleRegisterWrite(const TTransactionInfo& Info, std::uint16_t RegAddr,
                                       std::uint16_t RegValue);
    virtual void DoTransactionProcessed(const TTransactionInfo& Info, std::uint8_t Command, bool Custom);
    virtual void DoTranslateExceptionCode(std::uint8_t ExceptionCode, std::string& Description);

private:
    // The common request path: a transaction with the header and function code
    // written, its Info filled; the caller adds the data and hands it to Send.
    std::unique_ptr<TModbusTransaction> NewTransaction(std::uint8_t Command, void* UserData);
    // Appends the error check, queues the transaction and returns its ID.
    std::uint32_t Send(std::unique_ptr<TModbusTransaction> Transaction);

    void DoneStandardTransaction(TModbusTransaction& Transaction, std::uint8_t Command);
    void DoneCustomTransaction(TModbusTransaction& Transaction, std::uint8_t Command);
    void DoneReadBits(TModbusTransaction& Transaction, std::uint8_t Command);
    void DoneReadRegisters(TModbusTransaction& Transaction, std::uint8_t Command);
    void DoneWriteSingleCoil(TModbusTransaction& Transaction);
    void DoneWriteSingleRegister(TModbusTransaction& Transaction);
    void DoneWriteMultipleCoils(TModbusTransaction& Transaction);
    void DoneWriteMultipleRegisters(TModbusTransaction& Transaction);
    void DoneMaskWriteSingleRegister(TModbusTransaction& Transaction);
    void DoneReadWriteMultipleRegisters(TModbusTransaction& Transaction);
    void DoneDiagnostics(TModbusTransaction& Transaction);
    void DoneReadExceptionStatus(TModbusTransaction& Transaction);
    void DoneReportServerID(TModbusTransaction& Transaction);
    void DoneReadFileRecord(TModbusTransaction& Transaction);
    void DoneWriteFileRecord(TModbusTransaction& Transaction);
    void UpdateConsecutiveTimeouts(const TTransactionInfo& Info);

    TModbusConnection* FConnection = nullptr;
    std::uint32_t FConsecutiveTimeoutCount = 0;
    std::int32_t FMaxConsecutiveTimeouts = -1;
    std::uint8_t FServerAddress = 1;
};

} // namespace Quorvel
