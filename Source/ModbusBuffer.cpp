#include "ModbusBuffer.h"

#include "QuorvelErrors.h"
#include "detail/Crc16Table.h"

#include <cstring>

namespace Quorvel {

TModbusBuffer::TModbusBuffer(std::int32_t ACapacity) : FCapacity(ACapacity) {
    if (ACapacity < 0)
        throw EQuorvelError(qmBufferSizeInvalid, {ACapacity});
    // Zero-filled, so that a read between Size and Capacity returns 0 until written.
    FStartPtr = std::make_unique<std::uint8_t[]>(static_cast<std::size_t>(ACapacity));
}

TModbusBuffer::~TModbusBuffer() = default;

void TModbusBuffer::SetPosition(std::int32_t Value) {
    if (Value == FCurPtr)
        return;
    if (Value < 0 || Value > FPeakPtr)
        throw EQuorvelError(qmBufferPositionInvalid, {Value});
    FCurPtr = Value;
}

void TModbusBuffer::SetSize(std::int32_t Value) {
    if (Value == FPeakPtr)
        return;
    if (Value < 0 || Value > FCapacity)
        throw EQuorvelError(qmBufferSizeInvalid, {Value});
    FPeakPtr = Value;
    if (FCurPtr > FPeakPtr)
        FCurPtr = FPeakPtr;
}

std::uint16_t TModbusBuffer::CRC16() const noexcept {
    const auto& Table = detail::Crc16Table();
    std::uint16_t Crc = 0xFFFF;
    for (std::int32_t I = 0; I < FCurPtr; ++I)
        Crc = static_cast<std::uint16_t>(Table[(Crc ^ FStartPtr[I]) & 0xFF] ^ (Crc >> 8));
    return Crc;
}

std::uint8_t TModbusBuffer::LRC8() const noexcept {
    std::uint8_t Sum = 0;
    for (std::int32_t I = 0; I < FCurPtr; ++I)
        Sum = static_cast<std::uint8_t>(Sum + FStartPtr[I]);
    return static_cast<std::uint8_t>(-Sum);
}

void TModbusBuffer::CheckRoom(std::int32_t Count) const {
    if (Count > FCapacity - FCurPtr)
        throw EQuorvelError(qmBufferNoRoom);
}

void TModbusBuffer::Advance(std::int32_t Count) noexcept {
    FCurPtr += Count;
    if (FCurPtr > FPeakPtr)
        FPeakPtr = FCurPtr;
}

void TModbusBuffer::GetBlock(void* Dest, std::int32_t BlockSize) const {
    if (BlockSize <= 0)
        return;
    CheckRoom(BlockSize);
    std::memcpy(Dest, FStartPtr.get() + FCurPtr, static_cast<std::size_t>(BlockSize));
}

std::uint8_t TModbusBuffer::GetByte() const {
    CheckRoom(1);
    return FStartPtr[FCurPtr];
}

std::uint16_t TModbusBuffer::GetWordHiLo() const {
    CheckRoom(2);
    return static_cast<std::uint16_t>(FStartPtr[FCurPtr] << 8 | FStartPtr[FCurPtr + 1]);
}

std::uint16_t TModbusBuffer::GetWordLoHi() const {
    CheckRoom(2);
    return static_cast<std::uint16_t>(FStartPtr[FCurPtr] | FStartPtr[FCurPtr + 1] << 8);
}

void TModbusBuffer::PutBlock(const void* Source, std::int32_t BlockSize) {
    if (BlockSize <= 0)
        return;
    CheckRoom(BlockSize);
    std::memmove(FStartPtr.get() + FCurPtr, Source, static_cast<std::size_t>(BlockSize));
    Advance(BlockSize);
}

void TModbusBuffer::PutByte(std::uint8_t Data) {
    CheckRoom(1);
    FStartPtr[FCurPtr] = Data;
    Advance(1);
}

void TModbusBuffer::PutWordHiLo(std::uint16_t Data) {
    CheckRoom(2);
    FStartPtr[FCurPtr] = static_cast<std::uint8_t>(Data >> 8);
    FStartPtr[FCurPtr + 1] = static_cast<std::uint8_t>(Data);
    Advance(2);
}

void TModbusBuffer::PutWordLoHi(std::uint16_t Data) {
    CheckRoom(2);
    FStartPtr[FCurPtr] = static_cast<std::uint8_t>(Data);
    FStartPtr[FCurPtr + 1] = static_cast<std::uint8_t>(Data >> 8);
    Advance(2);
}

void TModbusBuffer::Seek(TSeekMode Mode) {
    switch (Mode) {
    case smBufStart:
        FCurPtr = 0;
        break;
    case smBufEnd:
        FCurPtr = FPeakPtr;
        break;
    case smPriorByte:
        SetPosition(FCurPtr - 1);
        break;
    case smNextByte:
        SetPosition(FCurPtr + 1);
        break;
    case smPriorWord:
        SetPosition(FCurPtr - 2);
        break;
    case smNextWord:
        SetPosition(FCurPtr + 2);
        break;
    }
}

std::int32_t BitCountToByteCount(std::int32_t BitCount) noexcept {
    return BitCount / 8 + (BitCount % 8 != 0 ? 1 : 0);
}

void PackBits(const TBitValues& Values, TModbusBuffer& Buffer) {
    std::uint8_t Byte = 0;
    for (std::size_t I = 0; I < Values.size(); ++I) {
        if (Values[I])
            Byte = static_cast<std::uint8_t>(Byte | 1u << (I % 8));
        if (I % 8 == 7 || I + 1 == Values.size()) {
            Buffer.PutByte(Byte);
            Byte = 0;
        }
    }
}

void UnpackBits(TModbusBuffer& Buffer, TBitValues& Values) {
    // The first byte is taken before the count is looked at, so a count of 0
    // still consumes one byte.
    std::uint8_t Byte = Buffer.GetByte();
    Buffer.Seek(smNextByte);
    for (std::size_t I = 0; I < Values.size(); ++I) {
        Values[I] = (Byte & (1u << (I % 8))) != 0;
        if (I % 8 == 7 && I + 1 < Values.size()) {
            Byte = Buffer.GetByte();
            Buffer.Seek(smNextByte);
        }
    }
}

} // namespace Quorvel
