#include "ServerMapPage.h"

#include <QHeaderView>
#include <QMenu>
#include <QStyle>

TServerItemRow::TServerItemRow(std::unique_ptr<TServerItem> Item)
    : QTreeWidgetItem(UserType), FItem(std::move(Item)) {}

void TServerItemRow::Show() {
    const TServerItem& I = *FItem;
    const bool Bit = I.Kind == ikCoil || I.Kind == ikDiscreteInput;
    const bool CanWrite = I.Kind == ikCoil || I.Kind == ikHoldingRegister;
    const QString NotApplicable = QStringLiteral("N/A");
    setText(0, QString::number(I.Addr));
    setText(1, ServerItemKindName(I.Kind));
    setText(2,
            Bit ? (I.Value == 0 ? QStringLiteral("Off") : QStringLiteral("On")) : QString::number(I.Value));
    setText(3, Bit ? NotApplicable : QString::number(I.MinValue));
    setText(4, Bit ? NotApplicable : QString::number(I.MaxValue));
    setText(5, CanWrite && I.Writeable ? QStringLiteral("Read/Write") : QStringLiteral("Read-Only"));
}

bool TServerItemRow::operator<(const QTreeWidgetItem& Other) const {
    if (Other.type() != UserType)
        return QTreeWidgetItem::operator<(Other);
    return CompareServerItems(*FItem, *static_cast<const TServerItemRow&>(Other).FItem) < 0;
}

int CompareServerItems(const TServerItem& A, const TServerItem& B) noexcept {
    if (A.Kind != B.Kind)
        return A.Kind < B.Kind ? -1 : 1;
    if (A.Addr != B.Addr)
        return A.Addr < B.Addr ? -1 : 1;
    return 0;
}

TServerMapPage::TServerMapPage(QWidget* Parent) : QWidget(Parent) {
    setupUi(this);
    static const int ColumnWidths[] = {45, 90, 45, 45, 45, 70};
    for (int I = 0; I < 6; ++I)
        ServerItemsListView->setColumnWidth(I, ColumnWidths[I]);
    // The list keeps its own order; the header does not re-sort it.
    ServerItemsListView->header()->setSectionsClickable(false);
    ServerItemsListView->header()->setSortIndicatorShown(false);
    AddButton->setIcon(style()->standardIcon(QStyle::SP_ArrowDown));

    PopupMenu1 = new QMenu(this);
    PopupMenu1->setObjectName(QStringLiteral("PopupMenu1"));
    QAction* const Items[] = {AddCoilItem, AddDiscreteInputItem, AddHoldingRegisterItem,
                              AddInputRegisterItem};
    for (int Kind = ikCoil; Kind <= ikInputRegister; ++Kind) {
        Items[Kind]->setData(Kind);
        PopupMenu1->addAction(Items[Kind]);
    }
}
