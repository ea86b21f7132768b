// Open and close under load: a connection is opened and closed over and over
// while requests are queued, a transaction is on the line and the far end keeps
// sending frames. No close may hang, every queued transaction is released, and
// no descriptor or thread is left behind. QUORVEL_LIFECYCLE_CYCLES sets the
// number of cycles per mode.

#include <Quorvel.h>

#include "Stress/StressSupport.h"
#include "Support/ClientFixture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <random>
#include <thread>

using namespace Quorvel;
using namespace QuorvelTest;
using Clock = std::chrono::steady_clock;

namespace {

// A transaction that counts the live ones, so the test sees each released.
struct TCountedTransaction : TModbusTransaction {
    using TModbusTransaction::TModbusTransaction;
    TCountedTransaction(std::uint32_t Capacity) : TModbusTransaction(Capacity) { ++Live; }
    ~TCountedTransaction() override { --Live; }
    static inline std::atomic<int> Live{0};
};

// The far end: answers whatever it reads with Reply and, between reads, keeps
// sending Chatter (frames and noise), until stopped.
class TBusyPeer {
public:
    TBusyPeer(TPtyPair& Pty, TBytes Reply, std::vector<TBytes> Chatter)
        : FPty(Pty), FReply(std::move(Reply)), FChatter(std::move(Chatter)), FThread([this] { Run(); }) {}
    ~TBusyPeer() {
        FStop.store(true);
        FThread.join();
    }
    int Sent() const { return FSent.load(); }

private:
    void Run() {
        std::mt19937 Random(7);
        while (!FStop.load()) {
            // Frames apart: more than the silent interval between them.
            const TBytes In = FPty.Read(1, std::chrono::milliseconds(20 + Random() % 20));
            try {
                if (!In.empty()) {
                    FPty.ReadUntilQuiet(std::chrono::milliseconds(1));
                    FPty.Write(FReply);
                } else {
                    FPty.Write(FChatter[Random() % FChatter.size()]);
                }
                ++FSent;
            } catch (const std::runtime_error&) {
                // Nobody reads the slave while the connection is closed and its queue filled up.
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
        }
    }

    TPtyPair& FPty;
    TBytes FReply;
    std::vector<TBytes> FChatter;
    std::atomic<bool> FStop{false};
    std::atomic<int> FSent{0};
    std::thread FThread;
};

// Fails the test loudly instead of letting a deadlock hang the run.
class TWatchdog {
public:
    explicit TWatchdog(std::chrono::seconds Limit)
        : FThread([this, Limit] {
              std::unique_lock Lock(FLock);
              if (!FDone.wait_for(Lock, Limit, [this] { return FFinished; })) {
                  std::fprintf(stderr, "lifecycle: no progress within %lld s: deadlock\n",
                               static_cast<long long>(Limit.count()));
                  std::abort();
              }
          }) {}
    ~TWatchdog() {
        {
            std::lock_guard Lock(FLock);
            FFinished = true;
        }
        FDone.notify_all();
        FThread.join();
    }

private:
    std::mutex FLock;
    std::condition_variable FDone;
    bool FFinished = false;
    std::thread FThread;
};

class Lifecycle : public ::testing::Test {
protected:
    void SetUp() override {
        PumpFor(std::chrono::milliseconds(10));
        FdsBefore = CountProcEntries("fd");
        ThreadsBefore = CountThreads();
        PreviousHandler = SetApplicationExceptionHandler(
            [this](TComponent*, std::exception_ptr E) { Errors.push_back(ExceptionMessage(E)); });
    }
    void TearDown() override { SetApplicationExceptionHandler(PreviousHandler); }

    void ExpectNothingLeft() {
        PumpFor(std::chrono::milliseconds(20));
        EXPECT_EQ(TCountedTransaction::Live.load(), 0);
        EXPECT_EQ(CountProcEntries("fd"), FdsBefore);
        EXPECT_EQ(CountThreads(), ThreadsBefore);
        EXPECT_TRUE(Errors.empty()) << Errors.front();
    }

    const int Cycles = static_cast<int>(EnvNumber("QUORVEL_LIFECYCLE_CYCLES", 1000));
    int FdsBefore = 0;
    int ThreadsBefore = 0;
    std::vector<std::string> Errors;
    TApplicationExceptionHandler PreviousHandler;
};

const TBytes ReadQuery = {0x01, 0x03, 0x00, 0x00, 0x00, 0x01};
const TBytes ReadReply = {0x01, 0x03, 0x02, 0x00, 0x2A};

} // namespace

TEST_F(Lifecycle, ClientOpenCloseWithQueuedRequestsAndFramesArriving) {
    std::uint64_t Issued = 0, Completed = 0;
    {
        TPtyPair Pty;
        TBusyPeer Peer(Pty, RtuFrame(ReadReply),
                       {RtuFrame(ReadReply), RtuFrame({0x09, 0x03, 0x02, 0x00, 0x01}), TBytes(40, 0x55)});
        TModbusConnection Connection;
        Connection.SetPort(Pty.SlavePath());
        Connection.SetReceiveTimeout(20);
        Connection.SetMaxRetries(2);
        TModbusClient Client;
        Client.SetConnection(&Connection);
        Client.OnTransactionProcessed = [&](TComponent*, const TTransactionInfo&, std::uint8_t, bool) {
            ++Completed;
        };
        std::mt19937 Random(13);
        TWatchdog Watchdog(std::chrono::seconds(300));
        const auto Start = Clock::now();
        for (int Cycle = 0; Cycle < Cycles; ++Cycle) {
            Connection.Open();
            const int Queued = 1 + static_cast<int>(Random() % 6);
            for (int I = 0; I < Queued; ++I) {
                // Requests of the client and hand-made transactions, which count their releases.
                if (I % 2 == 0) {
                    Client.ReadHoldingRegisters(0, 1, nullptr);
                } else {
                    auto T = std::make_unique<TCountedTransaction>(256u);
                    T->Info.ID = Connection.GetNextUniqueID();
                    T->Info.Address = 1;
                    Connection.EmitHeader(&Client, T->QueryBuffer());
                    T->QueryBuffer().PutBlock(ReadQuery.data() + 1,
                                              static_cast<std::int32_t>(ReadQuery.size() - 1));
                    Connection.EmitErrorCheck(T->QueryBuffer());
                    Connection.EnqueueTransaction(std::move(T), &Client);
                }
                ++Issued;
            }
            // Close at once, or with a transaction on the line, or after some have completed.
            if (Cycle % 3 != 0)
                PumpFor(std::chrono::milliseconds(Random() % 4));
            Connection.Close();
            EXPECT_FALSE(Connection.Active());
            if (Cycle % 7 == 0)
                ProcessMessages();
        }
        std::cout << "lifecycle: " << Cycles << " client-mode cycles in "
                  << std::chrono::duration<double>(Clock::now() - Start).count() << " s; " << Issued
                  << " transactions queued, " << Completed << " completed while open; the peer sent "
                  << Peer.Sent() << " frames" << std::endl;
        EXPECT_LE(Completed, Issued);
        EXPECT_GT(Completed, 0u);
    }
    ExpectNothingLeft();
}

TEST_F(Lifecycle, ServerOpenCloseWhileQueriesArrive) {
    int Served = 0;
    {
        TPtyPair Pty;
        // Answers are not looked at: the peer sends a query whenever it read something and in between.
        TBusyPeer Peer(
            Pty, RtuFrame(ReadQuery),
            {RtuFrame(ReadQuery), RtuFrame({0x00, 0x06, 0x00, 0x01, 0x00, 0x02}), TBytes(30, 0xAA)});
        TModbusConnection Connection;
        Connection.SetPort(Pty.SlavePath());
        Connection.SetConnectionMode(cmServer);
        TModbusServer Server;
        Server.SetConnection(&Connection);
        Server.OnAcceptCommand = [&](TComponent*, std::uint8_t, bool& Accept) {
            Accept = true;
            ++Served;
        };
        Server.OnCanReadHoldingRegister = [](TComponent*, std::uint16_t, bool& Allow) { Allow = true; };
        Server.OnCanWriteHoldingRegister = [](TComponent*, std::uint16_t, std::uint16_t,
                                              TItemWriteStatus& S) { S = iwsAllowWrite; };
        std::mt19937 Random(17);
        TWatchdog Watchdog(std::chrono::seconds(300));
        const auto Start = Clock::now();
        for (int Cycle = 0; Cycle < Cycles; ++Cycle) {
            Connection.Open();
            // Close at once, or while the worker waits for the main thread in a query.
            if (Cycle % 3 != 0)
                PumpFor(std::chrono::milliseconds(Random() % 4));
            Connection.Close();
            EXPECT_FALSE(Connection.Active());
        }
        std::cout << "lifecycle: " << Cycles << " server-mode cycles in "
                  << std::chrono::duration<double>(Clock::now() - Start).count() << " s; " << Served
                  << " queries served; the peer sent " << Peer.Sent() << " frames" << std::endl;
        EXPECT_GT(Served, 0);
    }
    ExpectNothingLeft();
}
