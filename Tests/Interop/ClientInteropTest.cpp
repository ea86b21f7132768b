// The client against real Modbus servers written by others: Debian's pymodbus
// (RTU and ASCII) and libmodbus (RTU). Each test starts its own peer on one end
// of a pty bridge and drives the library's client on the other end, so every
// frame crosses a real line and is judged by someone else's decoder.
//
// Both peers serve unit 17 with the same data map (see the peer sources):
// coil i on when i % 3 == 0, discrete input i on when i % 5 is 1 or 2, holding
// register i = 1000 + i, input register i = 2000 + i, for addresses 0..99;
// both answer a request outside that map with exception code 2. Each test gets
// a fresh peer, so writes in one test are never seen by another.

#include <Quorvel.h>

#include "Support/PeerProcess.h"
#include "Support/PtyBridge.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <functional>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <tuple>
#include <type_traits>
#include <vector>

namespace {

using namespace Quorvel;
using namespace std::chrono_literals;
using QuorvelTest::TPeerProcess;
using QuorvelTest::TPtyBridge;

constexpr std::uint8_t PeerUnit = 17;

bool CoilAt(int I) {
    return I % 3 == 0;
}
bool DiscreteInputAt(int I) {
    return I % 5 == 1 || I % 5 == 2;
}
std::uint16_t HoldingAt(int I) {
    return static_cast<std::uint16_t>(1000 + I);
}
std::uint16_t InputAt(int I) {
    return static_cast<std::uint16_t>(2000 + I);
}

template <typename F>
auto Pattern(int Start, int Count, F&& At) {
    std::vector<decltype(At(0))> V;
    for (int I = Start; I < Start + Count; ++I)
        V.push_back(At(I));
    return V;
}

enum TPeerKind { pkPymodbus, pkLibmodbus };

struct TPeerSpec {
    const char* Name;
    TPeerKind Kind;
    TTransmissionMode Mode;
};

// Names the peer in failure messages.
void PrintTo(const TPeerSpec& Spec, std::ostream* Out) {
    *Out << Spec.Name;
}

std::vector<std::string> PeerCommand(const TPeerSpec& Spec, const std::string& Port) {
    const std::string Unit = std::to_string(PeerUnit);
    if (Spec.Kind == pkLibmodbus)
        return {QUORVEL_LIBMODBUS_SERVER, Port, Unit};
    return {QUORVEL_PYTHON, QUORVEL_PYMODBUS_SERVER, Spec.Mode == tmASCII ? "ascii" : "rtu", Port, Unit};
}

class ClientInterop : public ::testing::TestWithParam<TPeerSpec> {
protected:
    void SetUp() override {
        Peer = std::make_unique<TPeerProcess>(PeerCommand(GetParam(), Bridge.SlavePathA()));
        Connection.SetPort(Bridge.SlavePathB());
        Connection.SetParity(psNone);
        Connection.SetBaudRate(br19200);
        Connection.SetTransmissionMode(GetParam().Mode);
        Connection.SetReceiveTimeout(1000);
        Connection.SetMaxRetries(2);
        Connection.Open();
        Client.SetConnection(&Connection);
        Client.SetServerAddress(PeerUnit);
    }

    void TearDown() override {
        Connection.Close();
        // Completions posted before the close are released here.
        Quorvel::ProcessMessages();
        if (Peer) {
            Peer->Stop();
            // Both peers end with status 0 on SIGTERM; anything else means the
            // peer died during the test, which explains timeouts seen above.
            EXPECT_TRUE(Peer->EndedCleanly()) << "peer ended with " << Peer->End();
            if (HasFailure())
                std::cerr << "--- peer stderr (" << Peer->CommandLine() << ") ---\n"
                          << Peer->StderrText() << "--- end of peer stderr ---\n";
        }
        EXPECT_EQ(Bridge.RelayError(), "");
    }

    // Issues a request through Issue and pumps the main-thread queue until Event
    // fires for its transaction ID. Returns the event's Info and arguments, or
    // nothing (with a failure recorded) when it did not fire within Timeout.
    template <typename... TArgs>
    std::optional<std::tuple<TTransactionInfo, std::decay_t<TArgs>...>>
    Await(std::function<void(TComponent*, const TTransactionInfo&, TArgs...)>& Event,
          const std::function<std::uint32_t()>& Issue, std::chrono::milliseconds Timeout = 5000ms) {
        std::optional<std::tuple<TTransactionInfo, std::decay_t<TArgs>...>> Got;
        std::uint32_t Id = 0;
        Event = [&](TComponent* Sender, const TTransactionInfo& Info, TArgs... Args) {
            EXPECT_EQ(Sender, &Client);
            if (Info.ID == Id && !Got)
                Got.emplace(Info, Args...);
        };
        Id = Issue();
        const auto Deadline = std::chrono::steady_clock::now() + Timeout;
        while (!Got && std::chrono::steady_clock::now() < Deadline) {
            Quorvel::WaitForMessages(20);
            Quorvel::ProcessMessages();
        }
        Event = nullptr;
        if (!Got)
            ADD_FAILURE() << "no event for transaction " << Id << " within " << Timeout.count() << " ms";
        return Got;
    }

    TRegValues ReadHolding(std::uint16_t Start, std::uint16_t Count) {
        auto R = Await(Client.OnHoldingRegistersRead,
                       [&] { return Client.ReadHoldingRegisters(Start, Count, nullptr); });
        if (!R || std::get<0>(*R).Reply != srNormalReply) {
            ADD_FAILURE() << "reading holding registers " << Start << ".." << Start + Count - 1 << " failed";
            return {};
        }
        return std::get<3>(*R);
    }

    TBitValues ReadCoils(std::uint16_t Start, std::uint16_t Count) {
        auto R = Await(Client.OnCoilsRead, [&] { return Client.ReadCoils(Start, Count, nullptr); });
        if (!R || std::get<0>(*R).Reply != srNormalReply) {
            ADD_FAILURE() << "reading coils " << Start << ".." << Start + Count - 1 << " failed";
            return {};
        }
        return std::get<3>(*R);
    }

    TPtyBridge Bridge;
    std::unique_ptr<TPeerProcess> Peer;
    TModbusConnection Connection;
    TModbusClient Client;
};

// Runs of bits chosen to end inside a byte, on a byte boundary, and at the end
// of the map; the i % 3 and i % 5 patterns differ from byte to byte, so a bit
// order or byte order mistake shows.
struct TRun {
    std::uint16_t Start;
    std::uint16_t Count;
};
const TRun BitRuns[] = {{0, 1}, {0, 20}, {8, 16}, {5, 11}, {91, 9}};
// One register, a short run, and runs of 100 registers whose replies cross the
// bridge in several chunks.
const TRun RegisterRuns[] = {{0, 1}, {37, 7}, {90, 10}, {0, 100}};

TEST_P(ClientInterop, ReadCoilsAndDiscreteInputs) {
    for (const TRun& Run : BitRuns) {
        SCOPED_TRACE("bits " + std::to_string(Run.Start) + " count " + std::to_string(Run.Count));
        auto Coils =
            Await(Client.OnCoilsRead, [&] { return Client.ReadCoils(Run.Start, Run.Count, nullptr); });
        ASSERT_TRUE(Coils);
        auto& [Info, Start, Count, Values] = *Coils;
        EXPECT_EQ(Info.Reply, srNormalReply);
        EXPECT_EQ(Start, Run.Start);
        EXPECT_EQ(Count, Run.Count);
        EXPECT_EQ(Values, Pattern(Run.Start, Run.Count, CoilAt));

        auto Inputs = Await(Client.OnDiscreteInputsRead,
                            [&] { return Client.ReadDiscreteInputs(Run.Start, Run.Count, nullptr); });
        ASSERT_TRUE(Inputs);
        EXPECT_EQ(std::get<0>(*Inputs).Reply, srNormalReply);
        EXPECT_EQ(std::get<3>(*Inputs), Pattern(Run.Start, Run.Count, DiscreteInputAt));
    }
}

TEST_P(ClientInterop, ReadHoldingAndInputRegisters) {
    for (const TRun& Run : RegisterRuns) {
        SCOPED_TRACE("registers " + std::to_string(Run.Start) + " count " + std::to_string(Run.Count));
        auto Holding = Await(Client.OnHoldingRegistersRead,
                             [&] { return Client.ReadHoldingRegisters(Run.Start, Run.Count, nullptr); });
        ASSERT_TRUE(Holding);
        auto& [Info, Start, Count, Values] = *Holding;
        EXPECT_EQ(Info.Reply, srNormalReply);
        EXPECT_EQ(Start, Run.Start);
        EXPECT_EQ(Count, Run.Count);
        EXPECT_EQ(Values, Pattern(Run.Start, Run.Count, HoldingAt));

        auto Inputs = Await(Client.OnInputRegistersRead,
                            [&] { return Client.ReadInputRegisters(Run.Start, Run.Count, nullptr); });
        ASSERT_TRUE(Inputs);
        EXPECT_EQ(std::get<0>(*Inputs).Reply, srNormalReply);
        EXPECT_EQ(std::get<3>(*Inputs), Pattern(Run.Start, Run.Count, InputAt));
    }
}

TEST_P(ClientInterop, WriteSingleCoilThenReadBack) {
    // Coil 4 starts off and coil 3 on: each is turned the other way.
    for (const std::uint16_t Addr : {std::uint16_t{4}, std::uint16_t{3}}) {
        const bool Value = !CoilAt(Addr);
        auto R =
            Await(Client.OnSingleCoilWrite, [&] { return Client.WriteSingleCoil(Addr, Value, nullptr); });
        ASSERT_TRUE(R);
        auto& [Info, BitAddr, BitValue] = *R;
        EXPECT_EQ(Info.Reply, srNormalReply);
        EXPECT_EQ(BitAddr, Addr);
        EXPECT_EQ(BitValue, Value);
    }
    TBitValues Expected = Pattern(0, 9, CoilAt);
    Expected[3] = false;
    Expected[4] = true;
    EXPECT_EQ(ReadCoils(0, 9), Expected);
}

TEST_P(ClientInterop, WriteSingleRegisterThenReadBack) {
    auto R =
        Await(Client.OnSingleRegisterWrite, [&] { return Client.WriteSingleRegister(10, 0xBEEF, nullptr); });
    ASSERT_TRUE(R);
    auto& [Info, RegAddr, RegValue] = *R;
    EXPECT_EQ(Info.Reply, srNormalReply);
    EXPECT_EQ(RegAddr, 10);
    EXPECT_EQ(RegValue, 0xBEEF);
    EXPECT_EQ(ReadHolding(9, 3), (TRegValues{HoldingAt(9), 0xBEEF, HoldingAt(11)}));
}

TEST_P(ClientInterop, WriteMultipleCoilsThenReadBack) {
    // Eleven bits from 37: they start and end inside a byte and cross two boundaries.
    const TBitValues Bits = {true, true, false, true, false, false, true, true, true, false, true};
    auto R = Await(Client.OnMultipleCoilsWrite, [&] { return Client.WriteMultipleCoils(37, Bits, nullptr); });
    ASSERT_TRUE(R);
    auto& [Info, StartBit, BitCount, Values] = *R;
    EXPECT_EQ(Info.Reply, srNormalReply);
    EXPECT_EQ(StartBit, 37);
    EXPECT_EQ(BitCount, Bits.size());
    EXPECT_EQ(Values, Bits);

    TBitValues Expected = Pattern(35, 16, CoilAt);
    std::copy(Bits.begin(), Bits.end(), Expected.begin() + 2);
    EXPECT_EQ(ReadCoils(35, 16), Expected);
}

TEST_P(ClientInterop, WriteMultipleRegistersThenReadBack) {
    // A short run with the extreme values, and a long one whose request crosses
    // the bridge in several chunks.
    TRegValues Long;
    for (int I = 0; I < 40; ++I)
        Long.push_back(static_cast<std::uint16_t>(0x0101 * I + 7));
    const std::pair<std::uint16_t, TRegValues> Writes[] = {{60, {0, 0xFFFF, 0x8000, 42}}, {0, Long}};
    for (const auto& [Start, Values] : Writes) {
        SCOPED_TRACE("write from " + std::to_string(Start));
        auto R = Await(Client.OnMultipleRegistersWrite,
                       [&] { return Client.WriteMultipleRegisters(Start, Values, nullptr); });
        ASSERT_TRUE(R);
        auto& [Info, StartReg, RegCount, Written] = *R;
        EXPECT_EQ(Info.Reply, srNormalReply);
        EXPECT_EQ(StartReg, Start);
        EXPECT_EQ(RegCount, Values.size());
        EXPECT_EQ(Written, Values);
    }
    EXPECT_EQ(ReadHolding(59, 6), (TRegValues{HoldingAt(59), 0, 0xFFFF, 0x8000, 42, HoldingAt(64)}));
    EXPECT_EQ(ReadHolding(0, 41), [&] {
        TRegValues V = Long;
        V.push_back(HoldingAt(40));
        return V;
    }());
}

TEST_P(ClientInterop, MaskWriteRegisterThenReadBack) {
    // The server computes (current AND AndMask) OR (OrMask AND NOT AndMask).
    // OrMask overlaps AndMask in the first row, so a swapped pair of masks or
    // an OR without the NOT gives another value.
    struct TMask {
        std::uint16_t Reg;
        std::uint16_t AndMask;
        std::uint16_t OrMask;
    };
    const TMask Masks[] = {{20, 0xF0F0, 0x1234}, {21, 0x0000, 0xABCD}, {22, 0xFFFF, 0x5555}};
    for (const TMask& M : Masks) {
        SCOPED_TRACE("register " + std::to_string(M.Reg));
        auto R = Await(Client.OnSingleRegisterMaskWrite,
                       [&] { return Client.MaskWriteSingleRegister(M.Reg, M.AndMask, M.OrMask, nullptr); });
        ASSERT_TRUE(R);
        auto& [Info, RegAddr, AndMask, OrMask] = *R;
        EXPECT_EQ(Info.Reply, srNormalReply);
        EXPECT_EQ(RegAddr, M.Reg);
        EXPECT_EQ(AndMask, M.AndMask);
        EXPECT_EQ(OrMask, M.OrMask);
        const auto Expected =
            static_cast<std::uint16_t>((HoldingAt(M.Reg) & M.AndMask) | (M.OrMask & ~M.AndMask));
        EXPECT_EQ(ReadHolding(M.Reg, 1), TRegValues{Expected});
    }
}

TEST_P(ClientInterop, ReadWriteMultipleRegisters) {
    // The write is done before the read, so the values read show it.
    const TRegValues ToWrite = {7, 0x8008};
    auto R = Await(Client.OnMultipleRegistersReadWrite,
                   [&] { return Client.ReadWriteMultipleRegisters(30, 4, 31, ToWrite, nullptr); });
    ASSERT_TRUE(R);
    auto& [Info, StartRead, CountRead, ValuesRead, StartWrite, CountWrite, ValuesWritten] = *R;
    EXPECT_EQ(Info.Reply, srNormalReply);
    EXPECT_EQ(StartRead, 30);
    EXPECT_EQ(CountRead, 4);
    EXPECT_EQ(ValuesRead, (TRegValues{HoldingAt(30), 7, 0x8008, HoldingAt(33)}));
    EXPECT_EQ(StartWrite, 31);
    EXPECT_EQ(CountWrite, 2);
    EXPECT_EQ(ValuesWritten, ToWrite);
    EXPECT_EQ(ReadHolding(31, 2), ToWrite);
}

TEST_P(ClientInterop, RefusedRequestsDecodeAsIllegalDataAddress) {
    // Both peers check every address of a request against the map and answer
    // exception code 2 when one is outside it, for reads and writes alike.
    struct TRefused {
        const char* Name;
        std::uint8_t Command;
        std::function<std::uint32_t(TModbusClient&)> Issue;
    };
    const TRefused Cases[] = {
        {"read coils past the end", 0x01, [](TModbusClient& C) { return C.ReadCoils(95, 10, nullptr); }},
        {"read discrete inputs", 0x02,
         [](TModbusClient& C) { return C.ReadDiscreteInputs(100, 1, nullptr); }},
        {"read holding registers", 0x03,
         [](TModbusClient& C) { return C.ReadHoldingRegisters(100, 1, nullptr); }},
        {"read holding registers past the end", 0x03,
         [](TModbusClient& C) { return C.ReadHoldingRegisters(98, 5, nullptr); }},
        {"read input registers", 0x04,
         [](TModbusClient& C) { return C.ReadInputRegisters(1000, 3, nullptr); }},
        {"write single coil", 0x05, [](TModbusClient& C) { return C.WriteSingleCoil(100, true, nullptr); }},
        {"write single register", 0x06,
         [](TModbusClient& C) { return C.WriteSingleRegister(100, 1, nullptr); }},
        {"write multiple coils", 0x0F,
         [](TModbusClient& C) {
             return C.WriteMultipleCoils(99, {true, true}, nullptr);
         }},
        {"write multiple registers", 0x10,
         [](TModbusClient& C) {
             return C.WriteMultipleRegisters(99, {1, 2}, nullptr);
         }},
        {"mask write register", 0x16,
         [](TModbusClient& C) { return C.MaskWriteSingleRegister(100, 0xFFFF, 0, nullptr); }},
        {"read/write, read part outside", 0x17,
         [](TModbusClient& C) { return C.ReadWriteMultipleRegisters(99, 3, 0, {1}, nullptr); }},
    };
    for (const TRefused& Case : Cases) {
        SCOPED_TRACE(Case.Name);
        auto R = Await(Client.OnTransactionProcessed, [&] { return Case.Issue(Client); });
        ASSERT_TRUE(R);
        auto& [Info, Command, Custom] = *R;
        EXPECT_EQ(Command, Case.Command);
        EXPECT_FALSE(Custom);
        EXPECT_EQ(Info.Reply, srExceptionReply);
        EXPECT_EQ(Info.Exception, seIllegalDataAddress);
        EXPECT_EQ(Info.ExceptionCode, 2);
        // An exception reply is an answer: it is not retried.
        EXPECT_EQ(Info.Retries, 1u);
    }
    // The refused writes changed nothing, and the line is still in step.
    EXPECT_EQ(ReadHolding(97, 3), Pattern(97, 3, HoldingAt));
    EXPECT_EQ(ReadCoils(97, 3), Pattern(97, 3, CoilAt));
}

TEST_P(ClientInterop, OtherUnitIsNotAnsweredThenServerAnswersAgain) {
    // Both peers stay silent for a unit they do not serve (pymodbus with
    // ignore_missing_slaves, libmodbus by its own address filter).
    Client.SetServerAddress(static_cast<std::uint8_t>(PeerUnit + 1));
    auto R = Await(
        Client.OnHoldingRegistersRead, [&] { return Client.ReadHoldingRegisters(0, 1, nullptr); }, 15000ms);
    ASSERT_TRUE(R);
    EXPECT_EQ(std::get<0>(*R).Reply, srNone);
    EXPECT_EQ(std::get<0>(*R).Retries, 2u);

    Client.SetServerAddress(PeerUnit);
    EXPECT_EQ(ReadHolding(0, 2), Pattern(0, 2, HoldingAt));
}

TEST_P(ClientInterop, BroadcastWriteReachesServer) {
    // Both peers carry out a write to address 0 and send nothing back (the
    // pymodbus peer is started with broadcast_enable).
    TModbusClient Broadcaster;
    Broadcaster.SetConnection(&Connection);
    Broadcaster.SetServerAddress(0);
    int BroadcastEvents = 0;
    Broadcaster.OnSingleRegisterWrite = [&](TComponent*, const TTransactionInfo&, std::uint16_t,
                                            std::uint16_t) { ++BroadcastEvents; };
    Broadcaster.WriteSingleRegister(70, 0x5A5A, nullptr);
    // Requests run in order, so this read follows the broadcast on the line.
    EXPECT_EQ(ReadHolding(70, 1), TRegValues{0x5A5A});
    EXPECT_EQ(BroadcastEvents, 0);
}

std::string PeerName(const ::testing::TestParamInfo<TPeerSpec>& Info) {
    return Info.param.Name;
}

INSTANTIATE_TEST_SUITE_P(Peers, ClientInterop,
                         ::testing::Values(TPeerSpec{"PymodbusRtu", pkPymodbus, tmRTU},
                                           TPeerSpec{"PymodbusAscii", pkPymodbus, tmASCII},
                                           TPeerSpec{"LibmodbusRtu", pkLibmodbus, tmRTU}),
                         PeerName);

} // namespace
