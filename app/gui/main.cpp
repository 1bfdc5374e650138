// Salvitra: the application window.
#include <QApplication>

#include "mainwindow.h"
#include "skin.h"
#include "tsan_qt.h"

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    QApplication::setApplicationName("Salvitra");
    QApplication::setApplicationVersion(SALVITRA_VERSION);
    InitSalvitraResources();
    int rc;
    {
        MainWindow w;
        w.show();
        rc = app.exec();
    }
    return rc;
}
