// The services of a Linux desktop that open disks for an ordinary user,
// started for a test as they run on a desktop: a system bus (dbus-daemon
// --system), systemd-udevd, polkitd and udisksd; a loop device on a test
// image; an unprivileged user; a polkit rule.
//
// The system bus is private: the test program runs in a mount namespace of
// its own (test_desktop_main.cpp), where a tmpfs on /run/dbus holds the
// bus's socket at the standard path, so the services, the user's programs
// and polkit's password helper (set-uid: it ignores DBUS_SYSTEM_BUS_ADDRESS)
// find it while the machine's own bus, if any, stays untouched.  A running
// udevd is used as it is; otherwise one is started.  Everything started is
// stopped by its process id; the loop device, the rule and the user are
// removed.  Runs of this test on the same machine take turns (a lock file).
#pragma once

#include <QDBusConnection>
#include <QDBusMessage>
#include <QObject>

#include <string>
#include <sys/types.h>
#include <vector>

#include "test_support.h"

// Signals of a bus service, as one Qt signal to wait on.
class BusEvents : public QObject {
    Q_OBJECT
signals:
    void seen();
public slots:
    void onSignal(const QDBusMessage &) { emit seen(); }
};

class DesktopServices {
public:
    DesktopServices();
    ~DesktopServices();

    // Told by main() once the program runs in a mount namespace of its
    // own; start() refuses to mount anything otherwise.
    static void setPrivateMountNamespace();

    // Starts everything; false with why when a service cannot start.
    bool start(std::string *why);
    void stop();
    // polkitd again, reading the rules as they are now.
    bool restartPolkit(std::string *why);

    // A read-only loop device on image, once udisks2 lists it.
    bool attach(const std::string &image, std::string *loop, std::string *why);
    void detach(const std::string &loop);

    // The unprivileged user (in no group but its own) and a home for it.
    bool addUser(std::string *why);
    const std::string &user() const { return user_; }
    const std::string &home() const { return home_.path(); }
    // The rule file: action id -> polkit.Result.<result> for the user;
    // with later, the first request gets result and every later one that.
    void writeRule(const std::string &action, const std::string &result, const std::string &later = "");
    void removeRule();

    // Runs a shell command line as the user, with env (NAME=value ...).
    svt::CommandResult asUser(const std::string &cmd, const std::string &env = "");

    QDBusConnection bus() const;

private:
    pid_t spawn(const std::vector<std::string> &argv, const std::vector<std::string> &env, const std::string &log);
    bool waitForName(const char *name, pid_t pid, std::string *why);
    bool startPolkit(std::string *why);
    bool udisksLists(const std::string &loop, uint64_t size);
    void kill(pid_t &pid);

    svt::TempDir dir_;
    svt::TempDir home_;
    int lock_ = -1;
    pid_t bus_ = -1, udevd_ = -1, polkitd_ = -1, udisksd_ = -1;
    bool madeRunUdev_ = false;
    bool mountedRunDbus_ = false;
    std::string user_;
    std::string rule_;
    std::vector<std::string> loops_;
    bool connected_ = false;
};
