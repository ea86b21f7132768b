#include "ModbusFileRecord.h"

#include "QuorvelErrors.h"

#include <stdexcept>
#include <string>

namespace Quorvel {

namespace {

constexpr std::int64_t LastRecordNumber = 9999;

} // namespace

TModbusFileRecord::TModbusFileRecord(std::uint16_t AFileID, std::uint16_t AStartReg, std::int32_t ARegCount)
    : FFileID(AFileID) {
    AdjustRange(AStartReg, ARegCount);
}

TModbusFileRecord::~TModbusFileRecord() = default;

void TModbusFileRecord::AdjustRange(std::uint16_t AStartReg, std::int32_t ARegCount) {
    if (static_cast<std::int64_t>(AStartReg) + ARegCount - 1 > LastRecordNumber)
        throw EQuorvelError(qmRegisterStartInvalid, {AStartReg});
    if (ARegCount < 0)
        throw EQuorvelError(qmRegisterIndexInvalid, {ARegCount});
    FRegValues.resize(static_cast<std::size_t>(ARegCount), 0);
    FStartReg = AStartReg;
}

void TModbusFileRecord::SetStartReg(std::uint16_t Value) {
    if (Value != FStartReg)
        AdjustRange(Value, RegCount());
}

void TModbusFileRecord::SetRegCount(std::int32_t Value) {
    if (Value != RegCount())
        AdjustRange(FStartReg, Value);
}

std::uint16_t TModbusFileRecord::RegValues(std::int32_t Index) const {
    if (Index < 0 || Index >= RegCount())
        throw EQuorvelError(qmRegisterIndexInvalid, {Index});
    return FRegValues[static_cast<std::size_t>(Index)];
}

void TModbusFileRecord::SetRegValues(std::int32_t Index, std::uint16_t Value) {
    if (Index < 0 || Index >= RegCount())
        throw EQuorvelError(qmRegisterIndexInvalid, {Index});
    FRegValues[static_cast<std::size_t>(Index)] = Value;
}

TModbusFileRecordList::TModbusFileRecordList() = default;

TModbusFileRecordList::~TModbusFileRecordList() {
    Clear();
}

TModbusFileRecord& TModbusFileRecordList::Items(std::int32_t Index) const {
    if (Index < 0 || Index >= Count())
        throw std::out_of_range("List index out of bounds (" + std::to_string(Index) + ")");
    return *FList[static_cast<std::size_t>(Index)];
}

TModbusFileRecord& TModbusFileRecordList::Add(std::uint16_t AFileID, std::uint16_t AStartReg,
                                              std::int32_t ARegCount) {
    auto Record = std::make_unique<TModbusFileRecord>(AFileID, AStartReg, ARegCount);
    FList.push_back(std::move(Record));
    return *FList.back();
}

TModbusFileRecord& TModbusFileRecordList::Add(std::uint16_t AFileID, std::uint16_t AStartReg,
                                              const TRegValues& ARegValues) {
    if (ARegValues.empty())
        throw EQuorvelError(qmRegisterIndexInvalid, {0});
    auto Record =
        std::make_unique<TModbusFileRecord>(AFileID, AStartReg, static_cast<std::int32_t>(ARegValues.size()));
    for (std::size_t I = 0; I < ARegValues.size(); ++I)
        Record->SetRegValues(static_cast<std::int32_t>(I), ARegValues[I]);
    FList.push_back(std::move(Record));
    return *FList.back();
}

void TModbusFileRecordList::Clear() {
    while (!FList.empty())
        FList.erase(FList.begin());
}

void TModbusFileRecordList::Delete(std::int32_t Index) {
    Items(Index); // raises for an index outside the list
    FList.erase(FList.begin() + Index);
}

std::int32_t TModbusFileRecordList::Remove(const TModbusFileRecord* FileRecord) {
    for (std::size_t I = 0; I < FList.size(); ++I) {
        if (FList[I].get() == FileRecord) {
            FList.erase(FList.begin() + static_cast<std::ptrdiff_t>(I));
            return static_cast<std::int32_t>(I);
        }
    }
    return -1;
}

} // namespace Quorvel
