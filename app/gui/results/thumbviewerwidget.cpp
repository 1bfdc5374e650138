#include "thumbviewerwidget.h"

#include <QTimerEvent>

QThumbViewerWidget::QThumbViewerWidget(QWidget *parent) : QWidget(parent) {}

QThumbViewerWidget::~QThumbViewerWidget()
{
    if (m_timerId)
        killTimer(m_timerId);
}

QRect QThumbViewerWidget::cellRect(int i, int columns)
{
    columns = qMax(1, columns);
    return QRect(kMargin + kStepX * (i % columns), kMargin + kStepY * (i / columns), kTileWidth, kTileHeight);
}

int QThumbViewerWidget::columnsFor(int width)
{
    return qMax(1, (width - kMargin - kTileWidth) / kStepX + 1);
}

void QThumbViewerWidget::setColumns(int columns)
{
    columns = qMax(1, columns);
    if (columns == m_columns)
        return;
    m_columns = columns;
    RePosCtrl(0);
    scheduleResize();
}

int QThumbViewerWidget::AddItem(const QString &image, const QString &text, bool check, void *data,
                                int index, const QImage &picture, bool waiting)
{
    if (index < 0 || index >= m_items.size())
        index = m_items.size();
    auto *node = new QPictureNode(this);
    if (waiting)
        node->SetWaiting();
    else if (!picture.isNull())
        node->SetPicture(image, picture);
    else
        node->SetImage(image);
    if (!text.isEmpty())
        node->SetText(text);
    node->SetCheck(check);
    node->SetData(data);
    node->setEnabled(m_enabled);
    node->SetPreviewStyle(PictureShowCheck | PictureDrawBorder);
    m_items.insert(index, node);
    RePosCtrl(index);
    node->show();
    connect(node, &QPictureNode::checkChanged, this, &QThumbViewerWidget::OnItemCheckChanged);
    scheduleResize();
    return index;
}

void QThumbViewerWidget::DeleteItem(int index)
{
    if (m_items.isEmpty())
        return;
    if (!IsValid(index))
        index = m_items.size() - 1;
    QPictureNode *node = m_items.takeAt(index);
    node->close();
    delete node;
    RePosCtrl(index);
    scheduleResize();
    update();
}

void QThumbViewerWidget::ClearItems()
{
    for (QPictureNode *node : m_items)
        delete node;
    m_items.clear();
    scheduleResize();
}

void QThumbViewerWidget::SetItemCheck(int index, bool check)
{
    if (IsValid(index))
        m_items[index]->SetCheck(check);
}

bool QThumbViewerWidget::GetItemCheck(int index) const
{
    return IsValid(index) && m_items[index]->GetCheck();
}

void QThumbViewerWidget::SetItemData(int index, void *data)
{
    if (IsValid(index))
        m_items[index]->SetData(data);
}

void *QThumbViewerWidget::GetItemData(int index) const
{
    return IsValid(index) ? m_items[index]->GetData() : nullptr;
}

void QThumbViewerWidget::SetItemText(int index, const QString &text)
{
    if (IsValid(index))
        m_items[index]->SetText(text);
}

QString QThumbViewerWidget::GetItemText(int index) const
{
    return IsValid(index) ? m_items[index]->GetText() : QString();
}

void QThumbViewerWidget::RePosCtrl(int from)
{
    for (int i = qMax(0, from); i < m_items.size(); i++)
        m_items[i]->setGeometry(cellRect(i, m_columns));
}

void QThumbViewerWidget::adjustSize()
{
    scheduleResize();
}

void QThumbViewerWidget::scheduleResize()
{
    if (m_resizePending)
        return;
    m_resizePending = true;
    m_timerId = startTimer(0);
}

void QThumbViewerWidget::timerEvent(QTimerEvent *event)
{
    if (event->timerId() != m_timerId) {
        QWidget::timerEvent(event);
        return;
    }
    int rows = (m_items.size() + m_columns - 1) / m_columns;
    resize(kMargin + kStepX * (m_columns - 1) + kTileWidth, kStepY * rows);
    killTimer(m_timerId);
    m_timerId = 0;
    m_resizePending = false;
}

void QThumbViewerWidget::OnItemCheckChanged(void *node, bool check)
{
    emit itemCheckChanged(m_items.indexOf(static_cast<QPictureNode *>(node)), check);
}
