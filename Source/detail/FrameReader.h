// Internal to the Quorvel library; not part of its API.
#pragma once

#include "../ModbusBuffer.h"
#include "../ModbusTransaction.h"
#include "../QuorvelErrors.h"

#include <cstdint>

namespace Quorvel::detail {

// Reads a frame's fields in order, from just past the function code, strictly
// inside the frame's data: never from its error check, never from storage past
// the frame. A field that is not there raises EQuorvelError ("Internal error"),
// which a client decoder turns into srUnmatchedReply and a server handler into
// exception 03.
class TFrameReader {
public:
    static constexpr std::int32_t DataStart = 2; // address byte, function code

    TFrameReader(TModbusBuffer& Buffer, std::int32_t ErrorCheckSize)
        : FBuffer(Buffer), FEnd(Buffer.Size() - ErrorCheckSize) {
        FBuffer.SetPosition(DataStart);
    }

    // Raises unless Count more bytes lie inside the data.
    void Need(std::int32_t Count) const {
        if (Count < 0 || FBuffer.Position() + Count > FEnd)
            throw EQuorvelError(qmInternalError);
    }
    std::int32_t Remaining() const noexcept { return FEnd - FBuffer.Position(); }

    std::uint8_t Byte() {
        Need(1);
        const std::uint8_t B = FBuffer.GetByte();
        FBuffer.Seek(smNextByte);
        return B;
    }
    std::uint16_t Word() {
        Need(2);
        const std::uint16_t W = FBuffer.GetWordHiLo();
        FBuffer.Seek(smNextWord);
        return W;
    }
    void Skip(std::int32_t Count) {
        Need(Count);
        FBuffer.SetPosition(FBuffer.Position() + Count);
    }
    void Bits(TBitValues& Values) {
        Need(BitCountToByteCount(static_cast<std::int32_t>(Values.size())));
        UnpackBits(FBuffer, Values);
    }
    template <typename TWords>
    void Words(TWords& Values) {
        Need(static_cast<std::int32_t>(2 * Values.size()));
        for (auto& V : Values)
            V = Word();
    }

private:
    TModbusBuffer& FBuffer;
    std::int32_t FEnd;
};

// Raised inside a client decoder when a normal reply does not answer its request.
[[noreturn]] inline void ReplyUnmatched() {
    throw EQuorvelError(qmInternalError);
}

// Runs a client decoder's checks and reads on a normal reply: a failed check,
// or a field missing from the frame, turns the outcome into srUnmatchedReply.
// Other outcomes are left alone, and nothing is read from their replies.
template <typename F>
void DecodeNormalReply(TModbusTransaction& T, F&& Decode) {
    if (T.Info.Reply != srNormalReply)
        return;
    try {
        Decode();
    } catch (const EQuorvelError&) {
        T.Info.Reply = srUnmatchedReply;
    }
}

} // namespace Quorvel::detail
