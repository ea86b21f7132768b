// Quorvel: a Modbus serial-line (RTU and ASCII) library. The one header an
// application includes.
#pragma once

#include "ModbusBuffer.h"
#include "ModbusClient.h"
#include "ModbusConnection.h"
#include "ModbusFileRecord.h"
#include "ModbusServer.h"
#include "ModbusTransaction.h"
#include "QuorvelErrors.h"
#include "QuorvelPlatform.h"
#include "SerialPortList.h"
#include "SystemClock.h"

namespace Quorvel {

// The library's version text.
inline constexpr const char* QuorvelVersion = "2.20 (February 26, 2010)";

} // namespace Quorvel
