// The scanning page: progress, pause, continue and stop while a scan runs;
// the found files once it has finished, as a tree (all files, groups, file
// types), a table of the selected type's files, thumbnails and a preview;
// and the recovery of the ticked files into a folder the user chooses.
//
// What the tree and the table show comes from the driver's result model
// (salvitra::ResultTree): the widgets mirror it, and ticks made in them go
// back to it through the slots below.
#pragma once

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QProgressBar>
#include <QTableWidget>
#include <QTimer>
#include <QTreeWidget>

#include <atomic>
#include <vector>

#include "job_api.h"
#include "result_tree.h"
#include "skin.h"
#include "utilthread.h"
#include "view_files.h"

class QProgressDlg;
class QPreviewImageCtrl;
class QPagedThumbViewer;

class QScaningDlg : public QImageDialog, public IScanCallBack, public QUtilThread, public salvitra::JobObserver {
    Q_OBJECT
public:
    // What the preview shows.
    enum PreviewState { PreviewAvailable = 0, PreviewNotAvailable = 1, PreviewShown = 2, PreviewCorrupted = 3 };

    // The question asked before recovering onto the scanned medium.
    static const char *const kSameMediumNote;

    explicit QScaningDlg(QWidget *parent);
    ~QScaningDlg() override;

    // ---- Scanning-page operations the main window drives ----
    void SetScanThread(QUtilThread *worker) { m_scanWorker = worker; }
    void SetScanJob(salvitra::ScanJob *job);
    void SetRecoverMod(salvitra::RecoverMod mode) { m_mode = mode; }
    void SetPartition(Partiton_Struct *part);
    void SetFsType(int type) { m_fsType = type; }
    // The medium the scanned partition lies on: recovery warns before
    // writing there.
    void SetDevicePath(const QString &path) { m_devicePath = path; }
    void setBtnStatus(bool finished, salvitra::RecoverMod mode);
    void setPercentage(int n);
    void SetShowModBtnCtrl(int mode);
    void SetCtrlHeigth(bool tall, bool keepBackground);
    // The groups wanted for the scan about to start, from the disk page's
    // "Filter Option:" choice (a deep scan shows every group).
    void setScanFileType(int filterChoice);
    // The extensions picked on the options page; custom when the scan was
    // started from there.
    void setScanFileType(const QStringList &types, bool custom);
    void setCustomList(bool on);
    void setTreeSelected(bool on) { m_treeSelected = on; }
    void CreateFileTree();
    void ResetPreview();
    void DeleteTreeInfo();
    void DeleteTableNote();
    void InitTreeNode();
    void setScanType();
    void ableThumbnail(bool on);
    QTimer *progressTimer() { return &m_timer; }

    // ---- found files (IScanCallBack: a batch of driver files) ----
    void OnRefresh(void *batch) override;
    void OnDelNtfsRefresh(void *batch) override;
    // JobObserver, on the job's threads: hand the batch over and wait.
    void onFiles(uint64_t first, std::vector<salvitra::FoundFile> batch) override;

    // The recovery of the collected files, on this page's own thread.
    void OnExecute() override;
    void OnStopRequested() override;
    void OnPauseChanged(bool paused) override;

    // For tests, scripts and the window.
    bool isUserPaused() const { return m_userPaused; }
    int foundCount() const { return (int)m_files.size(); }
    const std::vector<salvitra::FoundFile> &foundFiles() const { return m_files; }
    const salvitra::ResultTree &model() const { return m_model; }
    int showMode() const { return m_showMode; }
    int previewState() const { return m_previewState; }
    bool isTall() const { return m_tall; }
    QString percentText() const { return m_percent->text(); }
    QString statusText() const { return m_statusLabel->text(); }
    QImageButton *pauseButton() const { return m_btnPause; }
    QImageButton *continueButton() const { return m_btnContinue; }
    QImageButton *stopButton() const { return m_btnStop; }
    QImageButton *backButton() const { return m_btnBack; }
    QImageButton *recoverButton() const { return m_btnRecover; }
    QImageButton *viewButton(int i) const { return m_btnView[i]; }
    QImageButton *plusButton() const { return m_btnPlus; }
    QImageButton *minusButton() const { return m_btnMinus; }
    QProgressBar *progressBar() const { return m_progress; }
    QTableWidget *table() const { return m_table; }
    QCheckHeaderView *tableHeader() const { return m_header; }
    QTreeWidget *tree() const { return m_tree; }
    QLineEdit *nameSearch() const { return m_nameSearch; }
    QLineEdit *sizeSearch() const { return m_sizeEdit; }
    QComboBox *sizeCompare() const { return m_sizeCmp; }
    QComboBox *sizeUnit() const { return m_sizeUnit; }
    QPreviewImageCtrl *previewCtrl() const { return m_previewCtrl; }
    QPagedThumbViewer *thumbViewer() const { return m_thumbs; }
    // The tree item of a group ("Photo") or of a type under it ("Photo",
    // "jpg"); null when there is none.
    QTreeWidgetItem *treeItem(const QString &group, const QString &type = QString()) const;
    // Recovers the files (indexes into foundFiles()) straight into dir,
    // without asking; a folder on the scanned medium is refused.
    bool RecoverTo(const QString &dir, const std::vector<int> &files, QString *err);
    // The last recovery's outcome.
    const salvitra::RecoverSummary &lastRecovery() const { return m_summary; }
    QString lastRecoveryFolder() const { return m_outDir; }

    QLabel *progressCaption() const { return m_procLabel; }
    QLabel *statusLabel() const { return m_statusLabel; }
    QWidget *searchRow() const { return m_searchRow; }
    // The text the status line gives once the scan has ended.
    QString finishedText() const;

signals:
    void OnBack();
    void OnBtnStopToScanning();
    // Emitted on the recovery thread; queued to the page's dialog.
    void SetProValue(int value);
    void SetNote(const QString &text);
    void OnDoneRecover();

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
    void OnSetShowPhoto();
    void OnChangedTreeItem();
    void OnNMClickTreeItem(QTreeWidgetItem *item, int column);
    void OnClickTree(QTreeWidgetItem *item, int column);
    void OnNMChangeTableItem(QTableWidgetItem *item);
    void OnChangeTableWidgetItemCheck(bool checked);
    void OnTableItemChanged(int row, bool checked);
    void editTextChange(const QString &text);
    void editSizeChangeFind(const QString &text);
    void SelectItemChanged();
    void RecoverDoneOponPath();

private:
    void SetSearchCtrlShow(bool on);
    void setBgImage();
    void ensureModel();
    void addFiles(const std::vector<salvitra::FoundFile> &batch);
    salvitra::FileView fileView() const { return salvitra::FileView(m_files); }
    salvitra::NodeRef currentNode() const;
    void showRows(std::vector<salvitra::TableRow> rows);
    // The rows of the table's node that the name or size search keeps.
    std::vector<salvitra::TableRow> searchedRows() const;
    void refreshRows();
    void afterRowTicks();
    void ShowThumbnailMod();
    bool canExtract() const;
    QString askDestination();
    bool startRecovery(const QString &dir, std::vector<salvitra::RecoveryJob> jobs);
    void warn(const QString &text);

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
    bool m_treeSelected = false;
    bool m_thumbAllowed = false;
    int m_showMode = 3;
    int m_previewState = PreviewAvailable;

    QImageButton *m_btnBack;
    QImageButton *m_btnRecover;
    QImageButton *m_btnPause;
    QImageButton *m_btnContinue;
    QImageButton *m_btnStop;
    QImageButton *m_btnView[4];
    QImageButton *m_btnPlus;
    QImageButton *m_btnMinus;
    QWidget *m_progressBox;
    QWidget *m_searchRow;
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
    QCheckHeaderView *m_header;
    QPreviewImageCtrl *m_previewCtrl;
    QPagedThumbViewer *m_thumbs;

    // The found files, in the job's order (index i is the job's file i),
    // and the model built from them.
    std::vector<salvitra::FoundFile> m_files;
    salvitra::GroupFilter m_filter;
    salvitra::ResultTree m_model;
    bool m_modelReady = false;
    // The table: the type node it shows and its rows, in table order.
    salvitra::NodeRef m_tableNode{-2, -1};
    size_t m_tableAll = 0;  // files under the table's node, searched or not
    std::vector<salvitra::TableRow> m_rows;
    salvitra::ViewFiles m_viewFiles;

    // Recovery (the worker reads these only while it runs).
    QString m_outDir;
    std::vector<salvitra::RecoveryJob> m_jobs;
    QPointer<QProgressDlg> m_progressDlg;
    std::atomic<bool> m_recovering{false};
    salvitra::RecoverSummary m_summary;
};
