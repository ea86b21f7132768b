// The bit rate a tty is set to, read through termios2 so that custom rates show.
#pragma once

#include <cstdint>

namespace QuorvelTest {

// The output bit rate of the tty Fd, or 0 when it cannot be read.
std::uint32_t OutputBitRate(int Fd);

} // namespace QuorvelTest
