// The connection options dialog: filling from a connection, the dependent
// controls, the defaults buttons, the page checks, Cancel, applying with and
// without a reopen, and the main window's command around it (mode switch,
// failed reopen, settings saved only after a successful apply). Also the
// --port start-up override.

#include "DemoFixture.h"
#include "DemoSuites.h"

#include "Support/PtyPair.h"

#include "ModbusConnectionEditor.h"
#include "QuorvelDemoApplication.h"
#include "QuorvelDemoMain.h"

#include <QAction>
#include <QApplication>
#include <QRadioButton>
#include <QTest>

#include <functional>
#include <memory>

using namespace QuorvelDemoTest;
using namespace Quorvel;

namespace {

using TForm = TModbusConnectionEditForm;

const QString Settings = QStringLiteral("QuorvelDemo.dat");

// Runs Action on the connection dialog once it is the active modal window;
// a dialog that Action leaves open is cancelled, so a failed check inside
// Action cannot hang the test.
void WhenDialogShown(std::function<void(TForm&)> Action) {
    auto* Timer = new QTimer;
    Timer->setInterval(10);
    QObject::connect(Timer, &QTimer::timeout, [Timer, Action] {
        auto* Dialog = qobject_cast<TForm*>(QApplication::activeModalWidget());
        if (Dialog == nullptr || !Dialog->isVisible())
            return;
        Timer->stop();
        Timer->deleteLater();
        Action(*Dialog);
        if (Dialog->isVisible())
            Dialog->reject();
    });
    Timer->start();
}

// Shows the dialog for Connection without a modal loop.
std::unique_ptr<TForm> ShowFor(const TModbusConnection& Connection) {
    auto Form = std::make_unique<TForm>();
    Form->LoadFromConnection(Connection);
    Form->show();
    return Form;
}

void Click(QGroupBox* Group, int Index) {
    Group->findChildren<QRadioButton*>()[Index]->click();
}

QString Setting(const TDataDir& Dir, const QString& Key) {
    const QString Text = QString::fromUtf8(Dir.Read(Settings));
    for (const QString& Line : Text.split(QLatin1Char('\n')))
        if (Line.startsWith(Key + QLatin1Char('=')))
            return Line.mid(Key.size() + 1).trimmed();
    return QStringLiteral("<none>");
}

void WriteSettingsFor(const TDataDir& Dir, const QString& Port, int Mode = cmClient) {
    Dir.CopyIntroduction();
    Dir.WriteSettings({QStringLiteral("[ModbusConnection1]"), QStringLiteral("Port=") + Port,
                       QStringLiteral("ConnectionMode=%1").arg(Mode)});
}

} // namespace

class ConnectionEditorTest : public QObject {
    Q_OBJECT

private slots:
    void FillsFromTheConnection() {
        TModbusConnection C(nullptr);
        C.SetCustomBaudRate(250000); // selects brCustom
        C.SetEchoQueryBeforeReply(true);
        C.SetDataBits(db7);
        C.SetParity(psOdd);
        C.SetStopBits(sb2);
        C.SetFlowControl(fcRtsCts);
        C.SetDTREnabled(false);
        C.SetTransmissionMode(tmASCII);
        C.SetSilentInterval(20);
        C.SetConnectionMode(cmServer);
        C.SetThreadPriority(tpHighest);
        C.SetRefetchDelay(7);
        C.SetSendTimeout(4294967295u);
        C.SetMaxRetries(3);
        C.SetTurnaroundDelay(250);
        C.SetPort("/dev/pts/Odd Name");
        const auto Form = ShowFor(C);
        QCOMPARE(Form->PortComboBox->currentText(), QStringLiteral("/dev/pts/Odd Name"));
        QCOMPARE(Form->BaudRateComboBox->currentText(), QStringLiteral("Custom"));
        QVERIFY(Form->CustomBaudRateEdit->isVisible());
        QCOMPARE(Form->CustomBaudRateEdit->text(), QStringLiteral("250000"));
        QVERIFY(Form->EchoCheckBox->isChecked());
        QCOMPARE(TForm::ItemIndex(Form->DataBitsRadioGroup), int(db7));
        QCOMPARE(TForm::ItemIndex(Form->ParitySchemeRadioGroup), int(psOdd));
        QCOMPARE(TForm::ItemIndex(Form->StopBitsRadioGroup), int(sb2));
        QCOMPARE(TForm::ItemIndex(Form->FlowControlRadioGroup), int(fcRtsCts));
        QVERIFY(!Form->DTREnabledCheckBox->isChecked());
        QVERIFY(Form->RTSEnabledCheckBox->isChecked());
        QCOMPARE(TForm::ItemIndex(Form->TransmissionModeRadioGroup), int(tmASCII));
        QCOMPARE(Form->Label3->text(), QStringLiteral("Silent &Interval [milliseconds]:"));
        QCOMPARE(Form->SilentIntervalEdit->text(), QStringLiteral("20"));
        QCOMPARE(TForm::ItemIndex(Form->ConnectionModeRadioGroup), int(cmServer));
        QCOMPARE(TForm::ItemIndex(Form->ThreadPriorityRadioGroup), int(tpHighest));
        QCOMPARE(Form->RefetchDelayEdit->text(), QStringLiteral("7"));
        QCOMPARE(Form->SendTimeoutEdit->text(), QStringLiteral("4294967295"));
        QCOMPARE(Form->ReceiveTimeoutEdit->text(), QStringLiteral("1000"));
        QCOMPARE(Form->MaxRetriesEdit->text(), QStringLiteral("3"));
        QCOMPARE(Form->TurnaroundDelayEdit->text(), QStringLiteral("250"));
        SaveScreenshot(*Form, QStringLiteral("ConnectionOptionsCustomRate.png"));

        // A standard rate hides the custom edit, which still holds the rate.
        TModbusConnection Standard(nullptr);
        Standard.SetCustomBaudRate(31250);
        Standard.SetBaudRate(br9600);
        const auto Second = ShowFor(Standard);
        QCOMPARE(Second->BaudRateComboBox->currentText(), QStringLiteral("9600"));
        QVERIFY(!Second->CustomBaudRateEdit->isVisible());
        QCOMPARE(Second->CustomBaudRateEdit->text(), QStringLiteral("31250"));
        Second->BaudRateComboBox->setCurrentIndex(brCustom);
        QVERIFY(Second->CustomBaudRateEdit->isVisible());
        QCOMPARE(Second->Label3->text(), QStringLiteral("Silent &Interval [character times]:"));
    }

    void OrdinalsOutsideTheListsSelectTheDefaults() {
        TModbusConnection C(nullptr);
        C.SetBaudRate(static_cast<TBaudRate>(40));
        C.SetDataBits(static_cast<TDataBits>(5));
        C.SetParity(static_cast<TParityScheme>(-1));
        C.SetStopBits(static_cast<TStopBits>(9));
        C.SetFlowControl(static_cast<TFlowControl>(4));
        C.SetTransmissionMode(static_cast<TTransmissionMode>(2));
        C.SetConnectionMode(static_cast<TConnectionMode>(3));
        C.SetThreadPriority(static_cast<TThreadPriority>(7));
        const auto Form = ShowFor(C);
        QCOMPARE(Form->BaudRateComboBox->currentText(), QStringLiteral("19200"));
        QCOMPARE(TForm::ItemIndex(Form->DataBitsRadioGroup), int(db8));
        QCOMPARE(TForm::ItemIndex(Form->ParitySchemeRadioGroup), int(psEven));
        QCOMPARE(TForm::ItemIndex(Form->StopBitsRadioGroup), int(sb1));
        QCOMPARE(TForm::ItemIndex(Form->FlowControlRadioGroup), int(fcNone));
        QCOMPARE(TForm::ItemIndex(Form->TransmissionModeRadioGroup), int(tmRTU));
        QCOMPARE(TForm::ItemIndex(Form->ConnectionModeRadioGroup), int(cmClient));
        QCOMPARE(TForm::ItemIndex(Form->ThreadPriorityRadioGroup), int(tpNormal));
    }

    void ItemsCaptionsAndPorts() {
        TModbusConnection C(nullptr);
        const auto Form = ShowFor(C);
        QStringList Rates;
        for (int I = 0; I < Form->BaudRateComboBox->count(); ++I)
            Rates << Form->BaudRateComboBox->itemText(I);
        QCOMPARE(Rates, QStringList({"110", "300", "600", "1200", "2400", "4800", "9600", "14400", "19200",
                                     "38400", "56000", "57600", "115200", "128000", "256000", "Custom"}));
        const auto Captions = [](QGroupBox* Group) {
            QStringList Texts;
            for (const QRadioButton* Button : Group->findChildren<QRadioButton*>())
                Texts << Button->text();
            return Texts;
        };
        QCOMPARE(Captions(Form->FlowControlRadioGroup),
                 QStringList({"None", "RTS Toggle", "RTS/CTS", "DTR/DSR"}));
        QCOMPARE(Captions(Form->ThreadPriorityRadioGroup),
                 QStringList({"Idle", "Lowest", "Lower", "Normal", "Higher", "Highest", "Time Critical"}));
        QCOMPARE(Form->PageControl1->currentWidget(), Form->SerialCommTabSheet);
        QCOMPARE(Form->PageControl1->tabText(1), QStringLiteral("Modbus Transaction Management"));
        QVERIFY(Form->OKButton->isDefault());

        // The machine's ports, sorted, and the box takes a typed name.
        std::vector<std::string> Ports;
        EnumSerialPorts(Ports);
        QStringList Expected;
        for (const std::string& Port : Ports)
            Expected << QString::fromStdString(Port);
        QStringList Listed;
        for (int I = 0; I < Form->PortComboBox->count(); ++I)
            Listed << Form->PortComboBox->itemText(I);
        QCOMPARE(Listed.size(), Expected.size());
        for (const QString& Port : Expected)
            QVERIFY2(Listed.contains(Port), qPrintable(Port));
        for (int I = 1; I < Listed.size(); ++I)
            QVERIFY(Listed[I - 1].compare(Listed[I], Qt::CaseInsensitive) <= 0);
        QVERIFY(Form->PortComboBox->isEditable());

        SaveScreenshot(*Form, QStringLiteral("ConnectionOptionsSerial.png"));
        Form->PageControl1->setCurrentWidget(Form->TransactionMgmtTabSheet);
        SaveScreenshot(*Form, QStringLiteral("ConnectionOptionsTransactions.png"));
    }

    void DependentControls_data() {
        QTest::addColumn<int>("Flow");
        QTest::addColumn<bool>("DTR");
        QTest::addColumn<bool>("RTS");
        QTest::newRow("None") << int(fcNone) << true << true;
        QTest::newRow("RTS Toggle") << int(fcRtsToggle) << true << false;
        QTest::newRow("RTS/CTS") << int(fcRtsCts) << true << false;
        QTest::newRow("DTR/DSR") << int(fcDtrDsr) << false << true;
    }

    void DependentControls() {
        QFETCH(int, Flow);
        QFETCH(bool, DTR);
        QFETCH(bool, RTS);
        TModbusConnection C(nullptr);
        C.SetRTSEnabled(false);
        const auto Form = ShowFor(C);
        Click(Form->FlowControlRadioGroup, fcDtrDsr == Flow ? fcRtsCts : fcDtrDsr); // from elsewhere
        Click(Form->FlowControlRadioGroup, Flow);
        QCOMPARE(Form->DTREnabledCheckBox->isEnabled(), DTR);
        QCOMPARE(Form->RTSEnabledCheckBox->isEnabled(), RTS);
        // Check marks stay as they were while a box is disabled.
        QVERIFY(Form->DTREnabledCheckBox->isChecked());
        QVERIFY(!Form->RTSEnabledCheckBox->isChecked());
    }

    void ConnectionModeAndPageDependentControls() {
        TModbusConnection C(nullptr);
        const auto Form = ShowFor(C);
        QVERIFY(Form->RTUDefaultsButton->isEnabled());
        QVERIFY(Form->ASCIIDefaultsButton->isEnabled());
        Form->PageControl1->setCurrentWidget(Form->TransactionMgmtTabSheet);
        QCOMPARE(Form->PageControl1->currentWidget(), Form->TransactionMgmtTabSheet);
        QVERIFY(!Form->RTUDefaultsButton->isEnabled());
        QVERIFY(!Form->ASCIIDefaultsButton->isEnabled());

        const QList<QLineEdit*> ClientOnly = {Form->RefetchDelayEdit, Form->ReceiveTimeoutEdit,
                                              Form->MaxRetriesEdit, Form->TurnaroundDelayEdit};
        const QList<QLabel*> Labels = {Form->RefetchDelayLabel, Form->ReceiveTimeoutLabel,
                                       Form->MaxRetriesLabel, Form->TurnaroundDelayLabel};
        const QColor Face = QApplication::palette(Form->SendTimeoutEdit).color(QPalette::Button);
        const QColor Window = QApplication::palette(Form->SendTimeoutEdit).color(QPalette::Base);
        QVERIFY(Face != Window);
        for (const bool Server : {true, false}) {
            Click(Form->ConnectionModeRadioGroup, Server ? cmServer : cmClient);
            for (QLineEdit* Edit : ClientOnly) {
                QCOMPARE(Edit->isEnabled(), !Server);
                QCOMPARE(Edit->palette().color(QPalette::Base), Server ? Face : Window);
            }
            for (QLabel* Label : Labels)
                QCOMPARE(Label->isEnabled(), !Server);
            QVERIFY(Form->SendTimeoutEdit->isEnabled());
        }

        // The echo box follows the mode when the serial page is checked.
        Click(Form->ConnectionModeRadioGroup, cmServer);
        Form->CheckSerialCommPage();
        QVERIFY(!Form->EchoCheckBox->isEnabled());
        Click(Form->ConnectionModeRadioGroup, cmClient);
        Form->CheckSerialCommPage();
        QVERIFY(Form->EchoCheckBox->isEnabled());
    }

    void DefaultsButtons() {
        TModbusConnection C(nullptr);
        C.SetDataBits(db8);
        C.SetParity(psNone);
        C.SetStopBits(sb2);
        const auto Form = ShowFor(C);
        Form->ASCIIDefaultsButton->click();
        QCOMPARE(TForm::ItemIndex(Form->DataBitsRadioGroup), int(db7));
        QCOMPARE(TForm::ItemIndex(Form->ParitySchemeRadioGroup), int(psEven));
        QCOMPARE(TForm::ItemIndex(Form->StopBitsRadioGroup), int(sb1));
        QCOMPARE(TForm::ItemIndex(Form->TransmissionModeRadioGroup), int(tmASCII));
        QCOMPARE(Form->SilentIntervalEdit->text(), QStringLiteral("1000"));
        QCOMPARE(Form->Label3->text(), QStringLiteral("Silent &Interval [milliseconds]:"));

        Click(Form->ParitySchemeRadioGroup, psOdd);
        Form->RTUDefaultsButton->click();
        QCOMPARE(TForm::ItemIndex(Form->DataBitsRadioGroup), int(db8));
        QCOMPARE(TForm::ItemIndex(Form->ParitySchemeRadioGroup), int(psEven));
        QCOMPARE(TForm::ItemIndex(Form->StopBitsRadioGroup), int(sb1));
        QCOMPARE(TForm::ItemIndex(Form->TransmissionModeRadioGroup), int(tmRTU));
        QCOMPARE(Form->SilentIntervalEdit->text(), QStringLiteral("4"));
        QCOMPARE(Form->Label3->text(), QStringLiteral("Silent &Interval [character times]:"));
    }

    void PageChecks_data() {
        QTest::addColumn<QString>("Edit");
        QTest::addColumn<QString>("Text");
        QTest::addColumn<bool>("Server");
        QTest::addColumn<QString>("Message"); // empty: the change is allowed
        const QString Range = QStringLiteral("Value must be between 0 and 4294967295");
        QTest::newRow("send timeout no number") << "SendTimeoutEdit" << "abc" << false
                                                << "'abc' is not a valid integer value";
        QTest::newRow("receive timeout too big") << "ReceiveTimeoutEdit" << "4294967296" << false << Range;
        QTest::newRow("receive timeout checked for a server")
            << "ReceiveTimeoutEdit" << "-1" << true << Range;
        QTest::newRow("refetch delay negative") << "RefetchDelayEdit" << "-1" << false << Range;
        QTest::newRow("refetch delay unchecked for a server") << "RefetchDelayEdit" << "x" << true << "";
        QTest::newRow("max retries 0") << "MaxRetriesEdit" << "0" << false
                                       << "Value must be between 1 and 4294967295";
        QTest::newRow("max retries 0 for a server") << "MaxRetriesEdit" << "0" << true << "";
        QTest::newRow("turnaround hex") << "TurnaroundDelayEdit" << " $FF" << false << "";
        QTest::newRow("turnaround empty") << "TurnaroundDelayEdit" << "" << false
                                          << "'' is not a valid integer value";
        QTest::newRow("silent interval") << "SilentIntervalEdit" << "1.5" << false
                                         << "'1.5' is not a valid integer value";
        QTest::newRow("custom rate unchecked for a standard rate") << "CustomBaudRateEdit" << "x" << false << "";
    }

    // The page that is left is checked: a failing entry keeps its page in
    // front, shows the message and takes the focus.
    void PageChecks() {
        QFETCH(QString, Edit);
        QFETCH(QString, Text);
        QFETCH(bool, Server);
        QFETCH(QString, Message);
        TModbusConnection C(nullptr);
        if (Server)
            C.SetConnectionMode(cmServer);
        TModalWatcher Watcher;
        const auto Form = ShowFor(C);
        auto* Target = Form->findChild<QLineEdit*>(Edit);
        QVERIFY(Target != nullptr);
        QWidget* Page = Form->SerialCommTabSheet->isAncestorOf(Target) ? Form->SerialCommTabSheet
                                                                        : Form->TransactionMgmtTabSheet;
        QWidget* Other =
            Page == Form->SerialCommTabSheet ? Form->TransactionMgmtTabSheet : Form->SerialCommTabSheet;
        Form->PageControl1->setCurrentWidget(Page);
        QCOMPARE(Form->PageControl1->currentWidget(), Page);
        Target->setText(Text);
        Form->OKButton->setFocus();

        Form->PageControl1->setCurrentWidget(Other);
        if (Message.isEmpty()) {
            QCOMPARE(Watcher.MessageTexts(), QStringList());
            QCOMPARE(Form->PageControl1->currentWidget(), Other);
            return;
        }
        QCOMPARE(Watcher.MessageTexts(), QStringList({Message + QLatin1Char('.')}));
        QCOMPARE(Form->PageControl1->currentWidget(), Page);
        QVERIFY(Target->isVisible());
        // A disabled edit (the receive timeout of a server) cannot take it.
        QCOMPARE(Form->focusWidget(), Target->isEnabled() ? static_cast<QWidget*>(Target) : Form->OKButton);
        QCOMPARE(Form->RTUDefaultsButton->isEnabled(), Page == Form->SerialCommTabSheet);

        // Put right, the change goes through.
        Target->setText(QStringLiteral("5"));
        Form->PageControl1->setCurrentWidget(Other);
        QCOMPARE(Form->PageControl1->currentWidget(), Other);
        QCOMPARE(Form->RTUDefaultsButton->isEnabled(), Other == Form->SerialCommTabSheet);
        QCOMPARE(Watcher.MessageTexts().size(), 1);
    }

    // OK checks both pages: an error on the hidden page keeps the dialog open
    // with its message; nothing reaches the connection.
    void OKWithAFailingEntryStaysOpen() {
        TModbusConnection C(nullptr);
        TModalWatcher Watcher;
        bool Result = true;
        bool StayedOpen = false;
        WhenDialogShown([&](TForm& Form) {
            Form.ParitySchemeRadioGroup->findChildren<QRadioButton*>()[psNone]->click();
            Form.MaxRetriesEdit->setText(QStringLiteral("zero"));
            Form.OKButton->click();
            StayedOpen = Form.isVisible();
            QCOMPARE(Form.PageControl1->currentWidget(), Form.SerialCommTabSheet);
            Form.CancelButton->click();
        });
        Result = EditModbusConnection(C, QStringLiteral("Options"));
        QVERIFY(StayedOpen);
        QVERIFY(!Result);
        QCOMPARE(Watcher.MessageTexts(), QStringList({QStringLiteral("'zero' is not a valid integer value.")}));
        QCOMPARE(C.Parity(), psEven);
    }

    void CancelTouchesNothing() {
        TModbusConnection C(nullptr);
        C.SetPort("/dev/ttyS7");
        C.SetBaudRate(br9600);
        C.SetMaxRetries(4);
        TModalWatcher Watcher;
        QString Caption;
        WhenDialogShown([&](TForm& Form) {
            Caption = Form.windowTitle();
            Form.PortComboBox->setEditText(QStringLiteral("/dev/ttyS0"));
            Form.BaudRateComboBox->setCurrentIndex(brCustom);
            Form.CustomBaudRateEdit->setText(QStringLiteral("1234"));
            Form.ASCIIDefaultsButton->click();
            Form.EchoCheckBox->setChecked(true);
            Form.PageControl1->setCurrentWidget(Form.TransactionMgmtTabSheet);
            Form.ConnectionModeRadioGroup->findChildren<QRadioButton*>()[cmServer]->click();
            Form.MaxRetriesEdit->setText(QStringLiteral("9"));
            Form.CancelButton->click();
        });
        QVERIFY(!EditModbusConnection(C, QStringLiteral("Modbus Connection Options")));
        QCOMPARE(Caption, QStringLiteral("Modbus Connection Options"));
        QCOMPARE(Watcher.MessageTexts(), QStringList());
        QCOMPARE(C.Port(), std::string("/dev/ttyS7"));
        QCOMPARE(C.BaudRate(), br9600);
        QCOMPARE(C.CustomBaudRate(), 19200u);
        QCOMPARE(C.TransmissionMode(), tmRTU);
        QCOMPARE(C.DataBits(), db8);
        QCOMPARE(C.SilentInterval(), 4u);
        QVERIFY(!C.EchoQueryBeforeReply());
        QCOMPARE(C.ConnectionMode(), cmClient);
        QCOMPARE(C.MaxRetries(), 4u);
    }

    void OKAppliesEveryValue() {
        TModbusConnection C(nullptr);
        WhenDialogShown([&](TForm& Form) {
            Form.PortComboBox->setEditText(QStringLiteral("ttyUSB3"));
            Form.BaudRateComboBox->setCurrentIndex(brCustom);
            Form.CustomBaudRateEdit->setText(QStringLiteral("$7A12")); // 31250
            Form.EchoCheckBox->setChecked(true);
            Form.ASCIIDefaultsButton->click();
            Click(Form.ParitySchemeRadioGroup, psOdd);
            Click(Form.StopBitsRadioGroup, sb2);
            Click(Form.FlowControlRadioGroup, fcRtsToggle);
            Form.DTREnabledCheckBox->setChecked(false);
            Form.SilentIntervalEdit->setText(QStringLiteral("25"));
            Form.PageControl1->setCurrentWidget(Form.TransactionMgmtTabSheet);
            Click(Form.ThreadPriorityRadioGroup, tpLower);
            Form.RefetchDelayEdit->setText(QStringLiteral("11"));
            Form.SendTimeoutEdit->setText(QStringLiteral("12"));
            Form.ReceiveTimeoutEdit->setText(QStringLiteral("13"));
            Form.MaxRetriesEdit->setText(QStringLiteral("14"));
            Form.TurnaroundDelayEdit->setText(QStringLiteral("15"));
            Form.OKButton->click();
        });
        QVERIFY(EditModbusConnection(C, QStringLiteral("Options")));
        QVERIFY(!C.Active());
        QCOMPARE(C.Port(), std::string("ttyUSB3"));
        QCOMPARE(C.BaudRate(), brCustom);
        QCOMPARE(C.CustomBaudRate(), 31250u);
        QVERIFY(C.EchoQueryBeforeReply());
        QCOMPARE(C.DataBits(), db7);
        QCOMPARE(C.Parity(), psOdd);
        QCOMPARE(C.StopBits(), sb2);
        QCOMPARE(C.FlowControl(), fcRtsToggle);
        QVERIFY(!C.DTREnabled());
        QVERIFY(C.RTSEnabled());
        QCOMPARE(C.TransmissionMode(), tmASCII);
        QCOMPARE(C.SilentInterval(), 25u);
        QCOMPARE(C.ConnectionMode(), cmClient);
        QCOMPARE(C.ThreadPriority(), tpLower);
        QCOMPARE(C.RefetchDelay(), 11u);
        QCOMPARE(C.SendTimeout(), 12u);
        QCOMPARE(C.ReceiveTimeout(), 13u);
        QCOMPARE(C.MaxRetries(), 14u);
        QCOMPARE(C.TurnaroundDelay(), 15u);

        // In server mode the client-only timings are neither checked nor applied.
        WhenDialogShown([&](TForm& Form) {
            Form.PageControl1->setCurrentWidget(Form.TransactionMgmtTabSheet);
            Click(Form.ConnectionModeRadioGroup, cmServer);
            Form.RefetchDelayEdit->setText(QStringLiteral("21"));
            Form.SendTimeoutEdit->setText(QStringLiteral("22"));
            Form.MaxRetriesEdit->setText(QStringLiteral("0"));
            Form.TurnaroundDelayEdit->setText(QStringLiteral("x"));
            Form.BaudRateComboBox->setCurrentIndex(br9600);
            Form.CustomBaudRateEdit->setText(QStringLiteral("999"));
            Form.OKButton->click();
        });
        QVERIFY(EditModbusConnection(C, QStringLiteral("Options")));
        QCOMPARE(C.ConnectionMode(), cmServer);
        QCOMPARE(C.BaudRate(), br9600);
        QCOMPARE(C.CustomBaudRate(), 31250u);
        QCOMPARE(C.RefetchDelay(), 11u);
        QCOMPARE(C.SendTimeout(), 22u);
        QCOMPARE(C.MaxRetries(), 14u);
        QCOMPARE(C.TurnaroundDelay(), 15u);
    }

    // An open connection: a line setting is applied without closing it; a
    // port change closes it, applies, reopens it, and the command saves.
    void ReopenOnlyWhereNeeded() {
        QuorvelTest::TPtyPair First;
        QuorvelTest::TPtyPair Second;
        const QString FirstPath = QString::fromStdString(First.SlavePath());
        const QString SecondPath = QString::fromStdString(Second.SlavePath());
        TDataDir Dir;
        WriteSettingsFor(Dir, FirstPath);
        TModalWatcher Watcher;
        TQuorvelDemoMainForm Form(nullptr, Dir.Path());
        QVERIFY(Form.ModbusConnection1->Active());
        int Start = static_cast<int>(LogTexts(Form).size());

        WhenDialogShown([](TForm& Dialog) {
            Dialog.BaudRateComboBox->setCurrentIndex(br9600);
            Dialog.OKButton->click();
        });
        MenuItem(Form, "ToolsConnectionOptionsItem")->trigger();
        QCOMPARE(Watcher.MessageTexts(), QStringList());
        QVERIFY(Form.ModbusConnection1->Active());
        QCOMPARE(Form.ModbusConnection1->BaudRate(), br9600);
        QCOMPARE(LogTexts(Form).mid(Start), QStringList());
        QCOMPARE(Setting(Dir, QStringLiteral("BaudRate")), QStringLiteral("6"));

        WhenDialogShown([&](TForm& Dialog) {
            Dialog.PortComboBox->setEditText(SecondPath);
            Dialog.OKButton->click();
        });
        MenuItem(Form, "ToolsConnectionOptionsItem")->trigger();
        QCOMPARE(Watcher.MessageTexts(), QStringList());
        QVERIFY(Form.ModbusConnection1->Active());
        QCOMPARE(LogTexts(Form).mid(Start),
                 QStringList({QStringLiteral("Closing Modbus connection..."),
                              QStringLiteral("Modbus Connection has been closed."), QString(),
                              QStringLiteral("Opening Modbus connection on %1...").arg(SecondPath),
                              QStringLiteral("Modbus connection has been successfully opened."), QString()}));
        QCOMPARE(Setting(Dir, QStringLiteral("Port")), SecondPath);
        QCOMPARE(StatusPanel(Form, 0), QStringLiteral("Modbus connection: Opened [%1]").arg(SecondPath));

        // The line really is the second pair's: a request goes out on it.
        Form.ModbusClient1->ReadCoils(0, 1, nullptr);
        QCOMPARE(Second.Read(8, std::chrono::milliseconds(5000)).size(), std::size_t(8));
    }

    void SwitchingToServerModeUpdatesTheView() {
        QuorvelTest::TPtyPair Line;
        TDataDir Dir;
        WriteSettingsFor(Dir, QString::fromStdString(Line.SlavePath()));
        TModalWatcher Watcher;
        TQuorvelDemoMainForm Form(nullptr, Dir.Path());
        QVERIFY(Form.ModbusConnection1->Active());
        QCOMPARE(Form.windowTitle(), QStringLiteral("Quorvel Demo [LOCAL CLIENT MODE]"));
        const int Start = static_cast<int>(LogTexts(Form).size());

        WhenDialogShown([](TForm& Dialog) {
            Dialog.PageControl1->setCurrentWidget(Dialog.TransactionMgmtTabSheet);
            Click(Dialog.ConnectionModeRadioGroup, cmServer);
            Dialog.OKButton->click();
        });
        MenuItem(Form, "ToolsConnectionOptionsItem")->trigger();
        QCOMPARE(Watcher.MessageTexts(), QStringList());
        QVERIFY(Form.ModbusConnection1->Active());
        QCOMPARE(Form.ModbusConnection1->ConnectionMode(), cmServer);
        QCOMPARE(LogTexts(Form).mid(Start).size(), 6); // closed and reopened
        QCOMPARE(Form.windowTitle(), QStringLiteral("Quorvel Demo [LOCAL SERVER MODE]"));
        QVERIFY(!TabVisible(Form, "DiscreteAccessTabSheet"));
        QVERIFY(!TabVisible(Form, "RegisterAccessTabSheet"));
        QVERIFY(!TabVisible(Form, "DiagnosticsTabSheet"));
        QVERIFY(TabVisible(Form, "ServerMapTabSheet"));
        QVERIFY(!MenuItem(Form, "ToolsClientOptionsItem")->isVisible());
        QVERIFY(MenuItem(Form, "ToolsServerOptionsItem")->isVisible());
        QVERIFY(!MenuItem(Form, "ToolsDiscardPendingTransactionsItem")->isVisible());
        QCOMPARE(StatusPanel(Form, 1), QStringLiteral("Local server address: 1"));
        QTRY_COMPARE(StatusPanel(Form, 2), QString());
        QCOMPARE(Setting(Dir, QStringLiteral("ConnectionMode")), QStringLiteral("1"));
    }

    // A reopening that fails leaves the connection closed with the new port,
    // logs the failure line, shows the error and saves nothing.
    void FailedReopenLeavesItClosedAndUnsaved() {
        QuorvelTest::TPtyPair Line;
        TDataDir Dir;
        WriteSettingsFor(Dir, QString::fromStdString(Line.SlavePath()));
        const QByteArray Stored = Dir.Read(Settings);
        TModalWatcher Watcher;
        TQuorvelDemoMainForm Form(nullptr, Dir.Path());
        QVERIFY(Form.ModbusConnection1->Active());
        const int Start = static_cast<int>(LogTexts(Form).size());

        WhenDialogShown([&](TForm& Dialog) {
            Dialog.PortComboBox->setEditText(Dir.MissingPort());
            Dialog.BaudRateComboBox->setCurrentIndex(br4800);
            Dialog.OKButton->click();
        });
        MenuItem(Form, "ToolsConnectionOptionsItem")->trigger();
        QVERIFY(!Form.ModbusConnection1->Active());
        QCOMPARE(Form.ModbusConnection1->Port(), Dir.MissingPort().toStdString());
        QCOMPARE(Form.ModbusConnection1->BaudRate(), br4800);
        const QStringList Texts = LogTexts(Form).mid(Start);
        QCOMPARE(Texts.size(), 6);
        QCOMPARE(Texts[0], QStringLiteral("Closing Modbus connection..."));
        QCOMPARE(Texts[3], QStringLiteral("Opening Modbus connection on %1...").arg(Dir.MissingPort()));
        QVERIFY2(Texts[4].startsWith(QStringLiteral("Failed to open Modbus connection. ")), qPrintable(Texts[4]));
        QCOMPARE(Texts[5], QString());
        QCOMPARE(Watcher.MessageTexts().size(), 1);
        QCOMPARE(Watcher.MessageTexts()[0],
                 ErrorBoxText(Texts[4].mid(QStringLiteral("Failed to open Modbus connection. ").size())));
        QCOMPARE(Dir.Read(Settings), Stored);
        QCOMPARE(StatusPanel(Form, 0), QStringLiteral("Modbus connection: Closed"));
    }

    // A value the connection refuses stops the applying; the connection is
    // reopened with what was applied, the error is logged and shown, and the
    // settings stay as they were.
    void RefusedValueReopensAndSavesNothing() {
        QuorvelTest::TPtyPair Line;
        TDataDir Dir;
        WriteSettingsFor(Dir, QString::fromStdString(Line.SlavePath()));
        const QByteArray Stored = Dir.Read(Settings);
        TModalWatcher Watcher;
        TQuorvelDemoMainForm Form(nullptr, Dir.Path());
        QVERIFY(Form.ModbusConnection1->Active());

        WhenDialogShown([](TForm& Dialog) {
            Click(Dialog.FlowControlRadioGroup, fcRtsCts); // needs a reopen
            Dialog.SilentIntervalEdit->setText(QStringLiteral("400000"));
            Dialog.OKButton->click();
        });
        MenuItem(Form, "ToolsConnectionOptionsItem")->trigger();
        QVERIFY(Form.ModbusConnection1->Active());
        QCOMPARE(Form.ModbusConnection1->FlowControl(), fcRtsCts);
        QCOMPARE(Form.ModbusConnection1->SilentInterval(), 4u);
        QCOMPARE(Watcher.MessageTexts(), QStringList({QStringLiteral("Value must be between 0 and 390451.")}));
        QVERIFY(LogTexts(Form).contains(
            QStringLiteral("Failed to open Modbus connection. Value must be between 0 and 390451")));
        QCOMPARE(Dir.Read(Settings), Stored);
    }

    // --port replaces the settings' port for the run without writing it; the
    // next saved change stores it.
    void PortFromTheCommandLine() {
        QuorvelTest::TPtyPair Line;
        const QString Path = QString::fromStdString(Line.SlavePath());
        TDataDir Dir;
        WriteSettingsFor(Dir, Dir.MissingPort());
        const QByteArray Stored = Dir.Read(Settings);
        TModalWatcher Watcher;
        TQuorvelDemoMainForm Form(nullptr, Dir.Path(), Path);
        QCOMPARE(Watcher.MessageTexts(), QStringList());
        QVERIFY(Form.ModbusConnection1->Active());
        QCOMPARE(Form.ModbusConnection1->Port(), Path.toStdString());
        QVERIFY(LogTexts(Form).contains(QStringLiteral("Opening Modbus connection on %1...").arg(Path)));
        QCOMPARE(Dir.Read(Settings), Stored);

        Watcher.Answer(QStringLiteral("17"));
        MenuItem(Form, "ToolsClientOptionsItem")->trigger();
        QCOMPARE(Setting(Dir, QStringLiteral("ServerAddress")), QStringLiteral("17"));
        QCOMPARE(Setting(Dir, QStringLiteral("Port")), Path);
    }
};

QUORVEL_DEMO_SUITE(ConnectionEditorTest);

#include "ConnectionEditorTest.moc"
