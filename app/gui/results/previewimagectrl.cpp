#include "previewimagectrl.h"

#include <QFile>
#include <QImageReader>
#include <QPainter>

#include <algorithm>

namespace {

// Browsers treat GIF delays this short as "no delay given" and show such
// frames for a tenth of a second; a zero delay would otherwise spin.
constexpr int kMinFrameDelayMs = 20;
constexpr int kDefaultFrameDelayMs = 100;

QSize boundedSize(QSize size, int maxSide)
{
    if (maxSide <= 0 || !size.isValid() || (size.width() <= maxSide && size.height() <= maxSide))
        return size;
    return size.scaled(maxSide, maxSide, Qt::KeepAspectRatio);
}

}  // namespace

QPreviewImageCtrl::QPreviewImageCtrl(QWidget *parent) : QWidget(parent)
{
    m_timer.setSingleShot(false);
    connect(&m_timer, &QTimer::timeout, this, &QPreviewImageCtrl::OnTimer);
}

QPreviewImageCtrl::~QPreviewImageCtrl()
{
    stopAnimation();
}

void QPreviewImageCtrl::stopAnimation()
{
    m_timer.stop();
    delete m_movie;
    m_movie = nullptr;
    m_animated = false;
}

QPixmap QPreviewImageCtrl::loadStill(const QString &path) const
{
    QImageReader reader(path);
    reader.setAutoTransform(true);
    QSize size = reader.size();
    QSize want = boundedSize(size, m_maxSide);
    if (want != size && want.isValid())
        reader.setScaledSize(want);
    QImage image = reader.read();
    return image.isNull() ? QPixmap() : QPixmap::fromImage(image);
}

void QPreviewImageCtrl::SetImage(const QString &path)
{
    if (path == m_path)
        return;
    stopAnimation();
    m_animated = isDynamic(path);
    if (m_animated) {
        m_movie = new QMovie(path, QByteArray(), this);
        m_movie->setCacheMode(QMovie::CacheNone);
        QImageReader probe(path);
        QSize want = boundedSize(probe.size(), m_maxSide);
        if (want != probe.size() && want.isValid())
            m_movie->setScaledSize(want);
        m_movie->jumpToFrame(0);
        m_pixmap = m_movie->currentPixmap();
    } else {
        m_pixmap = loadStill(path);
    }
    m_path = path;
    update();
}

void QPreviewImageCtrl::SetPixmap(const QPixmap &pixmap)
{
    stopAnimation();
    m_path.clear();
    m_pixmap = pixmap;
    update();
}

void QPreviewImageCtrl::SetShowStyle(tagPreviewImageStyle style)
{
    m_style = style;
    update();
}

void QPreviewImageCtrl::SetEnableDynamic(bool enable)
{
    m_enableDynamic = enable;
    if (!enable)
        m_timer.stop();
    update();
}

bool QPreviewImageCtrl::IsImage(const QString &path)
{
    QImageReader reader(path);
    if (!reader.canRead())
        return false;
    // Decode a small version: a damaged file is caught without the cost of
    // a full-size picture.
    QSize size = reader.size();
    QSize want = boundedSize(size, 64);
    if (want != size && want.isValid())
        reader.setScaledSize(want);
    QImage image = reader.read();
    return !image.isNull() && image.width() > 0;
}

bool QPreviewImageCtrl::isDynamic(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return false;
    QByteArray head = f.read(6);
    return head == "GIF87a" || head == "GIF89a";
}

void QPreviewImageCtrl::GetDrawRect(QRect &rect)
{
    if (m_style == PreviewNatural) {
        if (!m_pixmap.isNull() && size() != m_pixmap.size())
            resize(m_pixmap.size());
        rect = QRect(0, 0, width(), height());
        return;
    }
    const qint64 W = width(), H = height();
    const qint64 w = m_pixmap.width(), h = m_pixmap.height();
    if (m_style == PreviewCenter && w > 0 && h > 0 && W > 0 && H > 0) {
        const double k = std::min({1.0, double(W) / double(w), double(H) / double(h)});
        const int dw = int(w * k), dh = int(h * k);
        rect = QRect(int(W - dw) / 2, int(H - dh) / 2, dw, dh);
        return;
    }
    if (m_style != PreviewFit || w <= 0 || h <= 0 || W <= 0 || H <= 0) {
        rect = QRect(0, 0, width(), height());
        return;
    }
    if (W * h < H * w) {
        // Wider than the control: span the width.
        int dh = (int)(W * h / w);
        rect = QRect(0, (int)(H - dh) / 2, (int)W, dh);
    } else {
        int dw = (int)(H * w / h);
        rect = QRect((int)(W - dw) / 2, 0, dw, (int)H);
    }
}

void QPreviewImageCtrl::paintEvent(QPaintEvent *)
{
    QRect r;
    GetDrawRect(r);
    if (!m_pixmap.isNull()) {
        QPainter p(this);
        p.setRenderHint(QPainter::SmoothPixmapTransform);
        p.drawPixmap(r, m_pixmap);
    }
    if (m_enableDynamic && m_animated && m_movie && !m_timer.isActive() && m_movie->frameCount() != 1)
        m_timer.start(0);
}

void QPreviewImageCtrl::OnTimer()
{
    if (!m_animated || !m_movie || !m_enableDynamic) {
        m_timer.stop();
        return;
    }
    if (m_movie->frameCount() == 1) {
        // A still GIF: nothing to step through.
        m_timer.stop();
        return;
    }
    int delay = m_movie->nextFrameDelay();
    m_timer.start(delay < kMinFrameDelayMs ? kDefaultFrameDelayMs : delay);
    if (!m_movie->jumpToNextFrame() && !m_movie->jumpToFrame(0)) {
        m_timer.stop();
        return;
    }
    m_pixmap = m_movie->currentPixmap();
    update();
}
