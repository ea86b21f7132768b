// The "Local Server's Item Map" page of the main window: the items the local server answers from.
#pragma once

#include "ServerItem.h"
#include "ui_ServerMapPage.h"

#include <QTreeWidgetItem>
#include <QWidget>

#include <memory>

class QMenu;

// One row of the item list. It owns its record and frees it when the row is
// deleted; rows sort by kind, then by address.
class TServerItemRow : public QTreeWidgetItem {
public:
    explicit TServerItemRow(std::unique_ptr<TServerItem> Item);

    PServerItem Item() const noexcept { return FItem.get(); }
    // Fills the row's cells from its record.
    void Show();
    bool operator<(const QTreeWidgetItem& Other) const override;

private:
    std::unique_ptr<TServerItem> FItem;
};

// The row order: by kind (coils, discrete inputs, holding registers, input
// registers), then by address; negative, 0 or positive.
int CompareServerItems(const TServerItem& A, const TServerItem& B) noexcept;

// The page's controls are its members, by their names in ServerMapPage.ui;
// PopupMenu1 holds the four add entries (AddCoilItem ... AddInputRegisterItem),
// each with its TItemKind as data. The main window handles its list and
// buttons (QuorvelDemoMainServer.cpp).
class TServerMapPage : public QWidget, public Ui::TServerMapPage {
    Q_OBJECT

public:
    explicit TServerMapPage(QWidget* Parent = nullptr);

    QMenu* PopupMenu1;
};
