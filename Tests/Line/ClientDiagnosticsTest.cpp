// Diagnostics, exception status, server identification and file records
// against a scripted server: the requests on the line and the decoders'
// accept and reject cases.

#include "Support/ClientFixture.h"

using namespace Quorvel;
using namespace QuorvelTest;

namespace {

std::string ErrorOf(const std::function<void()>& Action) {
    try {
        Action();
    } catch (const EQuorvelError& E) {
        return E.what();
    }
    return "";
}

} // namespace

struct TDiagnosticCase {
    TDiagnosticAction Action;
    TBytes Request; // PDU
    TBytes Reply;   // PDU
    TServerReply Verdict;
    TDiagnosticAction Reported;
    std::uint16_t Result;
};

TEST_F(ClientOnPty, DiagnosticsActions) {
    Connection.Open();
    TDiagnosticAction Action = daReturnQueryData;
    std::uint16_t Result = 0xEEEE;
    Client.OnDiagnostics = [&](TComponent*, const TTransactionInfo&, TDiagnosticAction A, std::uint16_t R) {
        Action = A;
        Result = R;
    };
    const TDiagnosticCase Cases[] = {
        {daReturnQueryData,
         {0x08, 0x00, 0x00, 0xA5, 0x37},
         {0x08, 0x00, 0x00, 0xA5, 0x37},
         srNormalReply,
         daReturnQueryData,
         0},
        {daReturnQueryData,
         {0x08, 0x00, 0x00, 0xA5, 0x37},
         {0x08, 0x00, 0x00, 0xA5, 0x36},
         srUnmatchedReply,
         daReturnQueryData,
         0},
        {daRestartCommsOptionAndClearEventLog,
         {0x08, 0x00, 0x01, 0xFF, 0x00},
         {0x08, 0x00, 0x01, 0xFF, 0x00},
         srNormalReply,
         daRestartCommsOptionAndClearEventLog,
         0},
        {daRestartCommsOption,
         {0x08, 0x00, 0x01, 0x00, 0x00},
         {0x08, 0x00, 0x01, 0x00, 0x00},
         srNormalReply,
         daRestartCommsOption,
         0},
        {daReturnBusMessageCount,
         {0x08, 0x00, 0x0B, 0x00, 0x00},
         {0x08, 0x00, 0x0B, 0x01, 0x2C},
         srNormalReply,
         daReturnBusMessageCount,
         300},
        {daReturnBusMessageCount,
         {0x08, 0x00, 0x0B, 0x00, 0x00},
         {0x08, 0x00, 0x0C, 0x01, 0x2C},
         srUnmatchedReply,
         daReturnBusMessageCount,
         0},
        {daReturnBusMessageCount,
         {0x08, 0x00, 0x0B, 0x00, 0x00},
         {0x08, 0x00, 0x0B, 0x01},
         srUnmatchedReply,
         daReturnBusMessageCount,
         0},
        {daClearOverrunCounterAndFlag,
         {0x08, 0x00, 0x14, 0x00, 0x00},
         {0x08, 0x00, 0x14, 0x00, 0x00},
         srNormalReply,
         daClearOverrunCounterAndFlag,
         0},
        {daReturnDiagnosticRegister,
         {0x08, 0x00, 0x02, 0x00, 0x00},
         {0x88, 0x01},
         srExceptionReply,
         daReturnDiagnosticRegister,
         0},
    };
    for (const auto& C : Cases) {
        Done.clear();
        Client.Diagnostics(C.Action, nullptr);
        TBytes Request{1}, Reply{1};
        Request.insert(Request.end(), C.Request.begin(), C.Request.end());
        Reply.insert(Reply.end(), C.Reply.begin(), C.Reply.end());
        EXPECT_EQ(Query(), RtuFrame(Request)) << C.Action;
        Answer(Reply);
        ASSERT_TRUE(AwaitCompletions(1)) << C.Action;
        EXPECT_EQ(Done[0].Reply, C.Verdict) << C.Action;
        EXPECT_EQ(Action, C.Reported) << C.Action;
        EXPECT_EQ(Result, C.Result) << C.Action;
    }
}

TEST(DiagnosticActionTest, CodesAndActions) {
    EXPECT_EQ(DiagnosticCodeToAction(1), daRestartCommsOption); // the first of the two with code 1
    EXPECT_EQ(DiagnosticCodeToAction(0x14), daClearOverrunCounterAndFlag);
    EXPECT_EQ(DiagnosticActionCode(daReturnBusCharacterOverrunCount), 0x12);
    EXPECT_THROW(DiagnosticCodeToAction(3), EQuorvelError);
}

TEST_F(ClientOnPty, ExceptionStatusAndServerIdentification) {
    Connection.Open();
    TExceptionStatusValues Status;
    Client.OnExceptionStatusRead = [&](TComponent*, const TTransactionInfo&,
                                       const TExceptionStatusValues& S) { Status = S; };
    std::int32_t Count = -1;
    TServerIdentificationData Data;
    Client.OnServerIdentificationReport = [&](TComponent*, const TTransactionInfo&, std::int32_t N,
                                              const TServerIdentificationData& D) {
        Count = N;
        Data = D;
    };

    Client.ReadExceptionStatus(nullptr);
    EXPECT_EQ(Query(), RtuFrame({0x01, 0x07}));
    Answer({0x01, 0x07, 0x81});
    ASSERT_TRUE(AwaitCompletions(1));
    EXPECT_EQ(Status, (TExceptionStatusValues{true, false, false, false, false, false, false, true}));

    Client.ReportServerID(nullptr);
    EXPECT_EQ(Query(), RtuFrame({0x01, 0x11}));
    Answer({0x01, 0x11, 0x03, 0x0A, 0xFF, 0x01});
    ASSERT_TRUE(AwaitCompletions(2));
    EXPECT_EQ(Done[1].Reply, srNormalReply);
    EXPECT_EQ(Count, 3);
    EXPECT_EQ(Data, (TServerIdentificationData{0x0A, 0xFF, 0x01}));

    // A byte count that runs past the frame: the check bytes are not taken for data.
    Client.ReportServerID(nullptr);
    Query();
    Answer({0x01, 0x11, 0x04, 0x0A, 0xFF});
    ASSERT_TRUE(AwaitCompletions(3));
    EXPECT_EQ(Done[2].Reply, srUnmatchedReply);
    EXPECT_EQ(Count, 4);
    EXPECT_EQ(Data, (TServerIdentificationData{0x0A, 0xFF, 0x00, 0x00}));

    // The defaults on a timeout.
    Connection.SetReceiveTimeout(30);
    Client.ReadExceptionStatus(nullptr);
    Client.ReportServerID(nullptr);
    ASSERT_TRUE(AwaitCompletions(5));
    EXPECT_EQ(Status, TExceptionStatusValues(8, false));
    EXPECT_EQ(Count, 0);
    EXPECT_TRUE(Data.empty());
}

TEST_F(ClientOnPty, FileRecordSizeLimits) {
    Connection.SetReceiveTimeout(0);
    Connection.Open();
    auto Records = [](int N, std::int32_t RegCount) {
        auto L = std::make_unique<TModbusFileRecordList>();
        for (int I = 0; I < N; ++I)
            L->Add(1, static_cast<std::uint16_t>(I), RegCount);
        return L;
    };
    const std::string Invalid = "File record list is empty or invalid";
    EXPECT_EQ(ErrorOf([&] { Client.ReadFileRecord(*Records(0, 1), nullptr); }), Invalid);
    EXPECT_EQ(ErrorOf([&] { Client.ReadFileRecord(*Records(35, 1), nullptr); }), "");
    EXPECT_EQ(ErrorOf([&] { Client.ReadFileRecord(*Records(36, 1), nullptr); }), Invalid);
    EXPECT_EQ(ErrorOf([&] { Client.ReadFileRecord(*Records(1, 124), nullptr); }), "");
    EXPECT_EQ(ErrorOf([&] { Client.ReadFileRecord(*Records(1, 125), nullptr); }), Invalid);
    EXPECT_EQ(ErrorOf([&] { Client.WriteFileRecord(*Records(0, 1), nullptr); }), Invalid);
    EXPECT_EQ(ErrorOf([&] { Client.WriteFileRecord(*Records(1, 122), nullptr); }), "");
    EXPECT_EQ(ErrorOf([&] { Client.WriteFileRecord(*Records(1, 123), nullptr); }), Invalid);
    EXPECT_EQ(Connection.GetNextUniqueID(), 3u); // only the three accepted took an ID
}

TEST_F(ClientOnPty, FileRecordRequestsAndReplies) {
    Connection.Open();
    std::vector<std::string> Reports;
    auto Report = [&](TComponent*, const TTransactionInfo& Info, TModbusFileRecordList& List) {
        std::string S = std::to_string(Info.Reply);
        for (std::int32_t I = 0; I < List.Count(); ++I) {
            const auto& R = List.Items(I);
            S += " [" + std::to_string(R.FileID()) + "@" + std::to_string(R.StartReg()) + ":";
            for (std::int32_t J = 0; J < R.RegCount(); ++J)
                S += " " + std::to_string(R.RegValues(J));
            S += "]";
        }
        Reports.push_back(S);
    };
    Client.OnFileRecordRead = Report;
    Client.OnFileRecordWrite = Report;

    {
        TModbusFileRecordList L;
        L.Add(4, 1, 2);
        L.Add(3, 9, 1);
        Client.ReadFileRecord(L, nullptr);
    } // the request keeps its own copy
    EXPECT_EQ(Query(), RtuFrame({0x01, 0x14, 0x0E, 0x06, 0x00, 0x04, 0x00, 0x01, 0x00, 0x02, 0x06, 0x00, 0x03,
                                 0x00, 0x09, 0x00, 0x01}));
    Answer({0x01, 0x14, 0x0A, 0x05, 0x06, 0x0D, 0xFE, 0x00, 0x20, 0x03, 0x06, 0x33, 0xCD});
    ASSERT_TRUE(AwaitCompletions(1));
    EXPECT_EQ(Reports.back(), "5 [4@1: 3582 32] [3@9: 13261]");

    // A reply whose second record has the wrong length: the first record's values stay.
    TModbusFileRecordList L;
    L.Add(4, 1, 2);
    L.Add(3, 9, 1);
    Client.ReadFileRecord(L, nullptr);
    Query();
    Answer({0x01, 0x14, 0x0A, 0x05, 0x06, 0x0D, 0xFE, 0x00, 0x20, 0x05, 0x06, 0x33, 0xCD});
    ASSERT_TRUE(AwaitCompletions(2));
    EXPECT_EQ(Reports.back(), "3 [4@1: 3582 32] [3@9: 0]");

    TModbusFileRecordList W;
    W.Add(4, 7, TRegValues{0x06AF, 0x04BE, 0x100D});
    const TBytes Request = {0x01, 0x15, 0x0D, 0x06, 0x00, 0x04, 0x00, 0x07,
                            0x00, 0x03, 0x06, 0xAF, 0x04, 0xBE, 0x10, 0x0D};
    Client.WriteFileRecord(W, nullptr);
    EXPECT_EQ(Query(), RtuFrame(Request));
    Answer(Request); // the echo
    ASSERT_TRUE(AwaitCompletions(3));
    EXPECT_EQ(Reports.back(), "5 [4@7: 1711 1214 4109]");

    Client.WriteFileRecord(W, nullptr);
    Query();
    Answer(TBytes(Request.begin(), Request.end() - 1)); // one byte short
    ASSERT_TRUE(AwaitCompletions(4));
    EXPECT_EQ(Reports.back(), "3 [4@7: 1711 1214 4109]");
}
