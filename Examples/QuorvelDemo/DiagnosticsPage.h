// The "Server Diagnostics" page of the main window: diagnostics, exception status and server identification.
#pragma once

#include "ui_DiagnosticsPage.h"

#include <QWidget>

// The page's controls are its members, by their names in DiagnosticsPage.ui.
// The main window handles its buttons (QuorvelDemoMainClient.cpp).
class TDiagnosticsPage : public QWidget, public Ui::TDiagnosticsPage {
    Q_OBJECT

public:
    explicit TDiagnosticsPage(QWidget* Parent = nullptr);
};
