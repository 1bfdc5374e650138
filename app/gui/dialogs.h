// The program's small modal dialogs.
#pragma once

#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QProgressBar>
#include <QTimer>

#include "skin.h"

class QScanAdapter;

// Image of the action button of a QMessageDlg.
enum dlgMSGbtn { MSG_BTN_OK = 0, MSG_BTN_STOP = 1, MSG_BTN_BACK = 2, MSG_BTN_EXIT = 3 };

// A question with Cancel and one action button; exec() returns 7 when the
// action button was pressed and 1 for Cancel.  The action button is the
// default (Enter) unless the question asks for the safe answer first.
class QMessageDlg : public QImageDialog {
    Q_OBJECT
public:
    enum { Confirmed = 7 };
    explicit QMessageDlg(QWidget *parent);
    void SetNoteText(const QString &text);
    void MsgSetBtn(dlgMSGbtn btn);
    // Enter (and the keyboard focus) on Cancel: for a question whose action
    // can do harm.
    void SetCancelDefault(bool on);
    QString noteText() const { return m_note->text(); }
    QImageButton *cancelButton() const { return m_cancel; }
    QImageButton *actionButton() const { return m_action; }

public slots:
    void doneDlg();

private:
    QLabel *m_note;
    QImageButton *m_cancel;
    QImageButton *m_action;
};

class QProgressDlg : public QImageDialog {
    Q_OBJECT
public:
    explicit QProgressDlg(QWidget *parent);
    // The recovery's job, through its adapter: the stop button pauses it
    // while it asks, then stops or resumes it.
    void SetRecoverThread(QScanAdapter *worker) { m_worker = worker; }
    void SetNote(const QString &text);
    void SetExport(int value);
    void setTimeStart(int ms);
    int shownValue() const { return m_value; }
    QProgressBar *bar() const { return m_bar; }
    QString noteText() const { return m_note->fullText(); }

public slots:
    void OnStopThree();
    void OnTimer();

protected:
    void closeEvent(QCloseEvent *e) override;

private:
    bool askStop(const QString &text, dlgMSGbtn btn);

    int m_value = 0;
    bool m_blink = false;
    QPointer<QScanAdapter> m_worker;
    QElideLabel *m_note;
    QLabel *m_wait;
    QProgressBar *m_bar;
    QImageButton *m_stop;
    QTimer m_timer;
};

class QSetRecoverPath : public QImageDialog {
    Q_OBJECT
public:
    explicit QSetRecoverPath(QWidget *parent);
    QString path() const { return m_path->text(); }
    void setPath(const QString &p) { m_path->setText(p); }

public slots:
    QString GetFilePath();

private:
    QLineEdit *m_path;
};

// The end of a recovery: what was written and where, with a button that
// opens the folder in the desktop's file manager.
class QOpenFilePathDlg : public QImageDialog {
    Q_OBJECT
public:
    explicit QOpenFilePathDlg(QWidget *parent);
    // Says so when not every file could be written, or the recovery was
    // stopped before its end.
    void SetResult(int written, int failed, bool stopped = false);
    void SetFolder(const QString &folder);
    QString text() const { return m_label->text(); }
    QString folder() const { return m_folder; }
    QImageButton *openButton() const { return m_open; }
    QImageButton *doneButton() const { return m_done; }
    // Opens the folder; when nothing can open it, says where the files are.
    // Returns whether it was opened.
    bool OpenFolder();

    // What did not come back whole, a line per file (damaged with the byte
    // ranges that could not be read and where the rest is kept, skipped
    // with why, written under another name): a Details button shows them.
    void SetDetails(const QStringList &lines);
    const QStringList &details() const { return m_lines; }
    // Offers "Save Report..." for the recovery's report (csv and its DFXML
    // twin); without a report the button stays hidden.
    void SetReport(const QString &csv, const QString &xml);
    QImageButton *saveReportButton() const { return m_saveReport; }
    // Copies the report to base.csv and base.xml; false with the reason.
    bool SaveReportAs(const QString &path, QString *err);

public slots:
    void ShowDetails();
    void OnSaveReport();

private:
    QLabel *m_label;
    QLabel *m_where;
    QImageButton *m_open;
    QImageButton *m_done;
    QString m_folder;
    QPushButton *m_details;
    QStringList m_lines;
    QImageButton *m_saveReport;
    QString m_reportCsv, m_reportXml;
};
