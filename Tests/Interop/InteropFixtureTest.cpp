// The interop suite's own line and process fixtures: a fault here would show
// up as a baffling interop failure, so they are checked on their own first.

#include "Support/PeerProcess.h"
#include "Support/PtyBridge.h"

#include <gtest/gtest.h>

#include <cctype>
#include <chrono>
#include <cstdint>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <stdexcept>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace std::chrono_literals;
using QuorvelTest::TPeerProcess;
using QuorvelTest::TPtyBridge;
using TBytes = std::vector<std::uint8_t>;

// A slave end opened the way a program opens its serial port.
class TSlaveEnd {
public:
    explicit TSlaveEnd(const std::string& Path) : FFd(::open(Path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK)) {
        if (FFd == -1)
            throw std::runtime_error("open " + Path);
    }
    ~TSlaveEnd() { (void)::close(FFd); } // test teardown: nothing to recover
    TSlaveEnd(const TSlaveEnd&) = delete;
    TSlaveEnd& operator=(const TSlaveEnd&) = delete;

    void Write(const TBytes& Bytes) {
        std::size_t Done = 0;
        while (Done < Bytes.size()) {
            const ssize_t N = ::write(FFd, Bytes.data() + Done, Bytes.size() - Done);
            if (N > 0) {
                Done += static_cast<std::size_t>(N);
                continue;
            }
            pollfd P{FFd, POLLOUT, 0};
            if (poll(&P, 1, 5000) <= 0)
                throw std::runtime_error("the bridge takes no more bytes");
        }
    }

    // Reads until Count bytes came or nothing came for Quiet.
    TBytes Read(std::size_t Count, std::chrono::milliseconds Quiet = 2000ms) {
        TBytes Bytes;
        while (Bytes.size() < Count) {
            pollfd P{FFd, POLLIN, 0};
            if (poll(&P, 1, static_cast<int>(Quiet.count())) <= 0)
                break;
            std::uint8_t Chunk[512];
            const ssize_t N = ::read(FFd, Chunk, sizeof Chunk);
            if (N > 0)
                Bytes.insert(Bytes.end(), Chunk, Chunk + N);
        }
        return Bytes;
    }

private:
    int FFd;
};

TBytes Numbered(std::size_t Count, std::uint8_t Seed) {
    TBytes Bytes(Count);
    for (std::size_t I = 0; I < Count; ++I)
        Bytes[I] = static_cast<std::uint8_t>(I * 7 + Seed + I / 251);
    return Bytes;
}

TEST(PtyBridge, CarriesEveryByteBothWaysInOrder) {
    // Far more than a pty queues, in both directions at once: the relay must
    // hold back, not drop, what a full side cannot take yet.
    TPtyBridge Bridge;
    TSlaveEnd A(Bridge.SlavePathA());
    TSlaveEnd B(Bridge.SlavePathB());
    const TBytes AtoB = Numbered(200000, 1);
    const TBytes BtoA = Numbered(150000, 99);
    std::thread WriterA([&] { A.Write(AtoB); });
    std::thread WriterB([&] { B.Write(BtoA); });
    // Nobody reads for a while, so every queue on the way fills up.
    std::this_thread::sleep_for(200ms);
    TBytes GotAtB;
    std::thread ReaderB([&] { GotAtB = B.Read(AtoB.size()); });
    const TBytes GotAtA = A.Read(BtoA.size());
    ReaderB.join();
    WriterA.join();
    WriterB.join();
    EXPECT_TRUE(GotAtB == AtoB) << "A to B: " << GotAtB.size() << " of " << AtoB.size()
                                << " bytes, or reordered";
    EXPECT_TRUE(GotAtA == BtoA) << "B to A: " << GotAtA.size() << " of " << BtoA.size()
                                << " bytes, or reordered";
    EXPECT_EQ(Bridge.RelayError(), "");
}

TEST(PtyBridge, FilterSeesEachDirectionAndMayChangeOrDropChunks) {
    std::mutex Lock;
    std::string SeenAtoB, SeenBtoA;
    TPtyBridge Bridge([&](TPtyBridge::TDirection Direction, TBytes& Chunk) {
        std::lock_guard<std::mutex> Guard(Lock);
        (Direction == TPtyBridge::dirAtoB ? SeenAtoB : SeenBtoA).append(Chunk.begin(), Chunk.end());
        if (Direction == TPtyBridge::dirAtoB) {
            for (std::uint8_t& C : Chunk)
                C = static_cast<std::uint8_t>(std::toupper(C));
        } else {
            Chunk.clear();
        }
    });
    TSlaveEnd A(Bridge.SlavePathA());
    TSlaveEnd B(Bridge.SlavePathB());
    A.Write({'h', 'e', 'l', 'l', 'o'});
    EXPECT_EQ(B.Read(5), (TBytes{'H', 'E', 'L', 'L', 'O'}));
    B.Write({'x', 'y'});
    EXPECT_TRUE(A.Read(1, 200ms).empty());
    std::lock_guard<std::mutex> Guard(Lock);
    EXPECT_EQ(SeenAtoB, "hello");
    EXPECT_EQ(SeenBtoA, "xy");
}

std::vector<std::string> Shell(const std::string& Script) {
    return {"/bin/sh", "-c", Script};
}

TEST(PeerProcess, ReadyPeerStopsCleanlyOnSigterm) {
    TPeerProcess Peer(Shell("echo starting >&2; echo READY; exec sleep 30"));
    EXPECT_TRUE(Peer.Running());
    Peer.Stop();
    EXPECT_FALSE(Peer.Running());
    EXPECT_TRUE(Peer.EndedCleanly()) << Peer.End();
    EXPECT_EQ(Peer.StderrText(), "starting\n");
}

TEST(PeerProcess, PeerIgnoringSigtermIsKilledAfterGrace) {
    // An ignored signal stays ignored across exec, so sleep cannot be stopped by SIGTERM.
    TPeerProcess Peer(Shell("trap '' TERM; echo READY; exec sleep 30"));
    const auto Start = std::chrono::steady_clock::now();
    Peer.Stop(300ms);
    EXPECT_LT(std::chrono::steady_clock::now() - Start, 10s);
    EXPECT_FALSE(Peer.EndedCleanly());
    EXPECT_NE(Peer.End().find("SIGKILL"), std::string::npos) << Peer.End();
}

TEST(PeerProcess, PeerThatIsNeverReadyIsAClearError) {
    struct TCase {
        const char* Name;
        std::vector<std::string> Command;
        std::vector<std::string> Expected; // parts of the error text
    };
    const TCase Cases[] = {
        {"ends first", Shell("echo cannot open port >&2; exit 3"), {"exit status 3", "cannot open port"}},
        {"stays silent", Shell("exec sleep 30"), {"not ready in time"}},
        {"missing program", {"/nonexistent/peer"}, {"start /nonexistent/peer"}},
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.Name);
        const auto Start = std::chrono::steady_clock::now();
        try {
            TPeerProcess Peer(Case.Command, 500ms);
            ADD_FAILURE() << "no error";
        } catch (const std::runtime_error& E) {
            for (const std::string& Part : Case.Expected)
                EXPECT_NE(std::string(E.what()).find(Part), std::string::npos) << E.what();
        }
        EXPECT_LT(std::chrono::steady_clock::now() - Start, 10s);
    }
}

} // namespace
