#include "ModbusConnectionEditor.h"

#include "IntegerConversion.h"
#include "QuorvelDemoApplication.h"

#include <QAbstractButton>
#include <QApplication>
#include <QButtonGroup>
#include <QCompleter>
#include <QGridLayout>
#include <QRadioButton>
#include <QShowEvent>

#include <algorithm>
#include <limits>
#include <optional>
#include <string>
#include <vector>

using namespace Quorvel;

namespace {

constexpr std::int64_t MaxUInt32 = std::numeric_limits<std::uint32_t>::max();

// The entries of the baud rate list; entry i is the TBaudRate of ordinal i.
const char* const BaudRateItems[] = {"110",   "300",   "600",   "1200",   "2400",   "4800",
                                     "9600",  "14400", "19200", "38400",  "56000",  "57600",
                                     "115200", "128000", "256000", "Custom"};
static_assert(std::size(BaudRateItems) == brCustom + 1);

// The ordinal if it names an item of a list of Count, else the default.
template <typename T>
int ItemOrDefault(T Value, int Count, T Default) {
    const int Ordinal = static_cast<int>(Value);
    return Ordinal >= 0 && Ordinal < Count ? Ordinal : static_cast<int>(Default);
}

} // namespace

// --- Construction -----------------------------------------------------------------------

TModbusConnectionEditForm::TModbusConnectionEditForm(QWidget* AOwner) : QDialog(AOwner) {
    setupUi(this);

    SetRadioItems(DataBitsRadioGroup, {QStringLiteral("7 bits"), QStringLiteral("8 bits")}, 2);
    SetRadioItems(ParitySchemeRadioGroup,
                  {QStringLiteral("None"), QStringLiteral("Odd"), QStringLiteral("Even")}, 1);
    SetRadioItems(StopBitsRadioGroup, {QStringLiteral("1 bit"), QStringLiteral("2 bits")}, 2);
    SetRadioItems(FlowControlRadioGroup,
                  {QStringLiteral("None"), QStringLiteral("RTS Toggle"), QStringLiteral("RTS/CTS"),
                   QStringLiteral("DTR/DSR")},
                  1);
    SetRadioItems(TransmissionModeRadioGroup, {QStringLiteral("RTU"), QStringLiteral("ASCII")}, 2);
    SetRadioItems(ConnectionModeRadioGroup, {QStringLiteral("Client"), QStringLiteral("Server")}, 2);
    SetRadioItems(ThreadPriorityRadioGroup,
                  {QStringLiteral("Idle"), QStringLiteral("Lowest"), QStringLiteral("Lower"),
                   QStringLiteral("Normal"), QStringLiteral("Higher"), QStringLiteral("Highest"),
                   QStringLiteral("Time Critical")},
                  2);

    // The machine's ports, sorted; any other name may be typed. A typed name
    // is taken exactly as it stands: no case-blind completion, and Return
    // confirms the dialog instead of adding the name to the list.
    std::vector<std::string> Ports;
    EnumSerialPorts(Ports);
    QStringList PortNames;
    for (const std::string& Port : Ports)
        PortNames << QString::fromStdString(Port);
    std::sort(PortNames.begin(), PortNames.end(), [](const QString& A, const QString& B) {
        const int Order = A.compare(B, Qt::CaseInsensitive);
        return Order != 0 ? Order < 0 : A < B;
    });
    PortComboBox->addItems(PortNames);
    if (QCompleter* Completer = PortComboBox->completer())
        Completer->setCaseSensitivity(Qt::CaseSensitive);

    for (const char* Item : BaudRateItems)
        BaudRateComboBox->addItem(QLatin1String(Item));

    PageControl1->setCurrentWidget(SerialCommTabSheet);
    fShownPage = PageControl1->currentIndex();

    const auto Handle = [this](void (TModbusConnectionEditForm::*Handler)()) {
        return [this, Handler] { RunHandler(this, [this, Handler] { (this->*Handler)(); }); };
    };
    connect(BaudRateComboBox, &QComboBox::currentIndexChanged, this,
            Handle(&TModbusConnectionEditForm::BaudRateComboBoxClick));
    const auto OnClick = [&](QGroupBox* Group, void (TModbusConnectionEditForm::*Handler)()) {
        connect(Group->findChild<QButtonGroup*>(), &QButtonGroup::idClicked, this, Handle(Handler));
    };
    OnClick(FlowControlRadioGroup, &TModbusConnectionEditForm::FlowControlRadioGroupClick);
    OnClick(TransmissionModeRadioGroup, &TModbusConnectionEditForm::TransmissionModeRadioGroupClick);
    OnClick(ConnectionModeRadioGroup, &TModbusConnectionEditForm::ConnectionModeRadioGroupClick);
    connect(RTUDefaultsButton, &QPushButton::clicked, this,
            Handle(&TModbusConnectionEditForm::RTUDefaultsButtonClick));
    connect(ASCIIDefaultsButton, &QPushButton::clicked, this,
            Handle(&TModbusConnectionEditForm::ASCIIDefaultsButtonClick));
    connect(OKButton, &QPushButton::clicked, this, Handle(&TModbusConnectionEditForm::OKButtonClick));
    connect(CancelButton, &QPushButton::clicked, this, &QDialog::reject);
    connect(PageControl1, &QTabWidget::currentChanged, this,
            [this](int Index) { RunHandler(this, [this, Index] { PageControl1Changing(Index); }); });
}

void TModbusConnectionEditForm::SetRadioItems(QGroupBox* Group, const QStringList& Captions, int Columns) {
    auto* Layout = new QGridLayout(Group);
    // Tight rows: the serial page holds seven groups in the dialog's fixed size.
    Layout->setContentsMargins(6, 2, 6, 2);
    Layout->setVerticalSpacing(0);
    auto* Items = new QButtonGroup(Group);
    const int Rows = (static_cast<int>(Captions.size()) + Columns - 1) / Columns;
    for (int I = 0; I < Captions.size(); ++I) {
        auto* Button = new QRadioButton(Captions[I], Group);
        Button->setObjectName(Group->objectName() + QStringLiteral("Item%1").arg(I));
        Items->addButton(Button, I);
        // Items run down the first column, then the next.
        Layout->addWidget(Button, I % Rows, I / Rows);
    }
}

int TModbusConnectionEditForm::ItemIndex(const QGroupBox* Group) {
    return Group->findChild<QButtonGroup*>()->checkedId();
}

void TModbusConnectionEditForm::SetItemIndex(QGroupBox* Group, int Index) {
    QAbstractButton* Button = Group->findChild<QButtonGroup*>()->button(Index);
    if (Button == nullptr)
        return;
    // A click, so the group's handler updates what depends on it.
    Button->click();
}

// --- Filling and applying ---------------------------------------------------------------------

void TModbusConnectionEditForm::LoadFromConnection(const TModbusConnection& Connection) {
    const auto Select = [](QGroupBox* Group, int Index) {
        Group->findChild<QButtonGroup*>()->button(Index)->setChecked(true);
    };
    PortComboBox->setEditText(QString::fromStdString(Connection.Port()));
    BaudRateComboBox->setCurrentIndex(
        ItemOrDefault(Connection.BaudRate(), static_cast<int>(std::size(BaudRateItems)), br19200));
    CustomBaudRateEdit->setText(QString::number(Connection.CustomBaudRate()));
    EchoCheckBox->setChecked(Connection.EchoQueryBeforeReply());
    Select(DataBitsRadioGroup, ItemOrDefault(Connection.DataBits(), 2, db8));
    Select(ParitySchemeRadioGroup, ItemOrDefault(Connection.Parity(), 3, psEven));
    Select(StopBitsRadioGroup, ItemOrDefault(Connection.StopBits(), 2, sb1));
    Select(FlowControlRadioGroup, ItemOrDefault(Connection.FlowControl(), 4, fcNone));
    DTREnabledCheckBox->setChecked(Connection.DTREnabled());
    RTSEnabledCheckBox->setChecked(Connection.RTSEnabled());
    Select(TransmissionModeRadioGroup, ItemOrDefault(Connection.TransmissionMode(), 2, tmRTU));
    SilentIntervalEdit->setText(QString::number(Connection.SilentInterval()));
    Select(ConnectionModeRadioGroup, ItemOrDefault(Connection.ConnectionMode(), 2, cmClient));
    Select(ThreadPriorityRadioGroup, ItemOrDefault(Connection.ThreadPriority(), 7, tpNormal));
    RefetchDelayEdit->setText(QString::number(Connection.RefetchDelay()));
    SendTimeoutEdit->setText(QString::number(Connection.SendTimeout()));
    ReceiveTimeoutEdit->setText(QString::number(Connection.ReceiveTimeout()));
    MaxRetriesEdit->setText(QString::number(Connection.MaxRetries()));
    TurnaroundDelayEdit->setText(QString::number(Connection.TurnaroundDelay()));
}

bool TModbusConnectionEditForm::NeedsReopen(const TModbusConnection& Connection) const {
    if (!Connection.Active() || Connection.IsDesigning())
        return false;
    return PortComboBox->currentText().toStdString() != Connection.Port() ||
           ItemIndex(FlowControlRadioGroup) != Connection.FlowControl() ||
           DTREnabledCheckBox->isChecked() != Connection.DTREnabled() ||
           RTSEnabledCheckBox->isChecked() != Connection.RTSEnabled() ||
           ItemIndex(TransmissionModeRadioGroup) != Connection.TransmissionMode() ||
           ItemIndex(ConnectionModeRadioGroup) != Connection.ConnectionMode();
}

void TModbusConnectionEditForm::ApplyToConnection(TModbusConnection& Connection) {
    // The checks have passed, so every edit converts and is in its range.
    const auto Value = [](QLineEdit* Edit, std::int64_t MinValue) {
        return static_cast<std::uint32_t>(CheckEditValue(Edit, MinValue, MaxUInt32));
    };
    const bool Client = ClientSelected();
    Connection.SetPort(PortComboBox->currentText().toStdString());
    Connection.SetBaudRate(static_cast<TBaudRate>(BaudRateComboBox->currentIndex()));
    if (BaudRateComboBox->currentIndex() == brCustom)
        Connection.SetCustomBaudRate(Value(CustomBaudRateEdit, 0));
    Connection.SetEchoQueryBeforeReply(EchoCheckBox->isChecked());
    Connection.SetDataBits(static_cast<TDataBits>(ItemIndex(DataBitsRadioGroup)));
    Connection.SetParity(static_cast<TParityScheme>(ItemIndex(ParitySchemeRadioGroup)));
    Connection.SetStopBits(static_cast<TStopBits>(ItemIndex(StopBitsRadioGroup)));
    Connection.SetFlowControl(static_cast<TFlowControl>(ItemIndex(FlowControlRadioGroup)));
    Connection.SetDTREnabled(DTREnabledCheckBox->isChecked());
    Connection.SetRTSEnabled(RTSEnabledCheckBox->isChecked());
    Connection.SetTransmissionMode(static_cast<TTransmissionMode>(ItemIndex(TransmissionModeRadioGroup)));
    Connection.SetSilentInterval(Value(SilentIntervalEdit, 0));
    Connection.SetConnectionMode(static_cast<TConnectionMode>(ItemIndex(ConnectionModeRadioGroup)));
    Connection.SetThreadPriority(static_cast<TThreadPriority>(ItemIndex(ThreadPriorityRadioGroup)));
    if (Client)
        Connection.SetRefetchDelay(Value(RefetchDelayEdit, 0));
    Connection.SetSendTimeout(Value(SendTimeoutEdit, 0));
    Connection.SetReceiveTimeout(Value(ReceiveTimeoutEdit, 0));
    if (Client) {
        Connection.SetMaxRetries(Value(MaxRetriesEdit, 1));
        Connection.SetTurnaroundDelay(Value(TurnaroundDelayEdit, 0));
    }
}

// --- Dependent controls ---------------------------------------------------------------------

void TModbusConnectionEditForm::showEvent(QShowEvent* Event) {
    QDialog::showEvent(Event);
    if (!Event->spontaneous())
        RunHandler(this, [this] { FormShow(); });
}

void TModbusConnectionEditForm::FormShow() {
    BaudRateComboBoxClick();
    FlowControlRadioGroupClick();
    TransmissionModeRadioGroupClick();
    PageControl1Change();
    ConnectionModeRadioGroupClick();
}

void TModbusConnectionEditForm::BaudRateComboBoxClick() {
    CustomBaudRateEdit->setVisible(BaudRateComboBox->currentIndex() == brCustom);
}

void TModbusConnectionEditForm::FlowControlRadioGroupClick() {
    const int Flow = ItemIndex(FlowControlRadioGroup);
    // The lines under flow control keep their check marks; they are applied as shown.
    DTREnabledCheckBox->setEnabled(Flow != fcDtrDsr);
    RTSEnabledCheckBox->setEnabled(Flow != fcRtsToggle && Flow != fcRtsCts);
}

void TModbusConnectionEditForm::TransmissionModeRadioGroupClick() {
    Label3->setText(QStringLiteral("Silent &Interval [%1]:")
                        .arg(ItemIndex(TransmissionModeRadioGroup) == tmASCII
                                 ? QStringLiteral("milliseconds")
                                 : QStringLiteral("character times")));
}

void TModbusConnectionEditForm::ConnectionModeRadioGroupClick() {
    const bool Client = ClientSelected();
    for (QLineEdit* Edit : {RefetchDelayEdit, ReceiveTimeoutEdit, MaxRetriesEdit, TurnaroundDelayEdit})
        SetEditEnabled(Edit, Client);
    for (QLabel* Label : {RefetchDelayLabel, ReceiveTimeoutLabel, MaxRetriesLabel, TurnaroundDelayLabel})
        Label->setEnabled(Client);
}

void TModbusConnectionEditForm::SetEditEnabled(QLineEdit* Edit, bool Enabled) {
    Edit->setEnabled(Enabled);
    // A disabled edit looks like the dialog's face, an enabled one like a window.
    const QPalette Standard = QApplication::palette(Edit);
    QPalette Palette = Edit->palette();
    const QColor Face = Standard.color(QPalette::Active, QPalette::Button);
    const QColor Window = Standard.color(QPalette::Active, QPalette::Base);
    for (const auto Group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled})
        Palette.setColor(Group, QPalette::Base, Enabled ? Window : Face);
    Edit->setPalette(Palette);
}

void TModbusConnectionEditForm::PageControl1Change() {
    const bool Serial = PageControl1->currentWidget() == SerialCommTabSheet;
    RTUDefaultsButton->setEnabled(Serial);
    ASCIIDefaultsButton->setEnabled(Serial);
}

// The tab widget changes its page before it tells: the page that was left is
// brought back for its check, and the change is made again only when the
// check passes. So the check's focus lands on a visible edit.
void TModbusConnectionEditForm::PageControl1Changing(int NewIndex) {
    const int OldIndex = fShownPage;
    if (NewIndex == OldIndex)
        return;
    {
        const QSignalBlocker Quiet(PageControl1);
        PageControl1->setCurrentIndex(OldIndex);
    }
    if (PageControl1->widget(OldIndex) == SerialCommTabSheet)
        CheckSerialCommPage();
    else
        CheckTransactionMgmtPage();
    {
        const QSignalBlocker Quiet(PageControl1);
        PageControl1->setCurrentIndex(NewIndex);
    }
    fShownPage = NewIndex;
    PageControl1Change();
}

void TModbusConnectionEditForm::SetDefaults(int DataBits, int Parity, int StopBits, int Mode,
                                            const QString& SilentInterval) {
    SetItemIndex(DataBitsRadioGroup, DataBits);
    SetItemIndex(ParitySchemeRadioGroup, Parity);
    SetItemIndex(StopBitsRadioGroup, StopBits);
    SetItemIndex(TransmissionModeRadioGroup, Mode);
    SilentIntervalEdit->setText(SilentInterval);
}

void TModbusConnectionEditForm::RTUDefaultsButtonClick() {
    SetDefaults(db8, psEven, sb1, tmRTU, QStringLiteral("4"));
}

void TModbusConnectionEditForm::ASCIIDefaultsButtonClick() {
    SetDefaults(db7, psEven, sb1, tmASCII, QStringLiteral("1000"));
}

// --- Checks ---------------------------------------------------------------------------------------

bool TModbusConnectionEditForm::ClientSelected() const {
    return ItemIndex(ConnectionModeRadioGroup) == cmClient;
}

std::int64_t TModbusConnectionEditForm::CheckEditValue(QLineEdit* Edit, std::int64_t MinValue,
                                                       std::int64_t MaxValue) {
    const auto Fail = [Edit](const std::string& Message) {
        if (Edit->isVisible() && Edit->isEnabled())
            Edit->setFocus();
        throw EQuorvelError(Message);
    };
    const std::optional<std::int64_t> Value = TextToInt64(Edit->text());
    if (!Value)
        Fail(QStringLiteral("'%1' is not a valid integer value").arg(Edit->text()).toStdString());
    if (*Value < MinValue || *Value > MaxValue)
        Fail(EQuorvelError(qmValueOutOfRange, {MinValue, MaxValue}).what());
    return *Value;
}

void TModbusConnectionEditForm::CheckSerialCommPage() {
    if (BaudRateComboBox->currentIndex() == brCustom)
        CheckEditValue(CustomBaudRateEdit, 0, MaxUInt32);
    // The echo of a query only matters to a client waiting for its reply.
    EchoCheckBox->setEnabled(ClientSelected());
    CheckEditValue(SilentIntervalEdit, 0, MaxUInt32);
}

void TModbusConnectionEditForm::CheckTransactionMgmtPage() {
    const bool Client = ClientSelected();
    if (Client)
        CheckEditValue(RefetchDelayEdit, 0, MaxUInt32);
    CheckEditValue(SendTimeoutEdit, 0, MaxUInt32);
    CheckEditValue(ReceiveTimeoutEdit, 0, MaxUInt32);
    if (Client) {
        CheckEditValue(MaxRetriesEdit, 1, MaxUInt32);
        CheckEditValue(TurnaroundDelayEdit, 0, MaxUInt32);
    }
}

void TModbusConnectionEditForm::OKButtonClick() {
    // A failed check keeps the dialog open; its error goes to the error box.
    CheckSerialCommPage();
    CheckTransactionMgmtPage();
    accept();
}

// --- The dialog's use --------------------------------------------------------------------------

bool EditModbusConnection(TModbusConnection& Connection, const QString& Caption) {
    TModbusConnectionEditForm Form;
    Form.setWindowTitle(Caption);
    Form.LoadFromConnection(Connection);
    if (Form.exec() != QDialog::Accepted)
        return false;

    const bool Reopen = Form.NeedsReopen(Connection);
    if (Reopen)
        Connection.Close();
    try {
        Form.ApplyToConnection(Connection);
    } catch (...) {
        // The connection goes back to work with what was applied; should that
        // fail too, its error is the one that leaves.
        if (Reopen)
            Connection.Open();
        throw;
    }
    if (Reopen)
        Connection.Open();
    return true;
}
