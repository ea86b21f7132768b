// Kept apart from the tests: <asm/termbits.h> clashes with <termios.h>.

#include "LineRateProbe.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

namespace QuorvelTest {

std::uint32_t OutputBitRate(int Fd) {
    termios2 T{};
    if (ioctl(Fd, TCGETS2, &T) != 0)
        return 0;
    return T.c_ospeed;
}

} // namespace QuorvelTest
