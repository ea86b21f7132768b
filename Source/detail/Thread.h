// Internal to the Quorvel library; not part of its API.
#pragma once

#include "../QuorvelPlatform.h"
#include "Event.h"

#include <atomic>
#include <thread>

namespace Quorvel::detail {

// A thread with a termination request and a priority. The derived class calls
// Start() at the end of its constructor (so Execute never runs on a half-built
// object) and WaitFor() in its destructor (so it never outlives its members).
class TThread {
public:
    TThread() = default;
    virtual ~TThread();

    TThread(const TThread&) = delete;
    TThread& operator=(const TThread&) = delete;

    void Terminate() noexcept { FTerminated.store(true); }
    bool Terminated() const noexcept { return FTerminated.load(); }
    // Applies Priority to the running thread, best effort: a priority the system
    // refuses is left as it was, never an error.
    void SetPriority(TThreadPriority Priority) noexcept;
    TThreadPriority Priority() const noexcept { return FPriority.load(); }
    // Waits until Execute has returned; at once when it has or never started.
    // On the main thread it keeps running the worker's synchronous calls while
    // it waits, so a worker blocked in one can reach its end.
    void WaitFor() noexcept;
    bool IsCurrentThread() const noexcept { return std::this_thread::get_id() == FThread.get_id(); }

protected:
    virtual void Execute() = 0;
    void Start();

private:
    void Run() noexcept;
    void ApplyPriority(std::thread::native_handle_type Handle) noexcept;

    std::thread FThread;
    std::atomic<bool> FTerminated{false};
    std::atomic<TThreadPriority> FPriority{tpNormal};
    std::atomic<long> FNativeId{0}; // the kernel thread id, once running
    TEvent FFinished{true};         // set when Execute has returned
};

} // namespace Quorvel::detail
