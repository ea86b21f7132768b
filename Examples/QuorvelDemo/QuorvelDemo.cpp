// QuorvelDemo: the Modbus serial-line test tool, a client or a server on one
// serial port.

#include "QuorvelDemoApplication.h"
#include "QuorvelDemoMain.h"

#include <QApplication>
#include <QCommandLineOption>
#include <QCommandLineParser>

int main(int argc, char* argv[]) {
    QApplication Application(argc, argv);
    InitializeDemoApplication();

    QCommandLineParser Parser;
    Parser.setApplicationDescription(
        QStringLiteral("The Modbus serial-line test tool: a client or a server on one serial port.\n"
                       "Its settings, item map and log are kept beside the program."));
    Parser.addHelpOption();
    const QCommandLineOption PortOption(
        QStringLiteral("port"),
        QStringLiteral("Opens the connection on port NAME (\"COM1\", a device path such as /dev/pts/3, "
                       "or a name under /dev) instead of the port in the settings. The settings file "
                       "keeps its port until the settings are changed."),
        QStringLiteral("NAME"));
    Parser.addOption(PortOption);
    // Prints the help or a usage error and ends the program where asked.
    Parser.process(Application);

    TQuorvelDemoMainForm MainForm(nullptr, QString(), Parser.value(PortOption));
    MainForm.show();
    return Application.exec();
}
