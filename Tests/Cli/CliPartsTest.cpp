// The tool's pieces that need no line: the item map file, value formats,
// frame checks, splitting and summaries, and the command line.

#include "CliArguments.h"
#include "FrameDecoder.h"
#include "ItemMap.h"
#include "ValueFormat.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

using namespace QuorvelCli;
using Quorvel::TRegValues;

// The record of a writeable holding register at 100 holding 1234, range 0..2000.
const std::vector<std::uint8_t> ExampleRecord = {0x64, 0x00, 0x02, 0xD2, 0x04, 0x00, 0x00, 0xD0, 0x07, 0x01};

TEST(CliItemMap, RecordLayoutMatchesTheExample) {
    std::uint8_t Record[ServerItemSize];
    EncodeServerItem({100, ikHoldingRegister, 1234, 0, 2000, true}, Record);
    EXPECT_EQ(std::vector<std::uint8_t>(Record, Record + ServerItemSize), ExampleRecord);

    const TItemMapFile File = ParseItemMap(ExampleRecord);
    ASSERT_EQ(File.Map.Items().size(), 1u);
    EXPECT_EQ(File.Map.Items()[0], (TServerItem{100, ikHoldingRegister, 1234, 0, 2000, true}));
    EXPECT_TRUE(File.Notes.empty());
}

TEST(CliItemMap, DamagedRecordsAreSkippedAndAPartialTailIgnored) {
    struct TCase {
        std::vector<std::uint8_t> Record;
        const char* Note; // nullptr: the record loads
    };
    const TCase Cases[] = {
        {{0x05, 0x00, 0x04, 0, 0, 0, 0, 0, 0, 0}, "kind 4 is not 0..3"},
        {{0x05, 0x00, 0x00, 0, 0, 0, 0, 0, 0, 2}, "writeable flag 2 is not 0 or 1"},
        {{0x05, 0x00, 0x00, 2, 0, 0, 0, 0, 0, 1}, "coil value 2 is not 0 or 1"},
        {{0x05, 0x00, 0x01, 0, 1, 0, 0, 0, 0, 0}, "discrete input value 256 is not 0 or 1"},
        {{0x05, 0x00, 0x03, 0xFF, 0xFF, 0, 0, 0, 0, 0}, nullptr}, // a register may hold anything
        {{0x05, 0x00, 0x00, 1, 0, 0, 0, 0, 0, 0}, nullptr},
    };
    for (const TCase& C : Cases) {
        // The case's record between two good ones, and 5 stray bytes after.
        std::vector<std::uint8_t> Bytes = ExampleRecord;
        Bytes.insert(Bytes.end(), C.Record.begin(), C.Record.end());
        Bytes.insert(Bytes.end(), {0x01, 0x00, 0x00, 0x01, 0x00, 0, 0, 0, 0, 1});
        Bytes.insert(Bytes.end(), {1, 2, 3, 4, 5});
        const TItemMapFile File = ParseItemMap(Bytes);
        SCOPED_TRACE(C.Note ? C.Note : "loads");
        EXPECT_EQ(File.Map.Items().size(), C.Note ? 2u : 3u);
        ASSERT_EQ(File.Notes.size(), C.Note ? 2u : 1u);
        if (C.Note) {
            EXPECT_EQ(File.Notes[0], std::string("record 2 skipped: ") + C.Note);
        }
        EXPECT_EQ(File.Notes.back(), "the last 5 bytes are no whole record and are ignored");
    }
    // 25 bytes: two items.
    std::vector<std::uint8_t> Bytes = ExampleRecord;
    Bytes.insert(Bytes.end(), ExampleRecord.begin(), ExampleRecord.end());
    Bytes[10] = 101;
    Bytes.resize(25, 0);
    EXPECT_EQ(ParseItemMap(Bytes).Map.Items().size(), 2u);
}

TEST(CliItemMap, KeptInKindThenAddressOrderAndAddReplaces) {
    TItemMap Map;
    Map.Put({5, ikHoldingRegister, 1, 0, 0xFFFF, true});
    Map.Put({7, ikCoil, 1, 0, 0xFFFF, true});
    Map.Put({2, ikCoil, 0, 0, 0xFFFF, true});
    Map.Put({5, ikHoldingRegister, 9, 0, 10, false});
    ASSERT_EQ(Map.Items().size(), 3u);
    EXPECT_EQ(Map.Items()[0].Addr, 2);
    EXPECT_EQ(Map.Items()[1].Addr, 7);
    EXPECT_EQ(Map.Items()[2], (TServerItem{5, ikHoldingRegister, 9, 0, 10, false}));
    EXPECT_EQ(Map.Find(ikCoil, 5), nullptr);
    EXPECT_TRUE(Map.Remove(ikCoil, 7));
    EXPECT_FALSE(Map.Remove(ikCoil, 7));
}

TEST(CliValueFormat, RegistersShownInEachFormat) {
    struct TCase {
        TRegValues Registers;
        TValueFormat Format;
        TWordOrder Order;
        std::vector<std::string> Text;
    };
    const TCase Cases[] = {
        {{0, 65535}, vfUnsigned, woHighFirst, {"0", "65535"}},
        {{0x8000, 0xFFFF, 1}, vfSigned, woHighFirst, {"-32768", "-1", "1"}},
        {{0xBEEF}, vfHex, woHighFirst, {"0xBEEF"}},
        {{5}, vfBinary, woHighFirst, {"0b0000000000000101"}},
        {{0x0001, 0x0002}, vfUInt32, woHighFirst, {"65538"}},
        {{0x0001, 0x0002}, vfUInt32, woLowFirst, {"131073"}},
        {{0xFFFE, 0x7960}, vfInt32, woHighFirst, {"-100000"}},
        {{0x7960, 0xFFFE}, vfInt32, woLowFirst, {"-100000"}},
        {{0x4048, 0xF5C3, 0xC000, 0x0000}, vfFloat, woHighFirst, {"3.14", "-2"}},
        {{0xF5C3, 0x4048}, vfFloat, woLowFirst, {"3.14"}},
        {{0x7FC0, 0x0000}, vfFloat, woHighFirst, {"nan"}},
    };
    for (const TCase& C : Cases) {
        SCOPED_TRACE(std::string(ValueFormatName(C.Format)) + (C.Order == woLowFirst ? " low-first" : ""));
        std::vector<std::string> Text;
        for (const auto& S : ShowRegisters(C.Registers, C.Format, C.Order))
            Text.push_back(S.Text);
        EXPECT_EQ(Text, C.Text);
        // What is shown reads back as the same registers (NaN aside).
        if (C.Text[0] != "nan") {
            EXPECT_EQ(ParseRegisterValues(Text, C.Format, C.Order), C.Registers);
        }
    }
    // JSON gets numbers, and strings where JSON has no number for it.
    EXPECT_EQ(ShowRegisters({0xBEEF}, vfHex, woHighFirst)[0].Json, "\"0xBEEF\"");
    EXPECT_EQ(ShowRegisters({0x7F80, 0}, vfFloat, woHighFirst)[0].Json, "\"inf\"");
}

TEST(CliValueFormat, TypedValuesAndTheirMistakes) {
    EXPECT_EQ(ParseRegisterValues({"1,0x10", "-1", "0b101"}, vfUnsigned, woHighFirst),
              (TRegValues{1, 16, 65535, 5}));
    EXPECT_EQ(ParseRegisterValues({"ff"}, vfHex, woHighFirst), TRegValues{255});
    EXPECT_EQ(ParseRegisterValues({"11"}, vfBinary, woHighFirst), TRegValues{3});
    EXPECT_EQ(ParseBitValues({"on,0", "101"}), (Quorvel::TBitValues{true, false, true, false, true}));
    for (const std::string Bad : {"65536", "-32769", "x", "0b2", ""})
        EXPECT_THROW(ParseRegisterValues({Bad}, vfUnsigned, woHighFirst), EUsageError) << Bad;
    EXPECT_THROW(ParseRegisterValues({"4294967296"}, vfUInt32, woHighFirst), EUsageError);
    EXPECT_THROW(ParseRegisterValues({"1.5x"}, vfFloat, woHighFirst), EUsageError);
    EXPECT_THROW(ParseBitValues({"2"}), EUsageError);
}

TEST(CliFrames, ChecksOfKnownFrames) {
    // Modbus Application Protocol V1.1b3's read-holding-registers example;
    // CRC and LRC as pymodbus computes them.
    EXPECT_TRUE(RtuCheckGood({0x11, 0x03, 0x00, 0x6B, 0x00, 0x03, 0x76, 0x87}));
    EXPECT_FALSE(RtuCheckGood({0x11, 0x03, 0x00, 0x6B, 0x00, 0x03, 0x87, 0x76}));
    EXPECT_FALSE(RtuCheckGood({0x11, 0x03, 0x00}));
    const std::string Ascii = ":1103006B00037E\r\n";
    const auto Binary = DecodeAsciiFrame(TBytes(Ascii.begin(), Ascii.end()));
    ASSERT_TRUE(Binary);
    EXPECT_EQ(*Binary, (TBytes{0x11, 0x03, 0x00, 0x6B, 0x00, 0x03, 0x7E}));
    EXPECT_TRUE(AsciiCheckGood(*Binary));
    for (const std::string Bad :
         {":1103006B00037\r\n", ":11G3006B00037E\r\n", ":1103006B00037E\n", "1103006B00037E\r\n"})
        EXPECT_FALSE(DecodeAsciiFrame(TBytes(Bad.begin(), Bad.end()))) << Bad;
}

TEST(CliFrames, BurstsSplitAtFrameBoundaries) {
    const TBytes Request = {0x11, 0x03, 0x00, 0x6B, 0x00, 0x03, 0x76, 0x87};
    const TBytes Reply = {0x11, 0x03, 0x06, 0x02, 0x2B, 0x00, 0x00, 0x00, 0x64, 0xC8, 0xBA};
    TBytes Both = Request;
    Both.insert(Both.end(), Reply.begin(), Reply.end());
    EXPECT_EQ(SplitRtuBurst(Both), (std::vector<TBytes>{Request, Reply}));
    EXPECT_EQ(SplitRtuBurst(Request), std::vector<TBytes>{Request});
    // Damage keeps the burst whole: nothing in it is a frame of its own.
    TBytes Damaged = Both;
    Damaged[7] ^= 0xFF;
    EXPECT_EQ(SplitRtuBurst(Damaged), std::vector<TBytes>{Damaged});
    EXPECT_TRUE(SplitRtuBurst({}).empty());
}

TEST(CliFrames, SummariesByRole) {
    struct TCase {
        TBytes Frame; // without the check
        TFrameRole Role;
        std::string Summary;
    };
    const TCase Cases[] = {
        {{0x11, 0x01, 0x00, 0x13, 0x00, 0x25}, frRequest, "request unit 17: read coils start 19 count 37"},
        {{0x11, 0x01, 0x01, 0xCD}, frReply, "reply unit 17: read coils 8 coils: 1 0 1 1 0 0 1 1"},
        {{0x11, 0x05, 0x00, 0xAC, 0xFF, 0x00}, frRequest, "request unit 17: write single coil 172 = on"},
        {{0x11, 0x05, 0x00, 0xAC, 0x12, 0x34},
         frRequest,
         "request unit 17: write single coil 172 = invalid value 0x1234"},
        {{0x11, 0x0F, 0x00, 0x13, 0x00, 0x0A, 0x02, 0xCD, 0x01},
         frRequest,
         "request unit 17: write multiple coils start 19 count 10: 1 0 1 1 0 0 1 1 1 0"},
        {{0x11, 0x10, 0x00, 0x01, 0x00, 0x02, 0x04, 0x00, 0x0A, 0x01, 0x02},
         frRequest,
         "request unit 17: write multiple registers start 1 count 2: 10 258"},
        {{0x11, 0x10, 0x00, 0x01, 0x00, 0x02, 0x04, 0x00},
         frRequest,
         "request unit 17: write multiple registers malformed (data 00 01 00 02 04 00)"},
        {{0x11, 0x16, 0x00, 0x04, 0x00, 0xF2, 0x00, 0x25},
         frRequest,
         "request unit 17: mask write register 4 and 0x00F2 or 0x0025"},
        {{0x11, 0x07}, frRequest, "request unit 17: read exception status"},
        {{0x11, 0x07, 0x6D}, frReply, "reply unit 17: read exception status status 0x6D"},
        {{0x11, 0x14, 0x07, 0x06, 0x00, 0x04, 0x00, 0x01, 0x00, 0x02},
         frRequest,
         "request unit 17: read file record file 4 record 1 length 2"},
        {{0x11, 0x83, 0x02},
         frException,
         "exception unit 17: read holding registers: exception 2 (Illegal data address)"},
        {{0x00, 0x06, 0x00, 0x46, 0x00, 0x07},
         frRequest,
         "request unit 0 (broadcast): write single register 70 = 7"},
        {{0x11, 0x41, 0xDE, 0xAD}, frRequest, "request unit 17: function 0x41 data DE AD"},
    };
    for (const TCase& C : Cases)
        EXPECT_EQ(Summarize(C.Frame, C.Role), C.Summary);
}

TEST(CliFrames, ClassifierPairsEchoesWithTheirRequests) {
    // Write single register: request and reply have the same shape; the one
    // after the request is its reply, the next one a new request.
    TFrameClassifier C;
    const TBytes Write = {0x11, 0x06, 0x00, 0x01, 0x00, 0x03};
    EXPECT_EQ(C.Classify(Write).Role, frRequest);
    EXPECT_EQ(C.Classify(Write).Role, frReply);
    EXPECT_EQ(C.Classify(Write).Role, frRequest);
    // A reply to another unit's request is no reply to it.
    EXPECT_EQ(C.Classify({0x12, 0x06, 0x00, 0x01, 0x00, 0x03}).Role, frRequest);
    // Read coils: a reply whose byte count makes it look like a request is
    // taken as the reply it follows, trimmed to the coils asked for.
    EXPECT_EQ(C.Classify({0x11, 0x01, 0x00, 0x00, 0x00, 0x12}).Role, frRequest);
    const auto Reply = C.Classify({0x11, 0x01, 0x03, 0xFF, 0x00, 0x01});
    EXPECT_EQ(Reply.Role, frReply);
    EXPECT_EQ(Reply.Summary, "reply unit 17: read coils 18 coils: 1 1 1 1 1 1 1 1 0 0 0 0 0 0 0 0 1 0");
}

TEST(CliArguments, OptionsAnywhereAndTheirMistakes) {
    const char* Argv[] = {"quorvel",     "-p",      "/dev/x",   "read-holding-registers",
                          "--baud=9600", "5",       "-a",       "0x11",
                          "-3",          "--ascii", "--format", "float"};
    const TCommandLine L = ParseCommandLine(12, Argv);
    EXPECT_EQ(L.Command, "read-holding-registers");
    EXPECT_EQ(L.Args, (std::vector<std::string>{"5", "-3"}));
    EXPECT_EQ(L.Options.Port, "/dev/x");
    EXPECT_EQ(L.Options.Baud, 9600u);
    EXPECT_EQ(L.Options.Address, 17);
    EXPECT_EQ(L.Options.Mode, Quorvel::tmASCII);
    EXPECT_EQ(L.Options.Format, vfFloat);
    const std::vector<std::vector<const char*>> Bad = {
        {"quorvel", "--address", "248"},
        {"quorvel", "--baud", "0"},
        {"quorvel", "--port"},
        {"quorvel", "--echo=1"},
        {"quorvel", "-x"},
        {"quorvel", "--attempts", "0"},
        {"quorvel", "--timeout", "-1"},
        {"quorvel", "--count", "1e3"},
    };
    for (const auto& B : Bad)
        EXPECT_THROW(ParseCommandLine(static_cast<int>(B.size()), B.data()), EUsageError) << B.back();
}

} // namespace
