// The desktop tests run in a mount namespace of their own, entered before
// any thread exists: the private system bus's socket is mounted at the
// standard path inside it only (desktop_services.h).
#include <QCoreApplication>

#include <gtest/gtest.h>

#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include "desktop_services.h"

int main(int argc, char **argv)
{
    if (geteuid() == 0 && unshare(CLONE_NEWNS) == 0 &&
        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0)
        DesktopServices::setPrivateMountNamespace();
    qputenv("QT_QPA_PLATFORM", "offscreen");
    ::testing::InitGoogleTest(&argc, argv);
    QCoreApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
