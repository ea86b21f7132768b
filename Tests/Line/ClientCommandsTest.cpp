// The client's commands: argument checks, the request frames on the line, and
// the reply decoders with their checks.

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

TEST(ClientComponentTest, PropertiesAndConnectionLifetime) {
    TModbusClient Client;
    EXPECT_EQ(Client.ServerAddress(), 1);
    EXPECT_EQ(Client.MaxConsecutiveTimeouts(), -1);
    Client.SetMaxConsecutiveTimeouts(-5);
    EXPECT_EQ(Client.MaxConsecutiveTimeouts(), -1);
    EXPECT_EQ(ErrorOf([&] { Client.ReadCoils(0, 1, nullptr); }), "There is no active connection");
    EXPECT_EQ(ErrorOf([&] { Client.CheckDisconnected(); }), "");

    auto* Connection = new TModbusConnection;
    Client.SetConnection(Connection);
    EXPECT_EQ(Connection->ClientCount(), 1);
    EXPECT_EQ(ErrorOf([&] { Client.ReadCoils(0, 1, nullptr); }), "There is no active connection");
    delete Connection; // the client is told and forgets it
    EXPECT_EQ(Client.Connection(), nullptr);

    TModbusConnection Other;
    {
        TModbusClient Temporary;
        Temporary.SetConnection(&Other);
        EXPECT_EQ(Other.ClientCount(), 1);
    }
    EXPECT_EQ(Other.ClientCount(), 0); // a destroyed client unregisters
}

TEST(ClientComponentTest, ExceptionTexts) {
    TModbusClient Client;
    const std::pair<int, const char*> Cases[] = {
        {0, "Unknown exception code"}, {1, "Illegal command"},          {2, "Illegal data address"},
        {3, "Illegal data value"},     {4, "Server failure"},           {5, "Acknowledge"},
        {6, "Server is busy"},         {7, "Negative acknowledge"},     {8, "Memory parity error"},
        {9, "Unknown exception code"}, {200, "Unknown exception code"},
    };
    for (auto [Code, Text] : Cases)
        EXPECT_EQ(Client.ExceptionCodeToStr(static_cast<std::uint8_t>(Code)), Text) << Code;
    int Seen = -1;
    Client.OnTranslateExceptionCode = [&](TComponent*, std::uint8_t Code, std::string& Description) {
        Seen = Code;
        if (Code == 200)
            Description = "Vendor: " + Description;
    };
    EXPECT_EQ(Client.ExceptionCodeToStr(200), "Vendor: Unknown exception code");
    EXPECT_EQ(Seen, 200);
}

TEST_F(ClientOnPty, ArgumentChecksComeFirstAndLeaveNoTrace) {
    Connection.SetConnectionMode(cmServer); // the queue stays put to be counted
    Connection.Open();
    const TRegValues One{1};
    struct TCase {
        std::function<void()> Request;
        std::string Error;
    };
    const TCase Cases[] = {
        {[&] { Client.ReadCoils(0, 2009, nullptr); }, "Discrete i/o count must be between 1 and 2008"},
        {[&] { Client.ReadCoils(0, 0, nullptr); }, "Discrete i/o count must be between 1 and 2008"},
        {[&] { Client.ReadDiscreteInputs(65535, 2, nullptr); },
         "Starting discrete i/o index is invalid (65535)"},
        {[&] { Client.ReadHoldingRegisters(0, 126, nullptr); }, "Register count must be between 1 and 125"},
        {[&] { Client.ReadInputRegisters(65412, 125, nullptr); },
         "Starting register index is invalid (65412)"},
        {[&] { Client.WriteMultipleCoils(0, {}, nullptr); }, "Discrete i/o count must be between 1 and 1976"},
        {[&] { Client.WriteMultipleCoils(0, TBitValues(1977), nullptr); },
         "Discrete i/o count must be between 1 and 1976"},
        {[&] { Client.WriteMultipleCoils(65000, TBitValues(537), nullptr); },
         "Starting discrete i/o index is invalid (65000)"},
        {[&] { Client.WriteMultipleRegisters(0, TRegValues(124), nullptr); },
         "Register count must be between 1 and 123"},
        {[&] { Client.WriteMultipleRegisters(65535, TRegValues(2), nullptr); },
         "Starting register index is invalid (65535)"},
        {[&] { Client.ReadWriteMultipleRegisters(0, 0, 0, One, nullptr); },
         "Register count must be between 1 and 125"},
        {[&] { Client.ReadWriteMultipleRegisters(65535, 2, 0, One, nullptr); },
         "Starting register index is invalid (65535)"},
        {[&] { Client.ReadWriteMultipleRegisters(0, 1, 0, TRegValues(122), nullptr); },
         "Register count must be between 1 and 121"},
        {[&] { Client.ReadWriteMultipleRegisters(0, 1, 65535, TRegValues(2), nullptr); },
         "Starting register index is invalid (65535)"},
        {[&] { Client.InitCustomTransaction(0x41, TByteString(253), false, nullptr); },
         "Invalid request data size (253)"},
    };
    for (const auto& C : Cases)
        EXPECT_EQ(ErrorOf(C.Request), C.Error);
    EXPECT_EQ(Connection.CountPendingTransactions(nullptr), 0);
    EXPECT_EQ(Connection.GetNextUniqueID(), 0u); // no ID was taken

    // The edges that are allowed.
    Client.ReadCoils(0, 2008, nullptr);
    Client.ReadCoils(65535, 1, nullptr);
    Client.ReadHoldingRegisters(65411, 125, nullptr);
    Client.WriteSingleCoil(65535, true, nullptr);
    Client.InitCustomTransaction(0x41, TByteString(252), false, nullptr);
    EXPECT_EQ(Connection.CountPendingTransactions(&Client), 5);
}

struct TRequestCase {
    const char* Name;
    std::function<std::uint32_t(TModbusClient&)> Request;
    TBytes Pdu;
};

TEST_F(ClientOnPty, RequestFramesOnTheLine) {
    Connection.SetReceiveTimeout(0); // no reply awaited: the frames are what matters
    Connection.Open();
    Client.SetServerAddress(17);
    const TRequestCase Cases[] = {
        {"read coils",
         [](TModbusClient& C) { return C.ReadCoils(19, 37, nullptr); },
         {0x01, 0x00, 0x13, 0x00, 0x25}},
        {"read inputs",
         [](TModbusClient& C) { return C.ReadDiscreteInputs(196, 22, nullptr); },
         {0x02, 0x00, 0xC4, 0x00, 0x16}},
        {"read holding",
         [](TModbusClient& C) { return C.ReadHoldingRegisters(107, 3, nullptr); },
         {0x03, 0x00, 0x6B, 0x00, 0x03}},
        {"read input regs",
         [](TModbusClient& C) { return C.ReadInputRegisters(8, 1, nullptr); },
         {0x04, 0x00, 0x08, 0x00, 0x01}},
        {"coil on",
         [](TModbusClient& C) { return C.WriteSingleCoil(172, true, nullptr); },
         {0x05, 0x00, 0xAC, 0xFF, 0x00}},
        {"coil off",
         [](TModbusClient& C) { return C.WriteSingleCoil(172, false, nullptr); },
         {0x05, 0x00, 0xAC, 0x00, 0x00}},
        {"register",
         [](TModbusClient& C) { return C.WriteSingleRegister(1, 3, nullptr); },
         {0x06, 0x00, 0x01, 0x00, 0x03}},
        {"coils (worked example)",
         [](TModbusClient& C) {
             return C.WriteMultipleCoils(19, {true, false, true, true, false, false, true, true, true, false},
                                         nullptr);
         },
         {0x0F, 0x00, 0x13, 0x00, 0x0A, 0x02, 0xCD, 0x01}},
        {"nine coils",
         [](TModbusClient& C) { return C.WriteMultipleCoils(0, TBitValues(9, true), nullptr); },
         {0x0F, 0x00, 0x00, 0x00, 0x09, 0x02, 0xFF, 0x01}},
        {"registers",
         [](TModbusClient& C) {
             return C.WriteMultipleRegisters(1, {0x000A, 0x0102}, nullptr);
         },
         {0x10, 0x00, 0x01, 0x00, 0x02, 0x04, 0x00, 0x0A, 0x01, 0x02}},
        {"mask",
         [](TModbusClient& C) { return C.MaskWriteSingleRegister(4, 0x00F2, 0x0025, nullptr); },
         {0x16, 0x00, 0x04, 0x00, 0xF2, 0x00, 0x25}},
        {"read/write",
         [](TModbusClient& C) {
             return C.ReadWriteMultipleRegisters(3, 6, 14, {0x00FF, 0x00FF, 0x00FF}, nullptr);
         },
         {0x17, 0x00, 0x03, 0x00, 0x06, 0x00, 0x0E, 0x00, 0x03, 0x06, 0x00, 0xFF, 0x00, 0xFF, 0x00, 0xFF}},
        {"custom",
         [](TModbusClient& C) {
             return C.InitCustomTransaction(0x41, {0xDE, 0xAD}, false, nullptr);
         },
         {0x41, 0xDE, 0xAD}},
    };
    std::uint32_t Expected = 0;
    for (const auto& C : Cases) {
        EXPECT_EQ(C.Request(Client), Expected++) << C.Name;
        TBytes Body{17};
        Body.insert(Body.end(), C.Pdu.begin(), C.Pdu.end());
        EXPECT_EQ(Query(), RtuFrame(Body)) << C.Name;
    }
}

// What a decoder concludes from a reply, and the values it hands on.
struct TDecodeCase {
    const char* Name;
    std::function<void(TModbusClient&)> Request;
    TBytes Reply;
    TServerReply Verdict;
    std::string Values; // as the event reports them
};

TEST_F(ClientOnPty, RepliesAreCheckedAgainstTheirRequests) {
    Connection.Open();
    std::string Values;
    auto Bits = [&](TComponent*, const TTransactionInfo&, std::uint16_t Start, std::uint16_t Count,
                    const TBitValues& V) {
        Values = std::to_string(Start) + "/" + std::to_string(Count) + ":";
        for (bool B : V)
            Values += B ? '1' : '0';
    };
    auto Regs = [&](TComponent*, const TTransactionInfo&, std::uint16_t Start, std::uint16_t Count,
                    const TRegValues& V) {
        Values = std::to_string(Start) + "/" + std::to_string(Count) + ":";
        for (auto R : V)
            Values += " " + std::to_string(R);
    };
    Client.OnCoilsRead = Bits;
    Client.OnDiscreteInputsRead = Bits;
    Client.OnMultipleCoilsWrite = Bits;
    Client.OnHoldingRegistersRead = Regs;
    Client.OnInputRegistersRead = Regs;
    Client.OnMultipleRegistersWrite = Regs;
    Client.OnSingleCoilWrite = [&](TComponent*, const TTransactionInfo&, std::uint16_t A, bool V) {
        Values = std::to_string(A) + "=" + (V ? "on" : "off");
    };
    Client.OnSingleRegisterWrite = [&](TComponent*, const TTransactionInfo&, std::uint16_t A,
                                       std::uint16_t V) {
        Values = std::to_string(A) + "=" + std::to_string(V);
    };
    Client.OnSingleRegisterMaskWrite = [&](TComponent*, const TTransactionInfo&, std::uint16_t A,
                                           std::uint16_t And, std::uint16_t Or) {
        Values = std::to_string(A) + " and " + std::to_string(And) + " or " + std::to_string(Or);
    };
    Client.OnMultipleRegistersReadWrite = [&](TComponent*, const TTransactionInfo&, std::uint16_t,
                                              std::uint16_t, const TRegValues& Read, std::uint16_t,
                                              std::uint16_t, const TRegValues& Written) {
        Values = "read";
        for (auto R : Read)
            Values += " " + std::to_string(R);
        Values += " wrote";
        for (auto R : Written)
            Values += " " + std::to_string(R);
    };

    const TDecodeCase Cases[] = {
        {"coils",
         [](TModbusClient& C) { C.ReadCoils(19, 10, nullptr); },
         {0x01, 0x01, 0x02, 0xCD, 0x01},
         srNormalReply,
         "19/10:1011001110"},
        {"coils, wrong byte count",
         [](TModbusClient& C) { C.ReadCoils(19, 10, nullptr); },
         {0x01, 0x01, 0x01, 0xCD},
         srUnmatchedReply,
         "19/10:0000000000"},
        {"coils, count promises more than the frame holds",
         [](TModbusClient& C) { C.ReadCoils(0, 16, nullptr); },
         {0x01, 0x01, 0x02, 0xFF},
         srUnmatchedReply,
         "0/16:0000000000000000"},
        {"inputs",
         [](TModbusClient& C) { C.ReadDiscreteInputs(0, 3, nullptr); },
         {0x01, 0x02, 0x01, 0xFD},
         srNormalReply,
         "0/3:101"},
        {"holding",
         [](TModbusClient& C) { C.ReadHoldingRegisters(5, 2, nullptr); },
         {0x01, 0x03, 0x04, 0x00, 0x01, 0xFF, 0xFE},
         srNormalReply,
         "5/2: 1 65534"},
        {"holding, odd byte count passes",
         [](TModbusClient& C) { C.ReadHoldingRegisters(5, 2, nullptr); },
         {0x01, 0x03, 0x05, 0x00, 0x01, 0x00, 0x02, 0x00},
         srNormalReply,
         "5/2: 1 2"},
        {"holding, count promises more than the frame holds",
         [](TModbusClient& C) { C.ReadHoldingRegisters(5, 2, nullptr); },
         {0x01, 0x03, 0x04, 0x00, 0x01},
         srUnmatchedReply,
         "5/2: 0 0"},
        {"holding, wrong count",
         [](TModbusClient& C) { C.ReadHoldingRegisters(5, 2, nullptr); },
         {0x01, 0x03, 0x02, 0x00, 0x01},
         srUnmatchedReply,
         "5/2: 0 0"},
        {"input registers",
         [](TModbusClient& C) { C.ReadInputRegisters(0, 1, nullptr); },
         {0x01, 0x04, 0x02, 0x12, 0x34},
         srNormalReply,
         "0/1: 4660"},
        {"coil echo",
         [](TModbusClient& C) { C.WriteSingleCoil(172, true, nullptr); },
         {0x01, 0x05, 0x00, 0xAC, 0xFF, 0x00},
         srNormalReply,
         "172=on"},
        {"coil echo with another value",
         [](TModbusClient& C) { C.WriteSingleCoil(172, true, nullptr); },
         {0x01, 0x05, 0x00, 0xAC, 0x00, 0x00},
         srUnmatchedReply,
         "172=on"},
        {"coil echo cut short",
         [](TModbusClient& C) { C.WriteSingleCoil(172, true, nullptr); },
         {0x01, 0x05, 0x00, 0xAC},
         srUnmatchedReply,
         "172=on"},
        {"register echo",
         [](TModbusClient& C) { C.WriteSingleRegister(1, 3, nullptr); },
         {0x01, 0x06, 0x00, 0x01, 0x00, 0x03},
         srNormalReply,
         "1=3"},
        {"register echo, other address",
         [](TModbusClient& C) { C.WriteSingleRegister(1, 3, nullptr); },
         {0x01, 0x06, 0x00, 0x02, 0x00, 0x03},
         srUnmatchedReply,
         "1=3"},
        {"multiple coils",
         [](TModbusClient& C) {
             C.WriteMultipleCoils(19, TBitValues{true, false, true}, nullptr);
         },
         {0x01, 0x0F, 0x00, 0x13, 0x00, 0x03},
         srNormalReply,
         "19/3:101"},
        {"multiple coils, other quantity",
         [](TModbusClient& C) {
             C.WriteMultipleCoils(19, TBitValues{true, false, true}, nullptr);
         },
         {0x01, 0x0F, 0x00, 0x13, 0x00, 0x04},
         srUnmatchedReply,
         "19/3:101"},
        {"multiple registers",
         [](TModbusClient& C) {
             C.WriteMultipleRegisters(1, {10, 258}, nullptr);
         },
         {0x01, 0x10, 0x00, 0x01, 0x00, 0x02},
         srNormalReply,
         "1/2: 10 258"},
        {"multiple registers, other start",
         [](TModbusClient& C) {
             C.WriteMultipleRegisters(1, {10, 258}, nullptr);
         },
         {0x01, 0x10, 0x00, 0x00, 0x00, 0x02},
         srUnmatchedReply,
         "1/2: 10 258"},
        {"mask",
         [](TModbusClient& C) { C.MaskWriteSingleRegister(4, 0xF2, 0x25, nullptr); },
         {0x01, 0x16, 0x00, 0x04, 0x00, 0xF2, 0x00, 0x25},
         srNormalReply,
         "4 and 242 or 37"},
        {"mask, other OR mask",
         [](TModbusClient& C) { C.MaskWriteSingleRegister(4, 0xF2, 0x25, nullptr); },
         {0x01, 0x16, 0x00, 0x04, 0x00, 0xF2, 0x00, 0x26},
         srUnmatchedReply,
         "4 and 242 or 37"},
        {"read/write",
         [](TModbusClient& C) { C.ReadWriteMultipleRegisters(3, 2, 14, {7}, nullptr); },
         {0x01, 0x17, 0x04, 0x00, 0xFE, 0x0A, 0xCD},
         srNormalReply,
         "read 254 2765 wrote 7"},
        {"read/write, short",
         [](TModbusClient& C) { C.ReadWriteMultipleRegisters(3, 2, 14, {7}, nullptr); },
         {0x01, 0x17, 0x04, 0x00, 0xFE},
         srUnmatchedReply,
         "read 0 0 wrote 7"},
        {"exception reply",
         [](TModbusClient& C) { C.ReadHoldingRegisters(5, 2, nullptr); },
         {0x01, 0x83, 0x02},
         srExceptionReply,
         "5/2: 0 0"},
    };
    for (const auto& C : Cases) {
        Done.clear();
        Values.clear();
        C.Request(Client);
        Query();
        Answer(C.Reply);
        ASSERT_TRUE(AwaitCompletions(1)) << C.Name;
        EXPECT_EQ(Done[0].Reply, C.Verdict) << C.Name;
        EXPECT_EQ(Values, C.Values) << C.Name;
    }
}
