#include "DiagnosticsPage.h"

TDiagnosticsPage::TDiagnosticsPage(QWidget* Parent) : QWidget(Parent) {
    setupUi(this);
}
