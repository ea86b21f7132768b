// The main window: start-up with its welcome lines and open failure, the mode
// view, the status bar and its queue panel, the menu commands, the log file,
// the settings file's load and save rules, and the introduction view. Every
// window works in a temporary folder standing in for the executable's.

#include "DemoFixture.h"
#include "DemoSuites.h"

#include "Support/PtyPair.h"

#include "IniFile.h"
#include "QuorvelDemoApplication.h"
#include "QuorvelDemoMain.h"

#include <QAction>
#include <QApplication>
#include <QDialog>
#include <QElapsedTimer>
#include <QFile>
#include <QMessageBox>
#include <QTabWidget>
#include <QTest>
#include <QTextEdit>

#include <memory>

using namespace QuorvelDemoTest;
using namespace Quorvel;

namespace {

const QStringList WelcomeTail = {
    QString(),
    QStringLiteral("*** Welcome to Quorvel VCL Demo!"),
    QStringLiteral("*** Running on Quorvel version 2.20 (February 26, 2010)"),
    QString(),
    QStringLiteral("*** To specify in which connection mode to operate:"),
    QStringLiteral("*** [1] Select 'Tools -> Modbus Connection Options...' from the menu."),
    QStringLiteral("*** [2] A dialog will appear."),
    QStringLiteral("*** [3] Go to 'Modbus Transaction Management' page."),
    QStringLiteral("*** [4] Locate 'Connection Mode' group box."),
    QStringLiteral("*** [5] Select 'Client' radio button to operate as local client."),
    QStringLiteral("*** [6] Select 'Server' radio button to operate as local server."),
    QStringLiteral("*** [7] Click OK button to close the dialog and apply the changes."),
    QString(),
};

QStringList WelcomeLines(bool ToFile) {
    return QStringList{QString(),
                       ToFile
                           ? QStringLiteral("*** Transactions are now being logged to both screen and file.")
                           : QStringLiteral("*** Transactions are now being logged to screen only.")} +
           WelcomeTail;
}

// The welcome lines as the log file stores them, timestamps masked.
QByteArray WelcomeFileBytes() {
    QByteArray Bytes;
    for (const QString& Line : WelcomeLines(true))
        Bytes += (Line.isEmpty() ? QString() : QStringLiteral("[T] ") + Line).toUtf8() + "\r\n";
    return Bytes;
}

const QString Settings = QStringLiteral("QuorvelDemo.dat");
const QString LogFile = QStringLiteral("TransactionLog.txt");

std::unique_ptr<TQuorvelDemoMainForm> Start(const TDataDir& Dir) {
    return std::make_unique<TQuorvelDemoMainForm>(nullptr, Dir.Path());
}

// Cancels the connection options dialog once it is up.
void CancelConnectionDialogWhenShown() {
    auto* Timer = new QTimer;
    Timer->setInterval(10);
    QObject::connect(Timer, &QTimer::timeout, [Timer] {
        if (auto* Dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
            Dialog != nullptr && Dialog->objectName() == QLatin1String("TModbusConnectionEditForm")) {
            Timer->deleteLater();
            Timer->stop();
            Dialog->reject();
        }
    });
    Timer->start();
}

void Trigger(const TQuorvelDemoMainForm& Form, const char* Item) {
    QAction* Action = MenuItem(Form, Item);
    QVERIFY2(Action != nullptr, Item);
    Action->trigger();
}

QByteArray WithCrc(QByteArray Frame) {
    TModbusBuffer Buffer(256);
    Buffer.PutBlock(Frame.constData(), static_cast<std::int32_t>(Frame.size()));
    const std::uint16_t Crc = Buffer.CRC16();
    Frame += static_cast<char>(Crc & 0xFF);
    Frame += static_cast<char>(Crc >> 8);
    return Frame;
}

QuorvelTest::TPtyPair::TBytes Bytes(const QByteArray& B) {
    return QuorvelTest::TPtyPair::TBytes(B.begin(), B.end());
}

} // namespace

class MainWindowTest : public QObject {
    Q_OBJECT

private slots:
    void StartUpWithAPortThatCannotBeOpened() {
        TDataDir Dir;
        Dir.CopyIntroduction();
        Dir.WriteSettings(
            {QStringLiteral("[ModbusConnection1]"), QStringLiteral("Port=") + Dir.MissingPort()});
        const QByteArray Stored = Dir.Read(Settings);
        TModalWatcher Watcher;
        const auto Form = Start(Dir);

        // One standard error box: the open's error.
        QCOMPARE(Watcher.Records().size(), 1);
        const TModalRecord Box = Watcher.Records().front();
        QCOMPARE(Box.Kind, QStringLiteral("QMessageBox"));
        QCOMPARE(Box.Title, QStringLiteral("Quorvel Demo"));
        QCOMPARE(Box.Icon, int(QMessageBox::Critical));
        QCOMPARE(Box.Buttons, int(QMessageBox::Ok));

        const QStringList Lines = LogLines(*Form);
        QCOMPARE(Lines.size(), 18);
        const QStringList Texts = LogTexts(*Form);
        QCOMPARE(Texts.mid(0, 15), WelcomeLines(false));
        QCOMPARE(Texts[15], QStringLiteral("Opening Modbus connection on %1...").arg(Dir.MissingPort()));
        QVERIFY2(Texts[16].startsWith(QStringLiteral("Failed to open Modbus connection. ")),
                 qPrintable(Texts[16]));
        const QString Message = Texts[16].mid(QStringLiteral("Failed to open Modbus connection. ").size());
        QVERIFY(!Message.isEmpty());
        QCOMPARE(Box.Text, ErrorBoxText(Message));
        QCOMPARE(Texts[17], QString());
        // Empty entries carry no timestamp, the others do.
        for (const QString& Line : Lines) {
            bool Stamped = false;
            StripTimestamp(Line, &Stamped);
            QCOMPARE(Stamped, !Line.isEmpty());
        }

        QCOMPARE(Form->windowTitle(), QStringLiteral("Quorvel Demo [LOCAL CLIENT MODE]"));
        QCOMPARE(StatusPanel(*Form, 0), QStringLiteral("Modbus connection: Closed"));
        QCOMPARE(StatusPanel(*Form, 1), QStringLiteral("Remote server address: 1"));
        QTRY_COMPARE(StatusPanel(*Form, 2), QStringLiteral("Transaction queue is empty."));
        QVERIFY(!Form->ModbusConnection1->Active());
        QCOMPARE(Dir.Read(Settings), Stored); // start-up saves nothing
    }

    void FirstStartWithoutSettingsFile() {
        TDataDir Dir;
        Dir.CopyIntroduction();
        TModalWatcher Watcher; // "COM1" may or may not open on this machine
        {
            const auto Form = Start(Dir);
            const TModbusConnection& C = *Form->ModbusConnection1;
            QCOMPARE(C.ConnectionMode(), cmClient);
            QCOMPARE(C.Port(), std::string("COM1"));
            QCOMPARE(C.BaudRate(), br19200);
            QCOMPARE(C.DataBits(), db8);
            QCOMPARE(C.Parity(), psEven);
            QCOMPARE(C.StopBits(), sb1);
            QCOMPARE(C.TransmissionMode(), tmRTU);
            QCOMPARE(C.SilentInterval(), 4u);
            QCOMPARE(C.SendTimeout(), 1000u);
            QCOMPARE(C.ReceiveTimeout(), 1000u);
            QCOMPARE(C.MaxRetries(), 1u);
            QCOMPARE(C.TurnaroundDelay(), 100u);
            QCOMPARE(C.RefetchDelay(), 0u);
            QVERIFY(C.DTREnabled());
            QVERIFY(C.RTSEnabled());
            QCOMPARE(C.ThreadPriority(), tpNormal);
            QVERIFY(!C.EchoQueryBeforeReply());
            QCOMPARE(Form->ModbusClient1->ServerAddress(), 1);
            QCOMPARE(Form->ModbusServer1->Address(), 1);
            QVERIFY(!MenuItem(*Form, "ToolsLogTransactionsToFileItem")->isChecked());

            const QStringList Texts = LogTexts(*Form);
            QCOMPARE(Texts.mid(0, 15), WelcomeLines(false));
            QCOMPARE(Texts[15], QStringLiteral("Opening Modbus connection on COM1..."));
            QCOMPARE(Form->windowTitle(), QStringLiteral("Quorvel Demo [LOCAL CLIENT MODE]"));
            QCOMPARE(StatusPanel(*Form, 1), QStringLiteral("Remote server address: 1"));

            // Start-up's other settings: hints for 20 s, the introduction page first.
            QCOMPARE(HintHidePause(), 20000);
            QCOMPARE(Form->findChild<QTabWidget*>(QStringLiteral("PageControl1"))->currentWidget(),
                     Control(*Form, "IntroductionTabSheet"));
        }
        QVERIFY2(!Dir.Exists(Settings), "nothing is saved at start-up or exit");
        QVERIFY2(!Dir.Exists(LogFile), "file logging is off by default");
    }

    void ModeView_data() {
        QTest::addColumn<int>("Mode");
        QTest::newRow("client") << int(cmClient);
        QTest::newRow("server") << int(cmServer);
    }

    void ModeView() {
        QFETCH(int, Mode);
        const bool Client = Mode == cmClient;
        QuorvelTest::TPtyPair Line;
        TDataDir Dir;
        Dir.CopyIntroduction();
        Dir.WriteSettings({QStringLiteral("[ModbusConnection1]"),
                           QStringLiteral("ConnectionMode=%1").arg(Mode),
                           QStringLiteral("Port=") + QString::fromStdString(Line.SlavePath()),
                           QStringLiteral("[ModbusClient1]"), QStringLiteral("ServerAddress=9"),
                           QStringLiteral("[ModbusServer1]"), QStringLiteral("Address=7")});
        TModalWatcher Watcher;
        const auto Form = Start(Dir);
        QCOMPARE(Watcher.MessageTexts(), QStringList());
        QVERIFY(Form->ModbusConnection1->Active());

        QCOMPARE(Form->windowTitle(), Client ? QStringLiteral("Quorvel Demo [LOCAL CLIENT MODE]")
                                             : QStringLiteral("Quorvel Demo [LOCAL SERVER MODE]"));
        QVERIFY(TabVisible(*Form, "IntroductionTabSheet"));
        QCOMPARE(TabVisible(*Form, "DiscreteAccessTabSheet"), Client);
        QCOMPARE(TabVisible(*Form, "RegisterAccessTabSheet"), Client);
        QCOMPARE(TabVisible(*Form, "DiagnosticsTabSheet"), Client);
        QCOMPARE(TabVisible(*Form, "ServerMapTabSheet"), !Client);
        QCOMPARE(MenuItem(*Form, "ToolsClientOptionsItem")->isVisible(), Client);
        QCOMPARE(MenuItem(*Form, "ToolsServerOptionsItem")->isVisible(), !Client);
        QCOMPARE(MenuItem(*Form, "ToolsDiscardPendingTransactionsItem")->isVisible(), Client);
        for (const char* Always :
             {"FileExitItem", "ToolsConnectionOptionsItem", "ToolsClearTransactionLogItem",
              "ToolsLogTransactionsToFileItem", "HelpAboutItem"})
            QVERIFY2(MenuItem(*Form, Always)->isVisible(), Always);
        QVERIFY(MenuItem(*Form, "ToolsConnectionOptionsItem")->isEnabled());

        QCOMPARE(
            StatusPanel(*Form, 0),
            QStringLiteral("Modbus connection: Opened [%1]").arg(QString::fromStdString(Line.SlavePath())));
        QCOMPARE(StatusPanel(*Form, 1), Client ? QStringLiteral("Remote server address: 9")
                                               : QStringLiteral("Local server address: 7"));
        if (Client) {
            QTRY_COMPARE(StatusPanel(*Form, 2), QStringLiteral("Transaction queue is empty."));
        } else {
            QTest::qWait(600); // two ticks
            QCOMPARE(StatusPanel(*Form, 2), QString());
        }
        const QStringList Texts = LogTexts(*Form);
        QCOMPARE(Texts.mid(15),
                 QStringList({QStringLiteral("Opening Modbus connection on %1...")
                                  .arg(QString::fromStdString(Line.SlavePath())),
                              QStringLiteral("Modbus connection has been successfully opened."), QString()}));

        SaveScreenshot(*Form, Client ? QStringLiteral("MainWindowClient.png")
                                     : QStringLiteral("MainWindowServer.png"));
    }

    void QueuePanelAndDiscard() {
        QuorvelTest::TPtyPair Line;
        TDataDir Dir;
        Dir.CopyIntroduction();
        // Nobody answers until the end, and the first request waits long on the line.
        Dir.WriteSettings({QStringLiteral("[ModbusConnection1]"), QStringLiteral("ReceiveTimeout=8000"),
                           QStringLiteral("Port=") + QString::fromStdString(Line.SlavePath())});
        TModalWatcher Watcher;
        const auto Form = Start(Dir);
        QVERIFY(Form->ModbusConnection1->Active());
        for (int I = 0; I < 4; ++I)
            Form->ModbusClient1->ReadCoils(0, 1, nullptr);
        // The first is on the line; three wait.
        QTRY_COMPARE_WITH_TIMEOUT(StatusPanel(*Form, 2), QStringLiteral("There are 3 pending transactions."),
                                  10000);

        Trigger(*Form, "ToolsDiscardPendingTransactionsItem");
        QCOMPARE(LogTexts(*Form).mid(LogLines(*Form).size() - 3),
                 QStringList({QString(), QStringLiteral("*** All pending transactions have been discarded."),
                              QString()}));
        QTRY_COMPARE(StatusPanel(*Form, 2), QStringLiteral("Transaction queue is empty."));

        Form->ModbusClient1->ReadCoils(0, 1, nullptr);
        QTRY_COMPARE(StatusPanel(*Form, 2), QStringLiteral("There is 1 pending transaction."));

        // Discarding with an empty queue still writes its lines.
        Trigger(*Form, "ToolsDiscardPendingTransactionsItem");
        Trigger(*Form, "ToolsDiscardPendingTransactionsItem");
        QCOMPARE(LogTexts(*Form).mid(LogLines(*Form).size() - 6, 3),
                 QStringList({QString(), QStringLiteral("*** All pending transactions have been discarded."),
                              QString()}));
        QCOMPARE(Watcher.MessageTexts(), QStringList());

        // Answer the request on the line, so closing need not wait for its timeout.
        QCOMPARE(Line.Read(8, std::chrono::milliseconds(5000)).size(), 8u);
        Line.Write(Bytes(WithCrc(QByteArray("\x01\x01\x01\x00", 4))));
        QTRY_VERIFY(LogTexts(*Form).contains(QStringLiteral("RX: 01 01 01 00 51 88 ")));
    }

    void FramesAreLoggedAndClosingAtExitIsNot() {
        QuorvelTest::TPtyPair Line;
        TDataDir Dir;
        Dir.CopyIntroduction();
        Dir.WriteSettings({QStringLiteral("[General]"), QStringLiteral("LogTransactionsToFile=1"),
                           QStringLiteral("[ModbusConnection1]"),
                           QStringLiteral("Port=") + QString::fromStdString(Line.SlavePath())});
        TModalWatcher Watcher;
        {
            const auto Form = Start(Dir);
            QVERIFY(Form->ModbusConnection1->Active());
            Form->ModbusClient1->ReadCoils(0, 1, nullptr);
            const QByteArray Request = WithCrc(QByteArray("\x01\x01\x00\x00\x00\x01", 6));
            QCOMPARE(Line.Read(8, std::chrono::milliseconds(5000)), Bytes(Request));
            Line.Write(Bytes(WithCrc(QByteArray("\x01\x01\x01\x00", 4))));
            // The frame copies reach the window through the notifier on the
            // library's queue.
            QTRY_VERIFY(LogTexts(*Form).contains(QStringLiteral("RX: 01 01 01 00 51 88 ")));
            QVERIFY(LogTexts(*Form).contains(QStringLiteral("TX: 01 01 00 00 00 01 FD CA ")));
            // The client's report follows the received frame.
            QTRY_VERIFY(LogTexts(*Form).contains(QStringLiteral("Coil 0 is OFF.")));
        }
        const QByteArray File = MaskTimestamps(Dir.Read(LogFile));
        QVERIFY(File.startsWith(WelcomeFileBytes()));
        QCOMPARE(File.mid(WelcomeFileBytes().size()),
                 "[T] Opening Modbus connection on " + QByteArray::fromStdString(Line.SlavePath()) +
                     "...\r\n"
                     "[T] Modbus connection has been successfully opened.\r\n\r\n"
                     "[T] TX: 01 01 00 00 00 01 FD CA \r\n"
                     "[T] RX: 01 01 01 00 51 88 \r\n"
                     "[T] DONE: Read Coils (code $01) [ID: 0]\r\n"
                     "[T] SUCCESS: Normal response\r\n"
                     "[T] 1 coil was processed.\r\n"
                     "[T] Coil 0 is OFF.\r\n\r\n");
        QCOMPARE(Watcher.MessageTexts(), QStringList());
    }

    void LibraryErrorsUseTheErrorBox() {
        TModalWatcher Watcher;
        ShowApplicationException(nullptr, std::make_exception_ptr(std::runtime_error("Worker failed")));
        QCOMPARE(Watcher.MessageTexts(), QStringList({QStringLiteral("Worker failed.")}));
        QCOMPARE(Watcher.Records().front().Title, QStringLiteral("Quorvel Demo"));
        QCOMPARE(Watcher.Records().front().Icon, int(QMessageBox::Critical));
    }

    void AddressPrompts() {
        TDataDir Dir;
        Dir.CopyIntroduction();
        Dir.WriteSettings(
            {QStringLiteral("[ModbusConnection1]"), QStringLiteral("Port=") + Dir.MissingPort()});
        const QByteArray Stored = Dir.Read(Settings);
        TModalWatcher Watcher;
        const auto Form = Start(Dir);
        Watcher.Clear();

        for (const char* Bad : {"abc", "0", "248", "1.5"})
            Watcher.Answer(QLatin1String(Bad));
        Watcher.Answer(std::nullopt); // Cancel
        for (int I = 0; I < 5; ++I)
            Trigger(*Form, "ToolsClientOptionsItem");
        QCOMPARE(Watcher.MessageTexts(),
                 QStringList({QStringLiteral("'abc' is not a valid server address."),
                              QStringLiteral("Value must be between 1 and 247."),
                              QStringLiteral("Value must be between 1 and 247."),
                              QStringLiteral("'1.5' is not a valid server address.")}));
        const TModalRecord Prompt = Watcher.Records().front();
        QCOMPARE(Prompt.Kind, QStringLiteral("QInputDialog"));
        QCOMPARE(Prompt.Title, QStringLiteral("Modbus Client Options"));
        QCOMPARE(
            Prompt.Text,
            QStringLiteral("Enter the address of a remote server (acceptable values are 1 through 247):"));
        QCOMPARE(Prompt.Value, QStringLiteral("1"));
        QCOMPARE(Form->ModbusClient1->ServerAddress(), 1);
        QCOMPARE(Dir.Read(Settings), Stored);
        QCOMPARE(StatusPanel(*Form, 1), QStringLiteral("Remote server address: 1"));

        Watcher.Clear();
        Watcher.Answer(QStringLiteral("$10"));
        Watcher.Answer(std::nullopt);
        Trigger(*Form, "ToolsClientOptionsItem");
        QCOMPARE(Form->ModbusClient1->ServerAddress(), 16);
        QCOMPARE(StatusPanel(*Form, 1), QStringLiteral("Remote server address: 16"));
        QCOMPARE(TIniFile(Dir.File(Settings))
                     .ReadInteger(QStringLiteral("ModbusClient1"), QStringLiteral("ServerAddress"), 0),
                 16);
        Trigger(*Form, "ToolsClientOptionsItem");
        QCOMPARE(Watcher.Records().back().Value, QStringLiteral("16"));

        // The server's prompt, the same steps on the server's address.
        Watcher.Clear();
        Watcher.Answer(QStringLiteral("x"));
        Watcher.Answer(QStringLiteral("200"));
        Trigger(*Form, "ToolsServerOptionsItem");
        Trigger(*Form, "ToolsServerOptionsItem");
        QCOMPARE(Watcher.Records()[0].Title, QStringLiteral("Modbus Server Options"));
        QCOMPARE(
            Watcher.Records()[0].Text,
            QStringLiteral("Enter the address of a local server (acceptable values are 1 through 247):"));
        QCOMPARE(Watcher.MessageTexts(), QStringList({QStringLiteral("'x' is not a valid server address.")}));
        QCOMPARE(Form->ModbusServer1->Address(), 200);
        QCOMPARE(TIniFile(Dir.File(Settings))
                     .ReadInteger(QStringLiteral("ModbusServer1"), QStringLiteral("Address"), 0),
                 200);
    }

    void SaveFailureIsReported() {
        TDataDir Dir;
        Dir.CopyIntroduction();
        Dir.WriteSettings(
            {QStringLiteral("[ModbusConnection1]"), QStringLiteral("Port=") + Dir.MissingPort()});
        TModalWatcher Watcher;
        const auto Form = Start(Dir);
        Watcher.Clear();
        // The settings path now leads nowhere (root could write a read-only file).
        QVERIFY(QFile::remove(Dir.File(Settings)));
        QVERIFY(QFile::link(Dir.File(QStringLiteral("missing/QuorvelDemo.dat")), Dir.File(Settings)));
        Watcher.Answer(QStringLiteral("9"));
        Trigger(*Form, "ToolsClientOptionsItem");
        QCOMPARE(Watcher.MessageTexts(),
                 QStringList({QStringLiteral("Unable to write to %1.").arg(Dir.File(Settings))}));
        // The address is in use, and the status bar says so.
        QCOMPARE(Form->ModbusClient1->ServerAddress(), 9);
        QCOMPARE(StatusPanel(*Form, 1), QStringLiteral("Remote server address: 9"));

        // File logging is switched on all the same, and the switch shows it.
        Watcher.Clear();
        Trigger(*Form, "ToolsLogTransactionsToFileItem");
        QCOMPARE(Watcher.MessageTexts(),
                 QStringList({QStringLiteral("Unable to write to %1.").arg(Dir.File(Settings))}));
        QVERIFY(MenuItem(*Form, "ToolsLogTransactionsToFileItem")->isChecked());
        QVERIFY(MaskTimestamps(Dir.Read(LogFile)) ==
                "\r\n[T] *** Transactions are now being logged to both screen and file.\r\n\r\n");
    }

    void LogFileAndItsSwitch() {
        TDataDir Dir;
        Dir.CopyIntroduction();
        Dir.WriteSettings({QStringLiteral("[General]"), QStringLiteral("LogTransactionsToFile=1"),
                           QStringLiteral("[ModbusConnection1]"),
                           QStringLiteral("Port=") + Dir.MissingPort()});
        TModalWatcher Watcher;
        const auto Form = Start(Dir);
        QVERIFY(MenuItem(*Form, "ToolsLogTransactionsToFileItem")->isChecked());
        QCOMPARE(LogTexts(*Form).mid(0, 15), WelcomeLines(true));
        // The failure entry ends in a line break of its own: an empty line follows it.
        QByteArray Expected = WelcomeFileBytes() + "[T] Opening Modbus connection on " +
                              Dir.MissingPort().toUtf8() + "...\r\n[T] " + LogTexts(*Form)[16].toUtf8() +
                              "\r\n\r\n";
        QCOMPARE(MaskTimestamps(Dir.Read(LogFile)), Expected);

        // Off: the last lines still reach the file, then nothing does.
        Trigger(*Form, "ToolsLogTransactionsToFileItem");
        Expected += "\r\n[T] *** Transactions are now being logged to screen only.\r\n\r\n";
        QCOMPARE(MaskTimestamps(Dir.Read(LogFile)), Expected);
        QVERIFY(!MenuItem(*Form, "ToolsLogTransactionsToFileItem")->isChecked());
        QCOMPARE(TIniFile(Dir.File(Settings))
                     .ReadInteger(QStringLiteral("General"), QStringLiteral("LogTransactionsToFile"), 7),
                 0);
        Trigger(*Form, "ToolsDiscardPendingTransactionsItem");
        QCOMPARE(MaskTimestamps(Dir.Read(LogFile)), Expected);
        QCOMPARE(
            LogTexts(*Form).mid(LogLines(*Form).size() - 6),
            QStringList({QString(), QStringLiteral("*** Transactions are now being logged to screen only."),
                         QString(), QString(),
                         QStringLiteral("*** All pending transactions have been discarded."), QString()}));

        // Clearing with file logging off leaves the file alone.
        Trigger(*Form, "ToolsClearTransactionLogItem");
        QCOMPARE(LogLines(*Form), QStringList({QString()}));
        QCOMPARE(MaskTimestamps(Dir.Read(LogFile)), Expected);

        // On again: the file records where it resumed.
        Trigger(*Form, "ToolsLogTransactionsToFileItem");
        Expected += "\r\n[T] *** Transactions are now being logged to both screen and file.\r\n\r\n";
        QCOMPARE(MaskTimestamps(Dir.Read(LogFile)), Expected);
        QVERIFY(MenuItem(*Form, "ToolsLogTransactionsToFileItem")->isChecked());
        QCOMPARE(TIniFile(Dir.File(Settings))
                     .ReadInteger(QStringLiteral("General"), QStringLiteral("LogTransactionsToFile"), 7),
                 1);

        // Clearing with file logging on empties both, and writes no line.
        Trigger(*Form, "ToolsClearTransactionLogItem");
        QCOMPARE(LogLines(*Form), QStringList({QString()}));
        QVERIFY(Dir.Exists(LogFile));
        QCOMPARE(Dir.Read(LogFile).size(), 0);
        QCOMPARE(Watcher.Records().size(), 1); // only the open failure at start-up
    }

    void SettingsFileAfterTheFirstSave() {
        TDataDir Dir;
        Dir.CopyIntroduction();
        TModalWatcher Watcher; // "COM1" may or may not open on this machine
        const auto Form = Start(Dir);
        QVERIFY(!Dir.Exists(Settings));
        Trigger(*Form, "ToolsLogTransactionsToFileItem");
        QCOMPARE(QString::fromUtf8(Dir.Read(Settings)), QStringLiteral("[General]\n"
                                                                       "LogTransactionsToFile=1\n"
                                                                       "[ModbusConnection1]\n"
                                                                       "BaudRate=8\n"
                                                                       "ConnectionMode=0\n"
                                                                       "DataBits=1\n"
                                                                       "DTREnabled=1\n"
                                                                       "EchoQueryBeforeReply=0\n"
                                                                       "FlowControl=0\n"
                                                                       "MaxRetries=1\n"
                                                                       "Parity=2\n"
                                                                       "Port=COM1\n"
                                                                       "ReceiveTimeout=1000\n"
                                                                       "RefetchDelay=0\n"
                                                                       "RTSEnabled=1\n"
                                                                       "SendTimeout=1000\n"
                                                                       "SilentInterval=4\n"
                                                                       "StopBits=0\n"
                                                                       "ThreadPriority=3\n"
                                                                       "TransmissionMode=0\n"
                                                                       "TurnaroundDelay=100\n"
                                                                       "[ModbusClient1]\n"
                                                                       "ServerAddress=1\n"
                                                                       "[ModbusServer1]\n"
                                                                       "Address=1\n"));

        // A custom rate writes its line after BaudRate; a standard rate later
        // leaves that line as it is. A number beyond the file's signed range
        // keeps its 32 bits.
        Form->ModbusConnection1->SetCustomBaudRate(250000);
        Form->ModbusConnection1->SetReceiveTimeout(4294967295u);
        Trigger(*Form, "ToolsLogTransactionsToFileItem");
        // (A key new to the file goes to the end of its section.)
        QByteArray Text = Dir.Read(Settings);
        QVERIFY2(Text.contains("\nBaudRate=15\nConnectionMode=0\n"), Text.constData());
        QVERIFY2(Text.contains("\nTurnaroundDelay=100\nCustomBaudRate=250000\n[ModbusClient1]\n"),
                 Text.constData());
        QVERIFY(Text.contains("\nReceiveTimeout=-1\n"));
        Form->ModbusConnection1->SetBaudRate(br9600);
        Trigger(*Form, "ToolsLogTransactionsToFileItem");
        Text = Dir.Read(Settings);
        QVERIFY2(Text.contains("\nBaudRate=6\nConnectionMode=0\n"), Text.constData());
        QVERIFY2(Text.contains("\nTurnaroundDelay=100\nCustomBaudRate=250000\n[ModbusClient1]\n"),
                 Text.constData());
        QVERIFY(Text.startsWith("[General]\nLogTransactionsToFile=1\n"));

        // A new window reads the 32 bits back.
        const auto Again = Start(Dir);
        QCOMPARE(Again->ModbusConnection1->ReceiveTimeout(), 4294967295u);
        QCOMPARE(Again->ModbusConnection1->BaudRate(), br9600);
        QCOMPARE(Again->ModbusConnection1->CustomBaudRate(), 19200u);
    }

    void LoadingConvertsStoredValues_data() {
        QTest::addColumn<QStringList>("Lines");
        QTest::addColumn<int>("BaudRate");
        QTest::addColumn<uint>("CustomBaudRate");
        QTest::newRow("custom rate") << QStringList{QStringLiteral("BaudRate=15"),
                                                    QStringLiteral("CustomBaudRate=250000")}
                                     << int(brCustom) << 250000u;
        QTest::newRow("standard rate ignores the custom line")
            << QStringList{QStringLiteral("BaudRate=8"), QStringLiteral("CustomBaudRate=250000")}
            << int(br19200) << 19200u;
        QTest::newRow("hexadecimal rate")
            << QStringList{QStringLiteral("BaudRate=$F"), QStringLiteral("CustomBaudRate=0x3D090")}
            << int(brCustom) << 250000u;
    }

    void LoadingConvertsStoredValues() {
        QFETCH(QStringList, Lines);
        QFETCH(int, BaudRate);
        QFETCH(uint, CustomBaudRate);
        TDataDir Dir;
        Dir.CopyIntroduction();
        Dir.WriteSettings(
            QStringList{QStringLiteral("[General]"), QStringLiteral("LogTransactionsToFile=2"),
                        QStringLiteral("[ModbusConnection1]"), QStringLiteral("Port=") + Dir.MissingPort(),
                        QStringLiteral("ReceiveTimeout=0x3E8"), QStringLiteral("SendTimeout=$7D0"),
                        QStringLiteral("TurnaroundDelay=abc"), QStringLiteral("RefetchDelay=-1"),
                        QStringLiteral("DataBits=0"), QStringLiteral("DTREnabled=0"),
                        QStringLiteral("ThreadPriority=6"), QStringLiteral("TransmissionMode=1")} +
            Lines);
        TModalWatcher Watcher;
        const auto Form = Start(Dir);
        const TModbusConnection& C = *Form->ModbusConnection1;
        QCOMPARE(int(C.BaudRate()), BaudRate);
        QCOMPARE(C.CustomBaudRate(), CustomBaudRate);
        QCOMPARE(C.ReceiveTimeout(), 1000u);
        QCOMPARE(C.SendTimeout(), 2000u);
        QCOMPARE(C.TurnaroundDelay(), 100u);
        QCOMPARE(C.RefetchDelay(), 4294967295u);
        QCOMPARE(C.DataBits(), db7);
        QVERIFY(!C.DTREnabled());
        QCOMPARE(C.ThreadPriority(), tpTimeCritical);
        QCOMPARE(C.TransmissionMode(), tmASCII);
        QVERIFY(MenuItem(*Form, "ToolsLogTransactionsToFileItem")->isChecked());
        QCOMPARE(LogTexts(*Form).mid(0, 15), WelcomeLines(true));

        // Saved back in the program's own forms.
        Watcher.Answer(QStringLiteral("1"));
        Trigger(*Form, "ToolsClientOptionsItem");
        const QByteArray Text = Dir.Read(Settings);
        QVERIFY(Text.contains("\nLogTransactionsToFile=1\n"));
        QVERIFY(Text.contains("\nReceiveTimeout=1000\n"));
        QVERIFY(Text.contains("\nRefetchDelay=-1\n"));
        QVERIFY(Text.contains("\nTurnaroundDelay=100\n"));
    }

    void RejectedValuesKeepTheirDefaults() {
        TDataDir Dir;
        Dir.CopyIntroduction();
        Dir.WriteSettings({QStringLiteral("[ModbusConnection1]"), QStringLiteral("Port=") + Dir.MissingPort(),
                           QStringLiteral("BaudRate=15"), QStringLiteral("CustomBaudRate=0"),
                           QStringLiteral("ConnectionMode=7"), QStringLiteral("MaxRetries=0"),
                           QStringLiteral("Parity=-1"), QStringLiteral("SilentInterval=500000"),
                           QStringLiteral("StopBits=1"), // a good value after the bad ones still loads
                           QStringLiteral("[ModbusClient1]"), QStringLiteral("ServerAddress=256"),
                           QStringLiteral("[ModbusServer1]"), QStringLiteral("Address=0x0")});
        TModalWatcher Watcher;
        const auto Form = Start(Dir);
        const TModbusConnection& C = *Form->ModbusConnection1;
        QCOMPARE(C.CustomBaudRate(), 19200u);
        QCOMPARE(C.ConnectionMode(), cmClient);
        QCOMPARE(C.MaxRetries(), 1u);
        QCOMPARE(C.Parity(), psEven);
        QCOMPARE(C.SilentInterval(), 4u);
        QCOMPARE(C.StopBits(), sb2);
        QCOMPARE(Form->ModbusClient1->ServerAddress(), 1);
        QCOMPARE(Form->ModbusServer1->Address(), 1);

        const QString Line =
            QStringLiteral("Setting %1 in [%2] has the invalid value '%3' (%4); its default is used.");
        const QStringList Expected = {
            Line.arg(QStringLiteral("CustomBaudRate"), QStringLiteral("ModbusConnection1"),
                     QStringLiteral("0"), QStringLiteral("Value must be between 1 and 4294967295")),
            Line.arg(QStringLiteral("ConnectionMode"), QStringLiteral("ModbusConnection1"),
                     QStringLiteral("7"), QStringLiteral("Value must be between 0 and 1")),
            Line.arg(QStringLiteral("MaxRetries"), QStringLiteral("ModbusConnection1"), QStringLiteral("0"),
                     QStringLiteral("Value must be between 1 and 4294967295")),
            Line.arg(QStringLiteral("Parity"), QStringLiteral("ModbusConnection1"), QStringLiteral("-1"),
                     QStringLiteral("Value must be between 0 and 2")),
            Line.arg(QStringLiteral("SilentInterval"), QStringLiteral("ModbusConnection1"),
                     QStringLiteral("500000"), QStringLiteral("Value must be between 0 and 390451")),
            Line.arg(QStringLiteral("ServerAddress"), QStringLiteral("ModbusClient1"), QStringLiteral("256"),
                     QStringLiteral("Range check error")),
            Line.arg(QStringLiteral("Address"), QStringLiteral("ModbusServer1"), QStringLiteral("0x0"),
                     QStringLiteral("Value must be between 1 and 247")),
        };
        const QStringList Texts = LogTexts(*Form);
        QCOMPARE(Texts.mid(0, Expected.size()), Expected);
        QCOMPARE(Texts.mid(Expected.size(), 15), WelcomeLines(false));
        QCOMPARE(Watcher.Records().size(), 1); // the open failure only
    }

    void SavingKeepsWhatTheProgramDoesNotKnow() {
        TDataDir Dir;
        Dir.CopyIntroduction();
        Dir.Write(Settings, ("; written by hand\r\n"
                             "[ModbusConnection1]\r\n"
                             "Unknown=stays\r\n"
                             "baudrate=6\r\n"
                             "CustomBaudRate=57601\r\n"
                             "Port=" +
                             Dir.MissingPort() +
                             "\r\n"
                             "\r\n"
                             "[Other]\r\n"
                             "Key=1\r\n")
                                .toUtf8());
        TModalWatcher Watcher;
        const auto Form = Start(Dir);
        QCOMPARE(Form->ModbusConnection1->BaudRate(), br9600);
        Watcher.Answer(QStringLiteral("3"));
        Trigger(*Form, "ToolsClientOptionsItem");
        QCOMPARE(QString::fromUtf8(Dir.Read(Settings)), QStringLiteral("; written by hand\r\n"
                                                                       "[ModbusConnection1]\r\n"
                                                                       "Unknown=stays\r\n"
                                                                       "BaudRate=6\r\n"
                                                                       "CustomBaudRate=57601\r\n"
                                                                       "Port=%1\r\n"
                                                                       "ConnectionMode=0\r\n"
                                                                       "DataBits=1\r\n"
                                                                       "DTREnabled=1\r\n"
                                                                       "EchoQueryBeforeReply=0\r\n"
                                                                       "FlowControl=0\r\n"
                                                                       "MaxRetries=1\r\n"
                                                                       "Parity=2\r\n"
                                                                       "ReceiveTimeout=1000\r\n"
                                                                       "RefetchDelay=0\r\n"
                                                                       "RTSEnabled=1\r\n"
                                                                       "SendTimeout=1000\r\n"
                                                                       "SilentInterval=4\r\n"
                                                                       "StopBits=0\r\n"
                                                                       "ThreadPriority=3\r\n"
                                                                       "TransmissionMode=0\r\n"
                                                                       "TurnaroundDelay=100\r\n"
                                                                       "\r\n"
                                                                       "[Other]\r\n"
                                                                       "Key=1\r\n"
                                                                       "[General]\r\n"
                                                                       "LogTransactionsToFile=0\r\n"
                                                                       "[ModbusClient1]\r\n"
                                                                       "ServerAddress=3\r\n"
                                                                       "[ModbusServer1]\r\n"
                                                                       "Address=1\r\n")
                                                            .arg(Dir.MissingPort()));
    }

    void ConnectionOptionsCancelRefreshesTheView() {
        TDataDir Dir;
        Dir.CopyIntroduction();
        Dir.WriteSettings(
            {QStringLiteral("[ModbusConnection1]"), QStringLiteral("Port=") + Dir.MissingPort()});
        const QByteArray Stored = Dir.Read(Settings);
        TModalWatcher Watcher;
        const auto Form = Start(Dir);
        const int Lines = static_cast<int>(LogLines(*Form).size());
        Form->ModbusClient1->SetServerAddress(5);
        CancelConnectionDialogWhenShown();
        Trigger(*Form, "ToolsConnectionOptionsItem");
        QCOMPARE(StatusPanel(*Form, 1), QStringLiteral("Remote server address: 5"));
        QCOMPARE(Dir.Read(Settings), Stored);
        QVERIFY(!Form->ModbusConnection1->Active());
        QCOMPARE(static_cast<int>(LogLines(*Form).size()), Lines);
    }

    void IntroductionView() {
        TDataDir Dir;
        Dir.WriteSettings(
            {QStringLiteral("[ModbusConnection1]"), QStringLiteral("Port=") + Dir.MissingPort()});
        {
            TModalWatcher Watcher;
            const auto Form = Start(Dir);
            QCOMPARE(Watcher.MessageTexts().size(), 2);
            QCOMPARE(Watcher.MessageTexts()[1],
                     QStringLiteral("Cannot open file \"%1\". No such file or directory.")
                         .arg(Dir.File(QStringLiteral("Introduction.rtf"))));
            QCOMPARE(Form->findChild<QTextEdit*>(QStringLiteral("IntroductionRichEdit"))->toPlainText(),
                     QString());
        }
        Dir.CopyIntroduction();
        TModalWatcher Watcher;
        const auto Form = Start(Dir);
        QCOMPARE(Watcher.MessageTexts().size(), 1);
        auto* View = Form->findChild<QTextEdit*>(QStringLiteral("IntroductionRichEdit"));
        QVERIFY(View->isReadOnly());
        const QString Text = View->toPlainText();
        QVERIFY(Text.startsWith(QStringLiteral("Quorvel Demo\n")));
        QVERIFY(!Text.contains(QLatin1Char('\\')));
        QVERIFY(!Text.contains(QStringLiteral("rtf1")));
    }
};

QUORVEL_DEMO_SUITE(MainWindowTest);

#include "MainWindowTest.moc"
