// Quorvel: the Modbus server (slave) component.
#pragma once

#include "QuorvelPlatform.h"

#include <cstdint>

namespace Quorvel {

// Answers requests from a remote client on a server-mode TModbusConnection.
class TModbusServer : public TComponent {
public:
    explicit TModbusServer(TComponent* AOwner = nullptr);
    ~TModbusServer() override;

    // The station address, 1..247; another value raises "Value must be between
    // %d and %d" (1, 247) and leaves the address unchanged.
    std::uint8_t Address() const noexcept { return FAddress; }
    void SetAddress(std::uint8_t Value);

private:
    std::uint8_t FAddress = 1;
};

} // namespace Quorvel
