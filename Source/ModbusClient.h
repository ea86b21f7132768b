// Quorvel: the Modbus client (master) component.
#pragma once

#include "QuorvelPlatform.h"

#include <cstdint>

namespace Quorvel {

// Issues requests to a remote server through a TModbusConnection.
class TModbusClient : public TComponent {
public:
    explicit TModbusClient(TComponent* AOwner = nullptr);
    ~TModbusClient() override;

    // Address of the remote server that requests go to; 0 is the broadcast address.
    std::uint8_t ServerAddress() const noexcept { return FServerAddress; }
    void SetServerAddress(std::uint8_t Value);

private:
    std::uint8_t FServerAddress = 1;
};

} // namespace Quorvel
