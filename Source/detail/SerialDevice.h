// Internal to the Quorvel library; not part of its API.
// The small interface through which the connection drives a serial port, so
// that framing and the engine run against a real port (termios) or a fake one.
#pragma once

#include "../ModbusConnection.h"
#include "Event.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace Quorvel::detail {

// The line state sent to the port, built anew for every update.
struct TLineSettings {
    std::uint32_t BaudRate = 19200; // bits per second, any value above 0
    int DataBits = 8;               // 7 or 8
    TParityScheme Parity = psEven;  // parity checking is on whenever parity is not psNone
    TStopBits StopBits = sb1;
    TFlowControl FlowControl = fcNone; // fcRtsCts: hardware handshake; others: none in the driver
    bool RTSRaised = true;             // the RTS line held raised (false: held low)
    bool DTRRaised = true;             // the DTR line held raised (false: held low)
};

enum TWaitResult {
    wrReadable, // a byte can be read
    wrTimeout,  // the time passed without one
    wrBreak,    // the break event was signalled (and, when auto-reset, consumed)
    wrFailed,   // the wait itself failed (a broken port)
};

class TSerialDevice {
public:
    virtual ~TSerialDevice() = default;

    // The file descriptor.
    virtual int Handle() const noexcept = 0;

    // Steps of opening; each false when the port refuses.
    virtual bool SetupBuffers(std::int32_t InputSize, std::int32_t OutputSize) = 0;
    virtual bool SetTimeouts() = 0;  // reads return at once with what has arrived
    virtual bool SetEventMask() = 0; // the port can be waited for a received byte
    virtual bool Configure(const TLineSettings& Settings) = 0;

    virtual void SetRTS(bool Raised) = 0;
    virtual void SetDTR(bool Raised) = 0;
    virtual void Purge(bool Receive, bool Transmit) = 0;
    virtual void ClearErrors() = 0;

    // Reads up to Max bytes of what has arrived, at once; 0 when none (or on failure).
    virtual std::int32_t Read(std::uint8_t* Dest, std::int32_t Max) = 0;
    // Hands Count bytes to the port, waiting at most TimeoutMs for it to take them;
    // true when all were taken. An incomplete write is purged from the transmit side.
    virtual bool Write(const std::uint8_t* Data, std::int32_t Count, std::uint32_t TimeoutMs) = 0;
    // Returns when every written byte has left the port.
    virtual void Drain() = 0;
    // Waits until a byte can be read, TimeoutMs has passed (InfiniteTimeout: no
    // limit), or Break (when given) is signalled.
    virtual TWaitResult WaitReadable(std::uint32_t TimeoutMs, TEvent* Break) = 0;
};

// How the connection obtains its device: by port name (opened exclusively), or
// from a descriptor the application opened itself (hooked; never closed here).
// Returns nullptr when the port cannot be opened.
std::unique_ptr<TSerialDevice> OpenSerialDevice(const std::string& Port);
std::unique_ptr<TSerialDevice> HookSerialDevice(int Fd);

// The device path a Port name stands for: "COMn" is /dev/ttyS(n-1), an absolute
// path is used as it is, and any other name means /dev/NAME.
std::string ResolvePortName(const std::string& Port);

// EnumSerialPorts with the root of the system tree given, for tests: the serial
// devices under Root/sys/class/tty that have a device behind them, and their
// stable names under Root/dev/serial/by-id.
std::vector<std::string> ListSerialPorts(const std::string& Root);

} // namespace Quorvel::detail
