// The item editor: the small dialog in which one item of the local server's
// map is created or changed.
#pragma once

#include "ServerItem.h"
#include "ui_ServerItemEditor.h"

#include <QDialog>

#include <cstdint>

class QLineEdit;

// Shows only the controls that fit the item's kind: the ON box for coils and
// discrete inputs, value and range edits for registers, the writeable box
// for coils and holding registers. OK checks the entries and keeps the dialog
// open, with an error box and the focus on the first wrong edit, until they
// are right; the record changes only when the dialog closes with OK.
class TServerItemEditorForm : public QDialog, public Ui::TServerItemEditorForm {
    Q_OBJECT

public:
    TServerItemEditorForm(PServerItem Item, bool IsNewItem, QWidget* Parent = nullptr);

    // Checks the entries; raises the first error, after focusing its edit.
    void ValidateEntries();
    // Copies the entries into the record.
    void StoreEntries();

private:
    void OKButtonClick();
    static std::int64_t ValidateIntegerEdit(QLineEdit& Edit, std::int64_t Min, std::int64_t Max);

    bool FIsNewItem;
    PServerItem FServerItem; // not owned
};

// Runs the dialog on Item; true when the user confirmed with OK, and only
// then is Item changed. An existing item's address cannot be changed.
bool EditServerItem(PServerItem Item, bool IsNewItem, QWidget* Parent = nullptr);
