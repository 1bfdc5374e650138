#include "udisks.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusReply>
#include <QDBusUnixFileDescriptor>
#include <QStringList>
#include <QVariantMap>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace salvitra {

namespace {

const char *const kService = "org.freedesktop.UDisks2";
const char *const kRoot = "/org/freedesktop/UDisks2";
const char *const kBlockIface = "org.freedesktop.UDisks2.Block";
const char *const kDriveIface = "org.freedesktop.UDisks2.Drive";
const char *const kLoopIface = "org.freedesktop.UDisks2.Loop";

const char *const kNoService = "permission denied: run as root, or install udisks2";
// A password prompt waits for the person in front of it.
constexpr int kAskTimeoutMs = 60 * 60 * 1000;

QDBusConnection bus()
{
    return QDBusConnection::systemBus();
}

// "ay" values end in a NUL byte.
std::string byteString(const QVariant &v)
{
    QByteArray b = v.toByteArray();
    int nul = b.indexOf('\0');
    if (nul >= 0)
        b.truncate(nul);
    return b.toStdString();
}

using Interfaces = QMap<QString, QVariantMap>;

// GetManagedObjects: a{oa{sa{sv}}}.
QMap<QString, Interfaces> managedObjects(bool *ok)
{
    QMap<QString, Interfaces> out;
    QDBusMessage call = QDBusMessage::createMethodCall(kService, kRoot, "org.freedesktop.DBus.ObjectManager",
                                                       "GetManagedObjects");
    QDBusMessage reply = bus().call(call, QDBus::Block);
    *ok = reply.type() == QDBusMessage::ReplyMessage && reply.arguments().size() == 1;
    if (!*ok)
        return out;
    const QDBusArgument arg = reply.arguments().at(0).value<QDBusArgument>();
    if (arg.currentSignature() != "a{oa{sa{sv}}}") {
        *ok = false;
        return out;
    }
    arg.beginMap();
    while (!arg.atEnd()) {
        QDBusObjectPath path;
        Interfaces ifaces;
        arg.beginMapEntry();
        arg >> path;
        arg.beginMap();
        while (!arg.atEnd()) {
            QString name;
            QVariantMap props;
            arg.beginMapEntry();
            arg >> name >> props;
            arg.endMapEntry();
            ifaces.insert(name, props);
        }
        arg.endMap();
        arg.endMapEntry();
        out.insert(path.path(), ifaces);
    }
    arg.endMap();
    return out;
}

OpenOutcome outcomeOfError(const QDBusMessage &reply)
{
    OpenOutcome r;
    const QString name = reply.errorName();
    if (name == "org.freedesktop.UDisks2.Error.NotAuthorizedCanObtain") {
        r.state = AccessState::AuthNeeded;
        r.why = "authentication needed";
    } else if (name == "org.freedesktop.UDisks2.Error.NotAuthorizedDismissed") {
        r.state = AccessState::Cancelled;
        r.why = "authentication cancelled";
    } else if (name == "org.freedesktop.UDisks2.Error.NotAuthorized") {
        r.state = AccessState::NotAuthorized;
        r.why = "not authorized";
    } else if (name == "org.freedesktop.DBus.Error.ServiceUnknown" ||
               name == "org.freedesktop.DBus.Error.NameHasNoOwner" ||
               name == "org.freedesktop.DBus.Error.Disconnected") {
        r.state = AccessState::Denied;
        r.why = kNoService;
    } else {
        r.state = AccessState::Failed;
        r.why = reply.errorMessage().toStdString();
        if (r.why.empty())
            r.why = name.toStdString();
    }
    return r;
}

OpenOutcome outcomeOfReply(const QDBusMessage &reply)
{
    if (reply.type() != QDBusMessage::ReplyMessage)
        return outcomeOfError(reply);
    OpenOutcome r;
    QDBusUnixFileDescriptor ufd;
    if (!reply.arguments().isEmpty())
        ufd = qdbus_cast<QDBusUnixFileDescriptor>(reply.arguments().at(0));
    int fd = ufd.isValid() ? fcntl(ufd.fileDescriptor(), F_DUPFD_CLOEXEC, 3) : -1;
    if (fd < 0) {
        r.state = AccessState::Failed;
        r.why = "the disk service sent no descriptor";
        return r;
    }
    r.fd = fd;
    r.state = AccessState::Open;
    return r;
}

// A device opened exclusively elsewhere (a mounted partition) refuses the
// exclusive open of OpenForBackup; the plain read-only open still works.
bool busy(const QDBusMessage &reply)
{
    return reply.type() == QDBusMessage::ErrorMessage &&
           reply.errorMessage().contains(QString::fromUtf8(strerror(EBUSY)));
}

QDBusMessage openCall(const QString &object, bool exclusive, bool interactive)
{
    QDBusMessage m = QDBusMessage::createMethodCall(kService, object, kBlockIface,
                                                    exclusive ? "OpenForBackup" : "OpenDevice");
    QVariantMap opts;
    if (!interactive)
        opts.insert("auth.no_user_interaction", true);
    if (exclusive) {
        m << opts;
    } else {
        opts.insert("flags", 0);
        m << QString("r") << opts;
    }
    m.setInteractiveAuthorizationAllowed(interactive);
    return m;
}

std::string findInPath(const char *prog)
{
    const char *path = getenv("PATH");
    std::string dirs = path && *path ? path : "/usr/local/bin:/usr/bin:/bin";
    size_t start = 0;
    while (start <= dirs.size()) {
        size_t colon = dirs.find(':', start);
        std::string dir = dirs.substr(start, colon == std::string::npos ? std::string::npos : colon - start);
        if (!dir.empty()) {
            std::string cand = dir + "/" + prog;
            if (access(cand.c_str(), X_OK) == 0)
                return cand;
        }
        if (colon == std::string::npos)
            break;
        start = colon + 1;
    }
    return "";
}

// "pid,start-time" of this process, as polkit names a process subject.
std::string processSubject()
{
    std::string pid = std::to_string(getpid());
    FILE *f = fopen("/proc/self/stat", "re");
    if (!f)
        return pid;
    char buf[1024];
    size_t n = fread(buf, 1, sizeof buf - 1, f);
    fclose(f);
    buf[n] = '\0';
    // Field 22, counted after the command name's closing parenthesis
    // (field 2, which may hold spaces).
    char *p = strrchr(buf, ')');
    if (!p)
        return pid;
    int field = 2;
    for (p++; *p && field < 22; p++)
        if (*p == ' ')
            field++;
    unsigned long long start = strtoull(p, nullptr, 10);
    return start ? pid + "," + std::to_string(start) : pid;
}

}  // namespace

std::string accessStateText(AccessState s)
{
    switch (s) {
    case AccessState::Open: return "Opened";
    case AccessState::AuthNeeded: return "Authentication needed";
    case AccessState::NotAuthorized: return "Not authorized";
    case AccessState::Cancelled: return "Authentication cancelled";
    case AccessState::Denied: return "Permission denied";
    case AccessState::Failed: return "Cannot be opened";
    }
    return "";
}

UdisksBroker::UdisksBroker(Asking asking, QObject *parent) : QObject(parent), m_asking(asking) {}

bool UdisksBroker::watchDevices()
{
    QDBusConnection b = bus();
    if (!b.isConnected() || !available())
        return false;
    return b.connect(kService, kRoot, "org.freedesktop.DBus.ObjectManager", "InterfacesAdded", this,
              SLOT(onInterfacesAdded(QDBusMessage))) &&
           b.connect(kService, kRoot, "org.freedesktop.DBus.ObjectManager", "InterfacesRemoved", this,
                     SLOT(onInterfacesRemoved(QDBusMessage))) &&
           b.connect(kService, QString(), "org.freedesktop.DBus.Properties", "PropertiesChanged", this,
                     SLOT(onPropertiesChanged(QDBusMessage)));
}

UdisksBroker::~UdisksBroker()
{
    stopAgent();
    std::lock_guard<std::mutex> l(m_mu);
    for (auto &k : m_kept)
        close(k.second.second);
    m_kept.clear();
}

bool UdisksBroker::available() const
{
    QDBusConnection b = bus();
    if (!b.isConnected() || !b.interface())
        return false;
    if (b.interface()->isServiceRegistered(kService))
        return true;
    QDBusReply<QStringList> names = b.interface()->activatableServiceNames();
    return names.isValid() && names.value().contains(kService);
}

void UdisksBroker::invalidate()
{
    std::lock_guard<std::mutex> l(m_mu);
    m_fresh = false;
}

bool UdisksBroker::refreshLocked()
{
    m_blocks.clear();
    m_fresh = false;
    if (!bus().isConnected())
        return false;
    bool ok = false;
    QMap<QString, Interfaces> objects = managedObjects(&ok);
    if (!ok)
        return false;
    for (auto it = objects.constBegin(); it != objects.constEnd(); ++it) {
        auto blockIt = it.value().constFind(kBlockIface);
        if (blockIt == it.value().constEnd())
            continue;
        const QVariantMap &b = blockIt.value();
        UdisksBlock blk;
        blk.object = it.key();
        blk.device = byteString(b.value("Device"));
        blk.number = (dev_t)b.value("DeviceNumber").toULongLong();
        DriveFacts &f = blk.facts;
        f.known = true;
        f.size = b.value("Size").toULongLong();
        f.system = b.value("HintSystem").toBool();
        auto loopIt = it.value().constFind(kLoopIface);
        if (loopIt != it.value().constEnd())
            f.backingFile = byteString(loopIt.value().value("BackingFile"));
        QString drive = qdbus_cast<QDBusObjectPath>(b.value("Drive")).path();
        auto driveObj = objects.constFind(drive);
        if (drive != "/" && driveObj != objects.constEnd()) {
            const QVariantMap d = driveObj.value().value(kDriveIface);
            f.vendor = d.value("Vendor").toString().trimmed().toStdString();
            f.model = d.value("Model").toString().trimmed().toStdString();
            f.serial = d.value("Serial").toString().trimmed().toStdString();
            f.bus = d.value("ConnectionBus").toString().toStdString();
            f.removable = d.value("Removable").toBool() || d.value("MediaRemovable").toBool();
        }
        if (blk.number)
            m_blocks[blk.number] = blk;
    }
    m_fresh = true;
    return true;
}

const UdisksBlock *UdisksBroker::findLocked(dev_t number)
{
    if (!m_fresh)
        refreshLocked();
    auto it = m_blocks.find(number);
    if (it == m_blocks.end()) {
        // A device that appeared since the last look.
        refreshLocked();
        it = m_blocks.find(number);
    }
    return it == m_blocks.end() ? nullptr : &it->second;
}

bool UdisksBroker::describe(const std::string &path, DriveFacts *facts)
{
    struct stat sb;
    if (stat(path.c_str(), &sb) != 0 || !S_ISBLK(sb.st_mode))
        return false;
    std::lock_guard<std::mutex> l(m_mu);
    const UdisksBlock *b = findLocked(sb.st_rdev);
    if (!b)
        return false;
    *facts = b->facts;
    return true;
}

int UdisksBroker::takeKept(dev_t number)
{
    std::lock_guard<std::mutex> l(m_mu);
    auto it = m_kept.find(number);
    return it == m_kept.end() ? -1 : fcntl(it->second.second, F_DUPFD_CLOEXEC, 3);
}

void UdisksBroker::dropKept(const QString &object)
{
    std::lock_guard<std::mutex> l(m_mu);
    for (auto it = m_kept.begin(); it != m_kept.end();) {
        if (it->second.first == object) {
            close(it->second.second);
            it = m_kept.erase(it);
        } else {
            ++it;
        }
    }
}

OpenOutcome UdisksBroker::callOpen(const QString &object, bool interactive)
{
    int timeout = interactive ? kAskTimeoutMs : -1;
    QDBusMessage reply = bus().call(openCall(object, true, interactive), QDBus::Block, timeout);
    if (busy(reply))
        reply = bus().call(openCall(object, false, interactive), QDBus::Block, timeout);
    return outcomeOfReply(reply);
}

OpenOutcome UdisksBroker::open(const std::string &path)
{
    OpenOutcome r;
    struct stat sb;
    if (stat(path.c_str(), &sb) != 0) {
        r.why = strerror(errno);
        return r;
    }
    if (!S_ISBLK(sb.st_mode)) {
        // The disk service opens block devices, not image files.
        r.state = AccessState::Denied;
        r.why = strerror(EACCES);
        return r;
    }
    r.fd = takeKept(sb.st_rdev);
    if (r.fd >= 0) {
        r.state = AccessState::Open;
        return r;
    }
    if (!bus().isConnected() || !available()) {
        r.state = AccessState::Denied;
        r.why = kNoService;
        return r;
    }
    QString object;
    {
        std::lock_guard<std::mutex> l(m_mu);
        if (const UdisksBlock *b = findLocked(sb.st_rdev))
            object = b->object;
    }
    if (object.isEmpty()) {
        r.why = "the disk service udisks2 does not list " + path;
        return r;
    }
    r = callOpen(object, false);
    if (r.state != AccessState::AuthNeeded)
        return r;
    if (m_asking == Asking::Never)
        return r;
    if (!startAgent()) {
        r.state = AccessState::NotAuthorized;
        r.why = "not authorized without a password, and there is no terminal to ask for one in";
        return r;
    }
    r = callOpen(object, true);
    if (r.state == AccessState::AuthNeeded) {
        r.state = AccessState::NotAuthorized;
        r.why = "not authorized: the password could not be asked for";
    }
    return r;
}

void UdisksBroker::authorize(const std::string &path, std::function<void(const OpenOutcome &)> done)
{
    OpenOutcome r;
    struct stat sb;
    QString object;
    if (stat(path.c_str(), &sb) != 0) {
        r.why = strerror(errno);
    } else if (!S_ISBLK(sb.st_mode)) {
        r.state = AccessState::Denied;
        r.why = strerror(EACCES);
    } else if (!available()) {
        r.state = AccessState::Denied;
        r.why = kNoService;
    } else {
        std::lock_guard<std::mutex> l(m_mu);
        if (const UdisksBlock *b = findLocked(sb.st_rdev))
            object = b->object;
        else
            r.why = "the disk service udisks2 does not list " + path;
    }
    if (object.isEmpty()) {
        done(r);
        return;
    }
    dev_t number = sb.st_rdev;
    m_pending++;
    // OpenForBackup first; a busy device once more through OpenDevice.
    auto finish = [this, number, object, done](const QDBusMessage &reply) {
        m_pending--;
        OpenOutcome out = outcomeOfReply(reply);
        if (out.state == AccessState::AuthNeeded) {
            // Asked with the agent allowed, and still only "could": no
            // authentication agent of this session answered.
            out.state = AccessState::NotAuthorized;
            out.why = "not authorized: no authentication agent asked for a password";
        }
        if (out.fd >= 0) {
            std::lock_guard<std::mutex> l(m_mu);
            auto old = m_kept.find(number);
            if (old != m_kept.end())
                close(old->second.second);
            m_kept[number] = {object, out.fd};
            out.fd = -1;
        }
        done(out);
    };
    auto *w = new QDBusPendingCallWatcher(bus().asyncCall(openCall(object, true, true), kAskTimeoutMs), this);
    connect(w, &QDBusPendingCallWatcher::finished, this, [this, w, object, finish] {
        w->deleteLater();
        QDBusMessage reply = w->reply();
        if (!busy(reply)) {
            finish(reply);
            return;
        }
        auto *w2 = new QDBusPendingCallWatcher(bus().asyncCall(openCall(object, false, true), kAskTimeoutMs), this);
        connect(w2, &QDBusPendingCallWatcher::finished, this, [w2, finish] {
            w2->deleteLater();
            finish(w2->reply());
        });
    });
}

bool UdisksBroker::startAgent()
{
    if (m_agent > 0)
        return true;
    if (m_agentTried)
        return false;
    m_agentTried = true;
    // The agent asks on the terminal the command runs in.
    if (!isatty(STDIN_FILENO))
        return false;
    std::string prog = findInPath("pkttyagent");
    if (prog.empty())
        return false;
    int p[2];
    if (pipe2(p, O_CLOEXEC) != 0)
        return false;
    std::string fdArg = std::to_string(p[1]);
    std::string subject = processSubject();
    // Registered for this process only, the agent answers this process's
    // questions in its terminal (not --fallback: polkit never asks a
    // fallback agent for a process outside a login session).
    const char *argv[] = {prog.c_str(), "--notify-fd", fdArg.c_str(), "--process", subject.c_str(), nullptr};
    fflush(stdout);
    fflush(stderr);
    pid_t pid = fork();
    if (pid < 0) {
        close(p[0]);
        close(p[1]);
        return false;
    }
    if (pid == 0) {
        fcntl(p[1], F_SETFD, 0);
        execv(argv[0], const_cast<char *const *>(argv));
        _exit(127);
    }
    close(p[1]);
    // The agent closes the descriptor once it is registered, or exits.
    char c;
    while (read(p[0], &c, 1) < 0 && errno == EINTR) {
    }
    close(p[0]);
    int status;
    if (waitpid(pid, &status, WNOHANG) == pid)
        return false;
    m_agent = pid;
    return true;
}

void UdisksBroker::stopAgent()
{
    if (m_agent <= 0)
        return;
    kill(m_agent, SIGTERM);
    int status;
    while (waitpid(m_agent, &status, 0) < 0 && errno == EINTR) {
    }
    m_agent = -1;
}

void UdisksBroker::onInterfacesAdded(const QDBusMessage &msg)
{
    invalidate();
    if (msg.arguments().size() < 2)
        return;
    const QDBusArgument arg = msg.arguments().at(1).value<QDBusArgument>();
    Interfaces ifaces;
    arg >> ifaces;
    if (ifaces.contains(kBlockIface))
        emit blockAdded();
}

void UdisksBroker::onInterfacesRemoved(const QDBusMessage &msg)
{
    invalidate();
    if (msg.arguments().size() < 2)
        return;
    QString object = qdbus_cast<QDBusObjectPath>(msg.arguments().at(0)).path();
    QStringList ifaces = msg.arguments().at(1).toStringList();
    if (ifaces.contains(kBlockIface)) {
        dropKept(object);
        emit blockRemoved();
    }
}

void UdisksBroker::onPropertiesChanged(const QDBusMessage &msg)
{
    if (msg.arguments().size() < 2 || msg.arguments().at(0).toString() != kBlockIface)
        return;
    QVariantMap changed = qdbus_cast<QVariantMap>(msg.arguments().at(1));
    if (!changed.contains("Size"))
        return;
    // A card in a reader came or went (a loop device was attached or
    // detached): a descriptor kept for the old medium is not used for the
    // new one.
    invalidate();
    dropKept(msg.path());
    if (changed.value("Size").toULongLong() == 0)
        emit blockRemoved();
    else
        emit mediumChanged();
}

}  // namespace salvitra
