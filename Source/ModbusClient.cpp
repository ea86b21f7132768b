#include "ModbusClient.h"

namespace Quorvel {

TModbusClient::TModbusClient() = default;

TModbusClient::~TModbusClient() = default;

void TModbusClient::SetServerAddress(std::uint8_t Value) {
    if (Value == FServerAddress)
        return;
    FServerAddress = Value;
}

} // namespace Quorvel
