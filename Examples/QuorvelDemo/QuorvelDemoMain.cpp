#include "QuorvelDemoMain.h"

#include "FileAccess.h"
#include "IniFile.h"
#include "IntegerConversion.h"
#include "ModbusConnectionEditor.h"
#include "QuorvelAboutBox.h"
#include "QuorvelDemoApplication.h"
#include "RtfReader.h"

#include <QCoreApplication>
#include <QInputDialog>
#include <QLabel>
#include <QProxyStyle>
#include <QStatusBar>
#include <QTabBar>
#include <QTextCursor>
#include <QTimer>

#include <cerrno>
#include <stdexcept>

using namespace Quorvel;

namespace {

// Mode names by TConnectionMode.
const char* const ConnectionModeNames[] = {"CLIENT", "SERVER"};

constexpr int HintPause = 20000;

// The application's style with less room beside each tab's caption.
class TCompactTabStyle : public QProxyStyle {
public:
    explicit TCompactTabStyle(QObject* Parent) : QProxyStyle() { setParent(Parent); }

    int pixelMetric(PixelMetric Metric, const QStyleOption* Option, const QWidget* Widget) const override {
        const int Value = QProxyStyle::pixelMetric(Metric, Option, Widget);
        return Metric == PM_TabBarTabHSpace ? Value / 2 : Value;
    }
};

constexpr int MinAddress = 1;
constexpr int MaxAddress = 247;

QString ErrorText(std::exception_ptr Error) {
    return QString::fromStdString(ExceptionMessage(Error));
}

} // namespace

// --- Start-up and shut-down ---------------------------------------------------------------

TQuorvelDemoMainForm::TQuorvelDemoMainForm(QWidget* AOwner, const QString& DataDirectory,
                                           const QString& Port)
    : QMainWindow(AOwner) {
    // The window, its controls and its components; the connection is closed
    // with every property at its default.
    setupUi(this);
    fDataDirectory = DataDirectory.isEmpty() ? QCoreApplication::applicationDirPath() : DataDirectory;
    if (!fDataDirectory.endsWith(QLatin1Char('/')))
        fDataDirectory += QLatin1Char('/');
    fLog = std::make_unique<TTransactionLog>(LogMemo, LogFileName());

    // Four tabs share 393 pixels: tighter tab padding keeps them all in view.
    // The window owns the style, so it outlives the tab bar that uses it.
    PageControl1->tabBar()->setStyle(new TCompactTabStyle(this));

    QPalette IntroPalette = IntroductionRichEdit->palette();
    IntroPalette.setColor(QPalette::Base, IntroPalette.color(QPalette::ToolTipBase));
    IntroPalette.setColor(QPalette::Text, IntroPalette.color(QPalette::ToolTipText));
    IntroductionRichEdit->setPalette(IntroPalette);

    static const int PanelWidths[] = {190, 150, 0};
    for (int I = 0; I < 3; ++I) {
        fStatusPanels[I] = new QLabel(StatusBar1);
        fStatusPanels[I]->setObjectName(QStringLiteral("StatusBar1Panel%1").arg(I));
        if (PanelWidths[I] > 0) {
            fStatusPanels[I]->setFixedWidth(PanelWidths[I]);
            StatusBar1->addWidget(fStatusPanels[I]);
        } else {
            StatusBar1->addWidget(fStatusPanels[I], 1);
        }
    }

    Timer1 = new QTimer(this);
    Timer1->setObjectName(QStringLiteral("Timer1"));
    Timer1->setInterval(250);
    connect(Timer1, &QTimer::timeout, this, [this] { RunHandler(this, [this] { Timer1Timer(); }); });
    Timer1->start();

    ModbusConnection1 = std::make_unique<TModbusConnection>(nullptr);
    ModbusConnection1->SetName("ModbusConnection1");
    ModbusClient1 = std::make_unique<TModbusClient>(nullptr);
    ModbusClient1->SetName("ModbusClient1");
    ModbusClient1->SetConnection(ModbusConnection1.get());
    ModbusServer1 = std::make_unique<TModbusServer>(nullptr);
    ModbusServer1->SetName("ModbusServer1");
    ModbusServer1->SetConnection(ModbusConnection1.get());

    ModbusConnection1->OnBeforeOpen = [this](TComponent* Sender) { ModbusConnection1BeforeOpen(Sender); };
    ModbusConnection1->OnAfterOpen = [this](TComponent* Sender) { ModbusConnection1AfterOpen(Sender); };
    ModbusConnection1->OnBeforeClose = [this](TComponent* Sender) { ModbusConnection1BeforeClose(Sender); };
    ModbusConnection1->OnAfterClose = [this](TComponent* Sender) { ModbusConnection1AfterClose(Sender); };
    ModbusConnection1->OnFrameSend = [this](TComponent* Sender, const TFrameData& Data) {
        ModbusConnection1FrameSend(Sender, Data);
    };
    ModbusConnection1->OnFrameReceive = [this](TComponent* Sender, const TFrameData& Data) {
        ModbusConnection1FrameReceive(Sender, Data);
    };
    ConnectClientPanels();
    ConnectServerItemMap();

    const auto OnTriggered = [this](QAction* Item, void (TQuorvelDemoMainForm::*Handler)()) {
        connect(Item, &QAction::triggered, this,
                [this, Handler] { RunHandler(this, [this, Handler] { (this->*Handler)(); }); });
    };
    OnTriggered(FileExitItem, &TQuorvelDemoMainForm::FileExitItemClick);
    OnTriggered(ToolsConnectionOptionsItem, &TQuorvelDemoMainForm::ToolsConnectionOptionsItemClick);
    OnTriggered(ToolsClientOptionsItem, &TQuorvelDemoMainForm::ToolsClientOptionsItemClick);
    OnTriggered(ToolsServerOptionsItem, &TQuorvelDemoMainForm::ToolsServerOptionsItemClick);
    OnTriggered(ToolsDiscardPendingTransactionsItem,
                &TQuorvelDemoMainForm::ToolsDiscardPendingTransactionsItemClick);
    OnTriggered(ToolsClearTransactionLogItem, &TQuorvelDemoMainForm::ToolsClearTransactionLogItemClick);
    OnTriggered(ToolsLogTransactionsToFileItem, &TQuorvelDemoMainForm::ToolsLogTransactionsToFileItemClick);
    OnTriggered(HelpAboutItem, &TQuorvelDemoMainForm::HelpAboutItemClick);
    ToolsConnectionOptionsItem->setEnabled(ConnectionEditorAvailable);

    // The start-up sequence. Errors of its steps are shown without a parent
    // (the window is not on the screen yet), and start-up goes on.
    RunHandler(nullptr, [this] { LoadSettingsFile(); });
    // The closed connection takes any name; nothing writes it to the file here.
    if (!Port.isEmpty())
        ModbusConnection1->SetPort(Port.toStdString());
    ToolsLogTransactionsToFileItem->setChecked(fLog->LogTransactionsToFile());
    WriteWelcomeLines();
    RunHandler(nullptr, [this] { LoadServerItems(ServerItemsFileName()); });
    OpenConnection();
    UpdateModeView();
    UpdateStatusBar();
    SetHintHidePause(HintPause);
    PageControl1->setCurrentWidget(IntroductionTabSheet);
    RunHandler(nullptr, [this] { PrepareClientPanels(); });
    RunHandler(nullptr, [this] { LoadIntroduction(); });
}

TQuorvelDemoMainForm::~TQuorvelDemoMainForm() {
    // The close handlers stay silent from here on. The components go in
    // reverse order of creation; the connection closes as it goes. The log
    // outlives them, so nothing they still do can reach a freed log.
    fDestroying = true;
    Timer1->stop();
    ModbusServer1.reset();
    ModbusClient1.reset();
    ModbusConnection1.reset();
    fLog.reset();
}

QString TQuorvelDemoMainForm::SettingsFileName() const {
    return fDataDirectory + QStringLiteral("QuorvelDemo.dat");
}

QString TQuorvelDemoMainForm::ServerItemsFileName() const {
    return fDataDirectory + QStringLiteral("ServerItems.dat");
}

QString TQuorvelDemoMainForm::LogFileName() const {
    return fDataDirectory + QStringLiteral("TransactionLog.txt");
}

QString TQuorvelDemoMainForm::IntroductionFileName() const {
    return fDataDirectory + QStringLiteral("Introduction.rtf");
}

void TQuorvelDemoMainForm::LoadSettingsFile() {
    TIniFile IniFile(SettingsFileName());
    LoadSettings(IniFile);
}

void TQuorvelDemoMainForm::SaveSettingsFile() {
    TIniFile IniFile(SettingsFileName());
    SaveSettings(IniFile);
}

void TQuorvelDemoMainForm::WriteWelcomeLines() {
    const QString Lines[] = {
        QString(),
        fLog->LogTransactionsToFile()
            ? QStringLiteral("*** Transactions are now being logged to both screen and file.")
            : QStringLiteral("*** Transactions are now being logged to screen only."),
        QString(),
        QStringLiteral("*** Welcome to Quorvel VCL Demo!"),
        QStringLiteral("*** Running on Quorvel version %1").arg(QLatin1String(QuorvelVersion)),
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
    // Every line reaches the view even when the log file fails; its error is
    // shown once.
    std::exception_ptr FirstError;
    for (const QString& Line : Lines) {
        try {
            AddLogLine(Line);
        } catch (...) {
            if (!FirstError)
                FirstError = std::current_exception();
        }
    }
    if (FirstError)
        HandleException(FirstError, nullptr);
}

void TQuorvelDemoMainForm::LogOpenFailure(std::exception_ptr Error) {
    RunHandler(this, [&] {
        AddLogLine(QStringLiteral("Failed to open Modbus connection. %1\n").arg(ErrorText(Error)));
    });
}

void TQuorvelDemoMainForm::OpenConnection() {
    try {
        ModbusConnection1->Open();
    } catch (...) {
        const std::exception_ptr Error = std::current_exception();
        LogOpenFailure(Error);
        HandleException(Error, nullptr);
    }
}

void TQuorvelDemoMainForm::LoadIntroduction() {
    const QString FileName = IntroductionFileName();
    const std::optional<QByteArray> Rtf = ReadFileIfExists(FileName);
    if (!Rtf)
        throw std::runtime_error(CannotOpenFileText(FileName, ErrnoText(ENOENT)));
    ReadRtf(*Rtf, *IntroductionRichEdit->document());
    IntroductionRichEdit->moveCursor(QTextCursor::Start);
}

// --- Mode view and status bar ------------------------------------------------------------

void TQuorvelDemoMainForm::UpdateModeView() {
    const TConnectionMode Mode = ModbusConnection1->ConnectionMode();
    const bool Client = Mode == cmClient;
    setWindowTitle(QStringLiteral("%1 [LOCAL %2 MODE]")
                       .arg(ApplicationTitle(), QLatin1String(ConnectionModeNames[Mode])));

    ToolsClientOptionsItem->setVisible(Client);
    ToolsServerOptionsItem->setVisible(!Client);
    ToolsDiscardPendingTransactionsItem->setVisible(Client);
    PageControl1->setTabVisible(PageControl1->indexOf(RegisterAccessTabSheet), Client);
    PageControl1->setTabVisible(PageControl1->indexOf(DiscreteAccessTabSheet), Client);
    PageControl1->setTabVisible(PageControl1->indexOf(DiagnosticsTabSheet), Client);
    PageControl1->setTabVisible(PageControl1->indexOf(ServerMapTabSheet), !Client);
}

void TQuorvelDemoMainForm::UpdateStatusBar() {
    fStatusPanels[0]->setText(ModbusConnection1->Active()
                                  ? QStringLiteral("Modbus connection: Opened [%1]")
                                        .arg(QString::fromStdString(ModbusConnection1->Port()))
                                  : QStringLiteral("Modbus connection: Closed"));
    // A long port path does not fit the panel; its hint shows all of it.
    fStatusPanels[0]->setToolTip(fStatusPanels[0]->text());
    fStatusPanels[1]->setText(
        ModbusConnection1->ConnectionMode() == cmServer
            ? QStringLiteral("Local server address: %1").arg(ModbusServer1->Address())
            : QStringLiteral("Remote server address: %1").arg(ModbusClient1->ServerAddress()));
}

void TQuorvelDemoMainForm::Timer1Timer() {
    if (ModbusConnection1->ConnectionMode() == cmServer) {
        fStatusPanels[2]->clear();
        return;
    }
    const std::int32_t Count = ModbusConnection1->CountPendingTransactions(nullptr);
    if (Count >= 2)
        fStatusPanels[2]->setText(QStringLiteral("There are %1 pending transactions.").arg(Count));
    else if (Count == 1)
        fStatusPanels[2]->setText(QStringLiteral("There is 1 pending transaction."));
    else
        fStatusPanels[2]->setText(QStringLiteral("Transaction queue is empty."));
}

// --- Connection events ----------------------------------------------------------------------
//
// A log file that fails must not stop the connection from opening or closing:
// its error is shown and the open or close goes on.

void TQuorvelDemoMainForm::ModbusConnection1BeforeOpen(TComponent*) {
    RunHandler(this, [this] {
        AddLogLine(QStringLiteral("Opening Modbus connection on %1...")
                       .arg(QString::fromStdString(ModbusConnection1->Port())));
    });
}

void TQuorvelDemoMainForm::ModbusConnection1AfterOpen(TComponent*) {
    RunHandler(this,
               [this] { AddLogLine(QStringLiteral("Modbus connection has been successfully opened.\n")); });
}

void TQuorvelDemoMainForm::ModbusConnection1BeforeClose(TComponent*) {
    if (fDestroying)
        return;
    RunHandler(this, [this] { AddLogLine(QStringLiteral("Closing Modbus connection...")); });
}

void TQuorvelDemoMainForm::ModbusConnection1AfterClose(TComponent*) {
    if (fDestroying)
        return;
    RunHandler(this, [this] { AddLogLine(QStringLiteral("Modbus Connection has been closed.\n")); });
}

void TQuorvelDemoMainForm::ModbusConnection1FrameSend(TComponent*, const TFrameData& Data) {
    LogFrame(Data, true);
}

void TQuorvelDemoMainForm::ModbusConnection1FrameReceive(TComponent*, const TFrameData& Data) {
    LogFrame(Data, false);
}

void TQuorvelDemoMainForm::LogReply(const TTransactionInfo& Info) {
    fLog->LogReply(Info, Info.Reply == srExceptionReply
                             ? QString::fromStdString(ModbusClient1->ExceptionCodeToStr(Info.ExceptionCode))
                             : QString());
}

// --- Menu commands ---------------------------------------------------------------------------

void TQuorvelDemoMainForm::FileExitItemClick() {
    close();
}

void TQuorvelDemoMainForm::ToolsConnectionOptionsItemClick() {
    try {
        if (EditModbusConnection(*ModbusConnection1, QStringLiteral("Modbus Connection Options"))) {
            SaveSettingsFile();
            ModbusConnection1->Open();
        }
    } catch (...) {
        // Whatever step failed, the failure line is logged before the error is shown.
        LogOpenFailure(std::current_exception());
        UpdateModeView();
        UpdateStatusBar();
        throw;
    }
    UpdateModeView();
    UpdateStatusBar();
}

std::optional<std::uint8_t> TQuorvelDemoMainForm::QueryAddress(const QString& Caption, const QString& Prompt,
                                                               std::uint8_t Current) {
    bool Ok = false;
    const QString Text =
        QInputDialog::getText(this, Caption, Prompt, QLineEdit::Normal, QString::number(Current), &Ok);
    if (!Ok)
        return std::nullopt;
    const std::optional<std::int32_t> Value = TextToInt32(Text);
    if (!Value)
        throw std::runtime_error(
            QStringLiteral("'%1' is not a valid server address.").arg(Text).toStdString());
    if (*Value < MinAddress || *Value > MaxAddress)
        throw std::runtime_error(
            QStringLiteral("Value must be between %1 and %2").arg(MinAddress).arg(MaxAddress).toStdString());
    return static_cast<std::uint8_t>(*Value);
}

void TQuorvelDemoMainForm::ToolsClientOptionsItemClick() {
    const auto Address = QueryAddress(
        QStringLiteral("Modbus Client Options"),
        QStringLiteral("Enter the address of a remote server (acceptable values are 1 through 247):"),
        ModbusClient1->ServerAddress());
    if (!Address)
        return;
    ModbusClient1->SetServerAddress(*Address);
    // The status bar shows the address in use, also when saving it fails.
    try {
        SaveSettingsFile();
    } catch (...) {
        UpdateStatusBar();
        throw;
    }
    UpdateStatusBar();
}

void TQuorvelDemoMainForm::ToolsServerOptionsItemClick() {
    const auto Address = QueryAddress(
        QStringLiteral("Modbus Server Options"),
        QStringLiteral("Enter the address of a local server (acceptable values are 1 through 247):"),
        ModbusServer1->Address());
    if (!Address)
        return;
    ModbusServer1->SetAddress(*Address);
    try {
        SaveSettingsFile();
    } catch (...) {
        UpdateStatusBar();
        throw;
    }
    UpdateStatusBar();
}

void TQuorvelDemoMainForm::ToolsDiscardPendingTransactionsItemClick() {
    ModbusConnection1->DiscardPendingTransactions(nullptr);
    AddLogLine(QString());
    AddLogLine(QStringLiteral("*** All pending transactions have been discarded."));
    AddLogLine(QString());
}

void TQuorvelDemoMainForm::ToolsClearTransactionLogItemClick() {
    ClearTransactionLog();
}

void TQuorvelDemoMainForm::ToolsLogTransactionsToFileItemClick() {
    // The switch always takes effect, even while the log file or the settings
    // file fails: otherwise a broken log file could never be switched off.
    // The first error is shown at the end.
    std::exception_ptr FirstError;
    const auto Guarded = [&FirstError](auto&& Step) {
        try {
            Step();
        } catch (...) {
            if (!FirstError)
                FirstError = std::current_exception();
        }
    };
    const auto LogLines = [&](const QString& Line) {
        for (const QString& Text : {QString(), Line, QString()})
            Guarded([&] { AddLogLine(Text); });
    };

    if (fLog->LogTransactionsToFile())
        LogLines(QStringLiteral("*** Transactions are now being logged to screen only."));
    fLog->SetLogTransactionsToFile(!fLog->LogTransactionsToFile());
    Guarded([this] { SaveSettingsFile(); });
    ToolsLogTransactionsToFileItem->setChecked(fLog->LogTransactionsToFile());
    if (fLog->LogTransactionsToFile())
        LogLines(QStringLiteral("*** Transactions are now being logged to both screen and file."));
    if (FirstError)
        std::rethrow_exception(FirstError);
}

void TQuorvelDemoMainForm::HelpAboutItemClick() {
    ShowAboutBox();
}
