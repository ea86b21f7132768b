// Worker threads on Linux: std::thread plus per-thread scheduling.

#include "detail/Thread.h"

#include "detail/MainThreadQueue.h"

#include <cerrno>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace Quorvel::detail {

TThread::~TThread() {
    WaitFor();
}

void TThread::Start() {
    FThread = std::thread([this] { Run(); });
}

void TThread::Run() noexcept {
    FNativeId.store(static_cast<long>(syscall(SYS_gettid)));
    ApplyPriority(pthread_self());
    Execute();
    FFinished.Set();
}

void TThread::WaitFor() noexcept {
    if (!FThread.joinable() || IsCurrentThread())
        return;
    if (IsMainThread()) {
        pollfd Fds[2] = {{FFinished.Fd(), POLLIN, 0}, {SynchronizeHandle(), POLLIN, 0}};
        for (;;) {
            const int R = poll(Fds, 2, -1);
            if (R < 0 && errno != EINTR)
                break; // cannot wait here any more; join below still waits for the end
            if (Fds[0].revents != 0)
                break;
            if (Fds[1].revents != 0)
                CheckSynchronize();
        }
    }
    FThread.join();
}

void TThread::SetPriority(TThreadPriority Priority) noexcept {
    FPriority.store(Priority);
    if (FNativeId.load() != 0 && FThread.joinable())
        ApplyPriority(FThread.native_handle());
}

void TThread::ApplyPriority(pthread_t Handle) noexcept {
    const long Tid = FNativeId.load();
    const TThreadPriority P = FPriority.load();
    // Idle and time-critical map to the idle and real-time policies; the rest to
    // nice values of the ordinary policy. Raising a priority needs privileges the
    // process may not have: a refusal leaves the thread as it was, by design.
    sched_param Param{};
    if (P == tpIdle) {
        (void)pthread_setschedparam(Handle, SCHED_IDLE, &Param);
        return;
    }
    if (P == tpTimeCritical) {
        Param.sched_priority = sched_get_priority_min(SCHED_FIFO);
        if (pthread_setschedparam(Handle, SCHED_FIFO, &Param) == 0)
            return;
        Param.sched_priority = 0;
    }
    (void)pthread_setschedparam(Handle, SCHED_OTHER, &Param);
    static constexpr int Nice[] = {19, 10, 5, 0, -5, -10, -15};
    (void)setpriority(PRIO_PROCESS, static_cast<id_t>(Tid), Nice[P]);
}

} // namespace Quorvel::detail
