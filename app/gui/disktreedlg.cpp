#include "disktreedlg.h"

#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QMenu>
#include <QMessageBox>
#include <QStackedWidget>
#include <QStandardPaths>
#include <QVBoxLayout>

#include "mainwindow.h"

#include "imagedlg.h"
#include "optitondlg.h"
#include "recover.h"

QDiskTreeDlg::QDiskTreeDlg(QWidget *parent) : QImageDialog(parent)
{
    setWindowFlags(Qt::Widget);
    setObjectName("diskPage");
    qRegisterMetaType<Partiton_Struct *>("Partiton_Struct*");
    qRegisterMetaType<salvitra::RecoverMod>("RecoverMod");
    SetImageBackgroud(":/images/bg_quick_select.png");

    m_tree = new QTreeCtrlDlg(this);

    m_btnHome = MakeImageButton(this, ":/images/btn_home.png", "Home");
    m_btnOpenImage = MakeImageButton(this, ":/images/btn_open_image.png", "Open Disk Image");
    m_btnOptiton = MakeImageButton(this, ":/images/btn_optiton.png", "Options");
    m_btnScan = MakeImageButton(this, ":/images/button_scan.png", "Scan");
    m_btnOptiton->setToolTip("Choose the kinds of files and the region of the partition to scan");
    // Saving an image of the selected row: under the tree, on its right, and
    // in the row's context menu.
    m_btnSaveImage = MakeImageButton(this, ":/images/btn_save_image.png", "Save Disk Image...");
    m_btnSaveImage->setToolTip("Copy the selected device or partition into an image file, read once and around "
                               "unreadable areas; scan the image instead of a failing disk");
    m_actSaveImage = new QAction("Save Disk Image...", this);
    m_tree->tree()->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(m_tree->tree(), &QWidget::customContextMenuRequested, this, [this](const QPoint &at) {
        QTreeWidgetItem *row = m_tree->tree()->itemAt(at);
        if (!row)
            return;
        m_tree->tree()->setCurrentItem(row);
        m_actSaveImage->setEnabled(ImageTarget() != nullptr);
        QMenu menu(this);
        menu.addAction(m_actSaveImage);
        menu.exec(m_tree->tree()->viewport()->mapToGlobal(at));
    });
    connect(m_actSaveImage, &QAction::triggered, this, &QDiskTreeDlg::OnSaveDiskImage);
    connect(m_btnSaveImage, &QPushButton::clicked, this, &QDiskTreeDlg::OnSaveDiskImage);
    m_btnOpenImage->setToolTip("Add a disk image (raw, split raw, EnCase, VHD, VHDX or VMDK) as one more device");

    m_title = MakeLabel(this, QString(), 17, skin::kOnBand, true);
    m_filterLabel = MakeLabel(this, "Filter Option:", 12, skin::kInk);
    m_filterLabel->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    m_filter = new QComboBox(this);
    m_filter->addItems({"All Files", "Photo", "Video", "Music", "Others"});
    m_filter->setAccessibleName("Filter option");
    m_filterLabel->setBuddy(m_filter);
    m_formatted = new QCheckBox("Formatted", this);
    m_formatted->setToolTip("Look for the files of the volume that was here before the partition was "
                            "formatted again (FAT and NTFS)");
    m_formatted->setEnabled(false);
    m_hintLabel = MakeLabel(this, "Please select a file type to start the scan", 12,
                            skin::kOnBandMuted);
    m_hintLabel->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    m_hintLabel->setWordWrap(true);
    m_fsList = new QComboBox(this);
    m_fsList->addItems({"Auto (recommended)", "HFS", "EXT", "NTFS", "FAT"});
    m_fsList->setToolTip("Select file system");
    m_fsList->hide();

    m_radioAll = new QRadioButton(
        "Scan for all files\nScans the whole partition. It can find more files, but takes longer.", this);
    m_radioDel = new QRadioButton(
        "Scan for deleted files\nOnly looks for deleted files. It is quicker.", this);
    for (QRadioButton *r : {m_radioAll, m_radioDel})
        r->setStyleSheet("font-size:11px; color:#1f2937;");
    m_radioAll->setChecked(true);

    // Band: the title beside the logo, the hint at the right.
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    auto *band = new QWidget(this);
    band->setFixedHeight(48);
    auto *bl = new QHBoxLayout(band);
    bl->setContentsMargins(54, 0, 14, 3);
    bl->setSpacing(12);
    bl->addWidget(m_title);
    bl->addWidget(m_hintLabel, 1);
    layout->addWidget(band);
    auto *middle = new QVBoxLayout();
    middle->setContentsMargins(11, 6, 11, 6);
    middle->setSpacing(4);
    middle->addWidget(m_tree, 1);
    auto *treeRow = new QHBoxLayout();
    treeRow->addStretch(1);
    treeRow->addWidget(m_btnSaveImage);
    middle->addLayout(treeRow);
    middle->addWidget(m_radioAll);
    middle->addWidget(m_radioDel);
    layout->addLayout(middle, 1);
    QWidget *footer = MakeFooter(this);
    auto *fl = new QHBoxLayout(footer);
    fl->setContentsMargins(11, 10, 11, 10);
    fl->setSpacing(8);
    fl->addWidget(m_btnHome);
    fl->addWidget(m_btnOpenImage);
    fl->addStretch(1);
    fl->addWidget(m_filterLabel);
    fl->addWidget(m_filter);
    fl->addWidget(m_formatted);
    fl->addWidget(m_btnOptiton);
    fl->addWidget(m_btnScan);
    layout->addWidget(footer);

    m_btnScan->setEnabled(false);
    m_btnOptiton->setEnabled(false);
    setTabOrder(m_tree->tree(), m_radioAll);
    setTabOrder(m_radioAll, m_radioDel);
    setTabOrder(m_radioDel, m_btnHome);
    setTabOrder(m_btnHome, m_btnOpenImage);
    setTabOrder(m_btnOpenImage, m_filter);
    setTabOrder(m_filter, m_formatted);
    setTabOrder(m_formatted, m_btnOptiton);
    setTabOrder(m_btnOptiton, m_btnScan);

    connect(m_btnHome, SIGNAL(clicked()), parent, SLOT(OnGoHome()));
    connect(m_btnScan, &QPushButton::clicked, this, &QDiskTreeDlg::OnScan);
    connect(m_btnOptiton, &QPushButton::clicked, this, &QDiskTreeDlg::OnBtnOptiton);
    connect(m_btnOpenImage, &QPushButton::clicked, this, &QDiskTreeDlg::OnOpenDiskImage);
    connect(m_formatted, &QCheckBox::toggled, this, &QDiskTreeDlg::UpdateHint);
    connect(m_radioAll, &QRadioButton::clicked, this, &QDiskTreeDlg::OnClickAllRadio);
    connect(m_radioDel, &QRadioButton::clicked, this, &QDiskTreeDlg::OnClickDelRadio);
    // Enter (or a double click) on a partition starts the scan.
    connect(m_tree->tree(), &QTreeWidget::itemActivated, this, [this] {
        if (m_btnScan->isEnabled())
            OnScan();
    });
    if (parent) {
        connect(this, SIGNAL(SetRecoverMod(RecoverMod)), parent, SLOT(SetScanRecoverMod(RecoverMod)));
        connect(this, SIGNAL(SetOptitionScan(QStringList)), parent, SLOT(SetOptitionScan(QStringList)));
        connect(this, SIGNAL(SendPartitInfo(Partiton_Struct*)), parent, SLOT(AcceptPartiton(Partiton_Struct*)));
        connect(this, SIGNAL(OnScanFinish()), parent, SLOT(OnScanFinish()));
        connect(this, SIGNAL(CreateFileTree(Partiton_Struct*)), parent, SLOT(CreateFileTree(Partiton_Struct*)));
        connect(this, SIGNAL(OnBtnScan()), parent, SLOT(OnBtnScan()));
    }
}

QDiskTreeDlg::~QDiskTreeDlg()
{
    m_scan.reset();
    delete m_optiton;
}

void QDiskTreeDlg::RequestStop()
{
    if (m_scan)
        m_scan->stop();
}

void QDiskTreeDlg::stop()
{
    if (!m_scan)
        return;
    m_scan->stop();
    // The job's observer never waits for this thread: the wait ends.
    m_scan->job()->wait();
}

int QDiskTreeDlg::sectorSizeOf(const Partiton_Struct *part) const
{
    if (const salvitra::DeviceInfo *d = m_tree->inventory().deviceOf(part))
        if (d->sectorSize > 0)
            return d->sectorSize;
    if (part && part->Device && part->Device->SectorSize > 0)
        return part->Device->SectorSize;
    return 512;
}

void QDiskTreeDlg::OnScan()
{
    QList<QTreeWidgetItem *> sel = m_tree->tree()->selectedItems();
    if (sel.isEmpty() || !sel.first()->parent() || sel.first()->childCount() > 0) {
        QMessageBox::about(this, "Salvitra", "Please select the target partition or removable media first.");
        return;
    }
    Partiton_Struct *part = m_tree->SelectedPartition();
    m_scan.reset();

    // The record the scan reads: the partition, or the copy that describes
    // the chosen sectors in bytes.
    m_target = part;
    if (part && m_rangeFlag) {
        const uint64_t ss = (uint64_t)sectorSizeOf(part);
        const uint64_t sectors = part->PartSize / ss;
        uint64_t start = qMin<uint64_t>(m_rangeStart, sectors);
        uint64_t end = qBound<uint64_t>(start, m_rangeEnd, sectors);
        // The same record the command line's --range makes (an empty
        // range scans nothing).
        m_rangeCopy = salvitra::rangeCopy(*part, end > start ? start * ss : 0, end > start ? end * ss : part->PartSize);
        if (end <= start)
            m_rangeCopy.PartSize = 0;
        m_target = &m_rangeCopy;
    }
    if (part) {
        m_scannedType = part->FsType;
        salvitra::ScanRequest req;
        req.part = m_target;
        req.mode = m_mode;
        // The job holds the lists it reads until it is released.
        req.inventory = &m_tree->inventoryForJobs();
        req.formatted = m_mode == salvitra::RecoverQuick && !m_formatted->isHidden() && m_formatted->isChecked();
        if (m_mode == salvitra::RecoverDeep)
            for (const QString &t : m_types)
                req.types.push_back(t.toStdString());
        m_scan = std::make_unique<QScanAdapter>(req);
        connect(m_scan.get(), &QScanAdapter::scanEnded, this, &QDiskTreeDlg::OnScanEnded);
    }
    m_tree->SetBusy(true);
    emit SendPartitInfo(m_target);
    // The job runs on its own threads, as the command line runs it; the
    // window hears of it through the adapter's queued signals.
    if (m_scan)
        m_scan->start();
    emit OnBtnScan();
    if (!m_scan)
        OnScanEnded();
}

void QDiskTreeDlg::OnScanEnded()
{
    emit OnScanFinish();
    emit CreateFileTree(m_target);
}

void QDiskTreeDlg::OnBtnOptiton()
{
    delete m_optiton;
    m_optiton = new QOptitonDlg(this);
    QList<QTreeWidgetItem *> sel = m_tree->tree()->selectedItems();
    if (!sel.isEmpty()) {
        // The region tab is named after the partition, as the tree shows it.
        QTreeWidgetItem *row = sel.first();
        m_optiton->setPartitionName(QString("%1 (%2, %3)")
                                        .arg(row->text(0), row->text(2).trimmed(), row->text(1)));
    }
    if (Partiton_Struct *part = m_tree->SelectedPartition()) {
        if (part->PartSize) {
            m_optiton->setSectorSize(sectorSizeOf(part));
            m_optiton->setMaxValue(part->PartSize / (uint64_t)sectorSizeOf(part));
            m_optiton->setEditMaxValue();
        }
    }
    m_optiton->exec();
}

void QDiskTreeDlg::GetOptitonValue(unsigned long long start, unsigned long long end)
{
    m_rangeStart = start;
    m_rangeEnd = end;
}

void QDiskTreeDlg::OnOptitonScan(QStringList types)
{
    m_rangeFlag = true;
    m_types = types;
    if (m_optiton)
        m_optiton->hide();
    emit SetOptitionScan(types);
    OnScan();
}

void QDiskTreeDlg::OnClickDelRadio()
{
    m_mode = salvitra::RecoverQuick;
    m_btnOptiton->setEnabled(false);
    emit SetRecoverMod(m_mode);
    UpdateHint();
}

void QDiskTreeDlg::OnClickAllRadio()
{
    m_radioAll->setChecked(true);
    m_mode = salvitra::RecoverDeep;
    emit SetRecoverMod(m_mode);
    m_btnOptiton->setEnabled(m_partSelected);
}

void QDiskTreeDlg::OnClickRadio()
{
    OnClickAllRadio();
}

void QDiskTreeDlg::SetBtnAble(bool on)
{
    m_partSelected = on;
    m_btnOptiton->setEnabled(on && m_mode != salvitra::RecoverQuick);
    m_btnScan->setEnabled(on);
    UpdateHint();
}

void QDiskTreeDlg::UpdateHint()
{
    // What the selected partition offers comes from the driver's table.
    Partiton_Struct *part = m_partSelected ? m_tree->SelectedPartition() : nullptr;
    QString hint = "Please select a file type to start the scan";
    const bool formatted = part && salvitra::capabilities(part).formatted;
    m_formatted->setEnabled(formatted);
    if (!formatted)
        m_formatted->setChecked(false);
    if (part && m_mode == salvitra::RecoverQuick && m_formatted->isChecked())
        hint = "The files of the volume before its last format";
    else if (part && m_mode == salvitra::RecoverQuick && !salvitra::capabilities(part).quick)
        hint = QString("No quick scan for%1: a deep scan finds its files").arg(
            QString(salvitra::fsTreeLabel(part->FsType)).trimmed().prepend(' '));
    m_hintLabel->setText(hint);
}

void QDiskTreeDlg::showForMod(RecoverMod mode)
{
    const bool deep = mode == salvitra::RecoverDeep;
    if (!deep && mode != salvitra::RecoverQuick)
        return;
    if (deep)
        m_filter->setCurrentIndex(0);
    for (QWidget *w : std::initializer_list<QWidget *>{m_filterLabel, m_filter, m_formatted, m_hintLabel})
        w->setVisible(!deep);
    m_fsList->hide();
    for (QWidget *w : std::initializer_list<QWidget *>{m_btnOptiton, m_radioAll, m_radioDel})
        w->setVisible(deep);
    m_title->setText(deep ? "Deep Scan \u2014 choose a partition" : "Quick Scan \u2014 choose a partition");
    SetImageBackgroud(deep ? ":/images/bg_deep_select.png" : ":/images/bg_quick_select.png");
    // The page shows itself: as the current page of the window's stack, or
    // on its own.
    if (auto *stack = qobject_cast<QStackedWidget *>(parentWidget()))
        stack->setCurrentWidget(this);
    else
        show();
    m_tree->tree()->setFocus();
}

void QDiskTreeDlg::DeleteOptiton()
{
    if (m_rangeFlag && m_optiton) {
        // Deferred: this may run inside the options page's own signal.
        m_optiton->deleteLater();
        m_optiton = nullptr;
    }
}

void QDiskTreeDlg::FreeModBlock(RecoverMod mode)
{
    (void)mode;  // the job knows its backend and releases that one
    m_scan.reset();
    m_target = nullptr;
    m_tree->SetBusy(false);
}

void QDiskTreeDlg::OnOpenDiskImage()
{
    auto settings = MainWindow::Settings();
    QString start = settings->value("images/lastFolder").toString();
    if (start.isEmpty() || !QFileInfo(start).isDir())
        start = QStandardPaths::writableLocation(QStandardPaths::HomeLocation);
    // Every format the device layer reads, together and one by one.
    QStringList all, each;
    for (const salvitra::ImageFormatInfo &f : salvitra::imageFormats()) {
        QString patterns = QString::fromStdString(f.patterns);
        all << patterns;
        each << QString("%1s (%2)").arg(QString::fromStdString(f.name), patterns);
    }
    QString filter = QString("All disk images (%1);;%2;;All files (*)").arg(all.join(' '), each.join(";;"));
    QString path = QFileDialog::getOpenFileName(this, "Open Disk Image", start, filter);
    if (path.isEmpty())
        return;
    settings->setValue("images/lastFolder", QFileInfo(path).absolutePath());
    QString err;
    if (!m_tree->AddDiskImage(path, &err))
        QMessageBox::warning(this, "Salvitra", "The image could not be added.\n" + err);
}

Partiton_Struct *QDiskTreeDlg::ImageTarget(QString *what) const
{
    QTreeWidgetItem *row = m_tree->tree()->currentItem();
    if (!row)
        return nullptr;
    QTreeWidgetItem *device = row->parent() ? row->parent() : row;
    if (!row->parent()) {
        // A device row: the whole device, through its "Entire Device" row.
        row = nullptr;
        for (int i = 0; i < device->childCount(); i++)
            if (device->child(i)->data(0, QTreeCtrlDlg::WholeDeviceRole).toBool())
                row = device->child(i);
        if (!row)
            return nullptr;
    }
    auto *part = row->data(0, QTreeCtrlDlg::PartitionRole).value<Partiton_Struct *>();
    if (part && what) {
        bool whole = row->data(0, QTreeCtrlDlg::WholeDeviceRole).toBool();
        *what = whole ? device->text(0) : QString("%1 (%2) on %3").arg(row->text(0), row->text(2).trimmed(), device->text(0));
    }
    return part;
}

void QDiskTreeDlg::OnSaveDiskImage()
{
    QString what;
    Partiton_Struct *part = ImageTarget(&what);
    if (!part) {
        QMessageBox::about(this, "Salvitra", "Please select the device or partition to save as an image first.");
        return;
    }
    if (m_scan) {
        QMessageBox::about(this, "Salvitra", "Please wait until the scan has ended.");
        return;
    }
    QString name = what.section(" (", 0, 0).simplified();
    name.replace('/', '_').replace(' ', '-');
    QString path = QFileDialog::getSaveFileName(this, "Save Disk Image", QDir::homePath() + "/" + name + ".img",
                                                "Raw disk images (*.img);;All files (*)", nullptr,
                                                QFileDialog::DontConfirmOverwrite);
    if (path.isEmpty())
        return;
    if (QFileInfo::exists(path) && QFileInfo::exists(path + ".map") &&
        QMessageBox::question(this, "Save Disk Image",
                              "An image with the map of an earlier copy is already there. Go on with that copy?",
                              QMessageBox::Yes | QMessageBox::Cancel, QMessageBox::Yes) != QMessageBox::Yes)
        return;
    SaveDiskImage(part, what, path);
}

void QDiskTreeDlg::SaveDiskImage(Partiton_Struct *part, const QString &what, const QString &outPath)
{
    salvitra::ImageRequest req;
    req.part = part;
    req.inventory = &m_tree->inventoryForJobs();
    if (const salvitra::DeviceInfo *d = m_tree->inventory().deviceOf(part))
        req.devicePath = d->path;
    req.outPath = outPath.toStdString();
    QSaveImageDlg dlg(this, req, what);
    salvitra::Status ready = dlg.prepare();
    if (!ready.ok()) {
        QMessageBox::warning(this, "Save Disk Image",
                             "The image cannot be saved.\n" + QString::fromStdString(ready.reason));
        return;
    }
    // The device list stays as it is while the copy reads it.
    m_tree->SetBusy(true);
    dlg.startCopy();
    dlg.exec();
    if (!dlg.finished())
        dlg.job()->wait();
    m_tree->SetBusy(false);
    if (!dlg.imageComplete())
        return;
    QString err;
    if (!m_tree->AddDiskImage(outPath, &err))
        QMessageBox::warning(this, "Salvitra", "The image could not be listed as a device.\n" + err);
}
