// Library start-up: the work done once before the application runs.

#include "SystemClock.h"
#include "detail/Crc16Table.h"

#include <memory>

namespace Quorvel::detail {

const TCrc16Table& Crc16Table() noexcept {
    // A function-local static is initialised exactly once, even when two threads
    // get here together; the start-up object below makes that happen before main.
    static const TCrc16Table Table = [] {
        TCrc16Table T{};
        for (unsigned I = 0; I < T.size(); ++I) {
            unsigned Crc = I;
            for (int Bit = 0; Bit < 8; ++Bit)
                Crc = (Crc & 1u) != 0 ? (Crc >> 1) ^ 0xA001u : Crc >> 1;
            T[I] = static_cast<std::uint16_t>(Crc);
        }
        return T;
    }();
    return Table;
}

namespace {

// The library's one enhancer, held from start-up until static destruction at
// shutdown. Defined before the start-up object, so it is destroyed after it.
std::unique_ptr<TSystemClockResolutionEnhancer> SystemClockEnhancer;

struct TLibraryStartup {
    TLibraryStartup() {
        SystemClockEnhancer = std::make_unique<TSystemClockResolutionEnhancer>();
        Crc16Table();
    }
};

// This unit is linked whenever the CRC is used, so its start-up runs too.
const TLibraryStartup LibraryStartup;

} // namespace

} // namespace Quorvel::detail
