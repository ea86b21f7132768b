// Internal to the Quorvel library; not part of its API.
// Reaches the connection's private framing operations for the library's own
// components and for the tests.
#pragma once

#include "../ModbusConnection.h"

namespace Quorvel::detail {

struct TConnectionAccess {
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
