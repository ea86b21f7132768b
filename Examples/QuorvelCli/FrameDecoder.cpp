#include "FrameDecoder.h"

#include <cstdio>

namespace QuorvelCli {

using namespace Quorvel;

namespace {

std::string Hex2(std::uint8_t V) {
    char Text[4];
    std::snprintf(Text, sizeof Text, "%02X", V);
    return Text;
}

std::string Hex4(std::uint16_t V) {
    char Text[8];
    std::snprintf(Text, sizeof Text, "0x%04X", V);
    return Text;
}

// Bounds-checked reads of a PDU's data (the bytes after the function code).
class TPduData {
public:
    explicit TPduData(const TBytes& Pdu) : FPdu(Pdu) {}
    std::size_t Size() const noexcept { return FPdu.size() > 0 ? FPdu.size() - 1 : 0; }
    std::uint8_t Byte(std::size_t I) const noexcept { return I < Size() ? FPdu[I + 1] : 0; }
    std::uint16_t Word(std::size_t I) const noexcept {
        return static_cast<std::uint16_t>((Byte(I) << 8) | Byte(I + 1));
    }
    // Data size is 1 + its first byte (a byte count followed by that many bytes).
    bool Counted() const noexcept { return Size() >= 1 && Size() == 1u + Byte(0); }

private:
    const TBytes& FPdu;
};

std::string Bits(const TPduData& D, std::size_t From, std::size_t Count) {
    std::string Text;
    for (std::size_t I = 0; I < Count; ++I) {
        const bool On = ((D.Byte(From + I / 8) >> (I % 8)) & 1u) != 0;
        if (I != 0)
            Text += ' ';
        Text += On ? '1' : '0';
    }
    return Text;
}

std::string Words(const TPduData& D, std::size_t From, std::size_t Count) {
    std::string Text;
    for (std::size_t I = 0; I < Count; ++I) {
        if (I != 0)
            Text += ' ';
        Text += std::to_string(D.Word(From + 2 * I));
    }
    return Text;
}

std::string RawData(const TPduData& D) {
    if (D.Size() == 0)
        return "no data";
    TBytes Data;
    for (std::size_t I = 0; I < D.Size(); ++I)
        Data.push_back(D.Byte(I));
    return "data " + HexText(Data);
}

const char* DiagnosticName(std::uint16_t Code) {
    switch (Code) {
    case 0x00:
        return "return query data";
    case 0x01:
        return "restart communications option";
    case 0x02:
        return "return diagnostic register";
    case 0x03:
        return "change ASCII input delimiter";
    case 0x04:
        return "force listen only mode";
    case 0x0A:
        return "clear counters and diagnostic register";
    case 0x0B:
        return "return bus message count";
    case 0x0C:
        return "return bus communication error count";
    case 0x0D:
        return "return bus exception error count";
    case 0x0E:
        return "return server message count";
    case 0x0F:
        return "return server no response count";
    case 0x10:
        return "return server NAK count";
    case 0x11:
        return "return server busy count";
    case 0x12:
        return "return bus character overrun count";
    case 0x14:
        return "clear overrun counter and flag";
    default:
        return "sub-function";
    }
}

std::string Diagnostic(const TPduData& D) {
    if (D.Size() < 2 || D.Size() % 2 != 0)
        return "malformed (" + RawData(D) + ")";
    std::string Text = "sub-function " + Hex4(D.Word(0)) + " (" + DiagnosticName(D.Word(0)) + ") data";
    for (std::size_t I = 2; I < D.Size(); I += 2) {
        Text += ' ';
        Text += Hex4(D.Word(I));
    }
    return Text;
}

std::string CoilValue(std::uint16_t V) {
    return V == 0xFF00 ? "on" : V == 0x0000 ? "off" : "invalid value " + Hex4(V);
}

std::string Malformed(const TPduData& D) {
    return "malformed (" + RawData(D) + ")";
}

std::string DescribeRequest(std::uint8_t Fn, const TPduData& D) {
    switch (Fn) {
    case 0x01:
    case 0x02:
    case 0x03:
    case 0x04:
        if (D.Size() != 4)
            return Malformed(D);
        return "start " + std::to_string(D.Word(0)) + " count " + std::to_string(D.Word(2));
    case 0x05:
        if (D.Size() != 4)
            return Malformed(D);
        return std::to_string(D.Word(0)) + " = " + CoilValue(D.Word(2));
    case 0x06:
        if (D.Size() != 4)
            return Malformed(D);
        return std::to_string(D.Word(0)) + " = " + std::to_string(D.Word(2));
    case 0x07:
    case 0x0B:
    case 0x0C:
    case 0x11:
        return D.Size() == 0 ? "" : Malformed(D);
    case 0x08:
        return Diagnostic(D);
    case 0x0F: {
        if (D.Size() < 5 || D.Size() != 5u + D.Byte(4))
            return Malformed(D);
        const std::size_t Count = std::min<std::size_t>(D.Word(2), 8u * D.Byte(4));
        return "start " + std::to_string(D.Word(0)) + " count " + std::to_string(D.Word(2)) + ": " +
               Bits(D, 5, Count);
    }
    case 0x10: {
        if (D.Size() < 5 || D.Size() != 5u + D.Byte(4))
            return Malformed(D);
        const std::size_t Count = std::min<std::size_t>(D.Word(2), D.Byte(4) / 2u);
        return "start " + std::to_string(D.Word(0)) + " count " + std::to_string(D.Word(2)) + ": " +
               Words(D, 5, Count);
    }
    case 0x14: {
        if (!D.Counted() || D.Byte(0) % 7 != 0)
            return Malformed(D);
        std::string Text;
        for (std::size_t I = 1; I + 7 <= D.Size(); I += 7)
            Text += std::string(Text.empty() ? "" : "; ") + "file " + std::to_string(D.Word(I + 1)) +
                    " record " + std::to_string(D.Word(I + 3)) + " length " + std::to_string(D.Word(I + 5));
        return Text;
    }
    case 0x15: {
        if (!D.Counted())
            return Malformed(D);
        std::string Text;
        std::size_t I = 1;
        while (I + 7 <= D.Size()) {
            const std::size_t Length = D.Word(I + 5);
            Text += std::string(Text.empty() ? "" : "; ") + "file " + std::to_string(D.Word(I + 1)) +
                    " record " + std::to_string(D.Word(I + 3)) + ": ";
            if (I + 7 + 2 * Length > D.Size())
                return Text + "truncated";
            Text += Words(D, I + 7, Length);
            I += 7 + 2 * Length;
        }
        return Text;
    }
    case 0x16:
        if (D.Size() != 6)
            return Malformed(D);
        return std::to_string(D.Word(0)) + " and " + Hex4(D.Word(2)) + " or " + Hex4(D.Word(4));
    case 0x17: {
        if (D.Size() < 9 || D.Size() != 9u + D.Byte(8))
            return Malformed(D);
        const std::size_t Count = std::min<std::size_t>(D.Word(6), D.Byte(8) / 2u);
        return "read start " + std::to_string(D.Word(0)) + " count " + std::to_string(D.Word(2)) +
               ", write start " + std::to_string(D.Word(4)) + " count " + std::to_string(D.Word(6)) + ": " +
               Words(D, 9, Count);
    }
    default:
        return RawData(D);
    }
}

std::string DescribeReply(std::uint8_t Fn, const TPduData& D, const TBytes* Request) {
    switch (Fn) {
    case 0x01:
    case 0x02: {
        if (!D.Counted())
            return Malformed(D);
        std::size_t Count = 8u * D.Byte(0);
        if (Request != nullptr) {
            const TPduData Q(*Request);
            if (Q.Size() == 4 && Q.Word(2) <= Count)
                Count = Q.Word(2);
        }
        return std::to_string(Count) + (Fn == 0x01 ? " coils: " : " inputs: ") + Bits(D, 1, Count);
    }
    case 0x03:
    case 0x04:
    case 0x17:
        if (!D.Counted() || D.Byte(0) % 2 != 0)
            return Malformed(D);
        return std::to_string(D.Byte(0) / 2) + " registers: " + Words(D, 1, D.Byte(0) / 2u);
    case 0x05:
    case 0x06:
    case 0x08:
    case 0x15:
    case 0x16:
        return DescribeRequest(Fn, D); // the reply echoes the request
    case 0x07:
        return D.Size() == 1 ? "status 0x" + Hex2(D.Byte(0)) : Malformed(D);
    case 0x0B:
        return D.Size() == 4 ? "status " + Hex4(D.Word(0)) + " event count " + std::to_string(D.Word(2))
                             : Malformed(D);
    case 0x0F:
    case 0x10:
        if (D.Size() != 4)
            return Malformed(D);
        return "start " + std::to_string(D.Word(0)) + " count " + std::to_string(D.Word(2));
    case 0x11: {
        if (!D.Counted())
            return Malformed(D);
        TBytes Id;
        for (std::size_t I = 1; I < D.Size(); ++I)
            Id.push_back(D.Byte(I));
        return std::to_string(Id.size()) + " bytes" + (Id.empty() ? "" : ": " + HexText(Id));
    }
    case 0x14: {
        if (!D.Counted())
            return Malformed(D);
        std::string Text;
        std::size_t I = 1;
        while (I + 2 <= D.Size()) {
            const std::size_t Length = D.Byte(I);
            if (Length < 1 || I + 1 + Length > D.Size())
                return Text + (Text.empty() ? "" : "; ") + "truncated";
            Text += std::string(Text.empty() ? "" : "; ") + "record: " + Words(D, I + 2, (Length - 1) / 2);
            I += 1 + Length;
        }
        return Text;
    }
    default:
        return RawData(D);
    }
}

// Total RTU frame lengths (address to CRC) that a frame starting at Burst[At]
// may have, by its function code, in either role.
std::vector<std::size_t> RtuLengths(const TBytes& Burst, std::size_t At) {
    auto ByteAt = [&](std::size_t I) -> std::size_t { return At + I < Burst.size() ? Burst[At + I] : 0; };
    const std::size_t Fn = ByteAt(1);
    if ((Fn & 0x80) != 0)
        return {5};
    switch (Fn) {
    case 0x01:
    case 0x02:
    case 0x03:
    case 0x04:
    case 0x0C:
    case 0x11:
        return {Fn == 0x0C || Fn == 0x11 ? 4u : 8u, 5 + ByteAt(2)};
    case 0x05:
    case 0x06:
    case 0x08:
        return {8};
    case 0x07:
        return {4, 5};
    case 0x0B:
        return {4, 8};
    case 0x0F:
    case 0x10:
        return {8, 9 + ByteAt(6)};
    case 0x14:
    case 0x15:
        return {5 + ByteAt(2)};
    case 0x16:
        return {10};
    case 0x17:
        return {5 + ByteAt(2), 13 + ByteAt(10)};
    default:
        return {};
    }
}

} // namespace

std::string HexText(const TBytes& Bytes) {
    std::string Text;
    for (std::size_t I = 0; I < Bytes.size(); ++I) {
        if (I != 0)
            Text += ' ';
        Text += Hex2(Bytes[I]);
    }
    return Text;
}

std::string LineText(const TBytes& Line, TTransmissionMode Mode) {
    if (Mode == tmRTU)
        return HexText(Line);
    std::string Text;
    for (const std::uint8_t B : Line) {
        if (B == '\r')
            Text += "\\r";
        else if (B == '\n')
            Text += "\\n";
        else if (B < 0x20 || B >= 0x7F)
            Text += '<' + Hex2(B) + '>';
        else
            Text += static_cast<char>(B);
    }
    return Text;
}

std::string FunctionName(std::uint8_t Function) {
    switch (Function & 0x7F) {
    case 0x01:
        return "read coils";
    case 0x02:
        return "read discrete inputs";
    case 0x03:
        return "read holding registers";
    case 0x04:
        return "read input registers";
    case 0x05:
        return "write single coil";
    case 0x06:
        return "write single register";
    case 0x07:
        return "read exception status";
    case 0x08:
        return "diagnostics";
    case 0x0B:
        return "get comm event counter";
    case 0x0C:
        return "get comm event log";
    case 0x0F:
        return "write multiple coils";
    case 0x10:
        return "write multiple registers";
    case 0x11:
        return "report server id";
    case 0x14:
        return "read file record";
    case 0x15:
        return "write file record";
    case 0x16:
        return "mask write register";
    case 0x17:
        return "read/write multiple registers";
    case 0x18:
        return "read FIFO queue";
    case 0x2B:
        return "encapsulated interface transport";
    default:
        return "function 0x" + Hex2(Function & 0x7F);
    }
}

std::string ExceptionText(std::uint8_t Code) {
    return QuorvelMessageText(static_cast<int>(qmExceptionUnknown) +
                              static_cast<int>(ServerExceptionFromCode(Code)));
}

const char* RoleName(TFrameRole Role) noexcept {
    switch (Role) {
    case frRequest:
        return "request";
    case frReply:
        return "reply";
    case frException:
        return "exception";
    default:
        return "frame";
    }
}

TShapeFit FitShape(const TBytes& Pdu) {
    if (Pdu.empty())
        return {};
    const std::uint8_t Fn = Pdu[0];
    const TPduData D(Pdu);
    const std::size_t N = D.Size();
    if ((Fn & 0x80) != 0)
        return {false, N == 1};
    switch (Fn) {
    case 0x01:
    case 0x02:
        return {N == 4, D.Counted()};
    case 0x03:
    case 0x04:
        return {N == 4, D.Counted() && D.Byte(0) % 2 == 0};
    case 0x05:
    case 0x06:
        return {N == 4, N == 4};
    case 0x07:
        return {N == 0, N == 1};
    case 0x08:
        return {N >= 2 && N % 2 == 0, N >= 2 && N % 2 == 0};
    case 0x0B:
        return {N == 0, N == 4};
    case 0x0C:
    case 0x11:
        return {N == 0, D.Counted()};
    case 0x0F:
    case 0x10:
        return {N >= 5 && N == 5u + D.Byte(4), N == 4};
    case 0x14:
        return {D.Counted() && D.Byte(0) % 7 == 0, D.Counted()};
    case 0x15:
        return {D.Counted(), D.Counted()};
    case 0x16:
        return {N == 6, N == 6};
    case 0x17:
        return {N >= 9 && N == 9u + D.Byte(8), D.Counted() && D.Byte(0) % 2 == 0};
    default:
        return {true, true};
    }
}

std::string DescribePdu(const TBytes& Pdu, TFrameRole Role, const TBytes* Request) {
    if (Pdu.empty())
        return "no function code";
    const std::uint8_t Fn = Pdu[0];
    const TPduData D(Pdu);
    std::string Details;
    if (Role == frException || ((Fn & 0x80) != 0 && Role != frRequest)) {
        Details = D.Size() == 1
                      ? "exception " + std::to_string(D.Byte(0)) + " (" + ExceptionText(D.Byte(0)) + ")"
                      : Malformed(D);
    } else if (Role == frReply) {
        Details = DescribeReply(Fn, D, Request);
    } else if (Role == frRequest) {
        Details = DescribeRequest(Fn, D);
    } else {
        Details = RawData(D);
    }
    return FunctionName(Fn) + (Details.empty() ? "" : (Role == frException ? ": " : " ") + Details);
}

std::string Summarize(const TBytes& Frame, TFrameRole Role, const TBytes* Request) {
    if (Frame.size() < 2)
        return std::string(RoleName(Role)) + ": too short";
    const TBytes Pdu(Frame.begin() + 1, Frame.end());
    const std::string Unit = "unit " + std::to_string(Frame[0]) + (Frame[0] == 0 ? " (broadcast)" : "");
    return std::string(RoleName(Role)) + " " + Unit + ": " + DescribePdu(Pdu, Role, Request);
}

bool RtuCheckGood(const TBytes& Frame) {
    if (Frame.size() < 4)
        return false;
    TModbusBuffer Buffer(static_cast<std::int32_t>(Frame.size()));
    Buffer.PutBlock(Frame.data(), static_cast<std::int32_t>(Frame.size() - 2));
    const std::uint16_t Crc = Buffer.CRC16();
    return Frame[Frame.size() - 2] == (Crc & 0xFF) && Frame[Frame.size() - 1] == (Crc >> 8);
}

std::vector<TBytes> SplitRtuBurst(const TBytes& Burst) {
    std::vector<TBytes> Frames;
    std::size_t At = 0;
    auto Slice = [&](std::size_t From, std::size_t Length) {
        return TBytes(Burst.begin() + static_cast<std::ptrdiff_t>(From),
                      Burst.begin() + static_cast<std::ptrdiff_t>(From + Length));
    };
    while (At < Burst.size()) {
        const std::size_t Left = Burst.size() - At;
        std::size_t Cut = 0;
        for (const std::size_t Length : RtuLengths(Burst, At)) {
            if (Length < Left && RtuCheckGood(Slice(At, Length)) && (Cut == 0 || Length < Cut))
                Cut = Length;
        }
        if (Cut == 0 && !RtuCheckGood(Slice(At, Left)) && Left <= 512) {
            // An unknown function code: the first good CRC that the same unit's
            // next frame follows. Bounded, so a long run of noise costs little.
            for (std::size_t Length = 4; Length + 4 <= Left; ++Length) {
                if (Burst[At + Length] == Burst[At] && RtuCheckGood(Slice(At, Length))) {
                    Cut = Length;
                    break;
                }
            }
        }
        if (Cut == 0)
            Cut = Left;
        Frames.push_back(Slice(At, Cut));
        At += Cut;
    }
    return Frames;
}

std::optional<TBytes> DecodeAsciiFrame(const TBytes& Line) {
    if (Line.size() < 9 || Line.front() != ':' || Line[Line.size() - 2] != '\r' || Line.back() != '\n')
        return std::nullopt;
    const std::size_t Digits = Line.size() - 3;
    if (Digits % 2 != 0)
        return std::nullopt;
    auto Nibble = [](std::uint8_t C) -> int {
        if (C >= '0' && C <= '9')
            return C - '0';
        if (C >= 'A' && C <= 'F')
            return C - 'A' + 10;
        if (C >= 'a' && C <= 'f')
            return C - 'a' + 10;
        return -1;
    };
    TBytes Binary;
    for (std::size_t I = 1; I + 1 < Line.size() - 1; I += 2) {
        const int High = Nibble(Line[I]);
        const int Low = Nibble(Line[I + 1]);
        if (High < 0 || Low < 0)
            return std::nullopt;
        Binary.push_back(static_cast<std::uint8_t>(High * 16 + Low));
    }
    return Binary;
}

bool AsciiCheckGood(const TBytes& Binary) {
    if (Binary.size() < 3)
        return false;
    TModbusBuffer Buffer(static_cast<std::int32_t>(Binary.size()));
    Buffer.PutBlock(Binary.data(), static_cast<std::int32_t>(Binary.size() - 1));
    return Buffer.LRC8() == Binary.back();
}

TDecodedLine DecodeLine(const TBytes& Line, TTransmissionMode Mode) {
    TDecodedLine D;
    if (Mode == tmRTU) {
        D.Good = RtuCheckGood(Line);
        D.Frame = Line;
        if (D.Good)
            D.Frame.resize(Line.size() - 2);
        return D;
    }
    const std::optional<TBytes> Binary = DecodeAsciiFrame(Line);
    if (!Binary)
        return D;
    D.Good = AsciiCheckGood(*Binary);
    D.Frame = *Binary;
    if (D.Good)
        D.Frame.pop_back();
    return D;
}

TFrameClassifier::TResult TFrameClassifier::Classify(const TBytes& Frame) {
    TResult R;
    if (Frame.size() < 2) {
        R.Summary = Summarize(Frame, frUnknown);
        return R;
    }
    const TBytes Pdu(Frame.begin() + 1, Frame.end());
    const TShapeFit Fit = FitShape(Pdu);
    const bool Answers = FPending && (*FPending)[0] == Frame[0] && (*FPending)[1] == (Frame[1] & 0x7F);
    if ((Frame[1] & 0x80) != 0)
        R.Role = Fit.Reply ? frException : frUnknown;
    else if (Frame[0] == 0)
        R.Role = Fit.Request ? frRequest : frUnknown; // nobody answers a broadcast
    else if (Fit.Request && Fit.Reply)
        R.Role = Answers ? frReply : frRequest;
    else if (Fit.Request)
        R.Role = frRequest;
    else if (Fit.Reply)
        R.Role = frReply;
    std::optional<TBytes> RequestPdu;
    if (Answers && (R.Role == frReply || R.Role == frException))
        RequestPdu.emplace(FPending->begin() + 1, FPending->end());
    R.Summary = Summarize(Frame, R.Role, RequestPdu ? &*RequestPdu : nullptr);
    if (R.Role == frRequest && Frame[0] != 0)
        FPending = Frame;
    else if (R.Role != frRequest)
        FPending.reset();
    return R;
}

} // namespace QuorvelCli
