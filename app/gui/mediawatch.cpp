#include "mediawatch.h"

#include <QDir>
#include <QSocketNotifier>

#include <cstring>
#include <libudev.h>

#include "udisks.h"

QMediaWatcher::QMediaWatcher(QObject *parent) : QObject(parent)
{
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, &QMediaWatcher::onDetectTimer);

    m_folder = qEnvironmentVariable("SALVITRA_DISK_DIR");
    if (!m_folder.isEmpty() && QDir(m_folder).exists()) {
        m_entries = folderEntries();
        m_watcher.addPath(m_folder);
        connect(&m_watcher, &QFileSystemWatcher::directoryChanged, this, &QMediaWatcher::onFolderChanged);
    }

    m_udisks = new salvitra::UdisksBroker(salvitra::UdisksBroker::Asking::Never, this);
    if (!salvitra::deviceBroker())
        salvitra::setDeviceBroker(m_udisks);
    m_udisksWatch = m_udisks->watchDevices();
    if (m_udisksWatch) {
        connect(m_udisks, &salvitra::UdisksBroker::blockAdded, this, &QMediaWatcher::onDetectUsb);
        connect(m_udisks, &salvitra::UdisksBroker::mediumChanged, this, &QMediaWatcher::onDetectUsb);
        connect(m_udisks, &salvitra::UdisksBroker::blockRemoved, this, &QMediaWatcher::onDetectUsb2);
        return;
    }

    // Without udisks2, libudev.  Without a running udev (containers, CI) the
    // monitor cannot be made or never reports; the stand-in folder still
    // works.
    m_udev = udev_new();
    if (m_udev) {
        m_monitor = udev_monitor_new_from_netlink(m_udev, "udev");
        if (m_monitor && udev_monitor_filter_add_match_subsystem_devtype(m_monitor, "block", nullptr) == 0
            && udev_monitor_enable_receiving(m_monitor) == 0) {
            int fd = udev_monitor_get_fd(m_monitor);
            m_notifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
            connect(m_notifier, &QSocketNotifier::activated, this, &QMediaWatcher::onUdevReadable);
        } else if (m_monitor) {
            udev_monitor_unref(m_monitor);
            m_monitor = nullptr;
        }
    }
}

QMediaWatcher::~QMediaWatcher()
{
    if (salvitra::deviceBroker() == m_udisks)
        salvitra::setDeviceBroker(nullptr);
    delete m_notifier;
    if (m_monitor)
        udev_monitor_unref(m_monitor);
    if (m_udev)
        udev_unref(m_udev);
}

void QMediaWatcher::arm(bool mount)
{
    m_isMount = mount;
    m_timer.start(SettleMs);
}

void QMediaWatcher::onDetectUsb()
{
    arm(true);
}

void QMediaWatcher::onDetectUsb2()
{
    arm(false);
}

void QMediaWatcher::onWillUnmountUsb()
{
    if (m_callback)
        m_callback->onWillUnmountUsb();
}

void QMediaWatcher::onDetectTimer()
{
    if (!m_callback)
        return;
    if (m_isMount)
        m_callback->onDilMountUsb();
    else
        m_callback->onDilUnmountUsb();
}

QSet<QString> QMediaWatcher::folderEntries() const
{
    QSet<QString> s;
    const QStringList names = QDir(m_folder).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot);
    for (const QString &n : names)
        s.insert(n);
    return s;
}

void QMediaWatcher::onFolderChanged()
{
    QSet<QString> now = folderEntries();
    bool added = false;
    for (const QString &n : now)
        added = added || !m_entries.contains(n);
    bool removed = false;
    for (const QString &n : m_entries)
        removed = removed || !now.contains(n);
    m_entries = now;
    // An entry that came and went between two looks leaves the set as it
    // was: the last thing that happened was a removal.
    if (added && !removed)
        onDetectUsb();
    else
        onDetectUsb2();
}

void QMediaWatcher::onUdevReadable()
{
    while (struct udev_device *dev = udev_monitor_receive_device(m_monitor)) {
        const char *action = udev_device_get_action(dev);
        if (action) {
            if (!strcmp(action, "add") || !strcmp(action, "change"))
                onDetectUsb();
            else if (!strcmp(action, "remove"))
                onDetectUsb2();
        }
        udev_device_unref(dev);
    }
}
