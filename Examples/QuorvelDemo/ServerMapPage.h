// The "Local Server's Item Map" page of the main window: the items the local server answers from.
#pragma once

#include "ui_ServerMapPage.h"

#include <QWidget>

// The page's controls are its members, by their names in ServerMapPage.ui.
// The main window handles its list and buttons (QuorvelDemoMainServer.cpp).
class TServerMapPage : public QWidget, public Ui::TServerMapPage {
    Q_OBJECT

public:
    explicit TServerMapPage(QWidget* Parent = nullptr);
};
