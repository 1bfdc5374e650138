#include "lostsearch.h"

#include <QComboBox>
#include <QHBoxLayout>
#include <QMessageBox>
#include <QTreeWidget>

#include "inventory.h"
#include "text.h"
#include "treectrldlg.h"

QLostSearch::QLostSearch(salvitra::Inventory &inventory, int devNum, QObject *parent)
    : QObject(parent), m_devNum(devNum), m_job(std::make_unique<salvitra::VolumeSearchJob>(inventory, devNum, this))
{
}

QLostSearch::~QLostSearch()
{
    // Stops and joins the job before this observer goes.
    m_job.reset();
}

void QLostSearch::setPaused(bool on)
{
    m_paused = on;
    if (on)
        m_job->pause();
    else
        m_job->resume();
}

void QLostSearch::onProgress(const salvitra::Progress &p)
{
    int percent = p.percent;
    QMetaObject::invokeMethod(this, [this, percent] { emit progressed(percent); }, Qt::QueuedConnection);
}

void QLostSearch::onFinished(const salvitra::Status &)
{
    QMetaObject::invokeMethod(this, [this] { emit ended(); }, Qt::QueuedConnection);
}

QLostSearchBar::QLostSearchBar(QWidget *parent) : QWidget(parent)
{
    auto *row = new QHBoxLayout(this);
    row->setContentsMargins(2, 1, 2, 1);
    row->setSpacing(3);
    m_search = new QPushButton("Search for lost volumes", this);
    m_search->setToolTip("Read the whole device for volumes its partition table does not show. "
                         "Nothing is written to it.");
    m_search->setAccessibleName("Search for lost volumes");
    m_progress = new QProgressBar(this);
    m_progress->setRange(0, 100);
    m_progress->setAccessibleName("Search progress");
    m_pause = new QPushButton("Pause", this);
    m_pause->setAccessibleName("Pause the search");
    m_stop = new QPushButton("Stop", this);
    m_stop->setAccessibleName("Stop the search");
    m_stop->setToolTip("Stop the search; the volumes found until then are listed");
    for (QPushButton *b : {m_search, m_pause, m_stop})
        b->setStyleSheet("font-size:11px; padding:1px 6px;");
    m_progress->setStyleSheet("font-size:10px;");
    m_progress->setMaximumHeight(18);
    row->addWidget(m_search);
    row->addWidget(m_progress, 1);
    row->addWidget(m_pause);
    row->addWidget(m_stop);
    connect(m_search, &QPushButton::clicked, this, &QLostSearchBar::searchRequested);
    connect(m_pause, &QPushButton::clicked, this, [this] {
        if (!m_job)
            return;
        m_job->setPaused(!m_job->paused());
        showPaused(m_job->paused());
    });
    connect(m_stop, &QPushButton::clicked, this, [this] {
        if (m_job) {
            m_job->job().stop();
            m_stop->setEnabled(false);
            m_pause->setEnabled(false);
            m_progress->setFormat("Stopping...");
        }
    });
    setSearch(nullptr);
}

void QLostSearchBar::showPaused(bool paused)
{
    m_pause->setText(paused ? "Continue" : "Pause");
    m_pause->setAccessibleName(paused ? "Continue the search" : "Pause the search");
    m_progress->setFormat(paused ? "Paused at %p%" : "Searching %p%");
}

void QLostSearchBar::setSearch(QLostSearch *search)
{
    m_job = search;
    m_search->setVisible(!search);
    m_progress->setVisible(search);
    m_pause->setVisible(search);
    m_stop->setVisible(search);
    if (!search)
        return;
    m_progress->setValue(search->job().progress().percent);
    showPaused(search->paused());
    bool stopping = search->job().stopRequested();
    m_pause->setEnabled(!stopping);
    m_stop->setEnabled(!stopping);
    connect(search, &QLostSearch::progressed, m_progress, &QProgressBar::setValue);
}

// ---- the device tree's part ----

bool QTreeCtrlDlg::StartSearch(int devNum)
{
    if (m_search || m_busy || !m_inventory.device(devNum))
        return false;
    m_search = std::make_unique<QLostSearch>(m_inventory, devNum);
    connect(m_search.get(), &QLostSearch::ended, this, &QTreeCtrlDlg::OnSearchEnded);
    // Media events wait (Rebuild), and no scan starts, while the search reads.
    emit ableBtnCtrl(false);
    m_search->job().start();
    CreateTreeWidget();
    return true;
}

salvitra::VolumeSearchJob *QTreeCtrlDlg::searchJob() const
{
    return m_search ? &m_search->job() : nullptr;
}

void QTreeCtrlDlg::OnSearchEnded()
{
    if (!m_search)
        return;
    salvitra::VolumeSearchJob &job = m_search->job();
    salvitra::Status s = job.wait();
    job.release();
    std::string err;
    bool listed = s.code != salvitra::StatusCode::UnreadableMedium && s.code != salvitra::StatusCode::NotSupported &&
                  m_inventory.addSearch(job.result(), &err);
    if (!listed && err.empty())
        err = s.reason;
    m_search.reset();
    if (m_pending && !m_busy) {
        Rebuild();
    } else {
        CreateTreeWidget();
        m_rebuilds++;
    }
    if (!listed)
        QMessageBox::warning(this, "Salvitra",
                             "The search for lost volumes did not complete.\n" + QString::fromStdString(err));
    emit searchFinished(listed);
}

void QTreeCtrlDlg::AddSearchOffer(QTreeWidgetItem *dev, int devNum)
{
    const bool running = m_search && m_search->devNum() == devNum;
    if (!running && !m_inventory.hasUnlistedSpace(devNum))
        return;
    auto *bar = new QLostSearchBar;
    bar->setSearch(running ? m_search.get() : nullptr);
    bar->searchButton()->setEnabled(!m_search && !m_busy);
    connect(bar, &QLostSearchBar::searchRequested, this, [this, devNum] { StartSearch(devNum); });
    m_tree->setItemWidget(dev, 2, bar);
}

void QTreeCtrlDlg::AddChoiceBox(QTreeWidgetItem *row, const salvitra::PartitionInfo &p)
{
    if (!p.ambiguous)
        return;
    auto *box = new QComboBox;
    box->setAccessibleName("File system to scan");
    box->setToolTip("Two file systems pass their checks where this partition starts: choose the one to scan");
    for (const salvitra::FsChoice &c : p.choices) {
        QString text = QString::fromStdString(c.fsLabel);
        if (!c.accepted)
            text += " (unreadable)";
        box->addItem(text, QVariant::fromValue(c.part));
        box->setItemData(box->count() - 1,
                         c.accepted ? QString::fromStdString(c.volumeName) : QString::fromStdString(c.note),
                         Qt::ToolTipRole);
    }
    box->setCurrentIndex(p.chosen);
    box->setStyleSheet("font-size:11px;");
    row->setText(0, row->text(0) + " (ambiguous)");
    row->setToolTip(0, "Two file systems pass their checks where this partition starts. Choose the one to scan "
                       "in the File System column.");
    connect(box, &QComboBox::currentIndexChanged, this, [this, row, box](int i) {
        row->setData(0, PartitionRole, box->itemData(i));
        m_tree->setCurrentItem(row);
        emit ableBtnCtrl(!m_search);
    });
    row->setText(2, QString());
    m_tree->setItemWidget(row, 2, box);
}

void QTreeCtrlDlg::AddFoundVolumes(QTreeWidgetItem *dev, int devNum)
{
    const salvitra::SearchResult *s = m_inventory.lastSearch(devNum);
    if (!s)
        return;
    auto *group = new QTreeWidgetItem(dev);
    QString title = "Found volumes";
    if (s->stopped)
        title += QString(" (the search stopped at %1)").arg(QString::fromStdString(salvitra::humanSize(s->bytesRead)));
    group->setText(0, title);
    group->setIcon(0, QIcon(":/images/disk_icon.png"));
    group->setToolTip(0, "Volumes the search for lost volumes found that no partition table lists. "
                         "Salvitra does not write a partition table: scan them from here.");
    group->setFlags(Qt::ItemIsEnabled);
    for (const salvitra::PartitionInfo &p : m_inventory.partitions()) {
        if (p.devNum != devNum || !p.found)
            continue;
        auto *row = new QTreeWidgetItem(group);
        row->setText(0, QString("%1 (at %2)").arg(QString::fromStdString(p.volumeName),
                                                  QString::fromStdString(salvitra::humanSize(p.offset))));
        row->setText(1, SizeText(p.size));
        row->setText(2, salvitra::fsTreeLabel(p.fsType));
        row->setIcon(0, QIcon(":/images/disk_icon.png"));
        row->setData(0, PartitionRole, QVariant::fromValue(p.part));
        QString tip = QString("Starts at byte %1 of the device").arg(p.offset);
        if (!p.foundHow.empty())
            tip += ";\n" + QString::fromStdString(p.foundHow);
        row->setToolTip(0, tip);
        if (p.foundFlags & (SV_VOL_NESTED | SV_VOL_OVERLAP))
            for (int c = 0; c < 3; c++)
                row->setForeground(c, QColor(0x6b, 0x72, 0x80));
        AddChoiceBox(row, p);
    }
    if (group->childCount() == 0) {
        auto *none = new QTreeWidgetItem(group);
        none->setText(0, "None beyond the partitions listed above");
        none->setFlags(Qt::ItemIsEnabled);
        none->setForeground(0, QColor(0x6b, 0x72, 0x80));
    }
    group->setExpanded(true);
}
