// TModbusClient: diagnostics, exception status, server identification and file
// records, with their reply decoders.

#include "ModbusClient.h"

#include "ModbusConnection.h"
#include "QuorvelErrors.h"
#include "detail/FrameReader.h"

#include <cstring>

namespace Quorvel {

using detail::DecodeNormalReply;
using detail::ReplyUnmatched;
using detail::TFrameReader;

namespace {

constexpr std::uint8_t FnReadExceptionStatus = 0x07;
constexpr std::uint8_t FnDiagnostics = 0x08;
constexpr std::uint8_t FnReportServerID = 0x11;
constexpr std::uint8_t FnReadFileRecord = 0x14;
constexpr std::uint8_t FnWriteFileRecord = 0x15;

constexpr std::uint8_t FileReferenceType = 0x06;
constexpr std::int32_t MaxPduSize = 253;

struct TDiagnosticRow {
    std::uint16_t Code;
    std::uint16_t Data; // the request's data word
    bool Echo;          // the reply must echo it; otherwise the reply's word is the result
};

// Indexed by TDiagnosticAction.
constexpr TDiagnosticRow DiagnosticTable[] = {
    {0x00, 0xA537, true},  {0x01, 0x0000, true},  {0x01, 0xFF00, true},  {0x02, 0x0000, false},
    {0x04, 0x0000, false}, {0x0A, 0x0000, true},  {0x0B, 0x0000, false}, {0x0C, 0x0000, false},
    {0x0D, 0x0000, false}, {0x0E, 0x0000, false}, {0x0F, 0x0000, false}, {0x10, 0x0000, false},
    {0x11, 0x0000, false}, {0x12, 0x0000, false}, {0x14, 0x0000, true},
};

} // namespace

TDiagnosticAction DiagnosticCodeToAction(std::uint16_t Code) {
    for (std::size_t I = 0; I < std::size(DiagnosticTable); ++I) {
        if (DiagnosticTable[I].Code == Code)
            return static_cast<TDiagnosticAction>(I);
    }
    throw EQuorvelError(qmDiagnosticActionUnknown);
}

std::uint16_t DiagnosticActionCode(TDiagnosticAction Action) noexcept {
    return DiagnosticTable[Action].Code;
}

// --- Requests ------------------------------------------------------------------------

std::uint32_t TModbusClient::Diagnostics(TDiagnosticAction Action, void* UserData) {
    CheckConnected();
    auto T = NewTransaction(FnDiagnostics, UserData);
    T->QueryBuffer().PutWordHiLo(DiagnosticTable[Action].Code);
    T->QueryBuffer().PutWordHiLo(DiagnosticTable[Action].Data);
    return Send(std::move(T));
}

std::uint32_t TModbusClient::ReadExceptionStatus(void* UserData) {
    CheckConnected();
    return Send(NewTransaction(FnReadExceptionStatus, UserData));
}

std::uint32_t TModbusClient::ReportServerID(void* UserData) {
    CheckConnected();
    return Send(NewTransaction(FnReportServerID, UserData));
}

std::uint32_t TModbusClient::ReadFileRecord(const TModbusFileRecordList& FileRecList, void* UserData) {
    CheckConnected();
    // The request and the reply it asks for must both fit the 253-byte PDU.
    std::int64_t ReplySize = 2;
    for (std::int32_t I = 0; I < FileRecList.Count(); ++I)
        ReplySize += 2 * std::int64_t{FileRecList.Items(I).RegCount()} + 2;
    const std::int64_t RequestSize = 2 + 7 * std::int64_t{FileRecList.Count()};
    if (FileRecList.Count() < 1 || RequestSize > MaxPduSize || ReplySize > MaxPduSize)
        throw EQuorvelError(qmFileRecordListInvalid);
    auto T = NewTransaction(FnReadFileRecord, UserData);
    auto& Q = T->QueryBuffer();
    Q.PutByte(static_cast<std::uint8_t>(7 * FileRecList.Count()));
    for (std::int32_t I = 0; I < FileRecList.Count(); ++I) {
        const auto& R = FileRecList.Items(I);
        Q.PutByte(FileReferenceType);
        Q.PutWordHiLo(R.FileID());
        Q.PutWordHiLo(R.StartReg());
        Q.PutWordHiLo(static_cast<std::uint16_t>(R.RegCount()));
    }
    return Send(std::move(T));
}

std::uint32_t TModbusClient::WriteFileRecord(const TModbusFileRecordList& FileRecList, void* UserData) {
    CheckConnected();
    std::int64_t DataLength = 0;
    for (std::int32_t I = 0; I < FileRecList.Count(); ++I)
        DataLength += 2 * std::int64_t{FileRecList.Items(I).RegCount()} + 7;
    if (FileRecList.Count() < 1 || 2 + DataLength > MaxPduSize)
        throw EQuorvelError(qmFileRecordListInvalid);
    auto T = NewTransaction(FnWriteFileRecord, UserData);
    auto& Q = T->QueryBuffer();
    Q.PutByte(static_cast<std::uint8_t>(DataLength));
    for (std::int32_t I = 0; I < FileRecList.Count(); ++I) {
        const auto& R = FileRecList.Items(I);
        Q.PutByte(FileReferenceType);
        Q.PutWordHiLo(R.FileID());
        Q.PutWordHiLo(R.StartReg());
        Q.PutWordHiLo(static_cast<std::uint16_t>(R.RegCount()));
        for (std::int32_t J = 0; J < R.RegCount(); ++J)
            Q.PutWordHiLo(R.RegValues(J));
    }
    return Send(std::move(T));
}

// --- Decoders --------------------------------------------------------------------------

void TModbusClient::DoneDiagnostics(TModbusTransaction& Transaction) {
    const std::int32_t Check = FConnection->ErrorCheckSize();
    TFrameReader Query(Transaction.QueryBuffer(), Check);
    const std::uint16_t Code = Query.Word();
    const std::uint16_t Data = Query.Word();
    TDiagnosticAction Action = DiagnosticCodeToAction(Code);
    if (Action == daRestartCommsOption && Data == 0xFF00)
        Action = daRestartCommsOptionAndClearEventLog;
    std::uint16_t Result = 0;
    DecodeNormalReply(Transaction, [&] {
        TFrameReader Reply(Transaction.ReplyBuffer(), Check);
        if (Reply.Word() != Code)
            ReplyUnmatched();
        const std::uint16_t Word = Reply.Word();
        if (DiagnosticTable[Action].Echo) {
            if (Word != Data)
                ReplyUnmatched();
        } else {
            Result = Word;
        }
    });
    DoDiagnostics(Transaction.Info, Action, Result);
}

void TModbusClient::DoneReadExceptionStatus(TModbusTransaction& Transaction) {
    TExceptionStatusValues Status(8, false);
    DecodeNormalReply(Transaction, [&] {
        TFrameReader Reply(Transaction.ReplyBuffer(), FConnection->ErrorCheckSize());
        Reply.Bits(Status);
    });
    DoExceptionStatusRead(Transaction.Info, Status);
}

void TModbusClient::DoneReportServerID(TModbusTransaction& Transaction) {
    std::int32_t Count = 0;
    TServerIdentificationData Data;
    DecodeNormalReply(Transaction, [&] {
        TFrameReader Reply(Transaction.ReplyBuffer(), FConnection->ErrorCheckSize());
        Count = Reply.Byte();
        Data.assign(static_cast<std::size_t>(Count), 0);
        // A count that runs past the frame keeps the bytes that are there,
        // zeros after them, and the reply does not answer the request.
        for (auto& B : Data)
            B = Reply.Byte();
    });
    DoServerIdentificationReport(Transaction.Info, Count, Data);
}

void TModbusClient::DoneReadFileRecord(TModbusTransaction& Transaction) {
    const std::int32_t Check = FConnection->ErrorCheckSize();
    TModbusFileRecordList List;
    TFrameReader Query(Transaction.QueryBuffer(), Check);
    const std::int32_t SubRequests = Query.Byte() / 7;
    std::int32_t Expected = 0;
    for (std::int32_t I = 0; I < SubRequests; ++I) {
        Query.Skip(1); // reference type
        const std::uint16_t File = Query.Word();
        const std::uint16_t Start = Query.Word();
        const std::uint16_t Length = Query.Word();
        List.Add(File, Start, Length);
        Expected += 2 * Length + 2;
    }
    DecodeNormalReply(Transaction, [&] {
        TFrameReader Reply(Transaction.ReplyBuffer(), Check);
        if (Reply.Byte() != Expected)
            ReplyUnmatched();
        for (std::int32_t I = 0; I < List.Count(); ++I) {
            auto& R = List.Items(I);
            if (Reply.Byte() != 2 * R.RegCount() + 1 || Reply.Byte() != FileReferenceType)
                ReplyUnmatched();
            for (std::int32_t J = 0; J < R.RegCount(); ++J)
                R.SetRegValues(J, Reply.Word());
        }
    });
    DoFileRecordRead(Transaction.Info, List);
}

void TModbusClient::DoneWriteFileRecord(TModbusTransaction& Transaction) {
    const std::int32_t Check = FConnection->ErrorCheckSize();
    TModbusFileRecordList List;
    auto& QueryBuffer = Transaction.QueryBuffer();
    TFrameReader Query(QueryBuffer, Check);
    const std::int32_t DataLength = Query.Byte();
    const std::int32_t End = QueryBuffer.Position() + DataLength;
    while (QueryBuffer.Position() + 7 <= End) {
        Query.Skip(1); // reference type
        const std::uint16_t File = Query.Word();
        const std::uint16_t Start = Query.Word();
        const std::uint16_t Length = Query.Word();
        auto& R = List.Add(File, Start, Length);
        for (std::int32_t J = 0; J < Length; ++J)
            R.SetRegValues(J, Query.Word());
    }
    // The reply is an exact copy of the request, check bytes included.
    if (Transaction.Info.Reply == srNormalReply) {
        const auto& Reply = Transaction.ReplyBuffer();
        if (Reply.Size() != QueryBuffer.Size() || std::memcmp(Reply.StartPtr(), QueryBuffer.StartPtr(),
                                                              static_cast<std::size_t>(Reply.Size())) != 0)
            Transaction.Info.Reply = srUnmatchedReply;
    }
    DoFileRecordWrite(Transaction.Info, List);
}

// --- Event dispatchers ---------------------------------------------------------------------

void TModbusClient::DoDiagnostics(const TTransactionInfo& Info, TDiagnosticAction Action,
                                  std::uint16_t Result) {
    if (OnDiagnostics)
        OnDiagnostics(this, Info, Action, Result);
}

void TModbusClient::DoExceptionStatusRead(const TTransactionInfo& Info,
                                          const TExceptionStatusValues& StatusValues) {
    if (OnExceptionStatusRead)
        OnExceptionStatusRead(this, Info, StatusValues);
}

void TModbusClient::DoFileRecordRead(const TTransactionInfo& Info, TModbusFileRecordList& FileRecList) {
    if (OnFileRecordRead)
        OnFileRecordRead(this, Info, FileRecList);
}

void TModbusClient::DoFileRecordWrite(const TTransactionInfo& Info, TModbusFileRecordList& FileRecList) {
    if (OnFileRecordWrite)
        OnFileRecordWrite(this, Info, FileRecList);
}

void TModbusClient::DoServerIdentificationReport(const TTransactionInfo& Info, std::int32_t Count,
                                                 const TServerIdentificationData& Data) {
    if (OnServerIdentificationReport)
        OnServerIdentificationReport(this, Info, Count, Data);
}

} // namespace Quorvel
