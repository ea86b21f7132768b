// TTransactionLog: the demo's transaction log, shown in the main window's log
// view and, when switched on, appended to the log file.
#pragma once

#include <Quorvel.h>

#include <QString>
#include <QTime>

#include <cstdint>
#include <functional>
#include <vector>

class QPlainTextEdit;

// The kinds of item that count lines and value lines name.
enum TLogItemKind { likCoils, likDiscreteInputs, likHoldingRegisters, likInputRegisters };

// Every line of the log goes through AddLogLine: a non-empty text gets the
// local time "[hh:mm:ss.zzz] " in front, the entry is appended to the view,
// and, while file logging is on, to the log file as UTF-8 ending in CR LF (a
// line break inside an entry is stored as CR LF too). The file is opened for
// each entry and closed again, so it is free between entries; while open it is
// locked against other writers.
//
// An error of the log file leaves the operation after the entry has reached
// the view; nothing is counted as open afterwards, so the next entry tries
// again. Main thread only.
class TTransactionLog {
public:
    using TClock = std::function<QTime()>;

    TTransactionLog(QPlainTextEdit* View, const QString& FileName);
    // Closes a log file that is still open.
    ~TTransactionLog();

    TTransactionLog(const TTransactionLog&) = delete;
    TTransactionLog& operator=(const TTransactionLog&) = delete;

    const QString& FileName() const noexcept { return fFileName; }
    bool LogTransactionsToFile() const noexcept { return fLogTransactionsToFile; }
    void SetLogTransactionsToFile(bool Value) noexcept { fLogTransactionsToFile = Value; }
    // Open uses of the log file; 0 at rest.
    std::uint32_t LogCounter() const noexcept { return fLogCounter; }
    bool LogFileOpen() const noexcept { return fLogFile >= 0; }
    // The source of the timestamps; the local time by default.
    void SetClock(TClock Clock) { fClock = std::move(Clock); }

    void AddLogLine(const QString& Text);
    // Appends one entry to the log file.
    void WriteLogFileLine(const QString& Entry);
    // Opens the log file (creating it) unless open, at its end; counts one use.
    void AcquireLogFile();
    // Counts one use less; closes the file when none is left.
    void ReleaseLogFile() noexcept;
    // Empties the view and, while file logging is on, truncates the file.
    void ClearTransactionLog();

    // Frame dumps and transaction report lines.
    void LogFrame(const Quorvel::TFrameData& Frame, bool Sent);
    void LogHexDump(const std::vector<std::uint8_t>& Bytes);
    void LogInit(std::uint32_t ID, const QString& Title);
    void LogDone(std::uint32_t ID, const QString& Title);
    // The outcome line; for an exception reply also "Server exception: " with
    // ExceptionText.
    void LogReply(const Quorvel::TTransactionInfo& Info, const QString& ExceptionText);
    void LogBroadcastNote();
    void LogBitCount(int Count, TLogItemKind Kind);
    void LogRegisterCount(int Count, TLogItemKind Kind);
    void LogBitValue(int Addr, bool Value, TLogItemKind Kind);
    void LogRegisterValue(int Addr, std::uint16_t Value, TLogItemKind Kind);
    void LogExceptionStatusBit(int Index, bool State);

    // The texts behind those operations.
    static QString FormatEntry(const QTime& Time, const QString& Text);
    static QString HexDumpText(const std::vector<std::uint8_t>& Bytes);
    static QString FrameText(const Quorvel::TFrameData& Frame, bool Sent);
    static QString ReplyText(Quorvel::TServerReply Reply);
    static QString CountText(int Count, TLogItemKind Kind);

private:
    QPlainTextEdit* fView;
    QString fFileName;
    TClock fClock;
    bool fViewEmpty = true; // no entry since the view was made or cleared
    bool fLogTransactionsToFile = false;
    std::uint32_t fLogCounter = 0;
    int fLogFile = -1; // the open log file's descriptor; -1 while closed
};
