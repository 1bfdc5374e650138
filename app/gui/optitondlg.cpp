#include "optitondlg.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPainter>
#include <QRegularExpressionValidator>
#include <QSignalBlocker>
#include <QVBoxLayout>

#include "units.h"

// Each kind with what the format is and the extension handed to the scan.
const QList<QOptitonDlg::Kind> QOptitonDlg::photoAry = {
    {"RAW", "Camera raw image (.raw)"}, {"ORF", "Olympus raw image (.orf)"},
    {"RAF", "Fujifilm raw image (.raf)"}, {"MRW", "Minolta raw image (.mrw)"},
    {"X3F", "Sigma raw image (.x3f)"}, {"JPEG", "JPEG image (.jpeg)"}, {"JPG", "JPEG image (.jpg)"},
    {"TIFF", "TIFF image (.tiff)"}, {"BMP", "Bitmap image (.bmp)"}, {"GIF", "GIF image (.gif)"},
    {"PNG", "PNG image (.png)"}, {"RAW", "Panasonic raw image (.raw)"},
    {"PSD", "Photoshop document (.psd)"}, {"INDD", "InDesign document (.indd)"},
    {"PSP", "Paint Shop Pro image (.psp)"},
};

const QList<QOptitonDlg::Kind> QOptitonDlg::AudioAry = {
    {"WAV", "Waveform audio (.wav)"}, {"MP3", "MP3 audio (.mp3)"}, {"AIFF", "AIFF audio (.aiff)"},
    {"MIDI", "MIDI music (.midi)"}, {"M4A", "MPEG-4 audio (.m4a)"}, {"AU", "AU audio (.au)"},
    {"OGG", "Ogg Vorbis audio (.ogg)"}, {"WMA", "WMA audio (.wma)"}, {"RA", "RealAudio (.ra)"},
    {"M4R", "MPEG-4 ringtone (.m4r)"},
};

const QList<QOptitonDlg::Kind> QOptitonDlg::VideoAry = {
    {"AVI", "Audio Video Interleave (.avi)"}, {"WMV", "WMV, ASF and ASX video (.wmv)"},
    {"MP4", "MPEG-4 video (.mp4)"}, {"M4V", "MPEG-4 video (.m4v)"}, {"3GP", "3GPP mobile video (.3gp)"},
    {"MOV", "QuickTime movie (.mov)"}, {"MPEG", "MPEG video (.mpeg)"}, {"DV", "Digital Video (.dv)"},
    {"3G2", "3GPP2 mobile video (.3g2)"}, {"M4B", "MPEG-4 audiobook (.m4b)"}, {"MKV", "Matroska video (.mkv)"},
    {"DIVX", "DivX video (.divx)"}, {"OGM", "Ogg media video (.ogm)"}, {"MOI", "Camcorder video index (.moi)"},
    {"VOB", "DVD video object (.vob)"}, {"F4V", "Flash MP4 video (.f4v)"}, {"MQV", "MQV video (.mqv)"},
    {"VID", "VID video (.vid)"}, {"FLV", "Flash video (.flv)"},
};

// ---- QDualSlider ----

QDualSlider::QDualSlider(QWidget *parent) : QWidget(parent)
{
    m_startBtn = new QImageButton(this);
    m_endBtn = new QImageButton(this);
    m_startBtn->setFocusPolicy(Qt::NoFocus);
    m_endBtn->setFocusPolicy(Qt::NoFocus);
    connect(m_startBtn, &QImageButton::mouseMove, this, &QDualSlider::onStartMove);
    connect(m_endBtn, &QImageButton::mouseMove, this, &QDualSlider::onEndMove);
}

void QDualSlider::imageSet()
{
    // From the third image on the size is known: the track and both handles
    // (a handle without its image yet counts as wide as the other).
    if (++m_imagesSet < 3)
        return;
    const int handle = m_startBtn->width();
    const int endHandle = m_imagesSet >= 4 ? m_endBtn->width() : handle;
    setFixedSize(m_bottom.width() + handle + endHandle + 2, 19);
}

void QDualSlider::placeHandles()
{
    // The start handle sits left of its position, the end handle right of it.
    int hw = m_startBtn->width();
    m_startBtn->move(m_start, 0);
    m_endBtn->move(m_end + hw + 1, 0);
}

void QDualSlider::setBottomImage(const QString &path)
{
    m_bottom = QPixmap(path);
    m_start = 0;
    m_end = m_bottom.width();
    m_selected = m_end - m_start;
    imageSet();
}

void QDualSlider::setTopImage(const QString &path)
{
    m_top = QPixmap(path);
    imageSet();
}

void QDualSlider::setStartBtnImage(const QString &path)
{
    m_startBtn->setBtnImage(path);
    placeHandles();
    imageSet();
}

void QDualSlider::setEndBtnImage(const QString &path)
{
    m_endBtn->setBtnImage(path);
    placeHandles();
    imageSet();
}

bool QDualSlider::setStartBtnPosition(float percent)
{
    int pos = int(percent / 100.0f * m_bottom.width());
    if (pos < 0 || pos > m_end)
        return false;
    m_start = pos;
    m_selected = m_end - m_start;
    placeHandles();
    update();
    return true;
}

bool QDualSlider::setEndBtnPosition(float percent)
{
    int pos = int(percent / 100.0f * m_bottom.width());
    if (pos < m_start || pos > m_bottom.width())
        return false;
    m_end = pos;
    m_selected = m_end - m_start;
    placeHandles();
    update();
    return true;
}

double QDualSlider::getStartBtnValue() const
{
    return m_bottom.width() ? double(m_start) / m_bottom.width() : 0.0;
}

double QDualSlider::getEndBtnValue() const
{
    return m_bottom.width() ? double(m_end) / m_bottom.width() : 0.0;
}

void QDualSlider::onStartMove(QMouseEvent *e, int grab)
{
    int x = mapFromGlobal(e->globalPosition().toPoint()).x() - grab;
    x = qBound(0, x, m_end);
    m_start = x;
    m_selected = m_end - m_start;
    placeHandles();
    emit sendStartValue(getStartBtnValue());
    update();
}

void QDualSlider::onEndMove(QMouseEvent *e, int grab)
{
    int x = mapFromGlobal(e->globalPosition().toPoint()).x() - grab - m_startBtn->width() - 1;
    x = qBound(m_start, x, m_bottom.width());
    m_end = x;
    m_selected = m_end - m_start;
    placeHandles();
    emit sendEndValue(getEndBtnValue());
    update();
}

void QDualSlider::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    int x0 = m_startBtn->width();
    p.drawPixmap(x0, 3, m_bottom);
    if (!m_top.isNull() && m_end > m_start)
        p.drawPixmap(x0 + m_start, 3, m_top, m_start, 0, m_end - m_start, m_top.height());
}

// ---- QOptitonDlg ----

QOptitonDlg::QOptitonDlg(QWidget *parent) : QImageDialog(parent)
{
    SetImageBackgroud(":/images/bg_optiton.png");
    setWindowTitle("Salvitra \u2014 Scan Options");
    setWindowIcon(QIcon(":/images/icon_logo.png"));

    m_btnKind = MakeImageButton(this, ":/images/btn_Kind_hide.png", "Kind");
    m_btnRegion = MakeImageButton(this, ":/images/btn_region.png", "Region");
    m_btnMark = MakeImageButton(this, ":/images/btn_mark.png", "All");
    m_btnMark->setToolTip("Tick every kind of file");
    m_btnUnSelect = MakeImageButton(this, ":/images/btn_unselect.png", "None");
    m_btnUnSelect->setToolTip("Untick every kind of file");
    m_btnCancel = MakeImageButton(this, ":/images/btn_cancel.png", "Cancel");
    m_btnScan = MakeImageButton(this, ":/images/button_scan.png", "Scan");
    m_btnScan->setDefault(true);

    m_tree = new QTreeWidget(this);
    m_tree->setAccessibleName("Kinds of files");
    m_tree->setColumnCount(2);
    m_tree->setColumnWidth(0, 190);
    m_tree->setHeaderLabels({"File Kind/Extension", "File Description"});
    m_photo = addCategory("Photo", photoAry, ":/images/icon_photo.png");
    m_audio = addCategory("Music", AudioAry, ":/images/icon_audio.png");
    m_video = addCategory("Video", VideoAry, ":/images/icon_video.png");

    m_hint = MakeLabel(this,
                       "Choose the region to scan by dragging the handles of the slider, or type the starting "
                       "and ending sectors.",
                       12, skin::kInk);
    m_hint->setWordWrap(true);
    m_title = MakeLabel(this, QString(), 15, skin::kInk, true);
    m_title->setTextFormat(Qt::PlainText);
    m_title->setWordWrap(true);
    m_startLabel = MakeLabel(this, "Starting sector:", 12, skin::kInk);
    m_endLabel = MakeLabel(this, "Ending sector:", 12, skin::kInk);
    m_unitLabel = MakeLabel(this, QString(), 11, skin::kMuted);
    m_unitLabel->setWordWrap(true);
    const QRegularExpression digits("^[0-9]*[1-9][0-9]*$");
    m_startEdit = new QLineEdit("0", this);
    m_endEdit = new QLineEdit(this);
    m_startLabel->setBuddy(m_startEdit);
    m_endLabel->setBuddy(m_endEdit);
    m_startEdit->setAccessibleName("Starting sector");
    m_endEdit->setAccessibleName("Ending sector");
    for (QLineEdit *e : {m_startEdit, m_endEdit})
        e->setValidator(new QRegularExpressionValidator(digits, e));
    m_slider = new QDualSlider(this);
    m_slider->setBottomImage(":/images/slider_bg.png");
    m_slider->setTopImage(":/images/slider_top.png");
    m_slider->setStartBtnImage(":/images/btn_slider.png");
    m_slider->setEndBtnImage(":/images/btn_slider.png");
    m_slider->setStartBtnPosition(0);
    m_slider->setEndBtnPosition(100);
    m_slider->startHandle()->setAccessibleName("Start of the region");
    m_slider->endHandle()->setAccessibleName("End of the region");
    m_endEdit->setText(QString::number(m_max));

    // Tabs over the two pages, buttons in the footer.
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 4, 0, 0);
    layout->setSpacing(0);
    auto *tabs = new QHBoxLayout();
    tabs->setContentsMargins(14, 10, 14, 0);
    tabs->setSpacing(4);
    tabs->addWidget(m_btnKind);
    tabs->addWidget(m_btnRegion);
    tabs->addStretch(1);
    layout->addLayout(tabs);
    m_pages = new QStackedWidget(this);
    auto *kindPage = new QWidget(m_pages);
    auto *kl = new QVBoxLayout(kindPage);
    kl->setContentsMargins(14, 6, 14, 10);
    kl->setSpacing(8);
    kl->addWidget(m_tree, 1);
    auto *marks = new QHBoxLayout();
    marks->setSpacing(6);
    marks->addWidget(m_btnMark);
    marks->addWidget(m_btnUnSelect);
    marks->addStretch(1);
    kl->addLayout(marks);
    auto *regionPage = new QWidget(m_pages);
    auto *rl = new QVBoxLayout(regionPage);
    rl->setContentsMargins(24, 14, 24, 10);
    rl->setSpacing(10);
    rl->addWidget(m_hint);
    rl->addSpacing(8);
    rl->addWidget(m_title);
    rl->addWidget(m_slider, 0, Qt::AlignHCenter);
    auto *fields = new QGridLayout();
    fields->setHorizontalSpacing(10);
    fields->addWidget(m_startLabel, 0, 0, Qt::AlignRight);
    fields->addWidget(m_startEdit, 0, 1);
    fields->addWidget(m_endLabel, 1, 0, Qt::AlignRight);
    fields->addWidget(m_endEdit, 1, 1);
    fields->addWidget(m_unitLabel, 2, 1);
    fields->setColumnStretch(1, 1);
    rl->addLayout(fields);
    rl->addStretch(1);
    m_pages->addWidget(kindPage);
    m_pages->addWidget(regionPage);
    layout->addWidget(m_pages, 1);
    QWidget *footer = MakeFooter(this, true);
    auto *fl = new QHBoxLayout(footer);
    fl->setContentsMargins(14, 10, 14, 10);
    fl->setSpacing(10);
    fl->addStretch(1);
    fl->addWidget(m_btnCancel);
    fl->addWidget(m_btnScan);
    layout->addWidget(footer);
    setMinimumSize(460, 440);

    // Every kind is looked for unless the user says otherwise.
    OnBtnMark();
    OnBtnKind();

    connect(m_btnCancel, &QPushButton::clicked, this, &QWidget::close);
    connect(m_btnKind, &QPushButton::clicked, this, &QOptitonDlg::OnBtnKind);
    connect(m_btnRegion, &QPushButton::clicked, this, &QOptitonDlg::OnBtnDisk);
    connect(m_tree, &QTreeWidget::itemChanged, this, &QOptitonDlg::OnNMClickTreeItem);
    connect(m_btnScan, &QPushButton::clicked, this, &QOptitonDlg::OnBtnScan);
    connect(m_btnMark, &QPushButton::clicked, this, &QOptitonDlg::OnBtnMark);
    connect(m_btnUnSelect, &QPushButton::clicked, this, &QOptitonDlg::OnBtnUnSelect);
    if (parent) {
        connect(this, SIGNAL(OnBtnInfoScan(QStringList)), parent, SLOT(OnOptitonScan(QStringList)));
        connect(this, SIGNAL(SetMixMaxValue(unsigned long long, unsigned long long)), parent,
                SLOT(GetOptitonValue(unsigned long long, unsigned long long)));
    }
    connect(m_startEdit, &QLineEdit::textChanged, this, &QOptitonDlg::setStartChange);
    connect(m_endEdit, &QLineEdit::textChanged, this, &QOptitonDlg::setEndChange);
    connect(m_slider, &QDualSlider::sendStartValue, this, &QOptitonDlg::sliderSetStart);
    connect(m_slider, &QDualSlider::sendEndValue, this, &QOptitonDlg::sliderSetEnd);
}

void QOptitonDlg::setPartitionName(const QString &name)
{
    m_title->setText(name);
}

QTreeWidgetItem *QOptitonDlg::addCategory(const QString &name, const QList<Kind> &rows, const QString &icon)
{
    auto *cat = new QTreeWidgetItem(m_tree);
    cat->setText(0, name);
    cat->setIcon(0, QIcon(":/images/icon_file.png"));
    cat->setCheckState(0, Qt::Unchecked);
    for (const Kind &k : rows) {
        auto *row = new QTreeWidgetItem(cat);
        row->setText(0, k.kind);
        row->setText(1, k.description);
        row->setIcon(0, QIcon(icon));
        row->setCheckState(0, Qt::Unchecked);
    }
    return cat;
}

void QOptitonDlg::SetTreeItemText()
{
    m_photo->setText(0, "Photo");
    m_audio->setText(0, "Music");
    m_video->setText(0, "Video");
}

void QOptitonDlg::OnBtnKind()
{
    m_btnKind->setBtnImage(":/images/btn_Kind_hide.png");
    m_btnKind->setEnabled(false);
    m_btnRegion->setBtnImage(":/images/btn_region.png");
    m_btnRegion->setEnabled(true);
    setCtrlShow(true);
}

void QOptitonDlg::OnBtnDisk()
{
    m_btnKind->setBtnImage(":/images/btn_king.png");
    m_btnKind->setEnabled(true);
    m_btnRegion->setBtnImage(":/images/btn_Region_hide.png");
    m_btnRegion->setEnabled(false);
    setCtrlShow(false);
}

void QOptitonDlg::setCtrlShow(bool kindTab)
{
    m_pages->setCurrentIndex(kindTab ? 0 : 1);
    (kindTab ? static_cast<QWidget *>(m_tree) : m_startEdit)->setFocus();
}

void QOptitonDlg::OnNMClickTreeItem(QTreeWidgetItem *item, int column)
{
    if (!item || column != 0)
        return;
    QSignalBlocker block(m_tree);
    Qt::CheckState st = item->checkState(0);
    if (st == Qt::Checked) {
        for (int i = 0; i < item->childCount(); i++)
            item->child(i)->setCheckState(0, Qt::Checked);
        updateParentItem(item);
    } else if (st == Qt::Unchecked) {
        for (int i = 0; i < item->childCount(); i++)
            item->child(i)->setCheckState(0, Qt::Unchecked);
        if (item->childCount() == 0)
            updateParentItem(item);
    }
    m_tree->viewport()->update();
}

void QOptitonDlg::updateParentItem(QTreeWidgetItem *item)
{
    QTreeWidgetItem *parent = item->parent();
    if (!parent)
        return;
    int ticked = 0;
    for (int i = 0; i < parent->childCount(); i++)
        ticked += parent->child(i)->checkState(0) == Qt::Checked;
    if (ticked == parent->childCount())
        parent->setCheckState(0, Qt::Checked);
    else if (ticked > 0)
        parent->setCheckState(0, Qt::PartiallyChecked);
    else
        parent->setCheckState(0, Qt::Unchecked);
}

void QOptitonDlg::setAll(Qt::CheckState state)
{
    QSignalBlocker block(m_tree);
    for (QTreeWidgetItem *c : {m_photo, m_audio, m_video}) {
        c->setCheckState(0, state);
        for (int i = 0; i < c->childCount(); i++)
            c->child(i)->setCheckState(0, state);
    }
    m_tree->viewport()->update();
}

void QOptitonDlg::OnBtnMark()
{
    setAll(Qt::Checked);
}

void QOptitonDlg::OnBtnSelect()
{
    QTreeWidgetItem *cur = m_tree->currentItem();
    if (cur && cur->checkState(0) != Qt::Checked)
        cur->setCheckState(0, Qt::Checked);  // the tick travels as a click's does
}

void QOptitonDlg::OnBtnUnSelect()
{
    setAll(Qt::Unchecked);
}

bool QOptitonDlg::haveFileType() const
{
    for (QTreeWidgetItem *c : {m_photo, m_audio, m_video})
        for (int i = 0; i < c->childCount(); i++)
            if (c->child(i)->checkState(0) == Qt::Checked)
                return true;
    return false;
}

QStringList QOptitonDlg::GetTreeSuffix() const
{
    QStringList out;
    for (QTreeWidgetItem *c : {m_photo, m_audio, m_video})
        for (int i = 0; i < c->childCount(); i++)
            if (c->child(i)->checkState(0) == Qt::Checked)
                out << c->child(i)->text(0).toLower();
    return out;
}

void QOptitonDlg::OnBtnScan()
{
    if (!haveFileType()) {
        QMessageBox::warning(this, "Salvitra", "Please select at least one kind of file first.", QMessageBox::Ok);
        return;
    }
    m_picked = GetTreeSuffix();
    unsigned long long start = m_startEdit->text().toULongLong(nullptr, 10);
    unsigned long long end = m_endEdit->text().toULongLong(nullptr, 10);
    emit SetMixMaxValue(start, end);
    emit OnBtnInfoScan(m_picked);
}

void QOptitonDlg::setEditMaxValue()
{
    m_rangeEnd = m_max;
    m_rangeStart = 0;
    m_endEdit->setText(QString::number(m_max));
    m_unitLabel->setText(QString("Sectors of %1 bytes; the partition has %2 sectors (%3).")
                             .arg(m_sectorSize)
                             .arg(m_max)
                             .arg(QString::fromStdString(salvitra::readableSize(m_max * (uint64_t)m_sectorSize))));
}

void QOptitonDlg::setStartChange(const QString &text)
{
    if (text.isEmpty()) {
        m_startEdit->setText("0");
        return;  // the change handler runs again with "0"
    }
    unsigned long long v = text.toULongLong();
    if (v > m_rangeEnd) {
        m_startEdit->setText(QString::number(m_rangeEnd));
        return;
    }
    m_rangeStart = v;
    if (m_max)
        m_slider->setStartBtnPosition(float(double(m_rangeStart) * 100.0 / double(m_max)));
}

void QOptitonDlg::setEndChange(const QString &text)
{
    if (text.isEmpty()) {
        m_endEdit->setText(QString::number(m_max));
        return;
    }
    unsigned long long v = text.toULongLong();
    if (v < m_rangeStart) {
        m_endEdit->setText(QString::number(m_rangeStart));
        return;
    }
    if (v > m_max) {
        m_endEdit->setText(QString::number(m_max));
        return;
    }
    m_rangeEnd = v;
    if (m_max)
        m_slider->setEndBtnPosition(float(double(m_rangeEnd) * 100.0 / double(m_max)));
}

void QOptitonDlg::sliderSetStart(double ratio)
{
    m_startEdit->setText(QString("%1").arg((unsigned long long)(double(m_max) * ratio)));
}

void QOptitonDlg::sliderSetEnd(double ratio)
{
    m_endEdit->setText(QString("%1").arg((unsigned long long)(double(m_max) * ratio)));
}
