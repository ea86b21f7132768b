// The main-thread queue: posting order, payload ownership, synchronous calls
// and their errors, and a worker that is stopped while it waits in one.

#include <Quorvel.h>
#include <detail/MainThreadQueue.h>
#include <detail/Thread.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

using namespace Quorvel;
using namespace std::chrono_literals;

namespace {

// Counts live payloads, so a test can see every one released.
struct TCountedPayload : detail::TMessagePayload {
    explicit TCountedPayload(int AValue) : Value(AValue) { ++Live; }
    ~TCountedPayload() override { --Live; }
    int Value;
    static inline std::atomic<int> Live{0};
};

void DrainQueue() {
    while (ProcessMessages() > 0) {
    }
}

} // namespace

TEST(MainThreadQueueTest, PostedMessagesArriveInOrderFromAnyThread) {
    DrainQueue();
    std::vector<int> Seen;
    detail::TMessageTarget Target([&](unsigned Message, std::uintptr_t Param, auto Payload) {
        Seen.push_back(static_cast<int>(Message * 100 + Param) +
                       static_cast<TCountedPayload&>(*Payload).Value);
    });
    std::thread Worker([&] {
        for (int I = 0; I < 5; ++I)
            Target.Post(1, 0, std::make_unique<TCountedPayload>(I));
    });
    Worker.join();
    Target.Post(2, 3, std::make_unique<TCountedPayload>(0));
    EXPECT_GE(MessageQueueHandle(), 0);
    EXPECT_TRUE(WaitForMessages(0));
    EXPECT_EQ(ProcessMessages(), 6);
    EXPECT_EQ(Seen, (std::vector<int>{100, 101, 102, 103, 104, 203}));
    EXPECT_EQ(TCountedPayload::Live, 0);
    EXPECT_FALSE(WaitForMessages(0));
}

TEST(MainThreadQueueTest, UndeliveredPayloadsAreReleasedWithTheirTarget) {
    DrainQueue();
    int Handled = 0;
    auto Other = std::make_unique<detail::TMessageTarget>([&](auto&&...) { ++Handled; });
    {
        detail::TMessageTarget Doomed([&](auto&&...) { ADD_FAILURE() << "delivered after destruction"; });
        Doomed.Post(1, 0, std::make_unique<TCountedPayload>(1));
        Other->Post(1, 0, std::make_unique<TCountedPayload>(2));
        Doomed.Post(1, 0, std::make_unique<TCountedPayload>(3));
        EXPECT_EQ(TCountedPayload::Live, 3);
    }
    EXPECT_EQ(TCountedPayload::Live, 1); // only the other target's message is left
    EXPECT_EQ(ProcessMessages(), 1);
    EXPECT_EQ(Handled, 1);
    EXPECT_EQ(TCountedPayload::Live, 0);
}

TEST(MainThreadQueueTest, HandlerErrorGoesToTheDisplayAndTheRestIsHandled) {
    DrainQueue();
    std::vector<std::string> Shown;
    auto Previous = SetApplicationExceptionHandler(
        [&](TComponent*, std::exception_ptr E) { Shown.push_back(ExceptionMessage(E)); });
    int Handled = 0;
    detail::TMessageTarget Target([&](unsigned Message, auto&&...) {
        ++Handled;
        if (Message == 1)
            throw std::runtime_error("boom");
        if (Message == 2)
            throw EAbort(); // silent
    });
    for (unsigned M : {1u, 2u, 3u})
        Target.Post(M, 0, nullptr);
    EXPECT_EQ(ProcessMessages(), 3);
    SetApplicationExceptionHandler(Previous);
    EXPECT_EQ(Handled, 3);
    EXPECT_EQ(Shown, std::vector<std::string>{"boom"});
}

TEST(MainThreadQueueTest, SynchronousCallRunsOnTheMainThreadAndReturnsItsError) {
    DrainQueue();
    const auto Main = std::this_thread::get_id();
    std::thread::id RanOn;
    std::string WorkerSaw;
    std::atomic<bool> Finished{false};
    std::thread Worker([&] {
        detail::Synchronize([&] { RanOn = std::this_thread::get_id(); });
        try {
            detail::Synchronize([] { throw EQuorvelError(qmInternalError); });
        } catch (const EQuorvelError& E) {
            WorkerSaw = E.what();
        }
        Finished = true;
    });
    const auto Deadline = std::chrono::steady_clock::now() + 3s;
    while (!Finished && std::chrono::steady_clock::now() < Deadline) {
        WaitForMessages(10);
        ProcessMessages();
    }
    Worker.join();
    EXPECT_EQ(RanOn, Main);
    EXPECT_EQ(WorkerSaw, "Internal error");

    bool Direct = false; // on the main thread itself it runs at once
    detail::Synchronize([&] { Direct = true; });
    EXPECT_TRUE(Direct);
}

namespace {

// A worker that asks the main thread for something until it is stopped.
class TAskingThread : public detail::TThread {
public:
    TAskingThread() { Start(); }
    ~TAskingThread() override {
        Terminate();
        WaitFor();
    }
    std::atomic<int> Calls{0};

protected:
    void Execute() override {
        while (!Terminated()) {
            detail::Synchronize([this] { ++Calls; });
            std::this_thread::sleep_for(1ms);
        }
    }
};

} // namespace

TEST(MainThreadQueueTest, StoppingAWorkerThatWaitsInASynchronousCallDoesNotDeadlock) {
    DrainQueue();
    auto Worker = std::make_unique<TAskingThread>();
    std::this_thread::sleep_for(20ms); // it is now blocked, waiting for the main thread
    const auto Start = std::chrono::steady_clock::now();
    Worker.reset(); // WaitFor runs its pending call, so it can see the stop
    EXPECT_LT(std::chrono::steady_clock::now() - Start, 2s);
    DrainQueue();
}
