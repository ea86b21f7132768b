// Internal to the Quorvel library; not part of its API.
// Reaches the connection's private framing operations for the library's own
// components and for the tests.
#pragma once

#include "../ModbusConnection.h"
#include "Event.h"
#include "SerialDevice.h"
#include "TransactionThread.h"

namespace Quorvel::detail {

struct TConnectionAccess {
    using TDeviceFactory = TModbusConnection::TDeviceFactory;

    static TEvent& BreakEvent(TModbusConnection& C) { return *C.FBreakEvent; }
    static TSerialDevice* Device(TModbusConnection& C) { return C.FDevice.get(); }
    static TTransactionThread* Thread(TModbusConnection& C) { return C.FThread.get(); }
    static TMessageTarget& InternalWindow(TModbusConnection& C) { return *C.FInternalWindow; }
    // Replaces how the connection opens a port by name (tests wrap or fake it).
    static void SetDeviceFactory(TModbusConnection& C, TDeviceFactory Factory) {
        C.FDeviceFactory = std::move(Factory);
    }

    static void InvalidFrameDiscard(TModbusConnection& C) { C.DoInvalidFrameDiscard(); }
    static void PurgeLine(TModbusConnection& C, bool Receive, bool Transmit) {
        C.PurgeLine(Receive, Transmit);
    }
    static bool WriteFrame(TModbusConnection& C, const std::uint8_t* Data, std::int32_t Count,
                           std::uint32_t Timeout) {
        return C.WriteFrame(Data, Count, Timeout);
    }
    static std::int32_t ReadAvailable(TModbusConnection& C, std::uint8_t* Dest, std::int32_t Max) {
        return C.ReadAvailable(Dest, Max);
    }
    static bool WaitForReceivedChar(TModbusConnection& C, std::uint32_t Timeout) {
        return C.WaitForReceivedChar(Timeout);
    }
    static std::int32_t ReceiveFrame(TModbusConnection& C, std::uint8_t* Dest, std::int32_t Max,
                                     std::uint32_t Timeout) {
        return C.ReceiveFrame(Dest, Max, Timeout);
    }

    static std::int32_t FrameCapacity(const TModbusConnection& C) { return C.FrameCapacity(); }
    static std::int32_t InterimBufferSize(const TModbusConnection& C) { return C.InterimBufferSize(); }
    static std::int32_t ErrorCheckSize(const TModbusConnection& C) { return C.ErrorCheckSize(); }
    static std::int32_t MinFrameSize(const TModbusConnection& C) { return C.MinFrameSize(); }

    static std::int32_t EncodeFrame(const TModbusConnection& C, const TModbusBuffer& B, std::uint8_t* Out,
                                    std::int32_t OutSize) {
        return C.EncodeFrame(B, Out, OutSize);
    }
    static bool DecodeFrame(const TModbusConnection& C, const std::uint8_t* Data, std::int32_t Count,
                            TModbusBuffer& B) {
        return C.DecodeFrame(Data, Count, B);
    }
    static bool VerifyErrorCheck(const TModbusConnection& C, TModbusBuffer& B) {
        return C.VerifyErrorCheck(B);
    }
    static std::uint8_t GetFrameAddress(const TModbusConnection& C, TModbusBuffer& B) {
        return C.GetFrameAddress(B);
    }
    static std::uint8_t GetFrameCommand(const TModbusConnection& C, TModbusBuffer& B) {
        return C.GetFrameCommand(B);
    }
    static bool IsSameAddress(const TModbusConnection& C, TModbusBuffer& Q, TModbusBuffer& R) {
        return C.IsSameAddress(Q, R);
    }
    static bool IsAddressAccepted(const TModbusConnection& C, TModbusBuffer& Q, TModbusBuffer& R, bool P) {
        return C.IsAddressAccepted(Q, R, P);
    }
    static bool IsSameCommand(const TModbusConnection& C, TModbusBuffer& Q, TModbusBuffer& R) {
        return C.IsSameCommand(Q, R);
    }
    static bool IsExceptionReply(const TModbusConnection& C, TModbusBuffer& R) {
        return C.IsExceptionReply(R);
    }
    static void DecodeExceptionReply(const TModbusConnection& C, TModbusBuffer& R, TServerException& E,
                                     std::uint8_t& Code) {
        C.DecodeExceptionReply(R, E, Code);
    }
};

} // namespace Quorvel::detail
