// Frame decoding in both transmission modes and both connection modes: any
// bytes a receive can hand over decode without an error, the verdict agrees
// with an independent error check, and a valid frame re-encodes to itself.
//
// Input: one byte choosing RTU / ASCII and client / server, then the line bytes.

#include "FuzzSupport.h"

#include <cstring>

using namespace Quorvel;
using namespace QuorvelFuzz;

namespace {

TModbusConnection& ConnectionFor(std::uint8_t Selector) {
    // Closed connections: framing is pure byte logic and needs no port.
    static TModbusConnection* Connections[4] = {};
    const int I = Selector & 3;
    if (Connections[I] == nullptr) {
        auto* C = new TModbusConnection;
        C->SetTransmissionMode(I & 1 ? tmASCII : tmRTU);
        C->SetConnectionMode(I & 2 ? cmServer : cmClient);
        Connections[I] = C;
    }
    return *Connections[I];
}

// The frame bytes of an ASCII frame made of upper-case hex digits only, by the
// standard's reading; false when a character is no such digit.
bool StrictAsciiDecode(const std::uint8_t* Data, std::size_t Count, TBytes& Frame) {
    Frame.clear();
    for (std::size_t I = 1; I + 2 < Count; I += 2) {
        const int High = HexValue(Data[I]), Low = HexValue(Data[I + 1]);
        if (High < 0 || Low < 0)
            return false;
        Frame.push_back(static_cast<std::uint8_t>(High << 4 | Low));
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
    if (Size < 1)
        return 0;
    TModbusConnection& C = ConnectionFor(Data[0]);
    const bool Rtu = C.TransmissionMode() == tmRTU;
    ++Data;
    --Size;
    // A receive never hands over more than the interim buffer holds.
    const std::int32_t Interim = Access::InterimBufferSize(C);
    const auto Count =
        static_cast<std::int32_t>(std::min<std::size_t>(Size, static_cast<std::size_t>(Interim)));

    TModbusBuffer Buffer(Access::FrameCapacity(C));
    const bool Valid = Access::DecodeFrame(C, Data, Count, Buffer);
    FUZZ_CHECK(Buffer.Size() >= 0 && Buffer.Size() <= Buffer.Capacity());
    FUZZ_CHECK(Buffer.Position() >= 0 && Buffer.Position() <= Buffer.Size());

    const std::int32_t Min = Access::MinFrameSize(C);
    if (Rtu) {
        // Valid exactly when long enough and the last two bytes are the CRC, low byte first.
        const bool Expected =
            Count >= Min && BitwiseCrc16(Data, static_cast<std::size_t>(Count - 2)) ==
                                static_cast<std::uint16_t>(Data[Count - 2] | Data[Count - 1] << 8);
        FUZZ_CHECK(Valid == Expected);
    } else {
        const bool Framed = Count >= Min && Count % 2 == 1 && Data[0] == ':' && Data[Count - 2] == '\r' &&
                            Data[Count - 1] == '\n';
        if (!Framed)
            FUZZ_CHECK(!Valid);
        TBytes Strict;
        if (Framed && StrictAsciiDecode(Data, static_cast<std::size_t>(Count), Strict)) {
            // Proper hex digits: the library reads the same bytes, and the LRC decides.
            FUZZ_CHECK(Buffer.Size() == static_cast<std::int32_t>(Strict.size()));
            FUZZ_CHECK(std::memcmp(Buffer.StartPtr(), Strict.data(), Strict.size()) == 0);
            FUZZ_CHECK(Valid == (Lrc(Strict.data(), Strict.size() - 1) == Strict.back()));
        }
    }
    if (!Valid)
        return 0;

    // The inspections the engine makes on every valid frame.
    const std::uint8_t Address = Access::GetFrameAddress(C, Buffer);
    FUZZ_CHECK(Address == Buffer.StartPtr()[0]);
    const std::uint8_t Command = Access::GetFrameCommand(C, Buffer);
    FUZZ_CHECK(Command == Buffer.StartPtr()[1]);
    FUZZ_CHECK(Access::IsSameAddress(C, Buffer, Buffer));
    if (Access::IsExceptionReply(C, Buffer)) {
        TServerException Exception = seUnknown;
        std::uint8_t Code = 0;
        Access::DecodeExceptionReply(C, Buffer, Exception, Code);
        FUZZ_CHECK(Code == Buffer.StartPtr()[2]);
        FUZZ_CHECK(Exception == ServerExceptionFromCode(Code));
    }

    // A valid frame encodes back to line bytes that decode to the same frame.
    TBytes Line(static_cast<std::size_t>(Interim));
    const std::int32_t Written = Access::EncodeFrame(C, Buffer, Line.data(), Interim);
    FUZZ_CHECK(Written > 0 && Written <= Interim);
    if (Rtu)
        FUZZ_CHECK(Written == Count && std::memcmp(Line.data(), Data, static_cast<std::size_t>(Count)) == 0);
    TModbusBuffer Again(Access::FrameCapacity(C));
    FUZZ_CHECK(Access::DecodeFrame(C, Line.data(), Written, Again));
    FUZZ_CHECK(Again.Size() == Buffer.Size());
    FUZZ_CHECK(std::memcmp(Again.StartPtr(), Buffer.StartPtr(), static_cast<std::size_t>(Buffer.Size())) ==
               0);
    return 0;
}
