// Save Disk Image: the copy of a device or partition into an image file, as
// a dialog that shows how far it got (rescued, unreadable, not tried yet,
// rate) and pauses or stops it.  The copy itself is the driver's ImageJob.
#pragma once

#include <QDialog>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>

#include <memory>

#include "imaging.h"

class QSaveImageDlg : public QDialog, public salvitra::ImageObserver {
    Q_OBJECT
public:
    // what: the medium as the user knows it ("HOLIDAY (FAT32)").
    QSaveImageDlg(QWidget *parent, const salvitra::ImageRequest &req, const QString &what);
    ~QSaveImageDlg() override;

    // The checks before anything is read; the reason when the copy cannot run.
    salvitra::Status prepare();
    bool resuming() const { return m_job->resuming(); }
    // Starts the copy; exec() then shows it until the user closes the dialog.
    void startCopy();
    // The copy's end, and whether the image holds the whole medium as far
    // as it could be read (it then opens as a device).
    salvitra::Status result() const { return m_result; }
    bool finished() const { return m_finished; }
    bool imageComplete() const;
    salvitra::ImageJob *job() const { return m_job.get(); }

    QPushButton *pauseButton() const { return m_pause; }
    QPushButton *stopButton() const { return m_stop; }
    QPushButton *closeButton() const { return m_close; }
    QString stateText() const { return m_state->text(); }

    // ImageObserver, on the job's threads: handed to the interface thread.
    void onProgress(const salvitra::ImageProgress &p) override;
    void onPhase(salvitra::RescuePhase phase, int pass) override;
    void onFinished(const salvitra::Status &s) override;

signals:
    void copyFinished();

public slots:
    void OnPause();
    void OnStop();

protected:
    void closeEvent(QCloseEvent *e) override;
    void reject() override;

private:
    void showProgress(const salvitra::ImageProgress &p);
    void fillNumbers(const salvitra::ImageProgress &p);
    void showPhase(salvitra::RescuePhase phase, int pass);
    void showFinished(const salvitra::Status &s);

    std::unique_ptr<salvitra::ImageJob> m_job;
    QLabel *m_what;
    QLabel *m_state;
    QProgressBar *m_bar;
    QLabel *m_rescued;
    QLabel *m_bad;
    QLabel *m_remaining;
    QLabel *m_rate;
    QLabel *m_resultText;
    QPushButton *m_pause;
    QPushButton *m_stop;
    QPushButton *m_close;
    salvitra::Status m_result;
    bool m_finished = false;
    bool m_started = false;
};
