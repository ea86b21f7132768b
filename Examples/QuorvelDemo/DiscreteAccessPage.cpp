#include "DiscreteAccessPage.h"

TDiscreteAccessPage::TDiscreteAccessPage(QWidget* Parent) : QWidget(Parent) {
    setupUi(this);
}
