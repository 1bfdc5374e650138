// An ordinary user on a desktop: a memory card (a loop device on a card
// image) that only root may read, opened through udisks2 once polkit
// allows it, from the command line and from the window, with the real
// services running (desktop_services.h).
#include <gtest/gtest.h>

#include <QCoreApplication>

#include <map>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

#include "desktop_services.h"
#include "gui_support.h"
#include "mediawatch.h"
#include "test_support.h"

namespace {

const char *const kSystemAction = "org.freedesktop.udisks2.open-device-system";
const char *const kPassword = "Card-Reader-2026";

std::string q(const std::string &s)
{
    return svt::shellQuote(s);
}

// sha256 of every file below dir (recursively).
std::multiset<std::string> hashesBelow(const std::string &dir)
{
    std::multiset<std::string> out;
    svt::CommandResult r = svt::run("find " + q(dir) + " -type f -exec sha256sum {} + | cut -c1-64");
    size_t start = 0;
    while (start < r.out.size()) {
        size_t nl = r.out.find('\n', start);
        out.insert(r.out.substr(start, nl - start));
        start = nl == std::string::npos ? r.out.size() : nl + 1;
    }
    return out;
}

// A card behind a loop device, a user who may not read it, and a stand-in
// folder that names that card only (the machine's own disks stay out).
class Desktop : public ::testing::Test {
protected:
    void SetUp() override
    {
        fx = svt::fixture("desktop");
        std::string why;
        if (!services.start(&why))
            GTEST_SKIP() << why;
        ASSERT_TRUE(services.addUser(&why)) << why;
        if (!services.attach(fx + "/card.img", &loop, &why))
            GTEST_SKIP() << why;
        chmod(disks.path().c_str(), 0755);
        ASSERT_EQ(symlink(loop.c_str(), disks.file("disk0").c_str()), 0);
        env = "SALVITRA_DISK_DIR=" + q(disks.path());
    }
    svt::CommandResult cli(const std::string &args) { return services.asUser(q(SV_CLI) + " " + args, env); }
    std::string outDir()
    {
        std::string d = services.home() + "/out" + std::to_string(outs++);
        svt::run("mkdir " + q(d) + " && chown " + q(services.user()) + ": " + q(d));
        return d;
    }

    std::string fx;
    DesktopServices services;
    std::string loop;
    svt::TempDir disks;
    std::string env;
    int outs = 0;
};

struct Events : IDetectUsbCallback {
    int mounted = 0, unmounted = 0;
    void onDilMountUsb() override { mounted++; }
    void onWillUnmountUsb() override {}
    void onDilUnmountUsb() override { unmounted++; }
};

TEST_F(Desktop, AnOrdinaryUserOpensTheCardThroughUdisksOncePolkitAllowsIt)
{
    // No rule: polkit wants an administrator's password, which nobody here
    // can give.  The command line says so and fails.
    svt::CommandResult r = cli("devices");
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_NE(r.out.find("disk0  card.img \xe2\x80\x94 8.4 MB"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("not authorized"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("No devices found"), std::string::npos) << r.out;
    r = cli("recover --deep --device 0 --out " + q(outDir()));
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_NE(r.err.find("not authorized"), std::string::npos) << r.err;
    // Without the disk service the reason says what would help.
    r = services.asUser(q(SV_CLI) + " devices --verbose", env + " DBUS_SYSTEM_BUS_ADDRESS=unix:path=/nonexistent");
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_NE(r.out.find("not opened: permission denied: run as root, or install udisks2"), std::string::npos) << r.out;

    // The window lists the card with a lock; chosen, it answers with a
    // message and the tree stays as it was.
    r = services.asUser(q(SV_WINDOW_PROBE), env);
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("ROW\tcard.img \xe2\x80\x94 8.4 MB\t"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\tAuthentication needed\tlock\t0\n"), std::string::npos) << r.out;
    size_t msg = r.out.find("MESSAGE\t");
    ASSERT_NE(msg, std::string::npos) << r.out;
    EXPECT_NE(r.out.find("could not be opened: not authorized", msg), std::string::npos) << r.out;
    std::string before = r.out.substr(0, r.out.find("MESSAGE"));
    std::string after = r.out.substr(r.out.find('\n', msg) + 1);
    EXPECT_EQ(after.substr(0, 5), "AFTER");
    EXPECT_EQ(before.substr(3), after.substr(5)) << "the tree changed";

    // Chosen and granted (a rule stands in for the password dialog of the
    // desktop's agent: it refuses the silent listing, grants the request
    // made when the card is chosen), the card opens and the tree shows it.
    services.writeRule(kSystemAction, "AUTH_ADMIN", "YES");
    std::string why;
    ASSERT_TRUE(services.restartPolkit(&why)) << why;
    r = services.asUser(q(SV_WINDOW_PROBE), env);
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("\tlock\t0\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("MESSAGE\t\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("AFTER\tcard.img \xe2\x80\x94 8.4 MB\t"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\tdisk\t3\n"), std::string::npos) << "two partitions and the whole device\n" << r.out;

    // A rule that allows this user to open system devices: the card opens
    // through OpenForBackup, with our own reading of its partitions.
    services.writeRule(kSystemAction, "YES");
    ASSERT_TRUE(services.restartPolkit(&why)) << why;
    r = cli("devices");
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("disk0  card.img \xe2\x80\x94 8.4 MB\n    path " + disks.file("disk0") + ", 8.00 MiB"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("[0] FAT16   offset 1048576"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("name \"PHOTOS\""), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("[1] EXT2    offset 5242880"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("name \"NOTES\""), std::string::npos) << r.out;

    std::string out = outDir();
    // The card's files are live: the content search alone brings them back
    // (the merged deep scan leaves out what the file system holds now).
    r = cli("recover --deep --content-only --device 0 --out " + q(out));
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    std::multiset<std::string> got = hashesBelow(out);
    for (const char *name : {"beach.jpg", "rose.png"}) {
        std::multiset<std::string> want = hashesBelow(fx + "/files/" + name);
        ASSERT_EQ(want.size(), 1u);
        EXPECT_EQ(got.count(*want.begin()), 1u) << name << " did not come back byte for byte\n" << r.out;
    }

    r = services.asUser(q(SV_WINDOW_PROBE), env);
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("ROW\tcard.img \xe2\x80\x94 8.4 MB\t"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\tdisk\t3\n"), std::string::npos) << "two partitions and the whole device\n" << r.out;
    EXPECT_EQ(r.out.find("MESSAGE"), std::string::npos) << r.out;

    // Media coming and going reach the window through udisks2's signals,
    // each as one coalesced event.
    QMediaWatcher watcher;
    Events events;
    watcher.setCallback(&events);
    ASSERT_TRUE(watcher.udisksActive());
    std::string second;
    ASSERT_TRUE(services.attach(fx + "/card.img", &second, &why)) << why;
    EXPECT_TRUE(waitUntil([&] { return events.mounted > 0; }, 120000));
    services.detach(second);
    EXPECT_TRUE(waitUntil([&] { return events.unmounted > 0; }, 120000));
    watcher.setCallback(nullptr);
}

TEST_F(Desktop, TheTerminalAsksForThePasswordWhenPolkitWantsOne)
{
    // A rule that asks the user for their own password.
    services.writeRule(kSystemAction, "AUTH_SELF");
    std::string why;
    ASSERT_TRUE(services.restartPolkit(&why)) << why;
    ASSERT_EQ(svt::run("echo " + q(services.user() + ":" + kPassword) + " | chpasswd").status, 0);

    std::string answer = q(svt::sourceDir() + "/tests/desktop/answer_password.py");
    svt::CommandResult r = services.asUser("python3 " + answer + " " + q(kPassword) + " " + q(SV_CLI) + " devices", env);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("AUTHENTICATING FOR org.freedesktop.udisks2.open-device-system"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Password:"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("[0] FAT16"), std::string::npos) << r.out;

    // --no-auth never asks.
    r = services.asUser("python3 " + answer + " " + q(kPassword) + " " + q(SV_CLI) + " devices --no-auth", env);
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_EQ(r.out.find("Password:"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("not opened: authentication needed"), std::string::npos) << r.out;
}

}  // namespace
