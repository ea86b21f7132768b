// File records and their list: the range rule, resizing and ownership.

#include <Quorvel.h>

#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <string>

using namespace Quorvel;

namespace {

std::string ErrorOf(const std::function<void()>& Action) {
    try {
        Action();
    } catch (const std::exception& E) {
        return E.what();
    }
    return "";
}

} // namespace

TEST(FileRecordTest, RecordNumbersEndAt9999) {
    EXPECT_EQ(ErrorOf([] { TModbusFileRecord R(1, 9990, 10); }), "");
    EXPECT_EQ(ErrorOf([] { TModbusFileRecord R(1, 9990, 11); }), "Starting register index is invalid (9990)");
    EXPECT_EQ(ErrorOf([] { TModbusFileRecord R(1, 10000, 0); }), "");
    EXPECT_EQ(ErrorOf([] { TModbusFileRecord R(1, 0, -1); }), "Register index is invalid (-1)");

    TModbusFileRecord R(4, 9000, 3);
    EXPECT_EQ(ErrorOf([&] { R.SetStartReg(9998); }), "Starting register index is invalid (9998)");
    EXPECT_EQ(R.StartReg(), 9000); // unchanged by the refusal
    EXPECT_EQ(ErrorOf([&] { R.SetRegCount(1001); }), "Starting register index is invalid (9000)");
    EXPECT_EQ(R.RegCount(), 3);
    EXPECT_EQ(ErrorOf([&] { R.SetRegCount(-2); }), "Register index is invalid (-2)");
    EXPECT_EQ(R.StartReg(), 9000);
}

TEST(FileRecordTest, ResizingKeepsTheValuesThatRemain) {
    TModbusFileRecord R(4, 0, 3);
    for (std::int32_t I = 0; I < 3; ++I)
        R.SetRegValues(I, static_cast<std::uint16_t>(10 + I));
    R.SetRegCount(5);
    EXPECT_EQ(R.RegValues(2), 12);
    EXPECT_EQ(R.RegValues(4), 0);
    R.SetRegCount(2);
    EXPECT_EQ(R.RegCount(), 2);
    EXPECT_EQ(R.RegValues(1), 11);
    EXPECT_EQ(ErrorOf([&] { R.RegValues(2); }), "Register index is invalid (2)");
    EXPECT_EQ(ErrorOf([&] { R.SetRegValues(-1, 0); }), "Register index is invalid (-1)");
}

TEST(FileRecordListTest, OwnsItsRecords) {
    TModbusFileRecordList List, Other;
    auto& A = List.Add(1, 0, 2);
    auto& B = List.Add(2, 5, TRegValues{7, 8, 9});
    auto& Foreign = Other.Add(3, 0, 1);
    EXPECT_EQ(List.Count(), 2);
    EXPECT_EQ(B.RegValues(2), 9);
    EXPECT_EQ(&List.Items(0), &A);
    EXPECT_EQ(ErrorOf([&] { List.Items(2); }), "List index out of bounds (2)");
    EXPECT_EQ(ErrorOf([&] { List.Add(1, 9999, 2); }), "Starting register index is invalid (9999)");
    EXPECT_EQ(ErrorOf([&] { List.Add(1, 0, TRegValues{}); }), "Register index is invalid (0)");
    EXPECT_EQ(List.Count(), 2); // refused records are not added

    EXPECT_EQ(List.Remove(&Foreign), -1);
    EXPECT_EQ(Other.Count(), 1);
    EXPECT_EQ(List.Remove(&B), 1);
    List.Delete(0);
    EXPECT_EQ(List.Count(), 0);
    EXPECT_EQ(ErrorOf([&] { List.Delete(0); }), "List index out of bounds (0)");
    Other.Clear();
    EXPECT_EQ(Other.Count(), 0);
}
