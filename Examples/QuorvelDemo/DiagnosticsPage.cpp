#include "DiagnosticsPage.h"

#include <QAbstractButton>
#include <QButtonGroup>
#include <QRadioButton>

TDiagnosticsPage::TDiagnosticsPage(QWidget* Parent) : QWidget(Parent) {
    setupUi(this);
    // The radio buttons in layout order, numbered as the actions are.
    fActions = new QButtonGroup(this);
    QLayout* Items = DiagnosticActionRadioGroup->layout();
    for (int I = 0; I < Items->count(); ++I)
        if (auto* Button = qobject_cast<QRadioButton*>(Items->itemAt(I)->widget()))
            fActions->addButton(Button, fActions->buttons().size());
}

int TDiagnosticsPage::DiagnosticActionCount() const {
    return static_cast<int>(fActions->buttons().size());
}

int TDiagnosticsPage::DiagnosticActionIndex() const {
    return fActions->checkedId();
}

void TDiagnosticsPage::SetDiagnosticActionIndex(int Index) {
    if (QAbstractButton* Button = fActions->button(Index))
        Button->setChecked(true);
}

QString TDiagnosticsPage::DiagnosticActionCaption(int Index) const {
    const QAbstractButton* Button = fActions->button(Index);
    return Button ? Button->text() : QString();
}
