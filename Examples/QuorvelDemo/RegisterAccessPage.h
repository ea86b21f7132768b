// The "Register Access" page of the main window: reading and writing holding and input registers.
#pragma once

#include "ui_RegisterAccessPage.h"

#include <QString>
#include <QWidget>

#include <functional>

// The page's controls are its members, by their names in RegisterAccessPage.ui.
// The main window handles its buttons, edits and lists (QuorvelDemoMainClient.cpp).
//
// RegisterListView holds one row per register to write: column 0 is the value
// (decimal text, edited in place), column 1 the address ("Register %d", read
// only). The main window shows the address column first.
class TRegisterAccessPage : public QWidget, public Ui::TRegisterAccessPage {
    Q_OBJECT

public:
    // The user confirmed an in-place edit of row Row's value: Text holds the
    // typed text and receives the text to store. The text is stored even when
    // the handler raises; its error is then shown in the standard error box
    // once the editor has closed.
    using TRegisterValueEditedEvent = std::function<void(int Row, QString& Text)>;

    explicit TRegisterAccessPage(QWidget* Parent = nullptr);

    // Whether a value is being edited in place.
    bool RegisterValueEditing() const noexcept { return fEditing; }

    TRegisterValueEditedEvent OnRegisterValueEdited;

private:
    friend class TRegisterValueDelegate;
    bool fEditing = false;
};
