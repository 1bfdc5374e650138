// One picture, drawn in a chosen style; animated GIFs play.
#pragma once

#include <QMovie>
#include <QPixmap>
#include <QRect>
#include <QString>
#include <QTimer>
#include <QWidget>

// 0 natural size (the control takes the image's size), 1 fit (aspect ratio
// kept, centred), 3 centred at its own size (shrunk, never grown, to fit:
// placeholders with words in them), anything else stretched over the whole
// control.
typedef int tagPreviewImageStyle;
enum : int { PreviewNatural = 0, PreviewFit = 1, PreviewStretch = 2, PreviewCenter = 3 };

class QPreviewImageCtrl : public QWidget {
    Q_OBJECT
public:
    explicit QPreviewImageCtrl(QWidget *parent = nullptr);
    ~QPreviewImageCtrl() override;

    // Shows the file at path (a still picture, or a GIF that animates).
    // Nothing happens when path is the current one.
    void SetImage(const QString &path);
    // Shows a picture that is not a file (a placeholder).
    void SetPixmap(const QPixmap &pixmap);
    void SetShowStyle(tagPreviewImageStyle style);
    tagPreviewImageStyle GetShowStyle() const { return m_style; }
    void SetEnableDynamic(bool enable);
    // Pictures are decoded at most this large on their longer side (0: as
    // stored), so a wall of thumbnails of camera photos stays small and a
    // 50-megapixel photo previews without a 200 MB pixmap.
    void SetMaxDecodeSide(int side) { m_maxSide = side; }

    // A picture can be decoded from path.
    static bool IsImage(const QString &path);
    // The file begins with "GIF87a" or "GIF89a".
    static bool isDynamic(const QString &path);

    // Where the picture is drawn; style 0 resizes the control first.
    void GetDrawRect(QRect &rect);

    const QPixmap &pixmap() const { return m_pixmap; }
    QString path() const { return m_path; }
    bool isAnimated() const { return m_animated; }
    bool isAnimating() const { return m_timer.isActive(); }
    int currentFrame() const { return m_movie ? m_movie->currentFrameNumber() : 0; }

public slots:
    void OnTimer();

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    void stopAnimation();
    QPixmap loadStill(const QString &path) const;

    QPixmap m_pixmap;
    QString m_path;
    QTimer m_timer;
    bool m_animated = false;
    tagPreviewImageStyle m_style = PreviewNatural;
    QMovie *m_movie = nullptr;
    bool m_enableDynamic = true;
    int m_maxSide = 2048;
};
