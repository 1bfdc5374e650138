#include "dialogs.h"

#include <QCloseEvent>
#include <QDialogButtonBox>
#include <QPlainTextEdit>
#include <QVBoxLayout>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>

#include "utilthread.h"

namespace {

const char *const kTitle = "Salvitra for Mac";

const char *msgButtonImage(dlgMSGbtn btn)
{
    switch (btn) {
    case MSG_BTN_OK: return ":/images/msg_btn_ok.png";
    case MSG_BTN_STOP: return ":/images/msg_btn_stop.png";
    case MSG_BTN_BACK: return ":/images/msg_btn_back.png";
    case MSG_BTN_EXIT: return ":/images/msg_btn_exit.png";
    }
    return nullptr;
}

QLabel *makeLabel(QWidget *parent, const QString &text, int x, int y, int w, int h)
{
    auto *l = new QLabel(text, parent);
    l->setGeometry(x, y, w, h);
    return l;
}

}  // namespace

// ---- QMessageDlg ----

QMessageDlg::QMessageDlg(QWidget *parent) : QImageDialog(parent)
{
    SetImageBackgroud(":/images/bg_message.png");
    setWindowIcon(QIcon(":/images/icon_logo.png"));
    setWindowTitle(kTitle);
    m_note = makeLabel(this, "Scaning process can't be resumed at this stage.\nAre you sure you want to stop the scanning ?",
                       100, 30, 315, 62);
    m_note->setWordWrap(true);
    m_note->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    m_note->setStyleSheet("color:#1f2937; font-size:13px;");
    m_cancel = MakeImageButton(this, ":/images/btn_cancel.png", 115, 115);
    m_action = MakeImageButton(this, ":/images/msg_btn_ok.png", 225, 115);
    m_action->setFocus();
    m_action->setDefault(true);
    connect(m_cancel, &QPushButton::clicked, this, &QDialog::accept);
    connect(m_action, &QPushButton::clicked, this, &QMessageDlg::doneDlg);
}

void QMessageDlg::SetNoteText(const QString &text)
{
    m_note->setText(text);
}

void QMessageDlg::MsgSetBtn(dlgMSGbtn btn)
{
    if (const char *img = msgButtonImage(btn))
        m_action->setBtnImage(img);
}

void QMessageDlg::doneDlg()
{
    done(Confirmed);
}

// ---- QProgressDlg ----

QProgressDlg::QProgressDlg(QWidget *parent) : QImageDialog(parent)
{
    SetImageBackgroud(":/images/bg_progress.png");
    setWindowIcon(QIcon(":/images/icon_logo.png"));
    setWindowTitle(kTitle);
    m_note = makeLabel(this, "Recovering: ", 45, 26, 400, 20);
    m_note->setTextFormat(Qt::PlainText);
    m_bar = new QProgressBar(this);
    m_bar->setRange(0, 100);
    m_bar->setValue(0);
    m_bar->setGeometry(45, 50, 400, 30);
    m_wait = makeLabel(this, "Please waitting...", 45, 84, 200, 20);
    m_stop = MakeImageButton(this, ":/images/msg_btn_stop.png", 452, 49);
    m_stop->setFocus();
    connect(m_stop, &QPushButton::clicked, this, &QProgressDlg::OnStopThree);
    connect(&m_timer, &QTimer::timeout, this, &QProgressDlg::OnTimer);
    m_timer.start(500);
}

void QProgressDlg::SetNote(const QString &text)
{
    m_note->setText(text);
}

void QProgressDlg::SetExport(int value)
{
    if (value == m_value || m_value == 100)
        return;
    // The bar steps up from what it shows; a lower value never moves it back.
    m_value = value;
    for (int v = m_bar->value() + 1; v <= value; v++)
        m_bar->setValue(v);
}

void QProgressDlg::setTimeStart(int ms)
{
    if (ms > 0)
        m_timer.start(ms);
}

void QProgressDlg::OnTimer()
{
    m_blink = !m_blink;
    m_wait->setText(m_blink ? "Please waitting......" : "Please waitting...");
}

bool QProgressDlg::askStop(const QString &text, dlgMSGbtn btn)
{
    if (m_worker)
        m_worker->SetPause(true);
    // The question lives on the stack only until exec() returns; stop()
    // below may run queued events that delete this dialog later, never now.
    QMessageDlg dlg(this);
    dlg.SetNoteText(text);
    dlg.MsgSetBtn(btn);
    int r = dlg.exec();
    if (!m_worker)
        return r == QMessageDlg::Confirmed;
    // A confirmed stop is raised before the pause is released, so the
    // worker never starts one more file in between.
    if (r == QMessageDlg::Confirmed)
        m_worker->stop();
    else
        m_worker->SetPause(false);
    return r == QMessageDlg::Confirmed;
}

void QProgressDlg::OnStopThree()
{
    askStop("Are you sure you want to stop the recovery? \nIf so, the selected files can't be recovered.",
            MSG_BTN_STOP);
}

void QProgressDlg::closeEvent(QCloseEvent *e)
{
    if (askStop("Are you sure you want to exit? \nIf so, the selected files can't be recovered.", MSG_BTN_EXIT))
        e->accept();
    else
        e->ignore();
}

// ---- QSetRecoverPath ----

QSetRecoverPath::QSetRecoverPath(QWidget *parent) : QImageDialog(parent)
{
    SetImageBackgroud(":/images/bg_recoverPath.png");
    setWindowIcon(QIcon(":/images/icon_logo.png"));
    setWindowTitle(kTitle);
    m_path = new QLineEdit(this);
    m_path->setGeometry(90, 42, 230, 22);
    auto *browse = MakeImageButton(this, ":/images/btn_browse.png", 330, 40);
    auto *ok = MakeImageButton(this, ":/images/btn_ok.png", 173, 131);
    auto *head = makeLabel(this, "<h3>Note</h3>", 40, 70, 60, 20);
    head->setFont(QFont("Arial", 9));
    auto *note = makeLabel(this, "Please DO NOT save file to the partition where your original file located",
                           40, 88, 360, 30);
    note->setWordWrap(true);
    note->setFont(QFont("Arial", 8));
    connect(browse, &QPushButton::clicked, this, &QSetRecoverPath::GetFilePath);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
}

QString QSetRecoverPath::GetFilePath()
{
    QString dir = QFileDialog::getExistingDirectory(this, "Choose a folder for the recovered files", m_path->text());
    if (!dir.isEmpty())
        m_path->setText(dir);
    return dir;
}

// ---- QOpenFilePathDlg ----

QOpenFilePathDlg::QOpenFilePathDlg(QWidget *parent) : QImageDialog(parent)
{
    SetImageBackgroud(":/images/bg_open_path.png");
    setWindowIcon(QIcon(":/images/icon_logo.png"));
    setWindowTitle(kTitle);
    m_label = makeLabel(this, "Complete Recovery Successfully", 175, 56, 230, 40);
    m_label->setWordWrap(true);
    m_label->setStyleSheet("color:#1f2937; font-size:14px; font-weight:bold;");
    auto *done = MakeImageButton(this, ":/images/btn_check.png", 140, 136);
    connect(done, &QPushButton::clicked, this, &QDialog::accept);
    m_saveReport = MakeImageButton(this, ":/images/btn_save_report.png", 12, 136);
    m_saveReport->setAccessibleName("Save Report...");
    m_saveReport->setToolTip("Save a copy of the recovery report: every file with its checksum and where it came from "
                             "(a CSV table and a DFXML file)");
    m_saveReport->hide();
    connect(m_saveReport, &QPushButton::clicked, this, &QOpenFilePathDlg::OnSaveReport);
    m_details = new QPushButton("Details...", this);
    m_details->setGeometry(300, 140, 100, 28);
    m_details->hide();
    connect(m_details, &QPushButton::clicked, this, &QOpenFilePathDlg::ShowDetails);
}

void QOpenFilePathDlg::SetDetails(const QStringList &lines)
{
    m_lines = lines;
    m_details->setVisible(!lines.isEmpty());
}

void QOpenFilePathDlg::ShowDetails()
{
    QDialog box(this);
    box.setWindowTitle("Recovery Details");
    auto *layout = new QVBoxLayout(&box);
    auto *text = new QPlainTextEdit(m_lines.join("\n"), &box);
    text->setReadOnly(true);
    text->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    text->setObjectName("details");
    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Close, &box);
    connect(buttons, &QDialogButtonBox::rejected, &box, &QDialog::reject);
    layout->addWidget(text);
    layout->addWidget(buttons);
    box.resize(640, 320);
    box.exec();
}


void QOpenFilePathDlg::SetReport(const QString &csv, const QString &xml)
{
    m_reportCsv = csv;
    m_reportXml = xml;
    m_saveReport->setVisible(!csv.isEmpty());
}

bool QOpenFilePathDlg::SaveReportAs(const QString &path, QString *err)
{
    QString base = path;
    if (base.endsWith(".csv", Qt::CaseInsensitive) || base.endsWith(".xml", Qt::CaseInsensitive))
        base.chop(4);
    const QString pairs[2][2] = {{m_reportCsv, base + ".csv"}, {m_reportXml, base + ".xml"}};
    for (const auto &p : pairs) {
        if (p[0].isEmpty() || QFileInfo(p[0]).canonicalFilePath() == QFileInfo(p[1]).canonicalFilePath())
            continue;
        QFile::remove(p[1]);
        QFile from(p[0]);
        if (!from.copy(p[1])) {
            if (err)
                *err = p[1] + ": " + from.errorString();
            return false;
        }
    }
    return true;
}

void QOpenFilePathDlg::OnSaveReport()
{
    QString path = QFileDialog::getSaveFileName(this, "Save Report", QDir::homePath() + "/salvitra-report.csv",
                                                "CSV tables (*.csv);;All files (*)");
    if (path.isEmpty())
        return;
    QString err;
    if (!SaveReportAs(path, &err))
        QMessageBox::warning(this, "Save Report", "The report could not be saved.\n" + err);
}

void QOpenFilePathDlg::SetResult(int written, int failed, bool stopped)
{
    if (stopped)
        m_label->setText(QString("Recovery stopped: %1 of %2 files recovered").arg(written).arg(written + failed));
    else if (failed == 0)
        m_label->setText("Complete Recovery Successfully");
    else
        m_label->setText(QString("Recovered %1 of %2 files").arg(written).arg(written + failed));
}
