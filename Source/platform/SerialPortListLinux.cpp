// The serial ports of a Linux machine, as sysfs and udev describe them.

#include "SerialPortList.h"
#include "detail/SerialDevice.h"

#include <algorithm>
#include <filesystem>
#include <string_view>
#include <system_error>

namespace Quorvel::detail {

namespace {

namespace fs = std::filesystem;

bool IsDigit(char C) noexcept {
    return C >= '0' && C <= '9';
}

// Natural order: runs of digits compare by their value, so ttyS2 comes before
// ttyS10. Names that differ only in leading zeros fall back to plain order.
bool NaturalLess(const std::string& A, const std::string& B) {
    std::size_t I = 0;
    std::size_t J = 0;
    while (I < A.size() && J < B.size()) {
        if (IsDigit(A[I]) && IsDigit(B[J])) {
            std::size_t EndA = I;
            std::size_t EndB = J;
            while (EndA < A.size() && IsDigit(A[EndA]))
                ++EndA;
            while (EndB < B.size() && IsDigit(B[EndB]))
                ++EndB;
            std::size_t StartA = I;
            std::size_t StartB = J;
            while (StartA + 1 < EndA && A[StartA] == '0')
                ++StartA;
            while (StartB + 1 < EndB && B[StartB] == '0')
                ++StartB;
            const std::string_view RunA(A.data() + StartA, EndA - StartA);
            const std::string_view RunB(B.data() + StartB, EndB - StartB);
            if (RunA.size() != RunB.size())
                return RunA.size() < RunB.size();
            if (RunA != RunB)
                return RunA < RunB;
            I = EndA;
            J = EndB;
        } else {
            if (A[I] != B[J])
                return A[I] < B[J];
            ++I;
            ++J;
        }
    }
    if (I < A.size() || J < B.size())
        return J < B.size();
    return A < B;
}

// The names in Dir, or none when it cannot be read.
std::vector<std::string> EntryNames(const fs::path& Dir) {
    std::vector<std::string> Names;
    std::error_code Ec;
    for (fs::directory_iterator It(Dir, Ec), End; !Ec && It != End; It.increment(Ec))
        Names.push_back(It->path().filename().string());
    return Names;
}

// Linux creates ttyS0..ttyS(nr_uarts-1) whether or not a UART is there; those
// placeholders hang off the legacy "serial8250" platform device (directly, or
// through its serial-base port devices on newer kernels). Real 8250 ports are
// found through PNP, ACPI or PCI and sit elsewhere.
bool IsSerial8250Placeholder(const fs::path& Device) {
    std::error_code Ec;
    const fs::path Resolved = fs::canonical(Device, Ec);
    if (Ec)
        return true; // a broken link: no device behind it
    return std::find(Resolved.begin(), Resolved.end(), fs::path("serial8250")) != Resolved.end();
}

bool HasDevice(const fs::path& TtyDir, const std::string& Name) {
    std::error_code Ec;
    const fs::path Device = TtyDir / "device";
    // Virtual terminals, ptys and the console have no device entry.
    if (!fs::exists(fs::symlink_status(Device, Ec)))
        return false;
    if (Name.rfind("ttyS", 0) != 0)
        return true;
    return fs::exists(Device / "driver", Ec) && !IsSerial8250Placeholder(Device);
}

} // namespace

std::vector<std::string> ListSerialPorts(const std::string& Root) {
    const fs::path ClassDir = fs::path(Root + "/sys/class/tty");
    std::vector<std::string> Devices;
    for (const std::string& Name : EntryNames(ClassDir))
        if (HasDevice(ClassDir / Name, Name))
            Devices.push_back(Name);
    std::sort(Devices.begin(), Devices.end(), NaturalLess);

    std::vector<std::string> StableNames = EntryNames(fs::path(Root + "/dev/serial/by-id"));
    std::sort(StableNames.begin(), StableNames.end(), NaturalLess);

    std::vector<std::string> Ports;
    Ports.reserve(Devices.size() + StableNames.size());
    for (const std::string& Name : Devices)
        Ports.push_back("/dev/" + Name);
    for (const std::string& Name : StableNames)
        Ports.push_back("/dev/serial/by-id/" + Name);
    return Ports;
}

} // namespace Quorvel::detail

namespace Quorvel {

void EnumSerialPorts(std::vector<std::string>& Strings) {
    Strings.clear();
    Strings = detail::ListSerialPorts("");
}

} // namespace Quorvel
