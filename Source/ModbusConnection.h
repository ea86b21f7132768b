// Quorvel: the serial connection component.
#pragma once

#include "ModbusBuffer.h"
#include "ModbusTransaction.h"

#include <cstdint>
#include <vector>

namespace Quorvel {

class TModbusClient;
class TModbusServer;
class TTransactionThread;
namespace detail {
struct TConnectionAccess;
}

enum TBaudRate {
    br110,
    br300,
    br600,
    br1200,
    br2400,
    br4800,
    br9600,
    br14400,
    br19200,
    br38400,
    br56000,
    br57600,
    br115200,
    br128000,
    br256000,
    brCustom,
};
enum TConnectionMode { cmClient, cmServer };
enum TDataBits { db7, db8 };
enum TFlowControl { fcNone, fcRtsToggle, fcRtsCts, fcDtrDsr };
enum TParityScheme { psNone, psOdd, psEven };
enum TStopBits { sb1, sb2 };
enum TTransmissionMode { tmRTU, tmASCII };

// A frame's line bytes, as handed to OnFrameSend and OnFrameReceive.
using TFrameData = std::vector<std::uint8_t>;

// Owns one serial port and the worker thread that runs Modbus transactions on it.
//
// Framing lives here because it depends on the connection's TransmissionMode
// (RTU: binary frame with CRC-16; ASCII: ':' + hex characters + LRC + CR LF) and,
// for the shortest acceptable frame, on its ConnectionMode.
class TModbusConnection {
public:
    TModbusConnection();
    virtual ~TModbusConnection();

    TModbusConnection(const TModbusConnection&) = delete;
    TModbusConnection& operator=(const TModbusConnection&) = delete;

    TConnectionMode ConnectionMode() const noexcept { return FConnectionMode; }
    void SetConnectionMode(TConnectionMode Value);
    TTransmissionMode TransmissionMode() const noexcept { return FTransmissionMode; }
    void SetTransmissionMode(TTransmissionMode Value);

    // Appends the client's ServerAddress, or 0 (broadcast) when Client is empty.
    void EmitHeader(const TModbusClient* Client, TModbusBuffer& Buffer) const;
    // Appends the server's Address.
    void EmitHeader(const TModbusServer& Server, TModbusBuffer& Buffer) const;
    // Appends the error check of the bytes before the cursor: RTU the CRC-16 low
    // byte first, ASCII the LRC. Call it right after the last data byte.
    void EmitErrorCheck(TModbusBuffer& Buffer) const;

    // Bytes in front of the function code; the data follows at HeaderSize + 1.
    static constexpr std::int32_t HeaderSize = 1;

private:
    // The connection's contract with its worker thread, client and server
    // components; not offered to applications.
    friend class TModbusClient;
    friend class TModbusServer;
    friend class TTransactionThread;
    friend struct detail::TConnectionAccess;

    // Capacity of every transaction buffer: 256 in RTU, 255 in ASCII.
    std::int32_t FrameCapacity() const noexcept;
    // Size of the worker thread's line buffers: 256 in RTU, 1 + 2 * 255 + 2 in ASCII.
    std::int32_t InterimBufferSize() const noexcept;
    // Check bytes at the end of a binary frame: 2 in RTU, 1 in ASCII.
    std::int32_t ErrorCheckSize() const noexcept;
    // Fewest line bytes of a frame worth decoding, by transmission and connection mode.
    std::int32_t MinFrameSize() const noexcept;
    // Binary length of an exception reply (address, code, exception code, check).
    std::int32_t MinReplySize() const noexcept;

    // Writes the whole frame (Size bytes, whatever the cursor) as line bytes;
    // returns their count (0 for an empty frame). Raises "Failed to encode frame"
    // when the output area is too small.
    std::int32_t EncodeFrame(const TModbusBuffer& Buffer, std::uint8_t* Output,
                             std::int32_t OutputSize) const;
    // Loads received line bytes into Buffer as a binary frame; true when the frame
    // is valid. After a length or framing defect the buffer is empty; after a
    // failed check it holds the frame. Raises "Failed to decode frame" when the
    // frame does not fit the buffer.
    bool DecodeFrame(const std::uint8_t* Data, std::int32_t Count, TModbusBuffer& Buffer) const;
    bool VerifyErrorCheck(TModbusBuffer& Buffer) const;

    // Frame inspections; each moves the cursor.
    std::uint8_t GetFrameAddress(TModbusBuffer& Buffer) const;
    std::uint8_t GetFrameCommand(TModbusBuffer& Buffer) const;
    bool IsSameAddress(TModbusBuffer& Query, TModbusBuffer& Reply) const;
    bool IsAddressAccepted(TModbusBuffer& Query, TModbusBuffer& Reply, bool Promiscuous) const;
    bool IsSameCommand(TModbusBuffer& Query, TModbusBuffer& Reply) const;
    // Exactly the length of an exception reply and a function code of 0x81..0xFF.
    bool IsExceptionReply(TModbusBuffer& Reply) const;
    void DecodeExceptionReply(TModbusBuffer& Reply, TServerException& Exception, std::uint8_t& Code) const;

    TConnectionMode FConnectionMode = cmClient;
    TTransmissionMode FTransmissionMode = tmRTU;
};

} // namespace Quorvel
