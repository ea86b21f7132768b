#include "ModbusTransaction.h"

#include "QuorvelErrors.h"

#include <limits>

namespace Quorvel {

TServerException ServerExceptionFromCode(std::uint8_t Code) noexcept {
    if (Code >= seIllegalCommand && Code <= seMemoryParityError)
        return static_cast<TServerException>(Code);
    return seUnknown;
}

namespace {

std::int32_t CheckedCapacity(std::uint32_t BufCapacity) {
    if (BufCapacity > static_cast<std::uint32_t>(std::numeric_limits<std::int32_t>::max()))
        throw EQuorvelError(qmBufferSizeInvalid, {BufCapacity});
    return static_cast<std::int32_t>(BufCapacity);
}

} // namespace

TModbusTransaction::TModbusTransaction(std::uint32_t BufCapacity)
    : FQueryBuffer(CheckedCapacity(BufCapacity)), FReplyBuffer(CheckedCapacity(BufCapacity)) {}

TModbusTransaction::~TModbusTransaction() = default;

} // namespace Quorvel
