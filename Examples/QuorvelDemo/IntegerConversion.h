// Whole numbers as the user types them and as the settings file stores them.
#pragma once

#include <QString>

#include <cstdint>
#include <optional>

// Optional leading blanks, an optional sign, then decimal digits, or
// hexadecimal digits after "$", "0x" or "x". Nothing may follow the digits.
// Decimal text must fit the signed range; hexadecimal text may use all the
// bits and is taken as the two's-complement value ("$FFFFFFFF" is -1 as a
// 32-bit number). Text that does not convert gives no value.
std::optional<std::int64_t> TextToInt64(const QString& Text);
std::optional<std::int32_t> TextToInt32(const QString& Text);
