// The worker thread of a connection: its life, its queue and its loops.

#include "detail/TransactionThread.h"

#include "ModbusClient.h"
#include "detail/ConnectionAccess.h"

#include <thread>

namespace Quorvel::detail {

TTransactionThread::TTransactionThread(TModbusConnection& AConnection)
    : FConnection(AConnection), FInterimBufferSize(TConnectionAccess::InterimBufferSize(AConnection)) {
    FInputBuffer.resize(static_cast<std::size_t>(FInterimBufferSize));
    FOutputBuffer.resize(static_cast<std::size_t>(FInterimBufferSize));
    SetPriority(AConnection.ThreadPriority());
    Start();
}

TTransactionThread::~TTransactionThread() {
    Terminate();
    // Wake whatever the loop waits on: the queue event in client mode, the break
    // event for a receive without time limit (both modes).
    TConnectionAccess::BreakEvent(FConnection).Set();
    FEvent.Set();
    std::this_thread::yield();
    WaitFor();
    std::lock_guard Lock(FQueueLock);
    FTransactionQueue.clear();
}

void TTransactionThread::Enqueue(std::unique_ptr<TModbusTransaction> Transaction) {
    {
        std::lock_guard Lock(FQueueLock);
        FTransactionQueue.push_back(std::move(Transaction));
    }
    FEvent.Set();
}

std::unique_ptr<TModbusTransaction> TTransactionThread::Dequeue() {
    std::lock_guard Lock(FQueueLock);
    if (FTransactionQueue.empty())
        return nullptr;
    auto T = std::move(FTransactionQueue.front());
    FTransactionQueue.pop_front();
    return T;
}

std::int32_t TTransactionThread::CountPendingTransactions(const TModbusClient* Client) const {
    std::lock_guard Lock(FQueueLock);
    if (Client == nullptr)
        return static_cast<std::int32_t>(FTransactionQueue.size());
    // By address, not originator: another client's requests to the same server count too.
    std::int32_t Count = 0;
    for (const auto& T : FTransactionQueue) {
        if (T->Info.Address == Client->ServerAddress())
            ++Count;
    }
    return Count;
}

void TTransactionThread::DiscardPendingTransactions(const TModbusClient* Client) {
    std::lock_guard Lock(FQueueLock);
    if (Client == nullptr) {
        FTransactionQueue.clear();
        return;
    }
    for (auto It = FTransactionQueue.end(); It != FTransactionQueue.begin();) {
        --It;
        if ((*It)->Originator == Client)
            It = FTransactionQueue.erase(It);
    }
}

std::vector<std::vector<std::uint8_t>> TTransactionThread::QueuedQueries() const {
    std::lock_guard Lock(FQueueLock);
    std::vector<std::vector<std::uint8_t>> Queries;
    for (const auto& T : FTransactionQueue) {
        const auto& Q = T->QueryBuffer();
        Queries.emplace_back(Q.StartPtr(), Q.StartPtr() + Q.Size());
    }
    return Queries;
}

void TTransactionThread::Execute() {
    if (FConnection.ConnectionMode() == cmServer)
        ServerExecute();
    else
        ClientExecute();
}

void TTransactionThread::ClientExecute() {
    // The client loop runs the queued transactions on the line; until it does,
    // the thread only waits to be stopped and leaves the queue alone.
    while (!Terminated())
        FEvent.Wait(InfiniteTimeout);
}

void TTransactionThread::ServerExecute() {
    while (!Terminated())
        TConnectionAccess::BreakEvent(FConnection).Wait(InfiniteTimeout);
}

} // namespace Quorvel::detail
