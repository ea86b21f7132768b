// Server mode over a pty pair, the test playing the remote client: routing by
// address, broadcasts, damaged frames, garbage, the close; and a round trip of
// the library with itself, a client-mode connection against a server-mode one.

#include <Quorvel.h>
#include <detail/ConnectionAccess.h>

#include "Support/ClientFixture.h"
#include "Support/RecordingDevice.h"

#include <gtest/gtest.h>

#include <atomic>
#include <fcntl.h>
#include <map>
#include <thread>
#include <unistd.h>

using namespace Quorvel;
using namespace QuorvelTest;
using Access = detail::TConnectionAccess;
using Clock = std::chrono::steady_clock;

namespace {

// Answers reads with its address times 100 plus the register number; records
// which server saw which query.
void Wire(TModbusServer& Server, std::vector<std::string>& Seen,
          std::map<std::uint16_t, std::uint16_t>& Store) {
    Server.OnAcceptCommand = [&Seen, &Server](TComponent*, std::uint8_t Command, bool& Accept) {
        Seen.push_back(std::to_string(Server.Address()) + ":" + std::to_string(Command));
        Accept = true;
    };
    Server.OnCanReadHoldingRegister = [](TComponent*, std::uint16_t, bool& Allow) { Allow = true; };
    Server.OnGetHoldingRegisterValue = [&Server, &Store](TComponent*, std::uint16_t A, std::uint16_t& V) {
        V = Store.count(A) ? Store[A] : static_cast<std::uint16_t>(Server.Address() * 100 + A);
    };
    Server.OnCanWriteHoldingRegister = [](TComponent*, std::uint16_t, std::uint16_t, TItemWriteStatus& S) {
        S = iwsAllowWrite;
    };
    Server.OnSetHoldingRegisterValue = [&Store](TComponent*, std::uint16_t A, std::uint16_t V) {
        Store[A] = V;
    };
}

class ServerOnPty : public ::testing::Test {
protected:
    void SetUp() override {
        Connection.SetPort(Pty.SlavePath());
        Connection.SetConnectionMode(cmServer);
        Access::SetDeviceFactory(Connection, [Log = Log](const TSerialPort& Port) {
            auto Inner = detail::OpenSerialDevice(Port);
            return Inner ? std::make_unique<TRecordingDevice>(std::move(Inner), Log) : nullptr;
        });
        First.SetAddress(1);
        Second.SetAddress(2);
        Wire(First, Seen, Store);
        Wire(Second, Seen, Store);
        First.SetConnection(&Connection);
        Second.SetConnection(&Connection);
        Connection.OnInvalidFrameDiscard = [this](TComponent*) { ++Discarded; };
        Connection.OnFrameReceive = [this](TComponent*, const TFrameData& D) { Received.push_back(D); };
        Connection.OnFrameSend = [this](TComponent*, const TFrameData& D) { Sent.push_back(D); };
        Connection.Open();
        Log->Clear(); // the open's own calls
    }

    // Sends a request and returns what came back, pumping the main thread
    // (the server runs there) meanwhile.
    TBytes Exchange(const TBytes& Request, std::chrono::milliseconds Wait = 300ms) {
        Pty.Write(Request);
        TBytes Reply;
        const auto Deadline = Clock::now() + Wait;
        while (Clock::now() < Deadline) {
            PumpFor(5ms);
            TBytes More = Pty.Read(256, 1ms);
            Reply.insert(Reply.end(), More.begin(), More.end());
        }
        return Reply;
    }

    TPtyPair Pty;
    std::shared_ptr<TDeviceLog> Log = std::make_shared<TDeviceLog>();
    TModbusConnection Connection;
    TModbusServer First, Second;
    std::vector<std::string> Seen;
    std::map<std::uint16_t, std::uint16_t> Store;
    int Discarded = 0;
    std::vector<TFrameData> Received, Sent;
};

} // namespace

TEST_F(ServerOnPty, RequestsAreRoutedByAddress) {
    EXPECT_EQ(Exchange(RtuFrame({0x02, 0x03, 0x00, 0x05, 0x00, 0x01})),
              RtuFrame({0x02, 0x03, 0x02, 0x00, 205}));
    EXPECT_EQ(Seen, std::vector<std::string>{"2:3"});
    EXPECT_EQ(Sent, std::vector<TFrameData>{RtuFrame({0x02, 0x03, 0x02, 0x00, 205})});

    Log->Clear();
    EXPECT_TRUE(Exchange(RtuFrame({0x05, 0x03, 0x00, 0x05, 0x00, 0x01})).empty());
    EXPECT_EQ(Seen.size(), 1u);
    EXPECT_TRUE(Log->Names().empty()); // nothing written, no RTS pulse

    // A broadcast reaches every server in registration order and is never answered.
    EXPECT_TRUE(Exchange(RtuFrame({0x00, 0x06, 0x00, 0x09, 0x12, 0x34})).empty());
    EXPECT_EQ(Seen, (std::vector<std::string>{"2:3", "1:6", "2:6"}));
    EXPECT_EQ(Store[9], 0x1234);
    EXPECT_EQ(Received.size(), 3u);
}

TEST_F(ServerOnPty, OnlyTheFirstServerWithAnAddressAnswers) {
    Second.SetAddress(1);
    EXPECT_EQ(Exchange(RtuFrame({0x01, 0x03, 0x00, 0x00, 0x00, 0x01})),
              RtuFrame({0x01, 0x03, 0x02, 0x00, 100}));
    EXPECT_EQ(Seen, std::vector<std::string>{"1:3"});
}

TEST_F(ServerOnPty, DamagedFramesAndGarbageAreDiscardedAndTheServerGoesOn) {
    TBytes Bad = RtuFrame({0x01, 0x03, 0x00, 0x00, 0x00, 0x01});
    Bad[2] ^= 0x40;
    EXPECT_TRUE(Exchange(Bad).empty());
    EXPECT_EQ(Discarded, 1);
    EXPECT_EQ(Received, std::vector<TFrameData>{Bad});
    EXPECT_TRUE(Seen.empty());

    EXPECT_TRUE(Exchange(TBytes(600, 0x55)).empty()); // longer than any frame
    EXPECT_TRUE(Exchange({0x01}).empty());            // too short to be a request
    EXPECT_EQ(Exchange(RtuFrame({0x01, 0x03, 0x00, 0x00, 0x00, 0x01})),
              RtuFrame({0x01, 0x03, 0x02, 0x00, 100}));
}

TEST_F(ServerOnPty, CloseReturnsPromptlyFromTheUnlimitedWait) {
    const auto Start = Clock::now();
    Connection.Close();
    EXPECT_LT(Clock::now() - Start, 1s);
    EXPECT_EQ(Discarded, 0); // the close signal is not an invalid frame
}

TEST_F(ServerOnPty, CloseReturnsWhileTheLineNeverFallsSilent) {
    std::atomic<bool> Stop{false};
    std::thread Babble([&] {
        // Gives up after 8 s, so that a receive with no end still lets the test finish.
        for (const auto Until = Clock::now() + 8s; !Stop.load() && Clock::now() < Until;) {
            Pty.Write(TBytes(8, 0x55));
            std::this_thread::sleep_for(2ms);
        }
    });
    PumpFor(100ms);
    const auto Start = Clock::now();
    Connection.Close();
    const auto Took = Clock::now() - Start;
    Stop.store(true);
    Babble.join();
    EXPECT_LT(Took, 4s);
}

TEST_F(ServerOnPty, AHungUpPortIsPacedAndStillClosesPromptly) {
    // A pty whose other end is gone reports a hang-up at every wait.
    Pty.CloseMaster();
    PumpFor(300ms);
    EXPECT_EQ(Discarded, 0);
    const auto Start = Clock::now();
    Connection.Close();
    EXPECT_LT(Clock::now() - Start, 1s);
}

// The library against itself: a client-mode connection on the slave end, a
// server-mode connection on the master end (hooked, as a pty master is no
// device one can open by name).
TEST(LibraryRoundTrip, EverySupportedCommandInBothTransmissionModes) {
    for (auto Mode : {tmRTU, tmASCII}) {
        TPtyPair Pty;
        TModbusConnection ServerLine, ClientLine;
        ServerLine.SetConnectionMode(cmServer);
        ServerLine.SetTransmissionMode(Mode);
        ServerLine.SetHookExistingPort(true);
        ServerLine.OnGetHookedPortHandle = [&](TComponent*, TPortHandle& H) { H = Pty.MasterFd(); };
        ClientLine.SetPort(Pty.SlavePath());
        ClientLine.SetTransmissionMode(Mode);
        ClientLine.SetReceiveTimeout(1000);

        std::map<std::uint16_t, bool> Coils;
        std::map<std::uint16_t, std::uint16_t> Registers;
        TModbusServer Server;
        Server.SetAddress(9);
        Server.SetConnection(&ServerLine);
        Server.OnAcceptCommand = [](TComponent*, std::uint8_t, bool& A) { A = true; };
        Server.OnCanReadCoil = [](TComponent*, std::uint16_t, bool& A) { A = true; };
        Server.OnCanReadDiscreteInput = [](TComponent*, std::uint16_t, bool& A) { A = true; };
        Server.OnCanReadHoldingRegister = [](TComponent*, std::uint16_t Addr, bool& A) { A = Addr < 100; };
        Server.OnCanReadInputRegister = [](TComponent*, std::uint16_t, bool& A) { A = true; };
        Server.OnCanWriteCoil = [](TComponent*, std::uint16_t, bool, TItemWriteStatus& S) {
            S = iwsAllowWrite;
        };
        Server.OnCanWriteHoldingRegister = [](TComponent*, std::uint16_t, std::uint16_t,
                                              TItemWriteStatus& S) { S = iwsAllowWrite; };
        Server.OnGetCoilValue = [&](TComponent*, std::uint16_t A, bool& V) { V = Coils[A]; };
        Server.OnGetDiscreteInputValue = [](TComponent*, std::uint16_t A, bool& V) { V = A % 3 == 0; };
        Server.OnGetHoldingRegisterValue = [&](TComponent*, std::uint16_t A, std::uint16_t& V) {
            V = Registers[A];
        };
        Server.OnGetInputRegisterValue = [](TComponent*, std::uint16_t A, std::uint16_t& V) {
            V = static_cast<std::uint16_t>(A * 3);
        };
        Server.OnSetCoilValue = [&](TComponent*, std::uint16_t A, bool V) { Coils[A] = V; };
        Server.OnSetHoldingRegisterValue = [&](TComponent*, std::uint16_t A, std::uint16_t V) {
            Registers[A] = V;
        };

        TModbusClient Client;
        Client.SetConnection(&ClientLine);
        Client.SetServerAddress(9);
        std::vector<std::string> Results;
        auto Bits = [&](TComponent*, const TTransactionInfo& I, std::uint16_t, std::uint16_t,
                        const TBitValues& V) {
            std::string S = std::to_string(I.Reply) + ":";
            for (bool B : V)
                S += B ? '1' : '0';
            Results.push_back(S);
        };
        auto Regs = [&](TComponent*, const TTransactionInfo& I, std::uint16_t, std::uint16_t,
                        const TRegValues& V) {
            std::string S = std::to_string(I.Reply) + ":";
            for (auto R : V)
                S += " " + std::to_string(R);
            Results.push_back(S);
        };
        Client.OnCoilsRead = Bits;
        Client.OnDiscreteInputsRead = Bits;
        Client.OnMultipleCoilsWrite = Bits;
        Client.OnHoldingRegistersRead = Regs;
        Client.OnInputRegistersRead = Regs;
        Client.OnMultipleRegistersWrite = Regs;
        Client.OnSingleCoilWrite = [&](TComponent*, const TTransactionInfo& I, std::uint16_t, bool V) {
            Results.push_back(std::to_string(I.Reply) + (V ? ": on" : ": off"));
        };
        Client.OnSingleRegisterWrite = [&](TComponent*, const TTransactionInfo& I, std::uint16_t,
                                           std::uint16_t V) {
            Results.push_back(std::to_string(I.Reply) + ": " + std::to_string(V));
        };

        ServerLine.Open();
        ClientLine.Open();
        Client.WriteMultipleCoils(10, {true, false, true}, nullptr);
        Client.WriteSingleCoil(11, true, nullptr);
        Client.ReadCoils(10, 3, nullptr);
        Client.ReadDiscreteInputs(0, 4, nullptr);
        Client.WriteMultipleRegisters(20, {7, 65535}, nullptr);
        Client.WriteSingleRegister(22, 0x1234, nullptr);
        Client.ReadHoldingRegisters(20, 3, nullptr);
        Client.ReadInputRegisters(5, 2, nullptr);
        Client.ReadHoldingRegisters(99, 2, nullptr); // 100 is not readable
        ASSERT_TRUE(PumpUntil([&] { return Results.size() == 9; }, 10s)) << Mode;
        const std::vector<std::string> Expected = {"5:101",           "5: on",      "5:111",
                                                   "5:1001",          "5: 7 65535", "5: 4660",
                                                   "5: 7 65535 4660", "5: 15 18",   "4: 0 0"};
        EXPECT_EQ(Results, Expected) << Mode;
        ClientLine.Close();
        ServerLine.Close();
        PumpFor(20ms);
    }
}
