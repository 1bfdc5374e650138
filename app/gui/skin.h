// The skinned building blocks every page and dialog is made of: widgets
// painted from a background image, buttons painted from a four-frame strip
// (normal, hover, pressed, disabled) and a header with a check box.
#pragma once

#include <QDialog>
#include <QHeaderView>
#include <QImage>
#include <QPushButton>
#include <QString>
#include <QWidget>

// Loads the compiled-in images; call once before the first widget.
void InitSalvitraResources();

class QImageWidget : public QWidget {
    Q_OBJECT
public:
    explicit QImageWidget(QWidget *parent = nullptr);
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

// Moves a button to a point; it keeps the size of its image frame.
QImageButton *MakeImageButton(QWidget *parent, const QString &image, int x, int y);
