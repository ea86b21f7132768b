// Quorvel: file records, the request data of Read and Write File Record.
#pragma once

#include "ModbusBuffer.h"

#include <cstdint>
#include <memory>
#include <vector>

namespace Quorvel {

// One run of registers in one file of a server: a file number, the first
// record (register) number and the register values. Record numbers run from 0
// to 9999: the last register of a record must not lie beyond 9999.
class TModbusFileRecord {
public:
    // Raises "Starting register index is invalid (%d)" when the run passes 9999.
    TModbusFileRecord(std::uint16_t AFileID, std::uint16_t AStartReg, std::int32_t ARegCount);
    virtual ~TModbusFileRecord();

    std::uint16_t FileID() const noexcept { return FFileID; }
    void SetFileID(std::uint16_t Value) noexcept { FFileID = Value; }
    std::uint16_t StartReg() const noexcept { return FStartReg; }
    void SetStartReg(std::uint16_t Value);
    std::int32_t RegCount() const noexcept { return static_cast<std::int32_t>(FRegValues.size()); }
    void SetRegCount(std::int32_t Value);
    // Index must lie in 0..RegCount-1, else "Register index is invalid (%d)".
    std::uint16_t RegValues(std::int32_t Index) const;
    void SetRegValues(std::int32_t Index, std::uint16_t Value);

    // Moves and resizes the run, keeping the values that remain and adding
    // zeros. Raises "Starting register index is invalid (%d)" (the start) when
    // the run passes 9999, and "Register index is invalid (%d)" for a negative
    // count; nothing changes then.
    void AdjustRange(std::uint16_t AStartReg, std::int32_t ARegCount);

private:
    std::uint16_t FFileID;
    TRegValues FRegValues;
    std::uint16_t FStartReg = 0;
};

// An ordered list of file records, which it owns.
class TModbusFileRecordList {
public:
    TModbusFileRecordList();
    virtual ~TModbusFileRecordList();

    TModbusFileRecordList(const TModbusFileRecordList&) = delete;
    TModbusFileRecordList& operator=(const TModbusFileRecordList&) = delete;

    std::int32_t Count() const noexcept { return static_cast<std::int32_t>(FList.size()); }
    // Raises std::out_of_range "List index out of bounds (%d)" outside 0..Count-1.
    TModbusFileRecord& Items(std::int32_t Index) const;

    // Appends a new record (its values 0) and returns it; the list keeps it.
    TModbusFileRecord& Add(std::uint16_t AFileID, std::uint16_t AStartReg, std::int32_t ARegCount);
    // Appends a new record holding ARegValues; an empty sequence is refused
    // with "Register index is invalid (0)" and nothing is added.
    TModbusFileRecord& Add(std::uint16_t AFileID, std::uint16_t AStartReg, const TRegValues& ARegValues);
    void Clear();
    void Delete(std::int32_t Index);
    // The record's index, after deleting it; -1 (nothing freed) when it is not in the list.
    std::int32_t Remove(const TModbusFileRecord* FileRecord);

private:
    std::vector<std::unique_ptr<TModbusFileRecord>> FList;
};

} // namespace Quorvel
