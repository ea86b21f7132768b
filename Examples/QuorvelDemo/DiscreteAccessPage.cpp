#include "DiscreteAccessPage.h"

#include <QHeaderView>

TDiscreteAccessPage::TDiscreteAccessPage(QWidget* Parent) : QWidget(Parent) {
    setupUi(this);
    // The check boxes hold the values; the labels are not edited.
    DiscreteListView->setEditTriggers(QAbstractItemView::NoEditTriggers);
    DiscreteListView->horizontalHeader()->resizeSection(0, 140);
    DiscreteListView->setMinimumHeight(96);
    DiscreteListView->verticalHeader()->setDefaultSectionSize(DiscreteListView->fontMetrics().height() + 6);
}
