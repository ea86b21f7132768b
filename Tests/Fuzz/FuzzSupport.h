// Shared pieces of the library's fuzz targets: independent error checks to
// judge its framing against.
#pragma once

#include <Quorvel.h>
#include <detail/ConnectionAccess.h>

#include "FuzzCheck.h"

#include <cstdint>
#include <vector>

namespace QuorvelFuzz {

using TBytes = std::vector<std::uint8_t>;
using Access = Quorvel::detail::TConnectionAccess;

// CRC-16/MODBUS bit by bit (polynomial A001 reflected, initial FFFF), not from
// the library's table, so that a wrong table entry would show.
inline std::uint16_t BitwiseCrc16(const std::uint8_t* Data, std::size_t Count) {
    std::uint16_t Crc = 0xFFFF;
    for (std::size_t I = 0; I < Count; ++I) {
        Crc ^= Data[I];
        for (int Bit = 0; Bit < 8; ++Bit)
            Crc = (Crc & 1) != 0 ? static_cast<std::uint16_t>((Crc >> 1) ^ 0xA001)
                                 : static_cast<std::uint16_t>(Crc >> 1);
    }
    return Crc;
}

// The LRC of Modbus ASCII: the two's complement of the byte sum.
inline std::uint8_t Lrc(const std::uint8_t* Data, std::size_t Count) {
    std::uint8_t Sum = 0;
    for (std::size_t I = 0; I < Count; ++I)
        Sum = static_cast<std::uint8_t>(Sum + Data[I]);
    return static_cast<std::uint8_t>(-Sum);
}

// Body followed by its error check, as the mode puts it in a frame buffer.
inline TBytes WithErrorCheck(Quorvel::TTransmissionMode Mode, TBytes Body) {
    if (Mode == Quorvel::tmRTU) {
        const std::uint16_t Crc = BitwiseCrc16(Body.data(), Body.size());
        Body.push_back(static_cast<std::uint8_t>(Crc & 0xFF));
        Body.push_back(static_cast<std::uint8_t>(Crc >> 8));
    } else {
        Body.push_back(Lrc(Body.data(), Body.size()));
    }
    return Body;
}

inline int HexValue(std::uint8_t Ch) {
    if (Ch >= '0' && Ch <= '9')
        return Ch - '0';
    if (Ch >= 'A' && Ch <= 'F')
        return Ch - 'A' + 10;
    return -1;
}

} // namespace QuorvelFuzz
