#include "treectrldlg.h"

#include <QDebug>
#include <QFileInfo>
#include <QHeaderView>
#include <QMessageBox>
#include <QVBoxLayout>

#include <cstring>

#include "disk_slots.h"
#include "job_api.h"
#include "udisks.h"
#include "units.h"

const char *const QTreeCtrlDlg::kEntireDevice = "Entire Device";

QString SizeText(uint64_t bytes)
{
    return QString::fromStdString(salvitra::readableSize(bytes));
}

namespace {

// The size column: as a person reads it, the exact count in the tooltip.
void setSize(QTreeWidgetItem *row, uint64_t bytes)
{
    row->setText(1, SizeText(bytes));
    row->setToolTip(1, QString::fromStdString(salvitra::exactBytes(bytes)));
}

}  // namespace

QTreeCtrlDlg::QTreeCtrlDlg(QWidget *parent) : QImageDialog(parent, Qt::WindowFlags())
{
    setWindowFlags(Qt::Widget);
    InitTreeCtrl();
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_tree);
    // The watcher brings the disk service that opens locked devices: it
    // comes before the first list build.
    m_watcher = new QMediaWatcher(this);
    InitBlock();
    m_watcher->setCallback(this);
    connect(m_tree, &QTreeWidget::itemSelectionChanged, this, &QTreeCtrlDlg::onTreeWidgetItemChange);
    connect(m_tree, &QTreeWidget::itemClicked, this, [this](QTreeWidgetItem *item) { OpenLockedDevice(item); });
    connect(m_tree, &QTreeWidget::itemActivated, this, [this](QTreeWidgetItem *item) { OpenLockedDevice(item); });
    if (parent)
        connect(this, SIGNAL(ableBtnCtrl(bool)), parent, SLOT(SetBtnAble(bool)));
}

QTreeCtrlDlg::~QTreeCtrlDlg()
{
    m_search.reset();
    m_watcher->setCallback(nullptr);
    m_tree->clear();
    m_inventory.teardown();
}

void QTreeCtrlDlg::InitTreeCtrl()
{
    m_tree = new QTreeWidget(this);
    m_tree->setAccessibleName("Devices and partitions");
    m_tree->setColumnCount(3);
    m_tree->setColumnWidth(0, 355);
    m_tree->setColumnWidth(1, 155);
    m_tree->setStyleSheet("QTreeWidget::item{height:25px}");
    m_tree->setHeaderLabels({"Volume", "Size", "File System"});
    // The name column takes what the window gives; the others keep theirs.
    m_tree->header()->setStretchLastSection(false);
    m_tree->header()->setSectionResizeMode(0, QHeaderView::Stretch);
    m_tree->header()->setSectionResizeMode(1, QHeaderView::Interactive);
    m_tree->header()->setSectionResizeMode(2, QHeaderView::Interactive);
    m_tree->setColumnWidth(2, 150);
    m_tree->setMinimumHeight(120);
    m_tree->setRootIsDecorated(true);
    m_tree->setUniformRowHeights(true);
}

bool QTreeCtrlDlg::BuildLists(QString *err)
{
    std::vector<std::string> images;
    for (const QString &p : m_images)
        images.push_back(p.toStdString());
    // slotsWithImages probes first: the probe clears the core library's
    // image list, which the build then sets for as long as these lists live.
    std::string why;
    bool ok = m_inventory.build(salvitra::slotsWithImages(images), &why);
    if (!ok && err)
        *err = QString::fromStdString(why);
    return ok;
}

void QTreeCtrlDlg::InitBlock()
{
    BuildLists(nullptr);
    CreateTreeWidget();
}

void QTreeCtrlDlg::GetTypeString(char *out, unsigned int type)
{
    if (!out)
        return;
    snprintf(out, 11, "%s", salvitra::fsTreeLabel((int)type));
}

void QTreeCtrlDlg::CreateTreeWidget()
{
    const QColor deviceBg(217, 225, 231);
    const QIcon diskIcon(":/images/disk_icon.png");
    m_tree->clear();
    for (const salvitra::DeviceInfo &d : m_inventory.devices()) {
        if (d.devNum == SV_DEV_SKIPPED)
            continue;
        auto *dev = new QTreeWidgetItem(m_tree);
        dev->setText(0, QString::fromStdString(d.displayName));
        setSize(dev, d.size);
        dev->setIcon(0, diskIcon);
        dev->setToolTip(0, QString::fromStdString(d.path));
        for (int c = 0; c < 3; c++)
            dev->setBackground(c, deviceBg);
        for (const salvitra::PartitionInfo &p : m_inventory.partitions()) {
            if (p.devNum != d.devNum || p.found)
                continue;
            auto *row = new QTreeWidgetItem(dev);
            QString vol = QString::fromUtf8(p.part->VolumeName, (int)strnlen(p.part->VolumeName, sizeof p.part->VolumeName));
            row->setText(0, vol.isEmpty() ? QString("Untitled") : vol);
            setSize(row, p.size);
            row->setText(2, salvitra::fsTreeLabel(p.fsType));
            row->setIcon(0, diskIcon);
            row->setData(0, PartitionRole, QVariant::fromValue(p.part));
            salvitra::Capabilities caps = salvitra::capabilities(p.part);
            row->setToolTip(0, caps.quick ? QString("Quick scan and deep scan")
                                          : QString("Deep scan only: no quick scanner for this file system"));
            AddChoiceBox(row, p);
        }
        AddFoundVolumes(dev, d.devNum);
        if (Partiton_Struct *whole = m_inventory.wholeDevice(d.devNum)) {
            auto *row = new QTreeWidgetItem(dev);
            row->setText(0, kEntireDevice);
            setSize(row, d.size);
            row->setText(2, salvitra::fsTreeLabel(FS_UNKNOWN));
            row->setIcon(0, diskIcon);
            row->setData(0, PartitionRole, QVariant::fromValue(whole));
            row->setData(0, WholeDeviceRole, true);
            row->setToolTip(0, "The whole medium, for a deep scan when its partitions are damaged or unknown");
        }
        AddSearchOffer(dev, d.devNum);
    }
    // Media that could not be opened: listed with the reason, never
    // scanned; a lock where the user may authenticate to open them.
    const QIcon lockIcon(":/images/lock_icon.png");
    for (const salvitra::ClosedDevice &c : m_inventory.closed()) {
        if (c.devNum == SV_DEV_SKIPPED)
            continue;
        bool locked = c.state == salvitra::AccessState::AuthNeeded || c.state == salvitra::AccessState::Cancelled;
        auto *dev = new QTreeWidgetItem(m_tree);
        dev->setText(0, QString::fromStdString(c.displayName));
        dev->setText(1, locked && c.facts.size ? SizeText(c.facts.size) : QString("No access"));
        dev->setText(2, QString("  %1 ").arg(locked ? QString::fromStdString(salvitra::accessStateText(c.state))
                                                    : QString::fromStdString(c.reason)));
        dev->setIcon(0, locked ? lockIcon : diskIcon);
        dev->setForeground(0, QColor(0x8a, 0x93, 0xa0));
        if (locked) {
            dev->setData(0, LockedRole, QString::fromStdString(c.path));
            dev->setToolTip(0, QString::fromStdString(c.path)
                                   + ": click to open it. The system asks for your password; the device is "
                                     "then opened for reading only.");
        } else {
            dev->setToolTip(0, "Salvitra may not read this device: " + QString::fromStdString(c.reason)
                                   + ". See Help for how to give it access.");
        }
        for (int col = 0; col < 3; col++)
            dev->setBackground(col, deviceBg);
    }
    m_tree->expandAll();
    emit ableBtnCtrl(false);
}

Partiton_Struct *QTreeCtrlDlg::SelectedPartition() const
{
    QList<QTreeWidgetItem *> sel = m_tree->selectedItems();
    if (sel.isEmpty() || !sel.first()->parent() || sel.first()->childCount() > 0)
        return nullptr;
    return sel.first()->data(0, PartitionRole).value<Partiton_Struct *>();
}

void QTreeCtrlDlg::OpenLockedDevice(QTreeWidgetItem *item)
{
    if (!item || m_busy || m_watcher->udisks()->authorizing())
        return;
    QString path = item->data(0, LockedRole).toString();
    if (path.isEmpty())
        return;
    QString name = item->text(0);
    m_watcher->udisks()->authorize(path.toStdString(), [this, path, name](const salvitra::OpenOutcome &r) {
        if (r.state == salvitra::AccessState::Open) {
            Rebuild();
            for (int i = 0; i < m_tree->topLevelItemCount(); i++)
                if (m_tree->topLevelItem(i)->toolTip(0) == path)
                    m_tree->setCurrentItem(m_tree->topLevelItem(i));
            emit lockedDeviceAnswered(true, QString());
            return;
        }
        QString why = QString::fromStdString(r.why);
        emit lockedDeviceAnswered(false, why);
        QMessageBox::warning(this, "Salvitra", QString("%1 could not be opened: %2.").arg(name, why));
    });
}

void QTreeCtrlDlg::onTreeWidgetItemChange()
{
    // The selection decides, as it does for the scan: a row chosen through
    // the keyboard, the mouse or a screen reader's selection alike.
    QList<QTreeWidgetItem *> sel = m_tree->selectedItems();
    QTreeWidgetItem *cur = sel.isEmpty() ? nullptr : sel.first();
    // No scan starts while a search reads the device list.
    emit ableBtnCtrl(cur && cur->parent() && cur->childCount() == 0 && cur->data(0, PartitionRole).isValid() &&
                     !m_search);
}

bool QTreeCtrlDlg::AddDiskImage(const QString &path, QString *err)
{
    if (m_images.contains(path)) {
        if (err)
            *err = "This image is already listed.";
        return false;
    }
    if (m_busy || m_search) {
        if (err)
            *err = m_search ? "Please wait until the search for lost volumes has ended."
                            : "Please wait until the scan has ended.";
        return false;
    }
    m_images << path;
    QString why;
    if (!BuildLists(&why)) {
        m_images.removeAll(path);
        BuildLists(nullptr);
        CreateTreeWidget();
        if (err)
            *err = why;
        return false;
    }
    CreateTreeWidget();
    m_rebuilds++;
    return true;
}

void QTreeCtrlDlg::Rebuild()
{
    if (m_busy || m_search) {
        m_pending = true;
        return;
    }
    m_pending = false;
    m_tree->clear();
    m_inventory.teardown();
    if (!BuildLists(nullptr)) {
        // An added image went away: forget the images that cannot be read.
        QStringList keep;
        for (const QString &p : m_images)
            if (QFileInfo(p).isReadable())
                keep << p;
        m_images = keep;
        BuildLists(nullptr);
    }
    CreateTreeWidget();
    m_rebuilds++;
}

void QTreeCtrlDlg::SetBusy(bool busy)
{
    m_busy = busy;
    if (!busy && m_pending && !m_search)
        Rebuild();
}

void QTreeCtrlDlg::onDilMountUsb()
{
    qDebug() << "++++++++++++++";
    Rebuild();
}

void QTreeCtrlDlg::onWillUnmountUsb() {}

void QTreeCtrlDlg::onDilUnmountUsb()
{
    qDebug() << "-------------";
    Rebuild();
}
