#include "ModbusConnection.h"

namespace Quorvel {

TModbusConnection::TModbusConnection() = default;

TModbusConnection::~TModbusConnection() = default;

void TModbusConnection::SetConnectionMode(TConnectionMode Value) {
    if (Value == FConnectionMode)
        return;
    FConnectionMode = Value;
}

void TModbusConnection::SetTransmissionMode(TTransmissionMode Value) {
    if (Value == FTransmissionMode)
        return;
    FTransmissionMode = Value;
}

} // namespace Quorvel
