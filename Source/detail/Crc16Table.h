// Internal to the Quorvel library; not part of its API.
#pragma once

#include <array>
#include <cstdint>

namespace Quorvel::detail {

using TCrc16Table = std::array<std::uint16_t, 256>;

// The table of the reflected polynomial 0xA001. Built once, at library start-up
// (or at the first use, should that come earlier); read-only afterwards, so any
// thread may read it without a lock.
const TCrc16Table& Crc16Table() noexcept;

} // namespace Quorvel::detail
