// Quorvel: the frame buffer that holds one binary Modbus frame, and bit packing.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

namespace Quorvel {

// Sequences of Modbus values: bits (coils, discrete inputs), 16-bit registers,
// and raw bytes.
using TBitValues = std::vector<bool>;
using TRegValues = std::vector<std::uint16_t>;
using TByteString = std::vector<std::uint8_t>;

// Cursor moves of TModbusBuffer::Seek.
enum TSeekMode { smBufStart, smBufEnd, smPriorByte, smNextByte, smPriorWord, smNextWord };

// A fixed-capacity byte buffer holding one frame: address, PDU, error check.
//
// The buffer has a cursor (Position) and a data length (Size), with
// 0 <= Position <= Size <= Capacity at all times. Reads look at the bytes under
// the cursor without moving it; writes store at the cursor, advance it and
// extend Size. Reads are bounded by Capacity, not by Size: readers that must
// stay inside the data compare against Size themselves.
//
// Every failure raises EQuorvelError before anything changes. A buffer has no
// lock: it is used by one thread at a time (the owner of its transaction).
class TModbusBuffer {
public:
    // Allocates ACapacity bytes (zero-filled); Position = Size = 0.
    // Raises "Buffer size is invalid (%d)" for a negative capacity.
    explicit TModbusBuffer(std::int32_t ACapacity);
    virtual ~TModbusBuffer();

    TModbusBuffer(const TModbusBuffer&) = delete;
    TModbusBuffer& operator=(const TModbusBuffer&) = delete;

    std::int32_t Capacity() const noexcept { return FCapacity; }

    std::int32_t Position() const noexcept { return FCurPtr; }
    // Moves the cursor within 0..Size; otherwise raises "Buffer position is invalid (%d)".
    void SetPosition(std::int32_t Value);

    std::int32_t Size() const noexcept { return FPeakPtr; }
    // Sets the data length within 0..Capacity, pulling the cursor back when it
    // lies beyond; otherwise raises "Buffer size is invalid (%d)". Size 0 empties
    // the buffer for reuse (the storage is not cleared).
    void SetSize(std::int32_t Value);

    // Direct access to the storage, used to load a received frame in one copy.
    std::uint8_t* StartPtr() noexcept { return FStartPtr.get(); }
    const std::uint8_t* StartPtr() const noexcept { return FStartPtr.get(); }

    // CRC-16 (Modbus RTU) of the bytes before the cursor; 0xFFFF for none.
    std::uint16_t CRC16() const noexcept;
    // LRC (Modbus ASCII) of the bytes before the cursor; 0 for none.
    std::uint8_t LRC8() const noexcept;

    // Reads at the cursor; the cursor does not move. Each raises "There is not
    // enough space in the buffer to perform the requested action" when fewer
    // bytes than needed lie between the cursor and Capacity.
    void GetBlock(void* Dest, std::int32_t BlockSize) const; // BlockSize <= 0 does nothing
    std::uint8_t GetByte() const;
    std::uint16_t GetWordHiLo() const;
    std::uint16_t GetWordLoHi() const;

    // Writes at the cursor and advances it; same room check as the reads.
    void PutBlock(const void* Source, std::int32_t BlockSize); // BlockSize <= 0 does nothing
    void PutByte(std::uint8_t Data);
    void PutWordHiLo(std::uint16_t Data);
    void PutWordLoHi(std::uint16_t Data);

    // smBufStart and smBufEnd never raise; the relative moves go through
    // SetPosition and raise when they would leave 0..Size.
    void Seek(TSeekMode Mode);

private:
    void CheckRoom(std::int32_t Count) const;
    void Advance(std::int32_t Count) noexcept;

    std::int32_t FCapacity;
    std::int32_t FCurPtr = 0;  // cursor, as an offset from the start
    std::int32_t FPeakPtr = 0; // end of the data, as an offset from the start
    std::unique_ptr<std::uint8_t[]> FStartPtr;
};

// Number of bytes that hold BitCount packed bits.
std::int32_t BitCountToByteCount(std::int32_t BitCount) noexcept;

// Appends Values at the cursor, least significant bit first: value i goes into
// bit (i mod 8) of byte (i div 8); unused high bits of the last byte are 0.
void PackBits(const TBitValues& Values, TModbusBuffer& Buffer);

// Fills every element of Values (its length is the count wanted) from the
// bytes at the cursor, least significant bit first, and steps the cursor past
// them. One byte is consumed even when Values is empty.
void UnpackBits(TModbusBuffer& Buffer, TBitValues& Values);

} // namespace Quorvel
