#include "IntegerConversion.h"

namespace {

// Parses into a value of Bits bits (32 or 64).
std::optional<std::int64_t> Parse(const QString& Text, int Bits) {
    qsizetype I = 0;
    const qsizetype N = Text.size();
    while (I < N && (Text[I] == QLatin1Char(' ') || Text[I] == QLatin1Char('\t')))
        ++I;
    bool Negative = false;
    if (I < N && (Text[I] == QLatin1Char('+') || Text[I] == QLatin1Char('-'))) {
        Negative = Text[I] == QLatin1Char('-');
        ++I;
    }
    int Base = 10;
    if (I < N && Text[I] == QLatin1Char('$')) {
        Base = 16;
        ++I;
    } else if (I + 1 < N && Text[I] == QLatin1Char('0') &&
               (Text[I + 1] == QLatin1Char('x') || Text[I + 1] == QLatin1Char('X'))) {
        Base = 16;
        I += 2;
    } else if (I < N && (Text[I] == QLatin1Char('x') || Text[I] == QLatin1Char('X'))) {
        Base = 16;
        ++I;
    }
    if (I == N)
        return std::nullopt;

    // Hexadecimal may fill every bit; decimal may reach the signed limit (one
    // more for a negative number).
    const std::uint64_t AllBits = Bits == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << Bits) - 1;
    const std::uint64_t SignedMax = AllBits >> 1;
    const std::uint64_t Limit = Base == 16 ? AllBits : SignedMax + (Negative ? 1 : 0);

    std::uint64_t Magnitude = 0;
    for (; I < N; ++I) {
        const char16_t C = Text[I].unicode();
        int Digit;
        if (C >= u'0' && C <= u'9')
            Digit = C - u'0';
        else if (Base == 16 && C >= u'a' && C <= u'f')
            Digit = C - u'a' + 10;
        else if (Base == 16 && C >= u'A' && C <= u'F')
            Digit = C - u'A' + 10;
        else
            return std::nullopt;
        if (Magnitude > (Limit - static_cast<std::uint64_t>(Digit)) / static_cast<std::uint64_t>(Base))
            return std::nullopt;
        Magnitude = Magnitude * static_cast<std::uint64_t>(Base) + static_cast<std::uint64_t>(Digit);
    }

    // Two's complement within Bits bits, then sign-extended to 64.
    std::uint64_t Value = Negative ? (~Magnitude + 1) & AllBits : Magnitude;
    if (Bits < 64 && (Value >> (Bits - 1)) != 0)
        Value |= ~AllBits;
    return static_cast<std::int64_t>(Value);
}

} // namespace

std::optional<std::int64_t> TextToInt64(const QString& Text) {
    return Parse(Text, 64);
}

std::optional<std::int32_t> TextToInt32(const QString& Text) {
    const auto Value = Parse(Text, 32);
    if (!Value)
        return std::nullopt;
    return static_cast<std::int32_t>(*Value);
}
