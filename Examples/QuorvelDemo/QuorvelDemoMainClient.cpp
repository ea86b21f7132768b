// The main window's client operation pages ("Discrete Access", "Register
// Access", "Server Diagnostics"): their buttons, edits and lists, and the
// reports of the client's completion events.
//
// A button checks the edits it needs, starts one request and logs its request
// line; the report follows whenever the client fires the command's event.
// Errors of buttons, edits and lists go to the standard error box; an error in
// a completion handler goes back to the library, which shows it.

#include "QuorvelDemoMain.h"

#include "IntegerConversion.h"
#include "QuorvelDemoApplication.h"

#include <QEvent>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMouseEvent>
#include <QScopeGuard>
#include <QStringList>
#include <QTableWidget>

#include <functional>
#include <stdexcept>

using namespace Quorvel;

namespace {

// Command titles of the request and completion lines.
const QString ReadCoilsTitle = QStringLiteral("Read Coils (code $01)");
const QString ReadDiscreteInputsTitle = QStringLiteral("Read Discrete Inputs (code $02)");
const QString ReadHoldingRegistersTitle = QStringLiteral("Read Holding Registers (code $03)");
const QString ReadInputRegistersTitle = QStringLiteral("Read Input Registers (code $04)");
const QString WriteSingleCoilTitle = QStringLiteral("Write Single Coil (code $05)");
const QString WriteSingleRegisterTitle = QStringLiteral("Write Single Register (code $06)");
const QString ReadExceptionStatusTitle = QStringLiteral("Read Exception Status (code $07)");
const QString DiagnosticsTitle = QStringLiteral("Diagnostics (code $08)");
const QString WriteMultipleCoilsTitle = QStringLiteral("Write Multiple Coils (code $0F)");
const QString WriteMultipleRegistersTitle = QStringLiteral("Write Multiple Registers (code $10)");
const QString ReportServerIDTitle = QStringLiteral("Report Server ID (code $11)");
const QString MaskWriteRegisterTitle = QStringLiteral("Mask Write Register (code $16)");
const QString ReadWriteMultipleRegistersTitle = QStringLiteral("Read/Write Multiple Registers (code $17)");

// Edit limits: addresses and masks are 16-bit; the counts are the client's
// limits per command.
constexpr std::int64_t MaxWord = 65535;
constexpr std::int64_t MaxReadBitCount = 2008;
constexpr std::int64_t MaxWriteBitCount = 1976;
constexpr std::int64_t MaxReadRegCount = 125;
constexpr std::int64_t MaxWriteRegCount = 123;

// Row labels: "Coil %d" in the coil list, "Register %d" in the register list's
// address cells; the address follows the prefix.
const QString CoilLabel = QStringLiteral("Coil %1");
constexpr int CoilPrefixLength = 5;
const QString RegisterLabel = QStringLiteral("Register %1");
constexpr int RegisterPrefixLength = 9;

// The register list's columns: the value is the row's own text, the address
// its second cell.
constexpr int ValueColumn = 0;
constexpr int AddressColumn = 1;

// Passes one widget's events to a handler; the handler returns true for an
// event it has used up. Owned by the widget.
class TEventHook : public QObject {
public:
    using THandler = std::function<bool(QEvent*)>;

    TEventHook(QObject* Target, THandler Handler) : QObject(Target), fHandler(std::move(Handler)) {
        Target->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject*, QEvent* Event) override { return fHandler(Event); }

private:
    THandler fHandler;
};

// Runs Handler when Edit loses the focus to another control of the window;
// the window itself losing the focus (a message box, another program) is no
// exit from the edit.
void OnExit(QLineEdit* Edit, QWidget* Parent, std::function<void()> Handler) {
    new TEventHook(Edit, [Parent, Handler = std::move(Handler)](QEvent* Event) {
        if (Event->type() == QEvent::FocusOut) {
            const Qt::FocusReason Reason = static_cast<QFocusEvent*>(Event)->reason();
            if (Reason != Qt::ActiveWindowFocusReason && Reason != Qt::PopupFocusReason)
                RunHandler(Parent, Handler);
        }
        return false;
    });
}

[[noreturn]] void RaiseNotAnInteger(const QString& Text) {
    throw std::runtime_error(QStringLiteral("'%1' is not a valid integer value").arg(Text).toStdString());
}

// A whole number written by the lists themselves (a label's address, a value).
std::int32_t ListNumber(const QString& Text) {
    const std::optional<std::int32_t> Value = TextToInt32(Text);
    if (!Value)
        RaiseNotAnInteger(Text);
    return *Value;
}

// A checked edit's value; CheckEditValue has accepted it.
std::int64_t EditValue(const QLineEdit* Edit) {
    const std::optional<std::int64_t> Value = TextToInt64(Edit->text());
    if (!Value)
        RaiseNotAnInteger(Edit->text());
    return *Value;
}

std::uint16_t Word(std::int64_t Value) {
    return static_cast<std::uint16_t>(Value);
}

QString CommandHint(const QString& Title, const QStringList& Lines) {
    return (QStringList{
                QStringLiteral("Asynchronously initiates a transaction based on Modbus command \"%1\".")
                    .arg(Title)} +
            Lines)
        .join(QLatin1Char('\n'));
}

QString Hint(const QStringList& Lines) {
    return Lines.join(QLatin1Char('\n'));
}

} // namespace

// --- Wiring and start-up -------------------------------------------------------------------

void TQuorvelDemoMainForm::ConnectClientPanels() {
    TDiscreteAccessPage* D = DiscreteAccessTabSheet;
    TRegisterAccessPage* R = RegisterAccessTabSheet;
    TDiagnosticsPage* G = DiagnosticsTabSheet;

    const auto OnClick = [this](QAbstractButton* Button, void (TQuorvelDemoMainForm::*Handler)()) {
        connect(Button, &QAbstractButton::clicked, this,
                [this, Handler] { RunHandler(this, [this, Handler] { (this->*Handler)(); }); });
    };
    OnClick(D->ReadCoilsButton, &TQuorvelDemoMainForm::ReadCoilsButtonClick);
    OnClick(D->ReadDiscreteInputsButton, &TQuorvelDemoMainForm::ReadDiscreteInputsButtonClick);
    OnClick(D->WriteSingleCoilButton, &TQuorvelDemoMainForm::WriteSingleCoilButtonClick);
    OnClick(D->WriteMultipleCoilsButton, &TQuorvelDemoMainForm::WriteMultipleCoilsButtonClick);
    OnClick(R->ReadHoldingRegistersButton, &TQuorvelDemoMainForm::ReadHoldingRegistersButtonClick);
    OnClick(R->ReadInputRegistersButton, &TQuorvelDemoMainForm::ReadInputRegistersButtonClick);
    OnClick(R->WriteSingleRegisterButton, &TQuorvelDemoMainForm::WriteSingleRegisterButtonClick);
    OnClick(R->WriteMultipleRegistersButton, &TQuorvelDemoMainForm::WriteMultipleRegistersButtonClick);
    OnClick(R->MaskWriteSingleRegisterButton, &TQuorvelDemoMainForm::MaskWriteSingleRegisterButtonClick);
    OnClick(R->ReadWriteMultipleRegistersButton,
            &TQuorvelDemoMainForm::ReadWriteMultipleRegistersButtonClick);
    OnClick(G->DiagnosticsButton, &TQuorvelDemoMainForm::DiagnosticsButtonClick);
    OnClick(G->ReadExceptionStatusButton, &TQuorvelDemoMainForm::ReadExceptionStatusButtonClick);
    OnClick(G->ReportServerIDButton, &TQuorvelDemoMainForm::ReportServerIDButtonClick);

    OnExit(D->WriteStartBitEdit, this, [this] { WriteStartBitEditExit(); });
    OnExit(D->WriteBitCountEdit, this, [this] { WriteBitCountEditExit(); });
    OnExit(R->WriteStartRegEdit, this, [this] { WriteStartRegEditExit(); });
    OnExit(R->WriteRegCountEdit, this, [this] { WriteRegCountEditExit(); });

    QTableWidget* Registers = R->RegisterListView;
    new TEventHook(Registers, [this](QEvent* Event) {
        if (Event->type() != QEvent::KeyPress)
            return false;
        bool Used = false;
        RunHandler(this, [&] { Used = RegisterListViewKeyDown(static_cast<QKeyEvent*>(Event)->key()); });
        return Used;
    });
    new TEventHook(Registers->viewport(), [this](QEvent* Event) {
        if (Event->type() == QEvent::MouseButtonDblClick) {
            const QPoint Pos = static_cast<QMouseEvent*>(Event)->position().toPoint();
            RunHandler(this, [&] { RegisterListViewDblClick(Pos); });
        }
        return false;
    });
    R->OnRegisterValueEdited = [this](int Row, QString& S) { RegisterListViewEdited(Row, S); };
    // A selected row edits its value, whichever cell was clicked: the
    // toolkit's own edit keys act on the current cell.
    connect(Registers, &QTableWidget::currentCellChanged, this, [Registers](int Row, int Column, int, int) {
        if (Row >= 0 && Column != ValueColumn)
            Registers->setCurrentCell(Row, ValueColumn, QItemSelectionModel::NoUpdate);
    });

    // Hints.
    D->ReadCoilsButton->setToolTip(CommandHint(
        ReadCoilsTitle,
        {QStringLiteral(
            "This command is used to read the status of a contiguous block of coils in a remote server.")}));
    D->ReadDiscreteInputsButton->setToolTip(
        CommandHint(ReadDiscreteInputsTitle,
                    {QStringLiteral("This command is used to read the status of a "
                                    "contiguous block of discrete inputs in a remote server.")}));
    D->WriteSingleCoilButton->setToolTip(
        CommandHint(WriteSingleCoilTitle,
                    {QStringLiteral("This command is used to write a single coil in a remote server.")}));
    D->WriteMultipleCoilsButton->setToolTip(CommandHint(
        WriteMultipleCoilsTitle,
        {QStringLiteral("This command is used to write a contiguous block of coils in a remote server.")}));
    R->ReadHoldingRegistersButton->setToolTip(
        CommandHint(ReadHoldingRegistersTitle,
                    {QStringLiteral("This command is used to read the contents of a "
                                    "contiguous block of holding registers in a remote server.")}));
    R->ReadInputRegistersButton->setToolTip(
        CommandHint(ReadInputRegistersTitle,
                    {QStringLiteral("This command is used to read the contents of a "
                                    "contiguous block of input registers in a remote server.")}));
    R->WriteSingleRegisterButton->setToolTip(CommandHint(
        WriteSingleRegisterTitle,
        {QStringLiteral("This command is used to write a single holding register in a remote server.")}));
    R->WriteMultipleRegistersButton->setToolTip(CommandHint(
        WriteMultipleRegistersTitle,
        {QStringLiteral(
            "This command is used to write a contiguous block of holding registers in a remote server.")}));
    R->MaskWriteSingleRegisterButton->setToolTip(CommandHint(
        MaskWriteRegisterTitle,
        {QStringLiteral(
             "This command is used to modify the contents of a specified holding register in a remote "
             "server using"),
         QStringLiteral("a combination of an AND mask, an OR mask, and the register's current contents.")}));
    R->ReadWriteMultipleRegistersButton->setToolTip(CommandHint(
        ReadWriteMultipleRegistersTitle,
        {QStringLiteral("This command is used to perform a combination of one read operation and one "
                        "write operation in a single Modbus transaction.")}));
    G->DiagnosticsButton->setToolTip(CommandHint(
        DiagnosticsTitle,
        {QStringLiteral(
             "This command is used to perform a series of tests for checking the communication system"),
         QStringLiteral(
             "between a client and a server, or for checking various internal error conditions within a "
             "server.")}));
    G->ReadExceptionStatusButton->setToolTip(CommandHint(
        ReadExceptionStatusTitle, {QStringLiteral("This command is used to read the contents of eight "
                                                  "exception status outputs in a remote server.")}));
    G->ReportServerIDButton->setToolTip(
        CommandHint(ReportServerIDTitle,
                    {QStringLiteral("This command is used to read the description of the type, the "
                                    "current status, and other information specific to a remote server.")}));

    D->ReadStartBitEdit->setToolTip(QStringLiteral(
        "Specifies the address of a coil (or discrete input) at which the reading is to be started."));
    D->ReadBitCountEdit->setToolTip(
        QStringLiteral("Specifies the quantity of coils (or discrete inputs) to be read."));
    D->WriteStartBitEdit->setToolTip(
        QStringLiteral("Specifies the address of a coil at which the writing is to be started."));
    D->WriteBitCountEdit->setToolTip(QStringLiteral("Specifies the quantity of coils to be written."));
    D->DiscreteListView->setToolTip(
        Hint({QStringLiteral("Specifies the desired coil value(s) to be written."),
              QStringLiteral("Press spacebar to toggle the state of the currently selected coil.")}));
    R->ReadStartRegEdit->setToolTip(QStringLiteral(
        "Specifies the address of a holding (or input) register at which the reading is to be started."));
    R->ReadRegCountEdit->setToolTip(
        QStringLiteral("Specifies the quantity of holding (or input) registers to be read."));
    R->WriteStartRegEdit->setToolTip(
        QStringLiteral("Specifies the address of a holding register at which the writing is to be started."));
    R->WriteRegCountEdit->setToolTip(
        QStringLiteral("Specifies the quantity of holding registers to be written."));
    R->RegisterListView->setToolTip(
        Hint({QStringLiteral("Specifies the desired register value(s) to be written."),
              QStringLiteral("Press Enter to edit the currently selected register value.")}));
    R->MaskWriteRegAddrEdit->setToolTip(
        QStringLiteral("Specifies the address of a holding register to be modified."));
    R->AndMaskEdit->setToolTip(QStringLiteral("Specifies the data to be used as an AND mask."));
    R->OrMaskEdit->setToolTip(QStringLiteral("Specifies the data to be used as an OR mask."));
    const QString BroadcastHint =
        Hint({QStringLiteral(
                  "When checked, the query will be broadcasted to all remote servers instead of a single"),
              QStringLiteral("remote server in case of the unicast mode."),
              QStringLiteral(
                  "No reply is expected to be returned from a remote server(s) in the broadcasting mode.")});
    D->DiscreteBroadcastCheckBox->setToolTip(BroadcastHint);
    R->RegisterBroadcastCheckBox->setToolTip(BroadcastHint);
    G->DiagnosticActionRadioGroup->setToolTip(
        QStringLiteral("Specifies the kind of diagnostic action to be performed by a remote server."));

    // Completion events.
    ModbusClient1->OnCoilsRead = [this](TComponent* Sender, const TTransactionInfo& Info,
                                        std::uint16_t StartBit, std::uint16_t BitCount,
                                        const TBitValues& BitValues) {
        ModbusClient1CoilsRead(Sender, Info, StartBit, BitCount, BitValues);
    };
    ModbusClient1->OnDiscreteInputsRead = [this](TComponent* Sender, const TTransactionInfo& Info,
                                                 std::uint16_t StartBit, std::uint16_t BitCount,
                                                 const TBitValues& BitValues) {
        ModbusClient1DiscreteInputsRead(Sender, Info, StartBit, BitCount, BitValues);
    };
    ModbusClient1->OnSingleCoilWrite = [this](TComponent* Sender, const TTransactionInfo& Info,
                                              std::uint16_t BitAddr, bool BitValue) {
        ModbusClient1SingleCoilWrite(Sender, Info, BitAddr, BitValue);
    };
    ModbusClient1->OnMultipleCoilsWrite = [this](TComponent* Sender, const TTransactionInfo& Info,
                                                 std::uint16_t StartBit, std::uint16_t BitCount,
                                                 const TBitValues& BitValues) {
        ModbusClient1MultipleCoilsWrite(Sender, Info, StartBit, BitCount, BitValues);
    };
    ModbusClient1->OnHoldingRegistersRead = [this](TComponent* Sender, const TTransactionInfo& Info,
                                                   std::uint16_t StartReg, std::uint16_t RegCount,
                                                   const TRegValues& RegValues) {
        ModbusClient1HoldingRegistersRead(Sender, Info, StartReg, RegCount, RegValues);
    };
    ModbusClient1->OnInputRegistersRead = [this](TComponent* Sender, const TTransactionInfo& Info,
                                                 std::uint16_t StartReg, std::uint16_t RegCount,
                                                 const TRegValues& RegValues) {
        ModbusClient1InputRegistersRead(Sender, Info, StartReg, RegCount, RegValues);
    };
    ModbusClient1->OnSingleRegisterWrite = [this](TComponent* Sender, const TTransactionInfo& Info,
                                                  std::uint16_t RegAddr, std::uint16_t RegValue) {
        ModbusClient1SingleRegisterWrite(Sender, Info, RegAddr, RegValue);
    };
    ModbusClient1->OnMultipleRegistersWrite = [this](TComponent* Sender, const TTransactionInfo& Info,
                                                     std::uint16_t StartReg, std::uint16_t RegCount,
                                                     const TRegValues& RegValues) {
        ModbusClient1MultipleRegistersWrite(Sender, Info, StartReg, RegCount, RegValues);
    };
    ModbusClient1->OnSingleRegisterMaskWrite = [this](TComponent* Sender, const TTransactionInfo& Info,
                                                      std::uint16_t RegAddr, std::uint16_t AndMask,
                                                      std::uint16_t OrMask) {
        ModbusClient1SingleRegisterMaskWrite(Sender, Info, RegAddr, AndMask, OrMask);
    };
    ModbusClient1->OnMultipleRegistersReadWrite =
        [this](TComponent* Sender, const TTransactionInfo& Info, std::uint16_t StartRegToRead,
               std::uint16_t RegCountToRead, const TRegValues& RegValuesToRead, std::uint16_t StartRegToWrite,
               std::uint16_t RegCountToWrite, const TRegValues& RegValuesToWrite) {
            ModbusClient1MultipleRegistersReadWrite(Sender, Info, StartRegToRead, RegCountToRead,
                                                    RegValuesToRead, StartRegToWrite, RegCountToWrite,
                                                    RegValuesToWrite);
        };
    ModbusClient1->OnDiagnostics = [this](TComponent* Sender, const TTransactionInfo& Info,
                                          TDiagnosticAction Action, std::uint16_t Result) {
        ModbusClient1Diagnostics(Sender, Info, Action, Result);
    };
    ModbusClient1->OnExceptionStatusRead = [this](TComponent* Sender, const TTransactionInfo& Info,
                                                  const TExceptionStatusValues& StatusValues) {
        ModbusClient1ExceptionStatusRead(Sender, Info, StatusValues);
    };
    ModbusClient1->OnServerIdentificationReport = [this](TComponent* Sender, const TTransactionInfo& Info,
                                                         std::int32_t Count,
                                                         const TServerIdentificationData& Data) {
        ModbusClient1ServerIdentificationReport(Sender, Info, Count, Data);
    };
}

void TQuorvelDemoMainForm::PrepareClientPanels() {
    // The address first, the value it is edited beside second.
    QHeaderView* Header = RegisterAccessTabSheet->RegisterListView->horizontalHeader();
    Header->moveSection(Header->visualIndex(AddressColumn), 0);
    UpdateCoilList();
    UpdateRegisterList();
}

// --- Edit checks --------------------------------------------------------------------------

std::int64_t TQuorvelDemoMainForm::CheckEditValue(QLineEdit* Edit, std::int64_t MinValue,
                                                  std::int64_t MaxValue) {
    const auto Focus = [Edit] {
        if (Edit->isVisible() && Edit->isEnabled())
            Edit->setFocus(Qt::OtherFocusReason);
    };
    const std::optional<std::int64_t> Value = TextToInt64(Edit->text());
    if (!Value) {
        Focus();
        RaiseNotAnInteger(Edit->text());
    }
    if (*Value < MinValue || *Value > MaxValue) {
        Focus();
        throw std::runtime_error(
            QStringLiteral("Value must be between %1 and %2").arg(MinValue).arg(MaxValue).toStdString());
    }
    return *Value;
}

void TQuorvelDemoMainForm::CheckReadBitEdits() {
    CheckEditValue(DiscreteAccessTabSheet->ReadStartBitEdit, 0, MaxWord);
    CheckEditValue(DiscreteAccessTabSheet->ReadBitCountEdit, 1, MaxReadBitCount);
}

void TQuorvelDemoMainForm::CheckWriteBitEdits() {
    CheckEditValue(DiscreteAccessTabSheet->WriteStartBitEdit, 0, MaxWord);
    CheckEditValue(DiscreteAccessTabSheet->WriteBitCountEdit, 1, MaxWriteBitCount);
}

void TQuorvelDemoMainForm::CheckReadRegEdits() {
    CheckEditValue(RegisterAccessTabSheet->ReadStartRegEdit, 0, MaxWord);
    CheckEditValue(RegisterAccessTabSheet->ReadRegCountEdit, 1, MaxReadRegCount);
}

void TQuorvelDemoMainForm::CheckWriteRegEdits() {
    CheckEditValue(RegisterAccessTabSheet->WriteStartRegEdit, 0, MaxWord);
    CheckEditValue(RegisterAccessTabSheet->WriteRegCountEdit, 1, MaxWriteRegCount);
}

void TQuorvelDemoMainForm::CheckMaskWriteEdits() {
    CheckEditValue(RegisterAccessTabSheet->MaskWriteRegAddrEdit, 0, MaxWord);
    CheckEditValue(RegisterAccessTabSheet->AndMaskEdit, 0, MaxWord);
    CheckEditValue(RegisterAccessTabSheet->OrMaskEdit, 0, MaxWord);
}

// --- The write lists ------------------------------------------------------------------------

void TQuorvelDemoMainForm::UpdateCoilList() {
    TDiscreteAccessPage* Page = DiscreteAccessTabSheet;
    CheckWriteBitEdits();
    const int Start = Word(EditValue(Page->WriteStartBitEdit));
    const int Count = static_cast<int>(EditValue(Page->WriteBitCountEdit));

    QTableWidget* List = Page->DiscreteListView;
    List->setUpdatesEnabled(false);
    const auto Resume = qScopeGuard([&] {
        List->setUpdatesEnabled(true);
        Page->WriteSingleCoilButton->setEnabled(List->rowCount() == 1);
    });
    // New rows are unchecked; existing rows keep their values.
    for (int Row = List->rowCount(); Row < Count; ++Row) {
        List->insertRow(Row);
        auto* Item = new QTableWidgetItem;
        Item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable);
        Item->setCheckState(Qt::Unchecked);
        List->setItem(Row, 0, Item);
    }
    List->setRowCount(Count);
    // The label's address is not reduced to 16 bits: past 65535 it names an
    // address the request will refuse.
    for (int Row = 0; Row < Count; ++Row)
        List->item(Row, 0)->setText(CoilLabel.arg(Start + Row));
}

void TQuorvelDemoMainForm::UpdateRegisterList() {
    TRegisterAccessPage* Page = RegisterAccessTabSheet;
    CheckWriteRegEdits();
    const int Start = Word(EditValue(Page->WriteStartRegEdit));
    const int Count = static_cast<int>(EditValue(Page->WriteRegCountEdit));

    QTableWidget* List = Page->RegisterListView;
    List->setUpdatesEnabled(false);
    const auto Resume = qScopeGuard([&] {
        List->setUpdatesEnabled(true);
        Page->WriteSingleRegisterButton->setEnabled(List->rowCount() == 1);
    });
    for (int Row = List->rowCount(); Row < Count; ++Row) {
        List->insertRow(Row);
        auto* Value = new QTableWidgetItem(QStringLiteral("0"));
        Value->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsEditable);
        List->setItem(Row, ValueColumn, Value);
        auto* Address = new QTableWidgetItem;
        Address->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
        List->setItem(Row, AddressColumn, Address);
    }
    List->setRowCount(Count);
    for (int Row = 0; Row < Count; ++Row)
        List->item(Row, AddressColumn)->setText(RegisterLabel.arg(Start + Row));
}

void TQuorvelDemoMainForm::WriteStartBitEditExit() {
    UpdateCoilList();
}

void TQuorvelDemoMainForm::WriteBitCountEditExit() {
    UpdateCoilList();
}

void TQuorvelDemoMainForm::WriteStartRegEditExit() {
    UpdateRegisterList();
}

void TQuorvelDemoMainForm::WriteRegCountEditExit() {
    UpdateRegisterList();
}

bool TQuorvelDemoMainForm::RegisterListViewKeyDown(int Key) {
    TRegisterAccessPage* Page = RegisterAccessTabSheet;
    if ((Key != Qt::Key_Return && Key != Qt::Key_Enter) || Page->RegisterValueEditing())
        return false;
    QTableWidget* List = Page->RegisterListView;
    const QList<QTableWidgetItem*> Selected = List->selectedItems();
    if (Selected.isEmpty())
        return false;
    List->editItem(List->item(Selected.front()->row(), ValueColumn));
    return true;
}

void TQuorvelDemoMainForm::RegisterListViewDblClick(const QPoint& Pos) {
    QTableWidget* List = RegisterAccessTabSheet->RegisterListView;
    if (const QTableWidgetItem* Item = List->itemAt(Pos))
        List->editItem(List->item(Item->row(), ValueColumn));
}

void TQuorvelDemoMainForm::RegisterListViewEdited(int Row, QString& S) {
    QTableWidget* List = RegisterAccessTabSheet->RegisterListView;
    const std::optional<std::int32_t> Value = TextToInt32(S);
    if (!Value) {
        S = List->item(Row, ValueColumn)->text();
        throw std::runtime_error(QStringLiteral("You've entered an invalid value for '%1'")
                                     .arg(List->item(Row, AddressColumn)->text())
                                     .toStdString());
    }
    // The two's-complement value's low 16 bits: -1 is 65535, 65536 is 0.
    S = QString::number(static_cast<std::uint16_t>(*Value));
}

// The addresses and values to write, as the lists hold them.
namespace {

std::uint16_t CoilListStart(const QTableWidget* List) {
    return Word(ListNumber(List->item(0, 0)->text().mid(CoilPrefixLength)));
}

TBitValues CoilListValues(const QTableWidget* List) {
    TBitValues Values;
    for (int Row = 0; Row < List->rowCount(); ++Row)
        Values.push_back(List->item(Row, 0)->checkState() == Qt::Checked);
    return Values;
}

std::uint16_t RegisterListStart(const QTableWidget* List) {
    return Word(ListNumber(List->item(0, AddressColumn)->text().mid(RegisterPrefixLength)));
}

TRegValues RegisterListValues(const QTableWidget* List) {
    TRegValues Values;
    for (int Row = 0; Row < List->rowCount(); ++Row)
        Values.push_back(Word(ListNumber(List->item(Row, ValueColumn)->text())));
    return Values;
}

} // namespace

// --- Buttons ------------------------------------------------------------------------------------

void TQuorvelDemoMainForm::ReadCoilsButtonClick() {
    CheckReadBitEdits();
    const std::uint32_t ID =
        ModbusClient1->ReadCoils(Word(EditValue(DiscreteAccessTabSheet->ReadStartBitEdit)),
                                 Word(EditValue(DiscreteAccessTabSheet->ReadBitCountEdit)), nullptr);
    LogInit(ID, ReadCoilsTitle);
}

void TQuorvelDemoMainForm::ReadDiscreteInputsButtonClick() {
    CheckReadBitEdits();
    const std::uint32_t ID =
        ModbusClient1->ReadDiscreteInputs(Word(EditValue(DiscreteAccessTabSheet->ReadStartBitEdit)),
                                          Word(EditValue(DiscreteAccessTabSheet->ReadBitCountEdit)), nullptr);
    LogInit(ID, ReadDiscreteInputsTitle);
}

void TQuorvelDemoMainForm::WriteSingleCoilButtonClick() {
    const QTableWidget* List = DiscreteAccessTabSheet->DiscreteListView;
    const std::uint16_t Address = CoilListStart(List);
    const bool Value = List->item(0, 0)->checkState() == Qt::Checked;
    if (DiscreteAccessTabSheet->DiscreteBroadcastCheckBox->isChecked()) {
        LogInit(ModbusConnection1->WriteSingleCoil(Address, Value, nullptr), WriteSingleCoilTitle);
        LogBroadcastNote();
    } else {
        LogInit(ModbusClient1->WriteSingleCoil(Address, Value, nullptr), WriteSingleCoilTitle);
    }
}

void TQuorvelDemoMainForm::WriteMultipleCoilsButtonClick() {
    const QTableWidget* List = DiscreteAccessTabSheet->DiscreteListView;
    const std::uint16_t Start = CoilListStart(List);
    const TBitValues Values = CoilListValues(List);
    if (DiscreteAccessTabSheet->DiscreteBroadcastCheckBox->isChecked()) {
        LogInit(ModbusConnection1->WriteMultipleCoils(Start, Values, nullptr), WriteMultipleCoilsTitle);
        LogBroadcastNote();
    } else {
        LogInit(ModbusClient1->WriteMultipleCoils(Start, Values, nullptr), WriteMultipleCoilsTitle);
    }
}

void TQuorvelDemoMainForm::ReadHoldingRegistersButtonClick() {
    CheckReadRegEdits();
    const std::uint32_t ID = ModbusClient1->ReadHoldingRegisters(
        Word(EditValue(RegisterAccessTabSheet->ReadStartRegEdit)),
        Word(EditValue(RegisterAccessTabSheet->ReadRegCountEdit)), nullptr);
    LogInit(ID, ReadHoldingRegistersTitle);
}

void TQuorvelDemoMainForm::ReadInputRegistersButtonClick() {
    CheckReadRegEdits();
    const std::uint32_t ID =
        ModbusClient1->ReadInputRegisters(Word(EditValue(RegisterAccessTabSheet->ReadStartRegEdit)),
                                          Word(EditValue(RegisterAccessTabSheet->ReadRegCountEdit)), nullptr);
    LogInit(ID, ReadInputRegistersTitle);
}

void TQuorvelDemoMainForm::WriteSingleRegisterButtonClick() {
    const QTableWidget* List = RegisterAccessTabSheet->RegisterListView;
    const std::uint16_t Address = RegisterListStart(List);
    const std::uint16_t Value = Word(ListNumber(List->item(0, ValueColumn)->text()));
    if (RegisterAccessTabSheet->RegisterBroadcastCheckBox->isChecked()) {
        LogInit(ModbusConnection1->WriteSingleRegister(Address, Value, nullptr), WriteSingleRegisterTitle);
        LogBroadcastNote();
    } else {
        LogInit(ModbusClient1->WriteSingleRegister(Address, Value, nullptr), WriteSingleRegisterTitle);
    }
}

void TQuorvelDemoMainForm::WriteMultipleRegistersButtonClick() {
    const QTableWidget* List = RegisterAccessTabSheet->RegisterListView;
    const std::uint16_t Start = RegisterListStart(List);
    const TRegValues Values = RegisterListValues(List);
    if (RegisterAccessTabSheet->RegisterBroadcastCheckBox->isChecked()) {
        LogInit(ModbusConnection1->WriteMultipleRegisters(Start, Values, nullptr),
                WriteMultipleRegistersTitle);
        LogBroadcastNote();
    } else {
        LogInit(ModbusClient1->WriteMultipleRegisters(Start, Values, nullptr), WriteMultipleRegistersTitle);
    }
}

void TQuorvelDemoMainForm::MaskWriteSingleRegisterButtonClick() {
    CheckMaskWriteEdits();
    const std::uint32_t ID =
        ModbusClient1->MaskWriteSingleRegister(Word(EditValue(RegisterAccessTabSheet->MaskWriteRegAddrEdit)),
                                               Word(EditValue(RegisterAccessTabSheet->AndMaskEdit)),
                                               Word(EditValue(RegisterAccessTabSheet->OrMaskEdit)), nullptr);
    LogInit(ID, MaskWriteRegisterTitle);
}

void TQuorvelDemoMainForm::ReadWriteMultipleRegistersButtonClick() {
    // The write part comes from the register list, which its own edits have
    // already shaped.
    CheckReadRegEdits();
    const QTableWidget* List = RegisterAccessTabSheet->RegisterListView;
    const std::uint32_t ID =
        ModbusClient1->ReadWriteMultipleRegisters(Word(EditValue(RegisterAccessTabSheet->ReadStartRegEdit)),
                                                  Word(EditValue(RegisterAccessTabSheet->ReadRegCountEdit)),
                                                  RegisterListStart(List), RegisterListValues(List), nullptr);
    LogInit(ID, ReadWriteMultipleRegistersTitle);
}

void TQuorvelDemoMainForm::DiagnosticsButtonClick() {
    const int Index = DiagnosticsTabSheet->DiagnosticActionIndex();
    if (Index < daReturnQueryData || Index > daClearOverrunCounterAndFlag)
        throw std::runtime_error("No diagnostic action is selected");
    LogInit(ModbusClient1->Diagnostics(static_cast<TDiagnosticAction>(Index), nullptr), DiagnosticsTitle);
}

void TQuorvelDemoMainForm::ReadExceptionStatusButtonClick() {
    LogInit(ModbusClient1->ReadExceptionStatus(nullptr), ReadExceptionStatusTitle);
}

void TQuorvelDemoMainForm::ReportServerIDButtonClick() {
    LogInit(ModbusClient1->ReportServerID(nullptr), ReportServerIDTitle);
}

// --- Completion reports ---------------------------------------------------------------------------
//
// Each writes the completion line and the outcome, the data of a normal reply,
// and an empty line. The loops stop at the delivered values as well as at the
// count, so a short sequence can never be read past its end.

void TQuorvelDemoMainForm::ModbusClient1CoilsRead(TComponent*, const TTransactionInfo& Info,
                                                  std::uint16_t StartBit, std::uint16_t BitCount,
                                                  const TBitValues& BitValues) {
    LogDone(Info.ID, ReadCoilsTitle);
    LogReply(Info);
    if (Info.Reply == srNormalReply) {
        LogBitCount(BitCount, likCoils);
        for (std::size_t I = 0; I < BitCount && I < BitValues.size(); ++I)
            LogBitValue(StartBit + static_cast<int>(I), BitValues[I], likCoils);
    }
    AddLogLine(QString());
}

void TQuorvelDemoMainForm::ModbusClient1DiscreteInputsRead(TComponent*, const TTransactionInfo& Info,
                                                           std::uint16_t StartBit, std::uint16_t BitCount,
                                                           const TBitValues& BitValues) {
    LogDone(Info.ID, ReadDiscreteInputsTitle);
    LogReply(Info);
    if (Info.Reply == srNormalReply) {
        LogBitCount(BitCount, likDiscreteInputs);
        for (std::size_t I = 0; I < BitCount && I < BitValues.size(); ++I)
            LogBitValue(StartBit + static_cast<int>(I), BitValues[I], likDiscreteInputs);
    }
    AddLogLine(QString());
}

void TQuorvelDemoMainForm::ModbusClient1SingleCoilWrite(TComponent*, const TTransactionInfo& Info,
                                                        std::uint16_t BitAddr, bool BitValue) {
    LogDone(Info.ID, WriteSingleCoilTitle);
    LogReply(Info);
    if (Info.Reply == srNormalReply) {
        LogBitCount(1, likCoils);
        LogBitValue(BitAddr, BitValue, likCoils);
    }
    AddLogLine(QString());
}

void TQuorvelDemoMainForm::ModbusClient1MultipleCoilsWrite(TComponent*, const TTransactionInfo& Info,
                                                           std::uint16_t StartBit, std::uint16_t BitCount,
                                                           const TBitValues& BitValues) {
    LogDone(Info.ID, WriteMultipleCoilsTitle);
    LogReply(Info);
    if (Info.Reply == srNormalReply) {
        LogBitCount(BitCount, likCoils);
        for (std::size_t I = 0; I < BitCount && I < BitValues.size(); ++I)
            LogBitValue(StartBit + static_cast<int>(I), BitValues[I], likCoils);
    }
    AddLogLine(QString());
}

void TQuorvelDemoMainForm::ModbusClient1HoldingRegistersRead(TComponent*, const TTransactionInfo& Info,
                                                             std::uint16_t StartReg, std::uint16_t RegCount,
                                                             const TRegValues& RegValues) {
    LogDone(Info.ID, ReadHoldingRegistersTitle);
    LogReply(Info);
    if (Info.Reply == srNormalReply) {
        LogRegisterCount(RegCount, likHoldingRegisters);
        for (std::size_t I = 0; I < RegCount && I < RegValues.size(); ++I)
            LogRegisterValue(StartReg + static_cast<int>(I), RegValues[I], likHoldingRegisters);
    }
    AddLogLine(QString());
}

void TQuorvelDemoMainForm::ModbusClient1InputRegistersRead(TComponent*, const TTransactionInfo& Info,
                                                           std::uint16_t StartReg, std::uint16_t RegCount,
                                                           const TRegValues& RegValues) {
    LogDone(Info.ID, ReadInputRegistersTitle);
    LogReply(Info);
    if (Info.Reply == srNormalReply) {
        LogRegisterCount(RegCount, likInputRegisters);
        for (std::size_t I = 0; I < RegCount && I < RegValues.size(); ++I)
            LogRegisterValue(StartReg + static_cast<int>(I), RegValues[I], likInputRegisters);
    }
    AddLogLine(QString());
}

void TQuorvelDemoMainForm::ModbusClient1SingleRegisterWrite(TComponent*, const TTransactionInfo& Info,
                                                            std::uint16_t RegAddr, std::uint16_t RegValue) {
    LogDone(Info.ID, WriteSingleRegisterTitle);
    LogReply(Info);
    if (Info.Reply == srNormalReply) {
        LogRegisterCount(1, likHoldingRegisters);
        LogRegisterValue(RegAddr, RegValue, likHoldingRegisters);
    }
    AddLogLine(QString());
}

void TQuorvelDemoMainForm::ModbusClient1MultipleRegistersWrite(TComponent*, const TTransactionInfo& Info,
                                                               std::uint16_t StartReg, std::uint16_t RegCount,
                                                               const TRegValues& RegValues) {
    LogDone(Info.ID, WriteMultipleRegistersTitle);
    LogReply(Info);
    if (Info.Reply == srNormalReply) {
        LogRegisterCount(RegCount, likHoldingRegisters);
        for (std::size_t I = 0; I < RegCount && I < RegValues.size(); ++I)
            LogRegisterValue(StartReg + static_cast<int>(I), RegValues[I], likHoldingRegisters);
    }
    AddLogLine(QString());
}

void TQuorvelDemoMainForm::ModbusClient1SingleRegisterMaskWrite(TComponent*, const TTransactionInfo& Info,
                                                                std::uint16_t RegAddr, std::uint16_t AndMask,
                                                                std::uint16_t OrMask) {
    LogDone(Info.ID, MaskWriteRegisterTitle);
    LogReply(Info);
    if (Info.Reply == srNormalReply) {
        LogRegisterCount(1, likHoldingRegisters);
        AddLogLine(QStringLiteral("Register: %1 | AND mask: %2 | OR mask: %3")
                       .arg(RegAddr)
                       .arg(AndMask)
                       .arg(OrMask));
    }
    AddLogLine(QString());
}

void TQuorvelDemoMainForm::ModbusClient1MultipleRegistersReadWrite(
    TComponent*, const TTransactionInfo& Info, std::uint16_t StartRegToRead, std::uint16_t RegCountToRead,
    const TRegValues& RegValuesToRead, std::uint16_t StartRegToWrite, std::uint16_t RegCountToWrite,
    const TRegValues& RegValuesToWrite) {
    LogDone(Info.ID, ReadWriteMultipleRegistersTitle);
    LogReply(Info);
    if (Info.Reply == srNormalReply) {
        // The server writes before it reads; the report keeps that order.
        AddLogLine(QStringLiteral("WRITE OPERATION:"));
        LogRegisterCount(RegCountToWrite, likHoldingRegisters);
        for (std::size_t I = 0; I < RegCountToWrite && I < RegValuesToWrite.size(); ++I)
            LogRegisterValue(StartRegToWrite + static_cast<int>(I), RegValuesToWrite[I], likHoldingRegisters);
        AddLogLine(QStringLiteral("READ OPERATION:"));
        LogRegisterCount(RegCountToRead, likHoldingRegisters);
        for (std::size_t I = 0; I < RegCountToRead && I < RegValuesToRead.size(); ++I)
            LogRegisterValue(StartRegToRead + static_cast<int>(I), RegValuesToRead[I], likHoldingRegisters);
    }
    AddLogLine(QString());
}

void TQuorvelDemoMainForm::ModbusClient1Diagnostics(TComponent*, const TTransactionInfo& Info,
                                                    TDiagnosticAction Action, std::uint16_t Result) {
    LogDone(Info.ID, DiagnosticsTitle);
    LogReply(Info);
    if (Info.Reply == srNormalReply) {
        QString Suffix;
        switch (Action) {
        case daReturnQueryData:
            Suffix = QStringLiteral(" action was performed by the server. It appears to be responding.");
            break;
        case daRestartCommsOption:
        case daRestartCommsOptionAndClearEventLog:
        case daClearCountersAndDiagnosticRegister:
        case daClearOverrunCounterAndFlag:
            Suffix = QStringLiteral(" action was performed by the server.");
            break;
        case daForceListenOnlyMode:
            Suffix = QStringLiteral(" action was performed by the server. It should never go here.");
            break;
        default:
            Suffix = QStringLiteral(" action returned the value %1.").arg(Result);
            break;
        }
        AddLogLine(QLatin1Char('"') + DiagnosticsTabSheet->DiagnosticActionCaption(Action) +
                   QLatin1Char('"') + Suffix);
    }
    AddLogLine(QString());
}

void TQuorvelDemoMainForm::ModbusClient1ExceptionStatusRead(TComponent*, const TTransactionInfo& Info,
                                                            const TExceptionStatusValues& StatusValues) {
    LogDone(Info.ID, ReadExceptionStatusTitle);
    LogReply(Info);
    if (Info.Reply == srNormalReply) {
        AddLogLine(QStringLiteral("8 exception status bits were processed."));
        for (std::size_t I = 0; I < StatusValues.size(); ++I)
            LogExceptionStatusBit(static_cast<int>(I), StatusValues[I]);
    }
    AddLogLine(QString());
}

void TQuorvelDemoMainForm::ModbusClient1ServerIdentificationReport(TComponent*, const TTransactionInfo& Info,
                                                                   std::int32_t Count,
                                                                   const TServerIdentificationData& Data) {
    LogDone(Info.ID, ReportServerIDTitle);
    LogReply(Info);
    if (Info.Reply == srNormalReply) {
        AddLogLine(QStringLiteral("Size of server identification info is %1 bytes.").arg(Count));
        LogHexDump(Data);
    }
    AddLogLine(QString());
}
