// The device tree of the disk page: devices with their partitions and one
// whole-device row each, rebuilt when media come and go.
#pragma once

#include <QStringList>
#include <QTreeWidget>

#include <memory>

#include "disk_slots.h"
#include "inventory.h"
#include "mediawatch.h"
#include "skin.h"

Q_DECLARE_METATYPE(Partiton_Struct *)

// The size as a person reads it ("3.69 GB"); the exact count is the tooltip.
QString SizeText(uint64_t bytes);

class QTreeCtrlDlg : public QImageDialog, public IDetectUsbCallback {
    Q_OBJECT
public:
    enum { PartitionRole = Qt::UserRole, WholeDeviceRole = Qt::UserRole + 1 };
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
    const salvitra::Inventory &inventory() const { return m_inventory; }
    salvitra::Inventory &inventoryForJobs() { return m_inventory; }
    QTreeWidget *tree() const { return m_tree; }
    QMediaWatcher *watcher() const { return m_watcher; }

    void onDilMountUsb() override;
    void onWillUnmountUsb() override;
    void onDilUnmountUsb() override;

signals:
    void ableBtnCtrl(bool on);

public slots:
    void onTreeWidgetItemChange();

private:
    void Rebuild();
    bool BuildLists(QString *err);

    QTreeWidget *m_tree = nullptr;
    salvitra::Inventory m_inventory;
    std::vector<salvitra::DiskSlot> m_slots;  // every probed medium, readable or not
    QStringList m_images;
    QMediaWatcher *m_watcher = nullptr;
    bool m_busy = false;
    bool m_pending = false;
    int m_rebuilds = 0;
};
