#include "app/uicontroller.h"
#include "store/database.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QCoreApplication::addLibraryPath(QStringLiteral("plugins"));
    // Qt 6 decodes source literals and converts all text as UTF-8, so no codec
    // needs installing.

    openDatabase();

    UIController controller;
    controller.start();
    return app.exec();
}
