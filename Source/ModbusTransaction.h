// Quorvel: transactions, their outcome and the Modbus exception kinds.
#pragma once

#include "ModbusBuffer.h"

#include <cstdint>

namespace Quorvel {

class TModbusClient;

// The outcome of a transaction. The order matters: the engine stops retrying
// once the outcome is above srUnexpectedReply.
enum TServerReply {
    srNone,            // nothing usable came back (write failed, or no byte in time); also while queued
    srInvalidFrame,    // bytes arrived but formed no valid frame (length, ASCII framing, CRC/LRC)
    srUnexpectedReply, // a valid frame from another address; never the final outcome
    srUnmatchedReply,  // the reply does not answer the request (function code or content)
    srExceptionReply,  // a Modbus exception reply; Exception and ExceptionCode are filled
    srNormalReply,     // a valid reply; for a broadcast, the query was written
};

// Modbus exception kinds; the ordinal of each is the exception code it stands for.
enum TServerException {
    seUnknown, // code 0 and every code from 9 to 255
    seIllegalCommand,
    seIllegalDataAddress,
    seIllegalDataValue,
    seServerFailure,
    seAcknowledge,
    seServerBusy,
    seNegativeAcknowledge,
    seMemoryParityError,
};

// Codes 1 to 8 map to the kind with that ordinal; every other code to seUnknown.
TServerException ServerExceptionFromCode(std::uint8_t Code) noexcept;

// A transaction's identity and outcome, handed read-only to completion events.
struct TTransactionInfo {
    std::uint32_t ID = 0;      // unique per connection; the value the request returned
    std::uint8_t Address = 0;  // the server address of the query; 0 is broadcast
    void* UserData = nullptr;  // the application's value; never looked at by the library
    std::uint32_t Retries = 0; // attempts made (1 when answered at the first)
    TServerReply Reply = srNone;
    TServerException Exception = seUnknown; // for srExceptionReply only
    std::uint8_t ExceptionCode = 0;         // raw exception code, for srExceptionReply only
};

// One Modbus exchange: the query frame and, unless it is a broadcast, the reply.
//
// A transaction has no lock. It is owned by exactly one party at a time: the
// request that builds it, the connection's queue, the worker thread while it is
// on the line, and finally the main-thread hand-off, which frees it.
class TModbusTransaction {
public:
    // Both buffers get capacity BufCapacity (the connection's frame capacity).
    explicit TModbusTransaction(std::uint32_t BufCapacity);
    virtual ~TModbusTransaction();

    TModbusTransaction(const TModbusTransaction&) = delete;
    TModbusTransaction& operator=(const TModbusTransaction&) = delete;

    TModbusBuffer& QueryBuffer() noexcept { return FQueryBuffer; }
    const TModbusBuffer& QueryBuffer() const noexcept { return FQueryBuffer; }
    TModbusBuffer& ReplyBuffer() noexcept { return FReplyBuffer; }
    const TModbusBuffer& ReplyBuffer() const noexcept { return FReplyBuffer; }

private:
    // Declared query first, so the reply buffer is released first.
    TModbusBuffer FQueryBuffer;
    TModbusBuffer FReplyBuffer;

public:
    bool Custom = false;                 // made by the client's custom-transaction request
    TTransactionInfo Info;               // identity and outcome
    TModbusClient* Originator = nullptr; // not owned; empty for broadcast writes and received queries
    bool Promiscuous = false;            // a reply from any address counts as the reply
};

} // namespace Quorvel
