// The scanning page: progress, pause, continue and stop while a scan runs;
// the found files once it has finished.  The results view here is a plain
// folder-by-type tree and a file table; the full results page builds on
// the same hand-over (OnRefresh batches, CreateFileTree at the end).
#pragma once

#include <QComboBox>
#include <QPointer>
#include <QLabel>
#include <QMap>
#include <QLineEdit>
#include <QProgressBar>
#include <QTableWidget>
#include <QTimer>
#include <QTreeWidget>

#include <vector>

#include "job_api.h"
#include "skin.h"
#include "utilthread.h"

class QProgressDlg;

class QScaningDlg : public QImageDialog, public IScanCallBack, public QUtilThread, public salvitra::JobObserver {
    Q_OBJECT
public:
    explicit QScaningDlg(QWidget *parent);
    ~QScaningDlg() override;

    // ---- Scanning-page operations the main window drives ----
    void SetScanThread(QUtilThread *worker) { m_scanWorker = worker; }
    void SetScanJob(salvitra::ScanJob *job) { m_job = job; }
    void SetRecoverMod(salvitra::RecoverMod mode) { m_mode = mode; }
    void SetPartition(Partiton_Struct *part);
    void SetFsType(int type) { m_fsType = type; }
    // The medium the scanned partition lies on: recovery never writes there.
    void SetDevicePath(const QString &path) { m_devicePath = path; }
    void setBtnStatus(bool finished, salvitra::RecoverMod mode);
    void setPercentage(int n);
    void SetShowModBtnCtrl(int mode);
    void SetCtrlHeigth(bool tall, bool keepBackground);
    void setScanFileType(const QStringList &types, bool custom);
    void setCustomList(bool on) { m_customList = on; }
    void setTreeSelected(bool on) { m_treeSelected = on; }
    void CreateFileTree();
    void ResetPreview();
    void DeleteTreeInfo();
    void InitTreeNode();
    void setScanType();
    QTimer *progressTimer() { return &m_timer; }

    // ---- found files (IScanCallBack: a batch of driver files) ----
    void OnRefresh(void *batch) override;
    void OnDelNtfsRefresh(void *batch) override;
    // JobObserver, on the job's threads: hand the batch over and wait.
    void onFiles(uint64_t first, std::vector<salvitra::FoundFile> batch) override;

    // The recovery of ticked files, on this page's own thread.
    void OnExecute() override;

    // For tests and the window.
    bool isUserPaused() const { return m_userPaused; }
    int foundCount() const { return (int)m_files.size(); }
    const std::vector<salvitra::FoundFile> &foundFiles() const { return m_files; }
    QString percentText() const { return m_percent->text(); }
    QString statusText() const { return m_statusLabel->text(); }
    QImageButton *pauseButton() const { return m_btnPause; }
    QImageButton *continueButton() const { return m_btnContinue; }
    QImageButton *stopButton() const { return m_btnStop; }
    QImageButton *backButton() const { return m_btnBack; }
    QImageButton *recoverButton() const { return m_btnRecover; }
    QProgressBar *progressBar() const { return m_progress; }
    QTableWidget *table() const { return m_table; }
    QTreeWidget *tree() const { return m_tree; }
    // Recovers every file into dir without asking (tests, scripts).
    bool RecoverTo(const QString &dir, const std::vector<int> &rows, QString *err);

signals:
    void OnBack();
    void OnBtnStopToScanning();
    void RecoverFinished();

public slots:
    void OnPause();
    void OnContinue();
    void OnStopScanThreed();
    void OnTimer();
    void OnGoBack();
    void OnRecover();
    void OnThumbnailMod();
    void OnListMod();
    void OnListPreviewMod();
    void OnSpinPreviewMod();
    void OnBtnPlus();
    void OnBtnMinus();
    void OnChangedTreeItem();
    void OnRecoverDone();

private:
    void SetSearchCtrlShow(bool on);
    void setBgImage();
    void addFiles(const std::vector<salvitra::FoundFile> &batch);
    void fillTable();
    void appendRows(size_t from);
    void updateCounts();
    void startRecovery(const QString &dir, const std::vector<int> &rows);

    QUtilThread *m_scanWorker = nullptr;
    salvitra::ScanJob *m_job = nullptr;
    bool m_userPaused = false;
    class QScanAdapter *m_adapter;
    QTimer m_timer;
    salvitra::RecoverMod m_mode = salvitra::RecoverQuick;
    Partiton_Struct *m_part = nullptr;
    QString m_devicePath;
    int m_fsType = 0;
    bool m_tall = true;
    bool m_finished = false;
    bool m_customList = false;
    bool m_treeSelected = false;
    int m_showMode = 3;
    QStringList m_scanTypes;

    QImageButton *m_btnBack;
    QImageButton *m_btnRecover;
    QImageButton *m_btnPause;
    QImageButton *m_btnContinue;
    QImageButton *m_btnStop;
    QImageButton *m_btnView[4];
    QImageButton *m_btnPlus;
    QImageButton *m_btnMinus;
    QLabel *m_procLabel;
    QLabel *m_percent;
    QProgressBar *m_progress;
    QLabel *m_statusLabel;
    QLineEdit *m_nameSearch;
    QLabel *m_sizeLabel;
    QComboBox *m_sizeCmp;
    QLineEdit *m_sizeEdit;
    QComboBox *m_sizeUnit;
    QTreeWidget *m_tree;
    QTableWidget *m_table;
    QLabel *m_preview;

    std::vector<salvitra::FoundFile> m_files;
    QMap<QString, int> m_typeCounts;
    QString m_treeFilter;  // the type of the selected tree node; "" for all

    // Recovery (worker side reads these only while it runs).
    QString m_outDir;
    std::vector<int> m_recoverRows;
    QPointer<QProgressDlg> m_progressDlg;
    std::atomic<int> m_recoverPercent{0};
    std::atomic<int> m_recoverWritten{0};
    std::atomic<int> m_recoverFailed{0};
    std::atomic<bool> m_recoverStopped{false};
    QString m_recoverError;
};
