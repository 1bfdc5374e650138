#include "desktop_services.h"

#include <QDBusArgument>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusServiceWatcher>
#include <QSignalSpy>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace {

const char *const kBusSocket = "/run/dbus/system_bus_socket";
const char *const kBusName = "sv-desktop-test";
// Bounds for services that never come up (a failure, not a pace).
constexpr int kStartMs = 120000;

const char *kBusConfig = R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path=/run/dbus/system_bus_socket</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <deny own="*"/>
    <deny send_type="method_call"/>
    <allow send_type="signal"/>
    <allow send_requested_reply="true" send_type="method_return"/>
    <allow send_requested_reply="true" send_type="error"/>
    <allow receive_type="method_call"/>
    <allow receive_type="method_return"/>
    <allow receive_type="error"/>
    <allow receive_type="signal"/>
    <allow send_destination="org.freedesktop.DBus" send_interface="org.freedesktop.DBus"/>
    <allow send_destination="org.freedesktop.DBus" send_interface="org.freedesktop.DBus.Introspectable"/>
    <allow send_destination="org.freedesktop.DBus" send_interface="org.freedesktop.DBus.Properties"/>
  </policy>
  <includedir>/usr/share/dbus-1/system.d</includedir>
  <includedir>/etc/dbus-1/system.d</includedir>
</busconfig>
)";

bool exists(const std::string &p)
{
    struct stat sb;
    return stat(p.c_str(), &sb) == 0;
}

std::string q(const std::string &s)
{
    return svt::shellQuote(s);
}

// Reads what a starting service writes into fd until it closes it (or the
// bound passes); returns the text.
std::string readUntilClosed(int fd, int boundMs)
{
    std::string out;
    char buf[512];
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        int n = poll(&p, 1, boundMs);
        if (n <= 0)
            break;
        ssize_t got = read(fd, buf, sizeof buf);
        if (got <= 0)
            break;
        out.append(buf, (size_t)got);
        if (out.find('\n') != std::string::npos)
            break;
    }
    return out;
}

bool g_privateNamespace = false;

}  // namespace

void DesktopServices::setPrivateMountNamespace()
{
    g_privateNamespace = true;
}

DesktopServices::DesktopServices() = default;

DesktopServices::~DesktopServices()
{
    stop();
}

pid_t DesktopServices::spawn(const std::vector<std::string> &argv, const std::vector<std::string> &env,
                             const std::string &log)
{
    std::vector<std::string> envs;
    for (char **e = environ; *e; e++)
        envs.emplace_back(*e);
    for (const std::string &e : env)
        envs.push_back(e);
    std::vector<char *> a, v;
    for (const std::string &s : argv)
        a.push_back(const_cast<char *>(s.c_str()));
    a.push_back(nullptr);
    for (const std::string &s : envs)
        v.push_back(const_cast<char *>(s.c_str()));
    v.push_back(nullptr);
    int out = open(dir_.file(log).c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    pid_t pid = fork();
    if (pid == 0) {
        int in = open("/dev/null", O_RDONLY);
        dup2(in, 0);
        if (out >= 0) {
            dup2(out, 1);
            dup2(out, 2);
        }
        setsid();
        execve(a[0], a.data(), v.data());
        _exit(127);
    }
    if (out >= 0)
        close(out);
    return pid;
}

void DesktopServices::kill(pid_t &pid)
{
    if (pid <= 0)
        return;
    ::kill(pid, SIGTERM);
    int st;
    while (waitpid(pid, &st, 0) < 0 && errno == EINTR) {
    }
    pid = -1;
}

QDBusConnection DesktopServices::bus() const
{
    return QDBusConnection(kBusName);
}

bool DesktopServices::waitForName(const char *name, pid_t pid, std::string *why)
{
    QDBusConnection c = bus();
    QDBusServiceWatcher watcher(name, c, QDBusServiceWatcher::WatchForRegistration);
    QSignalSpy spy(&watcher, &QDBusServiceWatcher::serviceRegistered);
    if (c.interface()->isServiceRegistered(name) || spy.wait(kStartMs))
        return true;
    int st;
    bool died = waitpid(pid, &st, WNOHANG) == pid;
    *why = std::string(name) + (died ? " exited" : " did not appear on the bus") +
           " (log: " + dir_.path() + ")";
    return false;
}

bool DesktopServices::start(std::string *why)
{
    if (geteuid() != 0) {
        *why = "needs root (services, loop devices, a user)";
        return false;
    }
    for (const char *tool : {"/usr/bin/dbus-daemon", "/lib/systemd/systemd-udevd", "/usr/lib/polkit-1/polkitd",
                             "/usr/libexec/udisks2/udisksd", "/usr/bin/pkttyagent"})
        if (access(tool, X_OK) != 0) {
            *why = std::string(tool) + " is not installed (scripts/install-deps.sh)";
            return false;
        }
    if (!g_privateNamespace) {
        *why = "no mount namespace of its own for a private system bus";
        return false;
    }
    // One run at a time on this machine: the services are the machine's.
    lock_ = open("/run/lock/salvitra-desktop-test.lock", O_CREAT | O_RDWR | O_CLOEXEC, 0600);
    if (lock_ < 0 || flock(lock_, LOCK_EX) != 0) {
        *why = std::string("lock: ") + strerror(errno);
        return false;
    }

    // The bus at the standard path, in this process's mount namespace only.
    mkdir("/run/dbus", 0755);
    if (mount("tmpfs", "/run/dbus", "tmpfs", MS_NOSUID | MS_NODEV, "mode=0755") != 0) {
        *why = std::string("a private /run/dbus: ") + strerror(errno);
        return false;
    }
    mountedRunDbus_ = true;
    std::ofstream(dir_.file("bus.conf")) << kBusConfig;
    int p[2];
    if (pipe2(p, O_CLOEXEC) != 0)
        return false;
    int keep = fcntl(p[1], F_DUPFD, 10);  // inherited by the daemon
    close(p[1]);
    bus_ = spawn({"/usr/bin/dbus-daemon", "--config-file=" + dir_.file("bus.conf"), "--nofork",
                  "--print-address=" + std::to_string(keep)},
                 {}, "dbus.log");
    close(keep);
    std::string addr = readUntilClosed(p[0], kStartMs);
    close(p[0]);
    if (addr.find("unix:path=") == std::string::npos) {
        *why = "dbus-daemon --system did not start (log: " + dir_.path() + ")";
        return false;
    }
    QDBusConnection c = QDBusConnection::connectToBus(QString("unix:path=") + kBusSocket, kBusName);
    connected_ = true;
    if (!c.isConnected()) {
        *why = "cannot connect to the private system bus";
        return false;
    }

    // udevd: a running one as it is, else ours (it says READY=1 through
    // $NOTIFY_SOCKET once it listens).
    if (exists("/run/udev/control") && svt::run("udevadm control --ping -t 10").status == 0) {
        // in use as it is
    } else {
        madeRunUdev_ = !exists("/run/udev");
        std::string sock = dir_.file("notify");
        int s = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un sa{};
        sa.sun_family = AF_UNIX;
        snprintf(sa.sun_path, sizeof sa.sun_path, "%s", sock.c_str());
        if (s < 0 || bind(s, (sockaddr *)&sa, sizeof sa) != 0) {
            *why = std::string("notify socket: ") + strerror(errno);
            return false;
        }
        udevd_ = spawn({"/lib/systemd/systemd-udevd"}, {"NOTIFY_SOCKET=" + sock}, "udevd.log");
        std::string said;
        for (int i = 0; i < 8 && said.find("READY=1") == std::string::npos; i++) {
            pollfd pf{s, POLLIN, 0};
            if (poll(&pf, 1, kStartMs) <= 0)
                break;
            char buf[512];
            ssize_t n = recv(s, buf, sizeof buf, 0);
            if (n > 0)
                said.append(buf, (size_t)n);
        }
        close(s);
        if (said.find("READY=1") == std::string::npos) {
            *why = "systemd-udevd did not start (log: " + dir_.path() + ")";
            return false;
        }
    }

    if (!startPolkit(why))
        return false;
    udisksd_ = spawn({"/usr/libexec/udisks2/udisksd"}, {}, "udisksd.log");
    return waitForName("org.freedesktop.UDisks2", udisksd_, why);
}

bool DesktopServices::startPolkit(std::string *why)
{
    polkitd_ = spawn({"/usr/lib/polkit-1/polkitd", "--no-debug"}, {}, "polkitd.log");
    return waitForName("org.freedesktop.PolicyKit1", polkitd_, why);
}

bool DesktopServices::restartPolkit(std::string *why)
{
    kill(polkitd_);
    return startPolkit(why);
}

void DesktopServices::stop()
{
    for (const std::string &l : loops_)
        svt::run("losetup -d " + q(l));
    loops_.clear();
    removeRule();
    if (!user_.empty()) {
        svt::run("userdel " + q(user_));
        user_.clear();
    }
    kill(udisksd_);
    kill(polkitd_);
    kill(udevd_);
    if (madeRunUdev_) {
        svt::run("rm -rf /run/udev");
        madeRunUdev_ = false;
    }
    if (connected_) {
        QDBusConnection::disconnectFromBus(kBusName);
        connected_ = false;
    }
    kill(bus_);
    if (mountedRunDbus_) {
        umount2("/run/dbus", MNT_DETACH);
        mountedRunDbus_ = false;
    }
    if (lock_ >= 0) {
        close(lock_);
        lock_ = -1;
    }
}

// True when udisks2 lists the loop device with the image's size.
bool DesktopServices::udisksLists(const std::string &loop, uint64_t size)
{
    QDBusMessage call = QDBusMessage::createMethodCall("org.freedesktop.UDisks2", "/org/freedesktop/UDisks2",
                                                       "org.freedesktop.DBus.ObjectManager", "GetManagedObjects");
    QDBusMessage reply = bus().call(call);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        return false;
    const QDBusArgument arg = reply.arguments().at(0).value<QDBusArgument>();
    QMap<QDBusObjectPath, QMap<QString, QVariantMap>> objects;
    arg >> objects;
    for (const auto &ifaces : objects) {
        QVariantMap b = ifaces.value("org.freedesktop.UDisks2.Block");
        QByteArray dev = b.value("Device").toByteArray();
        if (QString::fromUtf8(dev.constData()).toStdString() == loop && b.value("Size").toULongLong() == size)
            return true;
    }
    return false;
}

bool DesktopServices::attach(const std::string &image, std::string *loop, std::string *why)
{
    struct stat sb;
    if (stat(image.c_str(), &sb) != 0) {
        *why = image + ": " + strerror(errno);
        return false;
    }
    // A device added or changed shows as a signal of udisks2: wait on those.
    QDBusConnection c = bus();
    BusEvents events;
    QSignalSpy seen(&events, &BusEvents::seen);
    c.connect("org.freedesktop.UDisks2", "/org/freedesktop/UDisks2", "org.freedesktop.DBus.ObjectManager",
              "InterfacesAdded", &events, SLOT(onSignal(QDBusMessage)));
    c.connect("org.freedesktop.UDisks2", "", "org.freedesktop.DBus.Properties", "PropertiesChanged", &events,
              SLOT(onSignal(QDBusMessage)));
    svt::CommandResult r = svt::run("losetup -r -f --show " + q(image));
    if (r.status != 0) {
        *why = "no loop device: " + r.err;
        return false;
    }
    *loop = r.out.substr(0, r.out.find('\n'));
    loops_.push_back(*loop);
    int consumed = 0;
    for (;;) {
        if (udisksLists(*loop, (uint64_t)sb.st_size))
            return true;
        if (seen.count() > consumed)
            consumed = seen.count();
        else if (!seen.wait(kStartMs))
            break;
    }
    *why = "udisks2 does not list " + *loop + " (log: " + dir_.path() + ")";
    return false;
}

void DesktopServices::detach(const std::string &loop)
{
    svt::run("losetup -d " + q(loop));
    for (auto it = loops_.begin(); it != loops_.end(); ++it)
        if (*it == loop) {
            loops_.erase(it);
            break;
        }
}

bool DesktopServices::addUser(std::string *why)
{
    std::string name = "svdesk" + std::to_string(getpid());
    svt::CommandResult r = svt::run("useradd --system --no-create-home --home-dir " + q(home_.path()) +
                                    " --shell /usr/sbin/nologin " + q(name));
    if (r.status != 0) {
        *why = "useradd: " + r.err;
        return false;
    }
    user_ = name;
    svt::run("chown " + q(name) + ": " + q(home_.path()));
    return true;
}

void DesktopServices::writeRule(const std::string &action, const std::string &result, const std::string &later)
{
    rule_ = "/etc/polkit-1/rules.d/60-" + user_ + ".rules";
    std::string answer = later.empty() ? "polkit.Result." + result
                                       : "(++asked > 1 ? polkit.Result." + later + " : polkit.Result." + result + ")";
    std::ofstream(rule_) << "var asked = 0;\n"
                         << "polkit.addRule(function(action, subject) {\n"
                         << "    if (action.id == \"" << action << "\" && subject.user == \"" << user_ << "\")\n"
                         << "        return " << answer << ";\n"
                         << "});\n";
    chmod(rule_.c_str(), 0644);
}

void DesktopServices::removeRule()
{
    if (!rule_.empty())
        unlink(rule_.c_str());
    rule_.clear();
}

svt::CommandResult DesktopServices::asUser(const std::string &cmd, const std::string &env)
{
    // A clean environment, but the sanitizers' settings of this run.
    std::string keep;
    for (const char *name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS", "TSAN_OPTIONS"})
        if (const char *v = getenv(name))
            keep += std::string(name) + "=" + q(v) + " ";
    return svt::run("cd " + q(home_.path()) + " && setpriv --reuid=" + q(user_) + " --regid=" + q(user_) +
                    " --clear-groups env -i PATH=/usr/bin:/bin HOME=" + q(home_.path()) + " USER=" + q(user_) +
                    " LANG=C.UTF-8 " + keep + env + " sh -c " + q(cmd));
}
