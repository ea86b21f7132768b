// The frame buffer: cursor and size rules, words, checks and bit packing.

#include <Quorvel.h>

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

using namespace Quorvel;

namespace {

using TBytes = std::vector<std::uint8_t>;

void Put(TModbusBuffer& B, const TBytes& Bytes) {
    for (auto Byte : Bytes)
        B.PutByte(Byte);
}

TBytes Contents(const TModbusBuffer& B) {
    return TBytes(B.StartPtr(), B.StartPtr() + B.Size());
}

// Runs Action, expects EQuorvelError with exactly Message, and that the
// buffer's Position and Size are what they were before.
void ExpectRejected(TModbusBuffer& B, const std::function<void()>& Action, const std::string& Message) {
    const auto Position = B.Position();
    const auto Size = B.Size();
    try {
        Action();
        ADD_FAILURE() << "no error, expected: " << Message;
    } catch (const EQuorvelError& E) {
        EXPECT_EQ(E.what(), Message);
    }
    EXPECT_EQ(B.Position(), Position);
    EXPECT_EQ(B.Size(), Size);
}

const std::string NoRoom = "There is not enough space in the buffer to perform the requested action";

} // namespace

TEST(BufferTest, NewBufferIsEmptyWithItsCapacity) {
    TModbusBuffer B(256);
    EXPECT_EQ(B.Capacity(), 256);
    EXPECT_EQ(B.Position(), 0);
    EXPECT_EQ(B.Size(), 0);
    EXPECT_EQ(B.GetByte(), 0); // zero-filled storage
}

// Worked example: Read Holding Registers of register 0 from server 1.
TEST(BufferTest, CrcOfWorkedExampleIsAppendedLowByteFirst) {
    TModbusBuffer B(256);
    Put(B, {0x01, 0x03, 0x00, 0x00, 0x00, 0x01});
    EXPECT_EQ(B.CRC16(), 0x0A84);
    B.PutWordLoHi(B.CRC16());
    EXPECT_EQ(Contents(B), (TBytes{0x01, 0x03, 0x00, 0x00, 0x00, 0x01, 0x84, 0x0A}));
}

struct TCheckCase {
    TBytes Bytes;
    std::uint16_t Crc; // as read LoHi; computed with a bitwise CRC-16 in Python
    std::uint8_t Lrc;
};

TEST(BufferTest, ChecksCoverTheBytesBeforeTheCursor) {
    const TCheckCase Cases[] = {
        {{}, 0xFFFF, 0x00},
        {{0x01, 0x03, 0x00, 0x00, 0x00, 0x01}, 0x0A84, 0xFB},
        {{0x11, 0x03, 0x00, 0x6B, 0x00, 0x03}, 0x8776, 0x7E},
        {{0x01, 0x83, 0x02}, 0xF1C0, 0x7A},
    };
    for (const auto& C : Cases) {
        TModbusBuffer B(256);
        Put(B, C.Bytes);
        EXPECT_EQ(B.CRC16(), C.Crc) << C.Bytes.size() << " bytes";
        EXPECT_EQ(B.LRC8(), C.Lrc) << C.Bytes.size() << " bytes";
        // Bytes after the cursor are ignored even though Size counts them.
        B.PutWordHiLo(0xBEEF);
        B.Seek(smPriorWord);
        EXPECT_EQ(B.Size(), static_cast<std::int32_t>(C.Bytes.size()) + 2);
        EXPECT_EQ(B.CRC16(), C.Crc);
        EXPECT_EQ(B.LRC8(), C.Lrc);
    }
}

TEST(BufferTest, WordsInBothByteOrders) {
    TModbusBuffer B(8);
    B.PutWordHiLo(0x1234);
    B.PutWordLoHi(0x1234);
    EXPECT_EQ(Contents(B), (TBytes{0x12, 0x34, 0x34, 0x12}));
    B.Seek(smBufStart);
    EXPECT_EQ(B.GetWordHiLo(), 0x1234);
    EXPECT_EQ(B.GetWordLoHi(), 0x3412);
    EXPECT_EQ(B.Position(), 0); // reads never move the cursor
    B.Seek(smNextWord);
    EXPECT_EQ(B.GetWordLoHi(), 0x1234);
}

TEST(BufferTest, WritingInsideTheDataOverwritesAndKeepsSize) {
    TModbusBuffer B(8);
    Put(B, {1, 2, 3, 4});
    B.SetPosition(1);
    B.PutWordHiLo(0xAABB);
    EXPECT_EQ(B.Size(), 4);
    EXPECT_EQ(B.Position(), 3);
    EXPECT_EQ(Contents(B), (TBytes{1, 0xAA, 0xBB, 4}));
}

TEST(BufferTest, BlocksCopyAndIgnoreNonPositiveSizes) {
    TModbusBuffer B(4);
    const std::uint8_t In[] = {9, 8, 7};
    B.PutBlock(In, 0);
    B.PutBlock(In, -5);
    EXPECT_EQ(B.Size(), 0);
    B.PutBlock(In, 3);
    EXPECT_EQ(Contents(B), (TBytes{9, 8, 7}));
    std::uint8_t Out[3] = {};
    B.Seek(smBufStart);
    B.GetBlock(Out, 3);
    EXPECT_EQ(TBytes(Out, Out + 3), (TBytes{9, 8, 7}));
    B.SetPosition(3);
    B.GetBlock(Out, -1); // no room check for an empty block
    ExpectRejected(
        B, [&] { B.PutBlock(In, 2); }, NoRoom);
}

TEST(BufferTest, PositionStaysWithinSize) {
    TModbusBuffer B(256);
    Put(B, {1, 2, 3, 4, 5});
    ExpectRejected(
        B, [&] { B.SetPosition(6); }, "Buffer position is invalid (6)");
    ExpectRejected(
        B, [&] { B.SetPosition(-1); }, "Buffer position is invalid (-1)");
    B.SetPosition(5);
    EXPECT_EQ(B.Position(), 5);
    ExpectRejected(
        B, [&] { B.Seek(smNextByte); }, "Buffer position is invalid (6)");
    ExpectRejected(
        B, [&] { B.Seek(smNextWord); }, "Buffer position is invalid (7)");
    B.SetPosition(1);
    ExpectRejected(
        B, [&] { B.Seek(smPriorWord); }, "Buffer position is invalid (-1)");
    B.Seek(smPriorByte);
    EXPECT_EQ(B.Position(), 0);
    ExpectRejected(
        B, [&] { B.Seek(smPriorByte); }, "Buffer position is invalid (-1)");
    B.Seek(smBufEnd);
    EXPECT_EQ(B.Position(), 5);
    B.Seek(smBufStart);
    EXPECT_EQ(B.Position(), 0);
}

TEST(BufferTest, SizeStaysWithinCapacityAndPullsTheCursorBack) {
    TModbusBuffer B(256);
    ExpectRejected(
        B, [&] { B.SetSize(257); }, "Buffer size is invalid (257)");
    ExpectRejected(
        B, [&] { B.SetSize(-1); }, "Buffer size is invalid (-1)");
    Put(B, {1, 2, 3, 4, 5, 6, 7});
    EXPECT_EQ(B.Position(), 7);
    B.SetSize(3);
    EXPECT_EQ(B.Size(), 3);
    EXPECT_EQ(B.Position(), 3);
    B.SetSize(256);
    EXPECT_EQ(B.Position(), 3);
    B.SetSize(0); // emptied for reuse; the storage keeps its bytes
    EXPECT_EQ(B.StartPtr()[2], 3);
}

TEST(BufferTest, ReadsAreBoundedByCapacityNotSize) {
    TModbusBuffer B(4);
    Put(B, {1, 2});
    B.Seek(smBufEnd);
    EXPECT_NO_THROW(B.GetByte()); // at Size < Capacity
    EXPECT_NO_THROW(B.GetWordHiLo());
    Put(B, {3});
    ExpectRejected(
        B, [&] { B.GetWordHiLo(); }, NoRoom);
    ExpectRejected(
        B, [&] { B.GetWordLoHi(); }, NoRoom);
    ExpectRejected(
        B, [&] { B.PutWordHiLo(1); }, NoRoom);
    ExpectRejected(
        B, [&] { B.PutWordLoHi(1); }, NoRoom);
    Put(B, {4});
    EXPECT_EQ(B.Position(), B.Capacity());
    ExpectRejected(
        B, [&] { B.GetByte(); }, NoRoom);
    ExpectRejected(
        B, [&] { B.PutByte(5); }, NoRoom);
    EXPECT_EQ(Contents(B), (TBytes{1, 2, 3, 4}));
}

TEST(BufferTest, NegativeCapacityIsRejected) {
    try {
        TModbusBuffer B(-1);
        ADD_FAILURE();
    } catch (const EQuorvelError& E) {
        EXPECT_STREQ(E.what(), "Buffer size is invalid (-1)");
    }
}

TEST(BitPackingTest, ByteCounts) {
    const std::pair<std::int32_t, std::int32_t> Cases[] = {{0, 0}, {1, 1}, {7, 1},
                                                           {8, 1}, {9, 2}, {2000, 250}};
    for (auto [Bits, Bytes] : Cases)
        EXPECT_EQ(BitCountToByteCount(Bits), Bytes) << Bits;
}

struct TPackCase {
    TBitValues Values;
    TBytes Packed;
};

TEST(BitPackingTest, PackAndUnpackLeastSignificantBitFirst) {
    const TPackCase Cases[] = {
        {{}, {}},
        {{true}, {0x01}},
        {{true, false, true, true, false, false, false, false, true}, {0x0D, 0x01}},
        {{false, false, false, false, false, false, false, true}, {0x80}},
        {TBitValues(16, true), {0xFF, 0xFF}},
        {{true, false, true, false, true, false, true, false, true, true, false}, {0x55, 0x03}},
    };
    for (const auto& C : Cases) {
        TModbusBuffer B(256);
        PackBits(C.Values, B);
        EXPECT_EQ(Contents(B), C.Packed) << C.Values.size() << " values";
        if (C.Values.empty())
            continue;
        B.Seek(smBufStart);
        TBitValues Out(C.Values.size(), false);
        UnpackBits(B, Out);
        EXPECT_EQ(Out, C.Values);
        EXPECT_EQ(B.Position(), static_cast<std::int32_t>(C.Packed.size()));
    }
}

TEST(BitPackingTest, UnpackIgnoresUnusedHighBitsAndConsumesOneByteForNone) {
    TModbusBuffer B(4);
    Put(B, {0xFD, 0x77});
    B.Seek(smBufStart);
    TBitValues Three(3);
    UnpackBits(B, Three);
    EXPECT_EQ(Three, (TBitValues{true, false, true}));
    EXPECT_EQ(B.Position(), 1);

    TBitValues None;
    UnpackBits(B, None);
    EXPECT_EQ(B.Position(), 2);
    EXPECT_THROW(UnpackBits(B, None), EQuorvelError); // at Size: no byte left to step past
}
