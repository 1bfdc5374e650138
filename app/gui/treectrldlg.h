// The device tree of the disk page: devices with their partitions and one
// whole-device row each, rebuilt when media come and go.
#pragma once

#include <QStringList>
#include <QTreeWidget>

#include <memory>

#include "disk_slots.h"
#include "inventory.h"
#include "lostsearch.h"
#include "mediawatch.h"
#include "skin.h"

Q_DECLARE_METATYPE(Partiton_Struct *)

// The size as a person reads it ("3.69 GB"); the exact count is the tooltip.
QString SizeText(uint64_t bytes);

class QTreeCtrlDlg : public QImageDialog, public IDetectUsbCallback {
    Q_OBJECT
public:
    enum { PartitionRole = Qt::UserRole, WholeDeviceRole = Qt::UserRole + 1, LockedRole = Qt::UserRole + 2 };
    static const char *const kEntireDevice;

    explicit QTreeCtrlDlg(QWidget *parent);
    ~QTreeCtrlDlg() override;

    void InitTreeCtrl();
    void CreateTreeWidget();
    void InitBlock();
    static void GetTypeString(char *out, unsigned int type);
    bool isSelectTreeItem() const { return true; }

    // Adds an image file as one more device; false (with the reason) when it
    // cannot be read.
    bool AddDiskImage(const QString &path, QString *err);
    QStringList diskImages() const { return m_images; }

    // While busy (a scan runs or its results are shown) media events are
    // held and one rebuild runs when it ends: the scan reads the records a
    // rebuild would free.
    void SetBusy(bool busy);
    bool rebuildPending() const { return m_pending; }
    int rebuildCount() const { return m_rebuilds; }

    // The partition record of the current row (partition or whole device).
    Partiton_Struct *SelectedPartition() const;

    // A device that needs authentication (a lock in the tree) is opened
    // when the user chooses it: the system asks for the password, then the
    // tree is built again with it.  Refused or cancelled, a message says
    // so and the tree stays as it was.
    void OpenLockedDevice(QTreeWidgetItem *item);
    const salvitra::Inventory &inventory() const { return m_inventory; }
    salvitra::Inventory &inventoryForJobs() { return m_inventory; }
    QTreeWidget *tree() const { return m_tree; }
    QMediaWatcher *watcher() const { return m_watcher; }

    // ---- the search for lost volumes (lostsearch.cpp) ----
    // Starts searching a device: its row shows the progress with pause and
    // stop; its found volumes follow under "Found volumes".  False while
    // a search or a scan runs.
    bool StartSearch(int devNum);
    bool searching() const { return m_search != nullptr; }
    salvitra::VolumeSearchJob *searchJob() const;

    void onDilMountUsb() override;
    void onWillUnmountUsb() override;
    void onDilUnmountUsb() override;

signals:
    void ableBtnCtrl(bool on);
    // A search ended; ok when its volumes were listed.
    void searchFinished(bool ok);
    // The answer to OpenLockedDevice: opened, or why not.
    void lockedDeviceAnswered(bool opened, const QString &why);

public slots:
    void onTreeWidgetItemChange();

private:
    void Rebuild();
    bool BuildLists(QString *err);
    void AddSearchOffer(QTreeWidgetItem *dev, int devNum);
    void AddFoundVolumes(QTreeWidgetItem *dev, int devNum);
    void AddChoiceBox(QTreeWidgetItem *row, const salvitra::PartitionInfo &p);
    void OnSearchEnded();

    QTreeWidget *m_tree = nullptr;
    salvitra::Inventory m_inventory;
    QStringList m_images;
    QMediaWatcher *m_watcher = nullptr;
    bool m_busy = false;
    bool m_pending = false;
    int m_rebuilds = 0;
    std::unique_ptr<QLostSearch> m_search;
};
