#include "imagedlg.h"

#include <QCloseEvent>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QMessageBox>
#include <QPointer>
#include <QVBoxLayout>

#include "text.h"

namespace {

QString sizeText(uint64_t bytes)
{
    return QString::fromStdString(salvitra::humanSize(bytes));
}

QString phaseText(salvitra::RescuePhase phase, int pass)
{
    switch (phase) {
    case salvitra::RescuePhase::Copying:
        return QString("Copying (pass %1 of 3)").arg(pass);
    case salvitra::RescuePhase::Trimming:
        return "Narrowing down the unreadable areas";
    case salvitra::RescuePhase::Scraping:
        return "Reading the unreadable areas sector by sector";
    case salvitra::RescuePhase::Retrying:
        return QString("Trying the bad sectors once more (pass %1)").arg(pass);
    case salvitra::RescuePhase::Finished:
        return "Finished";
    }
    return QString();
}

}  // namespace

QSaveImageDlg::QSaveImageDlg(QWidget *parent, const salvitra::ImageRequest &req, const QString &what)
    : QDialog(parent)
{
    setWindowTitle("Save Disk Image");
    setModal(true);
    m_job = std::make_unique<salvitra::ImageJob>(req, this);

    m_what = new QLabel(QString("Copying %1 into %2").arg(what, QString::fromStdString(req.outPath)));
    m_what->setTextFormat(Qt::PlainText);
    m_what->setWordWrap(true);
    m_state = new QLabel("Starting");
    m_bar = new QProgressBar;
    m_bar->setRange(0, 100);
    m_bar->setAccessibleName("Part of the medium settled");
    m_rescued = new QLabel("-");
    m_bad = new QLabel("-");
    m_remaining = new QLabel("-");
    m_rate = new QLabel("-");
    auto *numbers = new QFormLayout;
    numbers->addRow("Rescued:", m_rescued);
    numbers->addRow("Unreadable:", m_bad);
    numbers->addRow("Not tried yet:", m_remaining);
    numbers->addRow("Rate:", m_rate);
    m_resultText = new QLabel;
    m_resultText->setWordWrap(true);
    m_resultText->setTextFormat(Qt::PlainText);
    m_resultText->hide();

    m_pause = new QPushButton("&Pause");
    m_stop = new QPushButton("&Stop");
    m_close = new QPushButton("&Close");
    m_close->hide();
    m_pause->setToolTip("Hold the copy; its map is saved, so Salvitra may also be closed now");
    m_stop->setToolTip("End the copy; the image and its map keep what was copied, and it can go on later");
    auto *buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(m_pause);
    buttons->addWidget(m_stop);
    buttons->addWidget(m_close);

    auto *box = new QVBoxLayout(this);
    box->addWidget(m_what);
    box->addWidget(m_state);
    box->addWidget(m_bar);
    box->addLayout(numbers);
    box->addWidget(m_resultText);
    box->addStretch(1);
    box->addLayout(buttons);
    // Grows with the result text instead of squeezing the figures.
    box->setSizeConstraint(QLayout::SetMinimumSize);
    m_bar->setMinimumWidth(440);

    connect(m_pause, &QPushButton::clicked, this, &QSaveImageDlg::OnPause);
    connect(m_stop, &QPushButton::clicked, this, &QSaveImageDlg::OnStop);
    connect(m_close, &QPushButton::clicked, this, &QDialog::accept);
}

QSaveImageDlg::~QSaveImageDlg()
{
    // The job's threads call this object: they end before it goes.
    m_job.reset();
}

salvitra::Status QSaveImageDlg::prepare()
{
    return m_job->prepare();
}

void QSaveImageDlg::startCopy()
{
    if (m_started)
        return;
    m_started = true;
    if (m_job->resuming())
        m_state->setText("Going on from the map of the earlier copy");
    m_job->start();
}

bool QSaveImageDlg::imageComplete() const
{
    if (!m_finished)
        return false;
    int rc = m_job->exitStatus();
    return rc == 0 || rc == 3;
}

void QSaveImageDlg::onProgress(const salvitra::ImageProgress &p)
{
    QMetaObject::invokeMethod(this, [this, p] { showProgress(p); }, Qt::QueuedConnection);
}

void QSaveImageDlg::onPhase(salvitra::RescuePhase phase, int pass)
{
    QMetaObject::invokeMethod(this, [this, phase, pass] { showPhase(phase, pass); }, Qt::QueuedConnection);
}

void QSaveImageDlg::onFinished(const salvitra::Status &s)
{
    QMetaObject::invokeMethod(this, [this, s] { showFinished(s); }, Qt::QueuedConnection);
}

void QSaveImageDlg::showProgress(const salvitra::ImageProgress &p)
{
    // Reports still queued when the copy ended are older than its end.
    if (!m_finished)
        fillNumbers(p);
}

void QSaveImageDlg::fillNumbers(const salvitra::ImageProgress &p)
{
    m_bar->setValue(p.percent);
    m_rescued->setText(QString("%1 of %2").arg(sizeText(p.rescued), sizeText(p.total)));
    m_bad->setText(sizeText(p.bad));
    m_remaining->setText(sizeText(p.remaining));
    m_rate->setText(p.rate > 0 ? sizeText((uint64_t)p.rate) + "/s" : QString("-"));
}

void QSaveImageDlg::showPhase(salvitra::RescuePhase phase, int pass)
{
    if (!m_finished && m_job->state() != salvitra::JobState::Paused)
        m_state->setText(phaseText(phase, pass));
}

void QSaveImageDlg::showFinished(const salvitra::Status &s)
{
    m_finished = true;
    m_result = s;
    // The last figures; the rate over the whole copy.
    salvitra::ImageProgress last = m_job->progress();
    last.rate = last.averageRate;
    fillNumbers(last);
    QString map = QString::fromStdString(m_job->mapPath());
    QString text;
    switch (s.code) {
    case salvitra::StatusCode::Done:
        m_state->setText("Finished");
        text = "The image is complete: every sector was read. It is added to the device list.";
        break;
    case salvitra::StatusCode::UnreadableMedium:
        m_state->setText(imageComplete() ? "Finished, with unreadable sectors" : "Not finished");
        text = imageComplete()
                   ? QString("The whole medium was gone through, but %1. The image is added to the device list: "
                             "scan it instead of the medium.")
                         .arg(QString::fromStdString(s.reason))
                   : QString("The copy could not go on: %1.").arg(QString::fromStdString(s.reason));
        break;
    case salvitra::StatusCode::Stopped:
        m_state->setText("Stopped");
        text = QString("The image and its map (%1) keep what was copied. Save the image again under the same "
                       "name to go on from there.")
                   .arg(map);
        break;
    default:
        m_state->setText("Not finished");
        text = QString("The copy could not go on: %1.").arg(QString::fromStdString(s.reason));
        break;
    }
    m_resultText->setText(text);
    m_resultText->show();
    m_pause->hide();
    m_stop->hide();
    m_close->show();
    m_close->setDefault(true);
    m_close->setFocus();
    adjustSize();
    emit copyFinished();
}

void QSaveImageDlg::OnPause()
{
    if (m_finished)
        return;
    if (m_job->state() == salvitra::JobState::Paused) {
        m_job->resume();
        m_pause->setText("&Pause");
        m_state->setText(phaseText(m_job->progress().phase, m_job->progress().pass));
    } else {
        m_job->pause();
        m_pause->setText("&Resume");
        m_state->setText("Paused");
    }
}

void QSaveImageDlg::OnStop()
{
    if (m_finished || !m_started)
        return;
    m_job->stop();
    m_stop->setEnabled(false);
    m_pause->setEnabled(false);
    m_state->setText("Stopping");
}

void QSaveImageDlg::reject()
{
    // Escape while the copy runs asks as the window's close button does.
    if (m_started && !m_finished) {
        QCloseEvent e;
        closeEvent(&e);
        return;
    }
    QDialog::reject();
}

void QSaveImageDlg::closeEvent(QCloseEvent *e)
{
    if (!m_started || m_finished) {
        e->accept();
        return;
    }
    e->ignore();
    if (QMessageBox::question(this, "Save Disk Image",
                              "Stop the copy? The image and its map keep what was copied, and it can go on later.",
                              QMessageBox::Yes | QMessageBox::No, QMessageBox::No) == QMessageBox::Yes)
        OnStop();
}
