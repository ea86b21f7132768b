// The client operation pages: edits, write lists, buttons and the reports of
// their completions, driven as a user would (typing, leaving edits, clicking,
// toggling rows, editing register values in place) against the pymodbus
// serial server on a pty bridge.
//
// The peer (Tests/Interop/Peers/pymodbus_server.py) serves unit 17: coil i on
// when i % 3 == 0, discrete input i on when i % 5 is 1 or 2, holding register
// i = 1000 + i, input register i = 2000 + i for addresses 0..99, exception 2
// from 100 on; its diagnostic counters are preset (bus messages 11) and its
// identity reads "Quorvel-QVPEER-3.0" with the run indicator 0xFF. It stays
// silent for other units and carries out broadcasts without a reply. One peer
// serves the whole suite, so each test writes to addresses of its own.

#include "DemoFixture.h"
#include "DemoSuites.h"

#include "Support/PeerProcess.h"
#include "Support/PtyBridge.h"

#include "DiagnosticsPage.h"
#include "DiscreteAccessPage.h"
#include "QuorvelDemoMain.h"
#include "RegisterAccessPage.h"

#include <QApplication>
#include <QHeaderView>
#include <QLineEdit>
#include <QTabWidget>
#include <QTableWidget>
#include <QTest>

#include <functional>
#include <memory>

using namespace QuorvelDemoTest;
using namespace Quorvel;

namespace {

constexpr int PeerUnit = 17;
constexpr int ReplyTimeout = 10000;

QString Hex(const QByteArray& Bytes) {
    QString Text;
    for (const char B : Bytes)
        Text += QStringLiteral("%1 ").arg(static_cast<unsigned char>(B), 2, 16, QLatin1Char('0')).toUpper();
    return Text;
}

class ClientPanelsTest : public QObject {
    Q_OBJECT

    std::unique_ptr<QuorvelTest::TPtyBridge> Bridge;
    std::unique_ptr<QuorvelTest::TPeerProcess> Peer;
    std::unique_ptr<TDataDir> Dir;
    std::unique_ptr<TModalWatcher> Watcher;
    std::unique_ptr<TQuorvelDemoMainForm> Form;
    TDiscreteAccessPage* Discrete = nullptr;
    TRegisterAccessPage* Registers = nullptr;
    TDiagnosticsPage* Diagnostics = nullptr;

    void Show(QWidget* Page) {
        Form->findChild<QTabWidget*>(QStringLiteral("PageControl1"))->setCurrentWidget(Page);
    }

    // Replaces the edit's text by typing, as a user would.
    static void Type(QLineEdit* Edit, const QString& Text) {
        Edit->setFocus(Qt::MouseFocusReason);
        QTest::keyClick(Edit, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClick(Edit, Qt::Key_Delete);
        QTest::keyClicks(Edit, Text);
    }

    // Types into the edit and leaves it with Tab.
    static void TypeAndLeave(QLineEdit* Edit, const QString& Text) {
        Type(Edit, Text);
        QTest::keyClick(Edit, Qt::Key_Tab);
    }

    // After a message box: the window takes the focus back, as it does when
    // the user closes the box (the offscreen platform leaves it inactive).
    void Reactivate() {
        Form->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(Form.get()));
    }

    static void Click(QAbstractButton* Button) { QTest::mouseClick(Button, Qt::LeftButton); }

    // The log's lines from the request line of Title on (the last one).
    QStringList SinceInit(const QString& Title) const {
        const QStringList Texts = LogTexts(*Form);
        const QString Init = QStringLiteral("INIT: %1 [ID: ").arg(Title);
        for (qsizetype I = Texts.size() - 1; I >= 0; --I)
            if (Texts[I].startsWith(Init))
                return Texts.mid(I);
        return {};
    }

    // The report of the last request of Title: its completion line up to and
    // with the empty line that ends it, without frame dumps. Empty while the
    // report has not arrived.
    QStringList Report(const QString& Title) const {
        QStringList Lines;
        bool InReport = false;
        for (const QString& Line : SinceInit(Title)) {
            if (Line.startsWith(QLatin1String("TX: ")) || Line.startsWith(QLatin1String("RX: ")))
                continue;
            if (Line.startsWith(QStringLiteral("DONE: %1 [ID: ").arg(Title)))
                InReport = true;
            if (InReport) {
                Lines << Line;
                if (Line.isEmpty())
                    return Lines;
            }
        }
        return {};
    }

    // The ID of the last request line of Title.
    QString InitID(const QString& Title) const {
        const QStringList Lines = SinceInit(Title);
        if (Lines.isEmpty())
            return QString();
        return Lines.front().section(QStringLiteral("[ID: "), 1).chopped(1);
    }

    QStringList AwaitReport(const QString& Title) {
        QStringList Lines;
        if (!QTest::qWaitFor([&] { return !(Lines = Report(Title)).isEmpty(); }, ReplyTimeout))
            qWarning() << "no report of" << Title << "within" << ReplyTimeout << "ms";
        return Lines;
    }

    static QStringList Done(const QString& Title, const QString& ID, const QStringList& Data) {
        return QStringList{QStringLiteral("DONE: %1 [ID: %2]").arg(Title, ID),
                           QStringLiteral("SUCCESS: Normal response")} +
               Data + QStringList{QString()};
    }

    // Edits row Row's value in place: select it, Enter, type, Enter.
    void EditRegisterValue(int Row, const QString& Text) {
        QTableWidget* List = Registers->RegisterListView;
        List->setFocus(Qt::MouseFocusReason);
        List->selectRow(Row);
        QTest::keyClick(List, Qt::Key_Return);
        auto* Editor = qobject_cast<QLineEdit*>(QApplication::focusWidget());
        QVERIFY2(Editor != nullptr && List->isAncestorOf(Editor), "Enter opens no editor");
        QTest::keyClick(Editor, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClicks(Editor, Text);
        QTest::keyClick(Editor, Qt::Key_Return);
        // The view commits the text and closes the editor on its next turn.
        QTRY_VERIFY(!Registers->RegisterValueEditing());
    }

    QString RegisterValue(int Row) const { return Registers->RegisterListView->item(Row, 0)->text(); }

private slots:
    void initTestCase() {
        Bridge = std::make_unique<QuorvelTest::TPtyBridge>();
        Peer = std::make_unique<QuorvelTest::TPeerProcess>(std::vector<std::string>{
            QUORVEL_PYTHON, QUORVEL_PYMODBUS_SERVER, "rtu", Bridge->SlavePathA(), std::to_string(PeerUnit)});
    }

    void cleanupTestCase() {
        Peer.reset();
        Bridge.reset();
    }

    void init() {
        Dir = std::make_unique<TDataDir>();
        Dir->CopyIntroduction();
        // 19200 baud is the default; a pty takes no parity.
        Dir->WriteSettings({QStringLiteral("[ModbusConnection1]"), QStringLiteral("Parity=0"),
                            QStringLiteral("ReceiveTimeout=1500"),
                            QStringLiteral("Port=") + QString::fromStdString(Bridge->SlavePathB()),
                            QStringLiteral("[ModbusClient1]"),
                            QStringLiteral("ServerAddress=%1").arg(PeerUnit)});
        Watcher = std::make_unique<TModalWatcher>();
        Form = std::make_unique<TQuorvelDemoMainForm>(nullptr, Dir->Path());
        QCOMPARE(Watcher->MessageTexts(), QStringList());
        QVERIFY(Form->ModbusConnection1->Active());
        Discrete = Form->findChild<TDiscreteAccessPage*>(QStringLiteral("DiscreteAccessTabSheet"));
        Registers = Form->findChild<TRegisterAccessPage*>(QStringLiteral("RegisterAccessTabSheet"));
        Diagnostics = Form->findChild<TDiagnosticsPage*>(QStringLiteral("DiagnosticsTabSheet"));
        QVERIFY(Discrete && Registers && Diagnostics);
        Form->show();
        Form->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(Form.get()));
    }

    void cleanup() {
        Form.reset();
        Watcher.reset();
        Dir.reset();
    }

    void InitialControls() {
        QCOMPARE(Discrete->ReadStartBitEdit->text(), QStringLiteral("0"));
        QCOMPARE(Discrete->ReadBitCountEdit->text(), QStringLiteral("1"));
        QCOMPARE(Discrete->WriteBitCountEdit->text(), QStringLiteral("1"));
        QCOMPARE(Registers->ReadRegCountEdit->text(), QStringLiteral("1"));
        QCOMPARE(Registers->AndMaskEdit->text(), QStringLiteral("0"));
        QVERIFY(!Discrete->DiscreteBroadcastCheckBox->isChecked());
        QVERIFY(!Registers->RegisterBroadcastCheckBox->isChecked());

        // One unchecked coil row and one register row for address 0, value "0".
        QCOMPARE(Discrete->DiscreteListView->rowCount(), 1);
        QCOMPARE(Discrete->DiscreteListView->item(0, 0)->text(), QStringLiteral("Coil 0"));
        QCOMPARE(Discrete->DiscreteListView->item(0, 0)->checkState(), Qt::Unchecked);
        QVERIFY(Discrete->WriteSingleCoilButton->isEnabled());
        QCOMPARE(Registers->RegisterListView->rowCount(), 1);
        QCOMPARE(RegisterValue(0), QStringLiteral("0"));
        QCOMPARE(Registers->RegisterListView->item(0, 1)->text(), QStringLiteral("Register 0"));
        QVERIFY(Registers->WriteSingleRegisterButton->isEnabled());
        // The address column is shown first.
        QCOMPARE(Registers->RegisterListView->horizontalHeader()->visualIndex(1), 0);

        QCOMPARE(Diagnostics->DiagnosticActionCount(), 15);
        QCOMPARE(Diagnostics->DiagnosticActionIndex(), 0);
        QCOMPARE(Diagnostics->DiagnosticActionCaption(6), QStringLiteral("Return Bus Message Count"));
        QCOMPARE(
            Discrete->ReadCoilsButton->toolTip(),
            QStringLiteral("Asynchronously initiates a transaction based on Modbus command \"Read Coils "
                           "(code $01)\".\nThis command is used to read the status of a contiguous block of "
                           "coils in a remote server."));
        for (QWidget* Page : {static_cast<QWidget*>(Discrete), static_cast<QWidget*>(Registers),
                              static_cast<QWidget*>(Diagnostics)}) {
            Show(Page);
            SaveScreenshot(*Form, Page->objectName() + QStringLiteral(".png"));
        }
    }

    void ReportsOfRepresentativeCommands() {
        struct TCase {
            const char* Name;
            QWidget* Page;
            std::function<void()> Start;
            QString Title;
            QStringList Data;
        };
        const QString Identity = QStringLiteral("Quorvel-QVPEER-3.0");
        const TCase Cases[] = {
            {"holding registers 10 and 11",
             Registers,
             [&] {
                 Type(Registers->ReadStartRegEdit, QStringLiteral("10"));
                 Type(Registers->ReadRegCountEdit, QStringLiteral("2"));
                 Click(Registers->ReadHoldingRegistersButton);
             },
             QStringLiteral("Read Holding Registers (code $03)"),
             {QStringLiteral("2 holding registers were processed."),
              QStringLiteral("Value of holding register 10 is 1010"),
              QStringLiteral("Value of holding register 11 is 1011")}},
            {"hexadecimal count",
             Registers,
             [&] {
                 Type(Registers->ReadStartRegEdit, QStringLiteral("x50"));
                 Type(Registers->ReadRegCountEdit, QStringLiteral("$2"));
                 Click(Registers->ReadInputRegistersButton);
             },
             QStringLiteral("Read Input Registers (code $04)"),
             {QStringLiteral("2 input registers were processed."),
              QStringLiteral("Value of input register 80 is 2080"),
              QStringLiteral("Value of input register 81 is 2081")}},
            {"one coil",
             Discrete,
             [&] {
                 Type(Discrete->ReadStartBitEdit, QStringLiteral("3"));
                 Type(Discrete->ReadBitCountEdit, QStringLiteral("1"));
                 Click(Discrete->ReadCoilsButton);
             },
             QStringLiteral("Read Coils (code $01)"),
             {QStringLiteral("1 coil was processed."), QStringLiteral("Coil 3 is ON.")}},
            {"discrete inputs",
             Discrete,
             [&] {
                 Type(Discrete->ReadStartBitEdit, QStringLiteral("5"));
                 Type(Discrete->ReadBitCountEdit, QStringLiteral("2"));
                 Click(Discrete->ReadDiscreteInputsButton);
             },
             QStringLiteral("Read Discrete Inputs (code $02)"),
             {QStringLiteral("2 discrete inputs were processed."), QStringLiteral("Discrete input 5 is OFF."),
              QStringLiteral("Discrete input 6 is ON.")}},
            {"read/write multiple",
             Registers,
             [&] {
                 TypeAndLeave(Registers->WriteStartRegEdit, QStringLiteral("20"));
                 TypeAndLeave(Registers->WriteRegCountEdit, QStringLiteral("2"));
                 EditRegisterValue(0, QStringLiteral("7"));
                 EditRegisterValue(1, QStringLiteral("8"));
                 Type(Registers->ReadStartRegEdit, QStringLiteral("19"));
                 Type(Registers->ReadRegCountEdit, QStringLiteral("3"));
                 Click(Registers->ReadWriteMultipleRegistersButton);
             },
             QStringLiteral("Read/Write Multiple Registers (code $17)"),
             {QStringLiteral("WRITE OPERATION:"), QStringLiteral("2 holding registers were processed."),
              QStringLiteral("Value of holding register 20 is 7"),
              QStringLiteral("Value of holding register 21 is 8"), QStringLiteral("READ OPERATION:"),
              QStringLiteral("3 holding registers were processed."),
              QStringLiteral("Value of holding register 19 is 1019"),
              QStringLiteral("Value of holding register 20 is 7"),
              QStringLiteral("Value of holding register 21 is 8")}},
            {"mask write",
             Registers,
             [&] {
                 Type(Registers->MaskWriteRegAddrEdit, QStringLiteral("30"));
                 Type(Registers->AndMaskEdit, QStringLiteral("$FF00"));
                 Type(Registers->OrMaskEdit, QStringLiteral("5"));
                 Click(Registers->MaskWriteSingleRegisterButton);
             },
             QStringLiteral("Mask Write Register (code $16)"),
             {QStringLiteral("1 holding register was processed."),
              QStringLiteral("Register: 30 | AND mask: 65280 | OR mask: 5")}},
            {"diagnostics value action",
             Diagnostics,
             [&] {
                 Diagnostics->findChild<QAbstractButton*>(QStringLiteral("DiagnosticActionRadioButton6"))
                     ->click();
                 Click(Diagnostics->DiagnosticsButton);
             },
             QStringLiteral("Diagnostics (code $08)"),
             {QStringLiteral("\"Return Bus Message Count\" action returned the value 11.")}},
            {"diagnostics echo",
             Diagnostics,
             [&] {
                 Diagnostics->findChild<QAbstractButton*>(QStringLiteral("DiagnosticActionRadioButton0"))
                     ->click();
                 Click(Diagnostics->DiagnosticsButton);
             },
             QStringLiteral("Diagnostics (code $08)"),
             {QStringLiteral(
                 "\"Return Query Data\" action was performed by the server. It appears to be responding.")}},
            {"exception status",
             Diagnostics,
             [&] { Click(Diagnostics->ReadExceptionStatusButton); },
             QStringLiteral("Read Exception Status (code $07)"),
             // 0xAD: bits 0, 2, 3, 5 and 7.
             {QStringLiteral("8 exception status bits were processed."),
              QStringLiteral("Exception status bit 0 is ON."),
              QStringLiteral("Exception status bit 1 is OFF."),
              QStringLiteral("Exception status bit 2 is ON."),
              QStringLiteral("Exception status bit 3 is ON."),
              QStringLiteral("Exception status bit 4 is OFF."),
              QStringLiteral("Exception status bit 5 is ON."),
              QStringLiteral("Exception status bit 6 is OFF."),
              QStringLiteral("Exception status bit 7 is ON.")}},
            {"report server ID",
             Diagnostics,
             [&] { Click(Diagnostics->ReportServerIDButton); },
             QStringLiteral("Report Server ID (code $11)"),
             {QStringLiteral("Size of server identification info is 19 bytes."),
              Hex(Identity.toLatin1() + QByteArray(1, '\xFF'))}},
        };
        for (const TCase& Case : Cases) {
            Show(Case.Page);
            Case.Start();
            const QString ID = InitID(Case.Title);
            QVERIFY2(!ID.isEmpty(), Case.Name);
            const QStringList Lines = AwaitReport(Case.Title);
            if (Lines != Done(Case.Title, ID, Case.Data))
                qWarning() << Case.Name << Lines;
            QCOMPARE(Lines, Done(Case.Title, ID, Case.Data));
        }
        QCOMPARE(Watcher->MessageTexts(), QStringList());
    }

    void FailureReports() {
        Show(Registers);
        // Outside the peer's map: exception 2, with the client's text.
        Type(Registers->ReadStartRegEdit, QStringLiteral("100"));
        Click(Registers->ReadHoldingRegistersButton);
        const QString Holding = QStringLiteral("Read Holding Registers (code $03)");
        QCOMPARE(AwaitReport(Holding),
                 QStringList({QStringLiteral("DONE: %1 [ID: %2]").arg(Holding, InitID(Holding)),
                              QStringLiteral("FAILURE: Modbus exception response"),
                              QStringLiteral("Server exception: ") +
                                  QString::fromStdString(Form->ModbusClient1->ExceptionCodeToStr(2)),
                              QString()}));

        // Another unit: the peer stays silent.
        Form->ModbusClient1->SetServerAddress(PeerUnit + 1);
        Show(Discrete);
        Click(Discrete->ReadCoilsButton);
        const QString Coils = QStringLiteral("Read Coils (code $01)");
        QCOMPARE(AwaitReport(Coils),
                 QStringList({QStringLiteral("DONE: %1 [ID: %2]").arg(Coils, InitID(Coils)),
                              QStringLiteral("FAILURE: Response timeout expired"), QString()}));
        QCOMPARE(Watcher->MessageTexts(), QStringList());
    }

    void BroadcastHasNoteAndNoReport() {
        Show(Registers);
        TypeAndLeave(Registers->WriteStartRegEdit, QStringLiteral("40"));
        TypeAndLeave(Registers->WriteRegCountEdit, QStringLiteral("2"));
        EditRegisterValue(0, QStringLiteral("41"));
        EditRegisterValue(1, QStringLiteral("42"));
        Registers->RegisterBroadcastCheckBox->click();
        Click(Registers->WriteMultipleRegistersButton);
        const QString Title = QStringLiteral("Write Multiple Registers (code $10)");
        QStringList Lines = SinceInit(Title);
        QVERIFY(!Lines.isEmpty());
        QCOMPARE(Lines.mid(1), QStringList({QStringLiteral(
                                   "Broadcasting mode: No reply is expected to be returned from a remote "
                                   "server(s).")}));

        // The peer carried it out; a read afterwards shows the values.
        Type(Registers->ReadStartRegEdit, QStringLiteral("40"));
        Type(Registers->ReadRegCountEdit, QStringLiteral("2"));
        Click(Registers->ReadHoldingRegistersButton);
        const QString Read = QStringLiteral("Read Holding Registers (code $03)");
        QCOMPARE(AwaitReport(Read), Done(Read, InitID(Read),
                                         {QStringLiteral("2 holding registers were processed."),
                                          QStringLiteral("Value of holding register 40 is 41"),
                                          QStringLiteral("Value of holding register 41 is 42")}));
        // Well past the broadcast's turnaround: still no completion for it.
        QTest::qWait(1500);
        for (const QString& Line : LogTexts(*Form))
            QVERIFY2(!Line.startsWith(QStringLiteral("DONE: %1").arg(Title)), qPrintable(Line));
        QCOMPARE(Watcher->MessageTexts(), QStringList());
    }

    void EditErrors_data() {
        QTest::addColumn<QString>("Edit");
        QTest::addColumn<QString>("Text");
        QTest::addColumn<QString>("Button");
        QTest::addColumn<QString>("Message");
        QTest::newRow("bit count too large") << "ReadBitCountEdit"
                                             << "2009"
                                             << "ReadCoilsButton"
                                             << "Value must be between 1 and 2008.";
        QTest::newRow("bit count no number") << "ReadBitCountEdit"
                                             << "ten"
                                             << "ReadDiscreteInputsButton"
                                             << "'ten' is not a valid integer value.";
        QTest::newRow("negative start") << "ReadStartBitEdit"
                                        << "-1"
                                        << "ReadCoilsButton"
                                        << "Value must be between 0 and 65535.";
        QTest::newRow("register count") << "ReadRegCountEdit"
                                        << "126"
                                        << "ReadHoldingRegistersButton"
                                        << "Value must be between 1 and 125.";
        QTest::newRow("read part of read/write") << "ReadStartRegEdit"
                                                 << "$10000"
                                                 << "ReadWriteMultipleRegistersButton"
                                                 << "Value must be between 0 and 65535.";
        QTest::newRow("OR mask") << "OrMaskEdit"
                                 << "0x"
                                 << "MaskWriteSingleRegisterButton"
                                 << "'0x' is not a valid integer value.";
    }

    void EditErrors() {
        QFETCH(QString, Edit);
        QFETCH(QString, Text);
        QFETCH(QString, Button);
        QFETCH(QString, Message);
        auto* Line = Form->findChild<QLineEdit*>(Edit);
        auto* Push = Form->findChild<QAbstractButton*>(Button);
        QVERIFY(Line && Push);
        Show(Line->parentWidget()->parentWidget());
        Type(Line, Text);
        const qsizetype LogSize = LogLines(*Form).size();
        Click(Push);
        QTRY_COMPARE(Watcher->MessageTexts(), QStringList({Message}));
        QTRY_COMPARE(Form->focusWidget(), Line);
        // No request was sent or logged.
        QTest::qWait(200);
        QCOMPARE(LogLines(*Form).size(), LogSize);
        QCOMPARE(Form->ModbusConnection1->CountPendingTransactions(nullptr), 0);
    }

    void CoilListFollowsItsEdits() {
        Show(Discrete);
        QTableWidget* List = Discrete->DiscreteListView;
        // The space bar checks the selected row.
        List->setFocus(Qt::MouseFocusReason);
        List->setCurrentCell(0, 0);
        QTest::keyClick(List, Qt::Key_Space);
        QCOMPARE(List->item(0, 0)->checkState(), Qt::Checked);

        TypeAndLeave(Discrete->WriteBitCountEdit, QStringLiteral("3"));
        QCOMPARE(List->rowCount(), 3);
        for (int Row = 0; Row < 3; ++Row)
            QCOMPARE(List->item(Row, 0)->text(), QStringLiteral("Coil %1").arg(Row));
        QCOMPARE(List->item(0, 0)->checkState(), Qt::Checked);
        QCOMPARE(List->item(2, 0)->checkState(), Qt::Unchecked);
        QVERIFY(!Discrete->WriteSingleCoilButton->isEnabled());

        // A bad count leaves the rows as they are and keeps the focus.
        TypeAndLeave(Discrete->WriteBitCountEdit, QStringLiteral("1977"));
        QTRY_COMPARE(Watcher->MessageTexts(),
                     QStringList({QStringLiteral("Value must be between 1 and 1976.")}));
        QTRY_COMPARE(Form->focusWidget(), Discrete->WriteBitCountEdit);
        QCOMPARE(List->rowCount(), 3);
        Watcher->Clear();
        Reactivate();

        // Write coils 60..62 as ON, OFF, ON and read them back.
        TypeAndLeave(Discrete->WriteBitCountEdit, QStringLiteral("3"));
        TypeAndLeave(Discrete->WriteStartBitEdit, QStringLiteral("60"));
        QCOMPARE(List->item(2, 0)->text(), QStringLiteral("Coil 62"));
        List->setFocus(Qt::MouseFocusReason);
        List->setCurrentCell(0, 0);
        QTest::keyClick(List, Qt::Key_Space); // back to OFF
        QCOMPARE(List->item(0, 0)->checkState(), Qt::Unchecked);
        QTest::keyClick(List, Qt::Key_Space);
        List->setCurrentCell(2, 0);
        QTest::keyClick(List, Qt::Key_Space);
        Click(Discrete->WriteMultipleCoilsButton);
        const QString Write = QStringLiteral("Write Multiple Coils (code $0F)");
        QCOMPARE(AwaitReport(Write),
                 Done(Write, InitID(Write),
                      {QStringLiteral("3 coils were processed."), QStringLiteral("Coil 60 is ON."),
                       QStringLiteral("Coil 61 is OFF."), QStringLiteral("Coil 62 is ON.")}));
        Type(Discrete->ReadStartBitEdit, QStringLiteral("60"));
        Type(Discrete->ReadBitCountEdit, QStringLiteral("3"));
        Click(Discrete->ReadCoilsButton);
        const QString Read = QStringLiteral("Read Coils (code $01)");
        QCOMPARE(AwaitReport(Read),
                 Done(Read, InitID(Read),
                      {QStringLiteral("3 coils were processed."), QStringLiteral("Coil 60 is ON."),
                       QStringLiteral("Coil 61 is OFF."), QStringLiteral("Coil 62 is ON.")}));

        // Back to one row: the single write is enabled and uses the first row.
        TypeAndLeave(Discrete->WriteBitCountEdit, QStringLiteral("1"));
        QCOMPARE(List->rowCount(), 1);
        QVERIFY(Discrete->WriteSingleCoilButton->isEnabled());
        Click(Discrete->WriteSingleCoilButton);
        const QString Single = QStringLiteral("Write Single Coil (code $05)");
        QCOMPARE(AwaitReport(Single),
                 Done(Single, InitID(Single),
                      {QStringLiteral("1 coil was processed."), QStringLiteral("Coil 60 is ON.")}));

        // Labels past the address space are not reduced; the request refuses them.
        TypeAndLeave(Discrete->WriteStartBitEdit, QStringLiteral("65535"));
        TypeAndLeave(Discrete->WriteBitCountEdit, QStringLiteral("2"));
        QCOMPARE(List->item(1, 0)->text(), QStringLiteral("Coil 65536"));
        const qsizetype LogSize = LogLines(*Form).size();
        Click(Discrete->WriteMultipleCoilsButton);
        QTRY_COMPARE(Watcher->MessageTexts().size(), 1);
        QCOMPARE(LogLines(*Form).size(), LogSize);
    }

    void RegisterValuesEditedInPlace() {
        Show(Registers);
        QTableWidget* List = Registers->RegisterListView;
        TypeAndLeave(Registers->WriteRegCountEdit, QStringLiteral("3"));
        QCOMPARE(List->rowCount(), 3);
        QVERIFY(!Registers->WriteSingleRegisterButton->isEnabled());
        QCOMPARE(List->item(2, 1)->text(), QStringLiteral("Register 2"));
        QCOMPARE(RegisterValue(2), QStringLiteral("0"));

        EditRegisterValue(0, QStringLiteral("70000"));
        QCOMPARE(RegisterValue(0), QStringLiteral("4464"));
        EditRegisterValue(1, QStringLiteral("-1"));
        QCOMPARE(RegisterValue(1), QStringLiteral("65535"));
        EditRegisterValue(2, QStringLiteral("$1F"));
        QCOMPARE(RegisterValue(2), QStringLiteral("31"));
        QCOMPARE(Watcher->MessageTexts(), QStringList());

        // A text that is no number restores the value and names the row.
        EditRegisterValue(0, QStringLiteral("lots"));
        QTRY_COMPARE(Watcher->MessageTexts(),
                     QStringList({QStringLiteral("You've entered an invalid value for 'Register 0'")}));
        QCOMPARE(RegisterValue(0), QStringLiteral("4464"));
        Reactivate();

        // A double click on a row's address cell edits its value.
        const QRect Cell = List->visualItemRect(List->item(1, 1));
        QTest::mouseDClick(List->viewport(), Qt::LeftButton, Qt::NoModifier, Cell.center());
        auto* Editor = qobject_cast<QLineEdit*>(QApplication::focusWidget());
        QVERIFY(Editor != nullptr && List->isAncestorOf(Editor));
        QCOMPARE(Editor->text(), QStringLiteral("65535"));
        QTest::keyClick(Editor, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClicks(Editor, QStringLiteral("65536"));
        QTest::keyClick(Editor, Qt::Key_Return);
        QTRY_VERIFY(!Registers->RegisterValueEditing());
        QCOMPARE(RegisterValue(1), QStringLiteral("0"));

        // The rows keep their values when the list grows and shrinks.
        TypeAndLeave(Registers->WriteStartRegEdit, QStringLiteral("50"));
        TypeAndLeave(Registers->WriteRegCountEdit, QStringLiteral("1"));
        QCOMPARE(List->rowCount(), 1);
        QCOMPARE(RegisterValue(0), QStringLiteral("4464"));
        QCOMPARE(List->item(0, 1)->text(), QStringLiteral("Register 50"));
        QVERIFY(Registers->WriteSingleRegisterButton->isEnabled());

        Watcher->Clear();
        Click(Registers->WriteSingleRegisterButton);
        const QString Title = QStringLiteral("Write Single Register (code $06)");
        QCOMPARE(AwaitReport(Title), Done(Title, InitID(Title),
                                          {QStringLiteral("1 holding register was processed."),
                                           QStringLiteral("Value of holding register 50 is 4464")}));
        QCOMPARE(Watcher->MessageTexts(), QStringList());
    }
};

} // namespace

QUORVEL_DEMO_SUITE(ClientPanelsTest);

#include "ClientPanelsTest.moc"
