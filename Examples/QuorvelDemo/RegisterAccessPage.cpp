#include "RegisterAccessPage.h"

#include "QuorvelDemoApplication.h"

#include <QAbstractItemModel>
#include <QHeaderView>
#include <QLineEdit>
#include <QPointer>
#include <QStyledItemDelegate>

#include <exception>

// Edits a register value in place and lets the page's handler decide what is
// stored.
class TRegisterValueDelegate : public QStyledItemDelegate {
public:
    explicit TRegisterValueDelegate(TRegisterAccessPage* Page) : QStyledItemDelegate(Page), fPage(Page) {}

    QWidget* createEditor(QWidget* Parent, const QStyleOptionViewItem& Option,
                          const QModelIndex& Index) const override {
        fPage->fEditing = true;
        return QStyledItemDelegate::createEditor(Parent, Option, Index);
    }

    void destroyEditor(QWidget* Editor, const QModelIndex& Index) const override {
        fPage->fEditing = false;
        QStyledItemDelegate::destroyEditor(Editor, Index);
    }

    void setModelData(QWidget* Editor, QAbstractItemModel* Model, const QModelIndex& Index) const override {
        auto* Line = qobject_cast<QLineEdit*>(Editor);
        if (Line == nullptr) {
            QStyledItemDelegate::setModelData(Editor, Model, Index);
            return;
        }
        QString Text = Line->text();
        std::exception_ptr Error;
        if (fPage->OnRegisterValueEdited) {
            try {
                fPage->OnRegisterValueEdited(Index.row(), Text);
            } catch (...) {
                Error = std::current_exception();
            }
        }
        Model->setData(Index, Text, Qt::EditRole);
        if (Error) {
            // A modal box now would take the focus from the editor while it
            // is still committing; show it once the editor has closed.
            QPointer<TRegisterAccessPage> Page(fPage);
            QMetaObject::invokeMethod(
                fPage, [Page, Error] { HandleException(Error, Page ? Page->window() : nullptr); },
                Qt::QueuedConnection);
        }
    }

private:
    TRegisterAccessPage* fPage;
};

TRegisterAccessPage::TRegisterAccessPage(QWidget* Parent) : QWidget(Parent) {
    setupUi(this);
    RegisterListView->setItemDelegateForColumn(0, new TRegisterValueDelegate(this));
    // Double clicks and Enter are the main window's; F2 and a click on the
    // selected row are the toolkit's own ways to start an edit.
    RegisterListView->setEditTriggers(QAbstractItemView::EditKeyPressed | QAbstractItemView::SelectedClicked);
    RegisterListView->horizontalHeader()->resizeSection(1, 90);
    RegisterListView->setMinimumHeight(96);
    RegisterListView->verticalHeader()->setDefaultSectionSize(RegisterListView->fontMetrics().height() + 6);
}
