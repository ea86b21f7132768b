#include "ServerMapPage.h"

TServerMapPage::TServerMapPage(QWidget* Parent) : QWidget(Parent) {
    setupUi(this);
}
