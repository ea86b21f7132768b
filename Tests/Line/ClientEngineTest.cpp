// The client engine against a scripted server on a pty pair: attempts and
// verdicts, skipping foreign frames, echoes, broadcasts, the close, and the
// hand-off to the client's events.

#include "Support/ClientFixture.h"

#include <thread>

using namespace Quorvel;
using namespace QuorvelTest;
using Clock = std::chrono::steady_clock;

namespace {

const TBytes ReadOneRegister = {0x01, 0x03, 0x00, 0x00, 0x00, 0x01};
const TBytes OneRegisterReply = {0x01, 0x03, 0x02, 0x00, 0x2A};

} // namespace

TEST_F(ClientOnPty, SilentServerIsAskedMaxRetriesTimesThenReportedOnce) {
    Connection.SetMaxRetries(3);
    Connection.SetReceiveTimeout(100);
    Connection.SetRefetchDelay(10);
    Connection.Open();
    const auto Start = Clock::now();
    const auto Id = Client.ReadHoldingRegisters(0, 1, nullptr);
    for (int I = 0; I < 3; ++I)
        EXPECT_EQ(Query(), RtuFrame(ReadOneRegister)) << "attempt " << I + 1;
    ASSERT_TRUE(AwaitCompletions(1));
    EXPECT_GE(Clock::now() - Start, 300ms);
    EXPECT_EQ(Done[0].ID, Id);
    EXPECT_EQ(Done[0].Reply, srNone);
    EXPECT_EQ(Done[0].Retries, 3u);
    EXPECT_TRUE(Query(100ms).empty()); // no fourth attempt
    PumpFor(50ms);
    EXPECT_EQ(Done.size(), 1u);
}

TEST_F(ClientOnPty, DamagedReplyIsRetriedAndBothFramesAreSeen) {
    Connection.SetMaxRetries(3);
    Connection.Open();
    TRegValues Values;
    Client.OnHoldingRegistersRead = [&](TComponent*, const TTransactionInfo&, std::uint16_t, std::uint16_t,
                                        const TRegValues& V) { Values = V; };
    Client.ReadHoldingRegisters(0, 1, nullptr);
    Query();
    TBytes Bad = RtuFrame(OneRegisterReply);
    Bad.back() ^= 0xFF;
    Pty.Write(Bad);
    Query();
    Answer(OneRegisterReply);
    ASSERT_TRUE(AwaitCompletions(1));
    EXPECT_EQ(Done[0].Reply, srNormalReply);
    EXPECT_EQ(Done[0].Retries, 2u);
    EXPECT_EQ(Values, TRegValues{42});
    const std::vector<std::string> Expected = {"send " + Hex(RtuFrame(ReadOneRegister)),
                                               "receive " + Hex(Bad),
                                               "send " + Hex(RtuFrame(ReadOneRegister)),
                                               "receive " + Hex(RtuFrame(OneRegisterReply)), "processed 3"};
    EXPECT_EQ(Log, Expected);
}

struct TVerdictCase {
    const char* Name;
    TBytes Reply;
    TServerReply Verdict;
    TServerException Exception;
    std::uint8_t Code;
};

TEST_F(ClientOnPty, AnsweredRepliesAreNeverRetried) {
    Connection.SetMaxRetries(5);
    Connection.Open();
    const TVerdictCase Cases[] = {
        {"exception 2", {0x01, 0x83, 0x02}, srExceptionReply, seIllegalDataAddress, 2},
        {"exception 0x0B", {0x01, 0x83, 0x0B}, srExceptionReply, seUnknown, 0x0B},
        {"other function code", {0x01, 0x04, 0x02, 0x00, 0x2A}, srUnmatchedReply, seUnknown, 0},
        {"0x83 of the wrong length", {0x01, 0x83, 0x02, 0x00}, srNormalReply, seUnknown, 0},
    };
    for (const auto& C : Cases) {
        Done.clear();
        Client.ReadHoldingRegisters(0, 1, nullptr);
        Query();
        Answer(C.Reply);
        ASSERT_TRUE(AwaitCompletions(1)) << C.Name;
        EXPECT_EQ(Done[0].Retries, 1u) << C.Name;
        EXPECT_EQ(Done[0].Exception, C.Exception) << C.Name;
        EXPECT_EQ(Done[0].ExceptionCode, C.Code) << C.Name;
        // The engine takes a 0x83 frame of the wrong length for a normal reply;
        // the decoder then finds it does not answer the request.
        EXPECT_EQ(Done[0].Reply, C.Verdict == srNormalReply ? srUnmatchedReply : C.Verdict) << C.Name;
        EXPECT_TRUE(Query(50ms).empty()) << C.Name;
    }
}

TEST_F(ClientOnPty, FrameFromAnotherServerIsSkippedUnlessPromiscuous) {
    Connection.Open();
    Client.ReadHoldingRegisters(0, 1, nullptr);
    Query();
    Answer({0x09, 0x03, 0x02, 0x00, 0x07});
    std::this_thread::sleep_for(60ms); // two frames, not one
    Answer(OneRegisterReply);
    ASSERT_TRUE(AwaitCompletions(1));
    EXPECT_EQ(Done[0].Reply, srNormalReply);
    EXPECT_EQ(Done[0].Retries, 1u);
    EXPECT_EQ(Done[0].Address, 1);

    TTransactionInfo Custom;
    TByteString Response;
    Client.OnCustomTransactionComplete = [&](TComponent*, const TTransactionInfo& Info, std::uint8_t,
                                             const TByteString&, const TByteString& R) {
        Custom = Info;
        Response = R;
    };
    Client.InitCustomTransaction(0x03, {0x00, 0x00, 0x00, 0x01}, true, nullptr);
    EXPECT_EQ(Query(), RtuFrame(ReadOneRegister));
    Answer({0x09, 0x03, 0x02, 0x00, 0x07});
    ASSERT_TRUE(AwaitCompletions(2));
    EXPECT_EQ(Custom.Reply, srNormalReply);
    EXPECT_EQ(Custom.Address, 9); // the server that answered
    EXPECT_EQ(Response, (TByteString{0x02, 0x00, 0x07}));
}

TEST_F(ClientOnPty, PromiscuousTimeoutKeepsTheAskedAddress) {
    Connection.SetReceiveTimeout(50);
    Connection.Open();
    TTransactionInfo Custom;
    TByteString Request, Response{0xEE};
    Client.OnCustomTransactionComplete = [&](TComponent*, const TTransactionInfo& Info, std::uint8_t,
                                             const TByteString& Q, const TByteString& R) {
        Custom = Info;
        Request = Q;
        Response = R;
    };
    Client.InitCustomTransaction(0x41, {}, true, nullptr);
    EXPECT_EQ(Query(), RtuFrame({0x01, 0x41}));
    ASSERT_TRUE(AwaitCompletions(1));
    EXPECT_EQ(Custom.Reply, srNone);
    EXPECT_EQ(Custom.Address, 1);
    EXPECT_TRUE(Request.empty());
    EXPECT_TRUE(Response.empty());
}

TEST_F(ClientOnPty, BroadcastIsWrittenOnceWithoutAnyEvent) {
    Connection.SetMaxRetries(3);
    Connection.SetTurnaroundDelay(50);
    Connection.Open();
    bool Fired = false;
    Client.OnSingleRegisterWrite = [&](auto&&...) { Fired = true; };
    Client.SetServerAddress(0);
    Client.WriteSingleRegister(7, 0x1234, nullptr);
    Connection.WriteSingleCoil(3, true, nullptr);
    EXPECT_EQ(Query(), RtuFrame({0x00, 0x06, 0x00, 0x07, 0x12, 0x34}));
    const auto First = Clock::now();
    EXPECT_EQ(Query(), RtuFrame({0x00, 0x05, 0x00, 0x03, 0xFF, 0x00}));
    EXPECT_GE(Clock::now() - First, 45ms); // the turnaround delay came between them
    PumpFor(100ms);
    EXPECT_FALSE(Fired);
    EXPECT_TRUE(Done.empty());
    EXPECT_TRUE(Query(50ms).empty());
}

TEST_F(ClientOnPty, CustomTransactionToAddressZeroIsAwaited) {
    Connection.Open();
    Client.SetServerAddress(0);
    Client.InitCustomTransaction(0x11, {}, false, nullptr);
    EXPECT_EQ(Query(), RtuFrame({0x00, 0x11}));
    Answer({0x00, 0x11, 0x01, 0xAB});
    ASSERT_TRUE(AwaitCompletions(1));
    EXPECT_EQ(Done[0].Reply, srNormalReply);
    EXPECT_EQ(Log.back(), "processed 17 custom");
}

TEST_F(ClientOnPty, EchoOfTheQueryIsRemoved) {
    Connection.SetEchoQueryBeforeReply(true);
    Connection.Open();
    const TBytes Echo = RtuFrame(ReadOneRegister);
    const TBytes Reply = RtuFrame(OneRegisterReply);
    // Echo and reply in one burst, then as two frames, then a line without echo.
    for (int Shape = 0; Shape < 3; ++Shape) {
        Log.clear();
        Done.clear();
        Client.ReadHoldingRegisters(0, 1, nullptr);
        Query();
        if (Shape == 0) {
            TBytes Both = Echo;
            Both.insert(Both.end(), Reply.begin(), Reply.end());
            Pty.Write(Both);
        } else if (Shape == 1) {
            Pty.Write(Echo);
            std::this_thread::sleep_for(60ms);
            Pty.Write(Reply);
        } else {
            Pty.Write(Reply);
        }
        ASSERT_TRUE(AwaitCompletions(1)) << Shape;
        EXPECT_EQ(Done[0].Reply, srNormalReply) << Shape;
        EXPECT_EQ(Log[1], "receive " + Hex(Reply)) << Shape;
    }
}

// Only the first frame after the query can be its echo. A write's reply repeats
// its query byte for byte, so after a frame from another server it must still
// count as the reply.
TEST_F(ClientOnPty, OnlyTheFirstFrameIsTakenForTheEcho) {
    Connection.SetEchoQueryBeforeReply(true);
    Connection.Open();
    Client.WriteSingleRegister(5, 0x1234, nullptr);
    const TBytes Q = Query();
    ASSERT_EQ(Q, RtuFrame({0x01, 0x06, 0x00, 0x05, 0x12, 0x34}));
    Pty.Write(Q);                                 // the echo
    std::this_thread::sleep_for(60ms);            // frames apart
    Answer({0x07, 0x06, 0x00, 0x05, 0x12, 0x34}); // another server's
    std::this_thread::sleep_for(60ms);
    Pty.Write(Q); // the reply
    ASSERT_TRUE(AwaitCompletions(1));
    EXPECT_EQ(Done[0].Reply, srNormalReply);
}

// An ASCII frame ends at its LF; a reply that arrives in the same read as the
// echo before it is the next frame, not lost.
TEST_F(ClientOnPty, AsciiReplyInTheSameReadAsTheEchoIsKept) {
    auto Ascii = [](const TBytes& Body) {
        std::uint8_t Sum = 0;
        for (auto B : Body)
            Sum = static_cast<std::uint8_t>(Sum + B);
        std::string S = ":";
        for (auto B : Body) {
            S += "0123456789ABCDEF"[B >> 4];
            S += "0123456789ABCDEF"[B & 15];
        }
        const auto Lrc = static_cast<std::uint8_t>(-Sum);
        S += "0123456789ABCDEF"[Lrc >> 4];
        S += "0123456789ABCDEF"[Lrc & 15];
        S += "\r\n";
        return TBytes(S.begin(), S.end());
    };
    Connection.SetTransmissionMode(tmASCII);
    Connection.SetEchoQueryBeforeReply(true);
    Connection.Open();
    Client.ReadHoldingRegisters(0, 1, nullptr);
    const TBytes Q = Query();
    ASSERT_EQ(Q, Ascii(ReadOneRegister));
    TBytes Both = Q;
    const TBytes Reply = Ascii(OneRegisterReply);
    Both.insert(Both.end(), Reply.begin(), Reply.end());
    Pty.Write(Both);
    ASSERT_TRUE(AwaitCompletions(1));
    EXPECT_EQ(Done[0].Reply, srNormalReply);
}

TEST_F(ClientOnPty, CloseWaitsForTheTransactionOnTheLine) {
    Connection.SetMaxRetries(2);
    Connection.SetReceiveTimeout(300);
    Connection.Open();
    Client.ReadHoldingRegisters(0, 1, nullptr);
    Client.ReadHoldingRegisters(1, 1, nullptr); // still queued at the close: freed silently
    Query();
    const auto Start = Clock::now();
    Connection.Close();
    EXPECT_GE(Clock::now() - Start, 450ms); // the rest of the first attempt and all of the second
    PumpFor(50ms);
    EXPECT_TRUE(Done.empty()); // closed meanwhile: handed back to no one
}

TEST_F(ClientOnPty, NextQueryWaitsForTheRefetchDelay) {
    Connection.SetRefetchDelay(200);
    Connection.Open();
    Client.ReadHoldingRegisters(0, 1, nullptr);
    Client.ReadHoldingRegisters(0, 1, nullptr);
    Query();
    Answer(OneRegisterReply);
    const auto Answered = Clock::now();
    Query();
    EXPECT_GE(Clock::now() - Answered, 190ms);
    Answer(OneRegisterReply);
    ASSERT_TRUE(AwaitCompletions(2));
}

TEST_F(ClientOnPty, ServerAddressChangeDropsTheCompletion) {
    Connection.Open();
    bool Fired = false;
    Client.OnHoldingRegistersRead = [&](auto&&...) { Fired = true; };
    Client.ReadHoldingRegisters(0, 1, nullptr);
    Client.ReadHoldingRegisters(0, 1, nullptr);
    Query();
    Client.SetServerAddress(2); // the queued one is discarded, the one on the line is orphaned
    EXPECT_EQ(Connection.CountPendingTransactions(nullptr), 0);
    Answer(OneRegisterReply);
    PumpFor(150ms);
    EXPECT_FALSE(Fired);
    EXPECT_TRUE(Done.empty());
    EXPECT_TRUE(Query(50ms).empty());
}

TEST_F(ClientOnPty, HandlerErrorIsShownOnceAndTheNextTransactionCompletes) {
    std::vector<std::string> Shown;
    auto Previous = SetApplicationExceptionHandler(
        [&](TComponent*, std::exception_ptr E) { Shown.push_back(ExceptionMessage(E)); });
    Connection.Open();
    int Calls = 0;
    Client.OnHoldingRegistersRead = [&](auto&&...) {
        if (++Calls == 1)
            throw std::runtime_error("handler failed");
    };
    Client.ReadHoldingRegisters(0, 1, nullptr);
    Query();
    Answer(OneRegisterReply);
    ASSERT_TRUE(PumpUntil([&] { return Calls == 1; }));
    Client.ReadHoldingRegisters(0, 1, nullptr);
    Query();
    Answer(OneRegisterReply);
    ASSERT_TRUE(AwaitCompletions(1)); // only the second reaches OnTransactionProcessed
    SetApplicationExceptionHandler(Previous);
    EXPECT_EQ(Calls, 2);
    EXPECT_EQ(Shown, std::vector<std::string>{"handler failed"});
}

TEST_F(ClientOnPty, EventOrderWithTimeoutAccounting) {
    Connection.SetReceiveTimeout(30);
    Connection.SetMaxRetries(2);
    Connection.Open();
    Client.SetMaxConsecutiveTimeouts(3);
    std::vector<std::string> Order;
    Client.OnHoldingRegistersRead = [&](auto&&...) { Order.push_back("read"); };
    Client.OnTransactionProcessed = [&](auto&&...) { Order.push_back("processed"); };
    Client.OnConsecutiveTimeoutLimitExceed = [&](TComponent*) {
        Order.push_back("limit, count " + std::to_string(Client.ConsecutiveTimeoutCount()));
    };
    Client.ReadHoldingRegisters(0, 1, nullptr);
    ASSERT_TRUE(PumpUntil([&] { return Order.size() == 2; }));
    EXPECT_EQ(Client.ConsecutiveTimeoutCount(), 2u);
    Client.ReadHoldingRegisters(0, 1, nullptr); // 2 + 2 > 3
    ASSERT_TRUE(PumpUntil([&] { return Order.size() == 5; }));
    EXPECT_EQ(Order, (std::vector<std::string>{"read", "processed", "read", "processed", "limit, count 0"}));

    // An answer, even an exception, resets the counter.
    Client.ReadHoldingRegisters(0, 1, nullptr);
    ASSERT_TRUE(PumpUntil([&] { return Order.size() == 7; }));
    EXPECT_EQ(Client.ConsecutiveTimeoutCount(), 2u);
    Connection.SetReceiveTimeout(500);
    Client.ReadHoldingRegisters(0, 1, nullptr);
    Query();
    Answer({0x01, 0x83, 0x04});
    ASSERT_TRUE(PumpUntil([&] { return Order.size() == 9; }));
    EXPECT_EQ(Client.ConsecutiveTimeoutCount(), 0u);
}
