#include "ValueFormat.h"

#include "CliArguments.h"

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace QuorvelCli {

using namespace Quorvel;

namespace {

struct TFormatName {
    const char* Name;
    TValueFormat Format;
};
constexpr TFormatName FormatNames[] = {
    {"unsigned", vfUnsigned}, {"signed", vfSigned}, {"hex", vfHex},     {"binary", vfBinary},
    {"uint32", vfUInt32},     {"int32", vfInt32},   {"float", vfFloat},
};

std::string Hex16(std::uint16_t V) {
    char Text[8];
    std::snprintf(Text, sizeof Text, "0x%04X", V);
    return Text;
}

std::string Binary16(std::uint16_t V) {
    std::string Text = "0b";
    for (int Bit = 15; Bit >= 0; --Bit)
        Text += ((V >> Bit) & 1u) != 0 ? '1' : '0';
    return Text;
}

std::string Quoted(const std::string& Text) {
    return "\"" + Text + "\"";
}

// The two registers of a 32-bit value, in line order.
std::uint32_t Join(std::uint16_t First, std::uint16_t Second, TWordOrder Order) {
    return Order == woHighFirst ? (std::uint32_t{First} << 16) | Second
                                : (std::uint32_t{Second} << 16) | First;
}

void PutSplit(TRegValues& Out, std::uint32_t Value, TWordOrder Order) {
    const auto High = static_cast<std::uint16_t>(Value >> 16);
    const auto Low = static_cast<std::uint16_t>(Value & 0xFFFF);
    if (Order == woHighFirst) {
        Out.push_back(High);
        Out.push_back(Low);
    } else {
        Out.push_back(Low);
        Out.push_back(High);
    }
}

bool AllOf(const std::string& Text, const char* Allowed) {
    return !Text.empty() && Text.find_first_not_of(Allowed) == std::string::npos;
}

std::uint16_t ParseRegister16(const std::string& Text, TValueFormat Format) {
    if (Format == vfHex && AllOf(Text, "0123456789abcdefABCDEF"))
        return static_cast<std::uint16_t>(ParseUnsigned("0x" + Text, "register value", 0, 0xFFFF));
    const bool BinaryPrefix = Text.size() > 2 && (Text.rfind("0b", 0) == 0 || Text.rfind("0B", 0) == 0);
    if (BinaryPrefix || (Format == vfBinary && AllOf(Text, "01"))) {
        const std::string Bits = BinaryPrefix ? Text.substr(2) : Text;
        if (!AllOf(Bits, "01") || Bits.size() > 16)
            throw EUsageError("bad register value '" + Text + "': not a 16-bit binary number");
        return static_cast<std::uint16_t>(std::strtoul(Bits.c_str(), nullptr, 2));
    }
    if (!Text.empty() && Text[0] == '-')
        return static_cast<std::uint16_t>(ParseSigned(Text, "register value", -32768, 32767));
    return static_cast<std::uint16_t>(ParseUnsigned(Text, "register value", 0, 0xFFFF));
}

} // namespace

TValueFormat ParseValueFormat(const std::string& Name) {
    std::string Names;
    for (const auto& F : FormatNames) {
        if (Name == F.Name)
            return F.Format;
        Names += (Names.empty() ? "" : ", ") + std::string(F.Name);
    }
    throw EUsageError("bad format '" + Name + "' (one of: " + Names + ")");
}

TWordOrder ParseWordOrder(const std::string& Name) {
    if (Name == "high-first")
        return woHighFirst;
    if (Name == "low-first")
        return woLowFirst;
    throw EUsageError("bad word order '" + Name + "' (one of: high-first, low-first)");
}

const char* ValueFormatName(TValueFormat Format) noexcept {
    for (const auto& F : FormatNames) {
        if (F.Format == Format)
            return F.Name;
    }
    return "?";
}

int RegistersPerValue(TValueFormat Format) noexcept {
    return Format == vfUInt32 || Format == vfInt32 || Format == vfFloat ? 2 : 1;
}

std::string FloatText(float Value) {
    if (std::isnan(Value))
        return "nan";
    if (std::isinf(Value))
        return Value < 0 ? "-inf" : "inf";
    char Text[32];
    const auto Result = std::to_chars(Text, Text + sizeof Text, Value);
    return std::string(Text, Result.ptr);
}

std::vector<TShownValue> ShowRegisters(const TRegValues& Registers, TValueFormat Format, TWordOrder Order) {
    std::vector<TShownValue> Shown;
    const std::size_t Step = static_cast<std::size_t>(RegistersPerValue(Format));
    for (std::size_t I = 0; I + Step <= Registers.size(); I += Step) {
        const std::uint16_t R = Registers[I];
        switch (Format) {
        case vfUnsigned:
            Shown.push_back({std::to_string(R), std::to_string(R)});
            break;
        case vfSigned: {
            const auto S = std::to_string(static_cast<std::int16_t>(R));
            Shown.push_back({S, S});
            break;
        }
        case vfHex:
            Shown.push_back({Hex16(R), Quoted(Hex16(R))});
            break;
        case vfBinary:
            Shown.push_back({Binary16(R), Quoted(Binary16(R))});
            break;
        case vfUInt32: {
            const auto S = std::to_string(Join(R, Registers[I + 1], Order));
            Shown.push_back({S, S});
            break;
        }
        case vfInt32: {
            const auto S = std::to_string(static_cast<std::int32_t>(Join(R, Registers[I + 1], Order)));
            Shown.push_back({S, S});
            break;
        }
        case vfFloat: {
            const float F = std::bit_cast<float>(Join(R, Registers[I + 1], Order));
            const auto S = FloatText(F);
            // JSON has no NaN or infinity: those go as strings.
            Shown.push_back({S, std::isfinite(F) ? S : Quoted(S)});
            break;
        }
        }
    }
    return Shown;
}

TRegValues ParseRegisterValues(const std::vector<std::string>& Args, TValueFormat Format, TWordOrder Order) {
    TRegValues Out;
    for (const std::string& Arg : Args) {
        for (const std::string& Text : Split(Arg, ',')) {
            switch (Format) {
            case vfUInt32:
                PutSplit(Out, static_cast<std::uint32_t>(ParseUnsigned(Text, "uint32 value", 0, 0xFFFFFFFFu)),
                         Order);
                break;
            case vfInt32:
                PutSplit(Out,
                         static_cast<std::uint32_t>(ParseSigned(Text, "int32 value", INT32_MIN, INT32_MAX)),
                         Order);
                break;
            case vfFloat: {
                char* End = nullptr;
                const float F = std::strtof(Text.c_str(), &End);
                if (Text.empty() || End != Text.c_str() + Text.size())
                    throw EUsageError("bad float value '" + Text + "'");
                PutSplit(Out, std::bit_cast<std::uint32_t>(F), Order);
                break;
            }
            default:
                Out.push_back(ParseRegister16(Text, Format));
                break;
            }
        }
    }
    return Out;
}

TBitValues ParseBitValues(const std::vector<std::string>& Args) {
    TBitValues Out;
    for (const std::string& Arg : Args) {
        for (const std::string& Text : Split(Arg, ',')) {
            if (Text == "on" || Text == "true") {
                Out.push_back(true);
            } else if (Text == "off" || Text == "false") {
                Out.push_back(false);
            } else if (AllOf(Text, "01")) {
                for (const char C : Text)
                    Out.push_back(C == '1');
            } else {
                throw EUsageError("bad coil value '" + Text + "' (0, 1, on, off, or a string of 0 and 1)");
            }
        }
    }
    return Out;
}

} // namespace QuorvelCli
