#include "app/commandline.h"
#include "app/uicontroller.h"
#include "store/database.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    // With arguments the program runs one command on the command line: no
    // window, so no display is needed.
    if (argc > 1) {
        QCoreApplication app(argc, argv);
        CommandLine commandLine;
        QCoreApplication::addLibraryPath(QStringLiteral("plugins"));
        openDatabase();
        return commandLine.run(QCoreApplication::arguments());
    }

    QApplication app(argc, argv);
    QCoreApplication::addLibraryPath(QStringLiteral("plugins"));
    // Qt 6 decodes source literals and converts all text as UTF-8, so no codec
    // needs installing.

    openDatabase();

    UIController controller;
    controller.start();
    return app.exec();
}
