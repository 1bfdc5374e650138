#include "pagedthumbviewer.h"

#include <QHBoxLayout>
#include <QRegularExpressionValidator>
#include <QScrollBar>
#include <QSignalBlocker>
#include <QVBoxLayout>

QPagedThumbViewer::QPagedThumbViewer(QWidget *parent) : QWidget(parent)
{
    setObjectName("QPagedThumbViewer");
    setWindowTitle("Form");
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 2);
    layout->setSpacing(2);
    auto *row = new QHBoxLayout();
    row->setContentsMargins(6, 0, 6, 0);
    m_checkAll = new QCheckBox(tr("Check All"), this);
    m_checkAll->setObjectName("m_checkAll");
    m_btnPrevious = new QPushButton("<<", this);
    m_btnPrevious->setObjectName("m_btnPrevious");
    m_btnPrevious->setAccessibleName(tr("Previous Page"));
    m_btnPrevious->setToolTip(tr("Previous page"));
    m_label = new QLabel("1000/2000", this);
    m_label->setObjectName("label");
    m_label->setAlignment(Qt::AlignCenter);
    m_label->setMinimumWidth(60);
    m_btnNext = new QPushButton(">>", this);
    m_btnNext->setObjectName("m_btnNext");
    m_btnNext->setAccessibleName(tr("Next Page"));
    m_btnNext->setToolTip(tr("Next page"));
    m_edtPage = new QLineEdit(this);
    m_edtPage->setObjectName("m_edtPage");
    m_edtPage->setMaximumWidth(44);
    m_edtPage->setAccessibleName(tr("Page number"));
    m_btnGo = new QPushButton(tr("Go"), this);
    m_btnGo->setObjectName("m_btnGo");
    m_btnGo->setAccessibleName(tr("Go to Page"));
    for (QPushButton *b : {m_btnPrevious, m_btnNext, m_btnGo})
        b->setMaximumWidth(qMax(40, b->sizeHint().width()));
    row->addWidget(m_checkAll);
    row->addStretch(1);
    row->addWidget(m_btnPrevious);
    row->addWidget(m_label);
    row->addWidget(m_btnNext);
    row->addSpacing(8);
    row->addWidget(m_edtPage);
    row->addWidget(m_btnGo);
    layout->addLayout(row);

    m_scroll = new QScrollArea(this);
    m_scroll->setFrameShape(QFrame::NoFrame);
    m_scroll->setStyleSheet("QScrollArea{background-color:rgb(255,255,255);}");
    m_scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_grid = new QThumbViewerWidget();
    m_grid->setStyleSheet("background-color:rgb(255,255,255);");
    m_scroll->setWidget(m_grid);
    // As many tiles to a row as the view's width holds.
    m_scroll->viewport()->installEventFilter(this);
    layout->insertWidget(0, m_scroll, 1);

    m_edtPage->setValidator(
        new QRegularExpressionValidator(QRegularExpression("[1-9][0-9]{0,2}"), m_edtPage));
    connect(m_grid, &QThumbViewerWidget::itemCheckChanged, this, &QPagedThumbViewer::OnCheckChange);
    connect(m_btnPrevious, &QPushButton::clicked, this, &QPagedThumbViewer::OnBtnPrevious);
    connect(m_btnNext, &QPushButton::clicked, this, &QPagedThumbViewer::OnBtnNext);
    connect(m_btnGo, &QPushButton::clicked, this, &QPagedThumbViewer::OnBtnGo);
    connect(m_edtPage, &QLineEdit::returnPressed, this, &QPagedThumbViewer::OnBtnGo);
    connect(m_checkAll, &QCheckBox::clicked, this, &QPagedThumbViewer::OnCheckAllChange);
    RedrawByData();
}

QPagedThumbViewer::~QPagedThumbViewer()
{
    qDeleteAll(m_items);
}

bool QPagedThumbViewer::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_scroll->viewport() && event->type() == QEvent::Resize)
        m_grid->setColumns(QThumbViewerWidget::columnsFor(m_scroll->viewport()->width()));
    return QWidget::eventFilter(watched, event);
}

int QPagedThumbViewer::pageCount() const
{
    return (m_items.size() + kPageSize - 1) / kPageSize;
}

void QPagedThumbViewer::AddItem(const QString &image, const QString &text, bool ticked, void *data,
                                int index)
{
    if (index < 0 || index >= m_items.size())
        index = m_items.size();
    auto *item = new ThumbItem{image, text, ticked, data};
    m_items.insert(index, item);
    m_version++;
    InitRef(ticked);
    const int first = m_page * kPageSize;
    if (index >= first && index < first + kPageSize) {
        addTile(item, index - first);
        if (m_grid->GetItemCount() > kPageSize)
            m_grid->DeleteItem(kPageSize);  // pushed on to the next page
    }
    setBox(GetRef());
}

void QPagedThumbViewer::DeleteItem(int index)
{
    if (m_items.isEmpty())
        return;
    if (!IsValid(index))
        index = m_items.size() - 1;
    ThumbItem *item = m_items.takeAt(index);
    m_version++;
    DelRef(item->ticked);
    for (int i = 0; i < m_grid->GetItemCount(); i++) {
        if (m_grid->GetItemData(i) == item) {
            m_grid->DeleteItem(i);
            break;
        }
    }
    delete item;
    setBox(GetRef());
}

void QPagedThumbViewer::ClearItems()
{
    ResetRef();
    m_grid->ClearItems();
    qDeleteAll(m_items);
    m_items.clear();
    m_version++;
    m_page = 0;
    RedrawByData();
}

void QPagedThumbViewer::Reset()
{
    setBox(Qt::Unchecked);
    ClearItems();
}

void *QPagedThumbViewer::GetItemData(int index) const
{
    return IsValid(index) ? m_items[index]->data : nullptr;
}

void QPagedThumbViewer::SetItemData(int index, void *data)
{
    if (IsValid(index))
        m_items[index]->data = data;
}

bool QPagedThumbViewer::GetItemCheck(int index) const
{
    return IsValid(index) && m_items[index]->ticked;
}

void QPagedThumbViewer::SetItemCheck(int index, bool ticked)
{
    if (!IsValid(index) || m_items[index]->ticked == ticked)
        return;
    m_items[index]->ticked = ticked;
    MoveRef(ticked);
    int tile = index - m_page * kPageSize;
    if (m_grid->IsValid(tile))
        m_grid->SetItemCheck(tile, ticked);
    setBox(GetRef());
}

QString QPagedThumbViewer::GetItemText(int index) const
{
    return IsValid(index) ? m_items[index]->text : QString();
}

void QPagedThumbViewer::SetItemText(int index, const QString &text)
{
    if (!IsValid(index))
        return;
    m_items[index]->text = text;
    int tile = index - m_page * kPageSize;
    if (m_grid->IsValid(tile))
        m_grid->SetItemText(tile, text);
}

void QPagedThumbViewer::ChangePage(int page)
{
    m_page = page;
    RedrawByData();
    RedrawItem();
}

Qt::CheckState QPagedThumbViewer::GetCheckAll() const
{
    return m_checkAll->checkState();
}

void QPagedThumbViewer::SetCheckAll(Qt::CheckState state)
{
    setBox(state);
}

void QPagedThumbViewer::setBox(Qt::CheckState state)
{
    QSignalBlocker block(m_checkAll);
    m_checkAll->setCheckState(state);
}

void QPagedThumbViewer::RedrawByData()
{
    const int pages = pageCount();
    if (m_page > pages - 1)
        m_page = pages - 1;
    if (m_page < 0)
        m_page = 0;
    m_edtPage->setText(QString::asprintf("%d", m_page + 1));
    m_label->setText(QString::asprintf("%d/%d", m_page + 1, pages));
    updateButtons();
}

void QPagedThumbViewer::updateButtons()
{
    m_btnPrevious->setEnabled(m_page > 0);
    m_btnNext->setEnabled(m_page + 1 < pageCount());
}

void QPagedThumbViewer::RedrawItem()
{
    m_version++;
    emit pageAboutToShow(m_page);
    m_grid->ClearItems();
    m_scroll->verticalScrollBar()->setValue(0);
    // Tiles cost no decoding here: pictures come decoded, or later.
    const int first = m_page * kPageSize;
    for (int i = first; i < first + kPageSize && i < (int)m_items.size(); i++)
        addTile(m_items[i], -1);
}

void QPagedThumbViewer::addTile(ThumbItem *item, int at)
{
    const bool waiting = !item->answered && item->image.isEmpty() && item->picture.isNull() && m_provider;
    const int tile = m_grid->AddItem(waiting ? QString() : item->image, item->text, item->ticked, item, at,
                                     item->picture, waiting);
    (void)tile;
    if (waiting)
        m_provider(m_items.indexOf(item), *item);
}

void QPagedThumbViewer::SetItemPicture(int index, const QString &image, const QImage &picture)
{
    if (!IsValid(index))
        return;
    ThumbItem *item = m_items[index];
    item->image = image;
    item->picture = picture;
    item->answered = true;
    for (int i = 0; i < m_grid->GetItemCount(); i++) {
        if (m_grid->GetItemData(i) == item) {
            m_grid->GetItem(i)->SetPicture(image, picture);
            break;
        }
    }
}

void QPagedThumbViewer::OnBtnPrevious()
{
    if (m_page <= 0)
        return;
    m_page--;
    RedrawByData();
    RedrawItem();
}

void QPagedThumbViewer::OnBtnNext()
{
    if (m_page + 1 >= pageCount())
        return;
    m_page++;
    RedrawByData();
    RedrawItem();
}

void QPagedThumbViewer::OnBtnGo()
{
    bool ok = false;
    int page = m_edtPage->text().toInt(&ok) - 1;
    if (!ok || page < 0)
        return;
    if (page >= pageCount())
        page = pageCount() - 1;  // past the end: the last page
    if (page != m_page)
        ChangePage(page);
    else
        RedrawByData();
}

void QPagedThumbViewer::OnCheckAllChange()
{
    // A click ticks everything unless the box was fully ticked: the
    // partly-ticked state is only ever shown, never chosen.
    const bool ticked = m_checkAll->checkState() != Qt::Unchecked;
    setBox(ticked ? Qt::Checked : Qt::Unchecked);
    for (ThumbItem *item : m_items)
        item->ticked = ticked;
    for (int i = 0; i < m_grid->GetItemCount(); i++)
        m_grid->SetItemCheck(i, ticked);
    ResetRef();
    for (ThumbItem *item : m_items)
        InitRef(item->ticked);
    emit checkAllChanged(ticked);
}

void QPagedThumbViewer::OnCheckChange(int index, bool checked)
{
    auto *item = static_cast<ThumbItem *>(m_grid->GetItemData(index));
    if (!item)
        return;
    if (item->ticked != checked) {
        item->ticked = checked;
        MoveRef(checked);
    }
    setBox(GetRef());
    emit checkChanged(item->data);
    emit OnItemCheckCganged(m_page * kPageSize + index, checked);
}

void QPagedThumbViewer::ResetRef()
{
    m_ticked = m_unticked = 0;
}

void QPagedThumbViewer::InitRef(bool &ticked)
{
    (ticked ? m_ticked : m_unticked)++;
}

void QPagedThumbViewer::DelRef(bool &ticked)
{
    quint64 &n = ticked ? m_ticked : m_unticked;
    if (n > 0)
        n--;
}

void QPagedThumbViewer::MoveRef(bool &ticked)
{
    quint64 &from = ticked ? m_unticked : m_ticked;
    quint64 &to = ticked ? m_ticked : m_unticked;
    if (from > 0)
        from--;
    to++;
}

Qt::CheckState QPagedThumbViewer::GetRef() const
{
    if (m_unticked == 0 && m_ticked > 0)
        return Qt::Checked;
    if (m_ticked > 0)
        return Qt::PartiallyChecked;
    return Qt::Unchecked;
}
