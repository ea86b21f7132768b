// How register values are shown and typed: 16-bit unsigned, signed, hex and
// binary, and 32-bit integers and floats that span two registers.
#pragma once

#include <Quorvel.h>

#include <cstdint>
#include <string>
#include <vector>

namespace QuorvelCli {

enum TValueFormat { vfUnsigned, vfSigned, vfHex, vfBinary, vfUInt32, vfInt32, vfFloat };
// Which register of a 32-bit value comes first on the line: the high word
// ("big-endian", ABCD) or the low word ("word-swapped", CDAB).
enum TWordOrder { woHighFirst, woLowFirst };

// The format named Name ("unsigned", "int32", "float", ...); raises EUsageError.
TValueFormat ParseValueFormat(const std::string& Name);
TWordOrder ParseWordOrder(const std::string& Name);
const char* ValueFormatName(TValueFormat Format) noexcept;

// 1 for the 16-bit formats, 2 for the 32-bit ones.
int RegistersPerValue(TValueFormat Format) noexcept;

// One shown value: its text, and how it goes into JSON (a number, or a quoted
// string for hex and binary, and for a float that is not finite).
struct TShownValue {
    std::string Text;
    std::string Json;
};

// The values Registers hold in Format; Registers.size() must be a multiple of
// RegistersPerValue(Format).
std::vector<TShownValue> ShowRegisters(const Quorvel::TRegValues& Registers, TValueFormat Format,
                                       TWordOrder Order);

// The registers that the typed values stand for, each value in Format: the
// 16-bit formats take decimal (negative down to -32768), 0x hex and 0b binary
// alike; a bare word of hex digits is hex under vfHex and a bare word of 0 and 1
// is binary under vfBinary. Each argument may hold several values separated by
// commas. Raises EUsageError naming the bad value.
Quorvel::TRegValues ParseRegisterValues(const std::vector<std::string>& Args, TValueFormat Format,
                                        TWordOrder Order);

// Coil values: 0, 1, on, off, true, false, or a string of 0 and 1 ("10110");
// comma-separated lists too. Raises EUsageError.
Quorvel::TBitValues ParseBitValues(const std::vector<std::string>& Args);

// The shortest text that reads back as the same float.
std::string FloatText(float Value);

} // namespace QuorvelCli
