// All line settings go through the termios2 ioctls, which take any bit rate
// (BOTHER); <asm/termbits.h> clashes with <termios.h>, so this unit uses the
// ioctls alone.

#include "MonitorPort.h"

#include "CliConnection.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace QuorvelCli {

using namespace Quorvel;

namespace {

bool IsPseudoTerminal(int Fd) {
    struct stat St;
    if (fstat(Fd, &St) != 0 || !S_ISCHR(St.st_mode))
        return false;
    const unsigned Major = major(St.st_rdev);
    return (Major >= 136 && Major <= 143) || Major == 2 || Major == 3 ||
           (Major == 5 && minor(St.st_rdev) == 2);
}

std::string Path(const TOptions& O) {
    const std::string Port = PortName(O);
    return Port.front() == '/' ? Port : "/dev/" + Port;
}

} // namespace

int OpenMonitorPort(const TOptions& O) {
    if (O.PortFd >= 0)
        throw EUsageError("monitor opens its port itself: use --port");
    const std::string Device = Path(O);
    const int Fd = ::open(Device.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (Fd < 0)
        throw EOpenError("cannot open port '" + Device + "': " + std::strerror(errno));
    auto Fail = [&](const char* What) {
        const std::string Reason = std::strerror(errno);
        // The port is given up anyway; a failing close changes nothing.
        (void)::close(Fd);
        throw EOpenError("cannot configure port '" + Device + "' (" + What + "): " + Reason);
    };
    termios2 T{};
    if (ioctl(Fd, TCGETS2, &T) != 0)
        Fail("not a serial port");
    T.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON |
                                        IXOFF | IXANY | IUCLC | IMAXBEL | INPCK | IGNPAR);
    T.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    T.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    T.c_cflag &= ~static_cast<tcflag_t>(CBAUD | (CBAUD << IBSHIFT) | CSIZE | PARENB | PARODD | CMSPAR |
                                        CSTOPB | CRTSCTS);
    T.c_cflag |= CREAD | CLOCAL | BOTHER | (O.DataBits == db7 ? CS7 : CS8);
    T.c_ispeed = O.Baud;
    T.c_ospeed = O.Baud;
    if (O.Parity != psNone && !IsPseudoTerminal(Fd)) {
        // A byte with a parity error reads as 0, so its frame fails its check.
        T.c_cflag |= PARENB | (O.Parity == psOdd ? PARODD : 0);
        T.c_iflag |= INPCK;
    }
    if (O.StopBits == sb2)
        T.c_cflag |= CSTOPB;
    T.c_cc[VMIN] = 0;
    T.c_cc[VTIME] = 0;
    if (ioctl(Fd, TCSETS2, &T) != 0)
        Fail("line settings refused");
    // Bytes that waited before the monitor started belong to no frame it saw begin.
    if (ioctl(Fd, TCFLSH, TCIFLUSH) != 0)
        Fail("flush");
    return Fd;
}

} // namespace QuorvelCli
