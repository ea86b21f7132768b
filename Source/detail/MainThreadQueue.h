// Internal to the Quorvel library; not part of its API.
// The main-thread queue behind ProcessMessages: posted messages to message
// targets (each connection has one, in place of a hidden window) and
// synchronous calls from worker threads.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

namespace Quorvel::detail {

// What a posted message carries; the queue owns it until the target's handler
// takes it, and releases it when the message is never handled.
class TMessagePayload {
public:
    virtual ~TMessagePayload() = default;
};

// A receiver of posted messages on the main thread.
class TMessageTarget {
public:
    using THandler =
        std::function<void(unsigned Message, std::uintptr_t Param, std::unique_ptr<TMessagePayload> Payload)>;

    // Handler runs on the main thread, once per message, in posting order.
    explicit TMessageTarget(THandler Handler);
    // Messages still queued for this target are dropped, their payloads released.
    ~TMessageTarget();

    TMessageTarget(const TMessageTarget&) = delete;
    TMessageTarget& operator=(const TMessageTarget&) = delete;

    // Any thread: queues a message. From here on the queue owns Payload.
    void Post(unsigned Message, std::uintptr_t Param, std::unique_ptr<TMessagePayload> Payload);

private:
    friend class TMainThreadQueue;
    THandler FHandler;
};

// True on the thread that started the library.
bool IsMainThread() noexcept;

// Runs Call on the main thread and waits until it has run; an exception it
// raises is raised again here. On the main thread Call runs at once.
void Synchronize(const std::function<void()>& Call);

// Main thread: runs the synchronous calls that wait, and no posted message.
// Used while the main thread waits for a worker to end, so that a worker
// blocked in Synchronize can finish.
void CheckSynchronize();

// A descriptor that is readable while a synchronous call waits.
int SynchronizeHandle() noexcept;

} // namespace Quorvel::detail
