// The connection options dialog: edits a connection's serial line, framing,
// connection mode and transaction timing.
#pragma once

#include "ui_ModbusConnectionEditor.h"

#include <Quorvel.h>

#include <QDialog>
#include <QString>

#include <cstdint>

class QButtonGroup;
class QGroupBox;
class QLineEdit;

// Shows the dialog for Connection with Caption; on OK applies the values to
// the connection (closing and reopening it where a change needs that) and
// returns true; on Cancel changes nothing and returns false. Errors of
// applying or reopening are raised; the connection is then reopened if it
// was closed for the change (a failed reopening leaves it closed).
bool EditModbusConnection(Quorvel::TModbusConnection& Connection, const QString& Caption);

// Whether the dialog exists yet: the main window enables its menu item by it.
inline constexpr bool ConnectionEditorAvailable = true;

// The dialog itself; EditModbusConnection creates one for each use. Its
// controls are public members by their names in ModbusConnectionEditor.ui.
// The radio groups are group boxes whose buttons stand for the ordinals of
// their property: ItemIndex and SetItemIndex read and choose them.
class TModbusConnectionEditForm : public QDialog, public Ui::TModbusConnectionEditForm {
    Q_OBJECT

public:
    // Builds the dialog: the machine's serial ports in the port box, the baud
    // rates in their list, the "Serial Communication" page in front.
    explicit TModbusConnectionEditForm(QWidget* AOwner = nullptr);

    // Fills the controls from Connection; a stored ordinal outside its list
    // selects the property's default.
    void LoadFromConnection(const Quorvel::TModbusConnection& Connection);
    // Whether applying the controls to Connection needs it closed first: it is
    // open and a setting that only changes while closed differs.
    bool NeedsReopen(const Quorvel::TModbusConnection& Connection) const;
    // Writes the controls to Connection, in the connection's property order.
    // A setter that refuses a value stops it; the values before stay applied.
    void ApplyToConnection(Quorvel::TModbusConnection& Connection);

    // The selected item of a radio group (-1 for none), and its selection.
    // SetItemIndex is what a click does, dependent controls included.
    static int ItemIndex(const QGroupBox* Group);
    void SetItemIndex(QGroupBox* Group, int Index);

    // The checks of the pages and of one edit; each raises EQuorvelError
    // and puts the focus on the offending edit if it can take it.
    void CheckSerialCommPage();
    void CheckTransactionMgmtPage();
    static std::int64_t CheckEditValue(QLineEdit* Edit, std::int64_t MinValue, std::int64_t MaxValue);

protected:
    void showEvent(QShowEvent* Event) override;

private:
    void FormShow();
    void PageControl1Changing(int NewIndex);
    void PageControl1Change();
    void BaudRateComboBoxClick();
    void FlowControlRadioGroupClick();
    void TransmissionModeRadioGroupClick();
    void ConnectionModeRadioGroupClick();
    void RTUDefaultsButtonClick();
    void ASCIIDefaultsButtonClick();
    void OKButtonClick();

    // Puts one radio button per caption into Group, in ordinal order.
    void SetRadioItems(QGroupBox* Group, const QStringList& Captions, int Columns);
    void SetDefaults(int DataBits, int Parity, int StopBits, int Mode, const QString& SilentInterval);
    static void SetEditEnabled(QLineEdit* Edit, bool Enabled);
    bool ClientSelected() const;

    int fShownPage = 0; // the page in front, for the check when it is left
};
