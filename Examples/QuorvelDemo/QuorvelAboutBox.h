// The about box: the library's version and the maker's contact links.
#pragma once

#include "ui_QuorvelAboutBox.h"

#include <QDialog>
#include <QString>

#include <functional>

// Shows the about box modally; it is destroyed when it closes.
void ShowAboutBox();

// Hands Target (a web address, or a "mailto:" address) to the desktop's
// default handler. Raises std::runtime_error when the desktop cannot open it.
void ShellOpen(const QString& Target);

// Replaces what ShellOpen does, so tests can see the target without starting
// a browser or a mail program; an empty handler restores the desktop's.
using TShellOpenHandler = std::function<void(const QString& Target)>;
void SetShellOpenHandler(TShellOpenHandler Handler);

// The box itself; its controls are public members by their names in
// QuorvelAboutBox.ui. Each link label's caption is its target.
class TQuorvelAboutForm : public QDialog, public Ui::TQuorvelAboutForm {
    Q_OBJECT

public:
    explicit TQuorvelAboutForm(QWidget* AOwner = nullptr);

protected:
    bool eventFilter(QObject* Watched, QEvent* Event) override;

private:
    void HomepageLabelClick(QLabel* Sender);
    void EmailAuthorLabelClick(QLabel* Sender);
};
