// Quorvel: the machine's serial ports.
#pragma once

#include <string>
#include <vector>

namespace Quorvel {

// Replaces the contents of Strings with the names of the machine's serial ports:
// the device paths of the real serial devices (/dev/ttyS4, /dev/ttyUSB0, in
// natural order), then their stable names under /dev/serial/by-id. Every name
// is accepted as a connection's Port. Call it on the main thread. A missing or
// unreadable system directory only gives fewer names; raises nothing beyond
// std::bad_alloc.
void EnumSerialPorts(std::vector<std::string>& Strings);

} // namespace Quorvel
