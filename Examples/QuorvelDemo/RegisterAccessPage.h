// The "Register Access" page of the main window: reading and writing holding and input registers.
#pragma once

#include "ui_RegisterAccessPage.h"

#include <QWidget>

// The page's controls are its members, by their names in RegisterAccessPage.ui.
// The main window handles its buttons, edits and lists (QuorvelDemoMainClient.cpp).
class TRegisterAccessPage : public QWidget, public Ui::TRegisterAccessPage {
    Q_OBJECT

public:
    explicit TRegisterAccessPage(QWidget* Parent = nullptr);
};
