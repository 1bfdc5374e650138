// Media events: block devices appearing, changing or leaving (from the disk
// service udisks2, or from libudev where udisks2 is absent) and entries
// appearing in or leaving the stand-in folder SALVITRA_DISK_DIR.  Events
// within half a second give one callback, of the kind of the last.
//
// The watcher also holds the window's device broker (udisks2): it opens
// the devices this user may not open, once polkit allows it.
#pragma once

#include <QFileSystemWatcher>
#include <QObject>
#include <QSet>
#include <QString>
#include <QTimer>

class QSocketNotifier;
namespace salvitra {
class UdisksBroker;
}
struct udev;
struct udev_monitor;

class IDetectUsbCallback {
public:
    virtual ~IDetectUsbCallback() = default;
    virtual void onDilMountUsb() = 0;
    virtual void onWillUnmountUsb() = 0;
    virtual void onDilUnmountUsb() = 0;
};

class QMediaWatcher : public QObject {
    Q_OBJECT
public:
    enum { SettleMs = 500 };
    explicit QMediaWatcher(QObject *parent = nullptr);
    ~QMediaWatcher() override;

    void setCallback(IDetectUsbCallback *cb) { m_callback = cb; }
    bool udevActive() const { return m_monitor != nullptr; }
    bool udisksActive() const { return m_udisksWatch; }
    // The disk service (never null; it may not be running).
    salvitra::UdisksBroker *udisks() const { return m_udisks; }
    QString folder() const { return m_folder; }

    // Entry points of the event sources (also used by tests).
    void onDetectUsb();        // a medium appeared
    void onDetectUsb2();       // a medium left
    void onWillUnmountUsb();   // a medium is about to leave

private slots:
    void onDetectTimer();
    void onFolderChanged();
    void onUdevReadable();

private:
    void arm(bool mount);
    QSet<QString> folderEntries() const;

    IDetectUsbCallback *m_callback = nullptr;
    QTimer m_timer;
    bool m_isMount = false;
    QFileSystemWatcher m_watcher;
    QString m_folder;
    QSet<QString> m_entries;
    salvitra::UdisksBroker *m_udisks = nullptr;
    bool m_udisksWatch = false;
    struct udev *m_udev = nullptr;
    struct udev_monitor *m_monitor = nullptr;
    QSocketNotifier *m_notifier = nullptr;
};
