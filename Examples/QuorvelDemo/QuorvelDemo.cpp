// QuorvelDemo: the Modbus serial-line test tool, a client or a server on one
// serial port.

#include "QuorvelDemoApplication.h"
#include "QuorvelDemoMain.h"

#include <QApplication>

int main(int argc, char* argv[]) {
    QApplication Application(argc, argv);
    InitializeDemoApplication();
    TQuorvelDemoMainForm MainForm;
    MainForm.show();
    return Application.exec();
}
