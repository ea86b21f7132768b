// TModbusServer::ProcessTransaction on hand-built query frames: every handler's
// limits and exception replies, the permission pass before the write pass,
// failing value events, EmitExceptionReply, and the broadcast rules.

#include <Quorvel.h>
#include <detail/ConnectionAccess.h>

#include "Support/ClientFixture.h"
#include "Support/PtyPair.h"

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <vector>

using namespace Quorvel;
using QuorvelTest::RtuFrame;
using QuorvelTest::TBytes;

namespace {

// A server at address 17 on an open server-mode connection, backed by a small
// item map, recording every event it raises.
class ServerDispatch : public ::testing::Test {
protected:
    void SetUp() override {
        Connection.SetPort(Pty.SlavePath());
        Connection.SetConnectionMode(cmServer);
        Connection.Open();
        Server.SetAddress(17);
        Server.SetConnection(&Connection);
        Server.OnAcceptCommand = [](TComponent*, std::uint8_t, bool& Accept) { Accept = true; };
        Server.OnCanReadCoil = [this](TComponent*, std::uint16_t A, bool& Allow) {
            Events.push_back("can read coil " + std::to_string(A));
            Allow = !Refused.count(A);
        };
        Server.OnCanReadDiscreteInput = [this](TComponent*, std::uint16_t A, bool& Allow) {
            Allow = !Refused.count(A);
        };
        Server.OnCanReadHoldingRegister = [this](TComponent*, std::uint16_t A, bool& Allow) {
            Allow = !Refused.count(A);
        };
        Server.OnCanReadInputRegister = [this](TComponent*, std::uint16_t A, bool& Allow) {
            Allow = !Refused.count(A);
        };
        Server.OnGetCoilValue = [this](TComponent*, std::uint16_t A, bool& V) {
            if (Throwing.count(A))
                throw std::runtime_error("item failed");
            V = Coils[A];
        };
        Server.OnGetDiscreteInputValue = [](TComponent*, std::uint16_t A, bool& V) { V = A % 2 == 0; };
        Server.OnGetHoldingRegisterValue = [this](TComponent*, std::uint16_t A, std::uint16_t& V) {
            if (Throwing.count(A))
                throw std::runtime_error("item failed");
            V = Registers.count(A) ? Registers[A] : static_cast<std::uint16_t>(1000 + A);
        };
        Server.OnGetInputRegisterValue = [](TComponent*, std::uint16_t A, std::uint16_t& V) {
            V = static_cast<std::uint16_t>(2000 + A);
        };
        Server.OnCanWriteCoil = [this](TComponent*, std::uint16_t A, bool V, TItemWriteStatus& S) {
            Events.push_back("can write coil " + std::to_string(A) + "=" + (V ? "1" : "0"));
            S = Refused.count(A) ? iwsIllegalAddress : BadValue.count(A) ? iwsIllegalValue : iwsAllowWrite;
        };
        Server.OnCanWriteHoldingRegister = [this](TComponent*, std::uint16_t A, std::uint16_t V,
                                                  TItemWriteStatus& S) {
            Events.push_back("can write reg " + std::to_string(A) + "=" + std::to_string(V));
            S = Refused.count(A) ? iwsIllegalAddress : BadValue.count(A) ? iwsIllegalValue : iwsAllowWrite;
        };
        Server.OnSetCoilValue = [this](TComponent*, std::uint16_t A, bool V) {
            if (Throwing.count(A))
                throw std::runtime_error("item failed");
            Events.push_back("set coil " + std::to_string(A) + "=" + (V ? "1" : "0"));
            Coils[A] = V;
        };
        Server.OnSetHoldingRegisterValue = [this](TComponent*, std::uint16_t A, std::uint16_t V) {
            if (Throwing.count(A))
                throw std::runtime_error("item failed");
            Events.push_back("set reg " + std::to_string(A) + "=" + std::to_string(V));
            Registers[A] = V;
        };
        Server.OnCommandHandlerException = [this](TComponent*, std::uint8_t C, TServerException E,
                                                  std::uint8_t Code) {
            Events.push_back("exception " + std::to_string(C) + " " + std::to_string(E) + " " +
                             std::to_string(Code));
        };
    }

    // Runs a query (body without CRC) through the server; returns the reply
    // frame body (without CRC), or empty when none was composed.
    TBytes Process(const TBytes& Body, std::uint8_t Address = 17) {
        TModbusTransaction T(256);
        const TBytes Frame = RtuFrame(Body);
        T.QueryBuffer().PutBlock(Frame.data(), static_cast<std::int32_t>(Frame.size()));
        T.Info.Address = Address;
        Server.ProcessTransaction(T);
        const auto& R = T.ReplyBuffer();
        if (R.Size() == 0)
            return {};
        TBytes Reply(R.StartPtr(), R.StartPtr() + R.Size());
        EXPECT_EQ(Reply, RtuFrame(TBytes(Reply.begin(), Reply.end() - 2))) << "reply CRC";
        return TBytes(Reply.begin(), Reply.end() - 2);
    }

    QuorvelTest::TPtyPair Pty;
    TModbusConnection Connection;
    TModbusServer Server;
    std::vector<std::string> Events;
    std::map<std::uint16_t, bool> Coils;
    std::map<std::uint16_t, std::uint16_t> Registers;
    std::set<std::uint16_t> Refused, BadValue, Throwing;
};

struct TCase {
    const char* Name;
    TBytes Query; // body after the address byte 17
    TBytes Reply; // body after the address byte 17; empty for none
};

} // namespace

TEST_F(ServerDispatch, HandlersAnswerOrRefuseByTheirRules) {
    Coils = {{0, true}, {1, false}, {2, true}, {3, true}, {8, true}, {9, true}};
    const TCase Cases[] = {
        {"read 10 coils", {0x01, 0x00, 0x00, 0x00, 0x0A}, {0x01, 0x02, 0x0D, 0x03}},
        {"read coil 65535", {0x01, 0xFF, 0xFF, 0x00, 0x01}, {0x01, 0x01, 0x00}},
        {"read coils past 65535", {0x01, 0xFF, 0xFF, 0x00, 0x02}, {0x81, 0x02}},
        {"read 0 coils", {0x01, 0x00, 0x00, 0x00, 0x00}, {0x81, 0x03}},
        {"read 2009 coils", {0x01, 0x00, 0x00, 0x07, 0xD9}, {0x81, 0x03}},
        {"read inputs", {0x02, 0x00, 0x00, 0x00, 0x03}, {0x02, 0x01, 0x05}},
        {"read holding", {0x03, 0x00, 0x05, 0x00, 0x02}, {0x03, 0x04, 0x03, 0xED, 0x03, 0xEE}},
        {"read 126 holding", {0x03, 0x00, 0x00, 0x00, 0x7E}, {0x83, 0x03}},
        {"read input registers", {0x04, 0x00, 0x01, 0x00, 0x01}, {0x04, 0x02, 0x07, 0xD1}},
        {"read query one byte short", {0x03, 0x00, 0x05, 0x00}, {0x83, 0x03}},
        {"coil on", {0x05, 0x00, 0x07, 0xFF, 0x00}, {0x05, 0x00, 0x07, 0xFF, 0x00}},
        {"coil value 0001", {0x05, 0x00, 0x07, 0x00, 0x01}, {0x85, 0x03}},
        {"register", {0x06, 0x00, 0x09, 0xAB, 0xCD}, {0x06, 0x00, 0x09, 0xAB, 0xCD}},
        {"register query short", {0x06, 0x00, 0x09, 0xAB}, {0x86, 0x03}},
        {"coils", {0x0F, 0x00, 0x13, 0x00, 0x0A, 0x02, 0xCD, 0x01}, {0x0F, 0x00, 0x13, 0x00, 0x0A}},
        {"coils, 1977", {0x0F, 0x00, 0x00, 0x07, 0xB9, 0x01, 0xFF}, {0x8F, 0x03}},
        {"coils past 65535", {0x0F, 0xFF, 0xFF, 0x00, 0x02, 0x01, 0x03}, {0x8F, 0x02}},
        {"coils, data short", {0x0F, 0x00, 0x00, 0x00, 0x10, 0x02, 0xFF}, {0x8F, 0x03}},
        {"registers",
         {0x10, 0x00, 0x01, 0x00, 0x02, 0x04, 0x00, 0x0A, 0x01, 0x02},
         {0x10, 0x00, 0x01, 0x00, 0x02}},
        {"registers, byte count disagrees",
         {0x10, 0x00, 0x01, 0x00, 0x01, 0x09, 0x00, 0x0A},
         {0x10, 0x00, 0x01, 0x00, 0x01}},
        // One value short: the CRC must not be taken for the last value.
        {"registers, one value short", {0x10, 0x00, 0x01, 0x00, 0x02, 0x04, 0x00, 0x0A}, {0x90, 0x03}},
        {"registers, 124", {0x10, 0x00, 0x00, 0x00, 0x7C, 0xF8}, {0x90, 0x03}},
    };
    for (const auto& C : Cases) {
        TBytes Query{17}, Reply;
        Query.insert(Query.end(), C.Query.begin(), C.Query.end());
        if (!C.Reply.empty()) {
            Reply.push_back(17);
            Reply.insert(Reply.end(), C.Reply.begin(), C.Reply.end());
        }
        EXPECT_EQ(Process(Query), Reply) << C.Name;
    }
    EXPECT_EQ(Registers[1], 10);
    EXPECT_EQ(Registers[2], 0x0102);
    EXPECT_EQ(Registers.count(9), 1u);
}

TEST_F(ServerDispatch, UnservedCommandsAreRefusedWithoutAsking) {
    int Asked = 0;
    Server.OnAcceptCommand = [&](TComponent*, std::uint8_t, bool& Accept) {
        ++Asked;
        Accept = true;
    };
    for (std::uint8_t Code : {0x07, 0x08, 0x11, 0x14, 0x15, 0x16, 0x17, 0x2B}) {
        EXPECT_EQ(Process({17, Code, 0x00, 0x00}), (TBytes{17, static_cast<std::uint8_t>(Code | 0x80), 0x01}))
            << int(Code);
    }
    EXPECT_EQ(Asked, 0);
    EXPECT_TRUE(Process({0, 0x2B}, 0).empty()); // a broadcast: nothing, no exception event
    EXPECT_EQ(Events, (std::vector<std::string>{"exception 7 1 1", "exception 8 1 1", "exception 17 1 1",
                                                "exception 20 1 1", "exception 21 1 1", "exception 22 1 1",
                                                "exception 23 1 1", "exception 43 1 1"}));

    Server.OnAcceptCommand = nullptr; // unassigned: every command refused
    EXPECT_EQ(Process({17, 0x01, 0x00, 0x00, 0x00, 0x01}), (TBytes{17, 0x81, 0x01}));
}

TEST_F(ServerDispatch, UnassignedReadPermissionRefusesAndUnassignedValuesAreZero) {
    Server.OnCanReadHoldingRegister = nullptr;
    EXPECT_EQ(Process({17, 0x03, 0x00, 0x00, 0x00, 0x01}), (TBytes{17, 0x83, 0x02}));
    Server.OnCanReadHoldingRegister = [](TComponent*, std::uint16_t, bool& Allow) { Allow = true; };
    Server.OnGetHoldingRegisterValue = nullptr;
    EXPECT_EQ(Process({17, 0x03, 0x00, 0x00, 0x00, 0x01}), (TBytes{17, 0x03, 0x02, 0x00, 0x00}));
}

TEST_F(ServerDispatch, EveryPermissionIsAskedBeforeAnyWrite) {
    BadValue = {3};
    EXPECT_EQ(Process({17, 0x10, 0x00, 0x01, 0x00, 0x05, 0x0A, 0, 1, 0, 2, 0, 3, 0, 4, 0, 5}),
              (TBytes{17, 0x90, 0x03}));
    EXPECT_EQ(Events, (std::vector<std::string>{"can write reg 1=1", "can write reg 2=2", "can write reg 3=3",
                                                "exception 16 3 3"}));
    Events.clear();
    Refused = {20};
    EXPECT_EQ(Process({17, 0x0F, 0x00, 0x13, 0x00, 0x03, 0x01, 0x07}), (TBytes{17, 0x8F, 0x02}));
    EXPECT_EQ(Events,
              (std::vector<std::string>{"can write coil 19=1", "can write coil 20=1", "exception 15 2 2"}));
    EXPECT_TRUE(Coils.empty());
}

TEST_F(ServerDispatch, FailingValueEventGivesServerFailureAndKeepsEarlierWrites) {
    Throwing = {20};
    EXPECT_EQ(Process({17, 0x0F, 0x00, 0x13, 0x00, 0x03, 0x01, 0x07}), (TBytes{17, 0x8F, 0x04}));
    EXPECT_EQ(Coils, (std::map<std::uint16_t, bool>{{19, true}}));
    EXPECT_EQ(Events.back(), "exception 15 4 4");
    EXPECT_EQ(Process({17, 0x03, 0x00, 0x13, 0x00, 0x02}), (TBytes{17, 0x83, 0x04}));
    EXPECT_EQ(Process({0, 0x03, 0x00, 0x13, 0x00, 0x02}, 0), TBytes{}); // broadcast: 04 not composed
}

TEST_F(ServerDispatch, ApplicationExceptionReplyWinsUnlessTheLibraryComposesOneLater) {
    int Asked = 0;
    Server.OnGetInputRegisterValue = [&](TComponent*, std::uint16_t A, std::uint16_t& V) {
        ++Asked;
        if (A == 0)
            Server.EmitExceptionReply(seServerBusy);
        V = 7;
    };
    EXPECT_EQ(Process({17, 0x04, 0x00, 0x00, 0x00, 0x03}), (TBytes{17, 0x84, 0x06}));
    EXPECT_EQ(Asked, 3); // the remaining registers are still asked for
    EXPECT_EQ(Events.back(), "exception 4 6 6");

    // A later failure in the same handler replaces it with the library's own.
    Server.OnCanWriteHoldingRegister = [&](TComponent*, std::uint16_t A, std::uint16_t, TItemWriteStatus& S) {
        if (A == 1)
            Server.EmitExceptionReply(seServerBusy);
        S = A == 2 ? iwsIllegalAddress : iwsAllowWrite;
    };
    EXPECT_EQ(Process({17, 0x10, 0x00, 0x01, 0x00, 0x02, 0x04, 0, 1, 0, 2}), (TBytes{17, 0x90, 0x02}));

    EXPECT_THROW(Server.EmitExceptionReply(seServerBusy), EQuorvelError); // no transaction now
}

TEST_F(ServerDispatch, BroadcastRules) {
    // Writes take effect, nothing is composed.
    EXPECT_TRUE(Process({0, 0x06, 0x00, 0x09, 0x12, 0x34}, 0).empty());
    EXPECT_EQ(Registers[9], 0x1234);
    EXPECT_TRUE(Process({0, 0x05, 0x00, 0x09, 0x00, 0x01}, 0).empty());
    // Reads compose their request errors (and so raise the exception event) but
    // are never sent; the connection does not send anything for address 0.
    Events.clear();
    EXPECT_EQ(Process({0, 0x01, 0x00, 0x00, 0x00, 0x00}, 0), (TBytes{17, 0x81, 0x03}));
    EXPECT_EQ(Events, std::vector<std::string>{"exception 1 3 3"});
}

TEST(ServerComponentTest, ConnectionLifetime) {
    TModbusServer Server;
    EXPECT_THROW(Server.CheckConnected(), EQuorvelError);
    {
        TModbusConnection Connection;
        Server.SetConnection(&Connection);
        EXPECT_EQ(Connection.ServerCount(), 1);
        TModbusTransaction T(256);
        try {
            Server.ProcessTransaction(T);
            ADD_FAILURE();
        } catch (const EQuorvelError& E) {
            EXPECT_STREQ(E.what(), "There is no active connection");
        }
    }
    EXPECT_EQ(Server.Connection(), nullptr); // told of the connection's end
}
