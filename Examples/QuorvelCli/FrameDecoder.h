// Modbus frames as they are seen on the line: their checks, their shape
// (request or reply), and a one-line summary of what they say. Used by the
// monitor, by serve's log and by the client's --frames output.
#pragma once

#include <Quorvel.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace QuorvelCli {

using TBytes = std::vector<std::uint8_t>;

// "11 03 00 6B" (upper-case hex, one space between bytes).
std::string HexText(const TBytes& Bytes);
// A frame's line bytes for people: hex for RTU; for ASCII the characters, with
// the CR LF shown as "\r\n" and any other control byte as <XX>.
std::string LineText(const TBytes& Line, Quorvel::TTransmissionMode Mode);

// "read holding registers", "diagnostics", ..., "function 0x41".
std::string FunctionName(std::uint8_t Function);
// The library's text for an exception code ("Illegal data address").
std::string ExceptionText(std::uint8_t Code);

enum TFrameRole { frUnknown, frRequest, frReply, frException };
const char* RoleName(TFrameRole Role) noexcept;

// The roles a PDU (function code and data; no address, no check) can have by
// its shape alone. Unknown function codes fit both.
struct TShapeFit {
    bool Request = false;
    bool Reply = false;
};
TShapeFit FitShape(const TBytes& Pdu);

// What Pdu says in the given role, after its function name: "read holding
// registers start 0 count 3". Request, when known, is the PDU of the request a
// reply answers; it trims a bit reply to the bits asked for. Never fails:
// malformed data is described as such.
std::string DescribePdu(const TBytes& Pdu, TFrameRole Role, const TBytes* Request = nullptr);

// "request unit 17: read holding registers start 0 count 3". Frame is the
// binary frame without its check (address, function code, data).
std::string Summarize(const TBytes& Frame, TFrameRole Role, const TBytes* Request = nullptr);

// RTU: true when Frame (address to CRC) is at least 4 bytes and its CRC fits.
bool RtuCheckGood(const TBytes& Frame);
// Splits a burst of RTU bytes, delimited by line silence, into frames: back to
// back frames (a reply sent sooner than the silence that would end a frame) are
// told apart by the lengths their shapes allow and their CRCs. A burst that
// holds no such pair is one frame, good or bad.
std::vector<TBytes> SplitRtuBurst(const TBytes& Burst);

// ASCII: decodes a line frame (':' up to and including CR LF) into its binary
// bytes, LRC included; nothing when it is no well-formed frame (odd length, a
// character that is no hex digit, missing CR LF, too short).
std::optional<TBytes> DecodeAsciiFrame(const TBytes& Line);
// True when Binary (address to LRC) has at least 3 bytes and its LRC fits.
bool AsciiCheckGood(const TBytes& Binary);

// A frame's line bytes taken apart: the binary frame without its check
// (address, function code, data) and whether the check was good. A line frame
// too damaged to decode keeps what could be read.
struct TDecodedLine {
    bool Good = false;
    TBytes Frame;
};
TDecodedLine DecodeLine(const TBytes& Line, Quorvel::TTransmissionMode Mode);

// Tells requests from replies in a stream of frames: by shape first, and where
// the shape allows both (a write echo, a diagnostics echo, an unknown function
// code) by what came before, since a reply follows its request.
class TFrameClassifier {
public:
    struct TResult {
        TFrameRole Role = frUnknown;
        std::string Summary;
    };
    // Frame: address, function code and data, without the check.
    TResult Classify(const TBytes& Frame);
    // Forgets the request awaiting a reply (after a frame with a bad check).
    void Reset() { FPending.reset(); }

private:
    std::optional<TBytes> FPending; // the last request (address and PDU) not yet answered
};

} // namespace QuorvelCli
