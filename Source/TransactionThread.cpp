// The worker thread of a connection: its life, its queue and its loops.

#include "detail/TransactionThread.h"

#include "ModbusClient.h"
#include "detail/ConnectionAccess.h"

#include <chrono>
#include <cstring>
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

void TTransactionThread::HandleException(std::exception_ptr Error) {
    // The worker waits until the main thread has shown it.
    Synchronize([&] { ShowApplicationException(&FConnection, Error); });
}

void TTransactionThread::NotifyFrame(const std::uint8_t* Bytes, std::int32_t Count, bool Sent) {
    if (Count <= 0)
        return;
    // Posted whether or not a handler is assigned now: the handlers belong to the
    // main thread, and the dispatcher there decides.
    TConnectionAccess::InternalWindow(FConnection)
        .Post(MsgFrameCopy, Sent ? 1 : 0, std::make_unique<TFramePayload>(Bytes, Count));
}

void TTransactionThread::ClientExecute() {
    // The line was purged by the open, before this thread started.
    while (!Terminated()) {
        FEvent.Wait(InfiniteTimeout);
        // The whole queue is drained before the next wait.
        while (!Terminated()) {
            auto T = Dequeue();
            if (!T)
                break;
            try {
                ProcessTransaction(std::move(T));
            } catch (...) {
                // The transaction is gone with the error; the loop goes on.
                HandleException(std::current_exception());
            }
        }
    }
}

namespace {

void SleepMs(std::uint32_t Ms) {
    if (Ms > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(Ms));
}

} // namespace

void TTransactionThread::ProcessTransaction(std::unique_ptr<TModbusTransaction> T) {
    auto& C = FConnection;
    using A = TConnectionAccess;
    T->Info.Retries = 0;
    // Encoded once for all attempts.
    const std::int32_t QuerySize =
        A::EncodeFrame(C, T->QueryBuffer(), FOutputBuffer.data(), FInterimBufferSize);
    const bool Broadcast = T->Info.Address == 0 && !T->Custom;
    for (;;) {
        T->Info.Reply = srNone;
        ++T->Info.Retries;
        NotifyFrame(FOutputBuffer.data(), QuerySize, true);
        // Anything still arriving from before belongs to no one.
        A::PurgeLine(C, true, true);
        if (A::WriteFrame(C, FOutputBuffer.data(), QuerySize, C.SendTimeout())) {
            if (Broadcast) {
                SleepMs(C.TurnaroundDelay());
                T->Info.Reply = srNormalReply;
            } else {
                T->Info.Reply = ReceiveReply(*T, QuerySize);
            }
        }
        SleepMs(C.RefetchDelay());
        // An answer of any kind ends the transaction; silence or damage is retried.
        if (T->Info.Reply > srUnexpectedReply || T->Info.Retries >= C.MaxRetries())
            break;
    }
    if (Broadcast)
        return; // freed here: a broadcast has no completion of any kind
    A::InternalWindow(C).Post(MsgTransactionDone, 0, std::make_unique<TTransactionPayload>(std::move(T)));
}

TServerReply TTransactionThread::ReceiveReply(TModbusTransaction& T, std::int32_t QuerySize) {
    auto& C = FConnection;
    using A = TConnectionAccess;
    std::uint8_t* In = FInputBuffer.data();
    // Two-wire adapters echo the query before the reply comes: only the first
    // frame can be the echo. A write's reply repeats its query, so a frame alike
    // after a skipped one is the reply.
    bool EchoDue = C.EchoQueryBeforeReply();
    for (;;) {
        std::int32_t N = A::ReceiveFrame(C, In, FInterimBufferSize, C.ReceiveTimeout());
        const bool Echo = EchoDue && N >= QuerySize &&
                          std::memcmp(In, FOutputBuffer.data(), static_cast<std::size_t>(QuerySize)) == 0;
        EchoDue = false;
        if (Echo) {
            if (N == QuerySize) {
                N = A::ReceiveFrame(C, In, FInterimBufferSize, C.ReceiveTimeout());
            } else {
                std::memmove(In, In + QuerySize, static_cast<std::size_t>(N - QuerySize));
                N -= QuerySize;
            }
        }
        NotifyFrame(In, N, false);
        if (N == 0)
            return srNone;
        if (!A::DecodeFrame(C, In, N, T.ReplyBuffer()))
            return srInvalidFrame;
        // A frame from another server is skipped as if it had not arrived.
        if (!A::IsAddressAccepted(C, T.QueryBuffer(), T.ReplyBuffer(), T.Promiscuous))
            continue;
        if (!A::IsSameCommand(C, T.QueryBuffer(), T.ReplyBuffer()))
            return srUnmatchedReply;
        if (A::IsExceptionReply(C, T.ReplyBuffer())) {
            A::DecodeExceptionReply(C, T.ReplyBuffer(), T.Info.Exception, T.Info.ExceptionCode);
            return srExceptionReply;
        }
        return srNormalReply;
    }
}

void TTransactionThread::ServerExecute() {
    auto& C = FConnection;
    using A = TConnectionAccess;
    // The line was purged by the open, before this thread started.
    // One transaction for the loop's whole life, reused for every query.
    auto T = std::make_unique<TModbusTransaction>(static_cast<std::uint32_t>(A::FrameCapacity(C)));
    std::uint8_t* In = FInputBuffer.data();
    std::uint8_t* Out = FOutputBuffer.data();
    while (!Terminated()) {
        try {
            const std::int32_t N = A::ReceiveFrame(C, In, FInterimBufferSize, InfiniteTimeout);
            if (N == 0) {
                // No bytes: the close signal, or a port whose waits fail (a cable
                // pulled from a USB adapter). Not a frame; pace the retry so a
                // dead port does not spin, while a close still ends it at once.
                if (!Terminated())
                    A::BreakEvent(C).Wait(FailedPortPause);
                continue;
            }
            NotifyFrame(In, N, false);
            if (!A::DecodeFrame(C, In, N, T->QueryBuffer())) {
                Synchronize([&] { A::InvalidFrameDiscard(C); });
                continue;
            }
            T->Info.Address = A::GetFrameAddress(C, T->QueryBuffer());
            T->ReplyBuffer().SetSize(0);
            FRemoteTransaction = T.get();
            Synchronize([&] { C.ProcessRemoteTransaction(*FRemoteTransaction); });
            FRemoteTransaction = nullptr;
            // A broadcast is never answered; nor is a query no local server took.
            if (T->Info.Address == 0 || T->ReplyBuffer().Size() == 0)
                continue;
            const std::int32_t M = A::EncodeFrame(C, T->ReplyBuffer(), Out, FInterimBufferSize);
            NotifyFrame(Out, M, true);
            A::PurgeLine(C, true, true);
            A::WriteFrame(C, Out, M, C.SendTimeout()); // a failed reply write is not reported
        } catch (...) {
            FRemoteTransaction = nullptr;
            HandleException(std::current_exception());
        }
    }
}

} // namespace Quorvel::detail
