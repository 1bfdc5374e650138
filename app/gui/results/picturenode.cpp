#include "picturenode.h"

#include <QFile>
#include <QFontMetrics>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QPainter>
#include <QVBoxLayout>

namespace {

// Thumbnails never need more pixels than this.
constexpr int kThumbDecodeSide = 256;

QString printable(const QString &s)
{
    QString out = s;
    for (QChar &c : out) {
        if (c.category() == QChar::Other_Control || c.category() == QChar::Other_Format)
            c = QChar::ReplacementCharacter;
    }
    return out;
}

}  // namespace

QPictureNode::QPictureNode(QWidget *parent) : QWidget(parent)
{
    setObjectName("picutureNode");
    resize(234, 194);
    auto *grid = new QGridLayout(this);
    grid->setContentsMargins(3, 3, 3, 1);
    grid->setSpacing(0);
    auto *column = new QVBoxLayout();
    column->setSpacing(1);
    m_preview = new QPreviewImageCtrl(this);
    m_preview->setObjectName("previewCtrl");
    m_preview->SetMaxDecodeSide(kThumbDecodeSide);
    m_preview->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    column->addWidget(m_preview, 1);
    auto *row = new QHBoxLayout();
    m_check = new QCheckBox(this);
    m_check->setObjectName("checkBox");
    m_check->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
    QFont small = m_check->font();
    small.setPixelSize(11);
    m_check->setFont(small);
    row->addWidget(m_check);
    column->addLayout(row);
    grid->addLayout(column, 0, 0);
    m_preview->SetShowStyle(PreviewFit);
    connect(m_check, &QCheckBox::clicked, this, &QPictureNode::OnBtnCheck);
}

QPixmap QPictureNode::notAvailablePixmap(QSize size)
{
    static const char *const kResource = ":/images/bg_Thumb_Not_Available.png";
    if (QFile::exists(kResource))
        return QPixmap(kResource);
    // Drawn here when the program carries no such image: a page with lines
    // and the words below it, scaled to the size asked for.
    const qreal k = qMax<qreal>(0.5, qMin(size.width() / 92.0, size.height() / 80.0));
    QPixmap pm(size);
    pm.fill(QColor(242, 242, 242));
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    p.translate((size.width() - 92 * k) / 2, (size.height() - 80 * k) / 2);
    p.scale(k, k);
    p.setPen(QPen(QColor(190, 190, 190), 2));
    p.drawRoundedRect(QRectF(30, 12, 32, 40), 3, 3);
    p.drawLine(38, 24, 54, 24);
    p.drawLine(38, 32, 54, 32);
    p.drawLine(38, 40, 48, 40);
    QFont f = p.font();
    f.setPixelSize(10);
    p.setFont(f);
    p.setPen(QColor(130, 130, 130));
    p.drawText(QRect(0, 56, 92, 20), Qt::AlignCenter, QObject::tr("Not Available"));
    return pm;
}

QPixmap QPictureNode::waitingPixmap(QSize size)
{
    QPixmap pm(size);
    pm.fill(QColor(246, 247, 249));
    QPainter p(&pm);
    QFont f = p.font();
    f.setPixelSize(10);
    p.setFont(f);
    p.setPen(QColor(150, 150, 150));
    p.drawText(QRect(QPoint(0, 0), size), Qt::AlignCenter, QObject::tr("Loading..."));
    return pm;
}

void QPictureNode::SetWaiting()
{
    m_preview->SetPixmap(waitingPixmap());
    m_image.clear();
}

void QPictureNode::SetPicture(const QString &path, const QImage &picture)
{
    if (picture.isNull() && !path.isEmpty()) {
        SetImage(path);
        return;
    }
    if (picture.isNull())
        m_preview->SetPixmap(notAvailablePixmap());
    else
        m_preview->SetPixmap(QPixmap::fromImage(picture));
    m_image = path;
}

void QPictureNode::SetImage(const QString &path)
{
    if (QPreviewImageCtrl::IsImage(path))
        m_preview->SetImage(path);
    else
        m_preview->SetPixmap(notAvailablePixmap());
    m_image = path;
}

void QPictureNode::SetText(const QString &text)
{
    m_text = text;
    m_check->setToolTip(printable(text));
    elideText();
}

void QPictureNode::elideText()
{
    // Room left beside the box's indicator, inside the tile's margins.
    int room = width() - 6 - 21;
    QString shown = printable(m_text);
    if (room > 10)
        shown = m_check->fontMetrics().elidedText(shown, Qt::ElideMiddle, room);
    m_check->setText(shown);
}

void QPictureNode::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    elideText();
}

void QPictureNode::SetCheck(bool check)
{
    m_check->setChecked(check);
}

bool QPictureNode::GetCheck() const
{
    return m_check->isChecked();
}

void QPictureNode::SetPreviewStyle(unsigned int bits)
{
    m_style = bits;
    m_check->setVisible(bits & PictureShowCheck);
    update();
}

void QPictureNode::OnBtnCheck()
{
    emit checkChanged(this, m_check->isChecked());
}

void QPictureNode::paintEvent(QPaintEvent *)
{
    if (!(m_style & PictureDrawBorder))
        return;
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QColor(200, 200, 200));
    p.drawRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 4, 4);
}
