#include "RegisterAccessPage.h"

TRegisterAccessPage::TRegisterAccessPage(QWidget* Parent) : QWidget(Parent) {
    setupUi(this);
}
