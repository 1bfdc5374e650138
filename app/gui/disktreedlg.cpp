#include "disktreedlg.h"

#include <QFileDialog>
#include <QFileInfo>
#include <QMenu>
#include <QMessageBox>

#include "imagedlg.h"
#include "optitondlg.h"
#include "recover.h"

QDiskTreeDlg::QDiskTreeDlg(QWidget *parent) : QImageDialog(parent)
{
    setWindowFlags(Qt::Widget);
    qRegisterMetaType<Partiton_Struct *>("Partiton_Struct*");
    qRegisterMetaType<salvitra::RecoverMod>("RecoverMod");
    SetImageBackgroud(":/images/bg_quick_select.png");

    m_tree = new QTreeCtrlDlg(this);
    m_tree->SetTreeHight(299);

    m_btnHome = MakeImageButton(this, ":/images/btn_home.png", 11, 405);
    m_btnOpenImage = MakeImageButton(this, ":/images/btn_open_image.png", 119, 405);
    m_btnOptiton = MakeImageButton(this, ":/images/btn_optiton.png", 501, 405);
    m_btnScan = MakeImageButton(this, ":/images/button_scan.png", 609, 405);
    // Saving an image of the selected row: under the tree, on its right.
    m_btnSaveImage = MakeImageButton(this, ":/images/btn_save_image.png", 549, 360);
    m_btnSaveImage->setToolTip("Copy the selected device or partition into an image file, read once and around "
                               "unreadable areas; scan the image instead of a failing disk");
    m_btnSaveImage->setAccessibleName("Save Disk Image...");
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

    m_filterLabel = new QLabel("Filter Option:", this);
    m_filterLabel->setGeometry(292, 405, 96, 32);
    m_filterLabel->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    m_filter = new QComboBox(this);
    m_filter->addItems({"All Files", "Photo", "Video", "Audio", "Others"});
    m_filter->setGeometry(394, 408, 120, 26);
    m_formatted = new QCheckBox("Formatted", this);
    m_formatted->setGeometry(524, 410, 84, 24);
    m_formatted->setToolTip("Look for the files of the volume that was here before the partition was "
                            "formatted again (FAT and NTFS)");
    m_formatted->setEnabled(false);
    m_hintLabel = new QLabel("Please select file type to start scan", this);
    m_hintLabel->setGeometry(340, 0, 366, 45);
    m_hintLabel->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    m_hintLabel->setStyleSheet("color:#c9d8ee; font-size:12px;");
    m_fsList = new QComboBox(this);
    m_fsList->addItems({"Auto(Recommended)", "HFS", "EXT", "NTFS", "FAT"});
    m_fsList->setToolTip("Select file system");
    m_fsList->hide();

    m_radioAll = new QRadioButton(
        "Scan for all files \nScan all files on the partition. It can find more files, but will take you more time.", this);
    m_radioDel = new QRadioButton(
        "Scan for deleted files \nOnly scan deleted files on the partition. It is quicker and will save you more time.",
        this);
    m_radioAll->setGeometry(16, 346, 690, 28);
    m_radioDel->setGeometry(16, 374, 690, 28);
    for (QRadioButton *r : {m_radioAll, m_radioDel})
        r->setStyleSheet("font-size:11px; color:#1f2937;");
    m_radioAll->setChecked(true);

    m_btnScan->setEnabled(false);
    m_btnOptiton->setEnabled(false);

    connect(m_btnHome, SIGNAL(clicked()), parent, SLOT(OnGoHome()));
    connect(m_btnScan, &QPushButton::clicked, this, &QDiskTreeDlg::OnScan);
    connect(m_btnOptiton, &QPushButton::clicked, this, &QDiskTreeDlg::OnBtnOptiton);
    connect(m_btnOpenImage, &QPushButton::clicked, this, &QDiskTreeDlg::OnOpenDiskImage);
    connect(m_formatted, &QCheckBox::toggled, this, &QDiskTreeDlg::UpdateHint);
    connect(m_radioAll, &QRadioButton::clicked, this, &QDiskTreeDlg::OnClickAllRadio);
    connect(m_radioDel, &QRadioButton::clicked, this, &QDiskTreeDlg::OnClickDelRadio);
    if (parent) {
        connect(this, SIGNAL(SetRecoverMod(RecoverMod)), parent, SLOT(SetScanRecoverMod(RecoverMod)));
        connect(this, SIGNAL(SetOptitionScan(QStringList)), parent, SLOT(SetOptitionScan(QStringList)));
        connect(this, SIGNAL(SendPartitInfo(Partiton_Struct*)), parent, SLOT(AcceptPartiton(Partiton_Struct*)));
        connect(this, SIGNAL(OnScanFinish()), parent, SLOT(OnScanFinish()));
        connect(this, SIGNAL(CreateFileTree(Partiton_Struct*)), parent, SLOT(CreateFileTree(Partiton_Struct*)),
                Qt::BlockingQueuedConnection);
        connect(this, SIGNAL(OnBtnScan()), parent, SLOT(OnBtnScan()));
    }
}

QDiskTreeDlg::~QDiskTreeDlg()
{
    stop();
    m_job.reset();
    delete m_optiton;
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
    stop();
    m_job.reset();

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
        m_job = std::make_unique<salvitra::ScanJob>(req, m_observer);
    }
    m_tree->SetBusy(true);
    Start();
    emit OnBtnScan();
}

void QDiskTreeDlg::OnExecute()
{
    emit SendPartitInfo(m_target);
    // A job stopped before it ran ends Stopped without reading anything.
    if (m_job)
        m_job->run();
    emit OnScanFinish();
    emit CreateFileTree(m_target);
}

void QDiskTreeDlg::OnStopRequested()
{
    // The scan's stop: once the scan has ended it is not kept for the
    // recovery of its files.
    if (m_job)
        m_job->stopIfRunning();
}

void QDiskTreeDlg::OnPauseChanged(bool paused)
{
    if (!m_job)
        return;
    if (paused)
        m_job->pause();
    else
        m_job->resume();
}

int QDiskTreeDlg::ProgressValue()
{
    return m_job ? m_job->progress().percent : -1;
}

void QDiskTreeDlg::OnBtnOptiton()
{
    delete m_optiton;
    m_optiton = new QOptitonDlg(this);
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
    QString hint = "Please select file type to start scan";
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
    if (mode == salvitra::RecoverDeep) {
        m_filterLabel->hide();
        m_filter->setCurrentIndex(0);
        m_filter->hide();
        m_formatted->hide();
        m_hintLabel->hide();
        m_fsList->hide();
        m_btnOptiton->show();
        m_radioAll->show();
        m_radioDel->show();
        SetImageBackgroud(":/images/bg_deep_select.png");
        m_tree->SetTreeHight(290);
    } else if (mode == salvitra::RecoverQuick) {
        m_filterLabel->show();
        m_filter->show();
        m_formatted->show();
        m_hintLabel->show();
        m_fsList->hide();
        m_btnOptiton->hide();
        m_radioAll->hide();
        m_radioDel->hide();
        SetImageBackgroud(":/images/bg_quick_select.png");
        m_tree->SetTreeHight(299);
    } else {
        return;
    }
    show();
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
    stop();
    m_job.reset();
    m_target = nullptr;
    m_tree->SetBusy(false);
}

void QDiskTreeDlg::OnOpenDiskImage()
{
    // Every format the device layer reads, together and one by one.
    QStringList all, each;
    for (const salvitra::ImageFormatInfo &f : salvitra::imageFormats()) {
        QString patterns = QString::fromStdString(f.patterns);
        all << patterns;
        each << QString("%1s (%2)").arg(QString::fromStdString(f.name), patterns);
    }
    QString filter = QString("All disk images (%1);;%2;;All files (*)").arg(all.join(' '), each.join(";;"));
    QString path = QFileDialog::getOpenFileName(this, "Open Disk Image", QString(), filter);
    if (path.isEmpty())
        return;
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
    if (m_job) {
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
