#include "dialogs.h"

#include <QCloseEvent>
#include <QDesktopServices>
#include <QDialogButtonBox>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QUrl>
#include <QVBoxLayout>

#include "utilthread.h"

namespace {

const char *const kTitle = "Salvitra";

struct MsgButton {
    const char *image;
    const char *name;
};

MsgButton msgButton(dlgMSGbtn btn)
{
    switch (btn) {
    case MSG_BTN_OK: return {":/images/msg_btn_ok.png", "OK"};
    case MSG_BTN_STOP: return {":/images/msg_btn_stop.png", "Stop"};
    case MSG_BTN_BACK: return {":/images/msg_btn_back.png", "Go Back"};
    case MSG_BTN_EXIT: return {":/images/msg_btn_exit.png", "Exit"};
    }
    return {nullptr, nullptr};
}

QLabel *iconLabel(QWidget *parent, const char *image)
{
    auto *l = new QLabel(parent);
    l->setPixmap(QPixmap(image));
    l->setAlignment(Qt::AlignTop | Qt::AlignHCenter);
    l->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Preferred);
    return l;
}

// The footer of a dialog with its buttons at the right.
QWidget *buttonRow(QWidget *parent, std::initializer_list<QWidget *> buttons)
{
    QWidget *footer = MakeFooter(parent, true);
    auto *row = new QHBoxLayout(footer);
    row->setContentsMargins(16, 12, 16, 12);
    row->setSpacing(10);
    row->addStretch(1);
    for (QWidget *b : buttons)
        row->addWidget(b);
    return footer;
}

void skinDialog(QImageDialog *dlg, const char *background)
{
    dlg->SetImageBackgroud(background);
    dlg->setWindowIcon(QIcon(":/images/icon_logo.png"));
    dlg->setWindowTitle(kTitle);
}

}  // namespace

// ---- QMessageDlg ----

QMessageDlg::QMessageDlg(QWidget *parent) : QImageDialog(parent)
{
    skinDialog(this, ":/images/bg_message.png");
    m_note = MakeLabel(this, "A stopped scan cannot be resumed.\nAre you sure you want to stop the scan?", 13,
                       skin::kInk);
    m_note->setTextFormat(Qt::PlainText);
    m_note->setWordWrap(true);
    m_note->setMinimumWidth(300);
    m_note->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    m_cancel = MakeImageButton(this, ":/images/btn_cancel.png", "Cancel");
    m_action = MakeImageButton(this, ":/images/msg_btn_ok.png", "OK");

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 4, 0, 0);
    layout->setSpacing(0);
    auto *body = new QHBoxLayout();
    body->setContentsMargins(24, 20, 24, 20);
    body->setSpacing(16);
    body->addWidget(iconLabel(this, ":/images/icon_question.png"));
    body->addWidget(m_note, 1);
    layout->addLayout(body, 1);
    layout->addWidget(buttonRow(this, {m_cancel, m_action}));

    SetCancelDefault(false);
    connect(m_cancel, &QPushButton::clicked, this, &QDialog::accept);
    connect(m_action, &QPushButton::clicked, this, &QMessageDlg::doneDlg);
}

void QMessageDlg::SetNoteText(const QString &text)
{
    m_note->setText(text);
}

void QMessageDlg::MsgSetBtn(dlgMSGbtn btn)
{
    MsgButton b = msgButton(btn);
    if (!b.image)
        return;
    m_action->setBtnImage(b.image);
    m_action->setAccessibleName(b.name);
}

void QMessageDlg::SetCancelDefault(bool on)
{
    QImageButton *def = on ? m_cancel : m_action;
    QImageButton *other = on ? m_action : m_cancel;
    other->setDefault(false);
    def->setDefault(true);
    def->setFocus();
}

void QMessageDlg::doneDlg()
{
    done(Confirmed);
}

// ---- QProgressDlg ----

QProgressDlg::QProgressDlg(QWidget *parent) : QImageDialog(parent)
{
    skinDialog(this, ":/images/bg_progress.png");
    m_note = new QElideLabel(this);
    m_note->setStyleSheet("color:#1f2937; font-size:13px;");
    m_note->setFullText("Recovering: ");
    m_bar = new QProgressBar(this);
    m_bar->setRange(0, 100);
    m_bar->setValue(0);
    m_bar->setAccessibleName("Recovery progress");
    m_wait = MakeLabel(this, "Please wait...", 12, skin::kMuted);
    m_stop = MakeImageButton(this, ":/images/msg_btn_stop.png", "Stop");

    auto *layout = new QHBoxLayout(this);
    layout->setContentsMargins(16, 20, 20, 16);
    layout->setSpacing(14);
    layout->addWidget(iconLabel(this, ":/images/icon_recovering.png"));
    auto *column = new QVBoxLayout();
    column->setSpacing(6);
    column->addWidget(m_note);
    column->addWidget(m_bar);
    column->addWidget(m_wait);
    layout->addLayout(column, 1);
    layout->addWidget(m_stop, 0, Qt::AlignVCenter);
    setMinimumWidth(520);

    m_stop->setFocus();
    connect(m_stop, &QPushButton::clicked, this, &QProgressDlg::OnStopThree);
    connect(&m_timer, &QTimer::timeout, this, &QProgressDlg::OnTimer);
    m_timer.start(500);
}

void QProgressDlg::SetNote(const QString &text)
{
    m_note->setFullText(text);
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
    m_wait->setText(m_blink ? "Please wait......" : "Please wait...");
}

bool QProgressDlg::askStop(const QString &text, dlgMSGbtn btn)
{
    // The recovery holds still while the question is open.
    if (m_worker)
        m_worker->pause();
    QMessageDlg dlg(this);
    dlg.SetNoteText(text);
    dlg.MsgSetBtn(btn);
    const int r = dlg.exec();
    if (!m_worker)
        return r == QMessageDlg::Confirmed;
    // A stop releases the pause in the job itself, so not one more chunk
    // is written in between.
    if (r == QMessageDlg::Confirmed)
        m_worker->stop();
    else
        m_worker->resume();
    return r == QMessageDlg::Confirmed;
}

void QProgressDlg::OnStopThree()
{
    askStop("Are you sure you want to stop the recovery?\nThe files not recovered yet will not be written.",
            MSG_BTN_STOP);
}

void QProgressDlg::closeEvent(QCloseEvent *e)
{
    if (askStop("Are you sure you want to exit?\nThe files not recovered yet will not be written.", MSG_BTN_EXIT))
        e->accept();
    else
        e->ignore();
}

// ---- QSetRecoverPath ----

QSetRecoverPath::QSetRecoverPath(QWidget *parent) : QImageDialog(parent)
{
    skinDialog(this, ":/images/bg_recoverPath.png");
    m_path = new QLineEdit(this);
    m_path->setAccessibleName("Folder for the recovered files");
    auto *browse = MakeImageButton(this, ":/images/btn_browse.png", "Browse");
    auto *ok = MakeImageButton(this, ":/images/btn_ok.png", "OK");
    ok->setDefault(true);
    auto *head = MakeLabel(this, "Note", 13, skin::kInk, true);
    auto *note = MakeLabel(this, "Please do not save the files to the partition they are recovered from.", 12,
                           skin::kMuted);
    note->setWordWrap(true);

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 4, 0, 0);
    layout->setSpacing(0);
    auto *body = new QVBoxLayout();
    body->setContentsMargins(24, 20, 24, 16);
    body->setSpacing(8);
    auto *row = new QHBoxLayout();
    row->setSpacing(10);
    row->addWidget(iconLabel(this, ":/images/icon_folder_in.png"));
    row->addWidget(m_path, 1);
    row->addWidget(browse);
    body->addLayout(row);
    body->addWidget(head);
    body->addWidget(note);
    layout->addLayout(body, 1);
    layout->addWidget(buttonRow(this, {ok}));
    setMinimumWidth(430);

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
    skinDialog(this, ":/images/bg_open_path.png");
    m_label = MakeLabel(this, "Recovery complete", 15, skin::kInk, true);
    m_label->setWordWrap(true);
    m_where = MakeLabel(this, QString(), 12, skin::kMuted);
    m_where->setTextFormat(Qt::PlainText);
    m_where->setWordWrap(true);
    m_where->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_open = MakeImageButton(this, ":/images/btn_open_folder.png", "Open Folder");
    m_done = MakeImageButton(this, ":/images/btn_check.png", "Done");
    m_saveReport = MakeImageButton(this, ":/images/btn_save_report.png", "Save Report...");
    m_saveReport->setToolTip("Save a copy of the recovery report: every file with its checksum and where it came from "
                             "(a CSV table and a DFXML file)");
    m_saveReport->hide();
    connect(m_saveReport, &QPushButton::clicked, this, &QOpenFilePathDlg::OnSaveReport);
    m_details = new QPushButton("Details...", this);
    m_details->setAccessibleName("Details");
    m_details->setToolTip("What did not come back whole, file by file");
    m_details->hide();
    connect(m_details, &QPushButton::clicked, this, &QOpenFilePathDlg::ShowDetails);

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 4, 0, 0);
    layout->setSpacing(0);
    auto *body = new QHBoxLayout();
    body->setContentsMargins(24, 22, 24, 20);
    body->setSpacing(16);
    body->addWidget(iconLabel(this, ":/images/icon_done.png"));
    auto *column = new QVBoxLayout();
    column->setSpacing(8);
    column->addWidget(m_label);
    column->addWidget(m_where);
    column->addStretch(1);
    body->addLayout(column, 1);
    layout->addLayout(body, 1);
    layout->addWidget(buttonRow(this, {m_saveReport, m_details, m_open, m_done}));
    setMinimumWidth(440);

    m_open->setDefault(true);
    m_open->setFocus();
    connect(m_open, &QPushButton::clicked, this, [this] {
        OpenFolder();
        accept();
    });
    connect(m_done, &QPushButton::clicked, this, &QDialog::accept);
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
    const int total = written + failed;
    if (stopped)
        m_label->setText(QString("Recovery stopped: %1 of %2 files recovered").arg(written).arg(total));
    else if (failed == 0)
        m_label->setText(total == 1 ? QString("Recovery complete: the file was recovered")
                                    : QString("Recovery complete: all %1 files were recovered").arg(total));
    else
        m_label->setText(QString("Recovered %1 of %2 files").arg(written).arg(total));
}

void QOpenFilePathDlg::SetFolder(const QString &folder)
{
    m_folder = folder;
    m_where->setText("The files are in " + QDir::toNativeSeparators(folder));
}

bool QOpenFilePathDlg::OpenFolder()
{
    if (m_folder.isEmpty())
        return false;
    if (QDesktopServices::openUrl(QUrl::fromLocalFile(m_folder)))
        return true;
    QMessageBox box(QMessageBox::Information, kTitle,
                    "No program could be started to show the folder.\nThe recovered files are in:\n" +
                        QDir::toNativeSeparators(m_folder),
                    QMessageBox::Ok, this);
    box.setTextInteractionFlags(Qt::TextSelectableByMouse);
    box.exec();
    return false;
}
