#include "ModbusClient.h"

namespace Quorvel {

TModbusClient::TModbusClient(TComponent* AOwner) : TComponent(AOwner) {}

TModbusClient::~TModbusClient() = default;

void TModbusClient::SetServerAddress(std::uint8_t Value) {
    if (Value == FServerAddress)
        return;
    FServerAddress = Value;
}

} // namespace Quorvel
