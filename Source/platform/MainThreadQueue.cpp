// The main-thread queue: one FIFO of posted messages and synchronous calls,
// with eventfd descriptors that a GUI's event loop or a waiting thread can poll.

#include "detail/MainThreadQueue.h"

#include "QuorvelPlatform.h"
#include "detail/Event.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <thread>
#include <variant>
#include <vector>

namespace Quorvel::detail {

namespace {

struct TPosted {
    TMessageTarget* Target;
    unsigned Message;
    std::uintptr_t Param;
    std::unique_ptr<TMessagePayload> Payload;
};

// How long a worker in a synchronous call watches for its end before it sleeps.
constexpr auto SyncSpin = std::chrono::microseconds(200);

// A synchronous call, owned by the waiting worker's stack frame.
struct TCall {
    const std::function<void()>* Run;
    std::exception_ptr Error;
    std::atomic<bool> Done{false}; // set once Run and Error are final
};

using TItem = std::variant<TPosted, TCall*>;

std::thread::id& MainThreadId() {
    static std::thread::id Id;
    return Id;
}

// The library starts on the main thread: static initialisation runs there.
const bool MainThreadRecorded = [] {
    MainThreadId() = std::this_thread::get_id();
    return true;
}();

} // namespace

class TMainThreadQueue {
public:
    static TMainThreadQueue& Instance() {
        static TMainThreadQueue Queue;
        return Queue;
    }

    void Post(TPosted Item) {
        std::lock_guard Lock(FLock);
        FItems.emplace_back(std::move(Item));
        // The event is set from the first item until the queue is empty again;
        // signalling it once is enough (each Set is a system call).
        if (FItems.size() == 1)
            FPending.Set();
    }

    void Drop(TMessageTarget* Target) {
        std::vector<std::unique_ptr<TMessagePayload>> Released;
        {
            std::lock_guard Lock(FLock);
            for (auto It = FItems.begin(); It != FItems.end();) {
                auto* P = std::get_if<TPosted>(&*It);
                if (P != nullptr && P->Target == Target) {
                    Released.push_back(std::move(P->Payload));
                    It = FItems.erase(It);
                } else {
                    ++It;
                }
            }
            if (FItems.empty())
                FPending.Reset();
        }
        // Released here, outside the lock: a payload's destructor may be heavy.
    }

    void Synchronize(const std::function<void()>& Run) {
        TCall Call{&Run, nullptr};
        {
            std::unique_lock Lock(FLock);
            FItems.emplace_back(&Call);
            if (FItems.size() == 1)
                FPending.Set();
            if (FCalls++ == 0)
                FSyncPending.Set();
        }
        // Most calls (a server's request handled on the main thread) take the
        // main thread a few microseconds: the worker watches for the end for a
        // moment before it sleeps, which spares the reply a wake-up.
        const auto SpinUntil = std::chrono::steady_clock::now() + SyncSpin;
        while (!Call.Done.load(std::memory_order_acquire) && std::chrono::steady_clock::now() < SpinUntil) {
        }
        if (!Call.Done.load(std::memory_order_acquire)) {
            std::unique_lock Lock(FLock);
            FDone.wait(Lock, [&] { return Call.Done.load(std::memory_order_relaxed); });
        }
        if (Call.Error)
            std::rethrow_exception(Call.Error);
    }

    int Process(bool CallsOnly) {
        int Handled = 0;
        std::size_t Budget;
        {
            std::lock_guard Lock(FLock);
            Budget = FItems.size();
        }
        // Only what was queued when the call began: a handler that posts more
        // does not keep the main thread here forever.
        while (Budget-- > 0) {
            TItem Item;
            {
                std::lock_guard Lock(FLock);
                auto It = FItems.begin();
                if (CallsOnly) {
                    if (FCalls == 0)
                        break;
                    while (It != FItems.end() && !std::holds_alternative<TCall*>(*It))
                        ++It;
                }
                if (It == FItems.end())
                    break;
                Item = std::move(*It);
                FItems.erase(It);
                if (FItems.empty())
                    FPending.Reset();
                // A count of the queued calls, not a scan of the queue: the queue
                // may hold thousands of posted messages.
                if (std::holds_alternative<TCall*>(Item) && --FCalls == 0)
                    FSyncPending.Reset();
            }
            Run(Item);
            ++Handled;
        }
        return Handled;
    }

    int PendingHandle() const noexcept { return FPending.Fd(); }
    int SyncHandle() const noexcept { return FSyncPending.Fd(); }
    bool WaitPending(std::uint32_t TimeoutMs) { return FPending.Wait(TimeoutMs); }

private:
    void Run(TItem& Item) {
        if (auto* P = std::get_if<TPosted>(&Item)) {
            try {
                P->Target->FHandler(P->Message, P->Param, std::move(P->Payload));
            } catch (...) {
                ShowApplicationException(nullptr, std::current_exception());
            }
            return;
        }
        TCall* Call = std::get<TCall*>(Item);
        try {
            (*Call->Run)();
        } catch (...) {
            Call->Error = std::current_exception();
        }
        {
            // Under the lock, so that a worker about to wait cannot miss it.
            std::lock_guard Lock(FLock);
            Call->Done.store(true, std::memory_order_release);
        }
        FDone.notify_all();
    }

    std::mutex FLock;
    std::condition_variable FDone;
    std::deque<TItem> FItems;
    std::size_t FCalls = 0;    // synchronous calls in FItems
    TEvent FPending{true};     // set while anything is queued
    TEvent FSyncPending{true}; // set while a synchronous call is queued
};

TMessageTarget::TMessageTarget(THandler Handler) : FHandler(std::move(Handler)) {}

TMessageTarget::~TMessageTarget() {
    TMainThreadQueue::Instance().Drop(this);
}

void TMessageTarget::Post(unsigned Message, std::uintptr_t Param, std::unique_ptr<TMessagePayload> Payload) {
    TMainThreadQueue::Instance().Post(TPosted{this, Message, Param, std::move(Payload)});
}

bool IsMainThread() noexcept {
    return std::this_thread::get_id() == MainThreadId();
}

void Synchronize(const std::function<void()>& Call) {
    if (IsMainThread()) {
        Call();
        return;
    }
    TMainThreadQueue::Instance().Synchronize(Call);
}

void CheckSynchronize() {
    if (IsMainThread())
        TMainThreadQueue::Instance().Process(true);
}

int SynchronizeHandle() noexcept {
    return TMainThreadQueue::Instance().SyncHandle();
}

} // namespace Quorvel::detail

namespace Quorvel {

int ProcessMessages() {
    if (!detail::IsMainThread())
        return 0;
    return detail::TMainThreadQueue::Instance().Process(false);
}

bool WaitForMessages(std::uint32_t TimeoutMs) {
    return detail::TMainThreadQueue::Instance().WaitPending(TimeoutMs);
}

int MessageQueueHandle() noexcept {
    return detail::TMainThreadQueue::Instance().PendingHandle();
}

} // namespace Quorvel
