// RTU and ASCII framing of TModbusConnection: pure byte logic, no port.

#include "ModbusClient.h"
#include "ModbusConnection.h"
#include "ModbusServer.h"
#include "QuorvelErrors.h"

#include <cstring>

namespace Quorvel {

namespace {

constexpr std::int32_t RtuFrameCapacity = 256;   // 1 address + 253 PDU + 2 CRC
constexpr std::int32_t AsciiFrameCapacity = 255; // 1 address + 253 PDU + 1 LRC

constexpr char HexDigits[] = "0123456789ABCDEF";

// The value of one ASCII frame character. The characters are not validated:
// anything but 0-9 and A-F yields some byte, and the LRC then judges the frame.
constexpr std::uint8_t AsciiNibble(std::uint8_t Ch) noexcept {
    return static_cast<std::uint8_t>(Ch < 0x41 ? Ch - 0x30 : Ch - 0x37);
}

} // namespace

std::int32_t TModbusConnection::FrameCapacity() const noexcept {
    return FTransmissionMode == tmRTU ? RtuFrameCapacity : AsciiFrameCapacity;
}

std::int32_t TModbusConnection::InterimBufferSize() const noexcept {
    return FTransmissionMode == tmRTU ? RtuFrameCapacity : 1 + 2 * AsciiFrameCapacity + 2;
}

std::int32_t TModbusConnection::ErrorCheckSize() const noexcept {
    return FTransmissionMode == tmRTU ? 2 : 1;
}

std::int32_t TModbusConnection::MinReplySize() const noexcept {
    return HeaderSize + 2 + ErrorCheckSize();
}

std::int32_t TModbusConnection::MinFrameSize() const noexcept {
    // A client receives replies, at least as long as an exception reply; a server
    // receives requests, at least address, function code and check.
    const std::int32_t Binary =
        FConnectionMode == cmClient ? MinReplySize() : HeaderSize + 1 + ErrorCheckSize();
    return FTransmissionMode == tmRTU ? Binary : 2 * Binary + 3;
}

void TModbusConnection::EmitHeader(const TModbusClient* Client, TModbusBuffer& Buffer) const {
    Buffer.PutByte(Client != nullptr ? Client->ServerAddress() : 0);
}

void TModbusConnection::EmitHeader(const TModbusServer& Server, TModbusBuffer& Buffer) const {
    Buffer.PutByte(Server.Address());
}

void TModbusConnection::EmitErrorCheck(TModbusBuffer& Buffer) const {
    if (FTransmissionMode == tmRTU)
        Buffer.PutWordLoHi(Buffer.CRC16());
    else
        Buffer.PutByte(Buffer.LRC8());
}

std::int32_t TModbusConnection::EncodeFrame(const TModbusBuffer& Buffer, std::uint8_t* Output,
                                            std::int32_t OutputSize) const {
    const std::int32_t N = Buffer.Size();
    if (N <= 0)
        return 0;
    const std::uint8_t* Frame = Buffer.StartPtr();
    if (FTransmissionMode == tmRTU) {
        if (N > OutputSize)
            throw EQuorvelError(qmEncodeFrameFailed);
        std::memcpy(Output, Frame, static_cast<std::size_t>(N));
        return N;
    }
    const std::int32_t W = 2 * N + 3;
    if (W > OutputSize)
        throw EQuorvelError(qmEncodeFrameFailed);
    std::uint8_t* Out = Output;
    *Out++ = ':';
    for (std::int32_t I = 0; I < N; ++I) {
        *Out++ = static_cast<std::uint8_t>(HexDigits[Frame[I] >> 4]);
        *Out++ = static_cast<std::uint8_t>(HexDigits[Frame[I] & 0x0F]);
    }
    *Out++ = '\r';
    *Out = '\n';
    return W;
}

bool TModbusConnection::DecodeFrame(const std::uint8_t* Data, std::int32_t Count,
                                    TModbusBuffer& Buffer) const {
    Buffer.SetSize(0);
    if (FTransmissionMode == tmRTU) {
        if (Count < MinFrameSize())
            return false;
        if (Count > Buffer.Capacity())
            throw EQuorvelError(qmDecodeFrameFailed);
        std::memcpy(Buffer.StartPtr(), Data, static_cast<std::size_t>(Count));
        Buffer.SetSize(Count);
        return VerifyErrorCheck(Buffer);
    }
    if (Count < MinFrameSize() || Count % 2 == 0 || Data[0] != ':' || Data[Count - 2] != '\r' ||
        Data[Count - 1] != '\n')
        return false;
    const std::int32_t N = (Count - 3) / 2;
    if (N > Buffer.Capacity())
        throw EQuorvelError(qmDecodeFrameFailed);
    std::uint8_t* Frame = Buffer.StartPtr();
    for (std::int32_t I = 0; I < N; ++I) {
        const std::uint8_t High = AsciiNibble(Data[1 + 2 * I]);
        const std::uint8_t Low = AsciiNibble(Data[2 + 2 * I]);
        Frame[I] = static_cast<std::uint8_t>(static_cast<std::uint8_t>(High << 4) | Low);
    }
    Buffer.SetSize(N);
    return VerifyErrorCheck(Buffer);
}

bool TModbusConnection::VerifyErrorCheck(TModbusBuffer& Buffer) const {
    // The check covers the bytes before the cursor, so the cursor is put on the
    // check itself; Size still counts the check bytes.
    Buffer.Seek(smBufEnd);
    if (FTransmissionMode == tmRTU) {
        Buffer.Seek(smPriorWord);
        return Buffer.CRC16() == Buffer.GetWordLoHi();
    }
    Buffer.Seek(smPriorByte);
    return Buffer.LRC8() == Buffer.GetByte();
}

std::uint8_t TModbusConnection::GetFrameAddress(TModbusBuffer& Buffer) const {
    Buffer.Seek(smBufStart);
    return Buffer.GetByte();
}

std::uint8_t TModbusConnection::GetFrameCommand(TModbusBuffer& Buffer) const {
    Buffer.SetPosition(HeaderSize);
    return Buffer.GetByte();
}

bool TModbusConnection::IsSameAddress(TModbusBuffer& Query, TModbusBuffer& Reply) const {
    return GetFrameAddress(Query) == GetFrameAddress(Reply);
}

bool TModbusConnection::IsAddressAccepted(TModbusBuffer& Query, TModbusBuffer& Reply,
                                          bool Promiscuous) const {
    return Promiscuous || IsSameAddress(Query, Reply);
}

bool TModbusConnection::IsSameCommand(TModbusBuffer& Query, TModbusBuffer& Reply) const {
    return (GetFrameCommand(Reply) & 0x7F) == GetFrameCommand(Query);
}

bool TModbusConnection::IsExceptionReply(TModbusBuffer& Reply) const {
    // 0x80 itself is not an exception reply: the reply's code less bit 7 is then 0.
    Reply.SetPosition(HeaderSize);
    return Reply.Size() == MinReplySize() && Reply.GetByte() > 0x80;
}

void TModbusConnection::DecodeExceptionReply(TModbusBuffer& Reply, TServerException& Exception,
                                             std::uint8_t& Code) const {
    Reply.SetPosition(HeaderSize + 1);
    Code = Reply.GetByte();
    Exception = ServerExceptionFromCode(Code);
}

} // namespace Quorvel
