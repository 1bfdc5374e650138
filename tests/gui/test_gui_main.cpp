// One QApplication for every test of the window (offscreen platform).
#include <QApplication>

#include <gtest/gtest.h>

#include "skin.h"
#include "tsan_qt.h"

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    ::testing::InitGoogleTest(&argc, argv);
    QApplication app(argc, argv);
    InitSalvitraResources();
    return RUN_ALL_TESTS();
}
