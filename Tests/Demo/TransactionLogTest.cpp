// The transaction log on its own: entries in the view, the log file's bytes,
// its opening per entry and its lock, clearing, and the report-line shapes.

#include "DemoFixture.h"
#include "DemoSuites.h"

#include "TransactionLog.h"

#include <QDir>
#include <QFile>
#include <QPlainTextEdit>
#include <QTest>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

using namespace QuorvelDemoTest;

namespace {

const QTime FixedTime(14, 3, 7, 45);

// A log on a view, its file in a temporary folder, the clock fixed.
struct TLogBench {
    TDataDir Dir;
    QPlainTextEdit View;
    TTransactionLog Log{&View, Dir.File(QStringLiteral("TransactionLog.txt"))};

    TLogBench() {
        Log.SetClock([] { return FixedTime; });
    }
    QByteArray File() const { return Dir.Read(QStringLiteral("TransactionLog.txt")); }
    QStringList Lines() const { return View.toPlainText().split(QLatin1Char('\n')); }
};

// Holds an exclusive lock on a file, as another program writing it would.
class TForeignLock {
public:
    explicit TForeignLock(const QString& Path) {
        FFd = ::open(QFile::encodeName(Path).constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
        if (FFd < 0 || ::flock(FFd, LOCK_EX | LOCK_NB) != 0)
            qFatal("cannot lock the log file");
    }
    ~TForeignLock() { (void)::close(FFd); } // test teardown
    TForeignLock(const TForeignLock&) = delete;
    TForeignLock& operator=(const TForeignLock&) = delete;

private:
    int FFd = -1;
};

} // namespace

class TransactionLogTest : public QObject {
    Q_OBJECT

private slots:
    void EntriesGetTheTimestampUnlessEmpty() {
        TLogBench B;
        B.Log.AddLogLine(
            QStringLiteral("INIT: %1 [ID: %2]").arg(QStringLiteral("Read Coils (code $01)")).arg(12));
        B.Log.AddLogLine(QString());
        QCOMPARE(
            B.Lines(),
            QStringList({QStringLiteral("[14:03:07.045] INIT: Read Coils (code $01) [ID: 12]"), QString()}));
        QVERIFY2(!B.Dir.Exists(QStringLiteral("TransactionLog.txt")), "file logging is off");

        // The real clock: 24-hour, zero-padded.
        QPlainTextEdit View;
        TTransactionLog RealTime(&View, B.Dir.File(QStringLiteral("Unused.txt")));
        RealTime.AddLogLine(QStringLiteral("x"));
        bool Stamped = false;
        QCOMPARE(StripTimestamp(View.toPlainText(), &Stamped), QStringLiteral("x"));
        QVERIFY(Stamped);
    }

    void FileHoldsUtf8EntriesWithCrLf() {
        TLogBench B;
        B.Log.SetLogTransactionsToFile(true);
        B.Log.AddLogLine(QString());
        B.Log.AddLogLine(QStringLiteral("Grüße € ok"));
        B.Log.AddLogLine(QStringLiteral("Modbus connection has been successfully opened.\n"));
        B.Log.AddLogLine(QStringLiteral("last"));
        QCOMPARE(B.File(), QByteArray("\r\n"
                                      "[14:03:07.045] Gr\xC3\xBC\xC3\x9F"
                                      "e \xE2\x82\xAC ok\r\n"
                                      "[14:03:07.045] Modbus connection has been successfully opened.\r\n\r\n"
                                      "[14:03:07.045] last\r\n"));
        // The line break inside an entry makes two lines in the view too.
        QCOMPARE(
            B.Lines().mid(2),
            QStringList({QStringLiteral("[14:03:07.045] Modbus connection has been successfully opened."),
                         QString(), QStringLiteral("[14:03:07.045] last")}));
    }

    void FileIsClosedBetweenEntriesAndAppendedAtItsEnd() {
        TLogBench B;
        B.Log.SetLogTransactionsToFile(true);
        B.Log.AddLogLine(QStringLiteral("one"));
        QCOMPARE(B.Log.LogCounter(), 0u);
        QVERIFY(!B.Log.LogFileOpen());
        // Another program appends between two entries: the next entry follows it.
        B.Dir.Write(QStringLiteral("TransactionLog.txt"), B.File() + "foreign\r\n");
        B.Log.AddLogLine(QStringLiteral("two"));
        QCOMPARE(B.File(), QByteArray("[14:03:07.045] one\r\nforeign\r\n[14:03:07.045] two\r\n"));

        // Nested uses share one open file.
        B.Log.AcquireLogFile();
        B.Log.AcquireLogFile();
        QCOMPARE(B.Log.LogCounter(), 2u);
        B.Log.WriteLogFileLine(QStringLiteral("nested"));
        QCOMPARE(B.Log.LogCounter(), 2u);
        B.Log.ReleaseLogFile();
        QVERIFY(B.Log.LogFileOpen());
        B.Log.ReleaseLogFile();
        QVERIFY(!B.Log.LogFileOpen());
        B.Log.ReleaseLogFile(); // one too many does nothing
        QCOMPARE(B.Log.LogCounter(), 0u);
    }

    void LockedFileFailsAfterTheViewAndTheNextEntryRetries() {
        TLogBench B;
        B.Log.SetLogTransactionsToFile(true);
        {
            TForeignLock Lock(B.Log.FileName());
            bool Raised = false;
            try {
                B.Log.AddLogLine(QStringLiteral("while locked"));
            } catch (const std::exception& E) {
                Raised = true;
                QVERIFY2(QString::fromUtf8(E.what()).startsWith(
                             QStringLiteral("Cannot open file \"%1\".").arg(B.Log.FileName())),
                         E.what());
            }
            QVERIFY(Raised);
            QCOMPARE(B.Lines().back(), QStringLiteral("[14:03:07.045] while locked"));
            QCOMPARE(B.Log.LogCounter(), 0u);
            QVERIFY(!B.Log.LogFileOpen());
        }
        B.Log.AddLogLine(QStringLiteral("after"));
        QCOMPARE(B.File(), QByteArray("[14:03:07.045] after\r\n"));
    }

    void ClearingTruncatesTheFileOnlyWhileFileLoggingIsOn() {
        TLogBench B;
        B.Log.SetLogTransactionsToFile(true);
        B.Log.AddLogLine(QStringLiteral("kept"));
        B.Log.SetLogTransactionsToFile(false);
        B.Log.ClearTransactionLog();
        QCOMPARE(B.View.toPlainText(), QString());
        QCOMPARE(B.File(), QByteArray("[14:03:07.045] kept\r\n"));

        B.Log.SetLogTransactionsToFile(true);
        B.Log.AddLogLine(QStringLiteral("view"));
        {
            // Not openable: the view is emptied anyway, the file keeps its bytes.
            TForeignLock Lock(B.Log.FileName());
            QVERIFY_THROWS_EXCEPTION(std::runtime_error, B.Log.ClearTransactionLog());
            QCOMPARE(B.View.toPlainText(), QString());
            QVERIFY(!B.File().isEmpty());
        }
        B.Log.ClearTransactionLog();
        QVERIFY(B.Dir.Exists(QStringLiteral("TransactionLog.txt")));
        QCOMPARE(B.File().size(), 0);
        QVERIFY(!B.Log.LogFileOpen());
    }

    void FileThatIsNoRegularFileIsRefused() {
        TLogBench B;
        QVERIFY(QDir(B.Dir.Path()).mkdir(QStringLiteral("TransactionLog.txt")));
        B.Log.SetLogTransactionsToFile(true);
        QVERIFY_THROWS_EXCEPTION(std::runtime_error, B.Log.AddLogLine(QStringLiteral("x")));
        QCOMPARE(B.Log.LogCounter(), 0u);
    }

    void FrameDumps_data() {
        QTest::addColumn<QByteArray>("Frame");
        QTest::addColumn<bool>("Sent");
        QTest::addColumn<QString>("Text");
        QTest::newRow("received") << QByteArray("\x01\x03\x02\x00\x01", 5) << false
                                  << QStringLiteral("RX: 01 03 02 00 01 ");
        QTest::newRow("sent") << QByteArray("\x01\x03\x00\x00\x00\x01\x84\x0A", 8) << true
                              << QStringLiteral("TX: 01 03 00 00 00 01 84 0A ");
        QTest::newRow("high bytes") << QByteArray("\xFF\xab", 2) << true << QStringLiteral("TX: FF AB ");
        QTest::newRow("empty") << QByteArray() << false << QStringLiteral("RX: <empty>");
    }

    void FrameDumps() {
        QFETCH(QByteArray, Frame);
        QFETCH(bool, Sent);
        QFETCH(QString, Text);
        TLogBench B;
        B.Log.LogFrame(Quorvel::TFrameData(Frame.begin(), Frame.end()), Sent);
        QCOMPARE(B.Lines().back(), QStringLiteral("[14:03:07.045] ") + Text);
    }

    void ReportShapes() {
        TLogBench B;
        B.Log.LogHexDump({});
        B.Log.LogHexDump({0x00, 0x5A});
        B.Log.LogInit(7, QStringLiteral("Read Holding Registers (code $03)"));
        B.Log.LogDone(7, QStringLiteral("Read Holding Registers (code $03)"));
        B.Log.LogBroadcastNote();
        B.Log.LogBitValue(65536, true, likCoils);
        B.Log.LogBitValue(3, false, likDiscreteInputs);
        B.Log.LogRegisterValue(10, 65535, likHoldingRegisters);
        B.Log.LogRegisterValue(11, 0, likInputRegisters);
        B.Log.LogExceptionStatusBit(7, true);
        B.Log.LogInit(8, QStringLiteral("A %1 title"));
        QStringList Texts;
        for (const QString& Line : B.Lines())
            Texts << StripTimestamp(Line);
        QCOMPARE(Texts,
                 QStringList({
                     QStringLiteral("<empty>"),
                     QStringLiteral("00 5A "),
                     QStringLiteral("INIT: Read Holding Registers (code $03) [ID: 7]"),
                     QStringLiteral("DONE: Read Holding Registers (code $03) [ID: 7]"),
                     QStringLiteral(
                         "Broadcasting mode: No reply is expected to be returned from a remote server(s)."),
                     QStringLiteral("Coil 65536 is ON."),
                     QStringLiteral("Discrete input 3 is OFF."),
                     QStringLiteral("Value of holding register 10 is 65535"),
                     QStringLiteral("Value of input register 11 is 0"),
                     QStringLiteral("Exception status bit 7 is ON."),
                     QStringLiteral("INIT: A %1 title [ID: 8]"),
                 }));
    }

    void CountPhrases_data() {
        QTest::addColumn<int>("Count");
        QTest::addColumn<int>("Kind");
        QTest::addColumn<QString>("Text");
        QTest::newRow("0 coils") << 0 << int(likCoils) << QStringLiteral("0 coil was processed.");
        QTest::newRow("1 coil") << 1 << int(likCoils) << QStringLiteral("1 coil was processed.");
        QTest::newRow("2 coils") << 2 << int(likCoils) << QStringLiteral("2 coils were processed.");
        QTest::newRow("1 input") << 1 << int(likDiscreteInputs)
                                 << QStringLiteral("1 discrete input was processed.");
        QTest::newRow("2008 inputs") << 2008 << int(likDiscreteInputs)
                                     << QStringLiteral("2008 discrete inputs were processed.");
        QTest::newRow("1 holding") << 1 << int(likHoldingRegisters)
                                   << QStringLiteral("1 holding register was processed.");
        QTest::newRow("2 holding") << 2 << int(likHoldingRegisters)
                                   << QStringLiteral("2 holding registers were processed.");
        QTest::newRow("1 input reg") << 1 << int(likInputRegisters)
                                     << QStringLiteral("1 input register was processed.");
        QTest::newRow("125 input regs")
            << 125 << int(likInputRegisters) << QStringLiteral("125 input registers were processed.");
    }

    void CountPhrases() {
        QFETCH(int, Count);
        QFETCH(int, Kind);
        QFETCH(QString, Text);
        QCOMPARE(TTransactionLog::CountText(Count, static_cast<TLogItemKind>(Kind)), Text);
    }

    void OutcomeLines_data() {
        QTest::addColumn<int>("Reply");
        QTest::addColumn<QStringList>("Lines");
        const QString Exception = QStringLiteral("Illegal data address");
        QTest::newRow("timeout") << int(Quorvel::srNone)
                                 << QStringList{QStringLiteral("FAILURE: Response timeout expired")};
        QTest::newRow("corrupt") << int(Quorvel::srInvalidFrame)
                                 << QStringList{QStringLiteral("FAILURE: Response frame corrupted")};
        QTest::newRow("mistargeted") << int(Quorvel::srUnexpectedReply)
                                     << QStringList{QStringLiteral("FAILURE: Mistargeted response")};
        QTest::newRow("unmatched") << int(Quorvel::srUnmatchedReply)
                                   << QStringList{QStringLiteral("FAILURE: Unmatched response")};
        QTest::newRow("exception") << int(Quorvel::srExceptionReply)
                                   << QStringList{QStringLiteral("FAILURE: Modbus exception response"),
                                                  QStringLiteral("Server exception: ") + Exception};
        QTest::newRow("normal") << int(Quorvel::srNormalReply)
                                << QStringList{QStringLiteral("SUCCESS: Normal response")};
    }

    void OutcomeLines() {
        QFETCH(int, Reply);
        QFETCH(QStringList, Lines);
        TLogBench B;
        Quorvel::TTransactionInfo Info;
        Info.Reply = static_cast<Quorvel::TServerReply>(Reply);
        Info.ExceptionCode = 2;
        B.Log.LogReply(Info, QStringLiteral("Illegal data address"));
        QStringList Texts;
        for (const QString& Line : B.Lines())
            Texts << StripTimestamp(Line);
        QCOMPARE(Texts, Lines);
    }
};

QUORVEL_DEMO_SUITE(TransactionLogTest);

#include "TransactionLogTest.moc"
