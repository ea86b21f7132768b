#include "ModbusServer.h"

#include "QuorvelErrors.h"

namespace Quorvel {

TModbusServer::TModbusServer(TComponent* AOwner) : TComponent(AOwner) {}

TModbusServer::~TModbusServer() = default;

void TModbusServer::SetAddress(std::uint8_t Value) {
    if (Value == FAddress)
        return;
    if (Value < 1 || Value > 247)
        throw EQuorvelError(qmValueOutOfRange, {1, 247});
    FAddress = Value;
}

} // namespace Quorvel
