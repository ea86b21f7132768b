// The "Server Diagnostics" page of the main window: diagnostics, exception status and server identification.
#pragma once

#include "ui_DiagnosticsPage.h"

#include <QString>
#include <QWidget>

class QButtonGroup;

// The page's controls are its members, by their names in DiagnosticsPage.ui.
// The main window handles its buttons (QuorvelDemoMainClient.cpp).
//
// DiagnosticActionRadioGroup holds one radio button per diagnostic action, in
// the order of TDiagnosticAction; the first is selected at the start.
class TDiagnosticsPage : public QWidget, public Ui::TDiagnosticsPage {
    Q_OBJECT

public:
    explicit TDiagnosticsPage(QWidget* Parent = nullptr);

    // The number of items, the selected item's index, and an item's caption
    // (empty for an index outside the list).
    int DiagnosticActionCount() const;
    int DiagnosticActionIndex() const;
    void SetDiagnosticActionIndex(int Index);
    QString DiagnosticActionCaption(int Index) const;

private:
    QButtonGroup* fActions;
};
