// The skinned building blocks every page and dialog is made of: widgets
// painted from a background image, buttons painted from a four-frame strip
// (normal, hover, pressed, disabled) and a header with a check box.
//
// Pages and dialogs place their controls with layouts; a background is
// stretched to whatever size the layout gives, keeping the margins its
// image names ("Slices") at their own size.
#pragma once

#include <QDialog>
#include <QHeaderView>
#include <QImage>
#include <QLabel>
#include <QPushButton>
#include <QString>
#include <QWidget>

class QBoxLayout;

// Loads the compiled-in images; call once before the first widget.
void InitSalvitraResources();

// Paints img over target: the margins of its "Slices" text (left top right
// bottom) keep their size, the rest stretches.  Without slices, or when the
// target is smaller than the margins, the whole image is scaled.
void PaintSkin(QPainter &p, const QRect &target, const QImage &img);

class QImageWidget : public QWidget {
    Q_OBJECT
public:
    explicit QImageWidget(QWidget *parent = nullptr);
    // The background for any size the layout gives; false when the image
    // cannot be loaded.
    bool SetImageBackgroud(const QString &path);
    static QString GetApplicationPath();

protected:
    void paintEvent(QPaintEvent *e) override;
    void mousePressEvent(QMouseEvent *e) override;
    void mouseReleaseEvent(QMouseEvent *e) override;

private:
    QImage m_image;
    bool m_pressed = false;
};

class QImageDialog : public QDialog {
    Q_OBJECT
public:
    explicit QImageDialog(QWidget *parent = nullptr, Qt::WindowFlags f = Qt::WindowFlags());
    bool SetImageBackgroud(const QString &path);
    static QString GetApplicationPath();

protected:
    void paintEvent(QPaintEvent *e) override;
    void mousePressEvent(QMouseEvent *e) override;
    void mouseReleaseEvent(QMouseEvent *e) override;

private:
    QImage m_image;
    bool m_pressed = false;
};

// A button drawn from a picture: it has no text of its own, so it carries
// an accessible name (what a screen reader says) and, for pictures without
// words, the same text as a tooltip.
class QImageButton : public QPushButton {
    Q_OBJECT
public:
    explicit QImageButton(QWidget *parent = nullptr);
    // Loads a strip of four frames; the button takes the size of one frame.
    // A strip that cannot be loaded leaves the size and draws nothing.
    void setBtnImage(const QString &path);
    int state() const { return m_state; }

signals:
    void mouseMove(QMouseEvent *e, int grabOffset);

protected:
    void paintEvent(QPaintEvent *e) override;
    void enterEvent(QEnterEvent *e) override;
    void leaveEvent(QEvent *e) override;
    void mousePressEvent(QMouseEvent *e) override;
    void mouseReleaseEvent(QMouseEvent *e) override;
    void mouseMoveEvent(QMouseEvent *e) override;
    void changeEvent(QEvent *e) override;

private:
    void setState(int s);

    QImage m_image;
    int m_state = 0;
    int m_grab = 0;
};

class QCheckHeaderView : public QHeaderView {
    Q_OBJECT
public:
    explicit QCheckHeaderView(QWidget *parent = nullptr);
    void setCheckIndex(int index);
    void setCheckState(Qt::CheckState state);
    Qt::CheckState getCheckState() const { return m_state; }

signals:
    void checkChange(bool checked);

protected:
    void paintSection(QPainter *painter, const QRect &rect, int logicalIndex) const override;
    void mousePressEvent(QMouseEvent *e) override;

private:
    Qt::CheckState m_state = Qt::Unchecked;
    int m_index = 0;
};

// A button of the size of its image frame, named for screen readers.
QImageButton *MakeImageButton(QWidget *parent, const QString &image, const QString &accessibleName);

// The strip along the bottom of a page or dialog that holds its buttons:
// light grey with a line on top.  Its layout is the caller's.
QWidget *MakeFooter(QWidget *parent, bool dialog = false);

// A label in the program's look: pixel size, colour, bold.  Texts from a
// medium are shown as plain text.
QLabel *MakeLabel(QWidget *parent, const QString &text, int px, const QColor &color, bool bold = false);

// A label that shows as much of its text as its width allows, with "..."
// in the middle, and the whole text as its tooltip and accessible name:
// for file names and paths that may be longer than any window.
class QElideLabel : public QLabel {
    Q_OBJECT
public:
    explicit QElideLabel(QWidget *parent = nullptr);
    void setFullText(const QString &text);
    QString fullText() const { return m_full; }
    QSize minimumSizeHint() const override;
    QSize sizeHint() const override;

protected:
    void resizeEvent(QResizeEvent *e) override;

private:
    void elide();
    QString m_full;
};

// Colours of the look, for labels laid over the skin.
namespace skin {
extern const QColor kInk;       // text on paper
extern const QColor kMuted;     // secondary text on paper
extern const QColor kOnBand;    // text on the dark band
extern const QColor kOnBandMuted;
}  // namespace skin
