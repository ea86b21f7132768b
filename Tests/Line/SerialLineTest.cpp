// The connection's line primitives over a pty pair: frames cut by silence
// (RTU) and by colon and CR LF (ASCII), writes with RTS toggling.

#include <Quorvel.h>
#include <detail/ConnectionAccess.h>

#include "Support/PtyPair.h"
#include "Support/RecordingDevice.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

using namespace Quorvel;
using namespace std::chrono_literals;
using Access = detail::TConnectionAccess;
using QuorvelTest::TPtyPair;

namespace {

using TBytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

TBytes Bytes(const std::string& S) {
    return TBytes(S.begin(), S.end());
}

// One piece of what the far end sends, after a pause.
struct TPiece {
    std::chrono::milliseconds Pause;
    TBytes Data;
};

class SerialLine : public ::testing::Test {
protected:
    void Open(TTransmissionMode Mode, std::uint32_t SilentInterval) {
        Connection.SetPort(Pty.SlavePath());
        Connection.SetTransmissionMode(Mode);
        Connection.SetSilentInterval(SilentInterval);
        Access::SetDeviceFactory(Connection, [Log = Log](const TSerialPort& Port) {
            auto Inner = detail::OpenSerialDevice(Port);
            return Inner ? std::make_unique<QuorvelTest::TRecordingDevice>(std::move(Inner), Log) : nullptr;
        });
        Connection.Open();
    }

    // Sends the pieces from another thread while the test receives.
    void Send(std::vector<TPiece> Pieces) {
        Sender = std::thread([this, Pieces = std::move(Pieces)] {
            for (const auto& P : Pieces) {
                std::this_thread::sleep_for(P.Pause);
                Pty.Write(P.Data);
            }
        });
    }

    TBytes Receive(std::uint32_t Timeout = 2000) {
        TBytes Buffer(static_cast<std::size_t>(Access::InterimBufferSize(Connection)));
        const auto N = Access::ReceiveFrame(Connection, Buffer.data(),
                                            static_cast<std::int32_t>(Buffer.size()), Timeout);
        Buffer.resize(static_cast<std::size_t>(N));
        return Buffer;
    }

    void TearDown() override {
        if (Sender.joinable())
            Sender.join();
    }

    TPtyPair Pty;
    std::shared_ptr<QuorvelTest::TDeviceLog> Log = std::make_shared<QuorvelTest::TDeviceLog>();
    TModbusConnection Connection;
    std::thread Sender;
};

} // namespace

// RTU at 19200 8E1 with SilentInterval 100: the real silent interval is 53 ms.
TEST_F(SerialLine, RtuFrameEndsOnlyAfterTheSilentInterval) {
    Open(tmRTU, 100);
    ASSERT_EQ(Connection.RealSilentInterval(), 53u);
    const TBytes Frame{0x01, 0x03, 0x02, 0x00, 0x2A, 0x39, 0x9B};
    // A gap well below the interval keeps the frame whole.
    Send({{0ms, {Frame.begin(), Frame.begin() + 3}}, {10ms, {Frame.begin() + 3, Frame.end()}}});
    EXPECT_EQ(Receive(), Frame);
    Sender.join();

    // A gap well above it makes two frames.
    Send({{0ms, {Frame.begin(), Frame.begin() + 3}}, {250ms, {Frame.begin() + 3, Frame.end()}}});
    EXPECT_EQ(Receive(), TBytes(Frame.begin(), Frame.begin() + 3));
    EXPECT_EQ(Receive(), TBytes(Frame.begin() + 3, Frame.end()));
}

TEST_F(SerialLine, RtuReceiveWaitsForTheFirstByteThenForSilence) {
    Open(tmRTU, 4);
    const auto Start = Clock::now();
    EXPECT_TRUE(Receive(100).empty()); // nothing within the timeout
    const auto Waited = Clock::now() - Start;
    EXPECT_GE(Waited, 99ms);
    EXPECT_LT(Waited, 1000ms);

    EXPECT_TRUE(Receive(0).empty()); // a timeout of 0 awaits nothing, even with bytes there
    Pty.Write({0x01});
    std::this_thread::sleep_for(20ms);
    EXPECT_TRUE(Receive(0).empty());
    EXPECT_EQ(Receive(), TBytes{0x01});
}

TEST_F(SerialLine, RtuOverlongFrameIsCutAtTheBufferAndTheRestDropped) {
    Open(tmRTU, 4);
    TBytes Long(300);
    for (std::size_t I = 0; I < Long.size(); ++I)
        Long[I] = static_cast<std::uint8_t>(I);
    Pty.Write(Long);
    const TBytes Got = Receive();
    EXPECT_EQ(Got, TBytes(Long.begin(), Long.begin() + 256));
    EXPECT_TRUE(Receive(100).empty()); // the excess does not pose as a frame of its own
}

struct TAsciiCase {
    const char* Name;
    std::vector<TPiece> Pieces;
    std::string Expected;
};

// ASCII with SilentInterval 100: gaps of up to 100 ms are allowed inside a frame.
TEST_F(SerialLine, AsciiFrameRunsFromTheLastColonToCrLf) {
    Open(tmASCII, 100);
    const TAsciiCase Cases[] = {
        {"garbage before the colon",
         {{0ms, Bytes("xyz:01")}, {10ms, Bytes("0300000001FB\r\n")}},
         ":010300000001FB\r\n"},
        {"second colon restarts",
         {{0ms, Bytes(":0103:0103")}, {10ms, Bytes("00000001FB\r\n")}},
         ":010300000001FB\r\n"},
        {"the frame ends at its LF", {{0ms, Bytes(":0183027A\r\nxx")}}, ":0183027A\r\n"},
        // The frame so far comes back, CR included, and fails its check.
        {"CR then another byte abandons the frame", {{0ms, Bytes(":0103")}, {10ms, Bytes("\rX")}}, ":0103\r"},
        {"silence inside the frame cuts it", {{0ms, Bytes(":0103")}, {400ms, Bytes("00\r\n")}}, ":0103"},
    };
    for (const auto& C : Cases) {
        Send(C.Pieces);
        EXPECT_EQ(Receive(), Bytes(C.Expected)) << C.Name;
        Sender.join();
        std::this_thread::sleep_for(150ms); // let any leftovers arrive
        Access::PurgeLine(Connection, true, true);
    }
}

// What follows a frame's LF in the same read is the start of the next frame.
TEST_F(SerialLine, AsciiFramesBackToBackAreReceivedOneAfterTheOther) {
    Open(tmASCII, 100);
    Pty.Write(Bytes(":0183027A\r\n:010300000001FB\r\n"));
    std::this_thread::sleep_for(20ms); // both in the port before the first receive
    EXPECT_EQ(Receive(), Bytes(":0183027A\r\n"));
    EXPECT_EQ(Receive(), Bytes(":010300000001FB\r\n"));
}

// A device that never falls silent (babbling, or sending at another rate) makes
// no frame; the receive still ends, within a few frame times, in both modes.
TEST_F(SerialLine, ReceiveEndsOnALineThatNeverFallsSilent) {
    for (auto Mode : {tmRTU, tmASCII}) {
        Open(Mode, 4);
        std::atomic<bool> Stop{false};
        std::thread Babble([&] {
            // RTU: bytes with no gap; ASCII: frames that every ':' starts anew.
            const TBytes Noise = Mode == tmRTU ? TBytes(8, 0x55) : Bytes(":0103");
            while (!Stop.load()) {
                Pty.Write(Noise);
                std::this_thread::sleep_for(2ms);
            }
        });
        auto Received = std::async(std::launch::async, [&] { return Receive(1000); });
        const bool Ended = Received.wait_for(10s) == std::future_status::ready;
        Stop.store(true);
        Babble.join();
        EXPECT_TRUE(Ended) << (Mode == tmRTU ? "RTU" : "ASCII");
        Received.get();
        Connection.Close();
    }
}

TEST_F(SerialLine, AsciiGarbageWithoutColonKeepsWaiting) {
    Open(tmASCII, 20);
    Send({{0ms, Bytes("noise")}, {60ms, Bytes("more")}, {60ms, Bytes(":0183027A\r\n")}});
    EXPECT_EQ(Receive(1000), Bytes(":0183027A\r\n"));
    Sender.join();
    // A server's wait has no limit: a frame long after the noise is still whole.
    Send({{0ms, Bytes("34\r\n")}, {900ms, Bytes(":0183027A\r\n")}});
    EXPECT_EQ(Receive(detail::InfiniteTimeout), Bytes(":0183027A\r\n"));
}

TEST_F(SerialLine, WriteFrameTogglesRtsAroundTheBytes) {
    Connection.SetFlowControl(fcRtsToggle);
    Connection.SetRTSHoldDelay(30);
    Open(tmRTU, 4);
    std::vector<std::string> Async;
    Connection.OnBeforeFrameSendAsync = [&](TComponent*) { Async.push_back("before"); };
    Connection.OnAfterFrameSendAsync = [&](TComponent*) { Async.push_back("after"); };
    Log->Clear();
    const TBytes Frame{0x01, 0x03, 0x00, 0x00, 0x00, 0x01, 0x84, 0x0A};
    EXPECT_TRUE(Access::WriteFrame(Connection, Frame.data(), static_cast<std::int32_t>(Frame.size()), 1000));
    EXPECT_EQ(Pty.Read(Frame.size(), 1000ms), Frame);
    EXPECT_EQ(Async, (std::vector<std::string>{"before", "after"}));

    const auto Calls = Log->Snapshot();
    std::vector<std::string> Names;
    for (const auto& C : Calls)
        Names.push_back(C.What);
    ASSERT_EQ(Names, (std::vector<std::string>{"RTS 1", "write", "drain", "RTS 0"}));
    EXPECT_GE(Calls[3].When - Calls[2].When, 29ms); // held for RTSHoldDelay after the drain

    // Without toggling, RTS is left alone.
    Connection.Close();
    Connection.SetFlowControl(fcNone);
    Connection.Open();
    Log->Clear();
    EXPECT_TRUE(Access::WriteFrame(Connection, Frame.data(), static_cast<std::int32_t>(Frame.size()), 1000));
    EXPECT_EQ(Log->Names(), (std::vector<std::string>{"write", "drain"}));
}

TEST_F(SerialLine, PurgeDropsWhatHasArrived) {
    Open(tmRTU, 4);
    Pty.Write({1, 2, 3});
    std::this_thread::sleep_for(20ms);
    Access::PurgeLine(Connection, true, true);
    EXPECT_TRUE(Receive(50).empty());
}
