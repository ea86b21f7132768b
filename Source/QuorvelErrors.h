// Quorvel: the library's error class and its message table.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <stdexcept>
#include <string>

namespace Quorvel {

// Ids of the library's messages. The ids are the keys under which the texts are
// stored; they carry no other meaning.
enum TQuorvelMessage : int {
    qmInitCommTimeoutsFailed = 65200,
    qmInitEventMaskFailed = 65201,
    qmUpdateDeviceControlBlockFailed = 65202,
    qmConnectionMustBeInactive = 65203,
    qmConnectionMustBeActive = 65204,
    qmEncodeFrameFailed = 65205,
    qmDecodeFrameFailed = 65206,
    qmFlowControlNotValid = 65207,
    qmClockResolutionFailed = 65209,
    qmDiscreteStartInvalid = 65216,
    qmDiscreteCountInvalid = 65217,
    qmRegisterCountInvalid = 65218,
    qmFileRecordListInvalid = 65219,
    qmRequestDataSizeInvalid = 65220,
    qmExceptionUnknown = 65221,
    qmExceptionIllegalCommand = 65222,
    qmExceptionIllegalDataAddress = 65223,
    qmExceptionIllegalDataValue = 65224,
    qmExceptionServerFailure = 65225,
    qmExceptionAcknowledge = 65226,
    qmExceptionServerBusy = 65227,
    qmExceptionNegativeAcknowledge = 65228,
    qmExceptionMemoryParityError = 65229,
    qmOpenPortFailed = 65230,
    qmInitIOBuffersFailed = 65231,
    qmInternalError = 65237,
    qmBufferNoRoom = 65238,
    qmBufferPositionInvalid = 65239,
    qmBufferSizeInvalid = 65240,
    qmRegisterStartInvalid = 65241,
    qmRegisterIndexInvalid = 65242,
    qmNoActiveConnection = 65243,
    qmClientMustBeDisconnected = 65244,
    qmNoActiveTransaction = 65245,
    qmValueOutOfRange = 65246,
    qmDiagnosticActionUnknown = 65247,
};

// The text stored under Id, exactly as the library uses it (with its %d
// placeholders unfilled); an empty string for an unknown id.
const char* QuorvelMessageText(int Id) noexcept;

// Fills each "%d" of Format, left to right, with the next argument. The
// arguments are 64-bit, so a 32-bit unsigned limit such as 4294967295 prints
// unsigned. A placeholder without an argument is left as it stands.
std::string FormatQuorvelMessage(const char* Format, std::initializer_list<std::int64_t> Args);

// Every error the library itself raises. The message comes from the table above,
// optionally formatted; Id() tells which entry it came from (0 for a free text).
class EQuorvelError : public std::runtime_error {
public:
    explicit EQuorvelError(TQuorvelMessage Id);
    EQuorvelError(TQuorvelMessage Id, std::initializer_list<std::int64_t> Args);
    explicit EQuorvelError(const std::string& Message);

    int Id() const noexcept { return FId; }

private:
    int FId = 0;
};

} // namespace Quorvel
