// Salvitra: the application window.
#include <QApplication>

#include <cstdio>
#include <cstring>

#include "mainwindow.h"
#include "skin.h"
#include "tsan_qt.h"

int main(int argc, char **argv)
{
    // Answered before the window needs a display.
    for (int i = 1; i < argc; i++) {
        if (!strcmp(argv[i], "--version")) {
            printf("salvitra %s\n", SALVITRA_VERSION);
            return 0;
        }
        if (!strcmp(argv[i], "--help") || !strcmp(argv[i], "-h")) {
            printf("usage: salvitra [--version] [--help] [Qt options]\n\n"
                   "Finds files that can still be read back from a memory card, a USB stick, a disk\n"
                   "or a disk image, and copies them out.  The command line is salvitra-cli.\n");
            return 0;
        }
    }
    QApplication app(argc, argv);
    QApplication::setApplicationName("Salvitra");
    QApplication::setApplicationVersion(SALVITRA_VERSION);
    QApplication::setDesktopFileName("org.salvitra.Salvitra");  // the menu entry (Wayland app id)
    InitSalvitraResources();
    int rc;
    {
        MainWindow w;
        w.show();
        rc = app.exec();
    }
    return rc;
}
