// RTU and ASCII framing: encoding, decoding with every rejection rule, and the
// inspections the engine makes on replies.

#include <Quorvel.h>
#include <detail/ConnectionAccess.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace Quorvel;
using Access = detail::TConnectionAccess;

namespace {

using TBytes = std::vector<std::uint8_t>;

TBytes Bytes(const std::string& S) {
    return TBytes(S.begin(), S.end());
}

// A connection in the given modes; framing needs no port.
struct TFraming {
    TModbusConnection Connection;

    TFraming(TTransmissionMode Mode, TConnectionMode Role = cmClient) {
        Connection.SetTransmissionMode(Mode);
        Connection.SetConnectionMode(Role);
    }

    // A binary frame of Body plus the mode's error check.
    TBytes Frame(const TBytes& Body) {
        TModbusBuffer B(Access::FrameCapacity(Connection));
        for (auto Byte : Body)
            B.PutByte(Byte);
        Connection.EmitErrorCheck(B);
        return TBytes(B.StartPtr(), B.StartPtr() + B.Size());
    }

    TBytes Encode(const TBytes& Frame) {
        TModbusBuffer B(Access::FrameCapacity(Connection));
        B.PutBlock(Frame.data(), static_cast<std::int32_t>(Frame.size()));
        B.Seek(smBufStart); // encoding takes the whole frame, whatever the cursor
        TBytes Out(static_cast<std::size_t>(Access::InterimBufferSize(Connection)), 0xEE);
        const auto N = Access::EncodeFrame(Connection, B, Out.data(), static_cast<std::int32_t>(Out.size()));
        Out.resize(static_cast<std::size_t>(N));
        return Out;
    }

    // Decodes Line into Buffer; returns the verdict.
    bool Decode(const TBytes& Line, TModbusBuffer& Buffer) {
        return Access::DecodeFrame(Connection, Line.data(), static_cast<std::int32_t>(Line.size()), Buffer);
    }
};

TBytes Contents(const TModbusBuffer& B) {
    return TBytes(B.StartPtr(), B.StartPtr() + B.Size());
}

} // namespace

TEST(FramingTest, SizesByMode) {
    TFraming Rtu(tmRTU), Ascii(tmASCII), RtuServer(tmRTU, cmServer), AsciiServer(tmASCII, cmServer);
    EXPECT_EQ(Access::FrameCapacity(Rtu.Connection), 256);
    EXPECT_EQ(Access::FrameCapacity(Ascii.Connection), 255);
    EXPECT_EQ(Access::InterimBufferSize(Rtu.Connection), 256);
    EXPECT_EQ(Access::InterimBufferSize(Ascii.Connection), 513);
    EXPECT_EQ(Access::ErrorCheckSize(Rtu.Connection), 2);
    EXPECT_EQ(Access::ErrorCheckSize(Ascii.Connection), 1);
    EXPECT_EQ(Access::MinFrameSize(Rtu.Connection), 5);
    EXPECT_EQ(Access::MinFrameSize(RtuServer.Connection), 4);
    EXPECT_EQ(Access::MinFrameSize(Ascii.Connection), 11);
    EXPECT_EQ(Access::MinFrameSize(AsciiServer.Connection), 9);
    EXPECT_EQ(TModbusConnection::HeaderSize, 1);
}

TEST(FramingTest, WorkedExampleOnTheLineInBothModes) {
    const TBytes Body{0x01, 0x03, 0x00, 0x00, 0x00, 0x01};
    TFraming Rtu(tmRTU), Ascii(tmASCII);
    EXPECT_EQ(Rtu.Encode(Rtu.Frame(Body)), (TBytes{0x01, 0x03, 0x00, 0x00, 0x00, 0x01, 0x84, 0x0A}));
    EXPECT_EQ(Ascii.Frame(Body), (TBytes{0x01, 0x03, 0x00, 0x00, 0x00, 0x01, 0xFB}));
    EXPECT_EQ(Ascii.Encode(Ascii.Frame(Body)), Bytes(":010300000001FB\r\n"));
    EXPECT_EQ(Ascii.Encode(Ascii.Frame({0x11, 0x03, 0x00, 0x6B, 0x00, 0x03})), Bytes(":1103006B00037E\r\n"));
}

TEST(FramingTest, EmitHeaderWritesTheAddressOfClientServerOrBroadcast) {
    TFraming F(tmRTU);
    TModbusBuffer B(8);
    TModbusClient Client;
    Client.SetServerAddress(17);
    TModbusServer Server;
    Server.SetAddress(247);
    F.Connection.EmitHeader(nullptr, B);
    F.Connection.EmitHeader(&Client, B);
    F.Connection.EmitHeader(Server, B);
    EXPECT_EQ(Contents(B), (TBytes{0, 17, 247}));
}

TEST(FramingTest, EncodeEdges) {
    for (auto Mode : {tmRTU, tmASCII}) {
        TFraming F(Mode);
        TModbusBuffer Empty(256);
        std::uint8_t Out[4] = {0xEE, 0xEE, 0xEE, 0xEE};
        EXPECT_EQ(Access::EncodeFrame(F.Connection, Empty, Out, 4), 0) << Mode;
        EXPECT_EQ(Out[0], 0xEE); // nothing written

        TModbusBuffer Two(256);
        Two.PutWordHiLo(0x0102);
        try {
            Access::EncodeFrame(F.Connection, Two, Out, Mode == tmRTU ? 1 : 6);
            ADD_FAILURE() << Mode;
        } catch (const EQuorvelError& E) {
            EXPECT_STREQ(E.what(), "Failed to encode frame");
        }
        EXPECT_EQ(Access::EncodeFrame(F.Connection, Two, Out, Mode == tmRTU ? 2 : 4 + 3),
                  Mode == tmRTU ? 2 : 7);
    }
}

TEST(FramingTest, LargestAsciiFrameFillsTheLineBufferExactly) {
    TFraming F(tmASCII);
    TBytes Frame(255);
    for (std::size_t I = 0; I < Frame.size(); ++I)
        Frame[I] = static_cast<std::uint8_t>(I);
    const TBytes Line = F.Encode(Frame);
    ASSERT_EQ(Line.size(), 513u);
    EXPECT_EQ(Line.front(), ':');
    EXPECT_EQ(std::string(Line.begin() + 1, Line.begin() + 7), "000102");
    EXPECT_EQ(std::string(Line.end() - 4, Line.end()), "FE\r\n");

    TModbusBuffer Back(255);
    F.Decode(Line, Back); // the LRC is whatever the last byte is; only the bytes matter
    EXPECT_EQ(Contents(Back), Frame);
}

TEST(FramingTest, RtuDecode) {
    TFraming Client(tmRTU), Server(tmRTU, cmServer);
    const TBytes Reply = Client.Frame({0x01, 0x03, 0x02, 0x00, 0x2A});
    ASSERT_EQ(Reply.size(), 7u);

    TModbusBuffer B(256);
    EXPECT_TRUE(Client.Decode(Reply, B));
    EXPECT_EQ(Contents(B), Reply);

    TBytes Flipped = Reply;
    Flipped[3] ^= 0x10;
    EXPECT_FALSE(Client.Decode(Flipped, B));
    EXPECT_EQ(Contents(B), Flipped); // a failed check leaves the frame in the buffer
    Flipped = Reply;
    Flipped[6] ^= 0x01; // the check itself
    EXPECT_FALSE(Client.Decode(Flipped, B));

    // Four bytes are too short for a reply, whatever their CRC, but enough for a request.
    const TBytes Request = Client.Frame({0x01, 0x07});
    EXPECT_FALSE(Client.Decode(Request, B));
    EXPECT_EQ(B.Size(), 0);
    EXPECT_TRUE(Server.Decode(Request, B));
    EXPECT_FALSE(Server.Decode(TBytes(Request.begin(), Request.begin() + 3), B));
    EXPECT_EQ(B.Size(), 0);
}

TEST(FramingTest, RtuDecodeOfAnOversizedFrameRaisesAndLeavesTheBufferEmpty) {
    TFraming F(tmRTU);
    TModbusBuffer B(256);
    B.PutByte(1);
    try {
        F.Decode(TBytes(257, 0), B);
        ADD_FAILURE();
    } catch (const EQuorvelError& E) {
        EXPECT_STREQ(E.what(), "Failed to decode frame");
    }
    EXPECT_EQ(B.Size(), 0);
}

struct TAsciiCase {
    const char* Name;
    std::string Line;
    TConnectionMode Role;
    bool Valid;
};

TEST(FramingTest, AsciiDecodeRejectsBadFramingInOrder) {
    const std::string Example = ":010300000001FB\r\n";
    const TAsciiCase Cases[] = {
        {"worked example", Example, cmClient, true},
        {"9 characters, client", ":0107F8\r\n", cmClient, false},
        {"9 characters, server", ":0107F8\r\n", cmServer, true},
        {"7 characters, server", ":01FF\r\n", cmServer, false},
        {"12 characters (even)", ":01830279F\r\n", cmClient, false},
        {"no colon", ";010300000001FB\r\n", cmClient, false},
        {"ends LF CR", ":010300000001FB\n\r", cmClient, false},
        {"LF without CR", ":010300000001FB\n\n", cmClient, false},
        {"wrong LRC", ":010300000001FC\r\n", cmClient, false},
        {"exception reply", ":0183027A\r\n", cmClient, true},
    };
    for (const auto& C : Cases) {
        TFraming F(tmASCII, C.Role);
        TModbusBuffer B(255);
        EXPECT_EQ(F.Decode(Bytes(C.Line), B), C.Valid) << C.Name;
    }
}

TEST(FramingTest, AsciiDecodeOfTheWorkedExample) {
    TFraming F(tmASCII);
    TModbusBuffer B(255);
    ASSERT_TRUE(F.Decode(Bytes(":010300000001FB\r\n"), B));
    EXPECT_EQ(Contents(B), (TBytes{0x01, 0x03, 0x00, 0x00, 0x00, 0x01, 0xFB}));
    EXPECT_EQ(B.Position(), 6); // left on the check

    // A framing defect leaves the buffer empty; a failed LRC leaves the frame.
    EXPECT_FALSE(F.Decode(Bytes(":010300000001FB\n\r"), B));
    EXPECT_EQ(B.Size(), 0);
    EXPECT_FALSE(F.Decode(Bytes(":010300000001FA\r\n"), B));
    EXPECT_EQ(Contents(B), (TBytes{0x01, 0x03, 0x00, 0x00, 0x00, 0x01, 0xFA}));
}

TEST(FramingTest, AsciiCharactersAreNotValidated) {
    // Small letters are not hexadecimal digits to the decoder: the pair f,b still
    // yields 0xFB, but 0,b yields 0x2B; the LRC then judges the frame.
    TFraming F(tmASCII);
    TModbusBuffer B(255);
    EXPECT_TRUE(F.Decode(Bytes(":010300000001fb\r\n"), B));
    EXPECT_EQ(B.StartPtr()[6], 0xFB);
    F.Decode(Bytes(":0b0300000001FB\r\n"), B);
    EXPECT_EQ(B.StartPtr()[0], 0x2B);
}

TEST(FramingTest, RoundTripInEveryMode) {
    const TBytes Body{0x11, 0x10, 0x00, 0x01, 0x00, 0x02, 0x04, 0x00, 0x0A, 0x01, 0x02};
    for (auto Mode : {tmRTU, tmASCII}) {
        for (auto Role : {cmClient, cmServer}) {
            TFraming F(Mode, Role);
            const TBytes Frame = F.Frame(Body);
            TModbusBuffer B(Access::FrameCapacity(F.Connection));
            EXPECT_TRUE(F.Decode(F.Encode(Frame), B)) << Mode << Role;
            EXPECT_EQ(Contents(B), Frame);
        }
    }
}

TEST(FramingTest, ReplyInspections) {
    TFraming F(tmRTU);
    auto Load = [&](TModbusBuffer& B, const TBytes& Body) {
        B.SetSize(0);
        const TBytes Frame = F.Frame(Body);
        B.PutBlock(Frame.data(), static_cast<std::int32_t>(Frame.size()));
    };
    TModbusBuffer Query(256), Reply(256);
    Load(Query, {0x01, 0x03, 0x00, 0x00, 0x00, 0x01});

    Load(Reply, {0x01, 0x83, 0x02});
    EXPECT_EQ(Access::GetFrameAddress(F.Connection, Reply), 1);
    EXPECT_EQ(Access::GetFrameCommand(F.Connection, Reply), 0x83);
    EXPECT_TRUE(Access::IsSameAddress(F.Connection, Query, Reply));
    EXPECT_TRUE(Access::IsSameCommand(F.Connection, Query, Reply));
    EXPECT_TRUE(Access::IsExceptionReply(F.Connection, Reply));
    TServerException Kind = seUnknown;
    std::uint8_t Code = 0;
    Access::DecodeExceptionReply(F.Connection, Reply, Kind, Code);
    EXPECT_EQ(Kind, seIllegalDataAddress);
    EXPECT_EQ(Code, 2);

    Load(Reply, {0x01, 0x84, 0x0B});
    Access::DecodeExceptionReply(F.Connection, Reply, Kind, Code);
    EXPECT_EQ(Kind, seUnknown);
    EXPECT_EQ(Code, 0x0B);
    EXPECT_FALSE(Access::IsSameCommand(F.Connection, Query, Reply));

    Load(Reply, {0x01, 0x83, 0x02, 0x00}); // one byte too long
    EXPECT_FALSE(Access::IsExceptionReply(F.Connection, Reply));
    Load(Reply, {0x01, 0x80, 0x02}); // 0x80 has no function code under it
    EXPECT_FALSE(Access::IsExceptionReply(F.Connection, Reply));
    Load(Reply, {0x01, 0x04, 0x02, 0x00, 0x2A});
    EXPECT_FALSE(Access::IsSameCommand(F.Connection, Query, Reply));

    Load(Reply, {0x09, 0x03, 0x02, 0x00, 0x2A});
    EXPECT_FALSE(Access::IsSameAddress(F.Connection, Query, Reply));
    EXPECT_FALSE(Access::IsAddressAccepted(F.Connection, Query, Reply, false));
    EXPECT_TRUE(Access::IsAddressAccepted(F.Connection, Query, Reply, true));
}

TEST(FramingTest, AsciiExceptionReplyHasItsOwnLength) {
    TFraming F(tmASCII);
    TModbusBuffer Reply(255);
    ASSERT_TRUE(F.Decode(Bytes(":0183027A\r\n"), Reply));
    EXPECT_EQ(Reply.Size(), 4);
    EXPECT_TRUE(Access::IsExceptionReply(F.Connection, Reply));
    EXPECT_TRUE(Access::VerifyErrorCheck(F.Connection, Reply));
}
