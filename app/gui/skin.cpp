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

namespace skin {
const QColor kInk(0x1f, 0x29, 0x37);
const QColor kMuted(0x5b, 0x67, 0x78);
const QColor kOnBand(0xff, 0xff, 0xff);
const QColor kOnBandMuted(0xc9, 0xd8, 0xee);
}  // namespace skin

void PaintSkin(QPainter &p, const QRect &target, const QImage &img)
{
    if (img.isNull() || target.isEmpty())
        return;
    const QStringList m = img.text("Slices").split(' ', Qt::SkipEmptyParts);
    int l = 0, t = 0, r = 0, b = 0;
    if (m.size() == 4) {
        l = m[0].toInt();
        t = m[1].toInt();
        r = m[2].toInt();
        b = m[3].toInt();
    }
    const int w = img.width(), h = img.height();
    const bool sliced = m.size() == 4 && l >= 0 && t >= 0 && r >= 0 && b >= 0 && l + r <= w && t + b <= h &&
                        l + r <= target.width() && t + b <= target.height();
    if (!sliced) {
        p.drawImage(target, img);
        return;
    }
    const int xs[4] = {0, l, w - r, w}, ys[4] = {0, t, h - b, h};
    const int W = target.width(), H = target.height();
    const int xd[4] = {0, l, W - r, W}, yd[4] = {0, t, H - b, H};
    for (int i = 0; i < 3; i++) {
        for (int j = 0; j < 3; j++) {
            QRect src(xs[i], ys[j], xs[i + 1] - xs[i], ys[j + 1] - ys[j]);
            QRect dst(target.left() + xd[i], target.top() + yd[j], xd[i + 1] - xd[i], yd[j + 1] - yd[j]);
            if (src.isEmpty() || dst.isEmpty())
                continue;
            p.drawImage(dst, img, src);
        }
    }
}

namespace {

QString appPath()
{
    static QString path = QCoreApplication::applicationDirPath() + "/";
    return path;
}

// The background of a skinned page or dialog, for whatever size it has.
bool loadBackground(QWidget *w, QImage &image, const QString &path)
{
    QImage img(path);
    if (img.isNull())
        return false;
    image = img;
    w->update();
    return true;
}

void paintBackground(QWidget *w, const QImage &image)
{
    if (image.isNull())
        return;
    QPainter p(w);
    p.setRenderHint(QPainter::SmoothPixmapTransform);
    PaintSkin(p, w->rect(), image);
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

QImageButton *MakeImageButton(QWidget *parent, const QString &image, const QString &accessibleName)
{
    auto *b = new QImageButton(parent);
    b->setBtnImage(image);
    b->setAccessibleName(accessibleName);
    return b;
}

QWidget *MakeFooter(QWidget *parent, bool dialog)
{
    auto *f = new QWidget(parent);
    f->setObjectName("footer");
    f->setAttribute(Qt::WA_StyledBackground, true);
    f->setStyleSheet(QString("QWidget#footer { background: %1; border-top: 1px solid #d5dbe3; }")
                         .arg(dialog ? "#f1f4f8" : "#e9edf2"));
    return f;
}

QLabel *MakeLabel(QWidget *parent, const QString &text, int px, const QColor &color, bool bold)
{
    auto *l = new QLabel(text, parent);
    l->setStyleSheet(QString("color:%1; font-size:%2px;%3").arg(color.name()).arg(px).arg(bold ? " font-weight:bold;" : ""));
    return l;
}

// ---- QElideLabel ----

QElideLabel::QElideLabel(QWidget *parent) : QLabel(parent)
{
    setTextFormat(Qt::PlainText);
    setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
}

void QElideLabel::setFullText(const QString &text)
{
    m_full = text;
    setToolTip(text);
    setAccessibleName(text);
    elide();
    updateGeometry();
}

QSize QElideLabel::minimumSizeHint() const
{
    return QSize(fontMetrics().horizontalAdvance("..."), QLabel::minimumSizeHint().height());
}

QSize QElideLabel::sizeHint() const
{
    return QSize(fontMetrics().horizontalAdvance(m_full) + 4, QLabel::sizeHint().height());
}

void QElideLabel::resizeEvent(QResizeEvent *e)
{
    QLabel::resizeEvent(e);
    elide();
}

void QElideLabel::elide()
{
    const QString shown = fontMetrics().elidedText(m_full, Qt::ElideMiddle, qMax(0, contentsRect().width()));
    if (shown != text())
        setText(shown);
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
