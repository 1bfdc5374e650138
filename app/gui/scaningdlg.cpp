#include "scaningdlg.h"

#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QFocusEvent>
#include <QHeaderView>
#include <QMessageBox>
#include <QRegularExpressionValidator>
#include <QThread>
#include <QUrl>

#include <algorithm>

#include "classify.h"
#include "dialogs.h"
#include "output_dir.h"
#include "pagedthumbviewer.h"
#include "previewimagectrl.h"
#include "recover.h"
#include "resultviews.h"

using salvitra::CheckState;
using salvitra::FoundFile;
using salvitra::NodeRef;
using salvitra::TableRow;

namespace {

const char *const kBoxTitle = "Salvitra For Mac";

// Where the views sit, tall (search area closed) and with the search open.
struct Place {
    QRect tall, open;
};
const Place kTreePlace{{0, 64, 198, 368}, {0, 90, 198, 342}};
const Place kPreviewPlace{{198, 65, 520, 225}, {198, 91, 520, 199}};
const Place kThumbPlace{{199, 64, 521, 368}, {199, 90, 521, 342}};
const Place kListPlace{{197, 64, 523, 368}, {197, 90, 523, 342}};
const QRect kTableUnderPreview{197, 290, 523, 142};

// Placeholders of the preview, by state: search open, tall.
const char *const kPlaceholders[4][2] = {
    {":/images/bg_step_available.png", ":/images/bg_height_available.png"},
    {":/images/bg_not_available.png", ":/images/bg_heiht_not_available.png"},
    {nullptr, nullptr},
    {":/images/bg_corrupted.png", ":/images/bg_heigh_corrupted.png"},
};

Qt::CheckState toQt(CheckState s)
{
    return s == CheckState::Checked ? Qt::Checked : s == CheckState::PartlyChecked ? Qt::PartiallyChecked : Qt::Unchecked;
}

bool inTable(const std::vector<std::string> &table, const std::string &ext)
{
    return std::find(table.begin(), table.end(), ext) != table.end();
}

// The extension of a shown name, as the type tables compare it.
std::string extensionOf(const std::string &name)
{
    size_t dot = name.find_last_of('.');
    return salvitra::lowerExtension(dot == std::string::npos ? std::string() : name.substr(dot + 1));
}

// A node lies at or under another.
bool under(const NodeRef &n, const NodeRef &top)
{
    if (top.isRoot())
        return true;
    if (n.group != top.group)
        return false;
    return top.type < 0 || n.type == top.type;
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
    m_goodOnly = new QCheckBox("Good files only", this);
    m_goodOnly->setGeometry(580, 431, 136, 20);
    m_goodOnly->setToolTip("Show only the files that will come back whole: their data is free and their "
                           "structure checks out");
    m_goodOnly->hide();

    m_nameSearch = new QLineEdit(tr("File Name"), this);
    m_nameSearch->setGeometry(260, 21, 148, 24);
    m_nameSearch->installEventFilter(this);
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
    resultviews::setupTree(m_tree);
    m_table = new QTableWidget(this);
    m_header = new QCheckHeaderView(m_table);
    m_header->setCheckIndex(0);
    m_table->setHorizontalHeader(m_header);
    resultviews::setupTable(m_table);
    m_table->verticalHeader()->setDefaultSectionSize(22);
    m_previewCtrl = new QPreviewImageCtrl(this);
    m_previewCtrl->SetShowStyle(PreviewStretch);
    m_thumbs = new QPagedThumbViewer(this);
    m_thumbs->SetImageProvider([this](const ThumbItem &item) -> QString {
        // Each page's pictures are extracted when the page is drawn.
        const size_t row = (size_t)(quintptr)item.data;
        if (!canExtract() || row >= m_rows.size())
            return QString();
        const uint32_t idx = m_rows[row].file;
        return QString::fromStdString(
            m_viewFiles.extract(*m_job, m_files[idx], idx, salvitra::ViewFolder::Thumbnails));
    });
    m_thumbs->hide();

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
    connect(m_tree, &QTreeWidget::itemChanged, this, &QScaningDlg::OnNMClickTreeItem);
    connect(m_tree, &QTreeWidget::itemClicked, this, &QScaningDlg::OnClickTree);
    connect(m_table, &QTableWidget::itemChanged, this, &QScaningDlg::OnNMChangeTableItem);
    connect(m_table, &QTableWidget::itemSelectionChanged, this, &QScaningDlg::SelectItemChanged);
    connect(m_header, &QCheckHeaderView::checkChange, this, &QScaningDlg::OnChangeTableWidgetItemCheck);
    connect(m_thumbs, &QPagedThumbViewer::OnItemCheckCganged, this, &QScaningDlg::OnTableItemChanged);
    connect(m_thumbs, &QPagedThumbViewer::checkAllChanged, this, &QScaningDlg::OnChangeTableWidgetItemCheck);
    connect(m_nameSearch, &QLineEdit::textEdited, this, &QScaningDlg::editTextChange);
    connect(m_goodOnly, &QCheckBox::toggled, this, &QScaningDlg::OnGoodOnly);
    connect(m_sizeEdit, &QLineEdit::textEdited, this, &QScaningDlg::editSizeChangeFind);
    // A new comparison or unit applies to the size already typed.
    auto sizeAgain = [this] {
        if (!m_sizeEdit->text().isEmpty())
            editSizeChangeFind(m_sizeEdit->text());
    };
    connect(m_sizeCmp, QOverload<int>::of(&QComboBox::activated), this, sizeAgain);
    connect(m_sizeUnit, QOverload<int>::of(&QComboBox::activated), this, sizeAgain);
    connect(this, &QScaningDlg::OnDoneRecover, this, &QScaningDlg::RecoverDoneOponPath, Qt::QueuedConnection);
    if (parent) {
        connect(this, SIGNAL(OnBack()), parent, SLOT(OnBtnBack()));
        connect(this, SIGNAL(OnBtnStopToScanning()), parent, SLOT(OnScanFinish()));
    }
    InitTreeNode();
    SetSearchCtrlShow(false);
    m_btnMinus->hide();
    SetCtrlHeigth(true, true);
    SetShowModBtnCtrl(3);
    ResetPreview();
}

QScaningDlg::~QScaningDlg()
{
    // The job belongs to the disk page, which may be gone already.
    m_job = nullptr;
    stop();
}

void QScaningDlg::SetPartition(Partiton_Struct *part)
{
    m_part = part;
    m_fsType = part ? part->FsType : 0;
}

void QScaningDlg::SetScanJob(salvitra::ScanJob *job)
{
    if (job != m_job) {
        // Pictures extracted from the old results go with them.
        m_thumbs->Reset();
        m_viewFiles.release();
    }
    m_job = job;
}

QTreeWidgetItem *QScaningDlg::treeItem(const QString &group, const QString &type) const
{
    QTreeWidgetItem *root = m_tree->topLevelItem(0);
    if (!root)
        return nullptr;
    for (int g = 0; g < root->childCount(); g++) {
        QTreeWidgetItem *gi = root->child(g);
        if (gi->text(0).section('(', 0, 0) != group)
            continue;
        if (type.isEmpty())
            return gi;
        for (int t = 0; t < gi->childCount(); t++)
            if (gi->child(t)->text(0).section('(', 0, 0) == type)
                return gi->child(t);
    }
    return nullptr;
}

// ---- states and layout ----

void QScaningDlg::setBtnStatus(bool finished, salvitra::RecoverMod mode)
{
    m_finished = finished;
    m_mode = mode;
    for (QWidget *w : std::initializer_list<QWidget *>{m_progress, m_procLabel, m_percent, m_btnPause, m_btnStop})
        w->setVisible(!finished);
    m_btnContinue->hide();
    m_btnBack->setEnabled(finished);
    m_btnRecover->setEnabled(finished);
    m_statusLabel->setVisible(finished);
    // Deep scans judge every file; a new scan starts with all of them shown.
    {
        QSignalBlocker block(m_goodOnly);
        m_goodOnly->setChecked(false);
        m_filter.goodOnly = false;
    }
    m_goodOnly->setVisible(finished && mode == salvitra::RecoverDeep);
    m_statusLabel->setGeometry(8, 432, m_goodOnly->isVisible() ? 568 : 704, 18);
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

void QScaningDlg::ableThumbnail(bool on)
{
    m_btnView[0]->setBtnImage(":/images/btn_preview1.png");
    m_btnView[0]->setEnabled(on);
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
    switch (mode) {
    case 1:
        m_btnView[0]->setBtnImage(":/images/btn_thumbnail_hide.png");
        m_btnView[0]->setEnabled(false);
        m_thumbs->setGeometry(m_tall ? kThumbPlace.tall : kThumbPlace.open);
        m_thumbs->show();
        m_table->hide();
        m_previewCtrl->hide();
        return;
    case 2:
        m_btnView[1]->setBtnImage(":/images/btn_list_hide.png");
        m_btnView[1]->setEnabled(false);
        m_table->setGeometry(m_tall ? kListPlace.tall : kListPlace.open);
        m_table->show();
        m_previewCtrl->hide();
        m_thumbs->hide();
        break;
    case 3:
        m_btnView[2]->setBtnImage(":/images/btn_Preview_hide.png");
        m_btnView[2]->setEnabled(false);
        m_previewCtrl->setGeometry(m_tall ? kPreviewPlace.tall : kPreviewPlace.open);
        m_previewCtrl->show();
        m_table->setGeometry(kTableUnderPreview);
        m_table->show();
        m_thumbs->hide();
        break;
    case 4:
        m_btnView[3]->setBtnImage(":/images/btn_spin_hide.png");
        m_btnView[3]->setEnabled(false);
        break;
    default:
        return;
    }
    ableThumbnail(m_thumbAllowed);
}

void QScaningDlg::SetCtrlHeigth(bool tall, bool keepBackground)
{
    m_tall = tall;
    if (!keepBackground)
        setBgImage();
    m_tree->setGeometry(tall ? kTreePlace.tall : kTreePlace.open);
    m_previewCtrl->setGeometry(tall ? kPreviewPlace.tall : kPreviewPlace.open);
    m_thumbs->setGeometry(tall ? kThumbPlace.tall : kThumbPlace.open);
    if (m_showMode == 2)
        m_table->setGeometry(tall ? kListPlace.tall : kListPlace.open);
}

void QScaningDlg::OnGoodOnly(bool on)
{
    if (m_filter.goodOnly == on)
        return;
    m_filter.goodOnly = on;
    // The tree is built again with the filter, so that a ticked type
    // recovers what it shows.
    m_modelReady = false;
    CreateFileTree();
}

void QScaningDlg::SetSearchCtrlShow(bool on)
{
    if (on) {
        m_sizeCmp->setCurrentIndex(0);
        m_sizeUnit->setCurrentIndex(0);
        m_sizeEdit->clear();
    }
    for (QWidget *w : std::initializer_list<QWidget *>{m_sizeLabel, m_sizeCmp, m_sizeEdit, m_sizeUnit})
        w->setVisible(on);
}

void QScaningDlg::OnBtnPlus()
{
    m_btnPlus->hide();
    m_btnMinus->show();
    SetCtrlHeigth(false, false);
    SetSearchCtrlShow(true);
    OnSetShowPhoto();
}

void QScaningDlg::OnBtnMinus()
{
    m_btnPlus->show();
    m_btnMinus->hide();
    SetCtrlHeigth(true, false);
    SetSearchCtrlShow(false);
    OnSetShowPhoto();
}

void QScaningDlg::OnThumbnailMod()
{
    SetShowModBtnCtrl(1);
    ShowThumbnailMod();
}

void QScaningDlg::OnListMod() { SetShowModBtnCtrl(2); }
void QScaningDlg::OnListPreviewMod()
{
    SetShowModBtnCtrl(3);
    SelectItemChanged();
}
void QScaningDlg::OnSpinPreviewMod() { SetShowModBtnCtrl(4); }

void QScaningDlg::ResetPreview()
{
    m_previewState = PreviewAvailable;
    OnSetShowPhoto();
}

void QScaningDlg::OnSetShowPhoto()
{
    if (m_previewState == PreviewShown)
        return;
    const char *path = kPlaceholders[m_previewState & 3][m_tall ? 1 : 0];
    m_previewCtrl->SetShowStyle(PreviewStretch);
    m_previewCtrl->SetPixmap(QPixmap(path));
}

bool QScaningDlg::eventFilter(QObject *watched, QEvent *event)
{
    // The name field shows its hint while it is empty and has no focus.
    if (watched == m_nameSearch) {
        if (event->type() == QEvent::FocusIn && m_nameSearch->text() == tr("File Name"))
            m_nameSearch->clear();
        else if (event->type() == QEvent::FocusOut && m_nameSearch->text().isEmpty())
            m_nameSearch->setText(tr("File Name"));
    }
    return QImageDialog::eventFilter(watched, event);
}

// ---- groups wanted ----

void QScaningDlg::setScanFileType(int filterChoice)
{
    m_filter.setScanFileType(filterChoice, m_mode == salvitra::RecoverDeep);
}

void QScaningDlg::setScanFileType(const QStringList &types, bool custom)
{
    std::vector<std::string> picked;
    for (const QString &t : types)
        picked.push_back(t.toStdString());
    m_filter.setPicked(picked, custom);
}

void QScaningDlg::setCustomList(bool on)
{
    m_filter.custom = on;
}

void QScaningDlg::setScanType()
{
    m_filter.setScanType();
}

// ---- progress, pause, stop of the scan ----

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

void QScaningDlg::ensureModel()
{
    if (m_modelReady)
        return;
    int fs = m_fsType;
    salvitra::RecoverMod mode = m_mode;
    if (m_job && m_job->request().part) {
        fs = m_job->request().part->FsType;
        mode = m_job->request().mode;
    }
    m_model.reset(salvitra::resultRules(fs, mode), m_filter);
    m_modelReady = true;
}

void QScaningDlg::addFiles(const std::vector<FoundFile> &batch)
{
    ensureModel();
    auto add = [this](const FoundFile &f) {
        const uint32_t idx = (uint32_t)m_files.size();
        m_files.push_back(f);
        m_model.add(m_files.back(), idx);
    };
    for (const FoundFile &f : batch) {
        // Index i of the page is file i of the job: a batch never skips
        // or repeats files, and if one did, the gap comes from the store.
        if (f.id < m_files.size())
            continue;
        if (f.id > m_files.size() && m_job)
            for (const FoundFile &g : m_job->snapshot(m_files.size(), f.id - m_files.size()))
                add(g);
        if (f.id == m_files.size())
            add(f);
    }
    resultviews::syncTree(m_tree, m_model);
}

void QScaningDlg::InitTreeNode()
{
    m_tree->clear();
    resultviews::syncTree(m_tree, m_model);
}

void QScaningDlg::DeleteTableNote()
{
    QSignalBlocker block(m_table);
    m_table->clearContents();
    m_table->setRowCount(0);
    m_rows.clear();
    m_header->setCheckState(Qt::Unchecked);
}

void QScaningDlg::DeleteTreeInfo()
{
    DeleteTableNote();
    m_tableNode = {-2, -1};
    m_files.clear();
    m_files.shrink_to_fit();
    m_model.clear();
    m_modelReady = false;
    m_thumbAllowed = false;
    m_thumbs->Reset();
    m_viewFiles.release();
    QSignalBlocker block(m_tree);
    m_tree->clear();
    m_statusLabel->clear();
}

void QScaningDlg::CreateFileTree()
{
    ensureModel();
    m_model.finish(fileView());
    DeleteTableNote();
    m_tableNode = {-2, -1};
    resultviews::fillTree(m_tree, m_model);

    QString text;
    const salvitra::Status st = m_job ? m_job->status() : salvitra::Status{};
    const qulonglong shown = m_model.fileCount();
    if (!m_job)
        text = "Nothing was scanned.";
    else if (st.code == salvitra::StatusCode::Stopped)
        text = QString("Scan stopped: %1 files found").arg(shown);
    else if (!st.ok())
        text = QString("No scan: %1").arg(QString::fromStdString(st.text()));
    else
        text = QString("Scan complete: %1 files found").arg(shown);
    // What a deep scan left out, and why.
    QStringList notes;
    if (m_job)
        for (const std::string &n : m_job->notes())
            notes << QString::fromStdString(n);
    // In the line: what each note is about (up to its colon); all of it
    // in the tooltip.
    for (const QString &n : notes)
        text += "; " + n.section(": ", 0, 0);
    m_statusLabel->setText(text);
    m_statusLabel->setToolTip(notes.join("\n"));

    // The first type shows at once.
    QTreeWidgetItem *root = m_tree->topLevelItem(0);
    if (root && root->childCount() > 0 && root->child(0)->childCount() > 0)
        m_tree->setCurrentItem(root->child(0)->child(0));
}

// ---- tree, table, ticks ----

NodeRef QScaningDlg::currentNode() const
{
    return resultviews::nodeOf(m_tree->currentItem());
}

void QScaningDlg::OnChangedTreeItem()
{
    ResetPreview();
    DeleteTableNote();
    m_tableNode = {-2, -1};
    QTreeWidgetItem *cur = m_tree->currentItem();
    m_treeSelected = cur != nullptr;
    const NodeRef node = currentNode();
    if (!node.isType() || !m_model.valid(node)) {
        if (m_showMode == 1)
            m_thumbs->Reset();
        return;
    }
    m_tableNode = node;
    m_thumbAllowed = m_model.groups()[node.group].group == salvitra::FileGroup::Photo;
    showRows(m_model.rows(node, fileView()));
    if (!m_thumbAllowed) {
        if (m_finished)
            SetShowModBtnCtrl(3);
    } else if (m_showMode == 1) {
        ShowThumbnailMod();
    } else {
        ableThumbnail(m_finished);
    }
}

void QScaningDlg::showRows(std::vector<TableRow> rows)
{
    ResetPreview();
    DeleteTableNote();
    m_rows = std::move(rows);
    const QString type = QString::fromStdString(salvitra::textBeforeCount(m_model.text(m_tableNode)));
    resultviews::fillTable(m_table, m_rows, type);
    const int ticked = resultviews::checkedRows(m_table);
    m_header->setCheckState(!m_rows.empty() && ticked == (int)m_rows.size() ? Qt::Checked : Qt::Unchecked);
}

void QScaningDlg::OnNMClickTreeItem(QTreeWidgetItem *item, int column)
{
    if (!item || column != 0)
        return;
    const NodeRef node = resultviews::nodeOf(item);
    const Qt::CheckState s = item->checkState(0);
    if (node.group < -1 || s == Qt::PartiallyChecked)
        return;
    m_model.setCheck(node, s == Qt::Checked ? CheckState::Checked : CheckState::Unchecked);
    resultviews::syncTree(m_tree, m_model);
    OnClickTree(item, column);
}

void QScaningDlg::OnClickTree(QTreeWidgetItem *item, int)
{
    // The rows follow a tick given to their own type node or to a node
    // above it; ticks elsewhere in the tree leave them alone.
    const NodeRef node = resultviews::nodeOf(item);
    if (node.group < -1 || m_rows.empty() || !m_model.valid(m_tableNode) || !under(m_tableNode, node))
        return;
    const CheckState s = m_model.check(m_tableNode);
    if (s == CheckState::PartlyChecked)
        return;
    const bool on = s == CheckState::Checked;
    if (resultviews::checkedRows(m_table) == (on ? (int)m_rows.size() : 0))
        return;
    resultviews::setAllRows(m_table, on);
    resultviews::readTableChecks(m_table, m_rows);
    m_header->setCheckState(on ? Qt::Checked : Qt::Unchecked);
    if (m_showMode == 1)
        for (int r = 0; r < m_thumbs->GetItemCount(); r++)
            m_thumbs->SetItemCheck(r, on);
}

void QScaningDlg::afterRowTicks()
{
    resultviews::readTableChecks(m_table, m_rows);
    const size_t ticked = (size_t)resultviews::checkedRows(m_table);
    if (!m_model.valid(m_tableNode))
        return;
    // A search shows part of the node: ticking every row shown ticks those
    // rows, not the files the search left out.
    const size_t all = m_model.groups()[m_tableNode.group].types[m_tableNode.type].files.size();
    const size_t total = m_rows.size() == all ? m_rows.size() : all;
    m_model.applyRowTicks(m_tableNode, ticked, total);
    m_header->setCheckState(!m_rows.empty() && ticked == m_rows.size() ? Qt::Checked : Qt::Unchecked);
    resultviews::syncTree(m_tree, m_model);
}

void QScaningDlg::OnNMChangeTableItem(QTableWidgetItem *item)
{
    if (!item || item->column() != 0)
        return;
    afterRowTicks();
    if (m_showMode == 1)
        m_thumbs->SetItemCheck(item->row(), item->checkState() == Qt::Checked);
}

void QScaningDlg::OnChangeTableWidgetItemCheck(bool checked)
{
    resultviews::setAllRows(m_table, checked);
    afterRowTicks();
    if (m_showMode == 1)
        for (int r = 0; r < m_thumbs->GetItemCount(); r++)
            m_thumbs->SetItemCheck(r, checked);
}

void QScaningDlg::OnTableItemChanged(int row, bool checked)
{
    QTableWidgetItem *item = m_table->item(row, 0);
    if (item)
        item->setCheckState(checked ? Qt::Checked : Qt::Unchecked);  // itemChanged does the rest
}

void QScaningDlg::editTextChange(const QString &text)
{
    if (!m_model.valid(m_tableNode))
        return;
    // An emptied field shows the whole type again.
    showRows(text.isEmpty() ? m_model.rows(m_tableNode, fileView())
                            : m_model.rowsByName(m_tableNode, fileView(), text.toStdString()));
    if (m_thumbAllowed && m_showMode == 1)
        ShowThumbnailMod();
}

void QScaningDlg::editSizeChangeFind(const QString &text)
{
    if (!m_model.valid(m_tableNode))
        return;
    salvitra::SizeSearch search;
    search.text = text.toStdString();
    search.compare = m_sizeCmp->currentIndex() == 0 ? salvitra::SizeCompare::LessThan : salvitra::SizeCompare::MoreThan;
    search.unit = m_sizeUnit->currentIndex();
    showRows(text.isEmpty() ? m_model.rows(m_tableNode, fileView())
                            : m_model.rowsBySize(m_tableNode, fileView(), search));
    if (m_thumbAllowed && m_showMode == 1)
        ShowThumbnailMod();
}

// ---- thumbnails and preview ----

bool QScaningDlg::canExtract() const
{
    // Only from a finished scan whose records are still held, and never
    // while a recovery reads through the same library.
    return m_finished && m_job && m_job->state() == salvitra::JobState::Finished && !m_recovering.load();
}

void QScaningDlg::ShowThumbnailMod()
{
    m_thumbs->Reset();
    if (!m_thumbAllowed)
        return;
    m_viewFiles.clear(salvitra::ViewFolder::Thumbnails);
    for (size_t r = 0; r < m_rows.size(); r++)
        m_thumbs->AddItem(QString(), resultviews::shown(m_rows[r].name), m_rows[r].check == CheckState::Checked,
                          (void *)(quintptr)r);
    m_thumbs->RedrawByData();
}

void QScaningDlg::SelectItemChanged()
{
    if (m_showMode != 3)
        return;
    const int row = m_table->currentRow();
    if (row < 0 || row >= (int)m_rows.size()) {
        ResetPreview();
        return;
    }
    const TableRow &r = m_rows[row];
    const std::string ext = extensionOf(r.name);
    if (!inTable(salvitra::photoTypes(), ext)) {
        // Music and every other kind: nothing to draw.
        m_previewState = PreviewNotAvailable;
        OnSetShowPhoto();
        return;
    }
    if (!canExtract()) {
        ResetPreview();
        return;
    }
    const std::string path = m_viewFiles.extract(*m_job, m_files[r.file], r.file, salvitra::ViewFolder::Preview);
    const QString qpath = QString::fromStdString(path);
    if (!path.empty() && QPreviewImageCtrl::IsImage(qpath)) {
        m_previewState = PreviewShown;
        m_previewCtrl->SetShowStyle(PreviewFit);
        m_previewCtrl->SetImage(qpath);
    } else {
        m_previewState = PreviewCorrupted;
        OnSetShowPhoto();
    }
}

// ---- recovery ----

void QScaningDlg::warn(const QString &text)
{
    QMessageBox box(QMessageBox::Warning, kBoxTitle, text, QMessageBox::Cancel, this);
    box.exec();
}

QString QScaningDlg::askDestination()
{
    QFileDialog dlg(this, tr("Select a path to save the recovered files"));
    dlg.setObjectName("recoverPathDialog");
    dlg.setAcceptMode(QFileDialog::AcceptSave);
    dlg.setFileMode(QFileDialog::AnyFile);
    // The program's own dialog: the same on every desktop, and a folder
    // name that does not exist yet is accepted as the new folder.
    dlg.setOption(QFileDialog::DontUseNativeDialog, true);
    dlg.setOption(QFileDialog::DontConfirmOverwrite, true);
    QDir home = QDir::home();
    dlg.setDirectory(home);
    // An existing folder of that name would be opened, not chosen, so a
    // second recovery is offered a fresh name.
    QString name = kBoxTitle;
    for (int n = 2; home.exists(name); n++)
        name = QString("%1 %2").arg(kBoxTitle).arg(n);
    dlg.selectFile(name);
    if (dlg.exec() != QDialog::Accepted || dlg.selectedFiles().isEmpty())
        return QString();
    return dlg.selectedFiles().first();
}

void QScaningDlg::OnRecover()
{
    QTreeWidgetItem *root = m_tree->topLevelItem(0);
    if (!root || root->childCount() == 0) {
        warn(tr("\n\nFiles you need to recovery haven't been found!"));
        return;
    }
    m_outDir.clear();
    if (resultviews::checkedRows(m_table) == 0 && !m_model.anyChecked()) {
        warn(tr("\n\nPlease select the file you need to recover"));
        return;
    }
    QString dir;
    for (;;) {
        dir = askDestination();
        if (dir.isEmpty())
            return;
        std::string why;
        if (m_devicePath.isEmpty() ||
            !salvitra::outputOnScannedMedium(dir.toStdString(), m_devicePath.toStdString(), &why))
            break;
        // Writing there can overwrite the very files being recovered.
        QMessageDlg q(this);
        q.setObjectName("sameMediumQuestion");
        q.SetNoteText("Please DO NOT save file to the partition where your original file located\n"
                      "Save there anyway?");
        q.setToolTip(QString::fromStdString(why));
        q.MsgSetBtn(MSG_BTN_OK);
        if (q.exec() == QMessageDlg::Confirmed)
            break;
    }
    resultviews::readTableChecks(m_table, m_rows);
    salvitra::TableSelection sel;
    sel.node = m_tableNode;
    sel.rows = m_rows;
    std::vector<salvitra::RecoveryJob> jobs = salvitra::collectJobs(m_model, sel, fileView());
    // Collected rows and nodes are left unticked.
    m_rows = sel.rows;
    {
        QSignalBlocker block(m_table);
        for (int r = 0; r < (int)m_rows.size() && r < m_table->rowCount(); r++)
            m_table->item(r, 0)->setCheckState(toQt(m_rows[r].check));
    }
    m_header->setCheckState(Qt::Unchecked);
    if (m_showMode == 1)
        for (int r = 0; r < m_thumbs->GetItemCount(); r++)
            m_thumbs->SetItemCheck(r, r < (int)m_rows.size() && m_rows[r].check == CheckState::Checked);
    resultviews::syncTree(m_tree, m_model);
    startRecovery(dir, std::move(jobs));
}

bool QScaningDlg::RecoverTo(const QString &dir, const std::vector<int> &files, QString *err)
{
    if (!m_job) {
        if (err)
            *err = "There is nothing to recover.";
        return false;
    }
    std::string why;
    if (!m_devicePath.isEmpty() &&
        salvitra::outputOnScannedMedium(dir.toStdString(), m_devicePath.toStdString(), &why)) {
        if (err)
            *err = "Please choose a folder on another disk: " + QString::fromStdString(why);
        return false;
    }
    std::vector<salvitra::RecoveryJob> jobs;
    for (int i : files)
        if (i >= 0 && (size_t)i < m_files.size())
            jobs.push_back({(uint32_t)i, salvitra::relativeOutputPath(m_files[(size_t)i], true)});
    return startRecovery(dir, std::move(jobs));
}

bool QScaningDlg::startRecovery(const QString &dir, std::vector<salvitra::RecoveryJob> jobs)
{
    if (!m_job || IsRunning())
        return false;
    m_outDir = dir;
    m_jobs = std::move(jobs);
    m_summary = salvitra::RecoverSummary{};
    auto *dlg = new QProgressDlg(this);
    m_progressDlg = dlg;
    dlg->setTimeStart(500);
    dlg->SetNote(QString("Recovering: %1 files").arg(m_jobs.size()));
    connect(this, &QScaningDlg::SetNote, dlg, &QProgressDlg::SetNote);
    connect(this, &QScaningDlg::SetProValue, dlg, &QProgressDlg::SetExport);
    // The bar follows the bytes written, so one large file moves it too.
    auto *poll = new QTimer(dlg);
    connect(poll, &QTimer::timeout, dlg, [this, dlg] {
        if (m_recovering.load() && m_job)
            dlg->SetExport(m_job->progress().percent);
    });
    poll->start(200);
    m_recovering = true;
    // A pause asked for before the start holds the first file.
    if (IsPaused())
        m_job->pause();
    else
        m_job->resume();
    Start();
    dlg->SetRecoverThread(this);
    dlg->exec();
    Wait();
    // Every handler of the dialog has returned with its event loop.
    delete dlg;
    return true;
}

void QScaningDlg::OnExecute()
{
    salvitra::RecoverSummary summary;
    if (m_job) {
        summary = salvitra::recoverJobs(
            *m_job, m_jobs, m_outDir.toStdString(), [this](size_t i, size_t n, const std::string &rel) {
                emit SetProValue(n ? int(i * 100 / n) : 0);
                emit SetNote("Recovering: " + resultviews::shown(rel.substr(rel.find_last_of('/') + 1)));
            });
    }
    m_summary = std::move(summary);
    emit OnDoneRecover();
}

void QScaningDlg::OnStopRequested()
{
    // Only the writes that run: the thread's own restart asks for a stop
    // too, which must not be kept for the recovery about to start.
    if (m_recovering.load() && m_job)
        m_job->stopIfRunning();
}

void QScaningDlg::OnPauseChanged(bool paused)
{
    if (!m_recovering.load() || !m_job)
        return;
    if (paused) {
        m_job->pause();
        return;
    }
    // A stop releases the pause: the job hears of the stop first, so no
    // further chunk is written in between.
    if (IsStopped())
        m_job->stopIfRunning();
    m_job->resume();
}

void QScaningDlg::RecoverDoneOponPath()
{
    m_recovering = false;
    if (m_progressDlg) {
        // Only closed here: this may run inside the dialog's own stop
        // question (its stop() serves events, deferred deletions too), so
        // the dialog is deleted once its exec() has returned.
        QProgressDlg *dlg = m_progressDlg;
        m_progressDlg = nullptr;
        if (!m_summary.stopped)
            dlg->SetExport(100);
        dlg->done(QDialog::Accepted);
    }
    if (m_outDir.isEmpty())
        return;
    const salvitra::RecoverSummary &s = m_summary;
    auto *done = new QOpenFilePathDlg(this);
    done->setAttribute(Qt::WA_DeleteOnClose);
    done->SetResult((int)s.written, (int)(m_jobs.size() - std::min<size_t>(s.written, m_jobs.size())), s.stopped);
    QString tip = QString("%1 files written to %2").arg(s.written).arg(m_outDir);
    if (!s.status.ok())
        tip += "\n" + QString::fromStdString(s.status.text());
    done->setToolTip(tip);
    const QString folder = m_outDir;
    connect(done, &QDialog::accepted, this, [folder] { QDesktopServices::openUrl(QUrl::fromLocalFile(folder)); });
    done->open();
}
