#include "optitondlg.h"

#include <QMessageBox>
#include <QMouseEvent>
#include <QPainter>
#include <QRegularExpressionValidator>
#include <QSignalBlocker>

const QList<QOptitonDlg::Kind> QOptitonDlg::photoAry = {
    {"RAW", "Nikon (Mototola)"}, {"ORF", "Olympus"}, {"RAF", "Fuji"}, {"MRW", "Inolta"}, {"X3F", "Sinma"},
    {"JPEG", "JPEG Images"}, {"JPG", "JPG Images"}, {"TIFF", "TIFF images(Mototola)"}, {"BMP", "BMP Images"},
    {"GIF", "GIF Images"}, {"PNG", "PNG Images"}, {"RAW", "Panasonic RAW"}, {"PSD", "Adobe Photoshop"},
    {"INDD", "Adobe Indesign"}, {"PSP", "Parnt Shop pro Image File"},
};

const QList<QOptitonDlg::Kind> QOptitonDlg::AudioAry = {
    {"WAV", "WAV Files"}, {"MP3", "MP3 Audio Files"}, {"AIFF", "AIFF Fikes"}, {"MIDI", "MIDI Sound"},
    {"M4A", "M4A and M4P Files"}, {"AU", "AU Files"}, {"OGG", "OGG files"}, {"WMA", "WMA Files"},
    {"RA", "Real Audio"}, {"M4R", "M4R Files"},
};

const QList<QOptitonDlg::Kind> QOptitonDlg::VideoAry = {
    {"AVI", "Audio Video Interleave"}, {"WMV", "WMV & ASF & ASXs"}, {"MP4", "MP4 Files"}, {"M4V", "M4V Files"},
    {"3GP", "3GP Files"}, {"MOV", "Quick Time Movie"}, {"MPEG", "MPEG Files"}, {"DV", "Digitak Video"},
    {"3G2", "3G2 Files"}, {"M4B", "M4B Files"}, {"MKV", "Matroska Video File"}, {"DIVX", "AVCHD Video File"},
    {"OGM", "OGG Media Player"}, {"MOI", "MOI Video File"}, {"VOB", "Video Object File"}, {"F4V", "F4V Files"},
    {"MQV", "MQV Files"}, {"VID", "VID Files"}, {"FLV", "FLASH"},
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
    if (++m_imagesSet == 3)
        setFixedSize(m_bottom.width() + m_startBtn->width() + m_endBtn->width() + 2, 19);
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
    setWindowTitle("Salvitra for Mac");
    setWindowIcon(QIcon(":/images/icon_logo.png"));

    m_btnKind = MakeImageButton(this, ":/images/btn_Kind_hide.png", 110, 12);
    m_btnRegion = MakeImageButton(this, ":/images/btn_region.png", 214, 12);
    m_btnMark = MakeImageButton(this, ":/images/btn_mark.png", 20, 320);
    m_btnSelect = MakeImageButton(this, ":/images/btn_select.png", 100, 320);
    m_btnUnSelect = MakeImageButton(this, ":/images/btn_unselect.png", 180, 320);
    m_btnCancel = MakeImageButton(this, ":/images/btn_cancel.png", 228, 368);
    m_btnScan = MakeImageButton(this, ":/images/button_scan.png", 331, 368);

    m_tree = new QTreeWidget(this);
    m_tree->setColumnCount(2);
    m_tree->setColumnWidth(0, 207);
    m_tree->setHeaderLabels({"File Kind/Extension", "File Description"});
    m_tree->setGeometry(13, 40, 415, 275);
    m_photo = addCategory("Photo", photoAry, ":/images/icon_photo.png");
    m_audio = addCategory("Audio", AudioAry, ":/images/icon_audio.png");
    m_video = addCategory("Video", VideoAry, ":/images/icon_video.png");

    m_hint = new QLabel("Specific region can be selected by dragging range selection slider or directly \n"
                        "typing numbers in Starting Sector and Ending Sector.", this);
    m_hint->setFont(QFont("Times", 10));
    m_hint->setWordWrap(true);
    m_hint->setGeometry(35, 56, 380, 48);
    m_title = new QLabel("Mac_OS", this);
    m_title->setFont(QFont("Times", 14, QFont::Bold));
    m_title->setGeometry(35, 130, 370, 28);
    m_startLabel = new QLabel("Starting Sector:", this);
    m_startLabel->setGeometry(5, 240, 125, 24);
    m_endLabel = new QLabel("Ending Sector:", this);
    m_endLabel->setGeometry(5, 279, 125, 24);
    for (QLabel *l : {m_startLabel, m_endLabel}) {
        l->setFont(QFont("Times", 11));
        l->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    }
    m_unitLabel = new QLabel(this);
    m_unitLabel->setGeometry(135, 310, 290, 36);
    m_unitLabel->setWordWrap(true);
    m_unitLabel->setStyleSheet("color:#5b6778; font-size:11px;");
    const QRegularExpression digits("^[0-9]*[1-9][0-9]*$");
    m_startEdit = new QLineEdit("0", this);
    m_startEdit->setGeometry(135, 240, 155, 24);
    m_endEdit = new QLineEdit(this);
    m_endEdit->setGeometry(135, 279, 155, 24);
    for (QLineEdit *e : {m_startEdit, m_endEdit}) {
        e->setFont(QFont("Times", 11));
        e->setValidator(new QRegularExpressionValidator(digits, e));
    }
    m_slider = new QDualSlider(this);
    m_slider->move(35, 180);
    m_slider->setBottomImage(":/images/slider_bg.png");
    m_slider->setTopImage(":/images/slider_top.png");
    m_slider->setStartBtnImage(":/images/btn_slider.png");
    m_slider->setEndBtnImage(":/images/btn_slider.png");
    m_slider->setStartBtnPosition(0);
    m_slider->setEndBtnPosition(100);
    m_endEdit->setText(QString::number(m_max));

    OnBtnKind();

    connect(m_btnCancel, &QPushButton::clicked, this, &QWidget::close);
    connect(m_btnKind, &QPushButton::clicked, this, &QOptitonDlg::OnBtnKind);
    connect(m_btnRegion, &QPushButton::clicked, this, &QOptitonDlg::OnBtnDisk);
    connect(m_tree, &QTreeWidget::itemChanged, this, &QOptitonDlg::OnNMClickTreeItem);
    connect(m_btnScan, &QPushButton::clicked, this, &QOptitonDlg::OnBtnScan);
    connect(m_btnMark, &QPushButton::clicked, this, &QOptitonDlg::OnBtnMark);
    connect(m_btnSelect, &QPushButton::clicked, this, &QOptitonDlg::OnBtnSelect);
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
    m_audio->setText(0, "Audio");
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
    for (QWidget *w : std::initializer_list<QWidget *>{m_tree, m_btnMark, m_btnSelect, m_btnUnSelect})
        w->setVisible(kindTab);
    for (QWidget *w : std::initializer_list<QWidget *>{m_hint, m_title, m_startLabel, m_endLabel, m_startEdit,
                                                       m_endEdit, m_slider, m_unitLabel})
        w->setVisible(!kindTab);
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

void QOptitonDlg::OnBtnMark()
{
    QSignalBlocker block(m_tree);
    for (QTreeWidgetItem *c : {m_photo, m_audio, m_video})
        c->setCheckState(0, Qt::Checked);
}

void QOptitonDlg::OnBtnSelect()
{
    QTreeWidgetItem *cur = m_tree->currentItem();
    if (cur && cur->checkState(0) != Qt::Checked) {
        QSignalBlocker block(m_tree);
        cur->setCheckState(0, Qt::Checked);
    }
}

void QOptitonDlg::OnBtnUnSelect()
{
    QTreeWidgetItem *cur = m_tree->currentItem();
    if (cur && cur->checkState(0) != Qt::Unchecked) {
        QSignalBlocker block(m_tree);
        cur->setCheckState(0, Qt::Unchecked);
    }
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
        QMessageBox::warning(this, "Salvitra", "\nPlease select file type first!", QMessageBox::Ok);
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
    m_unitLabel->setText(QString("Sectors of %1 bytes; the partition has %2 sectors.").arg(m_sectorSize).arg(m_max));
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
