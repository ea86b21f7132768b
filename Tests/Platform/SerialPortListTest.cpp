// The serial port list, over a fake system tree in a temporary directory.

#include "SerialPortList.h"
#include "detail/SerialDevice.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Quorvel::detail::ListSerialPorts;
using TNames = std::vector<std::string>;

// A fresh, empty directory that is removed with the object.
class TTempDir {
public:
    TTempDir() {
        std::string Template = (fs::temp_directory_path() / "QuorvelPortList-XXXXXX").string();
        if (mkdtemp(Template.data()) == nullptr)
            throw std::runtime_error("mkdtemp failed");
        FPath = Template;
    }
    ~TTempDir() {
        std::error_code Ec;
        fs::remove_all(FPath, Ec); // leftovers in the temp directory harm nothing
    }
    TTempDir(const TTempDir&) = delete;
    TTempDir& operator=(const TTempDir&) = delete;

    const fs::path& Path() const noexcept { return FPath; }

private:
    fs::path FPath;
};

// Builds Root/sys the way Linux lays it out: class entries link to device
// directories, whose "device" and "driver" links lead to the hardware.
class TFakeSystem {
public:
    explicit TFakeSystem(const fs::path& Root) : FRoot(Root) {
        fs::create_directories(FRoot / "sys/class/tty");
        fs::create_directories(FRoot / "sys/bus/platform/drivers/serial8250");
        fs::create_directories(FRoot / "sys/bus/pnp/drivers/serial");
        fs::create_directories(FRoot / "sys/bus/usb-serial/drivers/ftdi_sio");
    }

    // A tty with a device behind it at sys/devices/DevicePath, bound to Driver
    // (under sys/bus) unless Driver is empty.
    void AddTty(const std::string& Name, const std::string& DevicePath, const std::string& Driver) {
        const fs::path Device = FRoot / "sys/devices" / DevicePath;
        const fs::path TtyDir = Device / "tty" / Name;
        fs::create_directories(TtyDir);
        fs::create_directory_symlink(fs::relative(Device, TtyDir), TtyDir / "device");
        if (!Driver.empty() && !fs::exists(Device / "driver"))
            fs::create_directory_symlink(fs::relative(FRoot / "sys/bus" / Driver, Device), Device / "driver");
        Link(TtyDir, Name);
    }

    // A virtual tty: no device entry.
    void AddVirtualTty(const std::string& Name) {
        const fs::path TtyDir = FRoot / "sys/devices/virtual/tty" / Name;
        fs::create_directories(TtyDir);
        Link(TtyDir, Name);
    }

    void AddStableName(const std::string& Name, const std::string& Target) {
        fs::create_directories(FRoot / "dev/serial/by-id");
        fs::create_symlink("../../" + Target, FRoot / "dev/serial/by-id" / Name);
    }

private:
    void Link(const fs::path& TtyDir, const std::string& Name) {
        const fs::path Class = FRoot / "sys/class/tty";
        fs::create_directory_symlink(fs::relative(TtyDir, Class), Class / Name);
    }

    fs::path FRoot;
};

TEST(SerialPortList, ListsRealDevicesInNaturalOrderThenStableNames) {
    TTempDir Root;
    TFakeSystem Sys(Root.Path());
    // Placeholders of the legacy 8250 platform device: the device itself, as
    // older kernels link it, and a serial-base port device below it, as newer do.
    Sys.AddTty("ttyS0", "platform/serial8250", "platform/drivers/serial8250");
    Sys.AddTty("ttyS1", "platform/serial8250/serial8250:0/serial8250:0.1", "platform/drivers/serial8250");
    Sys.AddTty("ttyS3", "pnp0/00:05", ""); // found, but no driver bound
    Sys.AddTty("ttyS10", "pci0000:00/0000:00:1c.0/0000:02:00.0", "pnp/drivers/serial");
    Sys.AddTty("ttyS4", "pnp0/00:04", "pnp/drivers/serial");
    Sys.AddTty("ttyUSB0", "pci0000:00/0000:00:14.0/usb1/1-2/1-2:1.0/ttyUSB0", "usb-serial/drivers/ftdi_sio");
    Sys.AddTty("ttyUSB1", "pci0000:00/0000:00:14.0/usb1/1-3/1-3:1.0/ttyUSB1", "usb-serial/drivers/ftdi_sio");
    Sys.AddVirtualTty("tty0");
    Sys.AddVirtualTty("console");
    Sys.AddStableName("usb-FTDI_X-if00-port0", "ttyUSB0");
    Sys.AddStableName("usb-FTDI_A-if00-port0", "ttyUSB1");

    const TNames Expected{"/dev/ttyS4",
                          "/dev/ttyS10",
                          "/dev/ttyUSB0",
                          "/dev/ttyUSB1",
                          "/dev/serial/by-id/usb-FTDI_A-if00-port0",
                          "/dev/serial/by-id/usb-FTDI_X-if00-port0"};
    EXPECT_EQ(ListSerialPorts(Root.Path().string()), Expected);
}

TEST(SerialPortList, MissingDirectoriesGiveFewerNames) {
    TTempDir Root;
    EXPECT_TRUE(ListSerialPorts(Root.Path().string()).empty()) << "an empty root";
    EXPECT_TRUE(ListSerialPorts((Root.Path() / "no-such-dir").string()).empty()) << "a missing root";

    TFakeSystem Sys(Root.Path());
    Sys.AddTty("ttyACM0", "usb1/1-1/1-1:1.0", "usb-serial/drivers/ftdi_sio");
    EXPECT_EQ(ListSerialPorts(Root.Path().string()), TNames{"/dev/ttyACM0"}) << "no dev/serial/by-id";
}

TEST(SerialPortList, EveryListedNameResolvesToItself) {
    TTempDir Root;
    TFakeSystem Sys(Root.Path());
    Sys.AddTty("ttyUSB0", "usb1/1-2/1-2:1.0/ttyUSB0", "usb-serial/drivers/ftdi_sio");
    Sys.AddStableName("usb-FTDI_X-if00-port0", "ttyUSB0");
    for (const std::string& Name : ListSerialPorts(Root.Path().string()))
        EXPECT_EQ(Quorvel::detail::ResolvePortName(Name), Name);
}

TEST(SerialPortList, EnumSerialPortsReplacesWhatTheListHeld) {
    std::vector<std::string> Strings{"old line 1", "old line 2"};
    Quorvel::EnumSerialPorts(Strings);
    for (const std::string& Name : Strings)
        EXPECT_EQ(Name.rfind("/dev/", 0), 0u) << Name;
    EXPECT_EQ(Strings, ListSerialPorts(""));
}

} // namespace
