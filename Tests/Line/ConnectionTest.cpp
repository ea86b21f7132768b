// TModbusConnection over a pty pair: properties and their setter rules, the
// open and close sequence with its events and failures, the queue, IDs,
// modem lines and the connection's broadcast writes.

#include <Quorvel.h>
#include <detail/ConnectionAccess.h>

#include "Support/PtyPair.h"
#include "Support/RecordingDevice.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <functional>
#include <string>
#include <thread>
#include <vector>

using namespace Quorvel;
using Access = detail::TConnectionAccess;
using QuorvelTest::TPtyPair;

namespace {

using TBytes = std::vector<std::uint8_t>;

std::string ErrorOf(const std::function<void()>& Action) {
    try {
        Action();
    } catch (const EQuorvelError& E) {
        return E.what();
    }
    return "";
}

const std::string MustBeInactive = "Connection must NOT be active for the requested action to be performed";
const std::string MustBeActive = "Connection MUST be active for the requested action to be performed";
const std::string FlowNotValid = "Flow control is not valid for the requested action to be performed";

// A connection on the slave end of a fresh pty pair, its device recorded.
class ConnectionOnPty : public ::testing::Test {
protected:
    void SetUp() override {
        Connection.SetPort(Pty.SlavePath());
        Access::SetDeviceFactory(Connection, [Log = Log](const TSerialPort& Port) {
            auto Inner = detail::OpenSerialDevice(Port);
            return Inner ? std::make_unique<QuorvelTest::TRecordingDevice>(std::move(Inner), Log) : nullptr;
        });
    }

    // A transaction to Address, enqueued as if Client had made it.
    void Enqueue(std::uint8_t Address, TModbusClient* Client) {
        auto T = std::make_unique<TModbusTransaction>(256);
        T->Info.Address = Address;
        T->QueryBuffer().PutByte(Address);
        Connection.EnqueueTransaction(std::move(T), Client);
    }

    TPtyPair Pty;
    std::shared_ptr<QuorvelTest::TDeviceLog> Log = std::make_shared<QuorvelTest::TDeviceLog>();
    TModbusConnection Connection;
};

} // namespace

TEST(ConnectionDefaultsTest, NewConnection) {
    TModbusConnection C;
    EXPECT_FALSE(C.Active());
    EXPECT_EQ(C.BaudRate(), br19200);
    EXPECT_EQ(C.ConnectionMode(), cmClient);
    EXPECT_EQ(C.CustomBaudRate(), 19200u);
    EXPECT_EQ(C.DataBits(), db8);
    EXPECT_TRUE(C.DTREnabled());
    EXPECT_FALSE(C.EchoQueryBeforeReply());
    EXPECT_EQ(C.FlowControl(), fcNone);
    EXPECT_FALSE(C.HookExistingPort());
    EXPECT_EQ(C.InputBufferSize(), 1024);
    EXPECT_EQ(C.MaxRetries(), 1u);
    EXPECT_EQ(C.OutputBufferSize(), 1024);
    EXPECT_EQ(C.Parity(), psEven);
    EXPECT_EQ(C.Port(), "COM1");
    EXPECT_EQ(C.ReceiveTimeout(), 1000u);
    EXPECT_EQ(C.RefetchDelay(), 0u);
    EXPECT_TRUE(C.RTSEnabled());
    EXPECT_EQ(C.RTSHoldDelay(), 0u);
    EXPECT_EQ(C.SendTimeout(), 1000u);
    EXPECT_EQ(C.SilentInterval(), 4u);
    EXPECT_EQ(C.StopBits(), sb1);
    EXPECT_EQ(C.ThreadPriority(), tpNormal);
    EXPECT_EQ(C.TransmissionMode(), tmRTU);
    EXPECT_EQ(C.TurnaroundDelay(), 100u);
    EXPECT_EQ(C.RealSilentInterval(), 0u);
    EXPECT_EQ(C.ClientCount(), 0);
    EXPECT_EQ(C.ServerCount(), 0);
    EXPECT_EQ(C.CountPendingTransactions(nullptr), 0);
}

TEST(ConnectionDefaultsTest, RangeRules) {
    TModbusConnection C;
    EXPECT_EQ(ErrorOf([&] { C.SetMaxRetries(0); }), "Value must be between 1 and 4294967295");
    EXPECT_EQ(C.MaxRetries(), 1u);
    EXPECT_EQ(ErrorOf([&] { C.SetCustomBaudRate(0); }), "Value must be between 1 and 4294967295");
    EXPECT_EQ(ErrorOf([&] { C.SetSilentInterval(390452); }), "Value must be between 0 and 390451");
    EXPECT_EQ(C.SilentInterval(), 4u);
    C.SetSilentInterval(390451);

    C.SetCustomBaudRate(9600);
    EXPECT_EQ(C.BaudRate(), brCustom);
    C.SetBaudRate(br9600);
    EXPECT_EQ(C.CustomBaudRate(), 9600u);
}

TEST_F(ConnectionOnPty, ClosedOnlySettingsRefuseChangesWhileOpen) {
    Connection.Open();
    ASSERT_TRUE(Connection.Active());
    struct TCase {
        const char* Name;
        std::function<void()> Same, Different;
    };
    auto& C = Connection;
    const TCase Cases[] = {
        {"ConnectionMode", [&] { C.SetConnectionMode(cmClient); }, [&] { C.SetConnectionMode(cmServer); }},
        {"TransmissionMode", [&] { C.SetTransmissionMode(tmRTU); }, [&] { C.SetTransmissionMode(tmASCII); }},
        {"DTREnabled", [&] { C.SetDTREnabled(true); }, [&] { C.SetDTREnabled(false); }},
        {"RTSEnabled", [&] { C.SetRTSEnabled(true); }, [&] { C.SetRTSEnabled(false); }},
        {"FlowControl", [&] { C.SetFlowControl(fcNone); }, [&] { C.SetFlowControl(fcRtsCts); }},
        {"HookExistingPort", [&] { C.SetHookExistingPort(false); }, [&] { C.SetHookExistingPort(true); }},
        {"InputBufferSize", [&] { C.SetInputBufferSize(1024); }, [&] { C.SetInputBufferSize(2048); }},
        {"OutputBufferSize", [&] { C.SetOutputBufferSize(1024); }, [&] { C.SetOutputBufferSize(2048); }},
        {"Port", [&] { C.SetPort(Pty.SlavePath()); }, [&] { C.SetPort("COM2"); }},
    };
    for (const auto& Case : Cases) {
        EXPECT_EQ(ErrorOf(Case.Same), "") << Case.Name; // an equal value checks nothing
        EXPECT_EQ(ErrorOf(Case.Different), MustBeInactive) << Case.Name;
    }
    EXPECT_EQ(C.TransmissionMode(), tmRTU);
    EXPECT_EQ(C.Port(), Pty.SlavePath());

    // Timing settings change at any time; line settings are applied at once.
    C.SetReceiveTimeout(250);
    C.SetMaxRetries(3);
    C.SetEchoQueryBeforeReply(true);
    EXPECT_EQ(C.ReceiveTimeout(), 250u);
    Log->Clear();
    C.SetBaudRate(br9600);
    C.SetParity(psNone);
    auto Calls = Log->Snapshot();
    ASSERT_EQ(Calls.size(), 2u);
    EXPECT_EQ(Calls[0].Settings.BaudRate, 9600u);
    EXPECT_EQ(Calls[1].Settings.Parity, psNone);
    C.Close();
    C.SetTransmissionMode(tmASCII); // closed again: allowed
    EXPECT_EQ(C.TransmissionMode(), tmASCII);
}

TEST_F(ConnectionOnPty, OpenAndCloseFireTheirEventsAroundTheChange) {
    std::vector<std::string> Events;
    auto Record = [&](const char* Name) {
        return [&, Name](TComponent* Sender) {
            EXPECT_EQ(Sender, &Connection);
            Events.push_back(std::string(Name) + (Connection.Active() ? " (open)" : " (closed)"));
        };
    };
    Connection.OnBeforeOpen = Record("BeforeOpen");
    Connection.OnAfterOpen = Record("AfterOpen");
    Connection.OnBeforeClose = Record("BeforeClose");
    Connection.OnAfterClose = Record("AfterClose");
    Connection.Open();
    Connection.Open(); // already open: nothing
    EXPECT_NE(Access::Thread(Connection), nullptr);
    Connection.Close();
    EXPECT_EQ(Access::Thread(Connection), nullptr);
    const std::vector<std::string> Expected = {"BeforeOpen (closed)", "AfterOpen (closed)",
                                               "BeforeClose (open)", "AfterClose (open)"};
    EXPECT_EQ(Events, Expected);
}

TEST_F(ConnectionOnPty, FailedOpenLeavesTheConnectionClosedWithThePortReleased) {
    struct TCase {
        std::function<void()> Arrange;
        std::string Error;
        bool PortWasOpened;
    };
    const TCase Cases[] = {
        {[&] { Connection.SetPort("/dev/quorvel-no-such-port"); }, "Could not open serial port", false},
        {[&] { Connection.SetInputBufferSize(-1); }, "Failed to initialize serial I/O buffers", true},
        {[&] { Connection.SetOutputBufferSize(-1); }, "Failed to initialize serial I/O buffers", true},
    };
    // Outside the loop: the handlers still fire on the last open below.
    bool BeforeOpen = false, AfterOpen = false;
    for (const auto& Case : Cases) {
        Log->Clear();
        BeforeOpen = AfterOpen = false;
        Connection.OnBeforeOpen = [&](TComponent*) { BeforeOpen = true; };
        Connection.OnAfterOpen = [&](TComponent*) { AfterOpen = true; };
        Case.Arrange();
        EXPECT_EQ(ErrorOf([&] { Connection.Open(); }), Case.Error);
        EXPECT_TRUE(BeforeOpen);
        EXPECT_FALSE(AfterOpen);
        EXPECT_FALSE(Connection.Active());
        EXPECT_EQ(Access::Thread(Connection), nullptr);
        EXPECT_EQ(Log->Names().empty() ? "" : Log->Names().back(), Case.PortWasOpened ? "closed" : "");
        Connection.SetPort(Pty.SlavePath());
        Connection.SetInputBufferSize(1024);
        Connection.SetOutputBufferSize(1024);
    }
    Connection.Open(); // and the port opens again afterwards
    EXPECT_TRUE(Connection.Active());
}

TEST_F(ConnectionOnPty, RequestFromInsideAfterOpenIsRefused) {
    std::string Inside;
    Connection.OnAfterOpen = [&](TComponent*) { Inside = ErrorOf([&] { Enqueue(1, nullptr); }); };
    Connection.Open();
    EXPECT_EQ(Inside, MustBeActive);
    EXPECT_EQ(ErrorOf([&] { Enqueue(1, nullptr); }), "");
}

TEST_F(ConnectionOnPty, HookedPortIsUsedAndNeverClosed) {
    const int Fd = ::open(Pty.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(Fd, 0);
    Connection.SetHookExistingPort(true);
    EXPECT_EQ(ErrorOf([&] { Connection.Open(); }), "Could not open serial port"); // no handler: no handle
    Connection.OnGetHookedPortHandle = [&](TComponent*, TPortHandle& Handle) { Handle = Fd; };
    Connection.Open();
    ASSERT_TRUE(Connection.Active());
    // Written at once after the open: nothing the line carries from now on is purged.
    const std::uint8_t Byte = 0x5A;
    EXPECT_TRUE(Access::WriteFrame(Connection, &Byte, 1, 1000));
    EXPECT_EQ(Pty.Read(1, std::chrono::milliseconds(1000)), TBytes{0x5A});
    Connection.Close();
    EXPECT_NE(fcntl(Fd, F_GETFD), -1); // still open
    ::close(Fd);
}

TEST_F(ConnectionOnPty, LoadedActiveOpensAfterLoadingAndAFailureIsShownOnce) {
    std::vector<std::string> Shown;
    auto Previous = SetApplicationExceptionHandler(
        [&](TComponent*, std::exception_ptr E) { Shown.push_back(ExceptionMessage(E)); });
    {
        TModbusConnection C;
        C.BeginLoading();
        C.SetActive(true);
        C.SetPort(Pty.SlavePath());
        EXPECT_FALSE(C.Active());
        C.EndLoading();
        EXPECT_TRUE(C.Active());
    }
    {
        TModbusConnection C;
        C.BeginLoading();
        C.SetActive(true);
        C.SetPort("/dev/quorvel-no-such-port");
        EXPECT_NO_THROW(C.EndLoading());
        EXPECT_FALSE(C.Active());
    }
    SetApplicationExceptionHandler(Previous);
    EXPECT_EQ(Shown, std::vector<std::string>{"Could not open serial port"});
}

TEST_F(ConnectionOnPty, RealSilentIntervalFollowsTheLineSettings) {
    Connection.Open();
    struct TCase {
        TBaudRate Rate;
        std::uint32_t Silent;
        TParityScheme Parity;
        TStopBits Stop;
        std::uint32_t Expected;
    };
    const TCase Cases[] = {
        {br19200, 4, psEven, sb1, 16},   // 40000 / 19200 = 2.08, ceiling 3, raised to 16
        {br19200, 100, psEven, sb1, 53}, // 52.08
        {br1200, 4, psEven, sb1, 34},    // 33.3
        {br110, 4, psEven, sb1, 364},     {br110, 4, psNone, sb2, 364}, // still 10 bits per character
        {br9600, 100, psNone, sb1, 94},                                 // 9 bits: 93.75
        {br115200, 1000, psOdd, sb2, 96},                               // 11 bits: 95.49
    };
    for (const auto& C : Cases) {
        Connection.SetBaudRate(C.Rate);
        Connection.SetParity(C.Parity);
        Connection.SetStopBits(C.Stop);
        Connection.SetSilentInterval(C.Silent);
        EXPECT_EQ(Connection.RealSilentInterval(), C.Expected) << C.Rate << " " << C.Silent;
    }
    Connection.SetDataBits(db7); // 7E2 at 115200: 10 bits
    EXPECT_EQ(Connection.RealSilentInterval(), 87u);
    Connection.SetCustomBaudRate(300);
    EXPECT_EQ(Connection.RealSilentInterval(), 33334u);

    Connection.Close();
    Connection.SetTransmissionMode(tmASCII);
    for (auto [Silent, Expected] : {std::pair{4u, 16u}, {50u, 50u}}) {
        Connection.SetSilentInterval(Silent);
        Connection.Open();
        EXPECT_EQ(Connection.RealSilentInterval(), Expected);
        Connection.Close();
    }
}

TEST_F(ConnectionOnPty, LineStateAtOpenFollowsFlowControl) {
    struct TCase {
        TFlowControl Flow;
        bool RTSEnabled, DTREnabled;
        bool RTSRaised, DTRRaised;
    };
    const TCase Cases[] = {
        {fcNone, true, true, true, true},       {fcNone, false, false, false, false},
        {fcRtsToggle, true, true, false, true}, {fcRtsCts, true, true, false, true},
        {fcDtrDsr, true, true, true, false},
    };
    for (const auto& C : Cases) {
        Connection.SetFlowControl(C.Flow);
        Connection.SetRTSEnabled(C.RTSEnabled);
        Connection.SetDTREnabled(C.DTREnabled);
        Log->Clear();
        Connection.Open();
        auto Calls = Log->Snapshot();
        ASSERT_FALSE(Calls.empty());
        EXPECT_EQ(Calls[0].What, "configure");
        EXPECT_EQ(Calls[0].Settings.FlowControl, C.Flow);
        EXPECT_EQ(Calls[0].Settings.RTSRaised, C.RTSRaised) << C.Flow;
        EXPECT_EQ(Calls[0].Settings.DTRRaised, C.DTRRaised) << C.Flow;
        Connection.Close();
    }
}

TEST_F(ConnectionOnPty, ManualModemLines) {
    EXPECT_EQ(ErrorOf([&] { Connection.ChangeDTR(false); }), MustBeActive);
    struct TCase {
        TFlowControl Flow;
        bool DTRAllowed, RTSAllowed;
    };
    const TCase Cases[] = {
        {fcNone, true, true}, {fcRtsToggle, true, false}, {fcRtsCts, true, false}, {fcDtrDsr, false, true}};
    for (const auto& C : Cases) {
        Connection.SetFlowControl(C.Flow);
        Connection.Open();
        Log->Clear();
        EXPECT_EQ(ErrorOf([&] { Connection.ChangeDTR(false); }), C.DTRAllowed ? "" : FlowNotValid) << C.Flow;
        EXPECT_EQ(ErrorOf([&] { Connection.ChangeRTS(true); }), C.RTSAllowed ? "" : FlowNotValid) << C.Flow;
        std::vector<std::string> Expected;
        if (C.DTRAllowed)
            Expected.push_back("DTR 0");
        if (C.RTSAllowed)
            Expected.push_back("RTS 1");
        EXPECT_EQ(Log->Names(), Expected);
        Connection.Close();
    }
    // DTREnabled and RTSEnabled only set the line at open.
    EXPECT_TRUE(Connection.DTREnabled());
}

TEST_F(ConnectionOnPty, IdsAreConsecutiveAcrossCloseAndReopen) {
    EXPECT_EQ(Connection.GetNextUniqueID(), 0u);
    EXPECT_EQ(Connection.GetNextUniqueID(), 1u);
    Connection.Open();
    Connection.Close();
    Connection.Open();
    EXPECT_EQ(Connection.GetNextUniqueID(), 2u);
}

TEST_F(ConnectionOnPty, PendingTransactionsAreCountedByAddressAndDiscardedByOriginator) {
    TModbusClient First, Second, Third;
    First.SetServerAddress(1);
    Second.SetServerAddress(2);
    Connection.RegisterClient(&First);
    Connection.RegisterClient(&First); // once only
    Connection.RegisterClient(&Second);
    Connection.RegisterClient(nullptr);
    EXPECT_EQ(Connection.ClientCount(), 2);

    EXPECT_EQ(ErrorOf([&] { Enqueue(1, &First); }), MustBeActive);
    Connection.Open();
    for (int I = 0; I < 3; ++I)
        Enqueue(1, &First);
    Enqueue(1, &Third); // another originator to the same address
    EXPECT_EQ(Connection.CountPendingTransactions(&First), 4);
    EXPECT_EQ(Connection.CountPendingTransactions(&Second), 0);
    EXPECT_EQ(Connection.CountPendingTransactions(nullptr), 4);

    Connection.DiscardPendingTransactions(&First);
    EXPECT_EQ(Connection.CountPendingTransactions(&First), 1); // Third's stays
    Connection.DiscardPendingTransactions(nullptr);
    EXPECT_EQ(Connection.CountPendingTransactions(nullptr), 0);

    Enqueue(2, &Second);
    Connection.Close();
    EXPECT_EQ(Connection.CountPendingTransactions(nullptr), 0);
    Connection.DiscardPendingTransactions(nullptr); // closed: nothing to do

    Connection.UnregisterClient(&First);
    Connection.UnregisterClient(&First);
    EXPECT_EQ(Connection.ClientCount(), 1);
}

TEST_F(ConnectionOnPty, BroadcastWritesBuildTheirRequests) {
    // In server mode the queue is not served, so the requests stay there to be read.
    Connection.SetConnectionMode(cmServer);
    EXPECT_EQ(ErrorOf([&] { Connection.WriteSingleCoil(1, true, nullptr); }), MustBeActive);
    Connection.Open();
    int Tag = 0;
    EXPECT_EQ(Connection.WriteSingleCoil(0x00AC, true, &Tag), 0u);
    EXPECT_EQ(Connection.WriteSingleRegister(0x0001, 0x0003, nullptr), 1u);
    EXPECT_EQ(Connection.WriteMultipleCoils(
                  0x0013, {true, false, true, true, false, false, true, true, true, false}, nullptr),
              2u);
    EXPECT_EQ(Connection.WriteMultipleRegisters(0x0001, {0x000A, 0x0102}, nullptr), 3u);
    // Frames with their CRC computed by an independent bitwise CRC-16 in Python.
    const std::vector<TBytes> Expected = {
        {0x00, 0x05, 0x00, 0xAC, 0xFF, 0x00, 0x4D, 0xCA},
        {0x00, 0x06, 0x00, 0x01, 0x00, 0x03, 0x99, 0xDA},
        {0x00, 0x0F, 0x00, 0x13, 0x00, 0x0A, 0x02, 0xCD, 0x01, 0x7F, 0x5B},
        {0x00, 0x10, 0x00, 0x01, 0x00, 0x02, 0x04, 0x00, 0x0A, 0x01, 0x02, 0x96, 0xCC},
    };
    EXPECT_EQ(Access::Thread(Connection)->QueuedQueries(), Expected);
    EXPECT_EQ(Connection.CountPendingTransactions(nullptr), 4);
    Connection.DiscardPendingTransactions(nullptr); // server mode: does nothing
    EXPECT_EQ(Connection.CountPendingTransactions(nullptr), 4);
}

TEST_F(ConnectionOnPty, BroadcastWriteArgumentChecks) {
    Connection.SetConnectionMode(cmServer);
    Connection.Open();
    struct TCase {
        std::function<void()> Write;
        std::string Error;
    };
    const TCase Cases[] = {
        {[&] { Connection.WriteMultipleCoils(0, TBitValues(1977), nullptr); },
         "Discrete i/o count must be between 1 and 1976"},
        {[&] { Connection.WriteMultipleCoils(0, {}, nullptr); },
         "Discrete i/o count must be between 1 and 1976"},
        {[&] { Connection.WriteMultipleCoils(65535, TBitValues(2), nullptr); },
         "Starting discrete i/o index is invalid (65535)"},
        {[&] { Connection.WriteMultipleRegisters(0, std::vector<std::uint16_t>(124), nullptr); },
         "Register count must be between 1 and 123"},
        {[&] { Connection.WriteMultipleRegisters(65000, std::vector<std::uint16_t>(536), nullptr); },
         "Register count must be between 1 and 123"},
        {[&] { Connection.WriteMultipleRegisters(65534, std::vector<std::uint16_t>(3), nullptr); },
         "Starting register index is invalid (65534)"},
        {[&] { Connection.WriteMultipleCoils(65535, TBitValues(1), nullptr); }, ""},
        {[&] { Connection.WriteMultipleCoils(0, TBitValues(1976), nullptr); }, ""},
        {[&] { Connection.WriteMultipleRegisters(65413, std::vector<std::uint16_t>(123), nullptr); }, ""},
    };
    for (const auto& C : Cases)
        EXPECT_EQ(ErrorOf(C.Write), C.Error);
    // A refused request takes no ID: only the three accepted ones did.
    EXPECT_EQ(Connection.GetNextUniqueID(), 3u);
}

TEST_F(ConnectionOnPty, DestroyClosesFirst) {
    std::vector<std::string> Events;
    {
        TModbusConnection C;
        C.SetPort(Pty.SlavePath());
        C.OnBeforeClose = [&](TComponent*) { Events.push_back("BeforeClose"); };
        C.OnAfterClose = [&](TComponent*) { Events.push_back("AfterClose"); };
        C.Open();
    }
    EXPECT_EQ(Events, (std::vector<std::string>{"BeforeClose", "AfterClose"}));
}
