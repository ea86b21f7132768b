#include "ServerItemEditor.h"

#include "IntegerConversion.h"
#include "QuorvelDemoApplication.h"

#include <QLineEdit>
#include <QScreen>

#include <stdexcept>

TServerItemEditorForm::TServerItemEditorForm(PServerItem Item, bool IsNewItem, QWidget* Parent)
    : QDialog(Parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint), FIsNewItem(IsNewItem),
      FServerItem(Item) {
    setupUi(this);
    QFont Font(QStringLiteral("Tahoma"));
    Font.setPixelSize(11);
    setFont(Font);
    setFixedSize(184, 240);
    connect(OKButton, &QPushButton::clicked, this, [this] { RunHandler(this, [this] { OKButtonClick(); }); });
    connect(Button1, &QPushButton::clicked, this, &QDialog::reject);

    const TItemKind Kind = FServerItem->Kind;
    const bool Bit = Kind == ikCoil || Kind == ikDiscreteInput;
    const bool Writeable = Kind == ikCoil || Kind == ikHoldingRegister;
    setWindowTitle(
        (FIsNewItem ? QStringLiteral("New %1") : QStringLiteral("Edit %1")).arg(ServerItemKindName(Kind)));

    AddressEdit->setText(QString::number(FServerItem->Addr));
    if (!FIsNewItem) {
        AddressEdit->setReadOnly(true);
        QPalette Palette = AddressEdit->palette();
        Palette.setColor(QPalette::Base, Palette.color(QPalette::Button));
        AddressEdit->setPalette(Palette);
    }
    if (Bit) {
        ValueCheckBox->setChecked(FServerItem->Value == 1);
        for (QWidget* W : {static_cast<QWidget*>(Label2), static_cast<QWidget*>(ValueEdit),
                           static_cast<QWidget*>(Label3), static_cast<QWidget*>(MinValueEdit),
                           static_cast<QWidget*>(Label4), static_cast<QWidget*>(MaxValueEdit)})
            W->hide();
    } else {
        ValueEdit->setText(QString::number(FServerItem->Value));
        MinValueEdit->setText(QString::number(FServerItem->MinValue));
        MaxValueEdit->setText(QString::number(FServerItem->MaxValue));
        ValueCheckBox->hide();
    }
    if (Writeable)
        WriteableCheckBox->setChecked(FServerItem->Writeable);
    else
        WriteableCheckBox->hide();
}

std::int64_t TServerItemEditorForm::ValidateIntegerEdit(QLineEdit& Edit, std::int64_t Min, std::int64_t Max) {
    const auto Focus = [&Edit] {
        if (Edit.isVisible() && Edit.isEnabled())
            Edit.setFocus();
    };
    const std::optional<std::int64_t> Value = TextToInt64(Edit.text());
    if (!Value) {
        Focus();
        throw std::runtime_error(
            QStringLiteral("'%1' is not a valid integer value").arg(Edit.text()).toStdString());
    }
    if (*Value < Min || *Value > Max) {
        Focus();
        throw std::runtime_error(
            QStringLiteral("Value must be between %1 and %2").arg(Min).arg(Max).toStdString());
    }
    return *Value;
}

void TServerItemEditorForm::ValidateEntries() {
    ValidateIntegerEdit(*AddressEdit, 0, 65535);
    const TItemKind Kind = FServerItem->Kind;
    if (Kind == ikHoldingRegister || Kind == ikInputRegister) {
        const std::int64_t Min = ValidateIntegerEdit(*MinValueEdit, 0, 65535);
        const std::int64_t Max = ValidateIntegerEdit(*MaxValueEdit, Min, 65535);
        ValidateIntegerEdit(*ValueEdit, Min, Max);
    }
}

void TServerItemEditorForm::StoreEntries() {
    // Only called after ValidateEntries: every number converts and fits.
    const auto Number = [](const QLineEdit* Edit) {
        return static_cast<std::uint16_t>(*TextToInt64(Edit->text()));
    };
    const TItemKind Kind = FServerItem->Kind;
    FServerItem->Addr = Number(AddressEdit);
    if (Kind == ikHoldingRegister || Kind == ikInputRegister) {
        FServerItem->Value = Number(ValueEdit);
        FServerItem->MinValue = Number(MinValueEdit);
        FServerItem->MaxValue = Number(MaxValueEdit);
    } else {
        FServerItem->Value = ValueCheckBox->isChecked() ? 1 : 0;
    }
    if (Kind == ikCoil || Kind == ikHoldingRegister)
        FServerItem->Writeable = WriteableCheckBox->isChecked();
}

void TServerItemEditorForm::OKButtonClick() {
    // An error keeps the dialog open; the caller's handler shows it.
    ValidateEntries();
    accept();
}

bool EditServerItem(PServerItem Item, bool IsNewItem, QWidget* Parent) {
    TServerItemEditorForm Form(Item, IsNewItem, Parent);
    if (const QScreen* Screen = Form.screen())
        Form.move(Screen->availableGeometry().center() - Form.rect().center());
    if (Form.exec() != QDialog::Accepted)
        return false;
    Form.StoreEntries();
    return true;
}
