// Transactions, exception kinds and the library's messages.

#include <Quorvel.h>

#include <gtest/gtest.h>

#include <string>

using namespace Quorvel;

TEST(TransactionTest, FreshTransactionIsEmpty) {
    for (std::uint32_t Capacity : {256u, 255u}) {
        TModbusTransaction T(Capacity);
        EXPECT_EQ(T.QueryBuffer().Capacity(), static_cast<std::int32_t>(Capacity));
        EXPECT_EQ(T.ReplyBuffer().Capacity(), static_cast<std::int32_t>(Capacity));
        EXPECT_EQ(T.QueryBuffer().Size(), 0);
        EXPECT_EQ(T.ReplyBuffer().Size(), 0);
        EXPECT_FALSE(T.Custom);
        EXPECT_FALSE(T.Promiscuous);
        EXPECT_EQ(T.Originator, nullptr);
        EXPECT_EQ(T.Info.ID, 0u);
        EXPECT_EQ(T.Info.Address, 0);
        EXPECT_EQ(T.Info.UserData, nullptr);
        EXPECT_EQ(T.Info.Retries, 0u);
        EXPECT_EQ(T.Info.Reply, srNone);
        EXPECT_EQ(T.Info.Exception, seUnknown);
        EXPECT_EQ(T.Info.ExceptionCode, 0);
    }
}

TEST(TransactionTest, OversizedCapacityIsRejected) {
    EXPECT_THROW(TModbusTransaction T(0x80000000u), EQuorvelError);
}

TEST(TransactionTest, EnumerationOrdinals) {
    // Ordinals are part of the interface: the engine compares outcomes by order
    // and the server writes an exception kind's ordinal as the code byte.
    EXPECT_EQ(srNone, 0);
    EXPECT_EQ(srUnexpectedReply, 2);
    EXPECT_EQ(srNormalReply, 5);
    EXPECT_EQ(seIllegalCommand, 1);
    EXPECT_EQ(seServerFailure, 4);
    EXPECT_EQ(seMemoryParityError, 8);
}

TEST(TransactionTest, ExceptionCodeToKind) {
    const std::pair<int, TServerException> Cases[] = {
        {0, seUnknown},          {1, seIllegalCommand},      {2, seIllegalDataAddress},
        {3, seIllegalDataValue}, {4, seServerFailure},       {5, seAcknowledge},
        {6, seServerBusy},       {7, seNegativeAcknowledge}, {8, seMemoryParityError},
        {9, seUnknown},          {0x0B, seUnknown},          {255, seUnknown},
    };
    for (auto [Code, Kind] : Cases)
        EXPECT_EQ(ServerExceptionFromCode(static_cast<std::uint8_t>(Code)), Kind) << Code;
}

TEST(ErrorsTest, MessageTableHoldsEveryText) {
    const std::pair<int, const char*> Table[] = {
        {65200, "Failed to initialize communication timeouts"},
        {65201, "Failed to initialize serial event mask"},
        {65202, "Failed to update device control block"},
        {65203, "Connection must NOT be active for the requested action to be performed"},
        {65204, "Connection MUST be active for the requested action to be performed"},
        {65205, "Failed to encode frame"},
        {65206, "Failed to decode frame"},
        {65207, "Flow control is not valid for the requested action to be performed"},
        {65209, "Failed to enhance system clock resolution"},
        {65216, "Starting discrete i/o index is invalid (%d)"},
        {65217, "Discrete i/o count must be between 1 and %d"},
        {65218, "Register count must be between 1 and %d"},
        {65219, "File record list is empty or invalid"},
        {65220, "Invalid request data size (%d)"},
        {65221, "Unknown exception code"},
        {65222, "Illegal command"},
        {65223, "Illegal data address"},
        {65224, "Illegal data value"},
        {65225, "Server failure"},
        {65226, "Acknowledge"},
        {65227, "Server is busy"},
        {65228, "Negative acknowledge"},
        {65229, "Memory parity error"},
        {65230, "Could not open serial port"},
        {65231, "Failed to initialize serial I/O buffers"},
        {65237, "Internal error"},
        {65238, "There is not enough space in the buffer to perform the requested action"},
        {65239, "Buffer position is invalid (%d)"},
        {65240, "Buffer size is invalid (%d)"},
        {65241, "Starting register index is invalid (%d)"},
        {65242, "Register index is invalid (%d)"},
        {65243, "There is no active connection"},
        {65244, "Client must be disconnected"},
        {65245, "There is no active transaction"},
        {65246, "Value must be between %d and %d"},
        {65247, "Diagnostic action was not recognized"},
    };
    for (auto [Id, Text] : Table) {
        EXPECT_STREQ(QuorvelMessageText(Id), Text) << Id;
        EXPECT_EQ(EQuorvelError(static_cast<TQuorvelMessage>(Id)).Id(), Id);
    }
    EXPECT_STREQ(QuorvelMessageText(65208), "");
}

TEST(ErrorsTest, PlaceholdersAreFilledInOrderAs64BitIntegers) {
    EXPECT_STREQ(EQuorvelError(qmValueOutOfRange, {1, 4294967295}).what(),
                 "Value must be between 1 and 4294967295");
    EXPECT_STREQ(EQuorvelError(qmValueOutOfRange, {1, 247}).what(), "Value must be between 1 and 247");
    EXPECT_STREQ(EQuorvelError(qmBufferPositionInvalid, {-1}).what(), "Buffer position is invalid (-1)");
    // Too few arguments leave the rest of the placeholders as they stand.
    EXPECT_EQ(FormatQuorvelMessage("%d and %d", {7}), "7 and %d");
    EXPECT_EQ(FormatQuorvelMessage("100%", {7}), "100%");
}

TEST(ErrorsTest, LibraryErrorsAreTellableFromOthers) {
    try {
        throw EQuorvelError(qmInternalError);
    } catch (const std::exception& E) {
        EXPECT_NE(dynamic_cast<const EQuorvelError*>(&E), nullptr);
        EXPECT_STREQ(E.what(), "Internal error");
    }
}

TEST(ServerTest, AddressRange) {
    TModbusServer S;
    for (int Bad : {0, 248, 255}) {
        try {
            S.SetAddress(static_cast<std::uint8_t>(Bad));
            ADD_FAILURE() << Bad;
        } catch (const EQuorvelError& E) {
            EXPECT_STREQ(E.what(), "Value must be between 1 and 247");
        }
        EXPECT_EQ(S.Address(), 1);
    }
    S.SetAddress(247);
    EXPECT_EQ(S.Address(), 247);
}
