// Internal to the Quorvel library; not part of its API.
#pragma once

#include "../ModbusConnection.h"
#include "../ModbusTransaction.h"
#include "Event.h"
#include "MainThreadQueue.h"
#include "Thread.h"

#include <deque>
#include <memory>
#include <mutex>
#include <vector>

namespace Quorvel::detail {

// The worker's messages to the connection's message target: a finished client
// transaction (Param 0), and a copy of a frame's line bytes (Param 1 for a sent
// frame, 0 for a received one).
inline constexpr unsigned WM_USER = 0x0400;
inline constexpr unsigned MsgTransactionDone = WM_USER + 1;
inline constexpr unsigned MsgFrameCopy = WM_USER + 2;

struct TTransactionPayload : TMessagePayload {
    explicit TTransactionPayload(std::unique_ptr<TModbusTransaction> T) : Transaction(std::move(T)) {}
    std::unique_ptr<TModbusTransaction> Transaction;
};

struct TFramePayload : TMessagePayload {
    TFramePayload(const std::uint8_t* Bytes, std::int32_t Count) : Data(Bytes, Bytes + Count) {}
    TFrameData Data;
};

// The worker thread of an open connection: it runs the client loop or the
// server loop, by the connection's mode when it starts, and owns the queue of
// client transactions waiting for the line.
class TTransactionThread : public TThread {
public:
    // Starts running at once, with the connection's ThreadPriority.
    explicit TTransactionThread(TModbusConnection& AConnection);
    // Stops the thread and waits for it: a client transaction on the line
    // finishes its attempts first. Queued transactions are freed without events.
    ~TTransactionThread() override;

    // Main thread: appends to the queue and wakes the client loop.
    void Enqueue(std::unique_ptr<TModbusTransaction> Transaction);
    // The queued transactions to Client's ServerAddress, all when Client is empty.
    std::int32_t CountPendingTransactions(const TModbusClient* Client) const;
    // Frees Client's queued transactions (all when empty), from the back.
    void DiscardPendingTransactions(const TModbusClient* Client);
    // Copies of the queued query frames, in queue order (for inspection).
    std::vector<std::vector<std::uint8_t>> QueuedQueries() const;

protected:
    void Execute() override;

private:
    // Worker: the first queued transaction, or none.
    std::unique_ptr<TModbusTransaction> Dequeue();
    void ClientExecute();
    void ServerExecute();
    // Runs one client transaction on the line, all its attempts, then hands it on.
    void ProcessTransaction(std::unique_ptr<TModbusTransaction> T);
    // Receives and judges the reply to T within one attempt.
    TServerReply ReceiveReply(TModbusTransaction& T, std::int32_t QuerySize);
    // Posts a copy of line bytes for OnFrameSend (Sent) or OnFrameReceive.
    void NotifyFrame(const std::uint8_t* Bytes, std::int32_t Count, bool Sent);
    // Shows the error being handled on the main thread (never for EAbort).
    virtual void HandleException(std::exception_ptr Error);

    // How long the server loop rests after a receive that brought nothing.
    static constexpr std::uint32_t FailedPortPause = 100;

    TModbusConnection& FConnection;
    TModbusTransaction* FRemoteTransaction = nullptr; // the query handed to the main thread
    TEvent FEvent{false}; // wakes the client loop: a transaction queued, or the stop
    std::vector<std::uint8_t> FInputBuffer;
    std::vector<std::uint8_t> FOutputBuffer;
    std::int32_t FInterimBufferSize;
    mutable std::mutex FQueueLock;
    std::deque<std::unique_ptr<TModbusTransaction>> FTransactionQueue;
};

} // namespace Quorvel::detail
