// The client's diagnostics, exception status, server identification and file
// record requests against the pymodbus serial server (RTU and ASCII), started
// by each test on one end of a pty bridge.
//
// What the peer answers (see Peers/pymodbus_server.py): every Diagnostics
// sub-function but Force Listen Only Mode, with counters preset to tell them
// apart; Read Exception Status with one bit per non-zero counter; Report
// Server ID with its identity; Read and Write File Record against files 1 to
// 3, whose record r of file f starts as 10000 * f + r.

#include <Quorvel.h>

#include "Support/ClientFixture.h"
#include "Support/PeerProcess.h"
#include "Support/PtyBridge.h"

#include <gtest/gtest.h>

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
constexpr std::uint32_t MaxRetries = 2;

std::uint16_t FileRecordAt(int File, int Record) {
    return static_cast<std::uint16_t>(10000 * File + Record);
}

// File, first record and values of each record in a list.
using TRecords = std::vector<std::tuple<std::uint16_t, std::uint16_t, TRegValues>>;

struct TPeerSpec {
    const char* Name;
    TTransmissionMode Mode;
};

void PrintTo(const TPeerSpec& Spec, std::ostream* Out) {
    *Out << Spec.Name;
}

// Copies a file record list, so it outlives the event that lent it.
TRecords Copy(const TModbusFileRecordList& List) {
    std::vector<std::tuple<std::uint16_t, std::uint16_t, TRegValues>> V;
    for (std::int32_t I = 0; I < List.Count(); ++I) {
        const TModbusFileRecord& R = List.Items(I);
        TRegValues Values;
        for (std::int32_t J = 0; J < R.RegCount(); ++J)
            Values.push_back(R.RegValues(J));
        V.emplace_back(R.FileID(), R.StartReg(), Values);
    }
    return V;
}

class ClientDiagnosticsInterop : public ::testing::TestWithParam<TPeerSpec> {
protected:
    void SetUp() override {
        Peer = std::make_unique<TPeerProcess>(std::vector<std::string>{
            QUORVEL_PYTHON, QUORVEL_PYMODBUS_SERVER, GetParam().Mode == tmASCII ? "ascii" : "rtu",
            Bridge.SlavePathA(), std::to_string(PeerUnit)});
        Connection.SetPort(Bridge.SlavePathB());
        Connection.SetParity(psNone);
        Connection.SetBaudRate(br19200);
        Connection.SetTransmissionMode(GetParam().Mode);
        Connection.SetReceiveTimeout(1000);
        Connection.SetMaxRetries(MaxRetries);
        Connection.Open();
        Client.SetConnection(&Connection);
        Client.SetServerAddress(PeerUnit);
    }

    void TearDown() override {
        Connection.Close();
        Quorvel::ProcessMessages();
        Peer->Stop();
        EXPECT_TRUE(Peer->EndedCleanly()) << "peer ended with " << Peer->End();
        if (HasFailure())
            std::cerr << "--- peer stderr (" << Peer->CommandLine() << ") ---\n"
                      << Peer->StderrText() << "--- end of peer stderr ---\n";
        EXPECT_EQ(Bridge.RelayError(), "");
    }

    // Issues a request through Issue and pumps the main-thread queue until Event
    // fires for its transaction ID. Returns the event's Info and arguments, or
    // nothing (with a failure recorded) when it did not fire within Timeout.
    template <typename... TArgs>
    std::optional<std::tuple<TTransactionInfo, std::decay_t<TArgs>...>>
    Await(std::function<void(TComponent*, const TTransactionInfo&, TArgs...)>& Event,
          const std::function<std::uint32_t()>& Issue, std::chrono::milliseconds Timeout = 8000ms) {
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

    // The outcome and result of one Diagnostics request; Action is checked on the way.
    std::pair<TServerReply, std::uint16_t> Diagnose(TDiagnosticAction Action) {
        auto R = Await(Client.OnDiagnostics, [&] { return Client.Diagnostics(Action, nullptr); });
        if (!R)
            return {srNone, 0};
        EXPECT_EQ(std::get<1>(*R), Action);
        return {std::get<0>(*R).Reply, std::get<2>(*R)};
    }

    TExceptionStatusValues ExceptionStatus() {
        auto R = Await(Client.OnExceptionStatusRead, [&] { return Client.ReadExceptionStatus(nullptr); });
        if (!R || std::get<0>(*R).Reply != srNormalReply) {
            ADD_FAILURE() << "reading the exception status failed";
            return {};
        }
        return std::get<1>(*R);
    }

    // Issues a file record request and pumps until its event fires. Returns the
    // outcome and a copy of the records the event carried: its list lives only
    // during the event.
    std::optional<std::pair<TTransactionInfo, TRecords>> FileRecords(bool Write,
                                                                     const TModbusFileRecordList& List) {
        auto& Event = Write ? Client.OnFileRecordWrite : Client.OnFileRecordRead;
        std::optional<std::pair<TTransactionInfo, TRecords>> Got;
        std::uint32_t Id = 0;
        Event = [&](TComponent* Sender, const TTransactionInfo& Info, TModbusFileRecordList& Records) {
            EXPECT_EQ(Sender, &Client);
            if (Info.ID == Id && !Got)
                Got.emplace(Info, Copy(Records));
        };
        Id = Write ? Client.WriteFileRecord(List, nullptr) : Client.ReadFileRecord(List, nullptr);
        QuorvelTest::PumpUntil([&] { return Got.has_value(); }, 8000ms);
        Event = nullptr;
        if (!Got)
            ADD_FAILURE() << "no file record event for transaction " << Id;
        return Got;
    }

    TPtyBridge Bridge;
    std::unique_ptr<TPeerProcess> Peer;
    TModbusConnection Connection;
    TModbusClient Client;
};

TEST_P(ClientDiagnosticsInterop, EverySubFunctionGetsItsOwnAnswer) {
    // The counters are preset to different values, so a sub-function mixed up
    // with another shows. The echoing sub-functions carry no result of their
    // own (Echo): a normal reply shows the echo matched the request.
    constexpr std::optional<std::uint16_t> Echo;
    struct TCase {
        TDiagnosticAction Action;
        std::optional<std::uint16_t> Result;
    };
    const TCase Cases[] = {
        {daReturnQueryData, Echo},
        // pymodbus packs diagnostic register bit i into bit i % 8 of byte i / 8
        // and sends the two bytes in that order: bits 0, 2 and 9 give 05 02.
        {daReturnDiagnosticRegister, 0x0502},
        {daReturnBusMessageCount, 11},
        {daReturnBusCommErrorCount, 0},
        {daReturnBusExceptionErrorCount, 13},
        {daReturnServerMessageCount, 14},
        {daReturnServerNoReplyCount, 0},
        {daReturnServerNegativeAcknowledgeCount, 16},
        {daReturnServerBusyCount, 0},
        {daReturnBusCharacterOverrunCount, 18},
        {daRestartCommsOption, Echo},
        {daRestartCommsOptionAndClearEventLog, Echo},
        // Clearing the overrun counter leaves the others; clearing all zeroes
        // the counters and the diagnostic register.
        {daClearOverrunCounterAndFlag, Echo},
        {daReturnBusCharacterOverrunCount, 0},
        {daReturnBusMessageCount, 11},
        {daClearCountersAndDiagnosticRegister, Echo},
        {daReturnBusMessageCount, 0},
        {daReturnServerNegativeAcknowledgeCount, 0},
        {daReturnDiagnosticRegister, 0},
    };
    for (const TCase& C : Cases) {
        SCOPED_TRACE("sub-function " + std::to_string(DiagnosticActionCode(C.Action)) + ", action " +
                     std::to_string(C.Action));
        const auto [Reply, Result] = Diagnose(C.Action);
        EXPECT_EQ(Reply, srNormalReply);
        if (C.Result) {
            EXPECT_EQ(Result, *C.Result);
        }
    }
}

TEST_P(ClientDiagnosticsInterop, ForceListenOnlyModeIsNotAnswered) {
    // No reply comes to Force Listen Only Mode, so every attempt times out.
    // pymodbus notes the mode but its serial server goes on answering.
    auto R = Await(Client.OnDiagnostics, [&] { return Client.Diagnostics(daForceListenOnlyMode, nullptr); });
    ASSERT_TRUE(R);
    EXPECT_EQ(std::get<0>(*R).Reply, srNone);
    EXPECT_EQ(std::get<0>(*R).Retries, MaxRetries);
    EXPECT_EQ(std::get<1>(*R), daForceListenOnlyMode);
    EXPECT_EQ(Diagnose(daReturnQueryData).first, srNormalReply);
}

TEST_P(ClientDiagnosticsInterop, ExceptionStatusHasOneBitPerNonZeroCounter) {
    // Bit i stands for counter i: bus messages, bus communication errors,
    // exception errors, server messages, no-response, NAK, busy, overruns.
    EXPECT_EQ(ExceptionStatus(), (TExceptionStatusValues{true, false, true, true, false, true, false, true}));
    EXPECT_EQ(Diagnose(daClearOverrunCounterAndFlag).first, srNormalReply);
    EXPECT_EQ(ExceptionStatus(),
              (TExceptionStatusValues{true, false, true, true, false, true, false, false}));
    EXPECT_EQ(Diagnose(daClearCountersAndDiagnosticRegister).first, srNormalReply);
    EXPECT_EQ(ExceptionStatus(), TExceptionStatusValues(8, false));
}

TEST_P(ClientDiagnosticsInterop, ReportServerIDCarriesIdentityAndRunIndicator) {
    auto R = Await(Client.OnServerIdentificationReport, [&] { return Client.ReportServerID(nullptr); });
    ASSERT_TRUE(R);
    auto& [Info, Count, Data] = *R;
    EXPECT_EQ(Info.Reply, srNormalReply);
    const std::string Identity = "Quorvel-QVPEER-3.0";
    TServerIdentificationData Expected(Identity.begin(), Identity.end());
    Expected.push_back(0xFF); // running
    EXPECT_EQ(Count, static_cast<std::int32_t>(Expected.size()));
    EXPECT_EQ(Data, Expected);
}

TEST_P(ClientDiagnosticsInterop, FileRecordsReadWriteAndReadBack) {
    // Three runs in three files, one of them ending on the last record.
    TModbusFileRecordList Read;
    Read.Add(1, 1, 2);
    Read.Add(3, 9990, 10);
    Read.Add(2, 0, 1);
    auto R = FileRecords(false, Read);
    ASSERT_TRUE(R);
    EXPECT_EQ(R->first.Reply, srNormalReply);
    TRegValues Tail;
    for (int I = 9990; I < 10000; ++I)
        Tail.push_back(FileRecordAt(3, I));
    EXPECT_EQ(R->second, (TRecords{{1, 1, {FileRecordAt(1, 1), FileRecordAt(1, 2)}},
                                   {3, 9990, Tail},
                                   {2, 0, {FileRecordAt(2, 0)}}}));

    TModbusFileRecordList Write;
    Write.Add(2, 5, TRegValues{0x1234, 0x5678});
    Write.Add(3, 9999, TRegValues{0xFFFF});
    R = FileRecords(true, Write);
    ASSERT_TRUE(R);
    EXPECT_EQ(R->first.Reply, srNormalReply);
    EXPECT_EQ(R->second, (TRecords{{2, 5, {0x1234, 0x5678}}, {3, 9999, {0xFFFF}}}));

    TModbusFileRecordList Back;
    Back.Add(2, 4, 4);
    Back.Add(3, 9998, 2);
    R = FileRecords(false, Back);
    ASSERT_TRUE(R);
    EXPECT_EQ(R->first.Reply, srNormalReply);
    EXPECT_EQ(R->second, (TRecords{{2, 4, {FileRecordAt(2, 4), 0x1234, 0x5678, FileRecordAt(2, 7)}},
                                   {3, 9998, {FileRecordAt(3, 9998), 0xFFFF}}}));

    // The largest read that fits a reply: 124 registers, a frame that crosses
    // the bridge in several chunks.
    TModbusFileRecordList Large;
    Large.Add(1, 100, 124);
    R = FileRecords(false, Large);
    ASSERT_TRUE(R);
    EXPECT_EQ(R->first.Reply, srNormalReply);
    ASSERT_EQ(R->second.size(), 1u);
    TRegValues LargeValues;
    for (int I = 100; I < 224; ++I)
        LargeValues.push_back(FileRecordAt(1, I));
    EXPECT_EQ(std::get<2>(R->second[0]), LargeValues);
}

TEST_P(ClientDiagnosticsInterop, FileRecordsOutsideTheFilesAreRefused) {
    // The peer answers exception code 2 for a file it does not have; the
    // write changes nothing.
    struct TCase {
        const char* Name;
        bool Write;
        std::uint16_t File;
    };
    const TCase Cases[] = {{"read file 4", false, 4}, {"write file 0", true, 0}, {"write file 4", true, 4}};
    for (const TCase& C : Cases) {
        SCOPED_TRACE(C.Name);
        TModbusFileRecordList List;
        if (C.Write)
            List.Add(C.File, 0, TRegValues{1});
        else
            List.Add(C.File, 0, 1);
        auto R = Await(Client.OnTransactionProcessed, [&] {
            return C.Write ? Client.WriteFileRecord(List, nullptr) : Client.ReadFileRecord(List, nullptr);
        });
        ASSERT_TRUE(R);
        auto& [Info, Command, Custom] = *R;
        EXPECT_EQ(Command, C.Write ? 0x15 : 0x14);
        EXPECT_EQ(Info.Reply, srExceptionReply);
        EXPECT_EQ(Info.Exception, seIllegalDataAddress);
        EXPECT_EQ(Info.ExceptionCode, 2);
    }
}

std::string PeerName(const ::testing::TestParamInfo<TPeerSpec>& Info) {
    return Info.param.Name;
}

INSTANTIATE_TEST_SUITE_P(Pymodbus, ClientDiagnosticsInterop,
                         ::testing::Values(TPeerSpec{"Rtu", tmRTU}, TPeerSpec{"Ascii", tmASCII}), PeerName);

} // namespace
