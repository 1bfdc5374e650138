#include "scaningdlg.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QHeaderView>
#include <QMessageBox>
#include <QRegularExpressionValidator>
#include <QThread>

#include "dialogs.h"
#include "recover.h"

using salvitra::FoundFile;

namespace {

QString sizeCell(uint64_t bytes)
{
    if (bytes < 1024)
        return QString("%1 B").arg(bytes);
    const char *units[] = {"KB", "MB", "GB", "TB"};
    double v = double(bytes);
    int u = -1;
    while (v >= 1024.0 && u < 3) {
        v /= 1024.0;
        u++;
    }
    return QString("%1 %2").arg(v, 0, 'f', 1).arg(units[u]);
}

QString typeOf(const FoundFile &f)
{
    return f.type.empty() ? QString("other") : QString::fromStdString(f.type).toLower();
}

}  // namespace

QScaningDlg::QScaningDlg(QWidget *parent) : QImageDialog(parent)
{
    setWindowFlags(Qt::Widget);
    SetImageBackgroud(":/images/bg_scaning.png");
    m_adapter = new QScanAdapter(this, this);

    m_btnBack = MakeImageButton(this, ":/images/btn_back.png", 11, 16);
    m_btnRecover = MakeImageButton(this, ":/images/btn_recover.png", 599, 16);
    m_btnPause = MakeImageButton(this, ":/images/btn_pause.png", 390, 16);
    m_btnContinue = MakeImageButton(this, ":/images/btn_continue.png", 390, 16);
    m_btnStop = MakeImageButton(this, ":/images/btn_stop.png", 492, 16);
    const char *views[4] = {":/images/btn_preview1.png", ":/images/btn_preview2.png", ":/images/btn_preview3.png",
                            ":/images/btn_preview4.png"};
    for (int i = 0; i < 4; i++)
        m_btnView[i] = MakeImageButton(this, views[i], 452 + i * 36, 18);
    m_btnView[0]->setToolTip("Thumbnail");
    m_btnView[1]->setToolTip("List");
    m_btnView[2]->setToolTip("Preview");
    m_btnPlus = MakeImageButton(this, ":/images/btn_plus.png", 414, 21);
    m_btnMinus = MakeImageButton(this, ":/images/btn_minus.png", 414, 21);

    m_procLabel = new QLabel("Process indicator", this);
    m_procLabel->setGeometry(122, 8, 200, 20);
    m_procLabel->setStyleSheet("color:#ffffff; font-weight:bold;");
    m_progress = new QProgressBar(this);
    m_progress->setRange(0, 100);
    m_progress->setTextVisible(false);
    m_progress->setGeometry(122, 32, 200, 16);
    m_percent = new QLabel("1%", this);
    m_percent->setGeometry(328, 30, 50, 20);
    m_percent->setStyleSheet("color:#ffffff; font-weight:bold;");
    m_statusLabel = new QLabel(this);
    m_statusLabel->setGeometry(8, 432, 704, 18);
    m_statusLabel->setStyleSheet("color:#5b6778; font-size:11px;");

    m_nameSearch = new QLineEdit(this);
    m_nameSearch->setPlaceholderText("File Name");
    m_nameSearch->setGeometry(260, 21, 148, 24);
    m_sizeLabel = new QLabel("File Size", this);
    m_sizeLabel->setGeometry(208, 66, 60, 22);
    m_sizeCmp = new QComboBox(this);
    m_sizeCmp->addItems({"is less than", "is more than"});
    m_sizeCmp->setGeometry(270, 66, 120, 22);
    m_sizeEdit = new QLineEdit(this);
    m_sizeEdit->setValidator(new QRegularExpressionValidator(QRegularExpression("^[0-9]*[1-9][0-9]*$"), m_sizeEdit));
    m_sizeEdit->setGeometry(396, 66, 100, 22);
    m_sizeUnit = new QComboBox(this);
    m_sizeUnit->addItems({"B", "KB", "MB", "GB"});
    m_sizeUnit->setGeometry(502, 66, 60, 22);

    m_tree = new QTreeWidget(this);
    m_tree->setHeaderLabel("Found files");
    m_table = new QTableWidget(0, 4, this);
    m_table->setHorizontalHeaderLabels({"Name", "Size", "Modified", "Folder"});
    m_table->verticalHeader()->hide();
    m_table->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_table->horizontalHeader()->setStretchLastSection(true);
    m_table->setColumnWidth(0, 190);
    m_table->setColumnWidth(1, 80);
    m_table->setColumnWidth(2, 130);
    m_table->verticalHeader()->setDefaultSectionSize(22);
    m_preview = new QLabel(this);
    m_preview->setAlignment(Qt::AlignCenter);

    connect(&m_timer, &QTimer::timeout, this, &QScaningDlg::OnTimer);
    connect(m_btnPause, &QPushButton::clicked, this, &QScaningDlg::OnPause);
    connect(m_btnContinue, &QPushButton::clicked, this, &QScaningDlg::OnContinue);
    connect(m_btnStop, &QPushButton::clicked, this, &QScaningDlg::OnStopScanThreed);
    connect(m_btnBack, &QPushButton::clicked, this, &QScaningDlg::OnGoBack);
    connect(m_btnRecover, &QPushButton::clicked, this, &QScaningDlg::OnRecover);
    connect(m_btnView[0], &QPushButton::clicked, this, &QScaningDlg::OnThumbnailMod);
    connect(m_btnView[1], &QPushButton::clicked, this, &QScaningDlg::OnListMod);
    connect(m_btnView[2], &QPushButton::clicked, this, &QScaningDlg::OnListPreviewMod);
    connect(m_btnView[3], &QPushButton::clicked, this, &QScaningDlg::OnSpinPreviewMod);
    connect(m_btnPlus, &QPushButton::clicked, this, &QScaningDlg::OnBtnPlus);
    connect(m_btnMinus, &QPushButton::clicked, this, &QScaningDlg::OnBtnMinus);
    connect(m_tree, &QTreeWidget::itemSelectionChanged, this, &QScaningDlg::OnChangedTreeItem);
    connect(this, &QScaningDlg::RecoverFinished, this, &QScaningDlg::OnRecoverDone, Qt::QueuedConnection);
    if (parent) {
        connect(this, SIGNAL(OnBack()), parent, SLOT(OnBtnBack()));
        connect(this, SIGNAL(OnBtnStopToScanning()), parent, SLOT(OnScanFinish()));
    }
    InitTreeNode();
    SetSearchCtrlShow(false);
    m_btnMinus->hide();
    ResetPreview();
}

QScaningDlg::~QScaningDlg()
{
    stop();
}

void QScaningDlg::SetPartition(Partiton_Struct *part)
{
    m_part = part;
    m_fsType = part ? part->FsType : 0;
}

// ---- states ----

void QScaningDlg::setBtnStatus(bool finished, salvitra::RecoverMod mode)
{
    m_finished = finished;
    m_mode = mode;
    for (QWidget *w : std::initializer_list<QWidget *>{m_progress, m_procLabel, m_percent, m_btnPause, m_btnStop})
        w->setVisible(!finished);
    m_btnContinue->hide();
    m_btnBack->setEnabled(finished);
    m_btnRecover->setEnabled(finished && !m_files.empty());
    m_statusLabel->setVisible(finished);
    for (int i = 0; i < 3; i++)
        m_btnView[i]->setVisible(finished);
    m_btnView[3]->hide();
    m_nameSearch->setVisible(finished);
    m_btnPlus->setVisible(finished);
    m_btnMinus->hide();
    SetSearchCtrlShow(false);
    if (!finished) {
        m_userPaused = false;
        SetImageBackgroud(mode == salvitra::RecoverDeep ? ":/images/bg_deep_scanning.png" : ":/images/bg_scaning.png");
    } else {
        SetShowModBtnCtrl(3);
        setBgImage();
    }
}

void QScaningDlg::setBgImage()
{
    if (m_mode == salvitra::RecoverDeep)
        SetImageBackgroud(m_tall ? ":/images/bg_height_deep_finish.png" : ":/images/bg_deep_finish.png");
    else
        SetImageBackgroud(m_tall ? ":/images/bg_baby_height_finish.png" : ":/images/bg_baby_finish.png");
}

void QScaningDlg::setPercentage(int n)
{
    if (n <= 100)
        m_percent->setText(QString("%1%").arg(n));
}

void QScaningDlg::SetShowModBtnCtrl(int mode)
{
    m_showMode = mode;
    const char *normal[4] = {":/images/btn_preview1.png", ":/images/btn_preview2.png", ":/images/btn_preview3.png",
                             ":/images/btn_preview4.png"};
    for (int i = 0; i < 4; i++) {
        m_btnView[i]->setBtnImage(normal[i]);
        m_btnView[i]->setEnabled(true);
    }
    const int top = m_tall ? 64 : 90;
    const int h = m_tall ? 368 : 342;
    switch (mode) {
    case 1:
        m_btnView[0]->setBtnImage(":/images/btn_thumbnail_hide.png");
        m_btnView[0]->setEnabled(false);
        // Thumbnails come with the full results page; the list stands in.
        m_table->setGeometry(199, top, 521, h);
        m_table->show();
        m_preview->hide();
        return;
    case 2:
        m_btnView[1]->setBtnImage(":/images/btn_list_hide.png");
        m_btnView[1]->setEnabled(false);
        m_table->setGeometry(197, top, 523, h);
        m_table->show();
        m_preview->hide();
        break;
    case 3:
        m_btnView[2]->setBtnImage(":/images/btn_Preview_hide.png");
        m_btnView[2]->setEnabled(false);
        m_preview->setGeometry(198, m_tall ? 65 : 91, 520, m_tall ? 225 : 199);
        m_preview->show();
        m_table->setGeometry(197, 290, 523, 142);
        m_table->show();
        break;
    case 4:
        m_btnView[3]->setBtnImage(":/images/btn_spin_hide.png");
        m_btnView[3]->setEnabled(false);
        break;
    default:
        return;
    }
    m_btnView[0]->setEnabled(false);  // thumbnails: photo groups of the full results page only
}

void QScaningDlg::SetCtrlHeigth(bool tall, bool keepBackground)
{
    m_tall = tall;
    if (!keepBackground)
        setBgImage();
    m_tree->setGeometry(0, tall ? 64 : 90, 198, tall ? 368 : 342);
    SetShowModBtnCtrl(m_showMode);
    ResetPreview();
}

void QScaningDlg::SetSearchCtrlShow(bool on)
{
    m_sizeCmp->setCurrentIndex(0);
    m_sizeUnit->setCurrentIndex(0);
    m_sizeEdit->clear();
    for (QWidget *w : std::initializer_list<QWidget *>{m_sizeLabel, m_sizeCmp, m_sizeEdit, m_sizeUnit})
        w->setVisible(on);
}

void QScaningDlg::OnBtnPlus()
{
    m_btnPlus->hide();
    m_btnMinus->show();
    SetCtrlHeigth(false, false);
    SetSearchCtrlShow(true);
}

void QScaningDlg::OnBtnMinus()
{
    m_btnPlus->show();
    m_btnMinus->hide();
    SetCtrlHeigth(true, false);
    SetSearchCtrlShow(false);
}

void QScaningDlg::OnThumbnailMod() { SetShowModBtnCtrl(1); }
void QScaningDlg::OnListMod() { SetShowModBtnCtrl(2); }
void QScaningDlg::OnListPreviewMod() { SetShowModBtnCtrl(3); }
void QScaningDlg::OnSpinPreviewMod() { SetShowModBtnCtrl(4); }

void QScaningDlg::ResetPreview()
{
    m_preview->setPixmap(QPixmap(m_tall ? ":/images/bg_height_available.png" : ":/images/bg_step_available.png"));
}

void QScaningDlg::setScanFileType(const QStringList &types, bool custom)
{
    m_scanTypes = types;
    m_customList = custom;
}

// ---- progress, pause, stop ----

void QScaningDlg::OnTimer()
{
    int v = m_scanWorker ? m_scanWorker->ProgressValue() : -1;
    if (v < 0)
        return;
    if (v < 2) {
        m_progress->setValue(1);
        v = 1;
    } else {
        m_progress->setValue(qMin(v, 100));
    }
    setPercentage(v);
}

void QScaningDlg::OnPause()
{
    if (m_scanWorker && !m_userPaused) {
        m_scanWorker->SetPause(true);
        m_userPaused = true;
    }
    m_btnPause->hide();
    m_btnContinue->show();
    m_timer.stop();
}

void QScaningDlg::OnContinue()
{
    if (m_scanWorker && m_userPaused) {
        m_scanWorker->SetPause(false);
        m_userPaused = false;
    }
    m_btnPause->show();
    m_btnContinue->hide();
    m_timer.start(200);
}

void QScaningDlg::OnStopScanThreed()
{
    auto *dlg = new QMessageDlg(this);
    dlg->SetNoteText("Scaning process can't be resumed at this stage.\nAre you sure you want to stop the scanning ?");
    dlg->MsgSetBtn(MSG_BTN_STOP);
    if (m_scanWorker && !m_userPaused)
        m_scanWorker->SetPause(true);
    int r = dlg->exec();
    dlg->deleteLater();
    if (!m_scanWorker)
        return;
    if (r == QMessageDlg::Confirmed) {
        // The scan ends by itself and the page goes to its finished state.
        m_scanWorker->RequestStop();
    } else if (!m_userPaused) {
        m_scanWorker->SetPause(false);
    }
}

void QScaningDlg::OnGoBack()
{
    auto *dlg = new QMessageDlg(this);
    dlg->SetNoteText("Are you sure you want to go back? \nIf so, the scanned results will not be saved.");
    dlg->MsgSetBtn(MSG_BTN_BACK);
    int r = dlg->exec();
    dlg->deleteLater();
    if (r == QMessageDlg::Confirmed)
        emit OnBack();
}

// ---- found files ----

void QScaningDlg::onFiles(uint64_t, std::vector<FoundFile> batch)
{
    // A blocking queued signal to our own thread would never return.
    if (QThread::currentThread() == thread()) {
        addFiles(batch);
        return;
    }
    m_adapter->DoRefreshTree(&batch, 0);
}

void QScaningDlg::OnRefresh(void *batch)
{
    if (batch)
        addFiles(*static_cast<const std::vector<FoundFile> *>(batch));
}

void QScaningDlg::OnDelNtfsRefresh(void *batch)
{
    OnRefresh(batch);
}

void QScaningDlg::InitTreeNode()
{
    m_tree->clear();
    auto *all = new QTreeWidgetItem(m_tree);
    all->setText(0, "All files (0)");
    all->setIcon(0, QIcon(":/images/icon_all.png"));
    all->setData(0, Qt::UserRole, QString());
    m_tree->setCurrentItem(all);
}

void QScaningDlg::DeleteTreeInfo()
{
    m_files.clear();
    m_typeCounts.clear();
    m_table->setRowCount(0);
    m_tree->clear();
    m_treeFilter.clear();
}

void QScaningDlg::setScanType()
{
    m_scanTypes.clear();
}

void QScaningDlg::addFiles(const std::vector<FoundFile> &batch)
{
    size_t first = m_files.size();
    m_files.insert(m_files.end(), batch.begin(), batch.end());
    for (const FoundFile &f : batch)
        m_typeCounts[typeOf(f)]++;
    updateCounts();
    appendRows(first);
}

void QScaningDlg::updateCounts()
{
    if (m_tree->topLevelItemCount() == 0)
        InitTreeNode();
    QTreeWidgetItem *all = m_tree->topLevelItem(0);
    const QMap<QString, int> &counts = m_typeCounts;
    all->setText(0, QString("All files (%1)").arg(m_files.size()));
    QMap<QString, QTreeWidgetItem *> nodes;
    for (int i = 0; i < all->childCount(); i++)
        nodes[all->child(i)->data(0, Qt::UserRole).toString()] = all->child(i);
    for (auto it = counts.begin(); it != counts.end(); ++it) {
        QTreeWidgetItem *n = nodes.value(it.key());
        if (!n) {
            n = new QTreeWidgetItem(all);
            n->setData(0, Qt::UserRole, it.key());
            n->setIcon(0, QIcon(":/images/icon_file.png"));
        }
        n->setText(0, QString("%1 (%2)").arg(it.key()).arg(it.value()));
    }
    all->setExpanded(true);
}

void QScaningDlg::OnChangedTreeItem()
{
    QTreeWidgetItem *cur = m_tree->currentItem();
    m_treeSelected = cur != nullptr;
    m_treeFilter = cur ? cur->data(0, Qt::UserRole).toString() : QString();
    fillTable();
}

void QScaningDlg::fillTable()
{
    m_table->setRowCount(0);
    appendRows(0);
}

void QScaningDlg::appendRows(size_t from)
{
    // Rows are added in one go with updates suspended: a deep scan hands
    // over its files in many small batches.
    std::vector<size_t> pick;
    for (size_t i = from; i < m_files.size(); i++)
        if (m_treeFilter.isEmpty() || typeOf(m_files[i]) == m_treeFilter)
            pick.push_back(i);
    if (pick.empty())
        return;
    m_table->setUpdatesEnabled(false);
    m_table->setSortingEnabled(false);
    int row = m_table->rowCount();
    m_table->setRowCount(row + (int)pick.size());
    for (size_t i : pick) {
        const FoundFile &f = m_files[i];
        auto *name = new QTableWidgetItem(QString::fromStdString(f.name));
        name->setFlags(name->flags() | Qt::ItemIsUserCheckable);
        name->setCheckState(Qt::Checked);
        name->setData(Qt::UserRole, (int)i);
        if (!f.note.empty())
            name->setToolTip(QString::fromStdString(f.note));
        m_table->setItem(row, 0, name);
        m_table->setItem(row, 1, new QTableWidgetItem(sizeCell(f.size)));
        m_table->setItem(row, 2, new QTableWidgetItem(
                                     f.mtime >= 0 ? QDateTime::fromSecsSinceEpoch(f.mtime).toString("yyyy-MM-dd hh:mm")
                                                  : QString("-")));
        m_table->setItem(row, 3, new QTableWidgetItem("/" + QString::fromStdString(f.folder)));
        row++;
    }
    m_table->setUpdatesEnabled(true);
}

void QScaningDlg::CreateFileTree()
{
    updateCounts();
    QString text;
    salvitra::Status st = m_job ? m_job->status() : salvitra::Status{};
    if (!m_job)
        text = "Nothing was scanned.";
    else if (st.code == salvitra::StatusCode::Stopped)
        text = QString("Scan stopped: %1 files found").arg(m_files.size());
    else if (!st.ok())
        text = QString("No scan: %1").arg(QString::fromStdString(st.text()));
    else
        text = QString("Scan complete: %1 files found").arg(m_files.size());
    m_statusLabel->setText(text);
    m_btnRecover->setEnabled(m_finished && !m_files.empty());
}

// ---- recovery ----

void QScaningDlg::OnRecover()
{
    std::vector<int> rows;
    for (int r = 0; r < m_table->rowCount(); r++)
        if (m_table->item(r, 0)->checkState() == Qt::Checked)
            rows.push_back(m_table->item(r, 0)->data(Qt::UserRole).toInt());
    if (rows.empty()) {
        QMessageBox::about(this, "Salvitra", "Please tick the files to recover first.");
        return;
    }
    auto *dlg = new QSetRecoverPath(this);
    dlg->setPath(QDir::homePath() + "/Recovered");
    int r = dlg->exec();
    QString dir = dlg->path();
    dlg->deleteLater();
    if (r != QDialog::Accepted || dir.isEmpty())
        return;
    QString err;
    if (!RecoverTo(dir, rows, &err) && !err.isEmpty())
        QMessageBox::warning(this, "Salvitra", err);
}

bool QScaningDlg::RecoverTo(const QString &dir, const std::vector<int> &rows, QString *err)
{
    if (!m_job) {
        if (err)
            *err = "There is nothing to recover.";
        return false;
    }
    std::string why;
    // The folder may not exist yet: its nearest existing parent tells
    // which medium it would be made on.
    QString existing = QFileInfo(dir).absoluteFilePath();
    while (!QFileInfo::exists(existing) && QFileInfo(existing).dir().absolutePath() != existing)
        existing = QFileInfo(existing).dir().absolutePath();
    if (!m_devicePath.isEmpty()
        && salvitra::outputOnScannedMedium(existing.toStdString(), m_devicePath.toStdString(), &why)) {
        if (err)
            *err = "Please choose a folder on another disk: " + QString::fromStdString(why);
        return false;
    }
    if (!salvitra::makeDirs(dir.toStdString(), &why)) {
        if (err)
            *err = "The folder could not be made: " + QString::fromStdString(why);
        return false;
    }
    m_outDir = dir;
    m_recoverRows = rows;
    m_recoverPercent = 0;
    m_recoverWritten = 0;
    m_recoverFailed = 0;
    m_progressDlg = new QProgressDlg(this);
    m_progressDlg->SetRecoverThread(this);
    m_progressDlg->SetNote("Recovering: " + QString::number(rows.size()) + " files");
    auto *timer = new QTimer(m_progressDlg);
    connect(timer, &QTimer::timeout, m_progressDlg, [this] {
        if (m_progressDlg)
            m_progressDlg->SetExport(m_recoverPercent.load());
    });
    timer->start(100);
    Start();
    m_progressDlg->exec();
    Wait();
    return true;
}

void QScaningDlg::OnExecute()
{
    const size_t n = m_recoverRows.size();
    m_recoverStopped = false;
    for (size_t i = 0; i < n; i++) {
        if (PassGate()) {
            m_recoverStopped = true;
            break;
        }
        int idx = m_recoverRows[i];
        if (idx < 0 || (size_t)idx >= m_files.size())
            continue;
        const FoundFile &f = m_files[(size_t)idx];
        std::string rel = salvitra::relativeOutputPath(f, true);
        std::string path = m_outDir.toStdString() + "/" + rel;
        std::string folder = path.substr(0, path.find_last_of('/'));
        std::string why;
        salvitra::WriteStats stats;
        if (!salvitra::makeDirs(folder, &why)) {
            m_recoverFailed++;
            continue;
        }
        path = salvitra::uniquePath(path);
        salvitra::WriteResult r = m_job->write(f, path, stats);
        if (r == salvitra::WriteResult::Stopped) {
            m_recoverStopped = true;
            break;
        }
        if (r == salvitra::WriteResult::Ok || r == salvitra::WriteResult::Empty) {
            salvitra::setFileTime(path, f.mtime);
            m_recoverWritten++;
        } else {
            m_recoverFailed++;
        }
        m_recoverPercent = int((i + 1) * 100 / n);
    }
    emit RecoverFinished();
}

void QScaningDlg::OnRecoverDone()
{
    if (!m_progressDlg)
        return;
    if (!m_recoverStopped)
        m_progressDlg->SetExport(100);
    // Deferred: this may run inside the progress dialog's own stop question.
    QProgressDlg *dlg = m_progressDlg;
    m_progressDlg = nullptr;
    dlg->accept();
    dlg->deleteLater();
    if (m_recoverStopped) {
        auto *box = new QMessageBox(QMessageBox::Information, "Salvitra",
                                    QString("The recovery was stopped. %1 files were written to %2.")
                                        .arg(m_recoverWritten.load())
                                        .arg(m_outDir),
                                    QMessageBox::Ok, this);
        box->setAttribute(Qt::WA_DeleteOnClose);
        box->open();
        return;
    }
    auto *done = new QOpenFilePathDlg(this);
    done->setAttribute(Qt::WA_DeleteOnClose);
    done->SetResult(m_recoverWritten.load(), m_recoverFailed.load());
    done->setToolTip(QString("%1 files written to %2").arg(m_recoverWritten.load()).arg(m_outDir));
    done->open();
}
