#include "scaningdlg.h"

#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QMessageBox>
#include <QRegularExpressionValidator>
#include <QStandardPaths>
#include <QThread>
#include <QToolButton>
#include <QVBoxLayout>

#include <algorithm>

#include "classify.h"
#include "dialogs.h"
#include "mainwindow.h"
#include "output_check.h"
#include "output_dir.h"
#include "pagedthumbviewer.h"
#include "previewimagectrl.h"
#include "recover.h"
#include "resultviews.h"
#include "units.h"

using salvitra::CheckState;
using salvitra::FoundFile;
using salvitra::NodeRef;
using salvitra::TableRow;

namespace {

const char *const kBoxTitle = "Salvitra";

// Thumbnails never need more pixels than this on their longer side.
constexpr int kThumbDecodeSide = 256;
// While a scan runs, new files are placed in the tree this often at most.
constexpr int kPlaceIntervalMs = 250;



// Placeholders of the preview, by state.
const char *const kPlaceholders[4] = {
    ":/images/bg_height_available.png",
    ":/images/bg_heiht_not_available.png",
    nullptr,
    ":/images/bg_heigh_corrupted.png",
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

const char *const QScaningDlg::kSameMediumNote =
    "This folder is on the medium being scanned. Saving there can overwrite the files you want back.\n"
    "Press Cancel to choose a folder on another disk, or OK to save there anyway.";

QScaningDlg::QScaningDlg(QWidget *parent) : QImageDialog(parent)
{
    setWindowFlags(Qt::Widget);
    setObjectName("scanningPage");
    SetImageBackgroud(":/images/bg_scaning.png");

    m_btnBack = MakeImageButton(this, ":/images/btn_back.png", "Back");
    m_btnRecover = MakeImageButton(this, ":/images/btn_recover.png", "Recover");
    m_btnRecover->setToolTip("Copy the ticked files into a folder you choose");
    m_btnPause = MakeImageButton(this, ":/images/btn_pause.png", "Pause");
    m_btnContinue = MakeImageButton(this, ":/images/btn_continue.png", "Resume");
    m_btnStop = MakeImageButton(this, ":/images/btn_stop.png", "Stop");
    const char *viewImages[4] = {":/images/btn_preview1.png", ":/images/btn_preview2.png",
                                 ":/images/btn_preview3.png", ":/images/btn_preview4.png"};
    const char *viewNames[4] = {"Thumbnails", "List", "List with Preview", "Spin Preview"};
    for (int i = 0; i < 4; i++) {
        m_btnView[i] = MakeImageButton(this, viewImages[i], viewNames[i]);
        m_btnView[i]->setToolTip(viewNames[i]);
    }
    m_btnPlus = MakeImageButton(this, ":/images/btn_plus.png", "Show the size search");
    m_btnPlus->setToolTip("Search by size");
    m_btnMinus = MakeImageButton(this, ":/images/btn_minus.png", "Hide the size search");
    m_btnMinus->setToolTip("Close the size search");

    m_procLabel = MakeLabel(this, "Scanning...", 12, skin::kOnBand, true);
    m_progress = new QProgressBar(this);
    m_progress->setRange(0, 100);
    m_progress->setTextVisible(false);
    m_progress->setFixedHeight(14);
    m_progress->setAccessibleName("Scan progress");
    m_percent = MakeLabel(this, "1%", 12, skin::kOnBand, true);
    m_percent->ensurePolished();
    m_percent->setMinimumWidth(m_percent->fontMetrics().horizontalAdvance("100%") + 8);
    m_statusLabel = MakeLabel(this, QString(), 12, skin::kInk);
    m_statusLabel->setObjectName("statusLabel");
    m_statusLabel->setWordWrap(true);
    m_statusLabel->setTextFormat(Qt::PlainText);
    m_goodOnly = new QCheckBox("Good files only", this);
    m_goodOnly->setAccessibleName("Good files only");
    m_goodOnly->setToolTip("Show only the files that will come back whole: their data is free and their "
                           "structure checks out");
    m_goodOnly->hide();

    m_nameSearch = new QLineEdit(this);
    m_nameSearch->setPlaceholderText(tr("File Name"));
    m_nameSearch->setAccessibleName("Search by file name");
    m_nameSearch->setClearButtonEnabled(true);
    for (QToolButton *clear : m_nameSearch->findChildren<QToolButton *>())
        clear->setAccessibleName("Clear the search");
    m_nameSearch->setMinimumWidth(120);
    m_nameSearch->setMaximumWidth(260);
    m_sizeLabel = MakeLabel(this, "File size", 12, skin::kInk);
    m_sizeCmp = new QComboBox(this);
    m_sizeCmp->addItems({"is less than", "is more than"});
    m_sizeCmp->setAccessibleName("Size comparison");
    m_sizeEdit = new QLineEdit(this);
    m_sizeEdit->setValidator(new QRegularExpressionValidator(QRegularExpression("^[0-9]*[1-9][0-9]*$"), m_sizeEdit));
    m_sizeEdit->setAccessibleName("Size");
    m_sizeEdit->setMaximumWidth(120);
    m_sizeLabel->setBuddy(m_sizeEdit);
    m_sizeUnit = new QComboBox(this);
    m_sizeUnit->addItems({"B", "KB", "MB", "GB"});
    m_sizeUnit->setAccessibleName("Size unit");

    m_tree = new QTreeWidget(this);
    resultviews::setupTree(m_tree);
    m_tree->setAccessibleName("Found files by kind");
    m_tree->setMinimumWidth(190);
    m_table = new QTableWidget(this);
    m_header = new QCheckHeaderView(m_table);
    m_header->setCheckIndex(0);
    m_table->setHorizontalHeader(m_header);
    resultviews::setupTable(m_table);
    m_table->setAccessibleName("Files");
    m_table->verticalHeader()->setDefaultSectionSize(22);
    m_table->setMinimumHeight(110);
    m_previewCtrl = new QPreviewImageCtrl(this);
    m_previewCtrl->setAccessibleName("Preview");
    m_previewCtrl->SetShowStyle(PreviewCenter);
    m_previewCtrl->setMinimumHeight(120);
    m_thumbs = new QPagedThumbViewer(this);
    m_thumbs->SetImageProvider([this](int index, const ThumbItem &item) {
        // Each page's pictures are asked for when the page is drawn, and
        // come from the medium thread when they are ready.
        const size_t row = (size_t)(quintptr)item.data;
        if (!canExtract() || row >= m_rows.size()) {
            m_thumbs->SetItemPicture(index, QString(), QImage());
            return;
        }
        m_scan->requestView(m_rows[row].file, salvitra::ViewFolder::Thumbnails, kThumbDecodeSide);
    });
    m_thumbs->hide();

    // The band: back, the progress (while scanning) or the search and the
    // views (once finished), recover.
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    auto *band = new QWidget(this);
    band->setFixedHeight(64);
    auto *bl = new QHBoxLayout(band);
    bl->setContentsMargins(11, 0, 11, 3);
    bl->setSpacing(8);
    bl->addWidget(m_btnBack);
    bl->addSpacing(8);
    m_progressBox = new QWidget(band);
    auto *pl = new QGridLayout(m_progressBox);
    pl->setContentsMargins(0, 0, 0, 0);
    pl->setHorizontalSpacing(8);
    pl->setVerticalSpacing(4);
    pl->addWidget(m_procLabel, 0, 0, 1, 2);
    pl->addWidget(m_progress, 1, 0);
    pl->addWidget(m_percent, 1, 1);
    pl->setColumnStretch(0, 1);
    bl->addWidget(m_progressBox, 4);
    bl->addStretch(1);
    bl->addWidget(m_btnPause);
    bl->addWidget(m_btnContinue);
    bl->addWidget(m_btnStop);
    bl->addWidget(m_nameSearch, 3);
    bl->addWidget(m_btnPlus);
    bl->addWidget(m_btnMinus);
    bl->addSpacing(6);
    for (int i = 0; i < 4; i++)
        bl->addWidget(m_btnView[i]);
    bl->addSpacing(6);
    bl->addWidget(m_btnRecover);
    layout->addWidget(band);

    m_searchRow = new QWidget(this);
    auto *sl = new QHBoxLayout(m_searchRow);
    sl->setContentsMargins(11, 4, 11, 4);
    sl->setSpacing(8);
    sl->addWidget(m_sizeLabel);
    sl->addWidget(m_sizeCmp);
    sl->addWidget(m_sizeEdit);
    sl->addWidget(m_sizeUnit);
    sl->addStretch(1);
    layout->addWidget(m_searchRow);

    // The views: the tree at the left, the preview above the table (or
    // the table alone, or the thumbnails) at the right.
    auto *views = new QHBoxLayout();
    views->setContentsMargins(0, 0, 0, 0);
    views->setSpacing(1);
    views->addWidget(m_tree, 1);
    auto *right = new QVBoxLayout();
    right->setContentsMargins(0, 0, 0, 0);
    right->setSpacing(1);
    right->addWidget(m_previewCtrl, 3);
    right->addWidget(m_table, 2);
    right->addWidget(m_thumbs, 5);
    views->addLayout(right, 3);
    layout->addLayout(views, 1);
    auto *status = new QHBoxLayout();
    status->setContentsMargins(8, 3, 8, 3);
    status->addWidget(m_statusLabel, 1);
    status->addWidget(m_goodOnly);
    layout->addLayout(status);

    m_placeTimer.setSingleShot(true);
    m_placeTimer.setInterval(kPlaceIntervalMs);
    connect(&m_placeTimer, &QTimer::timeout, this, [this] { placeFiles(m_filesAnnounced); });
    connect(m_thumbs, &QPagedThumbViewer::pageAboutToShow, this, [this] {
        if (m_scan)
            m_scan->cancelViews();
    });
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
    setBtnStatus(false, salvitra::RecoverQuick);
}

QScaningDlg::~QScaningDlg() = default;

void QScaningDlg::SetPartition(Partiton_Struct *part)
{
    m_part = part;
    m_fsType = part ? part->FsType : 0;
}

void QScaningDlg::SetScanAdapter(QScanAdapter *scan)
{
    if (scan == m_scan)
        return;
    if (m_scan)
        disconnect(m_scan, nullptr, this, nullptr);
    // Pictures of the old results go with them (their adapter removes them).
    m_thumbs->Reset();
    m_scan = scan;
    if (!scan)
        return;
    connect(scan, &QScanAdapter::filesFound, this, &QScaningDlg::OnFilesFound);
    connect(scan, &QScanAdapter::progressed, this, &QScaningDlg::OnProgress);
    connect(scan, &QScanAdapter::viewExtracted, this, &QScaningDlg::OnViewExtracted);
    connect(scan, &QScanAdapter::recoveryFile, this, [this](quint64, quint64, const QString &rel) {
        if (m_progressDlg)
            m_progressDlg->SetNote("Recovering: " + rel.section('/', -1));
    });
    connect(scan, &QScanAdapter::recoveryFinished, this, &QScaningDlg::RecoverDoneOponPath);
}

salvitra::ScanJob *QScaningDlg::job() const
{
    return m_scan ? m_scan->job() : nullptr;
}

const std::deque<FoundFile> &QScaningDlg::foundFiles() const
{
    static const std::deque<FoundFile> kNone;
    return m_scan && m_scan->scanFinished() ? m_scan->job()->files() : kNone;
}

int QScaningDlg::foundCount() const
{
    return m_scan ? (int)m_scan->job()->fileCount() : 0;
}

salvitra::FileView QScaningDlg::fileView() const
{
    // The store itself once the scan has ended; while it runs, a copy of
    // what was placed so far, taken for the table being built and dropped
    // with the next one.
    if (!m_scan)
        return salvitra::FileView(m_scratch);
    if (m_scan->scanFinished()) {
        m_scratch.clear();
        return salvitra::FileView(m_scan->job()->files());
    }
    m_scratch = m_scan->job()->snapshot(0, m_placed);
    return salvitra::FileView(m_scratch);
}

void QScaningDlg::SetPause(bool on)
{
    if (!m_scan)
        return;
    if (on)
        m_scan->pause();
    else
        m_scan->resume();
}

bool QScaningDlg::IsPaused() const
{
    return m_scan && m_scan->isPaused();
}

bool QScaningDlg::IsRunning() const
{
    return m_scan && m_scan->recovering();
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
    for (QWidget *w : std::initializer_list<QWidget *>{m_progressBox, m_btnPause, m_btnStop})
        w->setVisible(!finished);
    m_btnContinue->hide();
    m_btnBack->setEnabled(finished);
    m_btnRecover->setEnabled(finished);
    // Deep scans judge every file; a new scan starts with all of them shown.
    {
        QSignalBlocker block(m_goodOnly);
        m_goodOnly->setChecked(false);
        m_filter.goodOnly = false;
    }
    m_goodOnly->setVisible(finished && mode == salvitra::RecoverDeep);
    for (int i = 0; i < 3; i++)
        m_btnView[i]->setVisible(finished);
    m_btnView[3]->hide();
    m_nameSearch->setVisible(finished);
    m_btnPlus->setVisible(finished);
    m_btnMinus->hide();
    SetSearchCtrlShow(false);
    if (!finished) {
        m_userPaused = false;
        m_procLabel->setText("Scanning...");
        m_statusLabel->setText(mode == salvitra::RecoverDeep ? "Reading the partition..." : "Reading the file system...");
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
    // Copies asked for by the view left behind are not wanted any more.
    if (m_scan && mode != m_showMode)
        m_scan->cancelViews();
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
        m_thumbs->show();
        m_table->hide();
        m_previewCtrl->hide();
        return;
    case 2:
        // The list takes the place of the preview too.
        m_btnView[1]->setBtnImage(":/images/btn_list_hide.png");
        m_btnView[1]->setEnabled(false);
        m_table->show();
        m_previewCtrl->hide();
        m_thumbs->hide();
        break;
    case 3:
        m_btnView[2]->setBtnImage(":/images/btn_Preview_hide.png");
        m_btnView[2]->setEnabled(false);
        m_previewCtrl->show();
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
    // Tall: the search area is closed and the views take its room.
    m_tall = tall;
    if (!keepBackground)
        setBgImage();
    m_searchRow->setVisible(!tall && m_finished);
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
    m_sizeEdit->setFocus();
}

void QScaningDlg::OnBtnMinus()
{
    m_btnPlus->show();
    m_btnMinus->hide();
    const bool searched = !m_sizeEdit->text().isEmpty();
    SetCtrlHeigth(true, false);
    SetSearchCtrlShow(false);
    OnSetShowPhoto();
    // Closing the search shows the whole node again.
    if (searched)
        refreshRows();
    m_btnPlus->setFocus();
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
    const char *path = kPlaceholders[m_previewState & 3];
    m_previewCtrl->SetShowStyle(PreviewCenter);
    m_previewCtrl->SetPixmap(QPixmap(path));
    static const char *const kSaid[4] = {"Preview", "No preview for this file", "", "This picture cannot be shown"};
    m_previewCtrl->setAccessibleDescription(kSaid[m_previewState & 3]);
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

void QScaningDlg::OnProgress()
{
    salvitra::ScanJob *j = job();
    if (!j || m_finished || m_userPaused || m_scan->recovering())
        return;
    showProgress(j->progress());
}

void QScaningDlg::showProgress(const salvitra::Progress &p)
{
    int v = qBound(0, p.percent, 100);
    if (v < 2)
        v = 1;
    m_progress->setValue(v);
    setPercentage(v);
    m_statusLabel->setText(QString::fromStdString(salvitra::scanProgressText(p)));
}

void QScaningDlg::OnPause()
{
    if (m_scan && !m_userPaused) {
        m_scan->pause();
        m_userPaused = true;
    }
    m_btnPause->hide();
    m_btnContinue->show();
    m_btnContinue->setFocus();
    m_procLabel->setText("Paused");
}

void QScaningDlg::OnContinue()
{
    if (m_scan && m_userPaused) {
        m_scan->resume();
        m_userPaused = false;
    }
    m_btnPause->show();
    m_btnContinue->hide();
    m_btnPause->setFocus();
    m_procLabel->setText("Scanning...");
    OnProgress();
}

void QScaningDlg::OnStopScanThreed()
{
    QMessageDlg dlg(this);
    dlg.SetNoteText("A stopped scan cannot be resumed.\nAre you sure you want to stop the scan?");
    dlg.MsgSetBtn(MSG_BTN_STOP);
    // The scan holds still while the question is open.
    QPointer<QScanAdapter> scan = m_scan;
    if (scan && !m_userPaused)
        scan->pause();
    const int r = dlg.exec();
    if (!scan)
        return;
    if (r == QMessageDlg::Confirmed) {
        // The scan ends by itself and the page goes to its finished state.
        m_procLabel->setText("Stopping...");
        scan->stop();
    } else if (!m_userPaused) {
        scan->resume();
    }
}

void QScaningDlg::OnGoBack()
{
    auto *dlg = new QMessageDlg(this);
    dlg->SetNoteText("Are you sure you want to go back?\nThe scan results will not be kept.");
    dlg->MsgSetBtn(MSG_BTN_BACK);
    int r = dlg->exec();
    dlg->deleteLater();
    if (r == QMessageDlg::Confirmed)
        emit OnBack();
}

// ---- found files ----

void QScaningDlg::OnFilesFound(quint64 count)
{
    // Placed a few times a second, not at every batch: the tree is
    // redrawn that often, and the window costs the scan next to nothing.
    m_filesAnnounced = std::max<uint64_t>(m_filesAnnounced, count);
    if (!m_placeTimer.isActive())
        m_placeTimer.start();
}

void QScaningDlg::placeFiles(uint64_t count)
{
    salvitra::ScanJob *j = job();
    if (!j || count <= m_placed)
        return;
    ensureModel();
    // What is new in the job's store, placed in the model and let go: the
    // page keeps indexes, the store keeps the files.
    uint64_t idx = m_placed;
    for (const FoundFile &f : j->snapshot(m_placed, count - m_placed))
        m_model.add(f, (uint32_t)idx++);
    m_placed = idx;
    resultviews::syncTree(m_tree, m_model);
}

void QScaningDlg::ensureModel()
{
    if (m_modelReady)
        return;
    int fs = m_fsType;
    salvitra::RecoverMod mode = m_mode;
    if (job() && job()->request().part) {
        fs = job()->request().part->FsType;
        mode = job()->request().mode;
    }
    m_model.reset(salvitra::resultRules(fs, mode), m_filter);
    m_modelReady = true;
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
    m_placeTimer.stop();
    m_placed = 0;
    m_filesAnnounced = 0;
    m_scratch.clear();
    m_scratch.shrink_to_fit();
    m_model.clear();
    m_modelReady = false;
    m_thumbAllowed = false;
    if (m_scan)
        m_scan->cancelViews();
    m_thumbs->Reset();
    QSignalBlocker block(m_tree);
    m_tree->clear();
    m_statusLabel->clear();
}

void QScaningDlg::CreateFileTree()
{
    ensureModel();
    // Everything the scan found is placed before the tree is counted.
    m_placeTimer.stop();
    if (m_scan)
        placeFiles(m_scan->job()->fileCount());
    m_model.finish(fileView());
    DeleteTableNote();
    m_tableNode = {-2, -1};
    resultviews::fillTree(m_tree, m_model);

    // What a deep scan left out, and why: in the line, what each note is
    // about (up to its colon); all of it in the tooltip.
    QString text = finishedText();
    QStringList notes, heads;
    if (job())
        for (const std::string &n : job()->notes()) {
            notes << QString::fromStdString(n);
            heads << notes.last().section(": ", 0, 0);
        }
    if (!heads.isEmpty()) {
        heads[0][0] = heads[0][0].toUpper();
        text += " " + heads.join("; ") + ".";
    }
    m_statusLabel->setText(text);
    m_statusLabel->setToolTip(notes.join("\n"));

    // The first type shows at once.
    QTreeWidgetItem *root = m_tree->topLevelItem(0);
    if (root && root->childCount() > 0 && root->child(0)->childCount() > 0)
        m_tree->setCurrentItem(root->child(0)->child(0));
}

QString QScaningDlg::finishedText() const
{
    const salvitra::Status st = job() ? job()->status() : salvitra::Status{};
    const qulonglong found = m_model.distinctFiles({});
    const QString files = found == 1 ? QString("1 file") : QString("%1 files").arg(found);
    if (!job())
        return "Nothing was scanned.";
    if (st.code == salvitra::StatusCode::Stopped)
        return QString("Scan stopped: found %1 until then.").arg(files);
    if (st.code == salvitra::StatusCode::NotSupported && m_mode == salvitra::RecoverQuick)
        return "There is no quick scan for this file system. Go back and choose Deep Scan: it reads the whole "
               "partition and finds files by their content.";
    if (st.code == salvitra::StatusCode::MediumRemoved)
        return QString("The medium was removed: the scan ended there, having found %1.").arg(files);
    if (!st.ok())
        return QString("The scan could not run: %1").arg(QString::fromStdString(st.text()));
    // What the scan went past (areas of the medium it could not read).
    QString past = QString::fromStdString(st.reason);
    if (!past.isEmpty()) {
        past[0] = past[0].toUpper();
        past = " " + past + ".";
    }
    if (found > 0)
        return QString("Found %1.").arg(files) + past;
    if (m_mode == salvitra::RecoverDeep)
        return "No files were found." + past;
    return "No deleted files were found. A deep scan reads the whole partition and can find files the "
           "quick scan cannot: go back and choose Deep Scan.";
}

// ---- tree, table, ticks ----

NodeRef QScaningDlg::currentNode() const
{
    // The selected node: chosen by the mouse, the keyboard or a screen
    // reader's selection alike.
    QList<QTreeWidgetItem *> sel = m_tree->selectedItems();
    return resultviews::nodeOf(sel.isEmpty() ? m_tree->currentItem() : sel.first());
}

void QScaningDlg::OnChangedTreeItem()
{
    if (m_scan)
        m_scan->cancelViews();
    ResetPreview();
    DeleteTableNote();
    m_tableNode = {-2, -1};
    const NodeRef node = currentNode();
    m_treeSelected = node.group >= -1;
    if (node.group < -1 || !m_model.valid(node)) {
        if (m_showMode == 1)
            m_thumbs->Reset();
        return;
    }
    // Every node has its table: a type its files, a group and "All Files"
    // every file below them.  A search typed before applies to it too.
    m_tableNode = node;
    m_tableAll = m_model.distinctFiles(node);
    m_thumbAllowed = !node.isRoot() && m_model.groups()[node.group].group == salvitra::FileGroup::Photo;
    showRows(searchedRows());
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
    const QString type = m_tableNode.isType()
                             ? QString::fromStdString(salvitra::textBeforeCount(m_model.text(m_tableNode)))
                             : QString();
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
    const size_t total = m_rows.size() == m_tableAll ? m_rows.size() : m_tableAll;
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

std::vector<TableRow> QScaningDlg::searchedRows() const
{
    // The name typed and the size asked for, each when given, together.
    const QString name = m_nameSearch->text();
    const bool bySize = m_sizeEdit->isVisible() && !m_sizeEdit->text().isEmpty();
    salvitra::SizeSearch search;
    if (bySize) {
        search.text = m_sizeEdit->text().toStdString();
        search.compare =
            m_sizeCmp->currentIndex() == 0 ? salvitra::SizeCompare::LessThan : salvitra::SizeCompare::MoreThan;
        search.unit = m_sizeUnit->currentIndex();
    }
    if (name.isEmpty())
        return bySize ? m_model.rowsBySize(m_tableNode, fileView(), search) : m_model.rows(m_tableNode, fileView());
    std::vector<TableRow> rows = m_model.rowsByName(m_tableNode, fileView(), name.toStdString());
    if (bySize)
        rows.erase(std::remove_if(rows.begin(), rows.end(), [&](const TableRow &r) { return !search.matches(r.bytes); }),
                   rows.end());
    return rows;
}

void QScaningDlg::refreshRows()
{
    if (!m_model.valid(m_tableNode))
        return;
    showRows(searchedRows());
    if (m_thumbAllowed && m_showMode == 1)
        ShowThumbnailMod();
}

void QScaningDlg::editTextChange(const QString &)
{
    // An emptied field shows the whole node again.
    refreshRows();
}

void QScaningDlg::editSizeChangeFind(const QString &)
{
    refreshRows();
}

// ---- thumbnails and preview ----

bool QScaningDlg::canExtract() const
{
    // Only from a finished scan whose records are still held, and never
    // while a recovery reads the medium.
    return m_finished && m_scan && m_scan->scanFinished() && !m_scan->recovering();
}

void QScaningDlg::ShowThumbnailMod()
{
    if (m_scan)
        m_scan->cancelViews();
    m_thumbs->Reset();
    if (!m_thumbAllowed)
        return;
    if (m_scan)
        m_scan->clearViews(salvitra::ViewFolder::Thumbnails);
    for (size_t r = 0; r < m_rows.size(); r++)
        m_thumbs->AddItem(QString(), resultviews::shown(m_rows[r].name), m_rows[r].check == CheckState::Checked,
                          (void *)(quintptr)r);
    m_thumbs->RedrawByData();
}

void QScaningDlg::SelectItemChanged()
{
    if (m_showMode != 3)
        return;
    if (m_scan)
        m_scan->cancelViews();
    m_previewFile = -1;
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
    // The placeholder until the copy is made and found to be a picture.
    ResetPreview();
    if (!canExtract())
        return;
    m_previewFile = r.file;
    m_scan->requestView(r.file, salvitra::ViewFolder::Preview, 0);
}

void QScaningDlg::OnViewExtracted(quint64 generation, quint64 fileIndex, int folder, const QString &path,
                                  const QImage &picture)
{
    if (!m_scan || generation != m_scan->viewGeneration())
        return;  // for a view that has changed since
    if (folder == (int)salvitra::ViewFolder::Preview) {
        if (m_showMode != 3 || (qint64)fileIndex != m_previewFile)
            return;
        if (!path.isEmpty()) {
            m_previewState = PreviewShown;
            m_previewCtrl->SetShowStyle(PreviewFit);
            m_previewCtrl->SetImage(path);
            m_previewCtrl->setAccessibleDescription("Preview of the selected file");
        } else {
            m_previewState = PreviewCorrupted;
            OnSetShowPhoto();
        }
        return;
    }
    for (int i = 0; i < m_thumbs->GetItemCount(); i++) {
        const size_t row = (size_t)(quintptr)m_thumbs->GetItemData(i);
        if (row < m_rows.size() && m_rows[row].file == fileIndex) {
            // A copy that holds no picture shows as "not available".
            m_thumbs->SetItemPicture(i, picture.isNull() ? QString() : path, picture);
            break;
        }
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
    // The folder used last, or else the user's pictures (or home) folder.
    auto settings = MainWindow::Settings();
    QString start = settings->value("recovery/lastFolder").toString();
    if (start.isEmpty() || !QFileInfo(start).isDir()) {
        start = QStandardPaths::writableLocation(QStandardPaths::PicturesLocation);
        if (start.isEmpty() || !QFileInfo(start).isDir())
            start = QDir::homePath();
    }
    const QString dir = QFileDialog::getExistingDirectory(this, tr("Choose a folder for the recovered files"), start,
                                                          QFileDialog::ShowDirsOnly);
    if (!dir.isEmpty())
        settings->setValue("recovery/lastFolder", dir);
    return dir;
}

void QScaningDlg::OnRecover()
{
    QTreeWidgetItem *root = m_tree->topLevelItem(0);
    if (!root || root->childCount() == 0) {
        warn(tr("No files were found that could be recovered."));
        return;
    }
    m_outDir.clear();
    if (resultviews::checkedRows(m_table) == 0 && !m_model.anyChecked()) {
        warn(tr("Please tick the files you want to recover."));
        return;
    }
    QString dir;
    std::shared_ptr<salvitra::OutputDir> output;
    for (;;) {
        dir = askDestination();
        if (dir.isEmpty())
            return;
        // The checks the command line makes: not on the scanned medium
        // (asked, with the safe answer as the default), and writable.
        output = std::make_shared<salvitra::OutputDir>();
        const std::string device = job() ? salvitra::scannedDevicePath(*job()) : std::string();
        salvitra::OutputCheck c = salvitra::prepareRecoveryOutput(dir.toStdString(), device, *output);
        if (c.verdict == salvitra::OutputVerdict::OnScannedMedium) {
            QMessageDlg q(this);
            q.setObjectName("sameMediumQuestion");
            q.SetNoteText(kSameMediumNote);
            q.setToolTip(QString::fromStdString(c.why));
            q.MsgSetBtn(MSG_BTN_OK);
            q.SetCancelDefault(true);
            if (q.exec() != QMessageDlg::Confirmed)
                continue;
            c = salvitra::prepareRecoveryOutput(dir.toStdString(), device, *output, true);
        }
        if (c.ok())
            break;
        warn(QString("Salvitra cannot write to this folder:\n%1\nPlease choose another one.")
                 .arg(QString::fromStdString(c.why)));
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
    startRecovery(dir, std::move(jobs), std::move(output));
}

bool QScaningDlg::RecoverTo(const QString &dir, const std::vector<int> &files, QString *err)
{
    if (!job() || !m_scan->scanFinished()) {
        if (err)
            *err = "There is nothing to recover.";
        return false;
    }
    auto output = std::make_shared<salvitra::OutputDir>();
    salvitra::OutputCheck c =
        salvitra::prepareRecoveryOutput(dir.toStdString(), salvitra::scannedDevicePath(*job()), *output);
    if (c.verdict == salvitra::OutputVerdict::OnScannedMedium) {
        if (err)
            *err = "Please choose a folder on another disk: " + QString::fromStdString(c.why);
        return false;
    }
    if (!c.ok()) {
        if (err)
            *err = "Salvitra cannot write to this folder: " + QString::fromStdString(c.why);
        return false;
    }
    const std::deque<FoundFile> &store = job()->files();
    std::vector<salvitra::RecoveryJob> jobs;
    for (int i : files)
        if (i >= 0 && (size_t)i < store.size())
            jobs.push_back({(uint32_t)i, salvitra::relativeOutputPath(store[(size_t)i], true)});
    return startRecovery(dir, std::move(jobs), std::move(output));
}

bool QScaningDlg::startRecovery(const QString &dir, std::vector<salvitra::RecoveryJob> jobs,
                                std::shared_ptr<salvitra::OutputDir> output)
{
    if (!m_scan || m_scan->recovering())
        return false;
    m_outDir = dir;
    m_recoverCount = jobs.size();
    m_summary = salvitra::RecoverSummary{};
    auto *dlg = new QProgressDlg(this);
    m_progressDlg = dlg;
    dlg->setTimeStart(500);
    dlg->SetNote(QString("Recovering: %1 files").arg(jobs.size()));
    // The bar follows the bytes written, so one large file moves it too.
    QPointer<QScanAdapter> scan = m_scan;
    connect(scan, &QScanAdapter::progressed, dlg, [scan, dlg] {
        if (scan && scan->recovering())
            dlg->SetExport(scan->job()->progress().percent);
    });
    dlg->SetRecoverThread(scan);
    // A pause asked for before the start holds the first file.
    if (!scan->startRecovery(std::move(jobs), dir, std::move(output))) {
        delete dlg;
        return false;
    }
    dlg->exec();
    // The dialog is closed by the recovery's end (or by a confirmed stop,
    // the end then following); every handler of it has returned here.
    delete dlg;
    return true;
}

void QScaningDlg::RecoverDoneOponPath()
{
    if (!m_scan)
        return;
    m_summary = m_scan->lastRecovery();
    if (m_progressDlg) {
        // Only closed here: this may run inside the dialog's own stop
        // question, so the dialog is deleted once its exec() has returned.
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
    done->SetResult((int)s.written, (int)(m_recoverCount - std::min<size_t>(s.written, m_recoverCount)), s.stopped);
    done->SetFolder(m_outDir);
    if (!s.status.ok())
        done->setToolTip(QString::fromStdString(s.status.text()));
    QStringList details;
    if (!s.status.ok() && !s.stopped)
        details << resultviews::shown(s.status.text());
    for (const salvitra::RecoveredFile &rf : s.files)
        for (const std::string &line : salvitra::recoveryLines(rf))
            details << resultviews::shown(line);
    done->SetDetails(details);
    done->SetReport(QString::fromStdString(s.report.csv), QString::fromStdString(s.report.xml));
    if (!s.report.error.empty())
        done->setToolTip(done->toolTip() + (done->toolTip().isEmpty() ? "" : "\n") +
                         "The report could not be written: " + QString::fromStdString(s.report.error));
    done->open();
}
