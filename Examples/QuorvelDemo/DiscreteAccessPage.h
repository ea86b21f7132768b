// The "Discrete Access" page of the main window: reading and writing coils and discrete inputs.
#pragma once

#include "ui_DiscreteAccessPage.h"

#include <QWidget>

// The page's controls are its members, by their names in DiscreteAccessPage.ui.
// The main window handles its buttons and edits (QuorvelDemoMainClient.cpp).
class TDiscreteAccessPage : public QWidget, public Ui::TDiscreteAccessPage {
    Q_OBJECT

public:
    explicit TDiscreteAccessPage(QWidget* Parent = nullptr);
};
