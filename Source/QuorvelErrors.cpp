#include "QuorvelErrors.h"

namespace Quorvel {

namespace {

struct TMessageEntry {
    int Id;
    const char* Text;
};

constexpr TMessageEntry MessageTable[] = {
    {qmInitCommTimeoutsFailed, "Failed to initialize communication timeouts"},
    {qmInitEventMaskFailed, "Failed to initialize serial event mask"},
    {qmUpdateDeviceControlBlockFailed, "Failed to update device control block"},
    {qmConnectionMustBeInactive, "Connection must NOT be active for the requested action to be performed"},
    {qmConnectionMustBeActive, "Connection MUST be active for the requested action to be performed"},
    {qmEncodeFrameFailed, "Failed to encode frame"},
    {qmDecodeFrameFailed, "Failed to decode frame"},
    {qmFlowControlNotValid, "Flow control is not valid for the requested action to be performed"},
    {qmClockResolutionFailed, "Failed to enhance system clock resolution"},
    {qmDiscreteStartInvalid, "Starting discrete i/o index is invalid (%d)"},
    {qmDiscreteCountInvalid, "Discrete i/o count must be between 1 and %d"},
    {qmRegisterCountInvalid, "Register count must be between 1 and %d"},
    {qmFileRecordListInvalid, "File record list is empty or invalid"},
    {qmRequestDataSizeInvalid, "Invalid request data size (%d)"},
    {qmExceptionUnknown, "Unknown exception code"},
    {qmExceptionIllegalCommand, "Illegal command"},
    {qmExceptionIllegalDataAddress, "Illegal data address"},
    {qmExceptionIllegalDataValue, "Illegal data value"},
    {qmExceptionServerFailure, "Server failure"},
    {qmExceptionAcknowledge, "Acknowledge"},
    {qmExceptionServerBusy, "Server is busy"},
    {qmExceptionNegativeAcknowledge, "Negative acknowledge"},
    {qmExceptionMemoryParityError, "Memory parity error"},
    {qmOpenPortFailed, "Could not open serial port"},
    {qmInitIOBuffersFailed, "Failed to initialize serial I/O buffers"},
    {qmInternalError, "Internal error"},
    {qmBufferNoRoom, "There is not enough space in the buffer to perform the requested action"},
    {qmBufferPositionInvalid, "Buffer position is invalid (%d)"},
    {qmBufferSizeInvalid, "Buffer size is invalid (%d)"},
    {qmRegisterStartInvalid, "Starting register index is invalid (%d)"},
    {qmRegisterIndexInvalid, "Register index is invalid (%d)"},
    {qmNoActiveConnection, "There is no active connection"},
    {qmClientMustBeDisconnected, "Client must be disconnected"},
    {qmNoActiveTransaction, "There is no active transaction"},
    {qmValueOutOfRange, "Value must be between %d and %d"},
    {qmDiagnosticActionUnknown, "Diagnostic action was not recognized"},
};

} // namespace

const char* QuorvelMessageText(int Id) noexcept {
    for (const auto& Entry : MessageTable) {
        if (Entry.Id == Id)
            return Entry.Text;
    }
    return "";
}

std::string FormatQuorvelMessage(const char* Format, std::initializer_list<std::int64_t> Args) {
    std::string Result;
    auto Arg = Args.begin();
    for (const char* P = Format; *P != '\0'; ++P) {
        if (P[0] == '%' && P[1] == 'd' && Arg != Args.end()) {
            Result += std::to_string(*Arg++);
            ++P;
        } else {
            Result += *P;
        }
    }
    return Result;
}

EQuorvelError::EQuorvelError(TQuorvelMessage Id) : std::runtime_error(QuorvelMessageText(Id)), FId(Id) {}

EQuorvelError::EQuorvelError(TQuorvelMessage Id, std::initializer_list<std::int64_t> Args)
    : std::runtime_error(FormatQuorvelMessage(QuorvelMessageText(Id), Args)), FId(Id) {}

EQuorvelError::EQuorvelError(const std::string& Message) : std::runtime_error(Message) {}

} // namespace Quorvel
