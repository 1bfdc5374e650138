#include "skin.h"

#include <QCoreApplication>
#include <QEnterEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QStyleOptionButton>

void InitSalvitraResources()
{
    Q_INIT_RESOURCE(images);
}

namespace {

QString appPath()
{
    static QString path = QCoreApplication::applicationDirPath() + "/";
    return path;
}

// The background of a skinned page or dialog: the widget takes the image's size.
bool loadBackground(QWidget *w, QImage &image, const QString &path)
{
    QImage img(path);
    if (img.isNull())
        return false;
    image = img;
    w->setFixedSize(image.size());
    w->update();
    return true;
}

void paintBackground(QWidget *w, const QImage &image)
{
    if (image.isNull())
        return;
    QPainter p(w);
    p.drawImage(0, 0, image);
}

}  // namespace

// ---- QImageWidget ----

QImageWidget::QImageWidget(QWidget *parent) : QWidget(parent)
{
    appPath();
}

bool QImageWidget::SetImageBackgroud(const QString &path)
{
    return loadBackground(this, m_image, path);
}

QString QImageWidget::GetApplicationPath()
{
    return appPath();
}

void QImageWidget::paintEvent(QPaintEvent *)
{
    paintBackground(this, m_image);
}

void QImageWidget::mousePressEvent(QMouseEvent *e)
{
    m_pressed = true;
    QWidget::mousePressEvent(e);
}

void QImageWidget::mouseReleaseEvent(QMouseEvent *e)
{
    m_pressed = false;
    QWidget::mouseReleaseEvent(e);
}

// ---- QImageDialog ----

QImageDialog::QImageDialog(QWidget *parent, Qt::WindowFlags f) : QDialog(parent, f)
{
    appPath();
}

bool QImageDialog::SetImageBackgroud(const QString &path)
{
    return loadBackground(this, m_image, path);
}

QString QImageDialog::GetApplicationPath()
{
    return appPath();
}

void QImageDialog::paintEvent(QPaintEvent *)
{
    paintBackground(this, m_image);
}

void QImageDialog::mousePressEvent(QMouseEvent *e)
{
    m_pressed = true;
    QDialog::mousePressEvent(e);
}

void QImageDialog::mouseReleaseEvent(QMouseEvent *e)
{
    m_pressed = false;
    QDialog::mouseReleaseEvent(e);
}

// ---- QImageButton ----

QImageButton::QImageButton(QWidget *parent) : QPushButton(parent)
{
    setFlat(true);
    setCursor(Qt::PointingHandCursor);
    setMouseTracking(false);
}

void QImageButton::setBtnImage(const QString &path)
{
    QImage img(path);
    if (img.isNull() || img.width() < 4) {
        m_image = QImage();
        update();
        return;
    }
    m_image = img;
    setFixedSize(m_image.width() / 4, m_image.height());
    m_state = isEnabled() ? 0 : 3;
    update();
}

void QImageButton::setState(int s)
{
    if (!isEnabled())
        s = 3;
    if (s == m_state)
        return;
    m_state = s;
    update();
}

void QImageButton::paintEvent(QPaintEvent *)
{
    if (m_image.isNull())
        return;
    QPainter p(this);
    int w = width();
    p.drawImage(rect(), m_image, QRect(m_state * w, 0, w, m_image.height()));
    if (hasFocus() && focusPolicy() != Qt::NoFocus && m_state != 3) {
        QPen pen(QColor(0x2f, 0x7d, 0xe1, 110), 2);
        p.setRenderHint(QPainter::Antialiasing);
        p.setPen(pen);
        p.setBrush(Qt::NoBrush);
        const qreal r = width() > 150 && height() > 100 ? 14 : 6;
        const qreal in = r > 6 ? 3 : 1;
        p.drawRoundedRect(QRectF(rect()).adjusted(in, in, -in, -in), r, r);
    }
}

void QImageButton::enterEvent(QEnterEvent *e)
{
    setState(1);
    QPushButton::enterEvent(e);
}

void QImageButton::leaveEvent(QEvent *e)
{
    if (m_state == 1 || !isEnabled())
        setState(0);
    QPushButton::leaveEvent(e);
}

void QImageButton::mousePressEvent(QMouseEvent *e)
{
    if (e->button() == Qt::LeftButton) {
        m_grab = int(e->globalPosition().x()) - mapToGlobal(QPoint(0, 0)).x();
        setState(2);
    }
    QPushButton::mousePressEvent(e);
}

void QImageButton::mouseReleaseEvent(QMouseEvent *e)
{
    if (e->button() == Qt::LeftButton && m_state == 2)
        setState(0);
    QPushButton::mouseReleaseEvent(e);
}

void QImageButton::mouseMoveEvent(QMouseEvent *e)
{
    if (m_state == 2)
        emit mouseMove(e, m_grab);
    QPushButton::mouseMoveEvent(e);
}

void QImageButton::changeEvent(QEvent *e)
{
    if (e->type() == QEvent::EnabledChange) {
        m_state = isEnabled() ? 0 : 3;
        update();
    }
    QPushButton::changeEvent(e);
}

QImageButton *MakeImageButton(QWidget *parent, const QString &image, int x, int y)
{
    auto *b = new QImageButton(parent);
    b->setBtnImage(image);
    b->move(x, y);
    return b;
}

// ---- QCheckHeaderView ----

QCheckHeaderView::QCheckHeaderView(QWidget *parent) : QHeaderView(Qt::Horizontal, parent)
{
    setSectionsClickable(true);
}

void QCheckHeaderView::setCheckIndex(int index)
{
    m_index = index;
    viewport()->update();
}

void QCheckHeaderView::setCheckState(Qt::CheckState state)
{
    m_state = state;
    updateSection(0);
}

void QCheckHeaderView::paintSection(QPainter *painter, const QRect &rect, int logicalIndex) const
{
    painter->save();
    QHeaderView::paintSection(painter, rect, logicalIndex);
    painter->restore();
    if (logicalIndex != m_index)
        return;
    int x = 0;
    for (int i = 0; i < m_index; i++)
        x += sectionSize(i);
    QStyleOptionButton opt;
    opt.rect = QRect(x + 3, 2, 15, 15);
    opt.state = m_state == Qt::Checked ? QStyle::State_On : QStyle::State_Off;
    if (isEnabled())
        opt.state |= QStyle::State_Enabled;
    style()->drawPrimitive(QStyle::PE_IndicatorCheckBox, &opt, painter);
}

void QCheckHeaderView::mousePressEvent(QMouseEvent *e)
{
    if (logicalIndexAt(e->position().toPoint()) == m_index) {
        m_state = m_state == Qt::Checked ? Qt::Unchecked : Qt::Checked;
        updateSection(m_index);
        emit checkChange(m_state == Qt::Checked);
    }
    QHeaderView::mousePressEvent(e);
}
