// The options page of a deep scan: which file kinds to look for, and which
// sectors of the partition to read.
#pragma once

#include <QLabel>
#include <QLineEdit>
#include <QPixmap>
#include <QStackedWidget>
#include <QStringList>
#include <QTreeWidget>

#include "skin.h"

// A track with two handles; positions are pixels along the track.
class QDualSlider : public QWidget {
    Q_OBJECT
public:
    explicit QDualSlider(QWidget *parent = nullptr);
    void setBottomImage(const QString &path);
    void setTopImage(const QString &path);
    void setStartBtnImage(const QString &path);
    void setEndBtnImage(const QString &path);
    bool setStartBtnPosition(float percent);
    bool setEndBtnPosition(float percent);
    double getStartBtnValue() const;
    double getEndBtnValue() const;
    int startPos() const { return m_start; }
    int endPos() const { return m_end; }
    int trackWidth() const { return m_bottom.width(); }
    QImageButton *startHandle() const { return m_startBtn; }
    QImageButton *endHandle() const { return m_endBtn; }

signals:
    void sendStartValue(double ratio);
    void sendEndValue(double ratio);

protected:
    void paintEvent(QPaintEvent *e) override;

private slots:
    void onStartMove(QMouseEvent *e, int grab);
    void onEndMove(QMouseEvent *e, int grab);

private:
    void imageSet();
    void placeHandles();

    QPixmap m_bottom;
    QPixmap m_top;
    QImageButton *m_startBtn;
    QImageButton *m_endBtn;
    int m_start = 0;
    int m_end = 0;
    int m_selected = 0;
    int m_imagesSet = 0;
};

class QOptitonDlg : public QImageDialog {
    Q_OBJECT
public:
    struct Kind {
        QString kind;
        QString description;
    };
    static const QList<Kind> photoAry;
    static const QList<Kind> AudioAry;
    static const QList<Kind> VideoAry;

    explicit QOptitonDlg(QWidget *parent);

    // The range maximum, in sectors of the partition's device.
    void setMaxValue(unsigned long long max) { m_max = max; }
    void setSectorSize(int bytes) { m_sectorSize = bytes; }
    unsigned long long maxValue() const { return m_max; }
    void setEditMaxValue();
    bool haveFileType() const;
    QStringList GetTreeSuffix() const;
    void updateParentItem(QTreeWidgetItem *item);
    void setCtrlShow(bool kindTab);
    void SetTreeItemText();
    // The region tab's title: the partition as the device tree shows it.
    void setPartitionName(const QString &name);
    QString partitionName() const { return m_title->text(); }

    QTreeWidget *tree() const { return m_tree; }
    QLineEdit *startEdit() const { return m_startEdit; }
    QLineEdit *endEdit() const { return m_endEdit; }
    QDualSlider *slider() const { return m_slider; }
    QTreeWidgetItem *photoItem() const { return m_photo; }
    QTreeWidgetItem *audioItem() const { return m_audio; }
    QTreeWidgetItem *videoItem() const { return m_video; }
    QImageButton *scanButton() const { return m_btnScan; }
    QImageButton *kindTab() const { return m_btnKind; }
    QImageButton *regionTab() const { return m_btnRegion; }
    QImageButton *allButton() const { return m_btnMark; }
    QImageButton *noneButton() const { return m_btnUnSelect; }
    bool kindTabShown() const { return m_pages->currentIndex() == 0; }
    unsigned long long rangeStart() const { return m_rangeStart; }
    unsigned long long rangeEnd() const { return m_rangeEnd; }

signals:
    void OnBtnInfoScan(QStringList types);
    void SetMixMaxValue(unsigned long long start, unsigned long long end);

public slots:
    void OnBtnKind();
    void OnBtnDisk();
    void OnNMClickTreeItem(QTreeWidgetItem *item, int column);
    void OnBtnScan();
    void OnBtnMark();
    void OnBtnSelect();
    void OnBtnUnSelect();
    void setStartChange(const QString &text);
    void setEndChange(const QString &text);
    void sliderSetStart(double ratio);
    void sliderSetEnd(double ratio);

private:
    QTreeWidgetItem *addCategory(const QString &name, const QList<Kind> &rows, const QString &icon);
    void setAll(Qt::CheckState state);

    QStringList m_picked;
    unsigned long long m_max = 0;
    QImageButton *m_btnKind;
    QImageButton *m_btnRegion;
    QTreeWidget *m_tree;
    QImageButton *m_btnMark;      // "All"
    QImageButton *m_btnUnSelect;  // "None"
    QStackedWidget *m_pages;
    QImageButton *m_btnCancel;
    QImageButton *m_btnScan;
    QDualSlider *m_slider;
    QLabel *m_hint;
    QLabel *m_title;
    QLabel *m_startLabel;
    QLabel *m_endLabel;
    QLabel *m_unitLabel;
    int m_sectorSize = 512;
    QLineEdit *m_startEdit;
    QLineEdit *m_endEdit;
    QTreeWidgetItem *m_photo;
    QTreeWidgetItem *m_video;
    QTreeWidgetItem *m_audio;
    unsigned long long m_rangeEnd = 0;
    unsigned long long m_rangeStart = 0;
};
