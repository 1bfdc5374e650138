// Paints every image of the program's look into a folder and writes the
// resource list (images.qrc) that compiles them in under ":/images/".
// Run at build time; the same sources always give the same pictures.
//
// usage: salvitra-artgen OUTDIR
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <QTextStream>

#include <functional>
#include <vector>

#include "../tsan_qt.h"

namespace {

// One palette for everything.
const QColor kInk(0x1f, 0x29, 0x37);
const QColor kMuted(0x5b, 0x67, 0x78);
const QColor kPaper(0xf4, 0xf6, 0xf9);
const QColor kLine(0xd5, 0xdb, 0xe3);
const QColor kBand(0x1d, 0x35, 0x57);
const QColor kBand2(0x27, 0x4b, 0x7a);
const QColor kAccent(0x2f, 0x7d, 0xe1);
const QColor kQuick(0x12, 0x9e, 0x87);
const QColor kDeep(0x58, 0x5c, 0xc6);
const QColor kDanger(0xd1, 0x4b, 0x4b);
const QColor kOk(0x2e, 0xa0, 0x5a);
const QColor kDisabledFill(0xdc, 0xe0, 0xe6);
const QColor kDisabledText(0x93, 0x9b, 0xa7);

const char *kFamily = "DejaVu Sans";

QFont font(int px, bool bold = false)
{
    QFont f(kFamily);
    f.setPixelSize(px);
    f.setBold(bold);
    f.setHintingPreference(QFont::PreferFullHinting);
    return f;
}

QImage canvas(int w, int h)
{
    QImage img(w, h, QImage::Format_ARGB32_Premultiplied);
    img.fill(Qt::transparent);
    return img;
}

void prepare(QPainter &p)
{
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);
    p.setRenderHint(QPainter::SmoothPixmapTransform);
}

// ---- icons (drawn into any square) ----

void drawLogo(QPainter &p, const QRectF &r)
{
    qreal s = r.width();
    QLinearGradient g(r.topLeft(), r.bottomRight());
    g.setColorAt(0, QColor(0x3a, 0x8d, 0xf0));
    g.setColorAt(1, QColor(0x23, 0x4e, 0x9c));
    p.setPen(Qt::NoPen);
    p.setBrush(g);
    p.drawRoundedRect(r, s * 0.22, s * 0.22);
    // A circular arrow around a small card: "bring back".
    QPointF c = r.center();
    qreal rad = s * 0.30;
    QPen pen(Qt::white, s * 0.085, Qt::SolidLine, Qt::RoundCap);
    p.setPen(pen);
    p.setBrush(Qt::NoBrush);
    QRectF arc(c.x() - rad, c.y() - rad, 2 * rad, 2 * rad);
    p.drawArc(arc, 60 * 16, 290 * 16);
    // Arrow head at the arc's start (60 degrees).
    QPointF tip(c.x() + rad * 0.5, c.y() - rad * 0.866);
    QPainterPath head;
    head.moveTo(tip + QPointF(s * 0.13, -s * 0.02));
    head.lineTo(tip + QPointF(-s * 0.02, -s * 0.12));
    head.lineTo(tip + QPointF(-s * 0.01, s * 0.10));
    head.closeSubpath();
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::white);
    p.drawPath(head);
    QRectF card(c.x() - s * 0.10, c.y() - s * 0.13, s * 0.20, s * 0.26);
    p.drawRoundedRect(card, s * 0.03, s * 0.03);
    p.setBrush(QColor(0x2f, 0x6f, 0xc8));
    p.drawRect(QRectF(card.left() + s * 0.04, card.top() + s * 0.07, s * 0.12, s * 0.025));
    p.drawRect(QRectF(card.left() + s * 0.04, card.top() + s * 0.13, s * 0.12, s * 0.025));
}

void drawDisk(QPainter &p, const QRectF &r, const QColor &body)
{
    qreal s = r.width();
    QRectF box(r.left() + s * 0.06, r.top() + s * 0.22, s * 0.88, s * 0.56);
    p.setPen(QPen(body.darker(140), qMax<qreal>(1.0, s / 16)));
    QLinearGradient g(box.topLeft(), box.bottomLeft());
    g.setColorAt(0, body.lighter(135));
    g.setColorAt(1, body);
    p.setBrush(g);
    p.drawRoundedRect(box, s * 0.12, s * 0.12);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0x3d, 0xd6, 0x8c));
    p.drawEllipse(QPointF(box.right() - s * 0.17, box.center().y()), s * 0.07, s * 0.07);
    p.setBrush(body.darker(150));
    p.drawRect(QRectF(box.left() + s * 0.14, box.center().y() - s * 0.03, s * 0.4, s * 0.07));
}

// A disk with a padlock in front: a device that opens after authentication.
void drawLockedDisk(QPainter &p, const QRectF &r)
{
    qreal s = r.width();
    drawDisk(p, QRectF(r.left(), r.top() - s * 0.12, s * 0.8, s * 0.8), QColor(0x8c, 0x9b, 0xb0));
    QRectF body(r.left() + s * 0.45, r.top() + s * 0.55, s * 0.5, s * 0.42);
    p.setPen(QPen(QColor(0xa8, 0x6f, 0x00), qMax<qreal>(1.2, s * 0.1)));
    p.setBrush(Qt::NoBrush);
    p.drawArc(QRectF(body.left() + s * 0.1, body.top() - s * 0.22, s * 0.3, s * 0.4), 0, 180 * 16);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0xe8, 0xa2, 0x17));
    p.drawRoundedRect(body, s * 0.06, s * 0.06);
    p.setBrush(QColor(0x6b, 0x46, 0x00));
    p.drawEllipse(QPointF(body.center().x(), body.center().y()), s * 0.06, s * 0.06);
}

void drawFolder(QPainter &p, const QRectF &r, const QColor &c)
{
    qreal s = r.width();
    QPainterPath path;
    path.moveTo(r.left() + s * 0.06, r.top() + s * 0.22);
    path.lineTo(r.left() + s * 0.40, r.top() + s * 0.22);
    path.lineTo(r.left() + s * 0.50, r.top() + s * 0.32);
    path.lineTo(r.right() - s * 0.06, r.top() + s * 0.32);
    path.lineTo(r.right() - s * 0.06, r.bottom() - s * 0.14);
    path.lineTo(r.left() + s * 0.06, r.bottom() - s * 0.14);
    path.closeSubpath();
    p.setPen(QPen(c.darker(135), qMax<qreal>(1.0, s / 16)));
    p.setBrush(c);
    p.drawPath(path);
}

void drawPhoto(QPainter &p, const QRectF &r)
{
    qreal s = r.width();
    QRectF f(r.left() + s * 0.08, r.top() + s * 0.18, s * 0.84, s * 0.64);
    p.setPen(QPen(QColor(0x2c, 0x7a, 0x4b), qMax<qreal>(1.0, s / 16)));
    p.setBrush(QColor(0xe6, 0xf6, 0xec));
    p.drawRoundedRect(f, s * 0.08, s * 0.08);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0xf2, 0xb1, 0x34));
    p.drawEllipse(QPointF(f.left() + f.width() * 0.72, f.top() + f.height() * 0.3), s * 0.08, s * 0.08);
    QPainterPath hill;
    hill.moveTo(f.left() + 1, f.bottom() - 1);
    hill.lineTo(f.left() + f.width() * 0.38, f.top() + f.height() * 0.42);
    hill.lineTo(f.left() + f.width() * 0.62, f.top() + f.height() * 0.72);
    hill.lineTo(f.left() + f.width() * 0.75, f.top() + f.height() * 0.58);
    hill.lineTo(f.right() - 1, f.bottom() - 1);
    hill.closeSubpath();
    p.setBrush(QColor(0x33, 0x9a, 0x5c));
    p.drawPath(hill);
}

void drawAudio(QPainter &p, const QRectF &r)
{
    qreal s = r.width();
    QColor c(0xc0, 0x4a, 0x8e);
    p.setPen(Qt::NoPen);
    p.setBrush(c);
    p.drawEllipse(QPointF(r.left() + s * 0.30, r.top() + s * 0.74), s * 0.15, s * 0.12);
    p.drawEllipse(QPointF(r.left() + s * 0.72, r.top() + s * 0.64), s * 0.15, s * 0.12);
    QPen pen(c, s * 0.09);
    pen.setCapStyle(Qt::FlatCap);
    p.setPen(pen);
    p.drawLine(QPointF(r.left() + s * 0.42, r.top() + s * 0.74), QPointF(r.left() + s * 0.42, r.top() + s * 0.2));
    p.drawLine(QPointF(r.left() + s * 0.84, r.top() + s * 0.64), QPointF(r.left() + s * 0.84, r.top() + s * 0.12));
    p.drawLine(QPointF(r.left() + s * 0.42, r.top() + s * 0.22), QPointF(r.left() + s * 0.84, r.top() + s * 0.14));
}

void drawVideo(QPainter &p, const QRectF &r)
{
    qreal s = r.width();
    QColor c(0xd8, 0x6b, 0x1f);
    QRectF f(r.left() + s * 0.06, r.top() + s * 0.2, s * 0.88, s * 0.6);
    p.setPen(QPen(c.darker(130), qMax<qreal>(1.0, s / 16)));
    p.setBrush(QColor(0xfd, 0xee, 0xdf));
    p.drawRoundedRect(f, s * 0.1, s * 0.1);
    QPainterPath tri;
    tri.moveTo(f.left() + f.width() * 0.4, f.top() + f.height() * 0.25);
    tri.lineTo(f.left() + f.width() * 0.68, f.center().y());
    tri.lineTo(f.left() + f.width() * 0.4, f.bottom() - f.height() * 0.25);
    tri.closeSubpath();
    p.setPen(Qt::NoPen);
    p.setBrush(c);
    p.drawPath(tri);
}

void drawAll(QPainter &p, const QRectF &r)
{
    qreal s = r.width();
    QColor c(0x4a, 0x66, 0x8c);
    p.setPen(QPen(c, qMax<qreal>(1.0, s / 16)));
    p.setBrush(QColor(0xe8, 0xee, 0xf6));
    for (int i = 0; i < 3; i++) {
        QRectF sheet(r.left() + s * (0.14 + 0.1 * i), r.top() + s * (0.30 - 0.1 * i), s * 0.5, s * 0.6);
        p.drawRoundedRect(sheet, s * 0.06, s * 0.06);
    }
}

void drawMagnifier(QPainter &p, const QRectF &r, const QColor &c)
{
    qreal s = r.width();
    p.setPen(QPen(c, s * 0.09, Qt::SolidLine, Qt::RoundCap));
    p.setBrush(Qt::NoBrush);
    QPointF ctr(r.left() + s * 0.42, r.top() + s * 0.42);
    p.drawEllipse(ctr, s * 0.26, s * 0.26);
    p.drawLine(ctr + QPointF(s * 0.19, s * 0.19), QPointF(r.right() - s * 0.1, r.bottom() - s * 0.1));
}

void drawLayers(QPainter &p, const QRectF &r, const QColor &c)
{
    qreal s = r.width();
    p.setPen(QPen(c, s * 0.06, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    for (int i = 0; i < 3; i++) {
        qreal y = r.top() + s * (0.3 + 0.18 * i);
        QPainterPath d;
        d.moveTo(r.left() + s * 0.1, y);
        d.lineTo(r.center().x(), y - s * 0.14);
        d.lineTo(r.right() - s * 0.1, y);
        d.lineTo(r.center().x(), y + s * 0.14);
        d.closeSubpath();
        QColor fill = c;
        fill.setAlpha(60 + 60 * i);
        p.setBrush(fill);
        p.drawPath(d);
    }
}

// ---- buttons: four frames side by side (normal, hover, pressed, disabled) ----

enum class Look { Primary, Secondary, Danger, Success, OnBand };

struct FrameColors {
    QColor fill, border, text;
};

FrameColors frameColors(Look look, int state)
{
    QColor base, text = Qt::white, border;
    switch (look) {
    case Look::Primary: base = kAccent; break;
    case Look::Danger: base = kDanger; break;
    case Look::Success: base = kOk; break;
    case Look::OnBand: base = QColor(0x35, 0x5a, 0x8c); break;
    case Look::Secondary:
        base = Qt::white;
        text = kInk;
        border = kLine.darker(115);
        break;
    }
    if (!border.isValid())
        border = base.darker(120);
    FrameColors f{base, border, text};
    if (state == 1)
        f.fill = look == Look::Secondary ? QColor(0xea, 0xf2, 0xfd) : base.lighter(112);
    if (state == 2)
        f.fill = look == Look::Secondary ? QColor(0xd6, 0xe5, 0xfa) : base.darker(118);
    if (state == 3) {
        f.fill = kDisabledFill;
        f.border = kDisabledFill.darker(110);
        f.text = kDisabledText;
    }
    return f;
}

using Glyph = std::function<void(QPainter &, const QRectF &, const QColor &)>;

QImage textButton(int w, int h, const QString &text, Look look, int px = 13, const Glyph &glyph = {})
{
    QImage img = canvas(w * 4, h);
    QPainter p(&img);
    prepare(p);
    for (int s = 0; s < 4; s++) {
        FrameColors c = frameColors(look, s);
        QRectF r(s * w + 1, 1, w - 2, h - 2);
        if (s == 2)
            r.translate(0, 0.5);
        p.setPen(QPen(c.border, 1));
        p.setBrush(c.fill);
        p.drawRoundedRect(r, 6, 6);
        QRectF tr = r;
        if (glyph) {
            qreal g = h * 0.5;
            QFontMetricsF fm(font(px, true));
            qreal total = g + 6 + fm.horizontalAdvance(text);
            qreal x0 = r.center().x() - total / 2;
            glyph(p, QRectF(x0, r.center().y() - g / 2, g, g), c.text);
            tr = QRectF(x0 + g + 6, r.top(), total - g - 6 + 2, r.height());
        }
        p.setPen(c.text);
        p.setFont(font(px, true));
        p.drawText(tr, Qt::AlignCenter, text);
    }
    return img;
}

// A square tool button with a glyph; "current" strips show the selected look
// in their disabled frame (a page shows its current view as a disabled button).
QImage toolButton(int w, int h, const Glyph &glyph, bool current)
{
    QImage img = canvas(w * 4, h);
    QPainter p(&img);
    prepare(p);
    for (int s = 0; s < 4; s++) {
        QRectF r(s * w + 1, 1, w - 2, h - 2);
        QColor fill = s == 1 ? QColor(0xea, 0xf2, 0xfd) : s == 2 ? QColor(0xd6, 0xe5, 0xfa) : Qt::white;
        QColor ink = kMuted;
        QColor border = kLine.darker(110);
        if (s == 3) {
            if (current) {
                fill = kAccent;
                ink = Qt::white;
                border = kAccent.darker(115);
            } else {
                fill = kDisabledFill;
                ink = kDisabledText;
            }
        }
        p.setPen(QPen(border, 1));
        p.setBrush(fill);
        p.drawRoundedRect(r, 5, 5);
        qreal g = qMin(w, h) * 0.62;
        glyph(p, QRectF(r.center().x() - g / 2, r.center().y() - g / 2, g, g), ink);
    }
    return img;
}

// Tabs of the options page: the current tab is the disabled one.
QImage tabButton(int w, int h, const QString &text, bool current)
{
    QImage img = canvas(w * 4, h);
    QPainter p(&img);
    prepare(p);
    for (int s = 0; s < 4; s++) {
        QRectF r(s * w + 1, 1, w - 2, h + 6);
        QColor fill = s == 1 ? QColor(0xea, 0xf2, 0xfd) : s == 2 ? QColor(0xd6, 0xe5, 0xfa) : QColor(0xe9, 0xed, 0xf2);
        QColor ink = kMuted;
        if (s == 3) {
            fill = current ? Qt::white : kDisabledFill;
            ink = current ? kAccent.darker(110) : kDisabledText;
        }
        p.setPen(QPen(kLine.darker(110), 1));
        p.setBrush(fill);
        p.drawRoundedRect(r, 6, 6);
        if (s == 3 && current) {
            p.setPen(Qt::NoPen);
            p.setBrush(kAccent);
            p.drawRect(QRectF(r.left() + 8, 2, r.width() - 16, 3));
        }
        p.setPen(ink);
        p.setFont(font(13, true));
        p.drawText(QRectF(s * w, 0, w, h), Qt::AlignCenter, text);
    }
    return img;
}

// Big cards of the home page.
QImage homeCard(int w, int h, const QString &title, const QString &line1, const QString &line2,
                const QColor &tint, bool deep)
{
    QImage img = canvas(w * 4, h);
    QPainter p(&img);
    prepare(p);
    for (int s = 0; s < 4; s++) {
        QRectF r(s * w + 3, 3, w - 6, h - 6);
        if (s == 2)
            r.translate(0, 1);
        // soft shadow
        for (int i = 3; i >= 1; i--) {
            p.setPen(Qt::NoPen);
            p.setBrush(QColor(0, 0, 0, 10 * (4 - i)));
            p.drawRoundedRect(r.translated(0, i), 14, 14);
        }
        QColor fill = Qt::white;
        if (s == 1)
            fill = QColor(0xf5, 0xf9, 0xff);
        if (s == 2)
            fill = QColor(0xe8, 0xf0, 0xfb);
        QColor border = s == 1 || s == 2 ? tint : kLine;
        if (s == 3) {
            fill = QColor(0xee, 0xf0, 0xf3);
            border = kLine;
        }
        p.setPen(QPen(border, s == 1 || s == 2 ? 2 : 1));
        p.setBrush(fill);
        p.drawRoundedRect(r, 14, 14);
        QColor t = s == 3 ? kDisabledText : tint;
        // icon disc
        QPointF ic(r.left() + 58, r.top() + 62);
        p.setPen(Qt::NoPen);
        QColor disc = t;
        disc.setAlpha(36);
        p.setBrush(disc);
        p.drawEllipse(ic, 36, 36);
        QRectF gr(ic.x() - 22, ic.y() - 22, 44, 44);
        if (deep)
            drawLayers(p, gr, t);
        else
            drawMagnifier(p, gr, t);
        p.setPen(s == 3 ? kDisabledText : kInk);
        p.setFont(font(22, true));
        p.drawText(QRectF(r.left() + 108, r.top() + 36, r.width() - 116, 30), Qt::AlignLeft | Qt::AlignVCenter, title);
        p.setPen(s == 3 ? kDisabledText : kMuted);
        p.setFont(font(12));
        p.drawText(QRectF(r.left() + 108, r.top() + 68, r.width() - 116, 18), Qt::AlignLeft | Qt::AlignVCenter, line1);
        p.drawText(QRectF(r.left() + 24, r.top() + 112, r.width() - 48, 60), Qt::AlignLeft | Qt::TextWordWrap, line2);
        // call to action
        QRectF cta(r.left() + 24, r.bottom() - 44, r.width() - 48, 30);
        p.setPen(Qt::NoPen);
        p.setBrush(s == 3 ? kDisabledFill : (s == 2 ? t.darker(115) : t));
        p.drawRoundedRect(cta, 8, 8);
        p.setPen(s == 3 ? kDisabledText : QColor(Qt::white));
        p.setFont(font(13, true));
        p.drawText(cta, Qt::AlignCenter, deep ? "Start Deep Scan" : "Start Quick Scan");
    }
    return img;
}

// ---- backgrounds ----
//
// Backgrounds are decoration only: every text and control of a page is a
// widget of its layout.  Each carries the margins ("Slices": left top right
// bottom) that a stretched page keeps at their size; the parts between them
// stretch (QImageWidget paints them that way).

void setSlices(QImage &img, int l, int t, int r, int b)
{
    img.setText("Slices", QString("%1 %2 %3 %4").arg(l).arg(t).arg(r).arg(b));
}

// The top band every page shares, with the logo at its left when asked.
void band(QPainter &p, int w, int h, const QColor &accent, bool logo)
{
    QLinearGradient g(0, 0, w, 0);
    g.setColorAt(0, kBand);
    g.setColorAt(1, kBand2);
    p.fillRect(QRect(0, 0, w, h), g);
    p.fillRect(QRect(0, h - 3, w, 3), accent);
    if (logo)
        drawLogo(p, QRectF(14, (h - 3 - 30) / 2.0, 30, 30));
}

// A page under the menu bar: the band (with the logo left of the page's
// title) above paper.
QImage pageBackground(const QColor &accent, int bandH, bool logo)
{
    const int w = 720, h = 450;
    QImage img = canvas(w, h);
    QPainter p(&img);
    prepare(p);
    p.fillRect(img.rect(), kPaper);
    band(p, w, bandH, accent, logo);
    p.end();
    setSlices(img, logo ? 54 : 0, bandH, 0, 0);
    return img;
}

QImage homeBackground()
{
    const int w = 720, h = 450;
    QImage img = canvas(w, h);
    QPainter p(&img);
    prepare(p);
    QLinearGradient g(0, 0, 0, h);
    g.setColorAt(0, QColor(0xea, 0xf1, 0xfa));
    g.setColorAt(1, kPaper);
    p.fillRect(img.rect(), g);
    // header
    QLinearGradient hb(0, 0, w, 0);
    hb.setColorAt(0, kBand);
    hb.setColorAt(1, kBand2);
    p.fillRect(QRect(0, 0, w, 100), hb);
    // calm arcs at the header's right end
    p.setClipRect(QRect(0, 0, w, 100));
    p.setPen(QPen(QColor(255, 255, 255, 22), 18));
    p.setBrush(Qt::NoBrush);
    p.drawEllipse(QPointF(640, 20), 120, 120);
    p.drawEllipse(QPointF(640, 20), 70, 70);
    p.setClipping(false);
    drawLogo(p, QRectF(28, 22, 56, 56));
    p.end();
    setSlices(img, 100, 100, 230, 0);
    return img;
}

// White, with the accent along the top.
QImage dialogBackground(int w, int h)
{
    QImage img = canvas(w, h);
    QPainter p(&img);
    prepare(p);
    p.fillRect(img.rect(), Qt::white);
    p.fillRect(QRect(0, 0, w, 4), kAccent);
    p.end();
    setSlices(img, 0, 4, 0, 0);
    return img;
}

QImage placeholder(int w, int h, const QString &headline, const QString &line, const Glyph &glyph, const QColor &tint)
{
    QImage img = canvas(w, h);
    QPainter p(&img);
    prepare(p);
    p.fillRect(img.rect(), Qt::white);
    p.setPen(QPen(kLine, 1, Qt::DashLine));
    p.setBrush(QColor(0xf8, 0xfa, 0xfc));
    p.drawRoundedRect(QRectF(10.5, 10.5, w - 21, h - 21), 10, 10);
    qreal g = 44;
    qreal top = h / 2.0 - 50;
    glyph(p, QRectF(w / 2.0 - g / 2, top, g, g), tint);
    p.setPen(kInk);
    p.setFont(font(14, true));
    p.drawText(QRectF(20, top + g + 8, w - 40, 22), Qt::AlignCenter, headline);
    p.setPen(kMuted);
    p.setFont(font(12));
    p.drawText(QRectF(30, top + g + 30, w - 60, 36), Qt::AlignHCenter | Qt::AlignTop | Qt::TextWordWrap, line);
    return img;
}

QImage icon(int size, const std::function<void(QPainter &, const QRectF &)> &draw)
{
    QImage img = canvas(size, size);
    QPainter p(&img);
    prepare(p);
    draw(p, QRectF(0, 0, size, size));
    return img;
}

// ---- glyphs for tool buttons ----

void gGrid(QPainter &p, const QRectF &r, const QColor &c)
{
    p.setPen(Qt::NoPen);
    p.setBrush(c);
    qreal s = r.width() / 2 - 1.5;
    for (int i = 0; i < 2; i++)
        for (int j = 0; j < 2; j++)
            p.drawRoundedRect(QRectF(r.left() + i * (s + 3), r.top() + j * (s + 3), s, s), 1.5, 1.5);
}

void gList(QPainter &p, const QRectF &r, const QColor &c)
{
    p.setPen(Qt::NoPen);
    p.setBrush(c);
    for (int i = 0; i < 4; i++)
        p.drawRoundedRect(QRectF(r.left(), r.top() + i * r.height() / 4 + 1, r.width(), r.height() / 8 + 0.5), 1, 1);
}

void gPreview(QPainter &p, const QRectF &r, const QColor &c)
{
    p.setPen(QPen(c, 1.5));
    p.setBrush(Qt::NoBrush);
    p.drawRoundedRect(QRectF(r.left(), r.top(), r.width(), r.height() * 0.5), 1.5, 1.5);
    p.setPen(Qt::NoPen);
    p.setBrush(c);
    for (int i = 0; i < 2; i++)
        p.drawRect(QRectF(r.left(), r.top() + r.height() * (0.65 + 0.22 * i), r.width(), r.height() * 0.12));
}

void gSpin(QPainter &p, const QRectF &r, const QColor &c)
{
    p.setPen(QPen(c, 2, Qt::SolidLine, Qt::RoundCap));
    p.setBrush(Qt::NoBrush);
    p.drawArc(r.adjusted(1, 1, -1, -1), 30 * 16, 300 * 16);
}

void gPlus(QPainter &p, const QRectF &r, const QColor &c)
{
    p.setPen(QPen(c, 2, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(r.center().x(), r.top() + 1), QPointF(r.center().x(), r.bottom() - 1));
    p.drawLine(QPointF(r.left() + 1, r.center().y()), QPointF(r.right() - 1, r.center().y()));
}

void gMinus(QPainter &p, const QRectF &r, const QColor &c)
{
    p.setPen(QPen(c, 2, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(r.left() + 1, r.center().y()), QPointF(r.right() - 1, r.center().y()));
}

void gPause(QPainter &p, const QRectF &r, const QColor &c)
{
    p.setPen(Qt::NoPen);
    p.setBrush(c);
    p.drawRoundedRect(QRectF(r.left() + r.width() * 0.15, r.top(), r.width() * 0.25, r.height()), 1, 1);
    p.drawRoundedRect(QRectF(r.left() + r.width() * 0.6, r.top(), r.width() * 0.25, r.height()), 1, 1);
}

void gPlay(QPainter &p, const QRectF &r, const QColor &c)
{
    QPainterPath t;
    t.moveTo(r.left() + r.width() * 0.15, r.top());
    t.lineTo(r.right(), r.center().y());
    t.lineTo(r.left() + r.width() * 0.15, r.bottom());
    t.closeSubpath();
    p.setPen(Qt::NoPen);
    p.setBrush(c);
    p.drawPath(t);
}

void gStop(QPainter &p, const QRectF &r, const QColor &c)
{
    p.setPen(Qt::NoPen);
    p.setBrush(c);
    p.drawRoundedRect(r.adjusted(1, 1, -1, -1), 2, 2);
}

void gBack(QPainter &p, const QRectF &r, const QColor &c)
{
    p.setPen(QPen(c, 2.2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(Qt::NoBrush);
    QPainterPath a;
    a.moveTo(r.center().x() + 1, r.top() + 1);
    a.lineTo(r.left() + 2, r.center().y());
    a.lineTo(r.center().x() + 1, r.bottom() - 1);
    p.drawPath(a);
    p.drawLine(QPointF(r.left() + 2, r.center().y()), QPointF(r.right(), r.center().y()));
}

void gHome(QPainter &p, const QRectF &r, const QColor &c)
{
    p.setPen(QPen(c, 2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(Qt::NoBrush);
    QPainterPath a;
    a.moveTo(r.left(), r.center().y());
    a.lineTo(r.center().x(), r.top() + 1);
    a.lineTo(r.right(), r.center().y());
    p.drawPath(a);
    p.drawRect(QRectF(r.left() + r.width() * 0.2, r.center().y(), r.width() * 0.6, r.height() * 0.45));
}

void gDownload(QPainter &p, const QRectF &r, const QColor &c)
{
    p.setPen(QPen(c, 2.2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(Qt::NoBrush);
    p.drawLine(QPointF(r.center().x(), r.top()), QPointF(r.center().x(), r.bottom() - 4));
    QPainterPath a;
    a.moveTo(r.left() + 2, r.center().y() - 1);
    a.lineTo(r.center().x(), r.bottom() - 4);
    a.lineTo(r.right() - 2, r.center().y() - 1);
    p.drawPath(a);
    p.drawLine(QPointF(r.left(), r.bottom()), QPointF(r.right(), r.bottom()));
}

void gCheckCircle(QPainter &p, const QRectF &r, const QColor &)
{
    p.setPen(Qt::NoPen);
    p.setBrush(kOk);
    p.drawEllipse(r);
    p.setPen(QPen(Qt::white, r.width() * 0.1, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    QPainterPath t;
    t.moveTo(r.left() + r.width() * 0.28, r.top() + r.height() * 0.52);
    t.lineTo(r.left() + r.width() * 0.44, r.top() + r.height() * 0.68);
    t.lineTo(r.left() + r.width() * 0.74, r.top() + r.height() * 0.36);
    p.setBrush(Qt::NoBrush);
    p.drawPath(t);
}

void gInfoCircle(QPainter &p, const QRectF &r, const QColor &)
{
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0xf0, 0xa2, 0x2e));
    p.drawEllipse(r);
    p.setPen(Qt::white);
    QFont f = font(int(r.height() * 0.62), true);
    p.setFont(f);
    p.drawText(r, Qt::AlignCenter, "!");
}

void gDiskGlyph(QPainter &p, const QRectF &r, const QColor &c)
{
    drawDisk(p, r, c);
}

void gBroken(QPainter &p, const QRectF &r, const QColor &c)
{
    p.setPen(QPen(c, 2.5, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(Qt::NoBrush);
    QPainterPath a;
    a.moveTo(r.left() + r.width() * 0.1, r.top());
    a.lineTo(r.left() + r.width() * 0.5, r.top());
    a.lineTo(r.left() + r.width() * 0.4, r.center().y());
    a.lineTo(r.left() + r.width() * 0.55, r.bottom());
    a.lineTo(r.left() + r.width() * 0.1, r.bottom());
    a.closeSubpath();
    p.drawPath(a);
    QPainterPath b;
    b.moveTo(r.left() + r.width() * 0.62, r.top());
    b.lineTo(r.right() - r.width() * 0.1, r.top());
    b.lineTo(r.right() - r.width() * 0.1, r.bottom());
    b.lineTo(r.left() + r.width() * 0.68, r.bottom());
    b.lineTo(r.left() + r.width() * 0.53, r.center().y());
    b.closeSubpath();
    p.drawPath(b);
}

void gEye(QPainter &p, const QRectF &r, const QColor &c)
{
    p.setPen(QPen(c, 2.2));
    p.setBrush(Qt::NoBrush);
    QPainterPath e;
    e.moveTo(r.left(), r.center().y());
    e.quadTo(r.center().x(), r.top() - r.height() * 0.2, r.right(), r.center().y());
    e.quadTo(r.center().x(), r.bottom() + r.height() * 0.2, r.left(), r.center().y());
    p.drawPath(e);
    p.setBrush(c);
    p.drawEllipse(r.center(), r.width() * 0.12, r.width() * 0.12);
}

// ---- the application's icon for the desktop (hicolor theme) ----

// The logo as SVG, drawn with the same geometry as drawLogo into a square of
// `size` units with `inset` units of margin.
QString logoSvg(double size, double inset)
{
    const double x0 = inset, s = size - 2 * inset;
    const double cx = x0 + s / 2, cy = x0 + s / 2, rad = s * 0.30;
    auto n = [](double v) { return QString::number(v, 'f', 2); };
    const double sx = cx + rad * 0.5, sy = cy - rad * 0.866;           // arc start, 60 degrees
    const double ex = cx + rad * 0.98481, ey = cy + rad * 0.17365;      // arc end, 350 degrees
    QString head = QString("M%1 %2 L%3 %4 L%5 %6 Z")
                       .arg(n(sx + s * 0.13), n(sy - s * 0.02), n(sx - s * 0.02), n(sy - s * 0.12),
                            n(sx - s * 0.01), n(sy + s * 0.10));
    const double cardX = cx - s * 0.10, cardY = cy - s * 0.13;
    QString svg;
    QTextStream t(&svg);
    t << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << size << "\" height=\"" << size
      << "\" viewBox=\"0 0 " << size << " " << size << "\">\n"
      << "  <defs>\n"
      << "    <linearGradient id=\"face\" gradientUnits=\"userSpaceOnUse\" x1=\"" << n(x0) << "\" y1=\"" << n(x0)
      << "\" x2=\"" << n(x0 + s) << "\" y2=\"" << n(x0 + s) << "\">\n"
      << "      <stop offset=\"0\" stop-color=\"#3a8df0\"/>\n"
      << "      <stop offset=\"1\" stop-color=\"#234e9c\"/>\n"
      << "    </linearGradient>\n"
      << "  </defs>\n"
      << "  <rect x=\"" << n(x0) << "\" y=\"" << n(x0) << "\" width=\"" << n(s) << "\" height=\"" << n(s)
      << "\" rx=\"" << n(s * 0.22) << "\" fill=\"url(#face)\"/>\n"
      << "  <path d=\"M" << n(sx) << " " << n(sy) << " A" << n(rad) << " " << n(rad) << " 0 1 0 " << n(ex) << " "
      << n(ey) << "\" fill=\"none\" stroke=\"#ffffff\" stroke-width=\"" << n(s * 0.085)
      << "\" stroke-linecap=\"round\"/>\n"
      << "  <path d=\"" << head << "\" fill=\"#ffffff\"/>\n"
      << "  <rect x=\"" << n(cardX) << "\" y=\"" << n(cardY) << "\" width=\"" << n(s * 0.20) << "\" height=\""
      << n(s * 0.26) << "\" rx=\"" << n(s * 0.03) << "\" fill=\"#ffffff\"/>\n";
    for (double dy : {0.07, 0.13})
        t << "  <rect x=\"" << n(cardX + s * 0.04) << "\" y=\"" << n(cardY + s * dy) << "\" width=\"" << n(s * 0.12)
          << "\" height=\"" << n(s * 0.025) << "\" fill=\"#2f6fc8\"/>\n";
    t << "</svg>\n";
    return svg;
}

// hicolor/<N>x<N>/apps/<id>.png for the theme's sizes, and
// hicolor/scalable/apps/<id>.svg.
int writeAppIcons(const QString &out, const QString &id)
{
    for (int size : {16, 22, 24, 32, 48, 64, 128, 256, 512}) {
        QString dir = QString("%1/hicolor/%2x%2/apps").arg(out).arg(size);
        QDir().mkpath(dir);
        double inset = size / 16.0;
        QImage img = icon(size, [inset](QPainter &p, const QRectF &r) {
            drawLogo(p, r.adjusted(inset, inset, -inset, -inset));
        });
        if (!img.save(dir + "/" + id + ".png", "PNG")) {
            fprintf(stderr, "salvitra-artgen: cannot write %s\n", qPrintable(dir));
            return 1;
        }
    }
    QString dir = out + "/hicolor/scalable/apps";
    QDir().mkpath(dir);
    QFile f(dir + "/" + id + ".svg");
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        fprintf(stderr, "salvitra-artgen: cannot write %s\n", qPrintable(f.fileName()));
        return 1;
    }
    f.write(logoSvg(128, 8).toUtf8());
    return 0;
}

struct Entry {
    QString name;
    QImage image;
};

}  // namespace

int main(int argc, char **argv)
{
    QGuiApplication app(argc, argv);
    if (argc == 4 && QString(argv[1]) == "--app-icons")
        return writeAppIcons(QString::fromLocal8Bit(argv[2]), QString::fromLocal8Bit(argv[3]));
    if (argc < 2) {
        fprintf(stderr, "usage: salvitra-artgen OUTDIR | --app-icons OUTDIR ID\n");
        return 2;
    }
    QString out = QString::fromLocal8Bit(argv[1]);
    QDir().mkpath(out);

    std::vector<Entry> e;
    auto add = [&](const QString &name, const QImage &img) { e.push_back({name, img}); };

    // Window and pages (720 x 450 under the menu bar).
    add("bg_main.png", homeBackground());
    add("bg_quick_select.png", pageBackground(kQuick, 48, true));
    add("bg_deep_select.png", pageBackground(kDeep, 48, true));
    add("bg_scaning.png", pageBackground(kQuick, 64, false));
    add("bg_deep_scanning.png", pageBackground(kDeep, 64, false));
    add("bg_baby_finish.png", pageBackground(kQuick, 64, false));
    add("bg_baby_height_finish.png", pageBackground(kQuick, 64, false));
    add("bg_deep_finish.png", pageBackground(kDeep, 64, false));
    add("bg_height_deep_finish.png", pageBackground(kDeep, 64, false));

    // Home page.
    add("btn_quick.png", homeCard(300, 250, "Quick Scan", "Deleted files, in minutes",
                                  "Looks through the file system's own records for files that were deleted. "
                                  "Names and folders are kept.", kQuick, false));
    add("btn_deep.png", homeCard(300, 250, "Deep Scan", "Every file, sector by sector",
                                 "Reads the whole partition: files with their names, and every other "
                                 "file by its content, even after formatting.", kDeep, true));
    add("btn_help.png", textButton(86, 30, "Help", Look::Secondary, 12));
    add("btn_about.png", textButton(86, 30, "About", Look::Secondary, 12));
    add("icon_logo.png", icon(64, [](QPainter &p, const QRectF &r) { drawLogo(p, r.adjusted(2, 2, -2, -2)); }));

    // Disk page.
    add("btn_home.png", textButton(100, 32, "Home", Look::Secondary, 13, gHome));
    add("button_scan.png", textButton(100, 32, "Scan", Look::Primary, 14, [](QPainter &p, const QRectF &r, const QColor &c) { drawMagnifier(p, r, c); }));
    add("btn_optiton.png", textButton(100, 32, "Options", Look::Secondary, 13));
    add("btn_open_image.png", textButton(160, 32, "Open Disk Image...", Look::Secondary, 13));
    add("btn_save_image.png", textButton(160, 32, "Save Disk Image...", Look::Secondary, 13));
    add("btn_save_report.png", textButton(118, 32, "Save Report...", Look::Secondary, 12));
    add("disk_icon.png", icon(16, [](QPainter &p, const QRectF &r) { drawDisk(p, r, QColor(0x8c, 0x9b, 0xb0)); }));
    add("lock_icon.png", icon(16, drawLockedDisk));

    // Options page.
    add("bg_optiton.png", dialogBackground(440, 410));
    add("btn_king.png", tabButton(100, 28, "Kind", false));
    add("btn_Kind_hide.png", tabButton(100, 28, "Kind", true));
    add("btn_region.png", tabButton(100, 28, "Region", false));
    add("btn_Region_hide.png", tabButton(100, 28, "Region", true));
    add("btn_mark.png", textButton(76, 28, "All", Look::Secondary, 12));
    add("btn_select.png", textButton(76, 28, "Select", Look::Secondary, 12));
    add("btn_unselect.png", textButton(76, 28, "None", Look::Secondary, 12));
    add("btn_cancel.png", textButton(96, 32, "Cancel", Look::Secondary, 13));
    add("icon_file.png", icon(16, [](QPainter &p, const QRectF &r) { drawFolder(p, r, QColor(0xf2, 0xc1, 0x4e)); }));
    add("icon_photo.png", icon(16, [](QPainter &p, const QRectF &r) { drawPhoto(p, r); }));
    add("icon_audio.png", icon(16, [](QPainter &p, const QRectF &r) { drawAudio(p, r); }));
    add("icon_video.png", icon(16, [](QPainter &p, const QRectF &r) { drawVideo(p, r); }));
    add("icon_all.png", icon(16, [](QPainter &p, const QRectF &r) { drawAll(p, r); }));
    {
        QImage track = canvas(330, 13);
        QPainter p(&track);
        prepare(p);
        p.setPen(QPen(kLine.darker(110), 1));
        p.setBrush(QColor(0xe4, 0xe8, 0xee));
        p.drawRoundedRect(QRectF(0.5, 3.5, 329, 6), 3, 3);
        p.end();
        add("slider_bg.png", track);
        QImage top = canvas(330, 13);
        QPainter q(&top);
        prepare(q);
        q.setPen(Qt::NoPen);
        q.setBrush(kAccent);
        q.drawRect(QRectF(0, 3.5, 330, 6));
        q.end();
        add("slider_top.png", top);
        QImage handle = canvas(14 * 4, 19);
        QPainter h(&handle);
        prepare(h);
        for (int s = 0; s < 4; s++) {
            QColor fill = s == 3 ? kDisabledFill : s == 2 ? kAccent.darker(115) : s == 1 ? kAccent.lighter(110) : kAccent;
            h.setPen(QPen(Qt::white, 1.5));
            h.setBrush(fill);
            h.drawRoundedRect(QRectF(s * 14 + 1, 1, 12, 17), 4, 4);
        }
        h.end();
        add("btn_slider.png", handle);
    }

    // Scanning page.
    add("btn_back.png", textButton(96, 32, "Back", Look::OnBand, 13, gBack));
    add("btn_recover.png", textButton(110, 32, "Recover", Look::Success, 14, gDownload));
    add("btn_pause.png", textButton(96, 32, "Pause", Look::OnBand, 13, gPause));
    add("btn_continue.png", textButton(96, 32, "Resume", Look::OnBand, 13, gPlay));
    add("btn_stop.png", textButton(96, 32, "Stop", Look::Danger, 13, gStop));
    add("btn_preview1.png", toolButton(32, 28, gGrid, false));
    add("btn_preview2.png", toolButton(32, 28, gList, false));
    add("btn_preview3.png", toolButton(32, 28, gPreview, false));
    add("btn_preview4.png", toolButton(32, 28, gSpin, false));
    add("btn_thumbnail_hide.png", toolButton(32, 28, gGrid, true));
    add("btn_list_hide.png", toolButton(32, 28, gList, true));
    add("btn_Preview_hide.png", toolButton(32, 28, gPreview, true));
    add("btn_spin_hide.png", toolButton(32, 28, gSpin, true));
    add("btn_plus.png", toolButton(22, 22, gPlus, false));
    add("btn_minus.png", toolButton(22, 22, gMinus, false));
    const QString pickLine = "Pick a file in the list below to see it here.";
    add("bg_step_available.png", placeholder(520, 199, "Preview", pickLine, gEye, kAccent));
    add("bg_height_available.png", placeholder(520, 225, "Preview", pickLine, gEye, kAccent));
    const QString naLine = "Only pictures can be previewed. The file can still be recovered.";
    add("bg_not_available.png", placeholder(520, 199, "No preview for this file", naLine, gInfoCircle, kAccent));
    add("bg_heiht_not_available.png", placeholder(520, 225, "No preview for this file", naLine, gInfoCircle, kAccent));
    const QString brokenLine = "Parts of this file may have been overwritten.";
    add("bg_corrupted.png", placeholder(520, 199, "This picture cannot be shown", brokenLine, gBroken, kDanger));
    add("bg_heigh_corrupted.png", placeholder(520, 225, "This picture cannot be shown", brokenLine, gBroken, kDanger));
    {
        QImage t = canvas(96, 72);
        QPainter p(&t);
        prepare(p);
        p.fillRect(t.rect(), QColor(0xf1, 0xf4, 0xf8));
        p.setPen(QPen(kLine, 1));
        p.drawRect(QRectF(0.5, 0.5, 95, 71));
        drawPhoto(p, QRectF(32, 10, 32, 32));
        p.setPen(kMuted);
        p.setFont(font(10));
        p.drawText(QRectF(0, 46, 96, 20), Qt::AlignCenter, "No preview");
        p.end();
        add("bg_Thumb_Not_Available.png", t);
    }

    // Small dialogs.
    add("bg_message.png", dialogBackground(430, 160));
    add("icon_question.png", icon(44, [](QPainter &p, const QRectF &r) { gInfoCircle(p, r, kAccent); }));
    add("msg_btn_ok.png", textButton(96, 32, "OK", Look::Primary, 13));
    add("msg_btn_stop.png", textButton(96, 32, "Stop", Look::Danger, 13));
    add("msg_btn_back.png", textButton(96, 32, "Go Back", Look::Primary, 13));
    add("msg_btn_exit.png", textButton(96, 32, "Exit", Look::Danger, 13));
    add("bg_progress.png", dialogBackground(560, 120));
    add("icon_recovering.png", icon(28, [](QPainter &p, const QRectF &r) { gDiskGlyph(p, r, kAccent); }));
    add("bg_recoverPath.png", dialogBackground(430, 170));
    add("icon_folder_in.png", icon(22, [](QPainter &p, const QRectF &r) { gDownload(p, r, kAccent); }));
    add("btn_browse.png", textButton(84, 26, "Browse...", Look::Secondary, 12));
    add("btn_ok.png", textButton(84, 32, "OK", Look::Primary, 13));
    add("bg_open_path.png", dialogBackground(420, 180));
    add("icon_done.png", icon(40, [](QPainter &p, const QRectF &r) { gCheckCircle(p, r, kOk); }));
    add("btn_check.png", textButton(140, 32, "Done", Look::Success, 13));
    add("btn_open_folder.png", textButton(140, 32, "Open Folder", Look::Primary, 13));

    QFile qrc(out + "/images.qrc");
    if (!qrc.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        fprintf(stderr, "salvitra-artgen: cannot write %s\n", qPrintable(qrc.fileName()));
        return 1;
    }
    QTextStream ts(&qrc);
    ts << "<RCC>\n  <qresource prefix=\"/images\">\n";
    for (const Entry &en : e) {
        QString path = out + "/" + en.name;
        if (!en.image.save(path, "PNG")) {
            fprintf(stderr, "salvitra-artgen: cannot write %s\n", qPrintable(path));
            return 1;
        }
        ts << "    <file alias=\"" << en.name << "\">" << en.name << "</file>\n";
    }
    ts << "  </qresource>\n</RCC>\n";
    return 0;
}
