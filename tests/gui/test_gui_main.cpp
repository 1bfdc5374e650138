// One QApplication for every test of the window (offscreen platform).
#include <QApplication>
#include <QDir>

#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "skin.h"
#include "tsan_qt.h"

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    // Settings (the window's size and place, last folders) of this run
    // only: never the user's, never an earlier test's.
    char tmpl[] = "/tmp/sv-gui-config-XXXXXX";
    const std::string config = mkdtemp(tmpl) ? tmpl : "/tmp";
    qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString(config));
    ::testing::InitGoogleTest(&argc, argv);
    QApplication app(argc, argv);
    InitSalvitraResources();
    const int rc = RUN_ALL_TESTS();
    if (config != "/tmp")
        QDir(QString::fromStdString(config)).removeRecursively();
    return rc;
}
