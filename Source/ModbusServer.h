// Quorvel: the Modbus server (slave) component.
#pragma once

#include "ModbusBuffer.h"
#include "ModbusTransaction.h"
#include "QuorvelPlatform.h"

#include <cstdint>
#include <functional>

namespace Quorvel {

class TModbusConnection;

// The answer of a write-permission event.
enum TItemWriteStatus : std::uint8_t { iwsIllegalAddress, iwsIllegalValue, iwsAllowWrite };

// Server events. Sender is the server. An in/out parameter starts at the
// refusing default (false, 0, iwsIllegalAddress), so an unassigned event refuses.
using TAcceptCommandEvent = std::function<void(TComponent* Sender, std::uint8_t Command, bool& Accept)>;
using TCanReadDiscreteBitEvent = std::function<void(TComponent* Sender, std::uint16_t BitAddr, bool& Allow)>;
using TCanReadRegisterEvent = std::function<void(TComponent* Sender, std::uint16_t RegAddr, bool& Allow)>;
using TCanWriteCoilEvent =
    std::function<void(TComponent* Sender, std::uint16_t BitAddr, bool BitValue, TItemWriteStatus& Status)>;
using TCanWriteRegisterEvent = std::function<void(TComponent* Sender, std::uint16_t RegAddr,
                                                  std::uint16_t RegValue, TItemWriteStatus& Status)>;
using TGetDiscreteBitValueEvent =
    std::function<void(TComponent* Sender, std::uint16_t BitAddr, bool& BitValue)>;
using TGetRegisterValueEvent =
    std::function<void(TComponent* Sender, std::uint16_t RegAddr, std::uint16_t& RegValue)>;
using TSetCoilValueEvent = std::function<void(TComponent* Sender, std::uint16_t BitAddr, bool BitValue)>;
using TSetRegisterValueEvent =
    std::function<void(TComponent* Sender, std::uint16_t RegAddr, std::uint16_t RegValue)>;
using TCommandHandlerExceptionEvent = std::function<void(
    TComponent* Sender, std::uint8_t Command, TServerException Exception, std::uint8_t ExceptionCode)>;

// Makes the application a Modbus server station on a server-mode connection.
//
// The server keeps no process image: every item lives in the application and
// is reached through the events. It answers Read Coils, Read Discrete Inputs,
// Read Holding and Input Registers, Write Single Coil and Register and Write
// Multiple Coils and Registers (01 to 06, 0F, 10); every other function code
// gets exception 01. A broadcast (address 0) is processed but never answered.
//
// Main thread only: the connection's worker hands each received query to the
// main thread and waits while ProcessTransaction runs.
class TModbusServer : public TComponent {
public:
    explicit TModbusServer(TComponent* AOwner = nullptr);
    // Sets Connection to none first (unregistering).
    ~TModbusServer() override;

    // The station address, 1..247; another value raises "Value must be between
    // 1 and 247" and leaves the address unchanged.
    std::uint8_t Address() const noexcept { return FAddress; }
    void SetAddress(std::uint8_t Value);
    // The connection the server answers on; setting it unregisters from the old
    // one and registers with the new.
    TModbusConnection* Connection() const noexcept { return FConnection; }
    void SetConnection(TModbusConnection* Value);

    // Raises "There is no active connection" unless the connection is open.
    void CheckConnected() const;
    // Raises "There is no active transaction" outside ProcessTransaction.
    void CheckActiveTransaction() const;
    // From inside any server event while a query is processed: answer with this
    // exception instead (for example seServerBusy). The remaining events of the
    // query still fire; the normal reply is then not composed.
    void EmitExceptionReply(TServerException Exception);
    // Reads the query in Transaction.QueryBuffer and leaves the reply frame in
    // Transaction.ReplyBuffer (empty when there is nothing to send). Called by
    // the connection.
    void ProcessTransaction(TModbusTransaction& Transaction);

    TAcceptCommandEvent OnAcceptCommand;
    TCanReadDiscreteBitEvent OnCanReadCoil;
    TCanReadDiscreteBitEvent OnCanReadDiscreteInput;
    TCanReadRegisterEvent OnCanReadHoldingRegister;
    TCanReadRegisterEvent OnCanReadInputRegister;
    TCanWriteCoilEvent OnCanWriteCoil;
    TCanWriteRegisterEvent OnCanWriteHoldingRegister;
    TCommandHandlerExceptionEvent OnCommandHandlerException;
    TGetDiscreteBitValueEvent OnGetCoilValue;
    TGetDiscreteBitValueEvent OnGetDiscreteInputValue;
    TGetRegisterValueEvent OnGetHoldingRegisterValue;
    TGetRegisterValueEvent OnGetInputRegisterValue;
    TSetCoilValueEvent OnSetCoilValue;
    TSetRegisterValueEvent OnSetHoldingRegisterValue;

protected:
    void Notification(TComponent* AComponent, TOperation Operation) override;

    // Event dispatchers: each starts from the refusing default, calls the
    // handler when assigned, and returns what it left.
    virtual bool DoAcceptCommand(std::uint8_t Command);
    virtual bool DoCanReadCoil(std::uint16_t BitAddr);
    virtual bool DoCanReadDiscreteInput(std::uint16_t BitAddr);
    virtual bool DoCanReadHoldingRegister(std::uint16_t RegAddr);
    virtual bool DoCanReadInputRegister(std::uint16_t RegAddr);
    virtual TItemWriteStatus DoCanWriteCoil(std::uint16_t BitAddr, bool BitValue);
    virtual TItemWriteStatus DoCanWriteHoldingRegister(std::uint16_t RegAddr, std::uint16_t RegValue);
    virtual void DoCommandHandlerException(std::uint8_t Command, TServerException Exception,
                                           std::uint8_t ExceptionCode);
    virtual bool DoGetCoilValue(std::uint16_t BitAddr);
    virtual bool DoGetDiscreteInputValue(std::uint16_t BitAddr);
    virtual std::uint16_t DoGetHoldingRegisterValue(std::uint16_t RegAddr);
    virtual std::uint16_t DoGetInputRegisterValue(std::uint16_t RegAddr);
    virtual void DoSetCoilValue(std::uint16_t BitAddr, bool BitValue);
    virtual void DoSetHoldingRegisterValue(std::uint16_t RegAddr, std::uint16_t RegValue);

private:
    void ComposeExceptionReply(TModbusBuffer& Buffer, std::uint8_t Command, TServerException Exception);
    // A write handler's exception reply: composed only for an addressed query.
    void FailWrite(TModbusTransaction& T, std::uint8_t Command, TServerException Exception);
    // The shared shapes of the two reads, the two single writes and the two multiple writes.
    void HandleRead(TModbusTransaction& T, std::uint8_t Command);
    void HandleWriteSingle(TModbusTransaction& T, std::uint8_t Command);
    void HandleWriteMultiple(TModbusTransaction& T, std::uint8_t Command);
    void HandleReadBits(TModbusTransaction& T, bool Coils);
    void HandleReadRegisters(TModbusTransaction& T, bool Holding);
    void HandleWriteSingleCoil(TModbusTransaction& T);
    void HandleWriteSingleRegister(TModbusTransaction& T);
    void HandleWriteMultipleCoils(TModbusTransaction& T);
    void HandleWriteMultipleRegisters(TModbusTransaction& T);

    TModbusTransaction* FActiveTransaction = nullptr;
    std::uint8_t FAddress = 1;
    TModbusConnection* FConnection = nullptr;
};

} // namespace Quorvel
