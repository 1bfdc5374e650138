// One thumbnail tile: the picture above a check box with the file's name.
#pragma once

#include <QCheckBox>
#include <QImage>
#include <QString>
#include <QWidget>

#include "previewimagectrl.h"

// Preview style bits of a tile.
enum : unsigned int { PictureShowCheck = 1u, PictureDrawBorder = 2u };

class QPictureNode : public QWidget {
    Q_OBJECT
public:
    explicit QPictureNode(QWidget *parent = nullptr);

    // The picture at path, or the "not available" picture when path holds
    // nothing that decodes.
    void SetImage(const QString &path);
    // A picture decoded elsewhere, from the file at path (a null picture:
    // nothing to show).
    void SetPicture(const QString &path, const QImage &picture);
    // The picture is on its way.
    void SetWaiting();
    QString GetImage() const { return m_image; }
    // The label beside the check box (the file name as found: control
    // characters are shown as U+FFFD, a long name is shortened with "...").
    void SetText(const QString &text);
    QString GetText() const { return m_text; }
    void SetCheck(bool check);
    bool GetCheck() const;
    void SetData(void *data) { m_data = data; }
    void *GetData() const { return m_data; }
    void SetPreviewStyle(unsigned int bits);
    unsigned int GetPreviewStyle() const { return m_style; }

    QPreviewImageCtrl *previewCtrl() const { return m_preview; }
    QCheckBox *checkBox() const { return m_check; }

    // The picture shown for files that are not pictures (the program's
    // artwork when it has one, else drawn at this size).
    static QPixmap notAvailablePixmap(QSize size = QSize(92, 80));
    // The picture shown while the real one is made.
    static QPixmap waitingPixmap(QSize size = QSize(92, 80));

signals:
    void checkChanged(void *node, bool checked);

public slots:
    void OnBtnCheck();

protected:
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private:
    void elideText();

    QPreviewImageCtrl *m_preview = nullptr;
    QCheckBox *m_check = nullptr;
    QString m_image;
    QString m_text;
    void *m_data = nullptr;
    unsigned int m_style = 0;
};
