#include "TransactionLog.h"

#include "FileAccess.h"

#include <QFile>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTextCursor>

#include <cerrno>
#include <fcntl.h>
#include <stdexcept>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

TTransactionLog::TTransactionLog(QPlainTextEdit* View, const QString& FileName)
    : fView(View), fFileName(FileName), fClock([] { return QTime::currentTime(); }) {}

TTransactionLog::~TTransactionLog() {
    if (fLogFile >= 0)
        (void)::close(fLogFile); // nothing is written any more; a failing close changes nothing
}

QString TTransactionLog::FormatEntry(const QTime& Time, const QString& Text) {
    if (Text.isEmpty())
        return Text;
    return QStringLiteral("[%1] %2").arg(Time.toString(QStringLiteral("HH:mm:ss.zzz")), Text);
}

void TTransactionLog::AddLogLine(const QString& Text) {
    const QString Entry = FormatEntry(fClock(), Text);
    // An empty view already holds one empty line, which the first entry takes.
    // (QPlainTextEdit::appendPlainText would let a first empty entry vanish.)
    // The view follows the newest entry while it is scrolled to the end.
    QScrollBar* Bar = fView->verticalScrollBar();
    const bool AtEnd = Bar->value() == Bar->maximum();
    QTextCursor Cursor(fView->document());
    Cursor.movePosition(QTextCursor::End);
    if (!fViewEmpty)
        Cursor.insertBlock();
    Cursor.insertText(Entry);
    fViewEmpty = false;
    if (AtEnd)
        Bar->setValue(Bar->maximum());
    if (fLogTransactionsToFile)
        WriteLogFileLine(Entry);
}

void TTransactionLog::AcquireLogFile() {
    if (fLogFile < 0) {
        const QByteArray Path = QFile::encodeName(fFileName);
        const int Fd = ::open(Path.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
        if (Fd < 0)
            throw std::runtime_error(CannotOpenFileText(fFileName, ErrnoText(errno)));
        QString Reason;
        struct stat Info {};
        if (::fstat(Fd, &Info) != 0)
            Reason = ErrnoText(errno);
        else if (!S_ISREG(Info.st_mode))
            Reason = NotRegularFileText(); // a pipe or a device could block every entry
        // Other programs may read the file but not write it while it is open.
        else if (::flock(Fd, LOCK_EX | LOCK_NB) != 0)
            Reason = ErrnoText(errno);
        else if (::lseek(Fd, 0, SEEK_END) < 0)
            Reason = ErrnoText(errno);
        if (!Reason.isEmpty()) {
            (void)::close(Fd); // the open already failed; its reason is the one to report
            throw std::runtime_error(CannotOpenFileText(fFileName, Reason));
        }
        fLogFile = Fd;
    }
    ++fLogCounter;
}

void TTransactionLog::ReleaseLogFile() noexcept {
    if (fLogCounter == 0)
        return;
    if (--fLogCounter == 0) {
        // Every byte was handed over by write(); close has nothing left to report.
        (void)::close(fLogFile);
        fLogFile = -1;
    }
}

namespace {

// Releases one use of the log file on every way out of a scope.
class TLogFileUse {
public:
    explicit TLogFileUse(TTransactionLog& Log) : FLog(Log) { FLog.AcquireLogFile(); }
    ~TLogFileUse() { FLog.ReleaseLogFile(); }
    TLogFileUse(const TLogFileUse&) = delete;
    TLogFileUse& operator=(const TLogFileUse&) = delete;

private:
    TTransactionLog& FLog;
};

[[noreturn]] void LogFileNotOpen() {
    throw std::logic_error("Assertion failed: the log file is not open (TransactionLog.cpp)");
}

} // namespace

void TTransactionLog::WriteLogFileLine(const QString& Entry) {
    const TLogFileUse Use(*this);
    if (fLogFile < 0)
        LogFileNotOpen();
    // The file holds CR LF line breaks only, also inside an entry.
    QString Text = Entry;
    Text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    Text.replace(QLatin1Char('\n'), QStringLiteral("\r\n"));
    const QByteArray Bytes = Text.toUtf8() + "\r\n";
    qsizetype Done = 0;
    while (Done < Bytes.size()) {
        const ssize_t N =
            ::write(fLogFile, Bytes.constData() + Done, static_cast<size_t>(Bytes.size() - Done));
        if (N > 0)
            Done += N;
        else if (!(N < 0 && errno == EINTR))
            throw std::runtime_error(CannotWriteFileText(fFileName, ErrnoText(N < 0 ? errno : EIO)));
    }
}

void TTransactionLog::ClearTransactionLog() {
    fView->clear();
    fViewEmpty = true;
    if (!fLogTransactionsToFile)
        return;
    const TLogFileUse Use(*this);
    if (fLogFile < 0)
        LogFileNotOpen();
    if (::ftruncate(fLogFile, 0) != 0)
        throw std::runtime_error(CannotWriteFileText(fFileName, ErrnoText(errno)));
}

QString TTransactionLog::HexDumpText(const std::vector<std::uint8_t>& Bytes) {
    if (Bytes.empty())
        return QStringLiteral("<empty>");
    QString Text;
    Text.reserve(static_cast<qsizetype>(Bytes.size()) * 3);
    for (const std::uint8_t B : Bytes)
        Text += QStringLiteral("%1 ").arg(B, 2, 16, QLatin1Char('0')).toUpper();
    return Text;
}

QString TTransactionLog::FrameText(const Quorvel::TFrameData& Frame, bool Sent) {
    return (Sent ? QStringLiteral("TX: ") : QStringLiteral("RX: ")) + HexDumpText(Frame);
}

void TTransactionLog::LogFrame(const Quorvel::TFrameData& Frame, bool Sent) {
    AddLogLine(FrameText(Frame, Sent));
}

void TTransactionLog::LogHexDump(const std::vector<std::uint8_t>& Bytes) {
    AddLogLine(HexDumpText(Bytes));
}

void TTransactionLog::LogInit(std::uint32_t ID, const QString& Title) {
    AddLogLine(QStringLiteral("INIT: %1 [ID: %2]").arg(Title, QString::number(ID)));
}

void TTransactionLog::LogDone(std::uint32_t ID, const QString& Title) {
    AddLogLine(QStringLiteral("DONE: %1 [ID: %2]").arg(Title, QString::number(ID)));
}

QString TTransactionLog::ReplyText(Quorvel::TServerReply Reply) {
    switch (Reply) {
    case Quorvel::srNone:
        return QStringLiteral("FAILURE: Response timeout expired");
    case Quorvel::srInvalidFrame:
        return QStringLiteral("FAILURE: Response frame corrupted");
    case Quorvel::srUnexpectedReply:
        return QStringLiteral("FAILURE: Mistargeted response");
    case Quorvel::srUnmatchedReply:
        return QStringLiteral("FAILURE: Unmatched response");
    case Quorvel::srExceptionReply:
        return QStringLiteral("FAILURE: Modbus exception response");
    case Quorvel::srNormalReply:
        return QStringLiteral("SUCCESS: Normal response");
    }
    return QString();
}

void TTransactionLog::LogReply(const Quorvel::TTransactionInfo& Info, const QString& ExceptionText) {
    AddLogLine(ReplyText(Info.Reply));
    if (Info.Reply == Quorvel::srExceptionReply)
        AddLogLine(QStringLiteral("Server exception: ") + ExceptionText);
}

void TTransactionLog::LogBroadcastNote() {
    AddLogLine(
        QStringLiteral("Broadcasting mode: No reply is expected to be returned from a remote server(s)."));
}

QString TTransactionLog::CountText(int Count, TLogItemKind Kind) {
    static const char* const Singular[] = {"coil was", "discrete input was", "holding register was",
                                           "input register was"};
    static const char* const Plural[] = {"coils were", "discrete inputs were", "holding registers were",
                                         "input registers were"};
    const char* Phrase = Count < 2 ? Singular[Kind] : Plural[Kind];
    return QStringLiteral("%1 %2 processed.").arg(Count).arg(QLatin1String(Phrase));
}

void TTransactionLog::LogBitCount(int Count, TLogItemKind Kind) {
    AddLogLine(CountText(Count, Kind));
}

void TTransactionLog::LogRegisterCount(int Count, TLogItemKind Kind) {
    AddLogLine(CountText(Count, Kind));
}

void TTransactionLog::LogBitValue(int Addr, bool Value, TLogItemKind Kind) {
    const QString Name =
        Kind == likDiscreteInputs ? QStringLiteral("Discrete input") : QStringLiteral("Coil");
    AddLogLine(QStringLiteral("%1 %2 is %3.")
                   .arg(Name)
                   .arg(Addr)
                   .arg(Value ? QStringLiteral("ON") : QStringLiteral("OFF")));
}

void TTransactionLog::LogRegisterValue(int Addr, std::uint16_t Value, TLogItemKind Kind) {
    const QString Name = Kind == likInputRegisters ? QStringLiteral("input") : QStringLiteral("holding");
    AddLogLine(QStringLiteral("Value of %1 register %2 is %3").arg(Name).arg(Addr).arg(Value));
}

void TTransactionLog::LogExceptionStatusBit(int Index, bool State) {
    AddLogLine(QStringLiteral("Exception status bit %1 is %2.")
                   .arg(Index)
                   .arg(State ? QStringLiteral("ON") : QStringLiteral("OFF")));
}
